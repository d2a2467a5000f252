#!/usr/bin/env python3
"""Runs every benchmark and prints one table of ratios against the peers.

Usage: bench/report.py BUILD_DIR [--rounds N] [--corpus-mb MB] [--small-count N] [--skip-e2e]
                       [--skip-codecs] [--tool-args "ARGS"] [--j1-args "-j 1"]

--tool-args goes before the movies of every pixsieve run; --j1-args (default "-j 1"; empty
leaves them out) gives the rows of a single-job run (CPU time and peak memory against the
default run, which uses every core).

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
    "png_write":   ("<= 0.70", "pixpng writer / libpng (adaptive filters, level 6); bytes ours/libpng"),
    "png_read":    ("report",  "pixpng reader / libpng"),
    "jpeg_decode": ("<= 1.5",  "our decoder / libjpeg-turbo"),
    "jpeg_encode": ("<= 2.0",  "our encoder / libjpeg-turbo (q80, 4:4:4)"),
    "utf8_to_gbk": ("report",  "iconv time / ours (speed-up)"),
    "gbk_to_utf8": ("report",  "iconv time / ours (speed-up)"),
    "deflate":     ("report",  "zlib compress time / libdeflate (one-shot, level 6)"),
}
SPEEDUP_GROUPS = {"utf8_to_gbk", "gbk_to_utf8"}


def run_codecs(build, repetitions, min_time):
    out = subprocess.run(
        [os.path.join(build, "bench", "codec-bench"), "--benchmark_format=json",
         f"--benchmark_repetitions={repetitions}", "--benchmark_enable_random_interleaving=true",
         f"--benchmark_min_time={min_time}", "--benchmark_report_aggregates_only=false"],
        check=True, capture_output=True, text=True).stdout
    runs, sizes = {}, {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        runs.setdefault(b["run_name"], []).append(b["cpu_time"])
        if "bytes_out" in b:
            sizes[b["run_name"]] = b["bytes_out"]
    return runs, sizes


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


def make_corpus(build, name, args):
    corpus = os.path.join(build, name)
    if not os.path.isdir(corpus) or not os.listdir(corpus):
        os.makedirs(corpus, exist_ok=True)
        subprocess.run([os.path.join(build, "bench", "bench-corpus")] + args(corpus), check=True)
    return sorted(os.path.join(corpus, f) for f in os.listdir(corpus) if f.endswith(".swf"))


def png_bytes(build, movies):
    """Our PNG files under the movies' folders against libpng's default for the same pictures."""
    files = [os.path.join(m + "_res", f) for m in movies if os.path.isdir(m + "_res")
             for f in os.listdir(m + "_res") if f.endswith(".png")]
    ours = theirs = count = 0
    for i in range(0, len(files), 500):  # keeps the command line short
        out = subprocess.run([os.path.join(build, "bench", "png-resave")] + files[i:i + 500],
                             check=True, capture_output=True, text=True).stdout.split()
        count, ours, theirs = count + int(out[0]), ours + int(out[1]), theirs + int(out[2])
    return count, ours, theirs


def run_e2e(build, movies, rounds, tool_args, j1_args, measure_memory):
    tool = [os.path.join(build, "pixsieve")] + tool_args
    programs = {
        "pixsieve": tool + movies,
        "floor": [os.path.join(build, "bench", "zlib-floor")] + movies,
        "floor_libdeflate": [os.path.join(build, "bench", "zlib-floor"), "--libdeflate"] + movies,
    }
    if j1_args:
        programs["pixsieve_j1"] = tool + j1_args + movies
    times = {name: [] for name in programs}
    for _ in range(rounds):
        order = list(programs)
        random.shuffle(order)
        for name in order:
            clean_outputs(movies)
            times[name].append(timed_run(programs[name]))
    peaks = {}
    if measure_memory:
        for name in [n for n in ("pixsieve_j1", "floor", "pixsieve") if n in programs]:
            clean_outputs(movies)
            peaks[name] = peak_rss_mb(programs[name])
    else:
        clean_outputs(movies)
        timed_run(programs["pixsieve"])
    pngs = png_bytes(build, movies)  # from the last pixsieve run
    clean_outputs(movies)
    return times, peaks, pngs


def e2e_rows(label, times, targets, j1_target):
    rows = []
    for metric, idx in (("cpu", 0), ("wall", 1)):
        ours = [x[idx] for x in times["pixsieve"]]
        floor = [x[idx] for x in times["floor"]]
        v, lo, hi = ratio_row(ours, floor, False)
        target = targets[metric]
        rows.append((f"{label}: pixsieve / zlib floor, {metric}", v, lo, hi, target, meets(target, v)))
    if "pixsieve_j1" in times and j1_target:
        ours = [x[0] for x in times["pixsieve_j1"]]
        floor = [x[0] for x in times["floor"]]
        v, lo, hi = ratio_row(ours, floor, False)
        rows.append((f"{label}: pixsieve single job / zlib floor, cpu", v, lo, hi, j1_target, meets(j1_target, v)))
    return rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--rounds", type=int, default=3, help="end-to-end rounds (each runs all programs once)")
    ap.add_argument("--repetitions", type=int, default=5, help="codec benchmark repetitions")
    ap.add_argument("--min-time", type=float, default=0.2, help="seconds per codec repetition")
    ap.add_argument("--corpus-mb", type=int, default=100)
    ap.add_argument("--small-count", type=int, default=2000, help="movies in the corpus of small movies")
    ap.add_argument("--skip-e2e", action="store_true")
    ap.add_argument("--skip-codecs", action="store_true")
    ap.add_argument("--tool-args", default="", help="arguments before the movies of every pixsieve run")
    ap.add_argument("--j1-args", default="-j 1", help="arguments of the single-job run ('' leaves its rows out)")
    args = ap.parse_args()
    tool_args, j1_args = args.tool_args.split(), args.j1_args.split()

    rows = []  # (benchmark, ratio, spread, target, met)
    if not args.skip_e2e:
        movies = make_corpus(args.build, "corpus", lambda d: [d, str(args.corpus_mb)])
        size_mb = sum(os.path.getsize(m) for m in movies) / 2**20
        t, peaks, pngs = run_e2e(args.build, movies, args.rounds, tool_args, j1_args, True)
        label = f"end_to_end ({len(movies)} movies, {size_mb:.0f} MB)"
        rows += e2e_rows(label, t, {"cpu": "<= 0.70", "wall": "<= 0.40"}, "<= 0.65")
        ld = [x[0] for x in t["floor_libdeflate"]]
        floor = [x[0] for x in t["floor"]]
        v, lo, hi = ratio_row(ld, floor, False)
        rows.append(("end_to_end: floor with libdeflate / zlib floor, cpu", v, lo, hi, "report", "-"))
        count, ours, theirs = pngs
        if count:
            rows.append((f"PNG bytes of the run: ours {ours / 2**20:.2f} MB, libpng {theirs / 2**20:.2f} MB "
                         f"({count} files)", ours / theirs, float("nan"), float("nan"), "<= 1.00",
                         meets("<= 1.00", ours / theirs)))
        rows.append((f"peak memory: pixsieve {peaks['pixsieve']:.0f} MB, floor {peaks['floor']:.0f} MB",
                     peaks["pixsieve"] / peaks["floor"], float("nan"), float("nan"), "report", "-"))
        if "pixsieve_j1" in peaks:
            v = peaks["pixsieve"] / peaks["pixsieve_j1"]
            rows.append((f"peak memory: default jobs {peaks['pixsieve']:.0f} MB / single job "
                         f"{peaks['pixsieve_j1']:.0f} MB", v, float("nan"), float("nan"), "<= 2.00",
                         meets("<= 2.00", v)))

        small = make_corpus(args.build, "corpus-small", lambda d: ["--small", d, str(args.small_count)])
        small_mb = sum(os.path.getsize(m) for m in small) / 2**20
        t, _, pngs = run_e2e(args.build, small, args.rounds, tool_args, [], False)
        rows += e2e_rows(f"small movies ({len(small)} movies, {small_mb:.0f} MB)", t,
                         {"cpu": "report", "wall": "<= 0.50"}, None)
        count, ours, theirs = pngs
        if count:
            rows.append((f"small movies, PNG bytes: ours {ours / 2**20:.2f} MB, libpng {theirs / 2**20:.2f} MB",
                         ours / theirs, float("nan"), float("nan"), "<= 1.00", meets("<= 1.00", ours / theirs)))
    if not args.skip_codecs:
        runs, sizes = run_codecs(args.build, args.repetitions, args.min_time)
        for name in sorted(runs):
            peer = name[:-5] + "/peer"
            if not name.endswith("/ours") or peer not in runs:
                continue
            group = name.split("/")[0]
            target, _ = CODEC_GROUPS[group]
            v, lo, hi = ratio_row(runs[name], runs[peer], group in SPEEDUP_GROUPS)
            label, met = name[:-5], meets(target, v)
            if group == "png_write" and name in sizes and peer in sizes:
                label += f" ({sizes[name]:.0f} / {sizes[peer]:.0f} bytes)"
                if sizes[name] > sizes[peer]:
                    met = "NO (larger output)"
            rows.append((label, v, lo, hi, target, met))

    print()
    print("| benchmark | ratio (median) | spread | target | met |")
    print("|---|---|---|---|---|")
    for name, v, lo, hi, target, met in rows:
        spread = "" if lo != lo else f"{lo:.2f}..{hi:.2f}"
        print(f"| {name} | {v:.2f} | {spread} | {target} | {met} |")
    print()
    print("Ratios are our time / the peer's time (lower is better), except the GBK rows, which")
    print("are the peer's time / ours (our speed-up, higher is better; report only).")
    for group, (target, what) in CODEC_GROUPS.items():
        print(f"  {group}: {what}")
    print(f"Load average while measuring: {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs")


if __name__ == "__main__":
    main()
