"""Each compiled function lets other Python threads run while the libraries work: a thread
counting time never stalls for long while another thread is inside the call."""

import pathlib
import threading
import time

import numpy as np
import pytest
from astropy.io import fits

import newstars
from newstars import _core

NIRCAM = pathlib.Path("/work/shared/realdata/nircam")


def longest_stall(call, repeats):
    """Runs call repeats times on a thread while this thread watches the clock: (seconds one
    call took on average, the longest time within them during which this thread could not
    run)."""
    span = {}

    def work():
        span["start"] = time.perf_counter()
        for _ in range(repeats):
            call()
        span["end"] = time.perf_counter()

    stalls = []
    worker = threading.Thread(target=work)
    last = time.perf_counter()
    worker.start()
    while worker.is_alive():
        now = time.perf_counter()
        if now - last > 1e-3:
            stalls.append((last, now))
        last = now
    worker.join()
    start, end = span["start"], span["end"]
    inside = [min(b, end) - max(a, start) for a, b in stalls if b > start and a < end]
    return (end - start) / repeats, max(inside, default=0.0)


def star_image(side):
    rng = np.random.default_rng(5)
    image = rng.normal(1000, 10, (side, side)).astype(np.float32)
    for x, y in rng.uniform(40, side - 40, (200, 2)):
        image[int(y) - 1:int(y) + 2, int(x) - 1:int(x) + 2] += 4000
    return image


def nircam_pair():
    if not NIRCAM.exists():
        pytest.skip("the real images of ../shared/realdata are not on this machine")
    arrays = []
    for name in ["a2744_2022-06-28_f200w.fits", "a2744_2022-11-01_f200w.fits"]:
        with fits.open(NIRCAM / name) as hdul:
            arrays += [hdul[0].data.copy(), hdul[0].header.tostring()]
    return arrays


def find_stars_call():
    image = star_image(2048).astype(">f4")
    return lambda: _core.find_stars(image, None, None, None)


def pixel_to_sky_call():
    header = fits.Header({"CTYPE1": "RA---TAN-SIP", "CTYPE2": "DEC--TAN-SIP", "CRVAL1": 10.0,
                          "CRVAL2": 20.0, "CRPIX1": 100.0, "CRPIX2": 100.0, "CD1_1": -1e-4,
                          "CD2_2": 1e-4, "A_ORDER": 2, "B_ORDER": 2, "A_2_0": 1e-6,
                          "B_0_2": 1e-6})
    frame = _core.read_frame(header.tostring(), "auto")
    x = np.linspace(0, 4000, 100_000)
    return lambda: frame.pixel_to_sky(x, x)


def compare_call():
    ref, ref_cards, test, test_cards = nircam_pair()
    return lambda: _core.compare(ref, None, ref_cards, test, None, test_cards, "r", "t", 2.0,
                                 "fits", None, {}, None, None)


def difference_call():
    ref, ref_cards, test, test_cards = nircam_pair()
    return lambda: _core.difference(ref, None, ref_cards, test, None, test_cards, "r", "t", 2.0,
                                    5.0, "fits", None)


def assert_others_run(call):
    """A call that held the lock would stall this thread for all of it, every time; a busy
    machine may stall it for a while now and then: three tries. A fast machine may finish
    one call before the clock can tell, so the call is repeated to fill a fifth of a second
    and each stall is weighed against one call."""
    began = time.perf_counter()
    call()
    once = time.perf_counter() - began
    repeats = max(1, min(100, int(0.2 / max(once, 1e-4)) + 1))
    for _ in range(3):
        took, stall = longest_stall(call, repeats)
        assert took > 2e-3, "too short a call to tell"
        if stall < took / 2:
            return
    raise AssertionError(f"this thread stalled {stall:.3f} s of a {took:.3f} s call")


@pytest.mark.parametrize("make_call", [find_stars_call, pixel_to_sky_call, compare_call,
                                       difference_call])
def test_other_threads_run_during_the_call(make_call):
    assert_others_run(make_call())


def test_night_run_lets_other_threads_run(night, monkeypatch):
    monkeypatch.chdir(night)
    images = [line for line in (night / "files.txt").read_text().splitlines()
              if line and not line.startswith("#")]
    assert_others_run(lambda: newstars.search_night("table.txt", images, jobs=1))
