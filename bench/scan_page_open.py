#!/usr/bin/python3
"""How long the scanning page of a large night takes to open in headless Chromium.

Generates one field of 2048 x 2048 pixels with new sources enough for about 500
candidates (simnight; some fall on stars or near the edge), searches
it with --page (and --method difference with METHOD=difference: three panels a
candidate), then opens the page from its file RUNS times, each in a fresh browser with
the network closed, and reports per opening the time from the start of navigation until
the page's script has built every line and every stamp image it has made has decoded
(the page makes a line's stamps as the line comes within 1000 pixels of the window).

usage: bench/scan_page_open.py [BUILD_DIR]   (default build/release)
Environment: INJECT (default 600), RUNS (default 5), METHOD (catalog or difference).
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--user-data-dir=" + profile, "--window-size=1400,1000"]:
        options.add_argument(argument)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


# Milliseconds from navigation start until every line is built and every image decoded.
OPENED = """
var done = arguments[arguments.length - 1];
function check() {
  var ready = document.body && document.body.getAttribute('data-ready') === '1';
  var images = Array.from(document.images);
  if (ready && images.every(function (i) { return i.complete && i.naturalWidth > 0; })) {
    Promise.all(images.map(function (i) { return i.decode(); })).then(function () {
      done([performance.now(), document.querySelectorAll('#list tbody tr').length,
            images.length]);
    });
  } else {
    setTimeout(check, 5);
  }
}
check();
"""


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build/release"))
    inject = os.environ.get("INJECT", "600")
    runs = int(os.environ.get("RUNS", "5"))
    method = os.environ.get("METHOD", "catalog")
    work = tempfile.mkdtemp(prefix="newstars-page-bench-")
    try:
        night = os.path.join(work, "night")
        subprocess.run([os.path.join(build, "bin/simnight"), "--seed", "7", "--size", "2048",
                        "--objects", "1", "--images", "1", "--inject", inject, "--no-fpack",
                        "--out", night], check=True, stdout=subprocess.DEVNULL)
        page = os.path.join(work, "page")
        started = time.monotonic()
        subprocess.run([os.path.join(build, "bin/newstars"), "--method", method, "--page", page,
                        "-f", "files.txt", "2", "table.txt"], cwd=night, check=True,
                       stdout=subprocess.DEVNULL)
        search = time.monotonic() - started
        path = os.path.join(page, "index.html")
        size = os.path.getsize(path)
        times = []
        for run in range(runs):
            driver = browser(os.path.join(work, "profile-%d" % run))
            try:
                driver.set_script_timeout(60)
                driver.get("file://" + path)
                opened, lines, images = driver.execute_async_script(OPENED)
                times.append(opened / 1000)
            finally:
                driver.quit()
        print("page of %d candidates (%d stamp images), %.1f MB, method %s; search %.1f s"
              % (lines, images, size / 1e6, method, search))
        print("opened in: " + " ".join("%.3f s" % t for t in times))
        print("median %.3f s, worst %.3f s" % (statistics.median(times), max(times)))
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
