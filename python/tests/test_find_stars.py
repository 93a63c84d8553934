"""find_stars against the command line on the simulated night, and on arrays of every
layout the module accepts."""

import math

import numpy as np
import pytest
from astropy.io import fits
from astropy.table import Table

import newstars


def sexagesimal(text):
    sign = -1.0 if text.strip().startswith("-") else 1.0
    parts = [abs(float(p)) for p in text.split(":")]
    return sign * (parts[0] + parts[1] / 60 + parts[2] / 3600)


def table_boxes(night):
    """object -> (west, east, south, north) in radians, reference image name."""
    boxes = {}
    for line in (night / "table.txt").read_text().splitlines():
        if not line[:1].isalnum():
            continue
        obj, era, ndec, wra, sdec, ref = line.split()
        boxes[obj] = ((math.radians(15 * sexagesimal(wra)), math.radians(15 * sexagesimal(era)),
                       math.radians(sexagesimal(sdec)), math.radians(sexagesimal(ndec))), ref)
    return boxes


def count_in_box(image, box, margin):
    with fits.open(image) as hdul:
        stars = newstars.find_stars(hdul[0].data)
        frame = newstars.read_frame(hdul[0].header)
    ra, dec = frame.pixel_to_sky(stars["x"], stars["y"])
    ra, dec = np.radians(ra), np.radians(dec)
    west, east, south, north = box
    inside = (west + margin <= ra) & (ra <= east - margin) & (south + margin <= dec) & (dec <= north - margin)
    return int(np.count_nonzero(inside))


def summary_lines(night):
    report = (night / "report.txt").read_text()
    return [line.split() for line in report.split("\f\n")[0].splitlines()]


def test_star_counts_of_the_report(night):
    """Columns 6 and 7 of every summary line whose images astropy reads (the .fth ones
    only the command line decompresses): the stars found by find_stars, placed on the sky
    by read_frame, inside the box (the test's shrunk by the tolerance)."""
    boxes = table_boxes(night)
    tolerance = math.radians(2 / 3600)
    checked = 0
    for obj, ref, test, _date, _time, n_ref, n_test, _n_new in summary_lines(night):
        box, _ = boxes[obj]
        margin = tolerance / math.cos((box[2] + box[3]) / 2)
        if ref.endswith(".fts"):
            assert count_in_box(night / ref, box, 0) == int(n_ref), (obj, ref)
            checked += 1
        if test.endswith(".fts"):
            assert count_in_box(night / test, box, margin) == int(n_test), (obj, test)
            checked += 1
    assert checked >= 4


def test_candidates_are_stars_found_bit_for_bit(night):
    catalog = Table.read(night / "catalog.ecsv")
    for name in sorted(set(catalog["image"])):
        if not name.endswith(".fts"):
            continue
        with fits.open(night / name) as hdul:
            data = hdul[0].data
            assert data.dtype == np.dtype("uint16")
            stars = newstars.find_stars(data)
        found = set(zip(stars["x"].tolist(), stars["y"].tolist()))
        rows = catalog[catalog["image"] == name]
        assert len(rows) > 0
        for row in rows:
            assert (float(row["x"]), float(row["y"])) in found, (name, row["number"])


def synthetic_image(dtype=np.float32, side=200):
    """Sky of 1000 with noise, and four Gaussian stars."""
    rng = np.random.default_rng(7)
    image = rng.normal(1000, 10, (side, side))
    yy, xx = np.mgrid[:side, :side]
    for x0, y0, peak in [(70.3, 80.6, 5000), (120.0, 110.2, 3000), (90.7, 140.4, 8000),
                         (140.5, 70.5, 20000)]:
        image += peak * np.exp(-((xx - x0) ** 2 + (yy - y0) ** 2) / (2 * 1.6 ** 2))
    return np.round(image).astype(dtype)


def as_list(stars):
    return [tuple(s) for s in stars.tolist()]


@pytest.mark.parametrize("variant", [
    "big-endian", "fortran", "reversed-rows-view", "float64", "int32", "uint16-as-float",
    "read-only",
])
def test_every_layout_gives_the_same_stars(variant):
    base = synthetic_image()
    expected = as_list(newstars.find_stars(base))
    assert len(expected) == 4
    if variant == "big-endian":
        data = base.astype(">f4")
    elif variant == "fortran":
        data = np.asfortranarray(base)
    elif variant == "reversed-rows-view":
        flipped = np.ascontiguousarray(base[::-1, ::-1])
        data = flipped[::-1, ::-1]  # negative strides: the same pixels where they lie
    elif variant == "float64":
        data = base.astype(np.float64)
    elif variant == "int32":
        data = base.astype(">i4")
    elif variant == "uint16-as-float":
        data = base.astype(np.float32)
    else:
        data = base.copy()
        data.setflags(write=False)
    assert as_list(newstars.find_stars(data)) == expected
    assert newstars.reads_in_place(data)


def test_sixteen_bit_arrays_go_through_the_16_bit_finder():
    """uint16 in any layout, and int16 file values (+32768), give the 16-bit finder's stars;
    float values that are the same whole numbers give the same stars bit for bit."""
    base = synthetic_image(np.uint16)
    expected = as_list(newstars.find_stars(base))
    assert len(expected) == 4
    assert newstars.reads_in_place(base)
    for data in [base.astype(">u2"), np.asfortranarray(base),
                 (base.astype(np.int32) - 32768).astype(np.int16)]:
        assert as_list(newstars.find_stars(data)) == expected
        assert not newstars.reads_in_place(data)
    as_float = as_list(newstars.find_stars(base.astype(np.float32), saturation=65535))
    assert [s[:2] for s in as_float] == [s[:2] for s in expected]


def test_astropy_float32_big_endian_is_read_in_place(tmp_path):
    path = tmp_path / "float.fits"
    fits.PrimaryHDU(synthetic_image(np.float32)).writeto(path)
    with fits.open(path) as hdul:
        data = hdul[0].data
        assert data.dtype == np.dtype(">f4")
        assert newstars.reads_in_place(data)
        assert len(newstars.find_stars(data)) == 4


def test_mask_nan_and_saturation():
    base = synthetic_image()
    cases = [
        # (what, data change, mask, saturation, expected star count, flagged)
        ("nan on a star's peak", lambda d: d.__setitem__((140, 91), np.nan), None, None, 3, 0),
        ("mask on a star", None, (slice(136, 145), slice(86, 96)), None, 3, 0),
        ("mask beside a star", None, (slice(143, 145), slice(86, 96)), None, 4, 1),
        ("saturation below the brightest", None, None, 15000.0, 3, 0),
    ]
    for what, change, masked, saturation, count, flagged in cases:
        data = base.copy()
        if change:
            change(data)
        mask = None
        if masked:
            mask = np.zeros(data.shape, dtype=bool)
            mask[masked] = True
        stars = newstars.find_stars(data, mask=mask, saturation=saturation)
        assert len(stars) == count, what
        assert int(np.count_nonzero(stars["flags"] & newstars.STAR_NEAR_NO_DATA)) == flagged, what


def test_refusals():
    cases = [
        (np.zeros((10,)), ValueError),
        (np.zeros((3, 100, 100)), ValueError),
        (np.zeros((100, 100), dtype=np.complex64), TypeError),
        ("not pixels", TypeError),
    ]
    for data, error in cases:
        with pytest.raises(error):
            newstars.find_stars(data)
    with pytest.raises(ValueError):
        newstars.find_stars(np.zeros((100, 100)), mask=np.zeros((100, 99), dtype=bool))


def test_small_images_hold_no_stars():
    assert len(newstars.find_stars(np.zeros((64, 1000), dtype=np.float32))) == 0
    assert len(newstars.find_stars(np.zeros((1000, 64), dtype=np.uint16))) == 0


def test_no_data_value_marks_the_pixels_a_mask_would():
    """no_data=V gives the stars of the same array with its V pixels masked, in every dtype
    but 16-bit, which it leaves alone as --no-data leaves 16-bit files."""
    base = synthetic_image()
    base[136:145, 93:96] = -5  # beside the brightest star
    by_mask = as_list(newstars.find_stars(base, mask=base == -5))
    assert by_mask != as_list(newstars.find_stars(base))
    for data in [base, base.astype(">f8"), base.astype(np.int32), np.asfortranarray(base)]:
        assert as_list(newstars.find_stars(data, no_data=-5)) == by_mask, data.dtype
    sixteen = synthetic_image(np.uint16)
    assert (as_list(newstars.find_stars(sixteen, no_data=1000))
            == as_list(newstars.find_stars(sixteen)))
