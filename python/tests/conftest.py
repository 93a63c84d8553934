"""Shared fixtures of the Python tests: the programs of the build tree and a simulated
night made once per test session."""

import os
import pathlib
import subprocess

import pytest


def bin_dir():
    return pathlib.Path(os.environ.get("NEWSTARS_BIN_DIR", "build/release/bin")).resolve()


def source_dir():
    return pathlib.Path(os.environ.get("NEWSTARS_SOURCE_DIR", ".")).resolve()


def run_program(args, cwd):
    """Runs a program of the build tree; its CompletedProcess (bytes)."""
    env = dict(os.environ, PATH=f"{bin_dir()}:{os.environ.get('PATH', '')}")
    return subprocess.run([str(a) for a in args], cwd=cwd, env=env, capture_output=True, check=False)


@pytest.fixture(scope="session")
def night(tmp_path_factory):
    """The demo's night (seed 1: three fields of 1024 x 1024 pixels, two test images
    each, some compressed) and the command line's report and catalogue of it."""
    where = tmp_path_factory.mktemp("night")
    made = run_program([bin_dir() / "simnight", "--seed", "1", "--size", "1024", "--objects", "3",
                        "--images", "2", "--out", where], cwd=where)
    assert made.returncode == 0, made.stderr.decode()
    run = run_program([bin_dir() / "newstars", "--catalog", "catalog.ecsv", "-f", "files.txt",
                       "2", "table.txt"], cwd=where)
    assert run.returncode == 0, run.stderr.decode()
    (where / "report.txt").write_bytes(run.stdout)
    return where
