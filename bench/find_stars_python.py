#!/usr/bin/env python3
"""find_stars from Python on a 4096 x 4096 image against sep's background and extract
on the same array, in one run (speed only; the two find different things by different
rules, so their star counts are printed, not compared).

    PYTHONPATH=build/release/python python3 bench/find_stars_python.py [repeats]
"""

import sys
import time

import numpy as np

import newstars

SIDE = 4096


def image():
    """A sky of 1000 with noise of 10 and 4000 Gaussian stars (sigma 1.5 pixels)."""
    rng = np.random.default_rng(5)
    data = rng.normal(1000.0, 10.0, (SIDE, SIDE)).astype(np.float32)
    stamp = np.arange(-7, 8)
    for x, y, peak in zip(rng.uniform(20, SIDE - 20, 4000), rng.uniform(20, SIDE - 20, 4000),
                          100 * 500 ** rng.uniform(0, 1, 4000) ** 2):
        ix, iy = int(x), int(y)
        gx = np.exp(-((stamp + ix - x) ** 2) / (2 * 1.5 ** 2))
        gy = np.exp(-((stamp + iy - y) ** 2) / (2 * 1.5 ** 2))
        data[iy - 7:iy + 8, ix - 7:ix + 8] += (peak * np.outer(gy, gx)).astype(np.float32)
    return data


def best_of(repeats, run):
    times = []
    result = None
    for _ in range(repeats):
        start = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - start)
    return min(times), result


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    data = image()
    runs = {
        "newstars.find_stars float32": lambda: len(newstars.find_stars(data)),
        "newstars.find_stars >f4 (in place)": lambda: len(newstars.find_stars(big_endian)),
        "newstars.find_stars uint16": lambda: len(newstars.find_stars(whole)),
    }
    big_endian = data.astype(">f4")
    whole = np.clip(np.round(data), 0, 65535).astype(np.uint16)
    try:
        import sep

        def sep_extract():
            background = sep.Background(data)
            return len(sep.extract(data - background, 5.0, err=background.globalrms))

        runs["sep Background + extract (5 sigma)"] = sep_extract
    except ImportError:
        print("sep is not installed (Debian python3-sep): newstars alone")
    print(f"{SIDE} x {SIDE} float32 image, best of {repeats}")
    for name, run in runs.items():
        seconds, count = best_of(repeats, run)
        print(f"  {name:38s} {seconds * 1000:8.1f} ms  {count:6d} sources")


if __name__ == "__main__":
    main()
