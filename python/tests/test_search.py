"""search and vet on arrays against the command line's pair run with --catalog: the same
catalogue (values, units, meta), summary line and candidate lines, on a pair of the
simulated night and on real DECam pairs."""

import pathlib

import numpy as np
import pytest
from astropy.io import fits
from astropy.table import Table

import newstars
from conftest import bin_dir, run_program

REALDATA = pathlib.Path("/work/shared/realdata")
DECAM = REALDATA / "decam"


def read(path):
    with fits.open(path) as hdul:
        return hdul[0].data, hdul[0].header


def same_values(a, b):
    if a.dtype.kind == "f":
        return np.array_equal(np.asarray(a), np.asarray(b), equal_nan=True)
    return list(a) == list(b)


def assert_same_catalog(got, expected, what):
    assert got.colnames == expected.colnames, what
    assert len(got) == len(expected), what
    assert dict(got.meta) == dict(expected.meta), what
    for name in expected.colnames:
        a, b = got[name], expected[name]
        assert a.unit == b.unit and a.description == b.description, (what, name)
        assert same_values(a, b), (what, name)


def command_line_pair(tmp_path, reference, test, options=()):
    """The command line's catalogue, summary line, candidate lines and messages."""
    catalog = tmp_path / "expected.ecsv"
    run = run_program([bin_dir() / "newstars", "pair", *options, "--catalog", catalog,
                       reference, test], cwd=tmp_path)
    assert run.returncode == 0, run.stderr.decode()
    summary, _, lines = run.stdout.decode().partition("\f\n")
    return (Table.read(catalog, format="ascii.ecsv"), summary,
            [line for line in lines.splitlines() if line], run.stderr.decode())


def pairs(night):
    cases = [(night / "FLD01_r.fts", night / "FLD01_1.fts"),
             (night / "FLD03_r.fts", night / "FLD03_1.fts")]
    if DECAM.exists():
        cases += [(DECAM / "DEC-OBS18a.mini.fits", DECAM / f"DEC-OBS04{k}.mini.fits")
                  for k in "bce"]
    return cases


# (command line options, keyword arguments)
OPTIONS = [
    ([], {}),
    (["--reference-snr", "1.5", "--sharp", "0.5"], {"reference_snr": 1.5, "sharp": 0.5}),
    (["--tolerance", "6", "--wcs", "auto", "--elongation=1"],
     {"tolerance": 6, "wcs": "auto", "elongation": 1}),
]


@pytest.mark.parametrize("options, keywords", OPTIONS)
def test_search_gives_the_command_lines_catalogue(night, tmp_path, options, keywords):
    candidates = 0
    for reference, test in pairs(night):
        expected, summary, lines, messages = command_line_pair(tmp_path, reference, test,
                                                               options)
        ref_data, ref_header = read(reference)
        test_data, test_header = read(test)
        got = newstars.search(ref_data, test_data, ref_header, test_header,
                              reference_name=str(reference), test_name=str(test), **keywords)
        what = (test.name, options)
        assert_same_catalog(got, expected, what)
        assert got.summary == summary, what
        assert got.report_lines == lines, what
        assert got.messages == messages, what
        assert got["ra"].unit == "deg" and got["flux"].unit == "adu", what
        candidates += len(got)
    assert candidates > 10


def test_vet_at_the_candidates_positions_gives_their_rows(night, tmp_path):
    """Vetting the search's own candidates gives its catalogue back; a reordered subset
    gives those rows in the new order, renumbered."""
    checked = 0
    for reference, test in pairs(night):
        expected, _, _, _ = command_line_pair(tmp_path, reference, test,
                                              ["--reference-snr", "1.5"])
        ref_data, ref_header = read(reference)
        test_data, test_header = read(test)
        names = dict(reference_name=str(reference), test_name=str(test))
        got = newstars.vet(ref_data, test_data, ref_header, test_header, expected["x"],
                           expected["y"], reference_snr=1.5, **names)
        assert_same_catalog(got, expected, test.name)
        if len(expected) < 2:
            continue
        order = list(range(len(expected)))[::-2]
        subset = newstars.vet(ref_data, test_data, ref_header, test_header,
                              expected["x"][order], expected["y"][order], reference_snr=1.5,
                              **names)
        assert list(subset["number"]) == list(range(1, len(order) + 1))
        for name in ["x", "ra", "verdict", "reasons", "flux", "ref_flux", "stars_fwhm"]:
            assert same_values(subset[name], expected[name][order]), (test.name, name)
        checked += 1
    assert checked >= 2


def test_vet_measures_positions_that_are_no_stars(night):
    """A position on empty sky is measured and judged as any other (here: no flux), and
    the verdicts never depend on the other positions vetted with it."""
    ref_data, ref_header = read(night / "FLD01_r.fts")
    test_data, test_header = read(night / "FLD01_1.fts")
    alone = newstars.vet(ref_data, test_data, ref_header, test_header, [500.25], [510.5])
    together = newstars.vet(ref_data, test_data, ref_header, test_header, [3.0, 500.25],
                            [3.0, 510.5])
    assert len(alone) == 1 and len(together) == 2
    assert list(together["measured"]) == [False, bool(alone["measured"][0])]
    for name in ["verdict", "reasons", "flux", "ref_x", "ref_y", "ra", "dec"]:
        assert together[name][1] == alone[name][0] or (
            np.isnan(together[name][1]) and np.isnan(alone[name][0])), name
    assert len(newstars.vet(ref_data, test_data, ref_header, test_header, [], [])) == 0


def test_no_data_value_marks_pixels_as_the_command_line_does(tmp_path):
    """A block of -999 in a float32 test image: no_data=-999 on the array gives the
    command line's catalogue with --no-data -999 on the file."""
    if not DECAM.exists():
        pytest.skip("the real images of ../shared/realdata are not on this machine")
    ref_data, ref_header = read(DECAM / "DEC-OBS18a.mini.fits")
    test_data, test_header = read(DECAM / "DEC-OBS04e.mini.fits")
    test_data = test_data.astype(">f4")
    test_data[76:79, 86:89] = -999  # some 8 pixels from the first candidate
    path = tmp_path / "holed.fits"
    fits.PrimaryHDU(test_data, test_header).writeto(path)
    with_value, _, _, _ = command_line_pair(tmp_path, DECAM / "DEC-OBS18a.mini.fits", path,
                                            ["--no-data", "-999"])
    without, _, _, _ = command_line_pair(tmp_path, DECAM / "DEC-OBS18a.mini.fits", path)
    names = dict(reference_name="DEC-OBS18a.mini.fits", test_name=str(path))
    got = newstars.search(ref_data, test_data, ref_header, test_header, no_data=-999, **names)
    assert_same_catalog(got, with_value, "no_data")
    assert "no-data" in "".join(got["reasons"])
    masked = newstars.search(ref_data, test_data, ref_header, test_header,
                             test_mask=test_data == -999, **names)
    assert_same_catalog(masked, with_value, "mask")
    plain = newstars.search(ref_data, test_data, ref_header, test_header, **names)
    assert_same_catalog(plain, without, "without")
