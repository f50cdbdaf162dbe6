"""The pictures of a segmentation run, drawn with matplotlib's Agg canvas into PNG files.

No window opens and pyplot's global state is not touched: each picture is a Figure of its
own on an Agg canvas, whatever backend the user has chosen. Images given here are numpy
arrays of grey (H x W) or colour (H x W x 3) values in [0, 1]; the shrunk image, its boundary
strength, basins and weights share one shape, the photograph and its segments another.
"""

import functools
import importlib.util
from pathlib import Path

import numpy as np


@functools.cache
def _matplotlib():
    """matplotlib's Agg canvas, Figure, Rectangle and the weights' colours (dark red, 0: an
    edge between the pixels, to yellow, 1: none), imported at the first drawing and not with
    this module, so that a run does not hold matplotlib's memory (about 25 MiB) through the
    segmentation."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.colors import LinearSegmentedColormap
    from matplotlib.figure import Figure
    from matplotlib.patches import Rectangle

    colours = LinearSegmentedColormap.from_list("weight", ["#5a0000", "#d02000", "#ffff00"])
    return FigureCanvasAgg, Figure, Rectangle, colours


def check_matplotlib():
    """ImportError when matplotlib is not there, without importing it."""
    if importlib.util.find_spec("matplotlib") is None:
        raise ModuleNotFoundError("No module named 'matplotlib'", name="matplotlib")


# Pixels whose weights are shown, as shares of the image's height and width. In coins.png
# they are the middle of a coin, a coin just inside its rim, a narrow gap between two
# coins, open background and the face on a coin; elsewhere they are just five places.
PLACES = [(0.152, 0.875), (0.550, 0.906), (0.503, 0.906), (0.298, 0.339), (0.642, 0.557)]


DPI = 100


def _figure(width, height):
    canvas, Figure, _, _ = _matplotlib()
    figure = Figure(figsize=(width, height), dpi=DPI, layout="constrained")
    canvas(figure)
    return figure


def _image_axes(figure, *grid):
    axes = figure.add_subplot(*grid)
    axes.set_axis_off()
    return axes


def _save(figure, path):
    figure.savefig(path)
    return Path(path)


def _height_for(shape, width, columns=1, extra=0.5):
    """Figure height in inches that fits images of this shape side by side, plus titles."""
    return width / columns * shape[0] / shape[1] + extra


def _sampling(shape, inches):
    """Every k-th pixel of a picture of this shape, k the least that leaves at most the
    pixels a figure `inches` wide shows (it shows the nearest pixel): large pictures draw
    in a fraction of the time."""
    step = max(1, -(-max(shape[:2]) // (inches * DPI)))
    return slice(None, None, step), slice(None, None, step)


def _show(axes, picture, shape, **options):
    """imshow of a picture sampled from one of this shape, in the whole one's coordinates."""
    h, w = shape[:2]
    return axes.imshow(
        picture, interpolation="nearest", extent=(-0.5, w - 0.5, h - 0.5, -0.5), **options
    )


def _rgb(picture):
    """An H x W x 3 picture of a grey (H x W) or colour one, values in [0, 1]."""
    picture = np.clip(picture, 0.0, 1.0)
    return picture if picture.ndim == 3 else np.repeat(picture[:, :, None], 3, axis=2)


def input_picture(path, original, title):
    figure = _figure(6, _height_for(original.shape, 6))
    axes = _image_axes(figure)
    _show(axes, _rgb(original[_sampling(original.shape, 6)]), original.shape)
    axes.set_title(title)
    return _save(figure, path)


def strength_picture(path, strength, crests):
    """The boundary strength (its square root, in noise units) and its crests."""
    figure = _figure(10, _height_for(strength.shape, 10, 2, extra=0.9))
    for place, (shown, title) in enumerate(
        ((strength, "boundary strength"), (crests, "its crests: the weights' magnitude")), start=1
    ):
        axes = _image_axes(figure, 1, 2, place)
        # The square root shows the weak borders beside the strong ones.
        drawn = _show(axes, np.sqrt(shown[_sampling(shown.shape, 5)]), shown.shape, cmap="magma")
        axes.set_title(f"{title} (square root, noise units)")
        figure.colorbar(drawn, ax=axes, shrink=0.8)
    return _save(figure, path)


def regions_picture(path, image, basins, regions, seed=7):
    """The basins, each its colour, and the regions they merge into over the image."""
    figure = _figure(10, _height_for(basins.shape, 10, 2, extra=0.6))
    for place, (labels, title) in enumerate(
        ((basins, "basins: the phase of the weights"), (regions, "merged regions")), start=1
    ):
        count = int(labels.max()) + 1
        colours = np.random.default_rng(seed).uniform(0.2, 1.0, (count, 3))
        sampled = _sampling(labels.shape, 5)
        shown = 0.5 * _rgb(image[sampled]) + 0.5 * colours[labels[sampled]]
        shown[segment_borders(labels)[sampled]] = (1.0, 0.0, 0.0)
        axes = _image_axes(figure, 1, 2, place)
        _show(axes, shown, labels.shape)
        axes.set_title(f"{count} {title}")
    return _save(figure, path)


def chosen_pixels(shape, radius):
    """(row, column) of the pixels whose weights are shown, kept a disc's width from the
    border where the image allows."""
    half = int(radius) + 3
    picks = []
    for share_row, share_column in PLACES:
        row, column = round(share_row * shape[0]), round(share_column * shape[1])
        row = min(max(row, half), shape[0] - 1 - half) if shape[0] > 2 * half else shape[0] // 2
        column = (
            min(max(column, half), shape[1] - 1 - half) if shape[1] > 2 * half else shape[1] // 2
        )
        picks.append((row, column))
    return picks, half


def weights_picture(path, image, weights, radius):
    """The weights of the chosen pixels to their partners over crops of the image. weights
    is quorvane's matrix (CSC; only the chosen pixels' columns are read)."""
    shape = image.shape[:2]
    weights = weights.tocsc()
    picks, half = chosen_pixels(shape, radius)
    figure = _figure(2.4 * len(picks) + 0.8, 3)
    *_, colours = _matplotlib()
    for number, (row, column) in enumerate(picks, start=1):
        top, left = max(row - half, 0), max(column - half, 0)
        bottom, right = min(row + half + 1, shape[0]), min(column + half + 1, shape[1])
        # A pixel's column of quorvane's matrix holds its partners.
        partners = weights[:, row * shape[1] + column].tocoo()
        shown = np.full(shape, np.nan)
        shown.flat[partners.row] = partners.data
        axes = _image_axes(figure, 1, len(picks), number)
        axes.imshow(_rgb(image[top:bottom, left:right]), interpolation="nearest")
        drawn = axes.imshow(
            shown[top:bottom, left:right],
            cmap=colours,
            vmin=0,
            vmax=1,
            alpha=0.75,
            interpolation="nearest",
        )
        axes.plot(column - left, row - top, "s", color="#0066ff", markersize=6)
        axes.set_title(f"{number}: pixel ({row}, {column})", fontsize=9)
    figure.colorbar(drawn, ax=figure.axes, shrink=0.8, label="weight")
    return _save(figure, path)


def weights_where_picture(path, image, radius):
    """Where the crops of weights_picture lie in the image."""
    shape = image.shape[:2]
    picks, half = chosen_pixels(shape, radius)
    figure = _figure(6, _height_for(shape, 6))
    axes = _image_axes(figure)
    _show(axes, _rgb(image[_sampling(shape, 6)]), shape)
    _, _, Rectangle, _ = _matplotlib()
    for number, (row, column) in enumerate(picks, start=1):
        corner = (column - half - 0.5, row - half - 0.5)
        axes.add_patch(Rectangle(corner, 2 * half + 1, 2 * half + 1, fill=False, edgecolor="red"))
        axes.annotate(
            str(number), (column + half, row - half), color="red", va="bottom", fontweight="bold"
        )
    axes.set_title("where the pixels of the weights lie")
    return _save(figure, path)


def segment_borders(segments):
    """True where a pixel's segment differs from the one below or to the right of it."""
    border = np.zeros(segments.shape, dtype=bool)
    border[:-1, :] |= segments[:-1, :] != segments[1:, :]
    border[:, :-1] |= segments[:, :-1] != segments[:, 1:]
    return border


def segmentation_picture(path, original, segments, count, seed=7):
    """The segments over the photograph, a colour each (fixed by seed), borders in red."""
    colours = np.random.default_rng(seed).uniform(0.25, 1.0, (count, 3))
    sampled = _sampling(segments.shape, 8)
    picture = 0.55 * _rgb(original[sampled]) + 0.45 * colours[segments[sampled]]
    picture[segment_borders(segments)[sampled]] = (1.0, 0.0, 0.0)
    figure = _figure(8, _height_for(original.shape, 8))
    axes = _image_axes(figure)
    _show(axes, picture, segments.shape)
    axes.set_title(f"{count} segments")
    return _save(figure, path)


# The drawings of a run, the slowest first, so that processes which take every P-th share
# them out about evenly; "weights" draws from the shown columns' weights.
DRAWINGS = ("weights", "regions", "strength", "segmentation", "input", "weights-where")


def shown_pixels(shape, radius):
    """The pixel numbers (C order) whose weights the weights pictures show."""
    picks, _ = chosen_pixels(shape, radius)
    return [row * shape[1] + column for row, column in picks]


def write_all(outdir, name, run, radius, drawings=DRAWINGS):
    """The pictures of a run (a quorvane.segment.Segmentation) of the photograph called
    name, with the pattern's radius, into outdir (created when missing): every drawing of
    DRAWINGS, or those named; their paths."""
    outdir = Path(outdir)
    outdir.mkdir(parents=True, exist_ok=True)
    title = f"{name}, {run.original.shape[0]} x {run.original.shape[1]}"
    draw = {
        "input": lambda: [input_picture(outdir / "input.png", run.original, title)],
        "strength": lambda: [strength_picture(outdir / "strength.png", run.strength, run.crests)],
        "weights": lambda: [
            weights_picture(outdir / "weights.png", run.image, run.weights, radius)
        ],
        "weights-where": lambda: [
            weights_where_picture(outdir / "weights-where.png", run.image, radius)
        ],
        "regions": lambda: [
            regions_picture(outdir / "regions.png", run.image, run.basins, run.regions)
        ],
        "segmentation": lambda: [
            segmentation_picture(outdir / "segmentation.png", run.original, run.segments, run.count)
        ],
    }
    return [path for drawing in drawings for path in draw[drawing]()]
