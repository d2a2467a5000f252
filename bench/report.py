#!/usr/bin/env python3
"""Runs every benchmark and prints one table of ratios against the peers.

Usage: bench/report.py BUILD_DIR [--rounds N] [--corpus-mb MB] [--skip-e2e] [--skip-codecs]

Absolute times drift on shared machines, so every figure is a ratio of two programs (or two
functions) measured in the same run, interleaved, repeated; the table gives the median ratio
and the spread (lowest..highest) over the repetitions. Times are CPU times (user + system),
which other load disturbs less than wall-clock times; the wall-clock ratio of the whole tool
is printed too.
"""
import argparse
import json
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import time

# Group -> (target ratio, what "ours" and "peer" are). Ratios are our time / peer time, except
# where a group is marked as a speed-up, then peer time / our time (higher is better).
CODEC_GROUPS = {
    "png_write":   ("<= 1.05", "pixpng writer / libpng (filter None, default level)"),
    "png_read":    ("report",  "pixpng reader / libpng"),
    "jpeg_decode": ("<= 2.5",  "our decoder / libjpeg-turbo"),
    "jpeg_encode": ("<= 2.0",  "our encoder / libjpeg-turbo (q80, 4:4:4)"),
    "utf8_to_gbk": (">= 10x",  "iconv time / ours (speed-up)"),
    "gbk_to_utf8": (">= 10x",  "iconv time / ours (speed-up)"),
    "deflate":     ("report",  "libdeflate time / zlib compress (one-shot, level 6)"),
}


def run_codecs(build, repetitions, min_time):
    out = subprocess.run(
        [os.path.join(build, "bench", "codec-bench"), "--benchmark_format=json",
         f"--benchmark_repetitions={repetitions}", "--benchmark_enable_random_interleaving=true",
         f"--benchmark_min_time={min_time}", "--benchmark_report_aggregates_only=false"],
        check=True, capture_output=True, text=True).stdout
    runs = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        runs.setdefault(b["run_name"], []).append(b["cpu_time"])
    return runs


def ratio_row(ours, peer, speedup):
    pairs = [(p / o if speedup else o / p) for o, p in zip(ours, peer)]
    med = statistics.median(ours), statistics.median(peer)
    value = med[1] / med[0] if speedup else med[0] / med[1]
    return value, min(pairs), max(pairs)


def meets(target, value):
    if target == "report":
        return "-"
    op, limit = target.split()[0], float(target.split()[1].rstrip("x"))
    ok = value <= limit if op == "<=" else value >= limit
    return "yes" if ok else f"NO ({value / limit:.2f}x of target)" if op == "<=" else f"NO ({value / limit:.2f} of target)"


def timed_run(argv):
    """CPU seconds (user + system) and wall seconds of one child process."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    if status != 0:
        print(f"warning: {' '.join(argv[:2])} ... exited with {status}", file=sys.stderr)
    return usage.ru_utime + usage.ru_stime, wall


def peak_rss_mb(argv):
    out = subprocess.run(["/usr/bin/time", "-v"] + argv, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True).stderr
    for line in out.splitlines():
        if "Maximum resident set size" in line:
            return int(line.split(":")[1]) / 1024
    return float("nan")


def clean_outputs(movies):
    for m in movies:
        for suffix in ("_res", "_floor"):
            shutil.rmtree(m + suffix, ignore_errors=True)


def run_e2e(build, rounds, corpus_mb):
    corpus = os.path.join(build, "corpus")
    if not os.path.isdir(corpus) or not os.listdir(corpus):
        os.makedirs(corpus, exist_ok=True)
        subprocess.run([os.path.join(build, "bench", "bench-corpus"), corpus, str(corpus_mb)], check=True)
    movies = sorted(os.path.join(corpus, f) for f in os.listdir(corpus) if f.endswith(".swf"))
    size_mb = sum(os.path.getsize(m) for m in movies) / 2**20
    programs = {
        "pixsieve": [os.path.join(build, "pixsieve")] + movies,
        "floor": [os.path.join(build, "bench", "zlib-floor")] + movies,
        "floor_libdeflate": [os.path.join(build, "bench", "zlib-floor"), "--libdeflate"] + movies,
    }
    times = {name: [] for name in programs}
    for _ in range(rounds):
        order = list(programs)
        random.shuffle(order)
        for name in order:
            clean_outputs(movies)
            times[name].append(timed_run(programs[name]))
    peaks = {}
    for name in ("pixsieve", "floor"):
        clean_outputs(movies)
        peaks[name] = peak_rss_mb(programs[name])
    clean_outputs(movies)
    return size_mb, len(movies), times, peaks


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--rounds", type=int, default=3, help="end-to-end rounds (each runs all programs once)")
    ap.add_argument("--repetitions", type=int, default=5, help="codec benchmark repetitions")
    ap.add_argument("--min-time", type=float, default=0.2, help="seconds per codec repetition")
    ap.add_argument("--corpus-mb", type=int, default=100)
    ap.add_argument("--skip-e2e", action="store_true")
    ap.add_argument("--skip-codecs", action="store_true")
    args = ap.parse_args()

    rows = []  # (benchmark, ratio, spread, target, met)
    if not args.skip_e2e:
        size_mb, count, t, peaks = run_e2e(args.build, args.rounds, args.corpus_mb)
        label = f"end_to_end ({count} movies, {size_mb:.0f} MB)"
        for metric, idx in (("cpu", 0), ("wall", 1)):
            ours = [x[idx] for x in t["pixsieve"]]
            floor = [x[idx] for x in t["floor"]]
            v, lo, hi = ratio_row(ours, floor, False)
            rows.append((f"{label}: pixsieve / zlib floor, {metric}", v, lo, hi, "<= 1.10", meets("<= 1.10", v)))
        ld = [x[0] for x in t["floor_libdeflate"]]
        floor = [x[0] for x in t["floor"]]
        v, lo, hi = ratio_row(ld, floor, False)
        rows.append(("end_to_end: floor with libdeflate / zlib floor, cpu", v, lo, hi, "report", "-"))
        rows.append((f"peak memory: pixsieve {peaks['pixsieve']:.0f} MB, floor {peaks['floor']:.0f} MB",
                     peaks["pixsieve"] / peaks["floor"], float("nan"), float("nan"), "report", "-"))
    if not args.skip_codecs:
        runs = run_codecs(args.build, args.repetitions, args.min_time)
        for name in sorted(runs):
            if not name.endswith("/ours") or name[:-5] + "/peer" not in runs:
                continue
            group = name.split("/")[0]
            target, _ = CODEC_GROUPS[group]
            speedup = target.startswith(">=")
            v, lo, hi = ratio_row(runs[name], runs[name[:-5] + "/peer"], speedup)
            rows.append((name[:-5], v, lo, hi, target, meets(target, v)))

    print()
    print("| benchmark | ratio (median) | spread | target | met |")
    print("|---|---|---|---|---|")
    for name, v, lo, hi, target, met in rows:
        spread = "" if lo != lo else f"{lo:.2f}..{hi:.2f}"
        print(f"| {name} | {v:.2f} | {spread} | {target} | {met} |")
    print()
    print("Ratios are our time / the peer's time (lower is better), except targets written")
    print("'>= Nx', which are the peer's time / ours (our speed-up, higher is better).")
    for group, (target, what) in CODEC_GROUPS.items():
        print(f"  {group}: {what}")
    print(f"Load average while measuring: {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs")


if __name__ == "__main__":
    main()
