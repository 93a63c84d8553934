"""read_frame against astropy's all_pix2world, an independent reader of the same headers
(its own card parser and SIP code), to 1e-8 degrees."""

import warnings

import numpy as np
import pytest
from astropy.io import fits
from astropy.wcs import WCS

import newstars

TOLERANCE_DEG = 1e-8


def header(cards):
    h = fits.Header()
    h["NAXIS"] = 2
    h["NAXIS1"] = 2048
    h["NAXIS2"] = 2048
    for key, value in cards.items():
        h[key] = value
    return h


SIP = {"A_ORDER": 3, "B_ORDER": 3, "A_2_0": 1.5e-6, "A_1_1": -8e-7, "A_0_2": 6e-7,
       "A_3_0": 4e-10, "A_1_2": -2.5e-10, "B_2_0": -5e-7, "B_1_1": 1.1e-6, "B_0_2": 9e-7,
       "B_0_3": -3e-10, "B_2_1": 2e-10}

STANDARD = {
    "cd-tan": {"CTYPE1": "RA---TAN", "CTYPE2": "DEC--TAN", "CRVAL1": 150.1, "CRVAL2": 2.2,
               "CRPIX1": 1024.5, "CRPIX2": 1000.0, "CD1_1": -7.3e-5, "CD1_2": 1.1e-5,
               "CD2_1": 1.2e-5, "CD2_2": 7.2e-5},
    "cd-sip": dict({"CTYPE1": "RA---TAN-SIP", "CTYPE2": "DEC--TAN-SIP", "CRVAL1": 359.95,
                    "CRVAL2": -30.5, "CRPIX1": 1030.2, "CRPIX2": 990.7, "CD1_1": -1.1e-4,
                    "CD1_2": -2.0e-6, "CD2_1": -2.5e-6, "CD2_2": 1.1e-4}, **SIP),
    "pc-sip-north": dict({"CTYPE1": "RA---TAN-SIP", "CTYPE2": "DEC--TAN-SIP", "CRVAL1": 40.0,
                          "CRVAL2": 85.0, "CRPIX1": 1024.0, "CRPIX2": 1024.0, "CDELT1": -2e-4,
                          "CDELT2": 2e-4, "PC1_1": 0.8, "PC1_2": -0.6, "PC2_1": 0.6,
                          "PC2_2": 0.8}, **SIP),
    "cd-sin": {"CTYPE1": "RA---SIN", "CTYPE2": "DEC--SIN", "CRVAL1": 10.0, "CRVAL2": 41.0,
               "CRPIX1": 500.0, "CRPIX2": 600.0, "CD1_1": -3e-4, "CD1_2": 0.0, "CD2_1": 0.0,
               "CD2_2": 3e-4, "RADESYS": "ICRS"},
}


def grid():
    x, y = np.meshgrid(np.linspace(0, 2047, 9), np.linspace(0, 2047, 7))
    return x, y


def assert_same_sky(ra, dec, ra_expected, dec_expected, what):
    dra = (ra - ra_expected + 180) % 360 - 180
    assert np.max(np.abs(dra)) < TOLERANCE_DEG, what
    assert np.max(np.abs(dec - dec_expected)) < TOLERANCE_DEG, what


@pytest.mark.parametrize("name", sorted(STANDARD))
def test_standard_headers_match_all_pix2world_origin_0(name):
    h = header(STANDARD[name])
    frame = newstars.read_frame(h)
    assert frame.standard
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        wcs = WCS(h)
    x, y = grid()
    ra, dec = frame.pixel_to_sky(x, y)
    assert ra.shape == x.shape
    ra_expected, dec_expected = wcs.all_pix2world(x, y, 0)
    assert_same_sky(ra, dec, ra_expected, dec_expected, name)
    # The same from the card text, and back to the pixels.
    text_frame = newstars.read_frame(h.tostring())
    assert np.array_equal(text_frame.pixel_to_sky(x, y)[0], ra)
    back_x, back_y = frame.sky_to_pixel(ra, dec)
    assert np.max(np.abs(back_x - x)) < 1e-6 and np.max(np.abs(back_y - y)) < 1e-6, name


def test_classic_headers_count_pixels_as_crpix_is_written():
    """A classic header's positions are astropy's with origin=1 (CRPIX taken as written),
    one pixel from the standard reading of the same header."""
    cards = {"CTYPE1": "RA---TAN", "CTYPE2": "DEC--TAN", "CRVAL1": 200.0, "CRVAL2": 45.0,
             "CRPIX1": 512.0, "CRPIX2": 512.0, "CDELT1": -2.5e-4, "CDELT2": 2.5e-4,
             "CROTA2": 12.0}
    h = header(cards)
    x, y = grid()
    classic = newstars.read_frame(h)
    assert not classic.standard
    ra, dec = classic.pixel_to_sky(x, y)
    ra_expected, dec_expected = WCS(h).all_pix2world(x, y, 1)
    assert_same_sky(ra, dec, ra_expected, dec_expected, "classic")
    standard = newstars.read_frame(h, wcs="fits")
    assert standard.standard
    assert_same_sky(*standard.pixel_to_sky(x - 1, y - 1), ra_expected, dec_expected, "fits")


def test_fk5_of_another_equinox_is_precessed_to_icrs():
    """A J1990 header differs from the same header in J2000 by the precession (some
    arcminutes): the frame gives ICRS positions, as the search compares them."""
    cards = dict(STANDARD["cd-tan"], RADESYS="FK5", EQUINOX=1990.0)
    j1990 = newstars.read_frame(header(cards)).pixel_to_sky(1000.0, 1000.0)
    j2000 = newstars.read_frame(header(STANDARD["cd-tan"])).pixel_to_sky(1000.0, 1000.0)
    assert 1e-3 < abs(float(j1990[0]) - float(j2000[0])) < 0.2


def test_refusals_carry_the_library_reason():
    cases = [
        ({"CTYPE1": "GLON-TAN", "CTYPE2": "GLAT-TAN", "CRVAL1": 1.0, "CRVAL2": 2.0,
          "CRPIX1": 1.0, "CRPIX2": 1.0, "CDELT1": 1e-4, "CDELT2": 1e-4}, "fits"),
        ({"CTYPE1": "RA---TAN", "CTYPE2": "DEC--TAN", "CRVAL1": 1.0, "CRVAL2": 2.0,
          "CRPIX1": 1.0, "CRPIX2": 1.0, "CDELT1": 0.0, "CDELT2": 1e-4, "CROTA2": 0.0},
         "classic"),
        ({"OBJECT": "nothing"}, "auto"),
    ]
    for cards, mode in cases:
        with pytest.raises(newstars.Error) as refused:
            newstars.read_frame(header(cards), wcs=mode)
        assert str(refused.value), cards
    with pytest.raises(ValueError):
        newstars.read_frame(header(STANDARD["cd-tan"]), wcs="nonsense")
    with pytest.raises(ValueError):
        newstars.read_frame("SIMPLE  =                    T")  # not a whole card
    with pytest.raises(TypeError):
        newstars.read_frame(42)


def test_positions_off_the_sphere_are_nan():
    frame = newstars.read_frame(header(STANDARD["cd-sin"]))
    x, y = frame.sky_to_pixel(np.array([10.0, 190.0]), np.array([41.0, -41.0]))
    assert np.isfinite(x[0]) and np.isnan(x[1]) and np.isnan(y[1])
