#!/usr/bin/env python3
"""Completeness and false candidates by observing condition, difference imaging beside the
catalogue comparison with --vet, on simulated nights whose seeds are fixed here (chosen
before any measurement, never used in tuning).

usage: bench/condition_table.py BIN_DIR [WORK_DIR]

For each condition simnight makes 5 fields of one 1024 x 1024 test image each (5 pairs);
both methods search them, and the table gives, per method, the share of injected sources
inside the box with a peak of at least 10 noise units that a candidate recovers (within
1 arcsecond, allowing for the report's rounding), and the candidates that match no injected
source, per test image. For the saturated-novae condition the share is of the saturated new
sources alone, whatever their peak.
"""

import math
import os
import subprocess
import sys
import tempfile

# name, simnight options, seed
CONDITIONS = [
    ("base (Moffat 2.5)", ["--moffat", "2.5"], 7101),
    ("sky gradient +-50 %", ["--moffat", "2.5", "--sky-gradient", "0.5"], 7102),
    ("bowl-shaped reference sky", ["--moffat", "2.5", "--sky-bowl", "0.5"], 7103),
    ("bright galaxy halos", ["--moffat", "2.5", "--halos", "2"], 7104),
    ("elongated (axis ratio 2.2)", ["--moffat", "2.5", "--elongation", "2.2"], 7105),
    ("undersampled sharper test (1.2 px)",
     ["--sharp-test", "1.2", "--compact-cosmic", "30", "--images", "2"], 7106),
    ("crowded (4x stars)", ["--moffat", "2.5", "--stars", "6000"], 7107),
    ("few stars", ["--moffat", "2.5", "--stars", "60"], 7108),
    ("header offset 5.4 px", ["--moffat", "2.5", "--header-offset", "5.4"], 7109),
    ("saturated novae", ["--moffat", "2.5", "--saturated-new", "4"], 7110),
]

METHODS = [("difference", ["--method", "difference"]), ("catalog --vet", ["--vet"])]


def sexagesimal(text):
    sign = -1 if text.startswith("-") else 1
    parts = [float(p) for p in text.lstrip("-").split(":")]
    while len(parts) < 3:
        parts.append(0.0)
    return sign * (parts[0] + parts[1] / 60 + parts[2] / 3600)


def read_truth(path):
    sources = []
    with open(path) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            p = line.split()
            sources.append({"object": p[0], "image": p[1], "ra": float(p[2]), "dec": float(p[3]),
                            "peak": float(p[4]), "sigma": float(p[6]), "inbox": p[9] == "1",
                            "where": p[10] if len(p) > 10 else ""})
    return sources


def read_report(text):
    candidates, after = [], False
    for line in text.split("\n"):
        if line == "\f":
            after = True
        elif after and line.strip():
            p = line.split()
            candidates.append({"object": p[0], "image": os.path.basename(p[1]),
                               "ra": sexagesimal(p[2]), "dec": sexagesimal(p[3])})
    return candidates


def distance(c, s):
    """As simnight recover: the report's rounding (0.1 s of time, 1 arcsecond) allowed for."""
    d_ra = c["ra"] - s["ra"]
    d_ra -= 24 * round(d_ra / 24)
    ra_slack = max(0.0, abs(d_ra) * 3600 - 0.05) * 15 * math.cos(math.radians(s["dec"]))
    dec_slack = max(0.0, abs(c["dec"] - s["dec"]) * 3600 - 0.5)
    return math.hypot(ra_slack, dec_slack)


def score(truth, candidates, saturated_only):
    wanted = [s for s in truth if s["inbox"] and
              (s["where"] == "saturated" if saturated_only else
               s["where"] != "saturated" and s["peak"] >= 10 * s["sigma"])]
    found = 0
    for s in wanted:
        if any(c["object"] == s["object"] and c["image"] == s["image"] and distance(c, s) <= 1.0
               for c in candidates):
            found += 1
    false = sum(1 for c in candidates
                if not any(c["object"] == s["object"] and c["image"] == s["image"] and
                           distance(c, s) <= 2.0 for s in truth))
    return found, len(wanted), false


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    bin_dir = os.path.abspath(sys.argv[1])
    work = sys.argv[2] if len(sys.argv) > 2 else tempfile.mkdtemp(prefix="conditions-")
    env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ.get("PATH", ""))
    print("| condition | " + " | ".join(f"{m}: >=10 sigma found / false per image"
                                        for m, _ in METHODS) + " |")
    print("|---|" + "---|" * len(METHODS))
    for name, options, seed in CONDITIONS:
        directory = os.path.join(work, str(seed))
        os.makedirs(directory, exist_ok=True)
        arguments = ["simnight", "--seed", str(seed), "--size", "1024", "--objects", "5",
                     "--images", "1", "--inject", "20", "--no-fpack", "--out", "."] + options
        subprocess.run(arguments, cwd=directory, env=env, check=True)
        truth = read_truth(os.path.join(directory, "truth.txt"))
        with open(os.path.join(directory, "files.txt")) as f:
            images = sum(1 for line in f if line.strip() and not line.startswith("#"))
        cells = []
        for _, method_options in METHODS:
            run = subprocess.run(["newstars", "-j", "1"] + method_options +
                                 ["-f", "files.txt", "2", "table.txt"],
                                 cwd=directory, env=env, capture_output=True, text=True)
            found, wanted, false = score(truth, read_report(run.stdout),
                                         name == "saturated novae")
            share = f"{100 * found / wanted:.0f} % ({found}/{wanted})" if wanted else "-"
            cells.append(f"{share} / {false / max(images, 1):.1f}")
        print(f"| {name} | " + " | ".join(cells) + " |", flush=True)


if __name__ == "__main__":
    main()
