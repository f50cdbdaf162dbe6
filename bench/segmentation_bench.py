"""The segmentation benchmark: quorvane.segment.segment() beside the peers a user would pick
instead, scored on photographs with known regions and tested for stability on real ones.

    PYTHONPATH=<build>/python /usr/bin/python3 bench/segmentation_bench.py [MARKDOWN]
        [--split tuning|held-out] [--pictures DIR] [--no-stability]

Known regions. Every photograph of the split (bench/known_regions.py: nine kinds of
camera-made pictures, default the held-out seeds) is segmented by each method in turn and
timed (wall clock, one process): quorvane.segment.segment() with its default Settings;
scikit-image's felzenszwalb with its documentation example's settings (scale 100, sigma 0.5,
min_size 50) on the picture as float in [0, 1]; its SLIC superpixels, region adjacency graph
and normalised cut as in its documentation's example (slic compactness 30, 400 segments,
start_label 1, on 8-bit RGB; rag_mean_color in similarity mode; cut_normalized); and, on the
first seed of each kind only, scikit-learn's spectral_clustering on img_to_graph of the grey
values as in its coins example (beta 10, eps 1e-6, arpack, k-means labels), given the true
number of regions, in a subprocess allowed SPECTRAL_SECONDS. The score is the adjusted Rand
index (scikit-learn's) against the truth: per kind the mean and lowest, the segments found
against the true regions, the median seconds per picture.

Stability. The photographs of data/ and five of scikit-image's are shrunk as the demo
shrinks them (photographs.shrink_factor within Settings().pixel_budget, photographs.shrink),
then segmented as they are and after three changes a viewer would not notice: JPEG at
quality 60, a Gaussian blur of sigma 1, a bicubic enlargement by 1.5. The adjusted Rand index
between the labels before and after says how much of a segmentation survives them, for
quorvane and for felzenszwalb. The enlarged picture's labels are compared at the picture's
own size: each pixel takes the label at its centre in the enlarged picture (nearest neighbour).

Writes the tables to MARKDOWN (default docs/segmentation-benchmark.md) and prints them, and
draws the worst cases into PNGs under --pictures (default docs/segmentation-benchmark/).
"""

import argparse
import io
import multiprocessing
import os
import platform
import sys
import time
from collections import namedtuple
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import known_regions  # noqa: E402
import quorvane.segment as seg  # noqa: E402
from quorvane.segment import photographs  # noqa: E402

SPECTRAL_SECONDS = 60
PERTURBATIONS = ("jpeg60", "blur1", "resize1.5")
# Figures of the worst cases: inches per panel and dots per inch (they are committed).
PANEL_INCHES = 2.5
DPI = 80

Score = namedtuple("Score", "kind seed method ari segments regions seconds")


# --- the methods -----------------------------------------------------------------------------


def quorvane_labels(picture):
    return seg.segment(picture, seg.Settings())


def unit_float(picture):
    """The picture as float in [0, 1], as scikit-image reads an image's values."""
    from skimage.util import img_as_float

    return img_as_float(picture)


def felzenszwalb_labels(picture):
    from skimage.segmentation import felzenszwalb

    image = unit_float(picture)
    return felzenszwalb(
        image, scale=100, sigma=0.5, min_size=50, channel_axis=-1 if image.ndim == 3 else None
    )


def rgb8(picture):
    """The picture as 8-bit RGB (the SLIC example's input)."""
    from skimage import color, util

    image = util.img_as_ubyte(picture)
    return color.gray2rgb(image) if image.ndim == 2 else image[:, :, :3]


def rag_graph():
    try:
        from skimage import graph

        graph.rag_mean_color
    except AttributeError:  # scikit-image before 0.20 keeps it in skimage.future
        from skimage.future import graph
    return graph


def slic_ncut_labels(picture):
    from skimage import segmentation

    graph = rag_graph()
    image = rgb8(picture)
    superpixels = segmentation.slic(image, compactness=30, n_segments=400, start_label=1)
    rag = graph.rag_mean_color(image, superpixels, mode="similarity")
    # A fixed seed for the eigenvector's start, so that runs repeat.
    return graph.cut_normalized(superpixels, rag, random_state=0)


def grey_values(picture):
    """Grey float values in [0, 1] (luma of a colour picture), spectral clustering's input."""
    from skimage import color

    image = unit_float(picture)
    return color.rgb2gray(image) if image.ndim == 3 else image


def _spectral_child(grey, regions, connection):
    try:
        from sklearn.cluster import spectral_clustering
        from sklearn.feature_extraction import image

        start = time.perf_counter()
        graph = image.img_to_graph(grey)
        beta, eps = 10, 1e-6
        graph.data = np.exp(-beta * graph.data / graph.data.std()) + eps
        labels = spectral_clustering(
            graph,
            n_clusters=regions,
            eigen_solver="arpack",
            assign_labels="kmeans",
            random_state=42,
        )
        connection.send((labels.reshape(grey.shape), time.perf_counter() - start, None))
    except Exception as error:  # reported by the parent as the method's failure
        connection.send((None, 0.0, f"{type(error).__name__}: {error}"))


def spectral_labels(picture, regions, seconds):
    """(labels, seconds, failure) of spectral clustering in a subprocess allowed seconds;
    labels is None when it failed or did not finish, failure then says which."""
    context = multiprocessing.get_context("fork")
    receiving, sending = context.Pipe(duplex=False)
    process = context.Process(target=_spectral_child, args=(grey_values(picture), regions, sending))
    process.start()
    sending.close()
    try:
        # Read before joining: the child cannot exit while its labels fill the pipe.
        if receiving.poll(seconds):
            return receiving.recv()
        return None, seconds, f"did not finish in {seconds:g} s"
    except EOFError:
        return None, 0.0, f"died with exit code {process.exitcode}"
    finally:
        if process.is_alive():
            process.terminate()
        process.join()
        receiving.close()


METHODS = [
    ("quorvane", quorvane_labels),
    ("felzenszwalb", felzenszwalb_labels),
    ("SLIC + RAG + ncut", slic_ncut_labels),
]
SPECTRAL = "spectral_clustering"


def timed(method, picture):
    start = time.perf_counter()
    labels = method(picture)
    return labels, time.perf_counter() - start


def segment_count(labels):
    return len(np.unique(labels))


def segments(count):
    return f"{count} segment" + ("" if count == 1 else "s")


# --- the machine ----------------------------------------------------------------------------


def cpu_model():
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


def debian_version():
    try:
        return "Debian " + Path("/etc/debian_version").read_text().strip()
    except OSError:
        return platform.platform()


def machine_line():
    import scipy
    import skimage
    import sklearn

    return (
        f"{cpu_model()}, {os.cpu_count()} cores, {debian_version()}, "
        f"Python {platform.python_version()}, numpy {np.__version__}, scipy {scipy.__version__}, "
        f"scikit-image {skimage.__version__}, scikit-learn {sklearn.__version__}"
    )


# --- known regions --------------------------------------------------------------------------


def progress(text):
    print(text, file=sys.stderr, flush=True)


def score_picture(kind, seed, image, truth, spectral_seconds):
    """The Score of every method on one picture, and the labels of those of METHODS."""
    from sklearn.metrics import adjusted_rand_score

    regions = segment_count(truth)
    scores, labels_of = [], {}
    for name, method in METHODS:
        labels, seconds = timed(method, image)
        labels_of[name] = labels
        ari = adjusted_rand_score(truth.ravel(), labels.ravel())
        scores.append(Score(kind, seed, name, ari, segment_count(labels), regions, seconds))
    if spectral_seconds:
        labels, seconds, failure = spectral_labels(image, regions, spectral_seconds)
        if labels is None:
            progress(f"  {SPECTRAL} on {kind} {seed}: {failure}")
            scores.append(Score(kind, seed, SPECTRAL, failure, None, regions, seconds))
        else:
            ari = adjusted_rand_score(truth.ravel(), labels.ravel())
            scores.append(Score(kind, seed, SPECTRAL, ari, segment_count(labels), regions, seconds))
    return scores, labels_of


def score_split(split_name, spectral_seconds):
    """Every Score of the split, and (kind, seed, image, truth, labels_of) of every picture."""
    first = known_regions.split(split_name)[0]
    scores, pictures = [], []
    for kind in known_regions.KINDS:
        for seed in known_regions.split(split_name):
            image, truth = known_regions.photograph(kind, seed)
            allowed = spectral_seconds if seed == first else 0
            picture_scores, labels_of = score_picture(kind, seed, image, truth, allowed)
            scores += picture_scores
            pictures.append((kind, seed, image, truth, labels_of))
            mine = picture_scores[0]
            progress(f"{kind} {seed}: quorvane ARI {mine.ari:.3f} in {mine.seconds:.2f} s")
    return scores, pictures


def finished(scores):
    return [s for s in scores if not isinstance(s.ari, str)]


def method_cells(scores):
    """ARI mean / min, segments, median seconds of one method's scores on some pictures."""
    done = finished(scores)
    if not done:
        return [scores[0].ari if scores else "—", "—", "—"]
    aris = [s.ari for s in done]
    ari = f"{np.mean(aris):.3f} / {np.min(aris):.3f}" if len(done) > 1 else f"{aris[0]:.3f}"
    if len(done) < len(scores):
        ari += f" ({len(done)} of {len(scores)} finished)"
    return [
        ari,
        f"{np.mean([s.segments for s in done]):.1f}",
        f"{np.median([s.seconds for s in done]):.2f}",
    ]


def known_regions_table(scores):
    names = [name for name, _ in METHODS] + [SPECTRAL]
    header = "| kind | pictures | true regions | " + " | ".join(
        f"{name} ARI mean / min | segments | s" for name in names
    )
    rows = [header + " |", "|" + "---|" * (3 + 3 * len(names))]
    for kind in list(known_regions.KINDS) + ["all"]:
        of_kind = [s for s in scores if kind in ("all", s.kind)]
        ours = [s for s in of_kind if s.method == "quorvane"]
        cells = [
            f"**{kind}**" if kind == "all" else kind,
            str(len(ours)),
            f"{np.mean([s.regions for s in ours]):.1f}",
        ]
        for name in names:
            cells += method_cells([s for s in of_kind if s.method == name])
        rows.append("| " + " | ".join(cells) + " |")
    return rows


def worst(scores, count=3):
    ours = sorted((s for s in scores if s.method == "quorvane"), key=lambda s: s.ari)
    return ours[:count]


# --- stability ------------------------------------------------------------------------------


def data_photographs():
    """(name, picture as float in [0, 1]) of every photograph in data/ that Pillow reads."""
    from PIL import UnidentifiedImageError

    found = []
    for path in sorted((ROOT / "data").iterdir()):
        try:
            found.append((path.name, seg.read_picture(path)))
        except (UnidentifiedImageError, OSError):
            continue
    return found


def skimage_photographs():
    from skimage import data

    return [
        ("astronaut", data.astronaut()),
        ("coffee", data.coffee()),
        ("chelsea", data.chelsea()),
        ("rocket", data.rocket()),
        ("motorcycle_left", data.stereo_motorcycle()[0]),
    ]


def shrunk(picture):
    """The picture as float in [0, 1], shrunk as the demo shrinks it, and the factor."""
    factor = photographs.shrink_factor(picture.shape[:2], seg.Settings().pixel_budget)
    return photographs.shrink(unit_float(picture), factor), factor


def as_uint8(picture):
    return np.round(np.clip(picture, 0.0, 1.0) * 255).astype(np.uint8)


def jpeg60(picture):
    from PIL import Image

    buffer = io.BytesIO()
    Image.fromarray(as_uint8(picture)).save(buffer, format="JPEG", quality=60)
    buffer.seek(0)
    return np.asarray(Image.open(buffer))


def blur1(picture):
    from scipy import ndimage

    return ndimage.gaussian_filter(picture, (1.0, 1.0) + (0.0,) * (picture.ndim - 2))


def resize15(picture):
    from PIL import Image

    h, w = picture.shape[:2]
    size = (round(1.5 * w), round(1.5 * h))
    return np.asarray(Image.fromarray(as_uint8(picture)).resize(size, Image.BICUBIC))


PERTURB = {"jpeg60": jpeg60, "blur1": blur1, "resize1.5": resize15}


def at_size(labels, shape):
    """Labels sampled at the centres of the pixels of an image of shape covering the same
    area (nearest neighbour)."""
    rows = np.minimum(
        ((np.arange(shape[0]) + 0.5) * labels.shape[0] / shape[0]).astype(int), labels.shape[0] - 1
    )
    columns = np.minimum(
        ((np.arange(shape[1]) + 0.5) * labels.shape[1] / shape[1]).astype(int), labels.shape[1] - 1
    )
    return labels[rows][:, columns]


def stability_of(name, original):
    """The stability row of one photograph: its shrunk picture and, per method, the labels
    before and after every perturbation (at the picture's size) with their ARI."""
    from sklearn.metrics import adjusted_rand_score

    picture, factor = shrunk(original)
    row = {"name": name, "picture": picture, "factor": factor, "original": original.shape}
    for method, segment in (("quorvane", quorvane_labels), ("felzenszwalb", felzenszwalb_labels)):
        before = segment(picture)
        row[method] = {"before": before, "after": {}, "ari": {}}
        for perturbation in PERTURBATIONS:
            after = at_size(segment(PERTURB[perturbation](picture)), before.shape)
            row[method]["after"][perturbation] = after
            row[method]["ari"][perturbation] = adjusted_rand_score(before.ravel(), after.ravel())
    progress(
        f"{name}: quorvane "
        + ", ".join(f"{p} {row['quorvane']['ari'][p]:.3f}" for p in PERTURBATIONS)
    )
    return row


def stability_rows():
    return [
        stability_of(name, picture) for name, picture in data_photographs() + skimage_photographs()
    ]


def stability_table(rows):
    methods = ("quorvane", "felzenszwalb")
    header = "| photograph | size | " + " | ".join(
        f"{m} segments | {m} ARI " + " | ".join(PERTURBATIONS) for m in methods
    )
    table = [header + " |", "|" + "---|" * (2 + 4 * len(methods))]
    for row in rows:
        h, w = row["picture"].shape[:2]
        size = f"{h} x {w}" + (f" (shrunk by {row['factor']})" if row["factor"] > 1 else "")
        cells = [row["name"], size]
        for m in methods:
            cells.append(str(segment_count(row[m]["before"])))
            cells += [
                f"{row[m]['ari'][p]:.3f} ({segment_count(row[m]['after'][p])})"
                for p in PERTURBATIONS
            ]
        table.append("| " + " | ".join(cells) + " |")
    cells = ["**mean**", ""]
    for m in methods:
        cells.append(f"{np.mean([segment_count(row[m]['before']) for row in rows]):.1f}")
        cells += [f"{np.mean([row[m]['ari'][p] for row in rows]):.3f}" for p in PERTURBATIONS]
    table.append("| " + " | ".join(cells) + " |")
    return table


def worst_perturbation(row):
    return min(PERTURBATIONS, key=lambda p: row["quorvane"]["ari"][p])


# --- pictures -------------------------------------------------------------------------------


def shown(picture):
    """RGB float values to draw: a 16-bit picture stretched to its own range."""
    from skimage import color

    image = unit_float(picture)
    if picture.dtype == np.uint16:
        image = (image - image.min()) / max(image.max() - image.min(), 1e-12)
    return color.gray2rgb(image) if image.ndim == 2 else image[:, :, :3]


def draw(path, image, panels):
    """A PNG of the image beside its segmentations: panels is a list of (title, labels)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from PIL import Image
    from skimage.segmentation import mark_boundaries

    count = len(panels) + 1
    height = PANEL_INCHES * image.shape[0] / image.shape[1] + 0.35
    figure, axes = plt.subplots(1, count, figsize=(PANEL_INCHES * count, height))
    axes[0].imshow(image)
    axes[0].set_title("picture", fontsize=9)
    for axis, (title, labels) in zip(axes[1:], panels):
        axis.imshow(mark_boundaries(image, labels, mode="thick"))
        axis.set_title(title, fontsize=9)
    for axis in axes:
        axis.set_axis_off()
    figure.tight_layout()
    drawn = io.BytesIO()
    figure.savefig(drawn, format="png", dpi=DPI)
    plt.close(figure)
    # A palette of 256 colours keeps the committed file a third of the size.
    drawn.seek(0)
    with Image.open(drawn) as picture:
        picture.convert("RGB").quantize(256).save(path, optimize=True)


def draw_worst_known(directory, split_name, scores, pictures):
    """One PNG per worst picture of quorvane; returns (caption, path) of each."""
    drawn = []
    by_key = {(kind, seed): rest for kind, seed, *rest in pictures}
    felzenszwalb = {(s.kind, s.seed): s for s in scores if s.method == "felzenszwalb"}
    for rank, score in enumerate(worst(scores), 1):
        image, truth, labels_of = by_key[(score.kind, score.seed)]
        other = felzenszwalb[(score.kind, score.seed)]
        path = directory / f"worst-{split_name}-{rank}.png"
        draw(
            path,
            shown(image),
            [
                (f"truth ({score.regions} regions)", truth),
                (f"quorvane ARI {score.ari:.3f} ({score.segments})", labels_of["quorvane"]),
                (f"felzenszwalb ARI {other.ari:.3f} ({other.segments})", labels_of["felzenszwalb"]),
            ],
        )
        drawn.append((f"{score.kind} {score.seed}", path))
    return drawn


def draw_stability(directory, rows):
    """One PNG per stability photograph, of its worst change for quorvane; returns
    (caption, path) of each."""
    drawn = []
    for row in rows:
        perturbation = worst_perturbation(row)
        panels = []
        for method in ("quorvane", "felzenszwalb"):
            result = row[method]
            panels.append((f"{method} ({segment_count(result['before'])})", result["before"]))
            panels.append(
                (
                    f"after {perturbation}: ARI {result['ari'][perturbation]:.3f}",
                    result["after"][perturbation],
                )
            )
        path = directory / f"stability-{Path(row['name']).stem}.png"
        draw(path, shown(row["picture"]), panels)
        drawn.append((f"{row['name']}, {perturbation}", path))
    return drawn


# --- the report -----------------------------------------------------------------------------


def known_regions_text(split_name, scores, spectral_seconds):
    seeds = known_regions.split(split_name)
    lines = [
        f"## Photographs with known regions: the {split_name} split",
        "",
        f"bench/known_regions.py, {len(known_regions.KINDS)} kinds x {len(seeds)} seeds "
        f"({seeds[0]} to {seeds[-1]}), 256 x 256 as drawn. ARI: adjusted Rand index against "
        "the truth (mean / lowest over the kind's pictures); segments and true regions: means; "
        f"s: median seconds per picture. {SPECTRAL} ran on the first seed ({seeds[0]}) of each "
        f"kind only, given the true number of regions, allowed {spectral_seconds:g} s.",
        "",
    ]
    return lines + known_regions_table(scores)


def worst_text(scores):
    lines = ["", "The pictures quorvane did worst on:", ""]
    others = {(s.kind, s.seed, s.method): s for s in scores}
    for score in worst(scores):
        peer = others[(score.kind, score.seed, "felzenszwalb")]
        lines.append(
            f"- {score.kind} {score.seed}: ARI {score.ari:.3f}, {segments(score.segments)} for "
            f"{score.regions} regions (felzenszwalb: ARI {peer.ari:.3f}, "
            f"{segments(peer.segments)})"
        )
    return lines


def stability_text(rows):
    return [
        "",
        "## Stability without truth",
        "",
        "Each photograph as float in [0, 1], shrunk as the demo shrinks it, then segmented as "
        "it is and after each change: jpeg60, saved as JPEG at quality 60 (Pillow) from its "
        "8-bit values; blur1, a Gaussian blur of sigma 1 over its rows and columns; resize1.5, "
        "enlarged by 1.5 (Pillow's bicubic, from its 8-bit values), its labels then taken back "
        "at the picture's own size by nearest neighbour. ARI between the labels before and "
        "after the change (1: the same segmentation), the segments after it in brackets; "
        "segments: before the change. Two segmentations of one segment each have an ARI of 1, "
        "one of a single segment beside one of several an ARI of 0.",
        "",
    ] + stability_table(rows)


def pictures_text(markdown, drawn):
    lines = ["", "## Pictures of the worst cases", ""]
    lines.append(
        "Segment borders in yellow; panel titles give the ARI and, in brackets, the segments. "
        "A 16-bit picture is shown stretched to its own range."
    )
    lines.append("")
    for caption, path in drawn:
        link = os.path.relpath(path, Path(markdown).resolve().parent)
        lines += [f"{caption}:", "", f"![{caption}]({link})", ""]
    return lines[:-1]


def header_text(argv):
    return [
        "# Segmentation benchmark",
        "",
        "Written by `" + " ".join(["bench/segmentation_bench.py"] + argv) + "` (with "
        "`PYTHONPATH=build/python`, or by `make bench`); run it again to regenerate this page "
        "and its pictures. bench/segmentation_bench.py's docstring says what it measures.",
        "",
        f"Machine: {machine_line()}. Times are wall clock, one process, the methods taking "
        "turns on each picture; the machine is shared, so they are noisy.",
        "",
    ]


def arguments(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("markdown", nargs="?", default=str(ROOT / "docs" / "segmentation-benchmark.md"))
    p.add_argument("--split", choices=("tuning", "held-out"), default="held-out")
    p.add_argument("--pictures", default=str(ROOT / "docs" / "segmentation-benchmark"))
    p.add_argument("--no-stability", action="store_true", help="skip the stability part")
    p.add_argument(
        "--spectral-seconds", type=float, default=SPECTRAL_SECONDS, help="spectral's time limit"
    )
    return p.parse_args(argv)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    args = arguments(argv)
    start = time.perf_counter()
    directory = Path(args.pictures)
    directory.mkdir(parents=True, exist_ok=True)

    scores, pictures = score_split(args.split, args.spectral_seconds)
    lines = header_text(argv) + known_regions_text(args.split, scores, args.spectral_seconds)
    lines += worst_text(scores)
    drawn = draw_worst_known(directory, args.split, scores, pictures)
    if not args.no_stability:
        rows = stability_rows()
        lines += stability_text(rows)
        drawn += draw_stability(directory, rows)
    lines += pictures_text(args.markdown, drawn)
    lines += ["", f"The run took {(time.perf_counter() - start) / 60:.1f} minutes."]

    print("\n".join(lines))
    Path(args.markdown).parent.mkdir(parents=True, exist_ok=True)
    Path(args.markdown).write_text("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
