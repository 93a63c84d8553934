#!/usr/bin/python3
"""Trains the real-bogus score of difference detections on simulated nights.

Every night is made by simnight with a known truth; diffeval runs the difference search on it
and writes, for each detection, the measured features (the same routine the product scores
with) and whether it lies within 2.5 pixels of an injected source (real) or not (bogus). A
gradient-boosted tree model is fitted on the training nights and checked on the held-out ones;
its JSON is written where the build embeds it.

Seeds, fixed before any result was looked at:
  training   11 12 13   (each condition below, 2 fields x 2 test images of 1024 x 1024 per seed)
  held out   71 72      (used only to measure and to choose the default --min-score)

  tools/train_score/train_score.py [--bin build/release/bin] [--work DIR] [--jobs N]

Runs in a few minutes on two cores (most of it generating and subtracting the nights).
Prints the held-out ROC (area under the curve, and the true and false rates at each of a
few thresholds) and writes tools/train_score/score_model.json and, in the work directory,
features_train.txt, features_heldout.txt and heldout_scores.txt.
"""

import argparse
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

TRAIN_SEEDS = [11, 12, 13]
HELDOUT_SEEDS = [71, 72]

# Every night: 2 fields of 2 test images, new sources on clear sky, on galaxies and beside
# stars, and the generator's usual cosmic rays and hot pixels.
COMMON = ["--objects", "2", "--images", "2", "--size", "1024", "--inject", "20",
          "--galaxies", "40", "--on-galaxies", "6", "--on-stars", "6", "--pairs", "20"]

CONDITIONS = {
    "moffat": ["--moffat", "2.5"],
    "gradient": ["--moffat", "2.5", "--sky-gradient", "0.5"],
    "halos": ["--moffat", "2.5", "--halos", "4"],
    "compact-cosmic": ["--moffat", "2.5", "--compact-cosmic", "40"],
    "sharp-test": ["--moffat", "2.8", "--sharp-test", "1.2", "--compact-cosmic", "20"],
    "crowded": ["--moffat", "2.5", "--stars", "6000"],
    "few-stars": ["--moffat", "2.5", "--stars", "60"],
    "header-offset": ["--moffat", "2.5", "--header-offset", "6"],
    "gaussian": ["--seeing-mix", "--saturated-ref", "5"],
}

# Columns of diffeval --features after the label ones (image x y real where peak_sigmas
# reasons); must follow scoreFeatureName in diff/score.cpp.
FEATURES = None  # read from the files' header line


def run(command, cwd=None):
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(" ".join(command) + " failed:\n" + result.stderr)
    return result.stdout


def night(bin_dir, work, condition, seed):
    directory = os.path.join(work, f"{condition}-{seed}")
    features = os.path.join(directory, "features.txt")
    if not os.path.exists(os.path.join(directory, "truth.txt")):
        run([os.path.join(bin_dir, "simnight"), "--seed", str(seed), "--out", directory]
            + COMMON + CONDITIONS[condition])
    if not os.path.exists(features):
        run([os.path.abspath(os.path.join(bin_dir, "diffeval")), "--features", "features.part",
             "files.txt", "table.txt", "truth.txt"], cwd=directory)
        os.replace(os.path.join(directory, "features.part"), features)
    return condition, seed, features


def read_features(path, condition):
    rows = []
    with open(path) as f:
        header = f.readline().split()
        for line in f:
            fields = line.split()
            row = dict(zip(header, fields))
            row["condition"] = condition
            rows.append(row)
    return header, rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--bin", default="build/release/bin")
    parser.add_argument("--work", default="build/train_score")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--generate-only", action="store_true")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)

    tasks = [(c, s) for s in TRAIN_SEEDS + HELDOUT_SEEDS for c in CONDITIONS]
    with ThreadPoolExecutor(args.jobs) as pool:
        done = list(pool.map(lambda t: night(args.bin, args.work, *t), tasks))
    if args.generate_only:
        return

    import numpy as np
    import xgboost as xgb

    def table(seeds):
        header, rows = None, []
        for condition, seed, path in done:
            if seed in seeds:
                header, r = read_features(path, condition)
                rows += r
        names = header[header.index("score") + 1:]
        x = np.array([[float(r[n]) for n in names] for r in rows], dtype=np.float32)
        y = np.array([int(r["real"]) for r in rows])
        return names, rows, x, y

    names, train_rows, x_train, y_train = table(TRAIN_SEEDS)
    _, held_rows, x_held, y_held = table(HELDOUT_SEEDS)
    print(f"training detections {len(y_train)} ({y_train.sum()} real); "
          f"held out {len(y_held)} ({y_held.sum()} real); features {' '.join(names)}")

    params = {"objective": "binary:logistic", "max_depth": 4, "eta": 0.1,
              "min_child_weight": 2, "tree_method": "exact", "nthread": 1, "seed": 0,
              "eval_metric": "auc"}
    booster = xgb.train(params, xgb.DMatrix(x_train, label=y_train), num_boost_round=200)
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "score_model.json")
    booster.save_model(out)

    p = booster.predict(xgb.DMatrix(x_held))
    order = np.argsort(-p, kind="stable")
    tp = np.cumsum(y_held[order])
    fp = np.cumsum(1 - y_held[order])
    tpr = np.concatenate([[0], tp / max(y_held.sum(), 1)])
    fpr = np.concatenate([[0], fp / max((1 - y_held).sum(), 1)])
    auc = float(np.trapz(tpr, fpr))
    print(f"held-out ROC area {auc:.4f}")
    for t in [0.05, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9]:
        keep = p >= t
        print(f"  score >= {t:.2f}: real kept {keep[y_held == 1].mean():.4f}, "
              f"bogus kept {keep[y_held == 0].mean():.4f}")
    with open(os.path.join(args.work, "heldout_scores.txt"), "w") as f:
        f.write("condition image x y real peak_sigmas reasons score\n")
        for r, s in zip(held_rows, p):
            f.write(f"{r['condition']} {r['image']} {r['x']} {r['y']} {r['real']} "
                    f"{r['peak_sigmas']} {r['reasons']} {s:.6f}\n")
    gain = booster.get_score(importance_type="gain")
    print("importance (gain):", ", ".join(
        f"{names[int(k[1:])]} {v:.1f}" for k, v in sorted(gain.items(), key=lambda kv: -kv[1])))


if __name__ == "__main__":
    main()
