#!/usr/bin/env python3
"""What the progress line costs: warm runs over a tree with no mark left,
with standard error a terminal (progress on, drawn once a run passes a
second) and not (progress off), alternating round by round.

Usage: progress_cost.py [--files N | --small N] [--rounds R] [--baseline PROGRAM]

Each run happens under script(1), so that the terminal is the run's
controlling terminal, in the foreground, as in an interactive shell;
standard output goes to /dev/null either way. --baseline adds a build
without progress (of an earlier commit) run the same way. --small N walks N
files of 100 bytes instead of the benchmark's tree: enough of them that a
warm run passes a second and the line is drawn.
"""
import argparse
import os
import statistics
import subprocess
import time

import bench


def run(command):
    start = time.perf_counter()
    subprocess.run(["script", "-qec", command, "/dev/null"], check=False,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def make_small_tree(files):
    path = os.path.join(bench.WORK, "inputs", f"small-{files}")
    if os.path.exists(os.path.join(path, ".complete")):
        return path
    for made in range(files):
        folder = os.path.join(path, f"d{made // 40:06d}")
        if made % 40 == 0:
            os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, f"f{made:07d}"), "wb") as f:
            f.write(b"x" * 100)
    open(os.path.join(path, ".complete"), "w").close()
    return path


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=50000)
    parser.add_argument("--small", type=int, default=0)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--baseline")
    args = parser.parse_args()
    os.makedirs(bench.WORK, exist_ok=True)
    tree = (make_small_tree(args.small) if args.small else
            bench.make_stripped_tree(args.files))
    commands = {
        "terminal (progress on)": f"{bench.TOOL} -W '{tree}' >/dev/null",
        "no terminal (progress off)":
            f"{bench.TOOL} -W '{tree}' >/dev/null 2>/dev/null",
    }
    if args.baseline:
        commands["baseline, terminal"] = f"{args.baseline} -W '{tree}' >/dev/null"
    for command in commands.values():  # warm the page cache and dentries
        run(command)
    times = {name: [] for name in commands}
    names = list(commands)
    for round_ in range(args.rounds):
        for name in names[round_ % len(names):] + names[:round_ % len(names)]:
            times[name].append(run(commands[name]))
    print(f"{args.small or args.files} files, {args.rounds} rounds, medians:")
    for name, values in times.items():
        print(f"  {name:28s} {statistics.median(values):.4f} s "
              f"(min {min(values):.4f}, max {max(values):.4f})")


if __name__ == "__main__":
    main()
