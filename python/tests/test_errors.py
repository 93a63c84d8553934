"""Bad inputs to every function taking images: the exception Python programs expect, with
the library's own reason where the library refuses."""

import numpy as np
import pytest
from astropy.io import fits

import newstars

SKY = np.random.default_rng(3).normal(100, 5, (200, 200)).astype(np.float32)
HEADER = fits.Header({"CTYPE1": "RA---TAN", "CTYPE2": "DEC--TAN", "CRVAL1": 10.0,
                      "CRVAL2": 20.0, "CRPIX1": 100.0, "CRPIX2": 100.0, "CD1_1": -1e-4,
                      "CD2_2": 1e-4})
FAR = HEADER.copy()
FAR["CRVAL1"] = 50.0
SINGULAR = HEADER.copy()
SINGULAR["CD1_1"] = 0.0
SINGULAR["CD2_2"] = 0.0


def pair(function, **changes):
    """A call of a pair function (difference, search, vet) with one argument changed."""
    arguments = dict(reference=SKY, test=SKY, ref_header=HEADER, test_header=HEADER)
    if function is newstars.vet:
        arguments.update(x=[100.0], y=[100.0])
    arguments.update(changes)
    return lambda: function(**arguments)


PAIR_FUNCTIONS = [newstars.difference, newstars.search, newstars.vet]

# (what, call, exception, words of the message)
CASES = [
    ("1-D data", lambda: newstars.find_stars(np.zeros(10)), ValueError, "2-D"),
    ("3-D data", lambda: newstars.find_stars(np.zeros((2, 80, 80))), ValueError, "3-D"),
    ("complex data", lambda: newstars.find_stars(np.zeros((80, 80), np.complex64)), TypeError,
     "complex64"),
    ("text data", lambda: newstars.find_stars("pixels"), TypeError, ""),
    ("mask of another shape",
     lambda: newstars.find_stars(SKY, mask=np.zeros((200, 199), bool)), ValueError, "shape"),
    ("no_data beyond float32", lambda: newstars.find_stars(SKY, no_data=1e39), ValueError,
     "no_data"),
    ("no_data NaN", lambda: newstars.find_stars(SKY, no_data=float("nan")), ValueError,
     "no_data"),
    ("no_data text", lambda: newstars.find_stars(SKY, no_data="zero"), TypeError, "no_data"),
    ("header of no cards", lambda: newstars.read_frame(42), TypeError, "header"),
    ("header cut inside a card", lambda: newstars.read_frame("SIMPLE  =    T"), ValueError,
     "80-character"),
    ("unknown wcs mode", lambda: newstars.read_frame(HEADER, wcs="best"), ValueError, "best"),
    ("no world coordinates", lambda: newstars.read_frame(fits.Header({"OBJECT": "x"})),
     newstars.Error, ""),
    ("singular CD matrix", lambda: newstars.read_frame(SINGULAR), newstars.Error, "singular"),
]
for function in PAIR_FUNCTIONS:
    name = function.__name__
    CASES += [
        (f"{name}: 1-D reference", pair(function, reference=np.zeros(5)), ValueError,
         "reference"),
        (f"{name}: complex test", pair(function, test=SKY.astype(np.complex64)), TypeError,
         "test"),
        (f"{name}: test mask of another shape",
         pair(function, test_mask=np.zeros((3, 3), bool)), ValueError, "test_mask"),
        (f"{name}: negative tolerance", pair(function, tolerance=-1), ValueError, "tolerance"),
        (f"{name}: NaN tolerance", pair(function, tolerance=float("nan")), ValueError,
         "tolerance"),
        (f"{name}: unknown wcs", pair(function, wcs="best"), ValueError, "wcs"),
        (f"{name}: no_data beyond float32", pair(function, no_data=-1e40), ValueError,
         "no_data"),
        (f"{name}: no sky in common", pair(function, test_header=FAR), newstars.Error,
         "test: no sky in common"),
        (f"{name}: test without coordinates",
         pair(function, test_header=fits.Header({"OBJECT": "x"}), test_name="t.fits"),
         newstars.Error, "t.fits: "),
        (f"{name}: reference too small for stars",
         pair(function, reference=SKY[:64, :100], reference_name="r.fits"), newstars.Error,
         "r.fits: image of 100 x 64 pixels is too small to hold stars"),
        (f"{name}: singular reference", pair(function, ref_header=SINGULAR,
                                              reference_name="r.fits"), newstars.Error,
         "r.fits: "),
    ]
for function in [newstars.search, newstars.vet]:
    name = function.__name__
    CASES += [
        (f"{name}: unknown threshold", pair(function, sharpness=3), TypeError, "sharpness"),
        (f"{name}: threshold 0", pair(function, brightening=0), ValueError, "brightening"),
        (f"{name}: threshold text", pair(function, sharp="high"), TypeError, ""),
    ]
CASES += [
    ("difference: threshold 0", pair(newstars.difference, threshold=0), ValueError,
     "threshold"),
    ("vet: x and y of other lengths", pair(newstars.vet, x=[1.0, 2.0], y=[1.0]), ValueError,
     "x, y"),
    ("vet: x of two dimensions", pair(newstars.vet, x=[[1.0]], y=[1.0]), ValueError, "x"),
]


@pytest.mark.parametrize("what, call, error, words", CASES, ids=[c[0] for c in CASES])
def test_bad_input_raises(what, call, error, words):
    with pytest.raises(error) as raised:
        call()
    assert words in str(raised.value), what
    if error is newstars.Error:
        assert str(raised.value).strip(), what


def test_library_errors_are_runtime_errors():
    assert issubclass(newstars.Error, RuntimeError)
