#!/usr/bin/env python3
"""korvat's speed against a copy of the same recording, and against its floor.

A split moves every byte of the recording once, into two or more files; `cat`
does the same work, so `cat` into the same file system is the yardstick. The
floor is what korvat has to do beyond that by contract, done by `cat` too: a
copy of the recording, its standard output (written to /dev/null, as here),
and in the default mode and with -r the temporary file's traffic (the audio
PES packets written, read back, and the stripped audio written).

`cat` copies within one file system by the kernel's own copy, each byte moved
once. A split that reads its input into memory moves each byte twice, and no
other way keeps a file that changes while it is read exact. So each mode also
gets its read/write floor: the same floor with the recording copied by `dd`
through a buffer of korvat's read size.

For each recording (512 MiB of small packets, and of large) and each mode it
prints the median over pairs taken in turn of korvat/cat and floor/cat, and
-r against the same run without it. With --against OLD it also times OLD in
the same pairs, so that a change is measured side by side with what it
changes. Peak anonymous memory (not counting mapped file pages) is sampled
from /proc while korvat runs.

  bench/speed.py [--korvat PATH] [--pack PATH] [--against PATH] [--pairs N]
                 [--data DIR] [--work DIR] [--mixes small,large] [--mib 512]

Run by hand (bench/run.sh); not part of the tests.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

MODES = [("default", []), ("-p", ["-p"]), ("-r", ["-r"])]


def run_timed(command, cwd, stdout=subprocess.DEVNULL):
    start = time.perf_counter()
    done = subprocess.run(command, cwd=cwd, stdout=stdout, stderr=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"failed ({done.returncode}): {' '.join(command)}")
    return elapsed


def clean(work):
    for name in os.listdir(work):
        path = os.path.join(work, name)
        if os.path.isfile(path) and not name.startswith("floor-"):
            os.remove(path)


def korvat_command(korvat, options, recording):
    return [korvat] + options + [recording, "a.mp2", "v.m2v"]


def cat_command(recording):
    return ["sh", "-c", f"cat '{recording}' > copy"]


def floor_command(recording, mode, work, copy="cat"):
    """The floor of a mode, as files prepared by prepare_floor(); with
    copy="dd" the recording goes through memory, as in a split."""
    copied = f"dd if='{recording}' of=copy bs=256K status=none" if copy == "dd" else f"cat '{recording}' > copy"
    parts = [copied, f"cat floor-{mode}.out > /dev/null"]
    if mode != "-p":
        parts += ["cat floor-pes > tmp", "cat tmp > floor-audio-copy", "rm tmp floor-audio-copy"]
    return ["sh", "-c", " && ".join(parts)]


def prepare_floor(korvat, recording, work):
    """korvat's standard output of each mode, and the temporary file's size."""
    for mode, options in MODES:
        with open(os.path.join(work, f"floor-{mode}.out"), "wb") as out:
            subprocess.run(korvat_command(korvat, options, recording), cwd=work, stdout=out,
                           stderr=subprocess.DEVNULL, check=True)
        if mode == "-p":
            shutil.copyfile(os.path.join(work, "a.mp2"), os.path.join(work, "floor-pes"))
        clean(work)


def peak_anonymous_kib(command, cwd):
    """The largest RssAnon seen while the command runs, sampled every 2 ms."""
    process = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    peak = 0
    status = f"/proc/{process.pid}/status"
    while process.poll() is None:
        try:
            with open(status) as lines:
                for line in lines:
                    if line.startswith("RssAnon:"):
                        peak = max(peak, int(line.split()[1]))
        except OSError:
            break
        time.sleep(0.002)
    process.wait()
    return peak


def median_ratio(first, second, pairs, work):
    """Median over pairs of time(second)/time(first). The run that comes
    second in a pair is slower here by several per cent (the file system frees
    the outputs of the one before), so the pairs take turns at going first."""
    ratios, firsts, seconds = [], [], []
    for i in range(pairs):
        timed = {}
        for which, command in ((0, first), (1, second)) if i % 2 == 0 else ((1, second), (0, first)):
            clean(work)
            timed[which] = run_timed(command, work)
        a, b = timed[0], timed[1]
        firsts.append(a)
        seconds.append(b)
        ratios.append(b / a)
    clean(work)
    return statistics.median(ratios), statistics.median(firsts), statistics.median(seconds)


def make_recordings(pack, data, mixes, mib):
    os.makedirs(data, exist_ok=True)
    for mix in mixes:
        path = os.path.join(data, f"{mix}.av")
        if not os.path.exists(path):
            print(f"making {path} ...", flush=True)
            subprocess.run([pack, "--seed", "7", "--mix", mix, str(mib), path + ".part"], check=True,
                           stdout=subprocess.DEVNULL)
            os.rename(path + ".part", path)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    build = os.path.join(os.path.dirname(here), "build")
    parser = argparse.ArgumentParser()
    parser.add_argument("--korvat", default=os.path.join(build, "korvat"))
    parser.add_argument("--pack", default=os.path.join(build, "korvat-pack"))
    parser.add_argument("--against", help="an older korvat, timed in the same pairs")
    parser.add_argument("--pairs", type=int, default=7)
    parser.add_argument("--data", help="where the recordings are made and kept (default: /dev/shm)")
    parser.add_argument("--work", help="where the outputs go (default: beside the recordings)")
    parser.add_argument("--mixes", default="small,large")
    parser.add_argument("--mib", type=int, default=512, help="the size of a recording that is made")
    args = parser.parse_args()
    korvat = os.path.abspath(args.korvat)
    layout = subprocess.run([args.pack, "--version"], capture_output=True, text=True).stdout.split()[-1]
    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else tempfile.gettempdir()
    data = args.data or os.path.join(shm, f"korvat-bench-layout{layout}")
    mixes = args.mixes.split(",")
    make_recordings(args.pack, data, mixes, args.mib)
    work = tempfile.mkdtemp(prefix="korvat-bench-run.", dir=args.work or data)
    try:
        print(f"korvat {korvat}; recordings in {data}; outputs in {work}; medians of {args.pairs} pairs in turn")
        for mix in mixes:
            recording = os.path.join(data, f"{mix}.av")
            prepare_floor(korvat, recording, work)
            for mode, options in MODES:
                command = korvat_command(korvat, options, recording)
                ratio, cat_s, korvat_s = median_ratio(cat_command(recording), command, args.pairs, work)
                floor, _, floor_s = median_ratio(cat_command(recording), floor_command(recording, mode, work),
                                                 args.pairs, work)
                through_memory, _, _ = median_ratio(cat_command(recording),
                                                    floor_command(recording, mode, work, copy="dd"), args.pairs, work)
                line = (f"{mix:5} {mode:7} korvat/cat {ratio:.2f} ({korvat_s * 1000:.0f} ms, cat {cat_s * 1000:.0f} ms)"
                        f"  floor/cat {floor:.2f} ({floor_s * 1000:.0f} ms)  read/write floor/cat {through_memory:.2f}")
                if args.against:
                    old = korvat_command(os.path.abspath(args.against), options, recording)
                    old_ratio, _, _ = median_ratio(cat_command(recording), old, args.pairs, work)
                    new_vs_old, _, _ = median_ratio(old, command, args.pairs, work)
                    line += f"  old/cat {old_ratio:.2f}  new/old {new_vs_old:.3f}"
                    # How much of the old build's distance to the floor is gone.
                    if old_ratio > floor:
                        line += f"  gap closed {(old_ratio - ratio) / (old_ratio - floor):.0%}"
                        # The most of it that a split through memory can close.
                        line += f" (read/write floor: {(old_ratio - through_memory) / (old_ratio - floor):.0%})"
                print(line, flush=True)
            for plain, checked in (([], ["-r"]), (["-p"], ["-p", "-r"])):
                ratio, _, _ = median_ratio(korvat_command(korvat, plain, recording),
                                           korvat_command(korvat, checked, recording), args.pairs, work)
                print(f"{mix:5} {' '.join(checked):7} against {' '.join(plain) or 'default'}: {ratio:.3f}", flush=True)
            for mode, options in MODES:
                peak = peak_anonymous_kib(korvat_command(korvat, options, recording), work)
                clean(work)
                print(f"{mix:5} {mode:7} peak anonymous memory {peak} KiB", flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
