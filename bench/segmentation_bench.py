"""The segmentation benchmark: quorvane's pipeline beside the peers a user would pick instead,
on synthetic photographs with known regions (bench/scenes.py) and on the photographs of data/.

    PYTHONPATH=<build>/python /usr/bin/python3 bench/segmentation_bench.py [MARKDOWN] [--count N]

For every picture, in one run and taking turns, each method segments it and is timed
(wall clock, one process): quorvane.segment.segment() with its default settings (on
colour pictures also on their luma, to measure what colour adds); scikit-image's
felzenszwalb with the settings of its documentation's example (scale 100, sigma 0.5,
min_size 50); its SLIC superpixels, region adjacency graph and normalised cut as in its
documentation's example (slic compactness 30, 400 segments; rag_mean_color in similarity
mode; cut_normalized); scikit-learn's spectral_clustering on img_to_graph as in its
documentation's coins example (beta 10, eps 1e-6, arpack, k-means labels) with the true
number of regions given, on one picture shrunk to 64 x 64 only (a larger one did not
finish in time here: docs/segmentation.md), in a subprocess bounded to SPECTRAL_SECONDS.
The adjusted Rand index (scikit-learn's) against the truth for the synthetic pictures;
segment counts and times for the real ones (they have no truth). Writes the tables to
MARKDOWN (default docs/segmentation-benchmark.md) and prints them.
"""

import argparse
import multiprocessing
import platform
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import scenes  # noqa: E402
import quorvane.segment as seg  # noqa: E402

SPECTRAL_SECONDS = 300


def ours(picture):
    return seg.segment(picture, seg.Settings())[5]


def ours_grey(picture):
    return seg.segment(seg.grey_of(picture), seg.Settings())[5]


def felzenszwalb(picture):
    from skimage.segmentation import felzenszwalb

    return felzenszwalb(
        picture, scale=100, sigma=0.5, min_size=50, channel_axis=-1 if picture.ndim == 3 else None
    )


def slic_ncut(picture):
    from skimage import segmentation

    try:
        from skimage import graph

        graph.rag_mean_color
    except AttributeError:  # scikit-image before 0.20 keeps them in skimage.future
        from skimage.future import graph

    rgb = picture if picture.ndim == 3 else np.repeat(picture[:, :, None], 3, axis=2)
    # The documentation's example works on 8-bit values (rag_mean_color's sigma is 255).
    rgb = rgb * 255
    labels = segmentation.slic(rgb, compactness=30, n_segments=400, start_label=1)
    rag = graph.rag_mean_color(rgb, labels, mode="similarity")
    return graph.cut_normalized(labels, rag)


def _spectral(picture, regions, queue):
    from sklearn.cluster import spectral_clustering
    from sklearn.feature_extraction import image

    grey = seg.grey_of(picture)
    g = image.img_to_graph(grey)
    g.data = np.exp(-10 * g.data / g.data.std()) + 1e-6
    start = time.perf_counter()
    labels = spectral_clustering(
        g, n_clusters=regions, eigen_solver="arpack", assign_labels="kmeans", random_state=0
    )
    queue.put((labels.reshape(grey.shape), time.perf_counter() - start))


def spectral_sklearn(picture, regions, seconds=SPECTRAL_SECONDS):
    """(labels, seconds) or (None, seconds) when it did not finish in time."""
    queue = multiprocessing.get_context("fork").Queue()
    process = multiprocessing.get_context("fork").Process(
        target=_spectral, args=(picture, regions, queue)
    )
    start = time.perf_counter()
    process.start()
    process.join(seconds)
    if process.is_alive():
        process.terminate()
        process.join()
        return None, time.perf_counter() - start
    return queue.get()


METHODS = [
    ("quorvane", ours),
    ("quorvane on luma", ours_grey),
    ("felzenszwalb", felzenszwalb),
    ("SLIC + RAG + ncut", slic_ncut),
]


def timed(method, picture):
    start = time.perf_counter()
    labels = method(picture)
    return labels, time.perf_counter() - start


def skimage_version():
    import skimage

    return skimage.__version__


def sklearn_version():
    import sklearn

    return sklearn.__version__


def machine():
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.machine()


def read_photographs():
    return [
        (path.name, seg.read_picture(path)) for path in sorted((HERE.parent / "data").glob("*.png"))
    ]


def main(argv=None):
    from sklearn.metrics import adjusted_rand_score

    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument(
        "markdown", nargs="?", default=str(HERE.parent / "docs" / "segmentation-benchmark.md")
    )
    p.add_argument("--count", type=int, default=24, help="synthetic pictures (seeds 0 .. N-1)")
    args = p.parse_args(argv)

    lines = []

    def say(text=""):
        print(text, flush=True)
        lines.append(text)

    say("# Segmentation benchmark")
    say()
    say(
        f"Made by `make bench` (bench/segmentation_bench.py): {machine()}, "
        f"{multiprocessing.cpu_count()} cores, Python {platform.python_version()}, "
        f"numpy {np.__version__}, "
        f"scikit-image {skimage_version()}, scikit-learn {sklearn_version()}. "
        "Times are wall clock per picture, one process, every method on each picture in turn."
    )
    say()
    say("## Synthetic photographs with known regions (256 x 256, bench/scenes.py)")
    say()
    header = " | ".join(f"{name} ARI | s" for name, _ in METHODS)
    say(f"| seed | kind | regions | {header} |")
    say("|" + "---|" * (3 + 2 * len(METHODS)))
    scores = {name: [] for name, _ in METHODS}
    times = {name: [] for name, _ in METHODS}
    counts = {name: [] for name, _ in METHODS}
    for seed in range(args.count):
        picture, truth, kind = scenes.scene(seed)
        cells = []
        for name, method in METHODS:
            if name == "quorvane on luma" and picture.ndim == 2:
                cells.append("— | —")
                continue
            labels, seconds = timed(method, picture)
            score = adjusted_rand_score(truth.ravel(), labels.ravel())
            scores[name].append(score)
            times[name].append(seconds)
            counts[name].append(len(np.unique(labels)))
            cells.append(f"{score:.3f} ({len(np.unique(labels))}) | {seconds:.2f}")
        say(f"| {seed} | {kind} | {truth.max() + 1} | " + " | ".join(cells) + " |")
    say()
    say("ARI: adjusted Rand index against the truth, segments in brackets. Summary:")
    say()
    say("| method | pictures | mean ARI | lowest ARI | median s | largest s |")
    say("|---|---|---|---|---|---|")
    for name, _ in METHODS:
        if scores[name]:
            say(
                f"| {name} | {len(scores[name])} | {np.mean(scores[name]):.3f} | "
                f"{np.min(scores[name]):.3f} | "
                f"{np.median(times[name]):.2f} | {np.max(times[name]):.2f} |"
            )
    colour = [i for i in range(args.count) if scenes.KINDS[i % len(scenes.KINDS)] == "colour"]
    if colour:
        ranks = {i: k for k, i in enumerate(range(args.count))}
        mine = [scores["quorvane"][ranks[i]] for i in colour]
        say()
        say(
            f"On the {len(colour)} colour pictures quorvane's mean ARI is {np.mean(mine):.3f} "
            "with colour and "
            f"{np.mean(scores['quorvane on luma']):.3f} on their luma alone."
        )

    picture, truth, _ = scenes.scene(0)
    small = seg.shrink(picture, 4)
    small_truth = truth[::4, ::4]
    labels, seconds = spectral_sklearn(small, int(small_truth.max()) + 1)
    say()
    if labels is None:
        say(
            "scikit-learn's spectral_clustering on img_to_graph (seed 0 shrunk to 64 x 64, "
            f"the true {small_truth.max() + 1} regions given) did not finish within "
            f"{SPECTRAL_SECONDS} s."
        )
    else:
        ours_labels, ours_seconds = timed(ours, small)
        say(
            "scikit-learn's spectral_clustering on img_to_graph (seed 0 shrunk to 64 x 64, "
            f"the true {small_truth.max() + 1} regions given): "
            f"ARI {adjusted_rand_score(small_truth.ravel(), labels.ravel()):.3f} "
            f"in {seconds:.1f} s; quorvane on the same picture: "
            f"ARI {adjusted_rand_score(small_truth.ravel(), ours_labels.ravel()):.3f} "
            f"in {ours_seconds:.2f} s."
        )

    say()
    say("## The photographs of data/ (no truth: segments and seconds)")
    say()
    say(
        "| photograph | size | "
        + " | ".join(f"{name} segments | s" for name, _ in METHODS if name != "quorvane on luma")
        + " |"
    )
    say("|---|---|" + "---|---|" * (len(METHODS) - 1))
    for name, original in read_photographs():
        factor = seg.shrink_factor(original.shape, seg.Settings().pixel_budget)
        picture = seg.shrink(original, factor)
        cells = []
        for method_name, method in METHODS:
            if method_name == "quorvane on luma":
                continue
            labels, seconds = timed(method, picture)
            cells.append(f"{len(np.unique(labels))} | {seconds:.2f}")
        size = f"{picture.shape[0]} x {picture.shape[1]}" + (
            f" (shrunk by {factor})" if factor > 1 else ""
        )
        say(f"| {name} | {size} | " + " | ".join(cells) + " |")
    Path(args.markdown).parent.mkdir(parents=True, exist_ok=True)
    Path(args.markdown).write_text("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
