#!/usr/bin/python3
"""The candidate history on the scanning page, in headless Chromium through Selenium.

Three simulated nights with a supernova are searched into one history (--history) with
--page. On night 1's page a recurring source is labelled bogus with the key, the page's
own labels.csv is saved and imported (newstars history --labels); night 3's page then
shows the history's columns: the supernova seen 6 times on 3 nights with a light curve of
3 points, the labelled source flagged "labelled bogus", and sorting by times seen.

usage: history_page_browser_test.py BIN_DIR [SCREENSHOT.png]
Exits 77 (skipped) when Chromium, its driver or Selenium is missing.
"""

import math
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from scan_page_browser_test import (check, read_catalog, skip, start_browser,  # noqa: E402
                                    webdriver)

from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402

assert webdriver


def search(bin_dir, night, history, page, catalog):
    subprocess.run([os.path.join(bin_dir, "newstars"), "--history", history, "--page", page,
                    "--catalog", catalog, "-f", "files.txt", "2", "table.txt"], cwd=night,
                   check=True, stdout=subprocess.DEVNULL)
    return read_catalog(catalog)


def near(row, ra, dec):
    return math.hypot((float(row["ra"]) - ra) * math.cos(math.radians(dec)),
                      float(row["dec"]) - dec) * 3600 < 2


def main():
    bin_dir = os.path.abspath(sys.argv[1])
    screenshot = sys.argv[2] if len(sys.argv) > 2 else None
    work = tempfile.mkdtemp(prefix="newstars-history-page-")
    driver = None
    try:
        history = os.path.join(work, "h.db")
        for k in (1, 2, 3):
            subprocess.run([os.path.join(bin_dir, "simnight"), "--seed", "7", "--size", "512",
                            "--objects", "1", "--images", "2", "--inject", "4", "--night",
                            str(k), "--supernova", "--no-fpack", "--out",
                            os.path.join(work, "n%d" % k)], check=True,
                           stdout=subprocess.DEVNULL)
        truth = [line.split() for line in open(os.path.join(work, "n1", "truth.txt"))
                 if not line.startswith("#")]
        sn = next(t for t in truth if t[-1] == "supernova")
        sn_ra, sn_dec = float(sn[2]) * 15, float(sn[3])
        bright = max((t for t in truth if len(t) == 10 and t[1] == "FLD01_1.fts"),
                     key=lambda t: float(t[4]))
        bogus_ra, bogus_dec = float(bright[2]) * 15, float(bright[3])

        night1 = search(bin_dir, os.path.join(work, "n1"), history,
                        os.path.join(work, "p1"), os.path.join(work, "c1.ecsv"))
        target = next(i for i, r in enumerate(night1) if near(r, bogus_ra, bogus_dec))

        downloads = os.path.join(work, "downloads")
        os.mkdir(downloads)
        driver = start_browser(os.path.join(work, "profile"), downloads)
        driver.get("file://" + os.path.join(work, "p1", "index.html"))
        driver.find_element(By.CSS_SELECTOR, "body[data-ready='1']")
        heads = driver.execute_script(
            "return Array.from(document.querySelectorAll('#list th')).map("
            "function (t) { return t.textContent; });")
        for head in ("first seen", "seen", "nights", "light curve", "before"):
            check(head in heads, "column %r on the page: %r" % (head, heads))
        check(heads.index("before") + 1 == heads.index("label"), "history before the label")
        driver.find_element(By.CSS_SELECTOR, "#list tbody tr[data-index='%d']" % target).click()
        ActionChains(driver).send_keys("b").perform()
        driver.find_element(By.ID, "save").click()
        path = os.path.join(downloads, "labels.csv")
        deadline = time.time() + 20
        while not os.path.exists(path) and time.time() < deadline:
            time.sleep(0.1)
        check(os.path.exists(path), "labels.csv downloaded")
        imported = subprocess.run([os.path.join(bin_dir, "newstars"), "history", "--labels",
                                   path, history], check=True, capture_output=True, text=True)
        check(imported.stdout.endswith(": 1 label imported\n"), imported.stdout)

        search(bin_dir, os.path.join(work, "n2"), history, os.path.join(work, "p2"),
               os.path.join(work, "c2.ecsv"))
        night3 = search(bin_dir, os.path.join(work, "n3"), history, os.path.join(work, "p3"),
                        os.path.join(work, "c3.ecsv"))
        driver.get("file://" + os.path.join(work, "p3", "index.html"))
        driver.find_element(By.CSS_SELECTOR, "body[data-ready='1']")

        def row_cells(i):
            return driver.execute_script(
                "var r = document.querySelector('#list tbody tr[data-index=\"' + arguments[0]"
                " + '\"]'); return {seen: r.querySelector('td.seen').textContent,"
                " nights: r.querySelector('td.nights').textContent,"
                " before: r.querySelector('td.before').textContent,"
                " red: r.querySelector('td.before').style.color,"
                " points: r.querySelectorAll('td.curve svg circle').length};", i)

        sn_rows = [i for i, r in enumerate(night3) if near(r, sn_ra, sn_dec)]
        check(len(sn_rows) == 2, "the supernova in both test images: %r" % sn_rows)
        for i in sn_rows:
            cells = row_cells(i)
            check(cells["seen"] == "6" and cells["nights"] == "3" and cells["points"] == 3,
                  "supernova row %d: %r" % (i, cells))
            check(cells["before"] == "", "the supernova is not flagged: %r" % cells)
        flagged = [i for i, r in enumerate(night3) if near(r, bogus_ra, bogus_dec)]
        check(len(flagged) == 1, "the labelled source on night 3: %r" % flagged)
        cells = row_cells(flagged[0])
        check(cells["before"] == "labelled bogus" and cells["red"] != "",
              "labelled source: %r" % cells)
        check(night3[flagged[0]]["flagged"] == "True", "the catalogue flags it too")

        driver.find_element(By.CSS_SELECTOR, "th[data-key='seen']").click()
        driver.find_element(By.CSS_SELECTOR, "th[data-key='seen']").click()
        seen = driver.execute_script(
            "return Array.from(document.querySelectorAll('#list tbody tr')).map("
            "function (r) { return +r.querySelector('td.seen').textContent; });")
        check(seen == sorted(seen, reverse=True) and seen[0] == 6,
              "sorted by times seen, down: %r" % seen)
        if screenshot:
            driver.save_screenshot(screenshot)
        print("ok: light curve of 3 nights drawn, page label imported and flagged")
        return 0
    finally:
        if driver is not None:
            driver.quit()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
