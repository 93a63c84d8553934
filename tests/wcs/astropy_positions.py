"""Sky positions of pixel positions through astropy, for the world-frame tests.

  astropy_positions.py HEADER POSITIONS
      HEADER holds 80-character cards; POSITIONS one "x y" per line (0-based pixel
      positions). Prints "ra dec" in degrees (all_pix2world, origin 0) per position.
  astropy_positions.py --to-pixels HEADER SKY
      SKY holds one "ra dec" in degrees per line. Prints the 0-based pixel positions
      "x y" (all_world2pix, origin 0, distortion inverted to 1e-9 pixels).
  astropy_positions.py --j2000 LIST
      LIST holds lines "MJD HEADER POSITIONS": for each, as the first form, then from the
      header's equatorial system (astropy's reading of RADESYS and EQUINOX) to FK5 J2000;
      MJD is the observation time of an FK4 header ("-" for astropy's default, the
      equinox). The positions of all lines follow one another.
  astropy_positions.py --write-sip HEADER
      Writes to HEADER the cards of a TAN-SIP description made by astropy itself.
  astropy_positions.py --batch JOBS
      Runs the jobs of the file JOBS in order, in this one process (astropy loads once):
      one a line, "positions HEADER POSITIONS", "to-pixels HEADER SKY" or "write-sip
      HEADER", each job's output followed by a line "end".
"""
import sys

import numpy as np
from astropy.io import fits
from astropy.wcs import WCS, Sip


def write_sip(path):
    w = WCS(naxis=2)
    w.wcs.ctype = ["RA---TAN-SIP", "DEC--TAN-SIP"]
    w.wcs.crval = [201.25, -43.0]
    w.wcs.crpix = [1024.5, 1000.0]
    w.wcs.cd = np.array([[-2.7e-4, 3.0e-6], [2.0e-6, 2.75e-4]])
    a = np.zeros((4, 4))
    b = np.zeros((4, 4))
    a[2, 0], a[1, 1], a[0, 2], a[3, 0] = 1.5e-6, -8.0e-7, 6.0e-7, 4.0e-10
    b[2, 0], b[1, 1], b[0, 2], b[0, 3] = -5.0e-7, 1.1e-6, 9.0e-7, -3.0e-10
    w.sip = Sip(a, b, None, None, w.wcs.crpix)
    with open(path, "w") as f:
        f.write(w.to_header(relax=True).tostring(sep="", endcard=False, padding=False))


def positions(header_path, positions_path):
    header = fits.Header.fromstring(open(header_path).read(), sep="")
    w = WCS(header)
    xy = np.loadtxt(positions_path, ndmin=2)
    ra, dec = w.all_pix2world(xy[:, 0], xy[:, 1], 0)
    for r, d in zip(ra, dec):
        print(repr(float(r)), repr(float(d)))


def j2000_positions(mjd, header_path, positions_path):
    from astropy.coordinates import FK4, FK4NoETerms, FK5, SkyCoord
    from astropy.time import Time
    from astropy.wcs.utils import wcs_to_celestial_frame
    import astropy.units as u

    header = fits.Header.fromstring(open(header_path).read(), sep="")
    w = WCS(header)
    frame = wcs_to_celestial_frame(w)
    if mjd != "-" and isinstance(frame, (FK4, FK4NoETerms)):
        frame = type(frame)(equinox=frame.equinox, obstime=Time(float(mjd), format="mjd"))
    xy = np.loadtxt(positions_path, ndmin=2)
    ra, dec = w.all_pix2world(xy[:, 0], xy[:, 1], 0)
    sky = SkyCoord(ra * u.deg, dec * u.deg, frame=frame).transform_to(FK5(equinox="J2000"))
    for r, d in zip(sky.ra.deg, sky.dec.deg):
        print(repr(float(r)), repr(float(d)))


def to_pixels(header_path, sky_path):
    header = fits.Header.fromstring(open(header_path).read(), sep="")
    w = WCS(header)
    sky = np.loadtxt(sky_path, ndmin=2)
    x, y = w.all_world2pix(sky[:, 0], sky[:, 1], 0, tolerance=1e-9, maxiter=100)
    for a, b in zip(x, y):
        print(repr(float(a)), repr(float(b)))


def batch(jobs_path):
    jobs = {"positions": positions, "to-pixels": to_pixels, "write-sip": write_sip}
    for line in open(jobs_path):
        words = line.split()
        if words:
            jobs[words[0]](*words[1:])
            print("end", flush=True)


if __name__ == "__main__":
    if sys.argv[1] == "--batch":
        batch(sys.argv[2])
    elif sys.argv[1] == "--write-sip":
        write_sip(sys.argv[2])
    elif sys.argv[1] == "--j2000":
        for line in open(sys.argv[2]):
            j2000_positions(*line.split())
    elif sys.argv[1] == "--to-pixels":
        to_pixels(sys.argv[2], sys.argv[3])
    else:
        positions(sys.argv[1], sys.argv[2])
