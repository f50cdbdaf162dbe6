# The commands of the README. CMake does the building; this file only names the jobs.
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all deps configure test clean

all: configure
	cmake --build $(BUILD) --parallel 2

deps:
	@tools/install-deps

configure: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

test: all
	cd $(BUILD) && ctest --output-on-failure

clean:
	rm -rf $(BUILD)
