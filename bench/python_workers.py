#!/usr/bin/python3
"""Times quorvane.weights with one worker and with two, taking turns, on the workloads that
bench/prepare_workloads.py writes, and checks that both give the same matrix bit for bit.

Usage: python_workers.py WORKLOAD_DIR [name ...] [--repeat N]   (default: all four)
with the package importable (PYTHONPATH=<build>/python). Wall-clock medians: the point is
how soon the result is there, and a busy machine slows both alike while they take turns.
"""
import sys
import time
from pathlib import Path

import numpy as np

import quorvane


def load(folder, name):
    """The workload's images as numpy sees the Octave module's (column-major) images, and
    its disc pattern: the same pixel numbering, so the same computation."""
    rows, cols, radius = (int(v) for v in (folder / f"{name}.txt").read_text().split())
    images = [
        np.fromfile(folder / f"{name}.{part}", dtype="<f8").reshape(cols, rows)
        for part in ("magnitude", "phase")
    ]
    return images, quorvane.disc_pattern((cols, rows), radius), radius


def same(a, b):
    return (
        np.array_equal(a.indptr, b.indptr)
        and np.array_equal(a.indices, b.indices)
        and np.array_equal(a.data.view(np.uint64), b.data.view(np.uint64))
    )


def main():
    args = sys.argv[1:]
    repeat = 9
    if "--repeat" in args:
        at = args.index("--repeat")
        repeat = int(args[at + 1])
        del args[at : at + 2]
    folder = Path(args[0])
    names = args[1:] or ["noise", "coins", "camera", "camera1000"]
    print(f"wall-clock medians of {repeat} calls each, one worker and two taking turns")
    print()
    print(
        "| workload | size | radius | entries | workers=1 ms | workers=2 ms | speed-up "
        "| bit-identical |"
    )
    print("|---|---|---|---|---|---|---|---|")
    for name in names:
        (magnitude, phase), (indices, indptr), radius = load(folder, name)
        one = quorvane.weights(magnitude, phase, indices, indptr, workers=1)
        identical = same(one, quorvane.weights(magnitude, phase, indices, indptr, workers=2))
        del one
        times = {1: [], 2: []}
        for _ in range(repeat):
            for workers in times:
                start = time.perf_counter()
                result = quorvane.weights(magnitude, phase, indices, indptr, workers=workers)
                times[workers].append(time.perf_counter() - start)
                del result
        t1, t2 = (1000 * np.median(times[w]) for w in (1, 2))
        h, w = magnitude.shape
        print(
            f"| {name} | {w} x {h} | {radius} | {indices.size} | {t1:.1f} | {t2:.1f} | "
            f"{t1 / t2:.2f}x | {'yes' if identical else 'NO'} |"
        )
        sys.stdout.flush()
        if not identical:
            sys.exit(1)


if __name__ == "__main__":
    main()
