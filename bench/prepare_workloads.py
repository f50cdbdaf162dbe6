#!/usr/bin/python3
"""Writes the benchmark's standard workloads as raw column-major float64 images.

For each workload NAME it writes NAME.txt ("rows columns radius"), NAME.magnitude and
NAME.phase into the output directory. The C++ benchmark and the Octave timing read them.

- noise:  128 x 128 unit normal noise smoothed by a 5 x 5 box filter (valid part of a
          132 x 132 draw, fixed seed); magnitude |s|, phase sign(s); radius 10.
- coins:  data/coins.png (303 x 384); Gaussian smoothing (sigma 1.5), magnitude = gradient
          magnitude, phase = sign of the Laplacian; radius 5.
- camera: data/camera.png (512 x 512) reduced to 256 x 256 by 2 x 2 block means, then as
          coins; radius 15.
- camera1000: data/camera.png enlarged to 1000 x 1000 (linear interpolation), then as coins;
          radius 5 (80.7 million entries; only the Python timing of workers uses it).
"""
import pathlib
import sys

import numpy as np
from scipy import ndimage
from skimage import io


def edges(image):
    smooth = ndimage.gaussian_filter(image, 1.5)
    gy, gx = np.gradient(smooth)
    return np.hypot(gx, gy), np.sign(ndimage.laplace(smooth))


def write(out, name, magnitude, phase, radius):
    rows, cols = magnitude.shape
    (out / f"{name}.txt").write_text(f"{rows} {cols} {radius}\n")
    (out / f"{name}.magnitude").write_bytes(magnitude.astype("<f8").tobytes(order="F"))
    (out / f"{name}.phase").write_bytes(phase.astype("<f8").tobytes(order="F"))


def main():
    data = pathlib.Path(sys.argv[1])
    out = pathlib.Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)

    noise = np.random.default_rng(20261209).standard_normal((132, 132))
    smooth = ndimage.uniform_filter(noise, 5)[2:-2, 2:-2]
    write(out, "noise", np.abs(smooth), np.sign(smooth), 10)

    coins = io.imread(data / "coins.png").astype(np.float64) / 255.0
    write(out, "coins", *edges(coins), 5)

    camera = io.imread(data / "camera.png").astype(np.float64) / 255.0
    write(out, "camera", *edges(camera.reshape(256, 2, 256, 2).mean(axis=(1, 3))), 15)
    write(out, "camera1000", *edges(ndimage.zoom(camera, 1000 / 512, order=1)), 5)


if __name__ == "__main__":
    main()
