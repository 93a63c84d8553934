"""Writes a reference and a test image twice through astropy: as 32-bit floats and as 16-bit
copies (BZERO 32768) of the same whole-number values, under one standard header with a CD
matrix (TAN, 0.5 arcsecond pixels turned by 20 degrees, CRPIX counted from 1).

usage: float_pair_images.py DIR
The reference is sky and noise alone; the test image adds 30 Gaussian stars, so that every
star of the test image is a candidate. Writes ref_float.fits, test_float.fits, ref_16.fits,
test_16.fits and stars.txt (the 0-based pixel positions of the stars drawn) in DIR.
"""

import math
import sys

import numpy as np
from astropy.io import fits


def header(object_name):
    h = fits.Header()
    h["OBJECT"] = object_name
    h["DATE-OBS"] = "2026-12-07T01:02:03"
    h["CTYPE1"] = "RA---TAN"
    h["CTYPE2"] = "DEC--TAN"
    h["CRVAL1"] = 150.0
    h["CRVAL2"] = -30.0
    h["CRPIX1"] = 150.5
    h["CRPIX2"] = 150.5
    scale = 0.5 / 3600
    turn = math.radians(20)
    h["CD1_1"] = -scale * math.cos(turn)
    h["CD1_2"] = scale * math.sin(turn)
    h["CD2_1"] = scale * math.sin(turn)
    h["CD2_2"] = scale * math.cos(turn)
    return h


def write(directory, name, values, object_name):
    fits.PrimaryHDU(values.astype(np.float32), header(object_name)).writeto(
        f"{directory}/{name}_float.fits", overwrite=True)
    copy = fits.PrimaryHDU((values - 32768).astype(np.int16), header(object_name))
    copy.header["BZERO"] = 32768
    copy.writeto(f"{directory}/{name}_16.fits", overwrite=True)


def main():
    directory = sys.argv[1]
    rng = np.random.default_rng(5)
    size = 300
    sky = np.rint(1000 + rng.normal(0, 10, (size, size)))
    write(directory, "ref", sky, "F")
    y, x = np.mgrid[0:size, 0:size]
    image = sky.copy()
    stars = []
    while len(stars) < 30:
        sx, sy = rng.uniform(70, 230, 2)
        if all(math.hypot(sx - a, sy - b) > 12 for a, b in stars):
            stars.append((sx, sy))
    for sx, sy in stars:
        image += 8000 * np.exp(-((x - sx) ** 2 + (y - sy) ** 2) / (2 * 1.5 ** 2))
    write(directory, "test", np.rint(image), "F")
    with open(f"{directory}/stars.txt", "w") as out:
        for sx, sy in stars:
            out.write(f"{sx:.6f} {sy:.6f}\n")


main()
