"""read_points3D_bin: layout, range messages, records, colours and float text in string forms."""
import gc
import math
import struct
from decimal import Decimal

import pytest
from hypothesis import given, settings, strategies as st

import tolv
from colmap_files import points_file
from colmap_files import panic_text as panic

U64 = 2**64 - 1
P7 = (7, (1.0, 2.5, -3.0), (1, 2, 3), 0.5, [(3, 10), (3, 12)])


def read(tmp_path, data):
    path = tmp_path / "points3D.bin"
    path.write_bytes(data)
    return tolv.read_points3D_bin(str(path))


def field_ends(points):
    """End offset of every field of a points file, in file order."""
    ends, pos = [8], 8
    for *_, track in points:
        for width in [8, 8, 8, 8, 1, 1, 1, 8, 8] + [4, 4] * len(track):
            pos += width
            ends.append(pos)
    return ends


def range_message(end, length):
    return f"range end index {end} out of range for slice of length {length}"


def float_text(v):
    """The string forms' number text, built independently from Python's shortest repr."""
    if math.isnan(v):
        return "NaN"
    sign = "-" if math.copysign(1.0, v) < 0 else ""
    a = abs(v)
    if math.isinf(a):
        return sign + "inf"
    if a == 0:
        return sign + "0.0"
    _, digits, exp = Decimal(repr(a)).normalize().as_tuple()
    d = "".join(map(str, digits))
    if 1e-4 <= a < 1e16:
        point = len(d) + exp
        if exp >= 0:
            return sign + d + "0" * exp + ".0"
        if point > 0:
            return sign + d[:point] + "." + d[point:]
        return sign + "0." + "0" * -point + d
    return sign + d[0] + ("." + d[1:] if len(d) > 1 else "") + "e" + str(len(d) - 1 + exp)


def test_records_and_progress_line(tmp_path, capfd):
    points = [(U64, (0.0, -0.0, 1e300), (0, 255, 0), 0.0, []), P7,
              (9, (1, 1, 1), (255, 0, 255), 2.0, [(U64 >> 32, U64 >> 32)])]
    got = read(tmp_path, points_file(points))
    assert capfd.readouterr().out == "Found 3 3D points.\n"
    assert sorted(got) == [7, 9, U64]
    for pid, xyz, rgb, error, track in points:
        p = got[pid]
        assert (p.id, p.xyz, p.error, p.track) == (pid, list(xyz), error, list(track))
        assert (p.color.r, p.color.g, p.color.b) == rgb
        assert not any(map(gc.is_tracked, p.track))  # pairs of ints: no cycle to look for
    assert str(got[U64]).endswith(", and track length 0>") and str(U64) in str(got[U64])


@pytest.mark.parametrize("data, count, ids", [
    (points_file([]), 0, {}),
    (points_file([P7, (7, (0, 0, 0), (9, 9, 9), 1.0, [(1, 1)])]), 2, {7: [(1, 1)]}),
    (points_file([P7]) + b"\xff" * 13, 1, {7: P7[4]}),  # trailing bytes ignored
])
def test_counts_duplicates_trailing(tmp_path, capfd, data, count, ids):
    got = read(tmp_path, data)
    assert capfd.readouterr().out == f"Found {count} 3D points.\n"
    assert {k: v.track for k, v in got.items()} == ids


def test_every_cut_names_first_missing_field(tmp_path, capfd):
    points = [P7, (8, (1, 2, 3), (4, 5, 6), 7.0, []), (9, (0, 0, 0), (1, 1, 1), 0.0, [(5, 6)])]
    data = points_file(points)
    ends = field_ends(points)
    assert ends[-1] == len(data)
    for cut in range(len(data)):
        message = panic(read, tmp_path, data[:cut])
        assert message == range_message(min(e for e in ends if e > cut), cut)
        assert capfd.readouterr().out == ("Found 3 3D points.\n" if cut >= 8 else "")
    # a cut right after the blue byte of the second record names the end of its error field
    start = 8 + 51 + 16
    assert panic(read, tmp_path, data[:start + 35]) == range_message(start + 43, start + 35)


@pytest.mark.parametrize("data, end", [
    (points_file([P7], count=U64), 75 + 8),  # huge N: the first missing point id
    (points_file([P7[:4] + ([],)])[:-8] + struct.pack("<QII", 2**63, 1, 2), 8 + 51 + 12),  # huge T
])
def test_huge_counts_fail_with_range_message(tmp_path, data, end):
    assert panic(read, tmp_path, data) == range_message(end, len(data))


def test_colour_and_point_strings(tmp_path):
    p = read(tmp_path, points_file([P7]))[7]
    assert str(p) == repr(p) == "<Point3D with ID: 7, XYZ: Vector3 [1.0, 2.5, -3.0], and track length 2>"
    assert str(p.color) == repr(p.color) == "Color r: 1, b: 3, g: 2"
    assert p.color is not p.color and p.color.r == p.color.r and p.color != p.color
    for name in ("xyz", "track"):
        value = getattr(p, name)
        value.append(0)
        value[0] = None
    assert p.xyz == [1.0, 2.5, -3.0] and p.track == [(3, 10), (3, 12)]


FLOATS = [
    (1e-5, "1e-5"), (1e16, "1e16"), (0.0001, "0.0001"), (100000.0, "100000.0"), (-0.0, "-0.0"),
    (math.nan, "NaN"), (math.inf, "inf"), (-math.inf, "-inf"), (1.2345e20, "1.2345e20"),
    (2.5e-7, "2.5e-7"), (0.25, "0.25"), (123456789.5, "123456789.5"), (-1e-5, "-1e-5"),
    (9999999999999998.0, "9999999999999998.0"), (9.999999999999999e-5, "9.999999999999999e-5"),
    (5e-324, "5e-324"), (1.7976931348623157e308, "1.7976931348623157e308"), (0.1, "0.1"),
]


@pytest.mark.parametrize("value, text", FLOATS)
def test_float_text(tmp_path, value, text):
    assert float_text(value) == text
    # a longer text just before must not leak into this one
    p = read(tmp_path, points_file([(1, (-1.2345678901234568e-300, value, -value), (0, 0, 0), 0.0, [])]))[1]
    assert str(p) == ("<Point3D with ID: 1, XYZ: Vector3 [-1.2345678901234568e-300, "
                      f"{text}, {float_text(-value)}], and track length 0>")


@settings(max_examples=60, deadline=None)
@given(st.lists(st.floats(allow_nan=True, allow_infinity=True), min_size=3, max_size=90))
def test_float_text_random(tmp_path_factory, values):
    points = [(i, values[i:i + 3], (0, 0, 0), 0.0, []) for i in range(len(values) - 2)]
    got = read(tmp_path_factory.mktemp("f"), points_file(points))
    for pid, xyz, *_ in points:
        assert str(got[pid]).split("[")[1].split("]")[0] == ", ".join(map(float_text, xyz))
