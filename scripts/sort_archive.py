#!/usr/bin/env python3
"""Rewrites .tar.gz and .zip archives with their members in name order,
owned by root, and dated SOURCE_DATE_EPOCH, so that the same files always
give the same bytes whatever order the build's folders listed them in.

Usage: sort_archive.py ARCHIVE...
"""
import gzip
import io
import os
import sys
import tarfile
import time
import zipfile

EPOCH = int(os.environ.get("SOURCE_DATE_EPOCH", "0"))


def sort_tar(path):
    with tarfile.open(path, "r:gz") as old:
        members = [(m, old.extractfile(m).read() if m.isfile() else None)
                   for m in old.getmembers()]
    members.sort(key=lambda pair: pair[0].name)
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.GNU_FORMAT) as new:
        for member, data in members:
            member.mtime = EPOCH
            member.uid = member.gid = 0
            member.uname = member.gname = "root"
            new.addfile(member, io.BytesIO(data) if data is not None else None)
    with open(path, "wb") as f, gzip.GzipFile(
            filename="", mode="wb", fileobj=f, mtime=EPOCH, compresslevel=9) as z:
        z.write(raw.getvalue())


def sort_zip(path):
    with zipfile.ZipFile(path) as old:
        members = [(info, old.read(info)) for info in old.infolist()]
    members.sort(key=lambda pair: pair[0].filename)
    stamp = time.gmtime(max(EPOCH, 315532800))[:6]  # zip dates start in 1980
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as new:
        for old_info, data in members:
            info = zipfile.ZipInfo(old_info.filename, date_time=stamp)
            info.external_attr = old_info.external_attr
            info.create_system = 3  # Unix, so that the modes mean what they say
            info.compress_type = (zipfile.ZIP_STORED if info.is_dir()
                                  else zipfile.ZIP_DEFLATED)
            new.writestr(info, data)


for archive in sys.argv[1:]:
    if archive.endswith(".tar.gz"):
        sort_tar(archive)
    elif archive.endswith(".zip"):
        sort_zip(archive)
    else:
        sys.exit(f"not an archive this script sorts: {archive}")
