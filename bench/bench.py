#!/usr/bin/env python3
"""Times Sarnelux against its peers and against the floor, side by side.

    python3 bench/bench.py [--rounds N] [--quick]

Builds the tool (release preset) and the floor (bench/floor.c), makes its
inputs deterministically under bench/work/, and times, alternating the
commands round by round and each on a fresh copy of its input:

1. tree job: 50,000 files of 200 B to 16 KiB, about 40 per folder, 5% with a
   UTF-8 mark, 1% with FF FE; the tool, three peers and the floor;
2. steady state: the same tree with no mark left; the tool and the floor;
3. one 1 GiB file that begins with the mark: the tool, cp and the floor,
   with the peak memory of each;
4. the closing key wait: CPU time over 2 seconds of waiting;
5. scaling: the tree job at 1,000 to 200,000 files; the tool and the floor.

Prints a table of medians and ratios, writes bench/results.md and draws
bench/scaling.png. A full run takes about 35 minutes on 2 cores, most of it
in the peers and in copying inputs; --quick takes about 2.
"""
import argparse
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
WORK = os.path.join(HERE, "work")
TOOL = os.path.join(ROOT, "build", "sarnelux")
FLOOR = os.path.join(WORK, "floor")
MARK = b"\xef\xbb\xbf"
C_LOCALE = dict(os.environ, LC_ALL="C")


def sh(command, **kwargs):
    return subprocess.run(command, shell=True, check=True, **kwargs)


def prepare():
    os.makedirs(WORK, exist_ok=True)
    missing = [p for p, exe in (("dos2unix", "dos2unix"), ("gnuplot-nox", "gnuplot"))
               if shutil.which(exe) is None]
    if missing:
        root = [] if os.geteuid() == 0 else ["sudo"]
        subprocess.run(root + ["apt-get", "update", "-q"], check=True)
        subprocess.run(root + ["apt-get", "install", "-y", "-q",
                               "--no-install-recommends"] + missing, check=True)
    sh(f"cd {ROOT} && cmake --preset default >/dev/null && "
       f"cmake --build --preset default --target sarnelux >/dev/null")
    sh(f"cc -O2 -o {FLOOR} {os.path.join(HERE, 'floor.c')}")


def make_tree(files):
    """A tree of `files` files, about 40 per folder, nested 8 folders wide."""
    path = os.path.join(WORK, "inputs", f"tree-{files}")
    if os.path.exists(os.path.join(path, ".complete")):
        return path
    shutil.rmtree(path, ignore_errors=True)
    rng = random.Random(files)
    alphabet = bytes(range(32, 127)) + b"\n" * 8
    block = bytes(rng.choice(alphabet) for _ in range(1 << 16))
    folders = [path]
    made = 0
    while made < files:
        folder = folders[len(folders) // 9 if len(folders) > 1 else 0]
        folder = os.path.join(folder, f"d{len(folders):05d}")
        os.makedirs(folder)
        folders.append(folder)
        for _ in range(min(40, files - made)):
            size = rng.randint(200, 16 * 1024)
            start = rng.randrange(len(block) - size)
            body = block[start:start + size]
            roll = rng.random()
            if roll < 0.05:
                body = MARK + body[3:]
            elif roll < 0.06:
                body = b"\xff\xfe" + body[2:]
            with open(os.path.join(folder, f"f{made:06d}.txt"), "wb") as f:
                f.write(body)
            made += 1
    open(os.path.join(path, ".complete"), "w").close()
    return path


def make_stripped_tree(files):
    """The same tree after the marks are gone."""
    path = os.path.join(WORK, "inputs", f"tree-{files}-stripped")
    if os.path.exists(os.path.join(path, ".complete")):
        return path
    shutil.rmtree(path, ignore_errors=True)
    sh(f"cp -a '{make_tree(files)}' '{path}' && {TOOL} '{path}' /Q >/dev/null")
    return path


def make_big_file():
    path = os.path.join(WORK, "inputs", "big", "one-gib.bin")
    if os.path.exists(path) and os.path.getsize(path) == (1 << 30) + 3:
        return os.path.dirname(path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    rng = random.Random(1)
    block = bytes(rng.getrandbits(8) for _ in range(1 << 20))
    with open(path, "wb") as f:
        f.write(MARK)
        for _ in range(1 << 10):
            f.write(block)
    return os.path.dirname(path)


def fresh_copy(template):
    target = os.path.join(WORK, "run")
    shutil.rmtree(target, ignore_errors=True)
    sh(f"cp -a '{template}' '{target}' && sync")
    return target


def timed(command, env=None, must_succeed=True):
    """Runs a shell command; returns (wall seconds, peak resident KiB)."""
    started = time.perf_counter()
    process = subprocess.Popen(["bash", "-c", command], env=env,
                               stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - started
    if status != 0 and must_succeed:
        raise SystemExit(f"failed ({status}): {command}")
    return elapsed, usage.ru_maxrss


def tree_commands():
    return {
        "sarnelux": f"{TOOL} {{dir}} /Q",
        "find+sed": "find {dir} -type f -exec sed -i '1s/^\\xEF\\xBB\\xBF//' {{}} +",
        "find+dos2unix": "find {dir} -type f -exec dos2unix -q -r {{}} +",
        "grep+sed": "grep -rlZ $'^\\xEF\\xBB\\xBF' {dir} | xargs -0 -r sed -i "
                    "'1s/^\\xEF\\xBB\\xBF//'",
        "floor": f"{FLOOR} {{dir}}",
    }


def measure(template, commands, rounds, copy=True):
    """Median wall time and peak memory of each command over the rounds,
    alternating the order from round to round."""
    times = {name: [] for name in commands}
    memory = {name: 0 for name in commands}
    names = list(commands)
    for round_ in range(rounds):
        order = names[round_ % len(names):] + names[:round_ % len(names)]
        for name in order:
            target = fresh_copy(template) if copy else template
            # dos2unix exits 1 for the odd-length UTF-16 files it cannot
            # convert; a peer's complaints do not stop the benchmark.
            elapsed, peak = timed(commands[name].format(dir=target),
                                  env=C_LOCALE,
                                  must_succeed=name in ("sarnelux", "floor"))
            times[name].append(elapsed)
            memory[name] = max(memory[name], peak)
    return ({n: statistics.median(t) for n, t in times.items()}, memory)


def key_wait_cpu():
    empty = os.path.join(WORK, "inputs", "empty")
    os.makedirs(empty, exist_ok=True)
    process = subprocess.Popen([TOOL, empty], stdin=subprocess.PIPE,
                               stdout=subprocess.DEVNULL)
    time.sleep(2.0)
    process.stdin.write(b"k")
    process.stdin.close()
    _, _, usage = os.wait4(process.pid, 0)
    return (usage.ru_utime + usage.ru_stime) / 2.0


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        memory_kib = int(f.readline().split()[1])
    fs = subprocess.run(["df", "-T", WORK], capture_output=True,
                        text=True).stdout.splitlines()[-1].split()[1]
    return (f"{model}, {os.cpu_count()} cores, {memory_kib / 2**20:.0f} GiB, "
            f"Linux {platform.release()}, {fs} file system")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true",
                        help="smaller inputs, for trying the benchmark out")
    args = parser.parse_args()
    prepare()
    tree_size = 5000 if args.quick else 50000
    scale = [1000, 10000] if args.quick else [1000, 10000, 100000, 200000]
    rows, notes = [], []

    def row(job, name, seconds, floor, extra=""):
        rows.append((job, name, seconds, seconds / floor if floor else None, extra))

    # 1. Tree job.
    tree = make_tree(tree_size)
    times, _ = measure(tree, tree_commands(), args.rounds)
    for name, seconds in times.items():
        row(f"tree, {tree_size} files", name, seconds, times["floor"])
    notes.append(f"tree job: sarnelux at {times['sarnelux'] / times['floor']:.2f} "
                 f"times the floor (target at most 1.15).")
    print_table(rows)

    # 2. Steady state: nothing to do.
    clean = make_stripped_tree(tree_size)
    steady = {"sarnelux": tree_commands()["sarnelux"],
              "floor": tree_commands()["floor"]}
    times, _ = measure(clean, steady, args.rounds, copy=False)
    for name, seconds in times.items():
        row(f"steady state, {tree_size} files", name, seconds, times["floor"])
    notes.append(f"steady state: sarnelux at "
                 f"{times['sarnelux'] / times['floor']:.2f} times the floor "
                 f"(target at most 1.15).")

    # 3. One 1 GiB file.
    big = make_big_file()
    big_commands = {
        "sarnelux": tree_commands()["sarnelux"],
        "cp": "cp {dir}/one-gib.bin {dir}/copy.bin",
        "floor": tree_commands()["floor"],
    }
    times, memory = measure(big, big_commands, args.rounds)
    size_mib = os.path.getsize(os.path.join(big, "one-gib.bin")) / 2**20
    for name, seconds in times.items():
        rows.append(("1 GiB file", name, seconds, seconds / times["cp"],
                     f"peak {memory[name] / 1024:.0f} MiB"))
    notes.append(f"1 GiB file: sarnelux at {times['sarnelux'] / times['cp']:.2f} "
                 f"times cp (target at most 1.3); ratios in that job are to cp; "
                 f"the file is {size_mib:.0f} MiB, "
                 f"sarnelux peaked at {memory['sarnelux'] / 1024:.0f} MiB "
                 f"(target at most {size_mib + 16:.0f} MiB).")

    # 4. The closing key wait.
    waits = [key_wait_cpu() for _ in range(3)]
    cpu = statistics.median(waits)
    rows.append(("key wait, 2 s", "sarnelux", cpu, None,
                 f"{cpu * 100:.3f}% of one core"))
    notes.append(f"key wait: {cpu * 100:.3f}% of one core (target under 1%).")

    # 5. Scaling.
    scaling = []
    for files in scale:
        tree = make_tree(files)
        times, _ = measure(tree, steady, args.rounds)
        scaling.append((files, times["sarnelux"] / files * 1e6,
                        times["floor"] / files * 1e6))
        for name, seconds in times.items():
            row(f"scaling, {files} files", name, seconds, times["floor"],
                f"{seconds / files * 1e6:.2f} µs/file")
    flat = [t for f, t, _ in scaling if f >= 10000]
    if flat:
        notes.append(f"scaling: sarnelux time per file from 10,000 files up "
                     f"varies by {(max(flat) / min(flat) - 1) * 100:.0f}% "
                     f"(target within 20%).")

    print_table(rows)
    for note in notes:
        print(note)
    plot(scaling)
    write_results(rows, notes, args)


def print_table(rows):
    print(f"{'job':28} {'command':14} {'median s':>10} {'ratio':>7}  notes")
    for job, name, seconds, ratio, extra in rows:
        r = f"{ratio:.2f}" if ratio is not None else "-"
        print(f"{job:28} {name:14} {seconds:10.4f} {r:>7}  {extra}")
    print(flush=True)


def plot(scaling):
    data = os.path.join(WORK, "scaling.dat")
    with open(data, "w") as f:
        for files, tool, floor in scaling:
            f.write(f"{files} {tool:.4f} {floor:.4f}\n")
    script = f"""
set terminal pngcairo size 800,480
set output '{os.path.join(HERE, "scaling.png")}'
set title 'Time per file, tree job'
set xlabel 'files in the tree'
set ylabel 'microseconds per file'
set logscale x
set yrange [0:*]
set key top right
plot '{data}' using 1:2 with linespoints title 'sarnelux', \\
     '{data}' using 1:3 with linespoints title 'floor'
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)


def write_results(rows, notes, args):
    lines = ["# Benchmark results", "",
             f"Run on {time.strftime('%Y-%m-%d')} with `python3 bench/bench.py"
             f"{' --quick' if args.quick else ''} --rounds {args.rounds}`: "
             f"medians of {args.rounds} rounds, commands alternated round by "
             f"round, each on a fresh copy of its input (page cache warm).",
             "", f"Machine: {machine()}.", "",
             "| job | command | median (s) | ratio to floor | notes |",
             "|---|---|---:|---:|---|"]
    for job, name, seconds, ratio, extra in rows:
        r = f"{ratio:.2f}" if ratio is not None else "-"
        lines.append(f"| {job} | {name} | {seconds:.4f} | {r} | {extra} |")
    lines += [""] + [f"- {note}" for note in notes]
    lines += ["", "![Time per file against tree size](scaling.png)", ""]
    with open(os.path.join(HERE, "results.md"), "w") as f:
        f.write("\n".join(lines))


if __name__ == "__main__":
    main()
