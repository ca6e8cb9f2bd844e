"""Draw one subnet's owner burn values as a step line into a PNG file.

Run as a child process by the bot of `emberscope watch`, so that the plotting library's memory
is given back when the child ends:

    python -m bittensor_emberscope.chart OUT.png < points.json
    python -m bittensor_emberscope.chart - < points.json > chart.png

("-" writes the picture to the standard output: nothing is left on disk when either process is
killed.)

The standard input holds {"title": "...", "points": [[unix_seconds, value], ...]}, oldest
first; each value holds until the next point's time. Exit status 0 with the file written, 2 for
input it cannot draw (the reason on standard error).
"""

from __future__ import annotations

import json
import math
import sys

WIDTH_INCHES, HEIGHT_INCHES, DPI = 8.0, 4.0, 100  # 800 x 400 pixels


def read_points(document: object) -> tuple[str, list[tuple[float, float]]]:
    """The title and the points of the input; ValueError when it is not usable."""
    if not isinstance(document, dict):
        raise ValueError("the input is not a JSON object")
    title = document.get("title", "")
    points = document.get("points")
    if not isinstance(title, str) or not isinstance(points, list) or not points:
        raise ValueError("the input needs a text title and a non-empty list of points")
    out = []
    for point in points:
        if (not isinstance(point, list) or len(point) != 2
                or not all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in point)
                or not all(math.isfinite(v) for v in point)):
            raise ValueError(f"not a point [unix_seconds, value]: {point!r}")
        out.append((float(point[0]), float(point[1])))
    if any(b[0] < a[0] for a, b in zip(out, out[1:])):
        raise ValueError("the points are not in time order")
    return title, out


def draw(title: str, points: list[tuple[float, float]], path: object) -> None:
    import datetime

    import matplotlib

    matplotlib.use("Agg")
    # The figure without pyplot: no global figure registry, and a tenth of a second less to load.
    import matplotlib.dates as mdates
    from matplotlib.figure import Figure

    times = [datetime.datetime.fromtimestamp(t, datetime.timezone.utc) for t, _ in points]
    values = [v for _, v in points]
    fig = Figure(figsize=(WIDTH_INCHES, HEIGHT_INCHES), dpi=DPI)
    ax = fig.subplots()
    ax.step(times, values, where="post", color="#d9480f", linewidth=2)
    ax.plot(times[-1:], values[-1:], "o", color="#d9480f")
    ax.set_title(title)
    ax.set_ylabel("owner burn")
    ax.grid(True, alpha=0.3)
    low, high = min(values), max(values)
    pad = (high - low) * 0.1 or max(abs(high) * 0.1, 0.05)
    ax.set_ylim(low - pad, high + pad)
    locator = mdates.AutoDateLocator(tz=datetime.timezone.utc)
    ax.xaxis.set_major_locator(locator)
    ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator, tz=datetime.timezone.utc))
    ax.set_xlabel("UTC")
    fig.tight_layout()
    fig.savefig(path, format="png")


def main(argv: list[str]) -> int:
    if len(argv) != 1:
        sys.stderr.write("usage: python -m bittensor_emberscope.chart OUT.png < points.json\n")
        return 2
    try:
        title, points = read_points(json.load(sys.stdin))
    except ValueError as e:
        sys.stderr.write(f"chart: {e}\n")
        return 2
    if argv[0] == "-":
        draw(title, points, sys.stdout.buffer)
        sys.stdout.buffer.flush()
    else:
        draw(title, points, argv[0])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
