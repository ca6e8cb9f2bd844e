"""The chart child the program runs for `/chart`: a PNG a real decoder reads, written to its
standard output, and the reason on standard error for points it cannot draw."""

from __future__ import annotations

import io
import json
import os
import subprocess
import sys

import pytest
from PIL import Image

CHART = [sys.executable, "-m", "bittensor_emberscope.chart"]
# Thirty days of SN3 as the program hands them over: the value at the start of the period, then
# each change, then now.
POINTS = [[1762603200.0, 0.2], [1764547200.0, 0.3], [1765173600.0, 0.5], [1765186200.0, 0.6],
          [1765188000.0, 0.7], [1765191600.0, 0.75], [1765195200.0, 0.75]]


def draw(document: object, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run([*CHART, *args], input=json.dumps(document).encode(),
                          capture_output=True, timeout=60, env={**os.environ, "MPLBACKEND": "Agg"})


def decoded(png: bytes) -> Image.Image:
    assert png.startswith(b"\x89PNG\r\n\x1a\n")
    image = Image.open(io.BytesIO(png))
    image.load()  # decodes every pixel
    return image


def test_the_png_on_standard_output_is_one_a_real_decoder_reads():
    # The program reads the picture from the child's output: no file is left behind if either
    # process is killed while it draws.
    done = draw({"title": "SN3 owner burn (UTC)", "points": POINTS}, "-")
    assert done.returncode == 0, done.stderr
    image = decoded(done.stdout)
    assert (image.format, image.size) == ("PNG", (800, 400))
    # Not a blank picture: the line and the axes leave many colours.
    assert len(image.convert("RGB").getcolors(maxcolors=1 << 16) or []) > 10


def test_the_png_goes_to_the_file_named(tmp_path):
    done = draw({"title": "SN3", "points": POINTS}, str(tmp_path / "sn3.png"))
    assert (done.returncode, done.stdout) == (0, b"")
    assert decoded((tmp_path / "sn3.png").read_bytes()).size == (800, 400)


@pytest.mark.parametrize("document, reason", [
    ({"title": "t", "points": []}, "the input needs a text title and a non-empty list of points"),
    ({"title": "t", "points": [[1, "0.5"]]}, "not a point [unix_seconds, value]: [1, '0.5']"),
    ({"title": "t", "points": [[2, 0.5], [1, 0.6]]}, "the points are not in time order"),
    ({"title": "t", "points": [[1, float("inf")]]}, "not a point [unix_seconds, value]: [1, inf]"),
    ([1], "the input is not a JSON object"),
])
def test_points_it_cannot_draw_are_refused_with_the_reason(document, reason):
    done = draw(document, "-")
    assert (done.returncode, done.stdout, done.stderr) == (2, b"", f"chart: {reason}\n".encode())
