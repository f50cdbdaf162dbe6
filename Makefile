# The commands of the README. CMake does the building; this file only names the jobs.
BUILD ?= build
CMAKE_FLAGS ?=
# Debian's interpreter, the one with numpy, scipy and the demo's packages.
PYTHON ?= /usr/bin/python3

.PHONY: all deps configure test lint clean demo package sanitize fuzz bench

all: configure
	cmake --build $(BUILD) --parallel 2

deps:
	@tools/install-deps

configure: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

test: all
	cd $(BUILD) && ctest --output-on-failure

# The committed C++ and Python files' form (clang-format, black, flake8), checked without
# changing them; tools/lint says what to run to fix what it finds.
lint: deps
	PYTHON=$(PYTHON) tools/lint

# Segments data/coins.png with the module and writes the pictures into $(BUILD)/demo, then
# does the same in Python (Debian's interpreter, the package CMake built) into $(BUILD)/demo-python.
# Octave writes no octave-workspace file here if the run crashes or is killed.
OCTAVE_NO_CORE = crash_dumps_octave_core(false); sighup_dumps_octave_core(false); \
  sigquit_dumps_octave_core(false); sigterm_dumps_octave_core(false);
demo: all
	octave-cli --no-gui --norc --quiet --no-history --eval \
	  "$(OCTAVE_NO_CORE) addpath('$(BUILD)'); addpath('demo'); quorvane_demo('$(BUILD)/demo');"
	PYTHONPATH=$(BUILD)/python $(PYTHON) -m quorvane.segment.demo data/coins.png $(BUILD)/demo-python

# The Octave package $(BUILD)/quorvane-<version>.tar.gz (pkg install compiles it).
package: configure
	cmake --build $(BUILD) --target quorvane_package

# Hostile input: the C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# libFuzzer targets (clang) for FUZZ_SECONDS each, in their own build directories.
FUZZ_SECONDS ?= 600
sanitize: deps
	tools/sanitize $(BUILD)/sanitize

fuzz: deps
	tools/fuzz $(FUZZ_SECONDS) $(BUILD)/libfuzzer

# The engine against the reference transcription, and quorvane against the host's floor in
# Octave, on the standard workloads (bench/run; tables in docs/performance.md).
bench: all
	bench/run $(BUILD)

clean:
	rm -rf $(BUILD)
