#!/usr/bin/env python3
"""End-to-end tests of the Windows program under Wine.

Usage: wine_suite.py SARNELUX_EXE WINE_HELPER_EXE

Runs the .exe on temporary folder trees and compares its whole output, byte
for byte, and every file afterwards. Wine run as root passes over read-only
files, so when started as root the whole suite runs as an unprivileged user
of its own. One Wine prefix serves the whole run: $SARNELUX_WINEPREFIX, or
one made in a temporary folder.
"""
import glob
import os
import pwd
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

MARK = b"\xef\xbb\xbf"
BANNER = b"Sarnelux\r\nCopyright (c) 2026 the Sarnelux project\r\n\r\n"
USAGE = (b'Usage: Sarnelux.exe "path" {/Q}\r\n'
         b"you need to specify the path of the folder to examine\r\n"
         b"add /Q to quit without keypress\r\n"
         b"Press a key to continue...\r\n")
PROMPT = b"Press a key to continue...\r\n"

REMOVED = b"successfully removed BOM of file "
TEST_USER = "sarnelux-wine"
HIDDEN_SYSTEM = 0x2 | 0x4
READ_ONLY = 0x1
SPARSE = 0x200


SKIPPED = 77  # ctest's SKIP_RETURN_CODE for this test


def is_64bit(exe):
    """True for an x86_64 PE file, false for an i386 one."""
    with open(exe, "rb") as f:
        head = f.read(4096)
    pe = int.from_bytes(head[0x3C:0x40], "little")
    return head[pe + 4:pe + 6] == b"\x64\x86"


def runs(loader):
    try:
        return subprocess.run([loader, "--version"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL,
                              timeout=60).returncode == 0
    except OSError:
        return False


def skip(reason):
    print("skipped: " + reason)
    sys.exit(SKIPPED)


def find_wine(exe):
    """The Wine loader that can run exe here. Only the 32-bit loader, from
    wine32, runs a 32-bit program, and only on a kernel that runs 32-bit
    programs; wine64's loader runs 64-bit ones anywhere. The `wine` on the
    path answers --version either way, so it proves nothing."""
    if not is_64bit(exe):
        loader = "/usr/lib/wine/wine"
        if not os.access(loader, os.X_OK):
            skip("no 32-bit Wine loader (/usr/lib/wine/wine, from "
                 "wine32:i386), so this 32-bit program cannot run here")
        if not runs(loader):
            skip("this kernel cannot run 32-bit programs (no IA32 "
                 "emulation), so Wine cannot run this 32-bit program here")
        return loader
    for candidate in ("/usr/lib/wine/wine64", "/usr/lib/wine/wine"):
        if os.access(candidate, os.X_OK) and runs(candidate):
            return candidate
    skip("no Wine loader that runs 64-bit programs (install wine64)")


class Wine:
    """Runs Windows programs, as an unprivileged user when we are root."""

    def __init__(self, exe, helper):
        self.wine = find_wine(exe)
        self.as_user = os.geteuid() == 0
        if self.as_user:
            try:
                pwd.getpwnam(TEST_USER)
            except KeyError:
                subprocess.run(["useradd", "-m", TEST_USER], check=True)
            self.user = pwd.getpwnam(TEST_USER)
            self.home = self.user.pw_dir
        else:
            self.home = os.path.expanduser("~")
        self.work = tempfile.mkdtemp(prefix="sarnelux-wine-")
        self.own(self.work)
        self.prefix = os.environ.get("SARNELUX_WINEPREFIX") or os.path.join(
            self.work, "prefix")
        self.exe = self.copy_in(exe)
        self.helper = self.copy_in(helper)
        self.env = {"HOME": self.home, "WINEPREFIX": self.prefix,
                    "WINEDEBUG": "-all", "TERM": "xterm", "LANG": "C.UTF-8",
                    "PATH": "/usr/bin:/bin"}
        if not os.path.exists(os.path.join(self.prefix, "system.reg")):
            os.makedirs(self.prefix, exist_ok=True)
            self.own(self.prefix)
            self.command([self.wine, "wineboot", "-i"], timeout=300)
        # Keep one wineserver for the whole run: each start costs seconds.
        subprocess.Popen(self.wrap(["wineserver", "-p"]),
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # A loader that answers may still not start a program of this kind
        # (a prefix made before wine32 came, a library it lacks).
        if not is_64bit(exe) and not self.helper_call(
                "getattr", "C:\\").strip():
            self.close()
            skip("Wine could not start a 32-bit program here")

    def close(self):
        subprocess.run(self.wrap(["wineserver", "-k"]),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.work, ignore_errors=True)

    def own(self, path):
        if not self.as_user:
            return
        for root, dirs, files in os.walk(path):
            for name in [root] + [os.path.join(root, n) for n in dirs + files]:
                os.lchown(name, self.user.pw_uid, self.user.pw_gid)

    def copy_in(self, path):
        target = os.path.join(self.work, os.path.basename(path))
        shutil.copy(path, target)
        self.own(target)
        return target

    def wrap(self, argv):
        env = ["env"] + [f"{k}={v}" for k, v in self.env.items()]
        if self.as_user:
            return ["runuser", "-u", TEST_USER, "--"] + env + argv
        return env + argv

    def command(self, argv, timeout=120):
        done = subprocess.run(self.wrap(argv), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=timeout)
        return done.stdout

    def helper_call(self, *args):
        return self.command([self.wine, self.helper] + list(args))

    def run_tool(self, arguments, stdin="-", hold="-"):
        """Runs the tool with the given command-line tail; returns (output,
        exit code). Standard output goes to a file, as a redirect would."""
        out = os.path.join(self.work, "out.txt")
        line = f'"{win(self.exe)}" {arguments}'.rstrip()
        # The helper creates the output file before it starts the tool: where
        # there is none, Wine never got as far as the helper (it happens, now
        # and then, just after a file system is mounted), the tool did not
        # run, and trying again is safe. The last run's output must not pass
        # for this one's.
        for attempt in range(3):
            if os.path.exists(out):
                os.remove(out)
            code = self.helper_call("run", win(out), win(stdin)
                                    if stdin != "-" else "-",
                                    win(hold) if hold != "-" else "-", line)
            if os.path.exists(out):
                break
            time.sleep(1)
        with open(out, "rb") as f:
            output = f.read()
        return output, code.strip()


def win(path):
    """The Windows name Wine gives a Unix path."""
    return "Z:" + path.replace("/", "\\")


WINE = None


class Tree:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="tree-", dir=WINE.work)

    def write(self, relative, data):
        path = os.path.join(self.root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def read(self, relative):
        with open(os.path.join(self.root, relative), "rb") as f:
            return f.read()

    def snapshot(self):
        files = {}
        for root, _, names in os.walk(self.root):
            for name in names:
                path = os.path.join(root, name)
                with open(path, "rb") as f:
                    files[os.path.relpath(path, self.root)] = f.read()
        return files

    def ready(self):
        WINE.own(self.root)

    def listing_order(self):
        """Every file's Windows path in the order FindFirstFileA lists it."""
        text = WINE.helper_call("walk", win(self.root))
        return [line for line in text.split(b"\n") if line.strip()]


def expected_report(paths, before, root):
    lines, removed = b"", 0
    for path in paths:
        path = path.rstrip(b"\r")
        relative = path[len(win(root).encode()) + 1:].replace(b"\\", b"/")
        data = before[relative.decode()]
        if data.startswith(MARK):
            lines += REMOVED + path + b"\r\n"
            removed += 1
        elif data[:2] in (b"\xff\xfe", b"\xfe\xff") or data[:4] == b"\0\0\xfe\xff":
            lines += b"no valid utf-8 BOM in file " + path + b"\r\n"
    return lines, removed


def summary(removed, argument=b""):
    if removed:
        return b"number of removed BOM headers: %d\r\nready!\r\n" % removed
    return b"no BOM headers found in " + argument + b"\r\nready!\r\n"


def one_removed(path):
    """The whole output of a run that stripped just this file."""
    return BANNER + REMOVED + win(path).encode() + b"\r\n" + summary(1)


def told_of(output, path, rest):
    """True when the output is the banner, one diagnostic line for path (the
    reason is the system's own words, which differ between Windows and
    Wine), and then rest."""
    line = re.escape(b"sarnelux: " + path.encode() + b": ") + rb"[^\r\n]+\r\n"
    return re.fullmatch(re.escape(BANNER) + line + re.escape(rest),
                        output) is not None


def stripped(files):
    return {k: v[3:] if v.startswith(MARK) else v for k, v in files.items()}


def big_marked(mebibytes):
    """A marked file's content in which no byte equals the one three places
    on, so that any byte out of place shows."""
    return MARK + bytes(range(251)) * ((mebibytes << 20) // 251)


def records_left():
    """The records in the tool's state folder (%LOCALAPPDATA%\\Sarnelux)
    under the suite's Wine prefix."""
    return glob.glob(os.path.join(WINE.prefix, "drive_c", "users", "*",
                                  "AppData", "Local", "Sarnelux", "*"))


def mid_rewrite(now, original):
    """True when the file holds its new content up to some offset and its
    old content from there: every byte still there."""
    if len(now) != len(original):
        return False
    new = original[3:]
    low, high = 0, len(new)  # the longest prefix of now that is new
    while low < high:
        middle = (low + high + 1) // 2
        if now[:middle] == new[:middle]:
            low = middle
        else:
            high = middle - 1
    return now[low:] == original[low:]


class WindowsProgram(unittest.TestCase):
    def test_mixed_tree_is_walked_and_reported_in_listing_order(self):
        # With /D the small files wait in a batch while a big file is
        # rewritten on its own and other lines are held back: the output
        # and the files are still those of a plain run, and no record stays.
        # Wine lists a folder in name order, so the big file, the read-only
        # one and the one with another mark come between small ones.
        for switches in ("/Q", "/Q/D"):
            tree = Tree()
            tree.write("a.txt", MARK + b"alpha\r\n")
            tree.write("plain.txt", b"plain")
            tree.write("empty", b"")
            tree.write("two-marks", MARK + MARK + b"x")
            for n in range(8):
                tree.write(f"note{n}.txt", MARK + b"note %d\r\n" % n)
            tree.write("note3.csv", big_marked(40))  # regions even with /D
            locked = tree.write("note5.locked", MARK + b"keep")
            tree.write("note6.wide", b"\xff\xfeh\0")
            tree.write("sub/deeper/data.csv", MARK + b"a,b\r\n")
            tree.write("sub/big.bin", MARK + bytes(range(256)) * 2000)
            tree.write("sub/short", b"\xef\xbb")
            tree.ready()
            WINE.helper_call("setattr", win(locked), "%x" % READ_ONLY)
            before = tree.snapshot()
            listing = [path for path in tree.listing_order()
                       if path.rstrip(b"\r") != win(locked).encode()]
            report, removed = expected_report(listing, before, tree.root)
            self.assertEqual(removed, 13)
            output, code = WINE.run_tool(win(tree.root) + " " + switches)
            self.assertEqual(code, b"0", switches)
            self.assertEqual(output, BANNER + report + summary(removed),
                             switches)
            expected = stripped(before)
            expected["note5.locked"] = before["note5.locked"]
            now = tree.snapshot()
            self.assertEqual(sorted(now), sorted(expected), switches)
            self.assertEqual([name for name in now if now[name] !=
                              expected[name]], [], switches)
            self.assertEqual(records_left(), [], switches)

    def test_posix_spelling_takes_files_with_the_posix_statuses(self):
        # The configuration a pre-commit hook uses on POSIX works unchanged
        # here: files as operands, and a status that fails the commit.
        tree = Tree()
        a = tree.write("with space/a.cs", MARK + b"a")
        b = tree.write("b.cs", MARK + b"b")
        c = tree.write("c.cs", b"c")
        locked = tree.write("locked.cs", MARK + b"l")
        tree.ready()
        WINE.helper_call("setattr", win(locked), "%x" % READ_ONLY)
        before = tree.snapshot()
        found = b"found BOM in file "
        output, code = WINE.run_tool(
            f'--list --no-wait -- "{win(a)}" {win(c)}')
        self.assertEqual(output, BANNER + found + win(a).encode() +
                         b"\r\nnumber of found BOM headers: 1\r\nready!\r\n")
        self.assertEqual(code, b"1")
        output, code = WINE.run_tool(f"-lW {win(c)}")
        self.assertEqual(output, BANNER + summary(0, win(c).encode()))
        self.assertEqual(code, b"0")
        output, code = WINE.run_tool(f"-lZ {win(c)} \"{win(a)}\"")
        self.assertEqual(output, win(a).encode() + b"\0")
        self.assertEqual(code, b"1")
        self.assertEqual(tree.snapshot(), before)
        output, code = WINE.run_tool(f'--no-wait -- "{win(a)}" {win(b)}')
        self.assertEqual(output, BANNER + REMOVED + win(a).encode() +
                         b"\r\n" + REMOVED + win(b).encode() + b"\r\n" +
                         summary(2))
        self.assertEqual(code, b"0")
        output, code = WINE.run_tool(f"-W -- {win(locked)} {win(c)}")
        self.assertTrue(told_of(output, win(locked),
                                b"no BOM headers found in 2 paths\r\n"
                                b"ready!\r\n"), output)
        self.assertEqual(code, b"1")
        output, code = WINE.run_tool(f"-q -- {win(tree.root)}\\missing")
        self.assertRegex(output, rb"^sarnelux: [^\r\n]+missing: [^\r\n]+\r\n$")
        self.assertEqual(code, b"2")
        self.assertEqual(tree.snapshot(), stripped(before) |
                         {"locked.cs": MARK + b"l"})

    def test_hidden_system_file_is_stripped_and_keeps_its_attributes(self):
        tree = Tree()
        path = tree.write("secret.ini", MARK + b"[s]\r\n")
        tree.ready()
        WINE.helper_call("setattr", win(path), "%x" % HIDDEN_SYSTEM)
        output, code = WINE.run_tool(win(tree.root) + " /Q")
        self.assertEqual(output, one_removed(path))
        self.assertEqual(tree.read("secret.ini"), b"[s]\r\n")
        attributes = int(WINE.helper_call("getattr", win(path)), 16)
        self.assertEqual(attributes & HIDDEN_SYSTEM, HIDDEN_SYSTEM)

    def test_read_only_file_is_passed_over_without_a_word(self):
        tree = Tree()
        path = tree.write("locked.txt", MARK + b"keep")
        tree.ready()
        WINE.helper_call("setattr", win(path), "%x" % READ_ONLY)
        output, code = WINE.run_tool(win(tree.root) + " /Q")
        self.assertEqual(output, BANNER + summary(0, win(tree.root).encode()))
        self.assertEqual(tree.read("locked.txt"), MARK + b"keep")
        self.assertEqual(code, b"0")

    def test_list_only_reports_read_only_files_and_changes_nothing(self):
        tree = Tree()
        path = tree.write("locked.txt", MARK + b"keep")
        tree.ready()
        WINE.helper_call("setattr", win(path), "%x" % READ_ONLY)
        output, code = WINE.run_tool(win(tree.root) + " /Q/L")
        self.assertEqual(output, BANNER + b"found BOM in file " +
                         win(path).encode() + b"\r\n"
                         b"number of found BOM headers: 1\r\nready!\r\n")
        self.assertEqual(tree.read("locked.txt"), MARK + b"keep")
        self.assertEqual(code, b"1")

    def test_file_held_open_for_writing_is_passed_over(self):
        tree = Tree()
        held = tree.write("held.txt", MARK + b"busy")
        free = tree.write("free.txt", MARK + b"free")
        tree.ready()
        output, code = WINE.run_tool(win(tree.root) + " /Q", hold=held)
        self.assertEqual(output, one_removed(free))
        self.assertEqual(code, b"0")
        self.assertEqual(tree.read("held.txt"), MARK + b"busy")
        self.assertEqual(tree.read("free.txt"), b"free")

    def test_list_only_tells_what_it_could_not_examine_with_status_2(self):
        tree = Tree()
        held = tree.write("held.txt", MARK + b"busy")
        tree.ready()
        output, code = WINE.run_tool(win(tree.root) + " /L/Q", hold=held)
        self.assertTrue(told_of(output, win(held),
                                summary(0, win(tree.root).encode())), output)
        self.assertEqual(code, b"2")
        missing = win(os.path.join(tree.root, "missing"))
        output, code = WINE.run_tool(missing + " /q/l")
        self.assertTrue(told_of(output, missing, summary(0, missing.encode())),
                        output)
        self.assertEqual(code, b"2")

    def test_help_names_every_switch_and_neither_walks_nor_waits(self):
        tree = Tree()
        tree.write("a.txt", MARK + b"a")
        tree.ready()
        for arguments in ("/?", win(tree.root) + " /?"):
            output, code = WINE.run_tool(arguments)
            self.assertEqual(code, b"0")
            self.assertTrue(output.startswith(
                b'Usage: Sarnelux.exe "path" {/Q} {/L} {/D}\r\n'), output)
            for switch in (b"/Q", b"/L", b"/?"):
                self.assertIn(b"\r\n  " + switch + b"  ", output)
            self.assertNotIn(b"Press a key", output)
            self.assertEqual(output.count(b"\n"), output.count(b"\r\n"))
        self.assertEqual(tree.read("a.txt"), MARK + b"a")

    def test_editorconfig_switch_is_refused_and_changes_nothing(self):
        # No EditorConfig library is built for Windows: rather than strip
        # marks a project may declare, the program says so.
        tree = Tree()
        tree.write(".editorconfig", b"[*.cs]\ncharset = utf-8-bom\n")
        tree.write("a.cs", MARK + b"a")
        tree.ready()
        output, code = WINE.run_tool(win(tree.root) + " /Q/E")
        self.assertEqual(output, BANNER + (
            b"sarnelux: this program cannot read .editorconfig files: it "
            b"was built without the EditorConfig library\r\n"))
        self.assertEqual(code, b"2")
        self.assertEqual(tree.read("a.cs"), MARK + b"a")

    def test_name_outside_the_legacy_code_page_is_stripped_and_shown(self):
        tree = Tree()
        path = tree.write("日本語.txt", MARK + "テキスト".encode())
        tree.ready()
        output, _ = WINE.run_tool(win(tree.root) + " /Q")
        self.assertEqual(output, one_removed(path))
        self.assertEqual(tree.read("日本語.txt"), "テキスト".encode())

    def test_folder_path_over_260_characters_is_not_listed(self):
        tree = Tree()
        base = win(tree.root) + "\\"
        near = "n" * (250 - len(base))      # folder path 251 characters
        far = "f" * (262 - len(base))       # folder path 263 characters
        tree.write(near + "/x.txt", MARK + b"x")
        tree.write(far + "/y.txt", MARK + b"y")
        tree.ready()
        output, _ = WINE.run_tool(win(tree.root) + " /Q")
        self.assertEqual(output, BANNER + REMOVED +
                         (base + near + "\\x.txt").encode() + b"\r\n" +
                         summary(1))
        self.assertEqual(tree.read(far + "/y.txt"), MARK + b"y")

    def test_link_cycle_is_walked_once_and_strips_one_mark(self):
        tree = Tree()
        path = tree.write("a/twice", MARK + MARK + b"x")
        os.symlink("..", os.path.join(tree.root, "a", "up"))
        os.symlink(".", os.path.join(tree.root, "a", "here"))
        tree.ready()
        output, code = WINE.run_tool(win(tree.root) + " /Q")
        self.assertEqual(code, b"0")
        self.assertEqual(output, one_removed(path))
        self.assertEqual(tree.read("a/twice"), MARK + b"x")

    def test_killed_mid_rewrite_the_next_run_repairs_the_file(self):
        tree = Tree()
        original = big_marked(256)
        path = tree.write("export.csv", original)
        tree.ready()
        inode = os.stat(path).st_ino
        tool = subprocess.Popen(
            WINE.wrap([WINE.wine, WINE.exe, win(tree.root), "/Q"]),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        deadline = time.monotonic() + 60
        while tool.poll() is None and time.monotonic() < deadline:
            with open(path, "rb") as f:
                if f.read(3) != MARK:  # the first block is written
                    break
            time.sleep(0.001)
        os.killpg(tool.pid, signal.SIGKILL)  # as taskkill /F would
        tool.wait()
        now = tree.read("export.csv")
        self.assertNotEqual(len(now), len(original) - 3, "killed too late")
        self.assertTrue(mid_rewrite(now, original))
        # The next run finishes the rewrite before anything else, in place.
        output, code = WINE.run_tool(win(tree.root) + " /Q")
        self.assertEqual(code, b"0")
        self.assertEqual(output, BANNER + b"repaired interrupted rewrite of "
                         b"file " + win(path).encode() + b"\r\n" +
                         summary(0, win(tree.root).encode()))
        self.assertTrue(tree.read("export.csv") == original[3:])
        self.assertEqual(os.stat(path).st_ino, inode)
        self.assertEqual(records_left(), [])

    def test_a_record_another_user_could_have_written_is_never_read(self):
        # Each row leaves an unreadable record where a trusted one would be
        # told of as "not understood, kept": a run that lists tells instead
        # why it reads nothing there, with status 2; a run that strips says
        # nothing, as it always does; neither reads, changes or removes it.
        WINE.run_tool(win(Tree().root) + " /Q")  # makes the state folder
        state = glob.glob(os.path.join(WINE.prefix, "drive_c", "users", "*",
                                       "AppData", "Local", "Sarnelux"))[0]
        shown = "C:\\users\\%s\\AppData\\Local\\Sarnelux" % (
            state.split(os.sep)[-4])
        record = os.path.join(state, "rewrite-1.record")
        rows = [("trusted", lambda: None, None),
                ("folder open to Everyone",
                 lambda: WINE.helper_call("grant", win(state)),
                 shown + ": state folder may be written by other users"),
                ("record open to Everyone",
                 lambda: WINE.helper_call("grant", win(record)),
                 shown + "\\rewrite-1.record: record may be written by "
                 "other users"),
                ("record with another link",
                 lambda: os.link(record, os.path.join(state, "link")),
                 shown + "\\rewrite-1.record: record has another link")]
        if WINE.as_user:  # only root can give them to another user
            rows += [("folder of another user",
                      lambda: os.chown(state, 0, 0),
                      shown + ": state folder belongs to another user"),
                     ("record of another user",
                      lambda: os.chown(record, 0, 0),
                      shown + "\\rewrite-1.record: record belongs to "
                      "another user")]
        for name, fault, told in rows:
            tree = Tree()
            path = tree.write("a.txt", MARK + b"a")
            os.makedirs(state, exist_ok=True)
            with open(record, "wb") as f:
                f.write(b"not a record")
            WINE.own(state)
            tree.ready()
            fault()
            try:
                output, code = WINE.run_tool(win(tree.root) + " /Q/L")
                line = (b"sarnelux: " + told.encode() if told else
                        b"sarnelux: record " + shown.encode() +
                        b"\\rewrite-1.record not understood, kept")
                self.assertEqual(output, BANNER + line + b"\r\nfound BOM in "
                                 b"file " + win(path).encode() + b"\r\nnumber"
                                 b" of found BOM headers: 1\r\nready!\r\n",
                                 name)
                self.assertEqual(code, b"2", name)
                output, code = WINE.run_tool(win(tree.root) + " /Q")
                self.assertEqual(output, one_removed(path), name)
                self.assertEqual(code, b"0", name)
                with open(record, "rb") as f:
                    self.assertEqual(f.read(), b"not a record", name)
            finally:
                shutil.rmtree(state)

    def test_a_save_or_delete_while_the_file_is_held_is_not_undone(self):
        for rival in ("save", "delete"):
            tree = Tree()
            path = tree.write("export.csv", big_marked(256))
            version = b"the editor's version\r\n"
            source = tree.write("export.csv.new", version)
            tree.ready()
            out = os.path.join(WINE.work, "out.txt")
            code = WINE.helper_call(
                "race", win(out), rival, win(path), win(source), "400",
                f'"{win(WINE.exe)}" {win(tree.root)} /Q')
            self.assertEqual(code.strip(), b"0")
            with open(out, "rb") as f:
                output = f.read()
            # Stripped before the other program's turn, or never reached.
            self.assertIn(output, (one_removed(path), BANNER + summary(
                0, win(tree.root).encode())), rival)
            if rival == "save":
                self.assertEqual(tree.read("export.csv"), version)
            else:
                self.assertFalse(os.path.exists(path))

    def test_full_file_system_is_no_reason_to_lose_the_file(self):
        if os.geteuid() != 0:
            self.skipTest("mounting a small file system needs root")
        tree = Tree()
        image = os.path.join(WINE.work, "small.img")
        subprocess.run(["mkfs.ext4", "-q", "-F", "-m", "0", image, "8M"],
                       check=True, stdout=subprocess.DEVNULL)
        if subprocess.run(["mount", "-o", "loop", image, tree.root],
                          stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("no loop device to mount a small file system on")
        try:
            original = big_marked(2)
            path = tree.write("export.csv", original)
            # Full to the last block, and on disk, as files are long before
            # a run: blocks a rewrite frees are not free again until the
            # journal commits.
            with open(os.path.join(tree.root, "filler"), "wb", buffering=0) as f:
                for piece in (65536, 4096, 512, 512):
                    try:
                        while True:
                            f.write(b"z" * piece)
                    except OSError:
                        pass
                    os.fsync(f.fileno())
            os.sync()
            tree.ready()
            output, code = WINE.run_tool(win(tree.root) + " /Q")
            self.assertEqual(output, one_removed(path))
            self.assertEqual(tree.read("export.csv"), original[3:])
        finally:
            subprocess.run(["umount", tree.root])

    def test_sparse_file_is_stripped_exactly_and_its_holes_stay_holes(self):
        # Data, a hole of many blocks, data. Wine takes the sparse flag but
        # keeps it nowhere: it reports no sparse attribute, so the tool
        # writes the hole out there as on any file; where the flag holds,
        # the file takes no more room on the disk after the strip.
        tree = Tree()
        head = big_marked(1)
        tail = b"\r\nthe end\r\n"
        size = 16 << 20
        path = tree.write("sparse.log", head)
        with open(path, "r+b") as f:
            f.truncate(size - len(tail))
            f.seek(0, os.SEEK_END)
            f.write(tail)
        tree.ready()
        WINE.helper_call("sparse", win(path))
        flagged = int(WINE.helper_call("getattr", win(path)), 16) & SPARSE
        blocks = os.stat(path).st_blocks
        output, code = WINE.run_tool(win(tree.root) + " /Q")
        self.assertEqual(output, one_removed(path))
        self.assertTrue(tree.read("sparse.log") == head[3:] + bytes(
            size - len(head) - len(tail)) + tail)
        if flagged:
            self.assertLessEqual(os.stat(path).st_blocks, blocks)

    def test_a_name_holding_backslashes_is_only_a_name(self):
        tree = Tree()
        tree.write("victim.txt", MARK + b"victim")
        tree.write("home/notes.txt", MARK + b"notes")
        tree.write("walked/sub/..\\..\\victim.txt", MARK + b"decoy")
        os.makedirs(os.path.join(tree.root, "walked", "sub", "..\\..\\home"))
        tree.ready()
        before = tree.snapshot()
        walked = win(os.path.join(tree.root, "walked"))
        output, code = WINE.run_tool(walked + " /Q")
        self.assertEqual(output, BANNER + summary(0, walked.encode()))
        self.assertEqual(tree.snapshot(), before)

    def test_list_only_tells_of_every_name_it_cannot_open(self):
        tree = Tree()
        tree.write("a:b.txt", MARK + b"colon")
        tree.write("c\\d.txt", MARK + b"backslash")
        tree.ready()
        before = tree.snapshot()
        output, code = WINE.run_tool(win(tree.root) + " /Q/L")
        lines = output.split(b"\r\n")
        told = [line for line in lines if line.startswith(b"sarnelux: ")]
        self.assertEqual(len(told), 2, output)
        for line in told:
            self.assertTrue(line.startswith(b"sarnelux: " +
                                            win(tree.root).encode() + b"\\"),
                            output)
            self.assertTrue(line.endswith(b": name that Windows cannot open"),
                            output)
        self.assertTrue(output.endswith(summary(0, win(tree.root).encode())),
                        output)
        self.assertEqual(code, b"2")
        self.assertEqual(tree.snapshot(), before)

    def test_device_names_and_trailing_dots_and_spaces_are_ordinary_names(self):
        tree = Tree()
        for name in ("con.txt", "nul.txt", "aux", "prn.md", "com1.txt",
                     "lpt1", "aux.c", "dot.", "space "):
            tree.write(name, MARK + name.encode())
        tree.ready()
        before = tree.snapshot()
        report, removed = expected_report(tree.listing_order(), before,
                                          tree.root)
        output, code = WINE.run_tool(win(tree.root) + " /Q")
        self.assertEqual(removed, 9)
        self.assertEqual(output, BANNER + report + summary(removed))
        self.assertEqual(tree.snapshot(), stripped(before))

    def test_file_path_past_260_characters_in_a_folder_within_it(self):
        tree = Tree()
        base = win(tree.root) + "\\"
        folder = "n" * (250 - len(base))    # folder path 251 characters
        path = tree.write(folder + "/" + "x" * 40 + ".txt", MARK + b"far")
        tree.ready()
        output, _ = WINE.run_tool(win(tree.root) + " /Q")
        self.assertEqual(output, one_removed(path))
        self.assertEqual(tree.read(folder + "/" + "x" * 40 + ".txt"), b"far")

    def test_quoted_path_with_spaces_and_trailing_backslash(self):
        tree = Tree()
        path = tree.write("my docs/a.txt", MARK + b"a")
        tree.ready()
        folder = win(os.path.join(tree.root, "my docs")) + "\\"
        output, code = WINE.run_tool(f'"{folder}" /q')
        self.assertEqual(code, b"0")
        self.assertEqual(output, one_removed(path))

    def test_wait_ends_at_once_when_input_is_redirected(self):
        tree = Tree()
        keys = tree.write("keys", b"x")
        tree.ready()
        started = time.monotonic()
        output, code = WINE.run_tool(win(tree.root), stdin=keys)
        self.assertEqual(code, b"0")
        self.assertEqual(output, BANNER + summary(0, win(tree.root).encode()) +
                         PROMPT)
        usage, code = WINE.run_tool("", stdin=keys)
        self.assertEqual(usage, BANNER + USAGE)
        self.assertLess(time.monotonic() - started, 50)

    def test_key_press_ends_the_usage_screen_and_the_closing_wait(self):
        tree = Tree()
        tree.write("a.txt", MARK + b"a")
        tree.ready()
        for arguments, expected in (
                ("", USAGE),
                (win(tree.root), REMOVED + win(tree.root).encode() +
                 b"\\a.txt\r\n" + summary(1) + PROMPT)):
            screen, code = self.run_in_terminal(arguments)
            self.assertEqual(code, "0")
            lines = [line.rstrip() for line in screen.splitlines()]
            want = (BANNER + expected).decode().split("\r\n")[:-1]
            self.assertEqual(lines[:len(want)], want)

    def run_in_terminal(self, arguments):
        """Runs the tool in a terminal under tmux, waits for its prompt,
        presses a key and returns the screen and the exit status."""
        status = os.path.join(WINE.work, "status")
        if os.path.exists(status):
            os.remove(status)
        tmux = ["tmux", "-L", "sarnelux-wine"]
        command = (f"{WINE.wine} {shlex.quote(win(WINE.exe))} "
                   f"{shlex.quote(arguments) if arguments else ''}; "
                   f"echo $? > {status}; sleep 60")
        subprocess.run(WINE.wrap(tmux + ["new-session", "-d", "-x", "200",
                                         "-y", "50", command]), check=True)
        try:
            screen = ""
            deadline = time.monotonic() + 60
            while "Press a key" not in screen and time.monotonic() < deadline:
                time.sleep(0.2)
                screen = WINE.command(tmux + ["capture-pane", "-p"]).decode()
            self.assertIn("Press a key", screen)
            self.assertFalse(os.path.exists(status))  # still waiting
            WINE.command(tmux + ["send-keys", "x"])
            while not os.path.exists(status) and time.monotonic() < deadline:
                time.sleep(0.2)
            with open(status) as f:
                return screen, f.read().strip()
        finally:
            subprocess.run(WINE.wrap(tmux + ["kill-server"]),
                           stderr=subprocess.DEVNULL)


def main():
    global WINE
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    WINE = Wine(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]))
    try:
        result = unittest.main(argv=[sys.argv[0], "-v"], exit=False).result
    finally:
        WINE.close()
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
