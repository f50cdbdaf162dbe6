"""The clock of a run: each step's seconds and what it did, one line a step, and the total."""

import time


class Clock:
    """Prints each step's time since the previous step, and the total at the end. A run
    across processes adds its barriers and memory figures in a subclass
    (quorvane.segment.distributed.report.ProcessesClock)."""

    def __init__(self, say):
        self.say = say
        self.start = self.last = time.perf_counter()

    def step(self, what, parts=None):
        """Ends a step that did what. parts (a dict of seconds by name) splits it into parts
        timed on their own, printed beside it."""
        now = time.perf_counter()
        self.say(
            f"{now - self.last:7.2f} s  {what}{self.detail(what, now - self.last, parts or {})}"
        )
        self.last = now

    def detail(self, what, seconds, parts):
        """What a step's line says after what it did: the seconds of each of its parts."""
        return "".join(f", {name} {part:.2f} s" for name, part in parts.items())

    def total(self):
        self.say(f"{time.perf_counter() - self.start:7.2f} s  total")
