#!/usr/bin/python3
"""Cosmic-ray mask of an image by astroscrappy, for the tests of newstars' own finder.

astroscrappy_mask.py IMAGE WIDTH HEIGHT GAIN READ_NOISE OBJLIM MASK

IMAGE holds WIDTH x HEIGHT little-endian 32-bit floats, row after row (ADU, sky included);
GAIN is in electrons per ADU, READ_NOISE in ADU. MASK gets one byte per pixel, 1 at every
hit. The settings are the finder's: clip 4.5, fraction 0.3, 4 rounds, true (not separable)
medians, median replacement. Exits with status 77 when astroscrappy cannot be imported.
"""
import sys

try:
    import numpy as np
    import astroscrappy
except ImportError as error:
    print(f"astroscrappy_mask.py: {error}", file=sys.stderr)
    sys.exit(77)


def main():
    path, width, height, gain, read_noise, objlim, out = sys.argv[1:8]
    width, height = int(width), int(height)
    gain, read_noise, objlim = float(gain), float(read_noise), float(objlim)
    image = np.fromfile(path, dtype="<f4").reshape(height, width).astype(np.float32)
    mask, _ = astroscrappy.detect_cosmics(
        image, sigclip=4.5, sigfrac=0.3, objlim=objlim, gain=gain,
        readnoise=read_noise * gain, satlevel=np.inf, niter=4, sepmed=False,
        cleantype="medmask", fsmode="median")
    mask.astype(np.uint8).tofile(out)


if __name__ == "__main__":
    main()
