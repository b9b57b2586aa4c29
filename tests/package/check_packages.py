#!/usr/bin/env python3
"""Checks the shipped artifacts in a dist/ folder the way a user meets them:
has lintian find no error and no warning in the .deb, installs it (into the
machine as root, else into a folder), runs the installed program on a tree,
finds its manual page, removes the package again; checks that the .tar.gz
holds the program and its page, and that the Windows .zip holds both
programs, each built for its machine and carrying the project's version in
its VERSIONINFO, with a README.txt and a LICENSE.txt in CR LF.

Usage: check_packages.py DIST
"""
import gzip
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import zipfile

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
MARK = b"\xef\xbb\xbf"


def project_version():
    with open(os.path.join(TOP, "CMakeLists.txt")) as f:
        return re.search(r"project\(sarnelux VERSION ([0-9.]+)", f.read())[1]


VERSION = project_version()


def check(condition, what):
    if not condition:
        sys.exit("package check failed: " + what)
    print("ok:", what)


def run(*argv, **kwargs):
    return subprocess.run(argv, check=True, stdout=subprocess.PIPE, **kwargs)


def check_installed_program(program, man_env):
    tree = tempfile.mkdtemp(prefix="sarnelux-package-")
    try:
        with open(os.path.join(tree, "a.txt"), "wb") as f:
            f.write(MARK + b"alpha")
        version = run(program, "--version").stdout
        check(b"\ngate pipeline: io_uring\n" in version,
              "the packaged program has its gate pipeline")
        out = run(program, tree, "/Q").stdout
        check(out.endswith(b"number of removed BOM headers: 1\nready!\n"),
              "the installed program strips a tree")
        with open(os.path.join(tree, "a.txt"), "rb") as f:
            check(f.read() == b"alpha", "the file lost its mark, nothing else")
    finally:
        shutil.rmtree(tree)
    page = run("man", "-w", "sarnelux", env=man_env).stdout.decode().strip()
    check(page.endswith("/man1/sarnelux.1.gz"), "man -w sarnelux finds " + page)


def check_gzipped(data, what):
    # No name and no time in the header (gzip -n), or the bytes would
    # change with every build.
    check(data[:4] == b"\x1f\x8b\x08\x00" and data[4:8] == bytes(4),
          what + " is gzipped without a name or a time")
    return gzip.decompress(data)


# What the build promises but lintian reports only as information. Not
# hardening-no-fortify-functions: lintian gives it whenever the program calls
# no checked variant, and here every buffer is either proven big enough at
# compile time or of a size the compiler cannot know, so none is called.
PROMISED = ("hardening-no-relro", "hardening-no-bindnow", "hardening-no-pie",
            "binary-has-unneeded-section")


def check_lintian(deb):
    if os.environ.get("SARNELUX_SKIP_LINTIAN"):
        print("skipped: lintian --pedantic on the .deb: "
              + os.environ["SARNELUX_SKIP_LINTIAN"])
        return
    found = subprocess.run(["lintian", "--pedantic", "--display-info",
                            "--fail-on", "error,warning", deb],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           text=True)
    print(found.stdout, end="")
    check(found.returncode == 0, "lintian --pedantic: no error, no warning")
    tags = re.findall(r"^\w: sarnelux: (\S+)", found.stdout, re.MULTILINE)
    check(not set(tags) & set(PROMISED),
          "lintian: hardened, without the sections it counts as unneeded")


def check_deb(deb):
    fields = run("dpkg-deb", "-f", deb, "Package", "Version",
                 "Depends").stdout.decode()
    check(f"Version: {VERSION}" in fields, "the .deb carries version " + VERSION)
    check_lintian(deb)
    root = tempfile.mkdtemp(prefix="sarnelux-destdir-")
    try:
        run("dpkg-deb", "-x", deb, root)
        check_deb_files(root)
        env = dict(os.environ)
        if os.geteuid() != 0:
            env["MANPATH"] = os.path.join(root, "usr/share/man")
            check_installed_program(os.path.join(root, "usr/bin/sarnelux"), env)
            return
    finally:
        shutil.rmtree(root)
    run("dpkg", "-i", deb)
    try:
        env.pop("MANPATH", None)
        check_installed_program("/usr/bin/sarnelux", env)
    finally:
        run("dpkg", "-r", "sarnelux")
    check(not os.path.exists("/usr/bin/sarnelux"),
          "removing the package removes the program")
    status = subprocess.run(["dpkg", "-s", "sarnelux"],
                            stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL).returncode
    check(status != 0, "the package is gone after removal")


def check_deb_files(root):
    def read(name):
        path = os.path.join(root, name)
        check(os.path.isfile(path), "the .deb holds " + name)
        with open(path, "rb") as f:
            return f.read()

    read("usr/bin/sarnelux")
    check_gzipped(read("usr/share/man/man1/sarnelux.1.gz"), "the manual page")
    changelog = check_gzipped(read("usr/share/doc/sarnelux/changelog.gz"),
                              "the changelog")
    check(changelog.startswith(f"sarnelux ({VERSION}) ".encode()),
          f"the changelog begins with version {VERSION}")
    check(read("usr/share/doc/sarnelux/copyright") == licence(),
          "the copyright file is the licence")


def licence():
    with open(os.path.join(TOP, "LICENSE"), "rb") as f:
        return f.read()


def check_tar(path):
    with tarfile.open(path) as tar:
        names = tar.getnames()
    top = f"sarnelux-{VERSION}-linux-x86_64/"
    for name in ("bin/sarnelux", "share/man/man1/sarnelux.1.gz",
                 "share/doc/sarnelux/copyright",
                 "share/doc/sarnelux/changelog.gz"):
        check(top + name in names, "the .tar.gz holds " + name)
    unpacked = tempfile.mkdtemp(prefix="sarnelux-tar-")
    try:
        with tarfile.open(path) as tar:
            tar.extract(top + "bin/sarnelux", unpacked)
        version = run(os.path.join(unpacked, top, "bin/sarnelux"),
                      "--version").stdout
        check(b"\ngate pipeline: io_uring\n" in version,
              "the .tar.gz's program has its gate pipeline")
    finally:
        shutil.rmtree(unpacked)


def check_zip(path):
    with zipfile.ZipFile(path) as z:
        names = z.namelist()
        top = f"sarnelux-{VERSION}-windows/"
        check(sorted(names) == sorted(
            top + name for name in ("LICENSE.txt", "README.txt", "i686/",
                                    "i686/sarnelux.exe", "x86_64/",
                                    "x86_64/sarnelux.exe")),
              "the .zip holds the two programs, README.txt and LICENSE.txt")
        check(z.read(top + "LICENSE.txt") == crlf(licence()),
              "LICENSE.txt is the licence with CR LF line ends")
        readme = z.read(top + "README.txt")
        check(readme == crlf(readme.replace(b"\r\n", b"\n")),
              "README.txt has CR LF line ends and no other")
        check(readme.startswith(f"Sarnelux {VERSION} for Windows\r\n".encode()),
              f"README.txt is for version {VERSION}")
        for arch, machine in (("i686", 0x14C), ("x86_64", 0x8664)):
            exe = z.read(f"{top}{arch}/sarnelux.exe")
            pe = struct.unpack_from("<I", exe, 0x3C)[0]
            check(struct.unpack_from("<H", exe, pe + 4)[0] == machine,
                  f"{arch}/sarnelux.exe is built for {arch}")
            fixed = exe.find(struct.pack("<I", 0xFEEF04BD))
            check(fixed > 0, f"{arch}/sarnelux.exe has a VERSIONINFO")
            high, low = struct.unpack_from("<II", exe, fixed + 8)
            check(f"{high >> 16}.{high & 0xFFFF}.{low >> 16}" == VERSION,
                  f"its file version is {VERSION}")
            for key, value in (("ProductName", "Sarnelux"),
                               ("FileVersion", VERSION),
                               ("ProductVersion", VERSION),
                               ("OriginalFilename", "sarnelux.exe"),
                               ("LegalCopyright",
                                "Copyright (c) 2026 the Sarnelux project")):
                entry = (key + "\0").encode("utf-16-le")
                at = exe.find(entry, fixed)
                text = exe[at + len(entry):].decode("utf-16-le", "replace")
                check(at > 0 and text.lstrip("\0").startswith(value + "\0"),
                      f"its {key} is {value}")


def crlf(text):
    return text.replace(b"\n", b"\r\n")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    dist = sys.argv[1]
    check_deb(os.path.join(dist, f"sarnelux_{VERSION}_amd64.deb"))
    check_tar(os.path.join(dist, f"sarnelux-{VERSION}-linux-x86_64.tar.gz"))
    check_zip(os.path.join(dist, f"sarnelux-{VERSION}-windows.zip"))


if __name__ == "__main__":
    main()
