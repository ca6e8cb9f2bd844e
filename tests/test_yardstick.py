"""The benchmark's plain-Python yardstick gives the module's results on the benchmark's inputs,
so that the side-by-side ratios compare the same work."""

from __future__ import annotations

import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))

import side_by_side  # noqa: E402


@pytest.mark.parametrize("size", [129, 1024])
def test_yardstick_agrees_with_the_module(size, tmp_path):
    inputs = side_by_side.inputs(size, tmp_path)
    assert side_by_side.check_agreement(inputs) == []


def test_agreement_check_sees_a_difference(tmp_path, monkeypatch):
    inputs = side_by_side.inputs(129, tmp_path)
    monkeypatch.setattr(side_by_side.ys, "OWNER_BURN_DECIMALS", 3)
    assert "format_owner_burn" in side_by_side.check_agreement(inputs)
