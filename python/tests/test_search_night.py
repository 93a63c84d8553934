"""search_night against the command line: the same report and catalogue, byte for byte,
on the simulated night, with either method; and the command line's refusals as errors."""

import os

import numpy as np
import pytest

import newstars
from conftest import bin_dir, run_program


def night_images(night):
    return [line for line in (night / "files.txt").read_text().splitlines()
            if line and not line.startswith("#")]


@pytest.mark.parametrize("options", [
    [],
    ["--vet", "-j", "1"],
    ["--method", "difference", "--threshold", "6"],
    ["--wcs=fits", "--part", "2/3"],
])
def test_same_report_and_catalogue_as_the_command_line(night, monkeypatch, options):
    """The run from Python and the command line, both from the night's directory (the
    table names the reference images relative to it)."""
    monkeypatch.chdir(night)
    command = run_program([bin_dir() / "newstars", *options, "--catalog", "expected.ecsv",
                           "-f", "files.txt", "2", "table.txt"], cwd=night)
    assert command.returncode == 0, command.stderr.decode()
    keywords = {}
    words = list(options)
    while words:
        word = words.pop(0)
        if word == "-j":
            keywords["jobs"] = int(words.pop(0))
        elif "=" in word:
            name, value = word[2:].split("=", 1)
            keywords[name] = value
        elif word == "--vet":
            keywords["vet"] = True
        else:
            keywords[word[2:]] = words.pop(0)
    night_run = newstars.search_night("table.txt", night_images(night), tolerance=2, **keywords)
    assert night_run.status == 0
    assert night_run.report.encode("utf-8", "surrogateescape") == command.stdout
    assert night_run.messages.encode("utf-8", "surrogateescape") == command.stderr
    assert night_run.catalog_text == (night / "expected.ecsv").read_text()
    assert len(night_run.catalog) > 0
    assert night_run.catalog["ra"].unit == "deg"
    assert np.all(np.isfinite(night_run.catalog["x"]))


def test_refusals_raise_with_the_command_lines_message(night, monkeypatch):
    monkeypatch.chdir(night)
    cases = [
        (dict(), "missing-table.txt", ["FLD01_1.fts"], "missing-table.txt"),
        (dict(method="nonsense"), "table.txt", ["FLD01_1.fts"], "method"),
        (dict(tolerance=-1), "table.txt", ["FLD01_1.fts"], "arcsec_sep"),
    ]
    for options, table, images, named in cases:
        with pytest.raises(newstars.Error, match=named):
            newstars.search_night(table, images, **options)


def test_strict_run_with_an_unreadable_image_has_status_3(night, monkeypatch):
    monkeypatch.chdir(night)
    result = newstars.search_night("table.txt", ["FLD01_1.fts", "missing.fts"], strict=True)
    assert result.status == 3
    assert "missing.fts" in result.messages
    assert result.report.startswith("FLD01 ")


def test_the_interpreter_lock_is_released_while_a_night_runs(night, monkeypatch):
    """Two nights on two threads give the same report as one: the runs share no state."""
    import threading

    monkeypatch.chdir(night)
    images = night_images(night)
    results = [None, None]

    def run(k):
        results[k] = newstars.search_night("table.txt", images, jobs=1).report

    threads = [threading.Thread(target=run, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results[0] == results[1] == (night / "report.txt").read_text()
    assert os.getcwd() == str(night)


def test_catalogue_notes_the_cards_set_aside_as_the_file_does(night, monkeypatch, tmp_path):
    """A test image whose CROTA2 cannot be read beside a CD matrix: the catalogue in memory
    lists the card set aside in its meta, as the --catalog file does."""
    from astropy.io import fits

    monkeypatch.chdir(night)
    with fits.open(night / "FLD01_1.fts") as hdul:
        data, header = hdul[0].data, hdul[0].header.copy()
    angle = np.radians(header["CROTA2"])
    header["CD1_1"] = header["CDELT1"] * np.cos(angle)
    header["CD1_2"] = -header["CDELT2"] * np.sin(angle)
    header["CD2_1"] = header["CDELT1"] * np.sin(angle)
    header["CD2_2"] = header["CDELT2"] * np.cos(angle)
    header["CROTA2"] = "abc"
    image = tmp_path / "FLD01_aside.fits"
    fits.PrimaryHDU(data, header).writeto(image)
    catalog = tmp_path / "catalog.ecsv"
    result = newstars.search_night("table.txt", [image], catalog=catalog)
    assert "cards_set_aside" in catalog.read_text()
    assert result.catalog_text == catalog.read_text()
    assert result.catalog.meta["images"][0]["image"] == "FLD01_aside.fits"
