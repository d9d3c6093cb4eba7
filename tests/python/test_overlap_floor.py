"""The benchmarks' output floor must rebuild exactly the dict of dicts that
compute_overlaps returns, or its ratio to compute_overlaps means nothing."""
import array
import random
import sys
from pathlib import Path

import pytest

import tolv
from test_overlaps import load

BENCHMARKS = Path(__file__).resolve().parents[2] / "benchmarks"
if not (BENCHMARKS / "run.py").exists():
    pytest.skip("the benchmarks are not beside these tests", allow_module_level=True)
sys.path.insert(0, str(BENCHMARKS))
from run import output_floor  # noqa: E402


@pytest.mark.parametrize("images, points, max_len", [(1, 5, 3), (30, 400, 8), (4000, 3000, 6)])
def test_output_floor_rebuilds_the_result(images, points, max_len):
    rng = random.Random(images)
    tracks = [[rng.randrange(1, images + 1) for _ in range(rng.randrange(max_len))] for _ in range(points)]
    result = tolv.compute_overlaps(load(tracks))
    floor = output_floor(array.array("Q", result), array.array("Q", map(len, result.values())),
                         array.array("Q", (b for row in result.values() for b in row)),
                         array.array("Q", (c for row in result.values() for c in row.values())))
    assert floor == result
    assert [list(row) for row in floor.values()] == [list(row) for row in result.values()]
