#!/usr/bin/env python3
"""Times Sarnelux against its peers and against the floor, side by side.

    python3 bench/bench.py [--rounds N] [--quick]

Builds the tool (release preset) and the floor (bench/floor.c), makes its
inputs deterministically under bench/work/, and times, alternating the
commands round by round and each on a fresh copy of its input:

1. tree job: 50,000 files of 200 B to 16 KiB, about 40 per folder, 5% with a
   UTF-8 mark, 1% with FF FE; the tool (its gate pipeline, and the
   read-ahead it falls back to where io_uring cannot be had, forced by
   SARNELUX_PIPELINE=0, and four lister threads listing folders ahead of the
   walk, SARNELUX_LISTERS=4, the default only on four cores or more), three
   peers and the floor;
2. steady state: the same tree with no mark left; the tool both ways and
   the floor;
3. cold tree (as root only: the page cache is dropped before each run): the
   tree job from disk; the tool both ways, the floor and a 32-thread reader
   (bench/many_reader.c), each road the tool's gate can take (the ring,
   SARNELUX_OPENERS=0, and 32 threads of its own, SARNELUX_OPENERS=32, which
   the default takes with two listers through FUSE and where the tree
   proves cold), the same reader stripping the marked files in the fewest
   calls on its 32 threads (the job's own floor where every call waits),
   and the pipeline at several depths; --fuse runs
   it once more through a bindfs mount (multithreaded), as slow network
   and cloud file systems serve files;
4. big files of 1 GiB and 4 GiB that begin with the mark: the tool, cp, and
   the floor for one file, reading every byte once and writing it once
   through a 1 MiB buffer (bench/stream_shift.c). The input is the mark
   repeated, so that it still begins with one after every strip: one real
   file (not sparse) serves every round, in place;
5. the closing key wait: CPU time over 2 seconds of waiting;
6. scaling: the tree job at 1,000 to 200,000 files (--million: and
   1,000,000, and the peak memory of a run over a million files of which
   half are marked); the tool and the floor, each on a fresh copy and on
   one copy whose marks are put back between runs; and --list in place,
   cold beside the 32-thread reader and warm;
7. the recovery record: the tool against the same build without its record
   (SARNELUX_RECORD=0) on the tree job and on a 1 GiB file (both also
   against the read-and-write-once floor there), and the durable
   switch (/D) against writing without a record followed by syncfs
   (`sync -f`) on both;
8. .editorconfig: a .NET-style tree of 50,000 files ([*] utf-8, [*.cs] and
   [*.resx] utf-8-bom) with 301 .editorconfig files on three levels, listed
   (--list, which asks for every file) with and without --editorconfig, and
   with the library asked for every file (SARNELUX_EDITORCONFIG_CACHE=0):
   what the switch costs, and what the library costs per file.

Every job reports the median, the slowest-to-fastest spread and the peak
memory of each command. Prints the table, writes bench/results.md and draws
bench/scaling.png. A full run takes about 50 minutes on 2 cores, most of it
in the peers and in copying inputs; --quick takes a few; --jobs picks jobs
by number.
"""
import argparse
import os
import platform
import pty
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
READER = os.path.join(WORK, "many_reader")
SHIFT = os.path.join(WORK, "stream_shift")
DEPTHS = (32, 64, 128, 256, 512)
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
    for program, source in ((FLOOR, "floor.c"), (READER, "many_reader.c"),
                            (SHIFT, "stream_shift.c")):
        sh(f"cc -O2 -o {program} {os.path.join(HERE, source)} -lpthread")


def make_tree(files, marked=0.05):
    """A tree of `files` files, about 40 per folder, nested 8 folders wide,
    a share `marked` of them beginning with the mark."""
    path = os.path.join(WORK, "inputs", f"tree-{files}"
                        + ("" if marked == 0.05 else f"-marked-{marked}"))
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
            if roll < marked:
                body = MARK + body[3:]
            elif roll < marked + 0.01:
                body = b"\xff\xfe" + body[2:]
            with open(os.path.join(folder, f"f{made:06d}.txt"), "wb") as f:
                f.write(body)
            made += 1
    open(os.path.join(path, ".complete"), "w").close()
    return path


def make_dotnet_tree(files):
    """A .NET-style checkout of `files` files, 40 per folder, two levels of
    folders, with .editorconfig files at three levels: the root's (root =
    true, [*] utf-8, [*.cs] utf-8-bom), one in each project folder ([*.resx]
    utf-8-bom) and one in every fifth folder below ([*.txt] latin1). Most
    C# and resource files carry the mark, 5% of the others."""
    path = os.path.join(WORK, "inputs", f"dotnet-{files}")
    if os.path.exists(os.path.join(path, ".complete")):
        return path
    shutil.rmtree(path, ignore_errors=True)
    rng = random.Random(files)
    kinds = [".cs"] * 3 + [".txt", ".json", ".xml", ".md", ".resx", ".js",
                           ".csproj"]
    os.makedirs(path)

    def editorconfig(folder, text):
        with open(os.path.join(folder, ".editorconfig"), "w") as f:
            f.write(text)

    editorconfig(path, "root = true\n\n[*]\ncharset = utf-8\nindent_style = "
                 "space\nindent_size = 4\n\n[*.cs]\ncharset = utf-8-bom\n\n"
                 "[*.{json,yml}]\nindent_size = 2\n\n[Makefile]\n"
                 "indent_style = tab\n")
    made = folder_number = 0
    while made < files:
        project, sub = divmod(folder_number, 25)
        folder = os.path.join(path, f"p{project:02d}", f"s{sub:02d}")
        os.makedirs(folder)
        if sub == 0:
            editorconfig(os.path.dirname(folder),
                         "[*.resx]\ncharset = utf-8-bom\n")
        if sub % 5 == 1:
            editorconfig(folder, "[*.txt]\ncharset = latin1\n")
        for _ in range(min(40, files - made)):
            kind = rng.choice(kinds)
            body = bytes(rng.choice(b"abcdefgh \n") for _ in range(200))
            if rng.random() < (0.6 if kind in (".cs", ".resx") else 0.05):
                body = MARK + body
            with open(os.path.join(folder, f"f{made:06d}{kind}"), "wb") as f:
                f.write(body)
            made += 1
        folder_number += 1
    open(os.path.join(path, ".complete"), "w").close()
    return path


def editorconfig_job(tree_size, rounds, report):
    """What --editorconfig costs a run that asks for every file."""
    tree = make_dotnet_tree(tree_size)
    listed = f"{TOOL} --list {{dir}}"
    commands = {"without": listed,
                "--editorconfig": listed + " --editorconfig",
                "library per file": (listed + " --editorconfig",
                                     {"SARNELUX_EDITORCONFIG_CACHE": "0"})}
    # --list exits 1 here: it finds marks and C# files without theirs.
    timings, cpu = measure_list(tree, commands, rounds)
    report(f".editorconfig, {tree_size} files, --list", timings, "without",
           lambda name, t: f"CPU {statistics.median(cpu[name]):.3f} s")
    mid, low, high = per_round(timings, "--editorconfig", "without")
    cpu_ratio = (statistics.median(cpu["--editorconfig"])
                 / statistics.median(cpu["without"]))
    per_file = ((statistics.median(cpu["library per file"])
                 - statistics.median(cpu["without"])) / tree_size * 1e6)
    return [f".editorconfig: --list --editorconfig {mid:.2f} times --list "
            f"alone, median of per-round ratios ({low:.2f} to {high:.2f}; "
            f"target at most 1.3), {cpu_ratio:.2f} times in CPU time "
            f"(medians); asked of the library for every file, the switch "
            f"costs {per_file:.0f} µs of CPU per file."]


def measure_list(tree, commands, rounds, cold=False):
    """Times commands that change nothing, in place, in a new order each
    round, from a dropped page cache when cold; their exit status is not
    looked at. Returns the timings and each command's CPU seconds (user and
    system) per round, which other work on the machine disturbs less than
    wall time."""
    timings = {name: Timing() for name in commands}
    cpu = {name: [] for name in commands}
    for round_ in range(rounds):
        for name in random.Random(round_).sample(list(commands), len(commands)):
            if cold:
                drop_caches()
            command, env = commands[name], C_LOCALE
            if isinstance(command, tuple):
                command, extra = command
                env = dict(C_LOCALE, **extra)
            load = os.getloadavg()[0]
            started = time.perf_counter()
            process = subprocess.Popen(["bash", "-c", command.format(dir=tree)],
                                       env=env, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL)
            _, _, usage = os.wait4(process.pid, 0)
            timings[name].times.append(time.perf_counter() - started)
            timings[name].loads.append(load)
            timings[name].peak_kib = max(timings[name].peak_kib,
                                         usage.ru_maxrss)
            cpu[name].append(usage.ru_utime + usage.ru_stime)
    return timings, cpu


def make_stripped_tree(files):
    """The same tree after the marks are gone."""
    path = os.path.join(WORK, "inputs", f"tree-{files}-stripped")
    if os.path.exists(os.path.join(path, ".complete")):
        return path
    shutil.rmtree(path, ignore_errors=True)
    sh(f"cp -a '{make_tree(files)}' '{path}' && {TOOL} '{path}' /Q >/dev/null")
    return path


def make_marks_file(mib):
    """A folder holding one file of about `mib` MiB that is the mark
    repeated: stripped, it still begins with the mark."""
    path = os.path.join(WORK, "inputs", f"marks-{mib}", "marks.bin")
    block = MARK * ((1 << 20) // 3)
    if os.path.exists(path) and os.path.getsize(path) >= len(block) * mib // 2:
        return os.path.dirname(path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        for _ in range(mib):
            f.write(block)
    os.sync()
    return os.path.dirname(path)


def make_random_file(mib):
    """A folder holding one file of `mib` MiB of random bytes that begins
    with the mark; writing the mark over its first three bytes makes it fit
    for the next strip."""
    path = os.path.join(WORK, "inputs", f"random-{mib}", "random.bin")
    if os.path.exists(path) and os.path.getsize(path) >= (mib << 20) // 2:
        return os.path.dirname(path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    rng = random.Random(mib)
    with open(path, "wb") as f:
        for _ in range(mib):
            f.write(rng.randbytes(1 << 20))
    mark_again(path)
    return os.path.dirname(path)


def mark_again(path):
    with open(path, "r+b") as f:
        f.write(MARK)
    os.sync()


def drop_caches():
    """Empties the page cache; false where that is not allowed (not root)."""
    try:
        os.sync()
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")
        return True
    except OSError:
        return False


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
        "sarnelux, read-ahead": (f"{TOOL} {{dir}} /Q",
                                 {"SARNELUX_PIPELINE": "0"}),
        "sarnelux, four listers": (f"{TOOL} {{dir}} /Q",
                                   {"SARNELUX_LISTERS": "4"}),
        "find+sed": "find {dir} -type f -exec sed -i '1s/^\\xEF\\xBB\\xBF//' {{}} +",
        "find+dos2unix": "find {dir} -type f -exec dos2unix -q -r {{}} +",
        "grep+sed": "grep -rlZ $'^\\xEF\\xBB\\xBF' {dir} | xargs -0 -r sed -i "
                    "'1s/^\\xEF\\xBB\\xBF//'",
        "floor": f"{FLOOR} {{dir}}",
    }


class Timing:
    """The times and peak memory of one command over the rounds."""

    def __init__(self):
        self.times = []
        self.loads = []
        self.peak_kib = 0

    @property
    def median(self):
        return statistics.median(self.times)

    @property
    def spread(self):
        return max(self.times) / min(self.times)


def measure(template, commands, rounds, copy=True, cold=False, synced=False):
    """Times each command over the rounds, alternating the order from round
    to round; each run on a fresh copy of its input, from a dropped page
    cache when cold, with nothing left to write back when synced."""
    timings = {name: Timing() for name in commands}
    names = list(commands)
    for round_ in range(rounds):
        # A new order each round, the same in every run of the benchmark:
        # no command always follows the same one (on a virtual machine, the
        # memory a command frees is quicker to touch for the next).
        order = random.Random(round_).sample(names, len(names))
        for name in order:
            target = fresh_copy(template) if copy else template
            if cold:
                drop_caches()
            if synced:
                subprocess.run(["sync"], check=True)
            command, env = commands[name], C_LOCALE
            load = os.getloadavg()[0]
            if isinstance(command, tuple):
                command, extra = command
                env = dict(C_LOCALE, **extra)
            # dos2unix exits 1 for the odd-length UTF-16 files it cannot
            # convert; a peer's complaints do not stop the benchmark.
            elapsed, peak = timed(command.format(dir=target), env=env,
                                  must_succeed=not name.startswith("find"))
            timings[name].times.append(elapsed)
            timings[name].loads.append(load)
            timings[name].peak_kib = max(timings[name].peak_kib, peak)
    return timings


def measure_strip_in_place(template, commands, rounds):
    """Times commands that strip, on one copy of the tree made once, its
    pages dropped and read again by one unmeasured round: before every run
    the marked files get their first content back. The page cache then
    holds the copy alone, not the template as well, which a tree of a
    million files (10 GiB) leaves no room for here."""
    marked = []
    for folder, _, names in os.walk(template):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                if f.read(3) == MARK:
                    marked.append(os.path.relpath(path, template))
    target = fresh_copy(template)
    drop_caches()

    def put_marks_back():
        for relative in marked:
            shutil.copyfile(os.path.join(template, relative),
                            os.path.join(target, relative))
        os.sync()

    on_copy = {name: command.format(dir=target)
               for name, command in commands.items()}
    measure_in_place(on_copy, 1, put_marks_back)
    return measure_in_place(on_copy, rounds, put_marks_back)


FUSE = os.path.join(WORK, "fuse")


def measure_through_fuse(template, commands, rounds):
    """The cold job through a FUSE file system, as sshfs, rclone or a cloud
    mount serve files: each command runs on a fresh copy mounted anew with
    bindfs (multithreaded), after the page cache is dropped."""
    timings = {name: Timing() for name in commands}
    os.makedirs(FUSE, exist_ok=True)
    for round_ in range(rounds):
        for name in random.Random(round_).sample(list(commands), len(commands)):
            target = fresh_copy(template)
            sh(f"bindfs --multithreaded '{target}' '{FUSE}'")
            try:
                drop_caches()
                command, env = commands[name], C_LOCALE
                if isinstance(command, tuple):
                    command, extra = command
                    env = dict(C_LOCALE, **extra)
                load = os.getloadavg()[0]
                elapsed, peak = timed(command.format(dir=FUSE), env=env)
            finally:
                sh(f"fusermount -u '{FUSE}' || umount '{FUSE}'")
            timings[name].times.append(elapsed)
            timings[name].loads.append(load)
            timings[name].peak_kib = max(timings[name].peak_kib, peak)
    return timings


def measure_in_place(commands, rounds, before):
    """Times each command over the rounds on one input that every command
    leaves fit for the next, in a new order each round; `before` runs ahead
    of each command, untimed."""
    timings = {name: Timing() for name in commands}
    for round_ in range(rounds):
        for name in random.Random(round_).sample(list(commands), len(commands)):
            before()
            elapsed, peak = timed(commands[name], env=C_LOCALE)
            timings[name].times.append(elapsed)
            timings[name].peak_kib = max(timings[name].peak_kib, peak)
    return timings


def per_round(timings, name, base):
    """The median of the per-round ratios, with the lowest and highest."""
    ratios = [t / b for t, b in zip(timings[name].times, timings[base].times)]
    return statistics.median(ratios), min(ratios), max(ratios)


def to_floor(timings, job):
    """The tool with and without its record against the floor, as notes."""
    notes = []
    for name in ("with record", "without record"):
        mid, low, high = per_round(timings, name, "floor")
        notes.append(f"{job}: sarnelux {name} at {mid:.3f} times the "
                     f"read-and-write-once floor ({low:.2f} to {high:.2f}; "
                     f"target with the record at most 1.1).")
    return notes


def record_job(tree_size, rounds, quick, report):
    """What the recovery record costs: always on, and made durable (/D)."""
    notes = []
    plain = f"SARNELUX_RECORD=0 {TOOL} {{dir}} /Q"
    tree = make_tree(tree_size)
    commands = {"with record": f"{TOOL} {{dir}} /Q",
                "without record": plain,
                "durable (/D)": f"{TOOL} {{dir}} /Q/D",
                "without, then syncfs": plain + " && sync -f {dir}"}
    # Every command starts with nothing left to write back: otherwise a
    # flush pays for the copy just made, or for the command before.
    timings = measure(tree, commands, rounds, synced=True)
    report(f"record, tree of {tree_size} files", timings, "without record")
    mid, low, high = per_round(timings, "with record", "without record")
    notes.append(f"record, tree job: {mid:.3f} times the same build without "
                 f"it, median of per-round ratios ({low:.2f} to {high:.2f}; "
                 f"target at most 1.03).")
    mid, low, high = per_round(timings, "durable (/D)", "without, then syncfs")
    notes.append(f"record, tree job with /D: {mid:.2f} times writing without "
                 f"it followed by syncfs ({low:.2f} to {high:.2f}; target at "
                 f"most 1.2).")
    mib = 64 if quick else 1024
    folder = make_marks_file(mib)
    big = {name: command.format(dir=folder)
           for name, command in commands.items()}
    big["floor"] = f"{SHIFT} {folder}/marks.bin"
    timings = measure_in_place(
        big, rounds, before=lambda: subprocess.run(["sync"], check=True))
    report(f"record, {mib} MiB file", timings, "without record")
    mid, low, high = per_round(timings, "with record", "without record")
    notes.append(f"record, {mib} MiB file: {mid:.3f} times without it "
                 f"({low:.2f} to {high:.2f}).")
    notes += to_floor(timings, f"record, {mib} MiB file")
    mid, low, high = per_round(timings, "durable (/D)", "without, then syncfs")
    notes.append(f"record, {mib} MiB file with /D: {mid:.2f} times writing "
                 f"without it followed by syncfs ({low:.2f} to {high:.2f}; "
                 f"target at most 1.2).")
    # The file above repeats every three bytes, as a file of zeros does: the
    # record's worst case, where no unit differs from its old content and
    # each is compared whole to learn so. Most big files differ at once.
    folder = make_random_file(mib)
    path = os.path.join(folder, "random.bin")
    big = {"with record": f"{TOOL} {folder} /Q",
           "without record": f"SARNELUX_RECORD=0 {TOOL} {folder} /Q",
           "floor": f"{SHIFT} {path}"}
    timings = measure_in_place(big, rounds, before=lambda: mark_again(path))
    report(f"record, {mib} MiB file of random bytes", timings, "floor")
    notes += to_floor(timings, f"record, {mib} MiB file of random bytes")
    return notes


def key_wait_cpu():
    empty = os.path.join(WORK, "inputs", "empty")
    os.makedirs(empty, exist_ok=True)
    # The tool waits only with a terminal for input and output.
    master, terminal = pty.openpty()
    process = subprocess.Popen([TOOL, empty], stdin=terminal, stdout=terminal)
    os.close(terminal)
    time.sleep(2.0)
    os.write(master, b"k\n")
    _, _, usage = os.wait4(process.pid, 0)
    os.close(master)
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
    parser.add_argument("--jobs", default="12345678",
                        help="which jobs to run, by number (default all)")
    parser.add_argument("--no-peers", action="store_true",
                        help="the tree job without find, dos2unix and sed")
    parser.add_argument("--cold-steady", action="store_true",
                        help="the cold job on the tree with no mark left, "
                             "run in place: no copy per run, for a machine "
                             "whose disk is busy with other work")
    parser.add_argument("--fuse", action="store_true",
                        help="the cold job also through a bindfs mount "
                             "(root, bindfs and FUSE needed)")
    parser.add_argument("--million", action="store_true",
                        help="the scaling job up to 1,000,000 files")
    args = parser.parse_args()
    prepare()
    tree_size = 5000 if args.quick else 50000
    scale = [1000, 10000] if args.quick else [1000, 10000, 100000, 200000]
    if args.million:
        scale.append(1000000)
    rows, notes = [], []

    def report(job, timings, base, extra=None):
        """Adds a row per command, with its ratio to the base command's
        median (none when base is None)."""
        for name, timing in timings.items():
            ratio = timing.median / timings[base].median if base else None
            load = (f"load {min(timing.loads):.1f}-{max(timing.loads):.1f}"
                    if timing.loads else "")
            rows.append((job, name, timing.median, ratio, timing.spread,
                         timing.peak_kib / 1024,
                         "; ".join(filter(None, (
                             extra(name, timing) if extra else "", load)))))

    def ratio(timings, name, base):
        return timings[name].median / timings[base].median

    commands = tree_commands()
    if args.no_peers:
        for peer in ("find+sed", "find+dos2unix", "grep+sed"):
            del commands[peer]
    sarnelux_and_floor = {"sarnelux": commands["sarnelux"],
                          "floor": commands["floor"]}
    both_ways_and_floor = dict(sarnelux_and_floor, **{
        "sarnelux, read-ahead": commands["sarnelux, read-ahead"],
        "sarnelux, four listers":
            commands["sarnelux, four listers"]})

    if "1" in args.jobs:
        tree = make_tree(tree_size)
        timings = measure(tree, commands, args.rounds)
        report(f"tree, {tree_size} files", timings, "floor")
        notes.append(f"tree job: sarnelux at "
                     f"{ratio(timings, 'sarnelux', 'floor'):.2f} times the "
                     f"floor (target at most 0.95), "
                     f"{ratio(timings, 'sarnelux, read-ahead', 'floor'):.2f}"
                     f" with the read-ahead.")
        print_table(rows)

    # The tool at each pipeline depth, for the steady and cold sweeps.
    depth_sweep = {f"pipeline {depth}": (commands["sarnelux"],
                                         {"SARNELUX_PIPELINE": str(depth)})
                   for depth in DEPTHS}

    if "2" in args.jobs:
        clean = make_stripped_tree(tree_size)
        timings = measure(clean, both_ways_and_floor, args.rounds, copy=False)
        report(f"steady state, {tree_size} files", timings, "floor")
        notes.append(f"steady state: sarnelux at "
                     f"{ratio(timings, 'sarnelux', 'floor'):.2f} times the "
                     f"floor (target at most 0.95), "
                     f"{ratio(timings, 'sarnelux, read-ahead', 'floor'):.2f}"
                     f" with the read-ahead.")
        timings = measure(clean, depth_sweep, args.rounds, copy=False)
        report(f"steady state, {tree_size} files, by depth", timings,
               "pipeline 128")

    if "3" in args.jobs and not drop_caches():
        notes.append("cold tree: skipped, the page cache can be dropped "
                     "only as root.")
    elif "3" in args.jobs:
        tree = (make_stripped_tree(tree_size) if args.cold_steady
                else make_tree(tree_size))
        copy = not args.cold_steady
        # Through FUSE the default opens on threads of its own, on the
        # disk on the ring until the walk keeps waiting for it: each road
        # is also timed alone.
        cold = dict(both_ways_and_floor,
                    **{"sarnelux, ring": (f"{TOOL} {{dir}} /Q",
                                          {"SARNELUX_OPENERS": "0"}),
                       "sarnelux, 32 openers": (f"{TOOL} {{dir}} /Q",
                                                {"SARNELUX_OPENERS": "32"}),
                       "32-thread reader": f"{READER} {{dir}}",
                       "32-thread stripper": f"{READER} --strip {{dir}}"})
        timings = measure(tree, cold, args.rounds, copy=copy, cold=True)
        job = (f"cold tree, {tree_size} files"
               + (", no mark left" if args.cold_steady else ""))
        report(job, timings, "32-thread reader")
        notes.append(f"cold tree: sarnelux at "
                     f"{ratio(timings, 'sarnelux', '32-thread reader'):.2f} "
                     f"times the 32-thread reader (target at most 1.0), "
                     f"{ratio(timings, 'sarnelux, read-ahead', '32-thread reader'):.2f}"
                     f" with the read-ahead, and "
                     f"{ratio(timings, 'sarnelux', 'floor'):.2f} times the "
                     f"floor.")
        if args.fuse and shutil.which("bindfs"):
            timings = measure_through_fuse(tree, cold, args.rounds)
            report(f"{job}, through bindfs", timings, "32-thread reader")
            notes.append(
                f"cold tree through bindfs: sarnelux at "
                f"{ratio(timings, 'sarnelux', '32-thread reader'):.2f} times "
                f"the 32-thread reader (target at most 1.1), "
                f"{ratio(timings, 'sarnelux, read-ahead', '32-thread reader'):.2f}"
                f" with the read-ahead; the 32-thread stripper, the least a "
                f"strip can ask of the daemon, at "
                f"{ratio(timings, '32-thread stripper', '32-thread reader'):.2f}"
                f" times the reader, and sarnelux at "
                f"{ratio(timings, 'sarnelux', '32-thread stripper'):.2f} "
                f"times the stripper.")
        elif args.fuse:
            notes.append("cold tree through bindfs: skipped, bindfs is not "
                         "installed.")
        timings = measure(tree, depth_sweep, max(3, args.rounds - 2), copy=copy,
                          cold=True)
        report(f"{job}, by depth", timings, "pipeline 128")
        best = min(DEPTHS, key=lambda d: timings[f"pipeline {d}"].median)
        notes.append(f"cold tree by pipeline depth (files in flight): "
                     f"fastest at {best}.")
        print_table(rows)

    if "4" in args.jobs:
        for mib in ((64,) if args.quick else (1024, 4096)):
            folder = make_marks_file(mib)
            file = f"{folder}/marks.bin"
            copy = os.path.join(WORK, "copy.bin")
            big = {"sarnelux": commands["sarnelux"].format(dir=folder),
                   "floor": f"{SHIFT} {file}",
                   "cp": f"cp {file} {copy}"}

            def remove_copy(path=copy):
                if os.path.exists(path):
                    os.remove(path)

            timings = measure_in_place(big, args.rounds, before=remove_copy)
            job = f"{mib} MiB file"
            report(job, timings, "floor")
            tool = timings["sarnelux"]
            # Round by round: both ran on the same machine state.
            rounds = [t / f for t, f in zip(tool.times,
                                            timings["floor"].times)]
            notes.append(
                f"{job}: sarnelux at {statistics.median(rounds):.2f} times "
                f"the floor in the median of per-round ratios ("
                f"{min(rounds):.2f} to {max(rounds):.2f}; target at most "
                f"1.1) and {ratio(timings, 'sarnelux', 'cp'):.2f} times cp "
                f"in medians; spread {tool.spread:.2f} against the floor's "
                f"{timings['floor'].spread:.2f} (target at most 1.5); peak "
                f"{tool.peak_kib / 1024:.0f} MiB (target under 20 MiB; the "
                f"reading never falls below what a child of this script "
                f"starts with, about 15 MiB).")
            print_table(rows)

    if "5" in args.jobs:
        waits = [key_wait_cpu() for _ in range(3)]
        cpu = statistics.median(waits)
        rows.append(("key wait, 2 s", "sarnelux", cpu, None, None, None,
                     f"{cpu * 100:.3f}% of one core"))
        notes.append(f"key wait: {cpu * 100:.3f}% of one core "
                     f"(target under 1%).")

    scaling, scaling_peaks, listed, stripped = [], [], [], []
    if "6" in args.jobs:
        for files in scale:
            tree = make_tree(files)
            timings = measure(tree, sarnelux_and_floor, args.rounds)
            scaling.append((files, timings["sarnelux"].median / files * 1e6,
                            timings["floor"].median / files * 1e6))
            scaling_peaks.append((files, timings["sarnelux"].peak_kib))
            per_file = (lambda name, t, n=files:
                        f"{t.median / n * 1e6:.2f} µs/file")
            report(f"scaling, {files} files", timings, "floor", per_file)
            in_place = measure_strip_in_place(tree, sarnelux_and_floor,
                                              args.rounds)
            report(f"scaling, {files} files, strip in place", in_place,
                   "floor", per_file)
            # The walk and the gate alone, in place: from a dropped cache
            # beside the reader, and warm, the tree read once before.
            listing = {"sarnelux --list": f"{TOOL} --list --no-wait {{dir}}"}
            cold_lists, _ = measure_list(tree, dict(listing, **{
                "32-thread reader": f"{READER} {{dir}}"}), args.rounds,
                cold=True)
            report(f"scaling, {files} files, cold list", cold_lists,
                   "32-thread reader", per_file)
            measure_list(tree, listing, 1)
            warm_lists, _ = measure_list(tree, listing, args.rounds)
            report(f"scaling, {files} files, warm list", warm_lists, None,
                   per_file)
            stripped.append(in_place["sarnelux"].median / files)
            listed.append((files, warm_lists["sarnelux --list"].median / files,
                           cold_lists["sarnelux --list"].median / files,
                           cold_lists["32-thread reader"].median / files))
        peaks = {f: timings_peak for f, timings_peak in scaling_peaks}
        if peaks:
            notes.append("scaling: peak memory " + ", ".join(
                f"{peak / 1024:.1f} MiB at {f:,} files"
                for f, peak in sorted(peaks.items()))
                + " (target under 64 MiB at 1,000,000 files).")
        if args.million:
            # What a run keeps per marked file, with half of a million marked.
            half = make_tree(1000000, marked=0.5)
            timings = measure(half, {"sarnelux": commands["sarnelux"]}, 1)
            notes.append(f"1,000,000 files, half of them marked: peak "
                         f"{timings['sarnelux'].peak_kib / 1024:.1f} MiB "
                         f"(target under 64 MiB), "
                         f"{timings['sarnelux'].median:.1f} s.")
        flat = [t for f, t, _ in scaling if f >= 10000]
        if flat:
            notes.append(f"scaling: sarnelux time per file from 10,000 files "
                         f"up varies by {(max(flat) / min(flat) - 1) * 100:.0f}%"
                         f" (target within 20%).")
        in_place = [t for (f, *_), t in zip(listed, stripped) if f >= 10000]
        if in_place:
            notes.append(
                "scaling, strip in place (one copy, marks put back between "
                "runs): sarnelux time per file from 10,000 files up varies by "
                f"{(max(in_place) / min(in_place) - 1) * 100:.0f}% "
                "(target within 20%).")
        warm_per_file = [w for f, w, _, _ in listed if f >= 10000]
        cold_per_file = [c for f, _, c, _ in listed if f >= 10000]
        if warm_per_file:
            notes.append(
                "scaling, listing in place from 10,000 files up: time per "
                "file varies by "
                f"{(max(warm_per_file) / min(warm_per_file) - 1) * 100:.0f}% "
                "warm and "
                f"{(max(cold_per_file) / min(cold_per_file) - 1) * 100:.0f}% "
                "cold; "
                "cold, sarnelux at " + ", ".join(
                    f"{c / r:.2f}" for f, _, c, r in listed if f >= 10000)
                + " times the 32-thread reader.")

    if "7" in args.jobs:
        notes += record_job(tree_size, args.rounds, args.quick, report)

    if "8" in args.jobs:
        notes += editorconfig_job(tree_size, args.rounds, report)

    print_table(rows)
    for note in notes:
        print(note)
    if scaling:
        plot(scaling)
    write_results(rows, notes, args)


def cells(row):
    job, name, seconds, ratio, spread, peak, extra = row
    return (job, name, f"{seconds:.4f}",
            f"{ratio:.2f}" if ratio is not None else "-",
            f"{spread:.2f}" if spread is not None else "-",
            f"{peak:.0f}" if peak is not None else "-", extra)


def print_table(rows):
    print(f"{'job':34} {'command':20} {'median s':>10} {'ratio':>7} "
          f"{'spread':>7} {'peak MiB':>9}  notes")
    for row in rows:
        job, name, seconds, ratio, spread, peak, extra = cells(row)
        print(f"{job:34} {name:20} {seconds:>10} {ratio:>7} {spread:>7} "
              f"{peak:>9}  {extra}")
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
             f"round, each on a fresh copy of its input (page cache warm, "
             f"but for the cold tree). Ratios are to the floor, but in the "
             f"cold tree (to the 32-thread reader, and by depth to the "
             f"pipeline at 128); spread is the "
             f"slowest round over the fastest; peak is the largest resident "
             f"memory; load is the range of the one-minute load average "
             f"as each run started (other work on the machine).",
             "", f"Machine: {machine()}.", "",
             "| job | command | median (s) | ratio | spread | peak (MiB) "
             "| notes |",
             "|---|---|---:|---:|---:|---:|---|"]
    for row in rows:
        lines.append("| " + " | ".join(cells(row)) + " |")
    lines += [""] + [f"- {note}" for note in notes]
    lines += ["", "![Time per file against tree size](scaling.png)", ""]
    with open(os.path.join(HERE, "results.md"), "w") as f:
        f.write("\n".join(lines))


if __name__ == "__main__":
    main()
