#!/usr/bin/python3
"""The scanning page in a real browser: headless Chromium driven by Selenium.

A simulated night (one test image under a name with quotes, angle brackets, an ampersand
and a comma) is searched with --page, --catalog and --regions-per-image; the page is
opened from its file with the network closed and checked against the catalogue: it lists
every candidate, sorts, filters, the keys label the current candidate and move on, and
the labels.csv it saves holds exactly the labels pressed, with the catalogue's names and
positions.

usage: scan_page_browser_test.py BIN_DIR [SCREENSHOT.png]
Exits 77 (skipped) when Chromium, its driver or Selenium is missing.
"""

import csv
import io
import os
import shutil
import subprocess
import sys
import tempfile
import time

CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"
HOSTILE = "t\"<b>&'x,2.fts"


def skip(reason):
    print("skipped:", reason)
    sys.exit(77)


try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.action_chains import ActionChains
except ImportError:
    skip("python3-selenium is not installed")
if not (os.access(CHROMIUM, os.X_OK) and os.access(DRIVER, os.X_OK)):
    skip("chromium or chromium-driver is not installed")


def read_catalog(path):
    """The catalogue's rows as dictionaries of text (ECSV: '#' header, then CSV)."""
    with open(path, encoding="utf-8") as f:
        lines = [line for line in f if not line.startswith("#")]
    return list(csv.DictReader(io.StringIO("".join(lines))))


def make_night(bin_dir, work):
    """Generates and searches the night; returns (page path, catalogue rows, regions dir)."""
    night = os.path.join(work, "night")
    subprocess.run([os.path.join(bin_dir, "simnight"), "--seed", "3", "--size", "512",
                    "--objects", "1", "--images", "2", "--inject", "6", "--no-fpack",
                    "--out", night], check=True, stdout=subprocess.DEVNULL)
    os.rename(os.path.join(night, "FLD01_2.fts"), os.path.join(night, HOSTILE))
    with open(os.path.join(night, "files.txt"), "w", encoding="utf-8") as f:
        f.write("FLD01_1.fts\n" + HOSTILE + "\n")
    page_dir = os.path.join(work, "page")
    regions = os.path.join(work, "regions")
    catalog = os.path.join(work, "candidates.ecsv")
    subprocess.run([os.path.join(bin_dir, "newstars"), "--catalog", catalog, "--page",
                    page_dir, "--regions-per-image", regions, "-f", "files.txt", "2",
                    "table.txt"], cwd=night, check=True, stdout=subprocess.DEVNULL)
    return os.path.join(page_dir, "index.html"), read_catalog(catalog), regions


def start_browser(profile, downloads):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--user-data-dir=" + profile, "--window-size=1400,1000"]:
        options.add_argument(argument)
    options.add_experimental_option("prefs", {"download.default_directory": downloads,
                                              "download.prompt_for_download": False})
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    driver.execute_cdp_cmd("Page.setDownloadBehavior",
                           {"behavior": "allow", "downloadPath": downloads})
    return driver


def shown_rows(driver):
    """data-index of the rows shown, top to bottom."""
    return driver.execute_script(
        "return Array.from(document.querySelectorAll('#list tbody tr'))"
        ".filter(function (r) { return !r.hidden; })"
        ".map(function (r) { return +r.getAttribute('data-index'); });")


def cell_texts(driver, cls):
    return driver.execute_script(
        "return Array.from(document.querySelectorAll('#list tbody tr'))"
        ".filter(function (r) { return !r.hidden; })"
        ".map(function (r) { return r.querySelector('td." + cls + "').textContent; });")


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def main():
    bin_dir = os.path.abspath(sys.argv[1])
    screenshot = sys.argv[2] if len(sys.argv) > 2 else None
    work = tempfile.mkdtemp(prefix="newstars-page-")
    driver = None
    try:
        page, catalog, regions = make_night(bin_dir, work)
        n = len(catalog)
        check(n >= 4, "the night gives at least 4 candidates, not %d" % n)
        images = sorted({row["image"] for row in catalog})
        check(HOSTILE in images, "the hostile name is in the catalogue: %r" % images)
        check(sorted(os.listdir(regions)) == sorted(i + ".reg" for i in images),
              "one region file per test image: %r" % os.listdir(regions))

        downloads = os.path.join(work, "downloads")
        os.mkdir(downloads)
        driver = start_browser(os.path.join(work, "profile"), downloads)
        driver.get("file://" + page)
        driver.find_element(By.CSS_SELECTOR, "body[data-ready='1']")
        check(driver.execute_script("return document.title").startswith("newstars: %d " % n),
              "title names the count")

        # Every candidate, in catalogue order, each image name shown as it is.
        check(shown_rows(driver) == list(range(n)), "page lists the %d candidates" % n)
        check(cell_texts(driver, "image") == [r["image"] for r in catalog],
              "names as the catalogue gives them")
        check(cell_texts(driver, "number") == [r["number"] for r in catalog], "numbers")
        panels = driver.execute_script(
            "return document.querySelectorAll('#list tbody img').length")
        check(panels == 2 * n, "reference and test panels: %d images" % panels)
        broken = driver.execute_script(
            "return Array.from(document.images).filter(function (i) {"
            " return !i.complete || i.naturalWidth !== 31; }).length")
        check(broken == 0, "every stamp decodes to 31 pixels (%d do not)" % broken)

        # Sorting by S/N, up then down; unknown values last.
        snr_header = driver.find_element(By.CSS_SELECTOR, "th[data-key='snr']")
        for up in (True, False):
            snr_header.click()
            values = [float(t) if t else None for t in cell_texts(driver, "snr")]
            known = [v for v in values if v is not None]
            check(values[:len(known)] == known, "unknown S/N last")
            check(known == sorted(known, reverse=not up),
                  "sorted by S/N %s: %r" % ("up" if up else "down", known))
        order = shown_rows(driver)
        check(sorted(order) == list(range(n)), "sorting keeps every candidate")

        # Filtering by S/N against the catalogue's own column.
        threshold = sorted(float(r["snr"]) for r in catalog if r["snr"] != "nan")[n // 2]
        box = driver.find_element(By.ID, "minsnr")
        box.send_keys(repr(threshold))
        expected = sum(1 for r in catalog if r["snr"] != "nan" and float(r["snr"]) >= threshold)
        check(len(shown_rows(driver)) == expected,
              "S/N filter shows %d of %d" % (len(shown_rows(driver)), expected))
        driver.execute_script("document.getElementById('minsnr').value='';"
                              "document.getElementById('minsnr').dispatchEvent("
                              "new Event('input'));")
        check(len(shown_rows(driver)) == n, "cleared filter shows all")

        # Keys: the current candidate is the first shown; r, b, s label and move on,
        # j moves on without a label, k moves back.
        driver.find_element(By.TAG_NAME, "h1").click()  # focus leaves the filter box
        row = driver.find_element(By.CSS_SELECTOR, "#list tbody tr[data-index='%d']" % order[0])
        row.click()
        keys = ActionChains(driver)
        for key in "rbsjrkk":
            keys.send_keys(key)
        keys.perform()
        # order[0] real, [1] bogus, [2] skip, [3] passed over, [4] real, then back to [3].
        pressed = {order[0]: "real", order[1]: "bogus", order[2]: "skip", order[4]: "real"}
        current = driver.execute_script(
            "return +document.querySelector('tr.current').getAttribute('data-index')")
        check(current == order[3], "k moves back: current %r" % current)
        shown_labels = {i: t for i, t in zip(shown_rows(driver), cell_texts(driver, "label")) if t}
        check(shown_labels == pressed, "labels shown %r" % shown_labels)

        if screenshot:
            driver.save_screenshot(screenshot)

        driver.find_element(By.ID, "save").click()
        path = os.path.join(downloads, "labels.csv")
        deadline = time.time() + 20
        while not os.path.exists(path) and time.time() < deadline:
            time.sleep(0.1)
        check(os.path.exists(path), "labels.csv downloaded")
        with open(path, encoding="utf-8", newline="") as f:
            saved = list(csv.reader(f))
        check(saved[0] == ["image", "number", "ra", "dec", "label"], "labels.csv header")
        want = sorted([catalog[i]["image"], catalog[i]["number"], catalog[i]["ra"],
                       catalog[i]["dec"], label] for i, label in pressed.items())
        check(sorted(saved[1:]) == want, "labels.csv %r, expected %r" % (saved[1:], want))
        print("ok: %d candidates, labels saved as pressed" % n)
        return 0
    finally:
        if driver is not None:
            driver.quit()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
