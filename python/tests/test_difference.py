"""difference on a real pair against the command line's pair run: the same detections,
registration and summary, byte for byte in the catalogue."""

import pathlib

import numpy as np
import pytest
from astropy.io import fits

import newstars
from conftest import bin_dir, run_program

REALDATA = pathlib.Path("/work/shared/realdata")
PAIRS = [
    ("decam/DEC-OBS18a.mini.fits", "decam/DEC-OBS04a.mini.fits"),
    ("nircam/a2744_2022-06-28_f200w.fits", "nircam/a2744_2022-11-01_f200w.fits"),
]


def read(path):
    with fits.open(path) as hdul:
        return hdul[0].data, hdul[0].header


@pytest.mark.parametrize("reference, test", PAIRS)
def test_real_pair_gives_the_command_lines_detections(tmp_path, reference, test):
    reference, test = REALDATA / reference, REALDATA / test
    if not reference.exists():
        pytest.skip("the real images of ../shared/realdata are not on this machine")
    command = run_program([bin_dir() / "newstars", "pair", "--method", "difference",
                           "--catalog", tmp_path / "expected.ecsv", reference, test],
                          cwd=tmp_path)
    assert command.returncode == 0, command.stderr.decode()
    ref_data, ref_header = read(reference)
    test_data, test_header = read(test)
    report = command.stdout.decode()
    if report == "\f\n":
        # The command line reports the pair as not compared (status 0, the reason on
        # standard error): the same reason is the error.
        with pytest.raises(newstars.Error) as refused:
            newstars.difference(ref_data, test_data, ref_header, test_header,
                                reference_name=str(reference), test_name=str(test))
        assert str(refused.value).rstrip("\n") == command.stderr.decode().rstrip("\n")
        return
    result = newstars.difference(ref_data, test_data, ref_header, test_header,
                                 reference_name=str(reference), test_name=str(test))
    assert result.catalog_text == (tmp_path / "expected.ecsv").read_text()
    assert result.summary == report.split("\f\n")[0]
    assert result.messages == command.stderr.decode()
    shape = test_data.shape
    for image in (result.difference, result.noise, result.matched_reference, result.mask):
        assert image.shape == shape
    usable = result.mask == 0
    assert np.count_nonzero(usable) > shape[0] * shape[1] / 2
    assert np.all(result.noise[usable] > 0)
    assert result.registration["detections"] == len(result.detections)
    assert result.detections["x"].unit == "pix" and result.detections["flux"].unit == "adu"
    scores = np.asarray(result.detections["score"], dtype=float)
    assert np.all((scores >= 0) & (scores <= 1))


def test_pairs_that_cannot_be_compared_raise_with_the_reason():
    sky = np.random.default_rng(3).normal(100, 5, (200, 200)).astype(np.float32)
    header = fits.Header({"CTYPE1": "RA---TAN", "CTYPE2": "DEC--TAN", "CRVAL1": 10.0,
                          "CRVAL2": 20.0, "CRPIX1": 100.0, "CRPIX2": 100.0, "CD1_1": -1e-4,
                          "CD2_2": 1e-4})
    far = header.copy()
    far["CRVAL1"] = 50.0
    with pytest.raises(newstars.Error, match="no sky in common"):
        newstars.difference(sky, sky, header, far)
    with pytest.raises(newstars.Error):
        newstars.difference(sky, sky, header, fits.Header({"OBJECT": "x"}))
    with pytest.raises(ValueError):
        newstars.difference(sky, sky, header, header, threshold=0)


DECAM_PAIR = (REALDATA / "decam/DEC-OBS18a.mini.fits", REALDATA / "decam/DEC-OBS04a.mini.fits")


@pytest.mark.parametrize("layout", ["float32 big-endian", "fortran", "float32 native",
                                    "reversed view", "zero masks"])
def test_every_layout_gives_the_same_detections(layout):
    """The arrays are read where they lie whatever their layout: the same catalogue as the
    float64 big-endian arrays astropy gives (values rounded to float32 either way)."""
    if not DECAM_PAIR[0].exists():
        pytest.skip("the real images of ../shared/realdata are not on this machine")
    (ref_data, ref_header), (test_data, test_header) = read(DECAM_PAIR[0]), read(DECAM_PAIR[1])
    expected = newstars.difference(ref_data, test_data, ref_header, test_header)
    ref_mask = test_mask = None
    if layout == "float32 big-endian":
        ref_data, test_data = ref_data.astype(">f4"), test_data.astype(">f4")
    elif layout == "fortran":
        ref_data, test_data = np.asfortranarray(ref_data), np.asfortranarray(test_data)
    elif layout == "float32 native":
        ref_data, test_data = ref_data.astype("=f4"), test_data.astype("=f4")
    elif layout == "reversed view":
        ref_data = np.ascontiguousarray(ref_data[::-1, ::-1])[::-1, ::-1]
    else:
        ref_mask = np.zeros(ref_data.shape, dtype=np.int32)
        test_mask = np.zeros(test_data.shape, dtype=bool)
    got = newstars.difference(ref_data, test_data, ref_header, test_header,
                              reference_mask=ref_mask, test_mask=test_mask)
    assert got.catalog_text == expected.catalog_text, layout
    assert np.array_equal(got.difference, expected.difference, equal_nan=True), layout


def test_no_data_value_as_the_command_line_takes_it(tmp_path):
    """A block of -999 written into the test file: no_data=-999 on the array gives the
    command line's detections with --no-data -999; the same pixels as a mask give them too."""
    if not DECAM_PAIR[0].exists():
        pytest.skip("the real images of ../shared/realdata are not on this machine")
    ref_data, ref_header = read(DECAM_PAIR[0])
    test_data, test_header = read(DECAM_PAIR[1])
    test_data = test_data.astype(">f4")
    test_data[120:136, 100:116] = -999
    path = tmp_path / "holed.fits"
    fits.PrimaryHDU(test_data, test_header).writeto(path)
    command = run_program([bin_dir() / "newstars", "pair", "--method", "difference",
                           "--no-data", "-999", "--catalog", tmp_path / "expected.ecsv",
                           DECAM_PAIR[0], path], cwd=tmp_path)
    assert command.returncode == 0, command.stderr.decode()
    names = dict(reference_name=str(DECAM_PAIR[0]), test_name=str(path))
    got = newstars.difference(ref_data, test_data, ref_header, test_header, no_data=-999,
                              **names)
    assert got.catalog_text == (tmp_path / "expected.ecsv").read_text()
    assert np.all(got.mask[120:136, 100:116] & newstars.MASK_NO_DATA)
    masked = newstars.difference(ref_data, test_data, ref_header, test_header,
                                 test_mask=test_data == -999, **names)
    assert masked.catalog_text == got.catalog_text
