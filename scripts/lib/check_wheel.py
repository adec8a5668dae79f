"""Checks a built rowmerge wheel before it goes to dist/.

A wheel must hold exactly the package's files, one extension module with
the target's suffix and the metadata; every file must match its RECORD line;
nothing may carry a path of the build machine; the extension must be an ELF
object for the wheel's architecture that finds no library through a baked-in
search path.  With --musl, the extension must need musl's C library alone
and no versioned symbols (the musllinux tag rests on that).

usage: check_wheel.py WHEEL --package DIR --extension-suffix SUFFIX
                      [--forbid TEXT]... [--musl]
Prints one line per problem and exits with 1 when there is any.
"""

from __future__ import annotations

import argparse
import base64
import csv
import hashlib
import io
import re
import sys
import zipfile
from email.parser import HeaderParser
from pathlib import Path

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

PACKAGE = "rowmerge"
WHEEL_NAME = re.compile(r"^(?P<name>[A-Za-z0-9_]+)-(?P<version>[^-]+)-(?P<python>[^-]+)-(?P<abi>[^-]+)-(?P<platform>[^-]+)\.whl$")
# ELF e_machine by wheel architecture.
MACHINES = {"x86_64": "EM_X86_64", "armv7l": "EM_ARM", "aarch64": "EM_AARCH64", "i686": "EM_386"}
# What a dist-info directory may hold besides the three required files.
OPTIONAL_METADATA = {"entry_points.txt"}
MUSL_LIBC = "libc.so"


def package_files(package: Path) -> set[str]:
    """The package's source files as wheel paths (compiled leftovers excluded)."""
    names = set()
    for path in package.rglob("*"):
        if path.is_dir() or "__pycache__" in path.parts or path.suffix in (".pyc", ".so"):
            continue
        names.add(f"{PACKAGE}/{path.relative_to(package).as_posix()}")
    return names


def record_digest(data: bytes) -> str:
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def check_record(wheel: zipfile.ZipFile, record_name: str) -> list[str]:
    problems = []
    listed = {}
    for row in csv.reader(io.StringIO(wheel.read(record_name).decode())):
        if row:
            listed[row[0]] = row[1:]
    for name in wheel.namelist():
        if name == record_name or name.endswith("/"):
            continue
        if name not in listed:
            problems.append(f"{name}: not in RECORD")
            continue
        digest, size = listed[name][:2]
        data = wheel.read(name)
        if digest != record_digest(data) or size != str(len(data)):
            problems.append(f"{name}: does not match its RECORD line")
    problems += [f"{name}: in RECORD but not in the wheel" for name in sorted(set(listed) - set(wheel.namelist()))]
    return problems


def check_metadata(wheel: zipfile.ZipFile, dist_info: str, parts: dict[str, str]) -> list[str]:
    problems = []
    meta = HeaderParser().parsestr(wheel.read(f"{dist_info}/METADATA").decode())
    if meta["Name"] != PACKAGE or meta["Version"] != parts["version"]:
        problems.append(f"METADATA names {meta['Name']} {meta['Version']}, not {PACKAGE} {parts['version']}")
    if not (meta["License"] or meta["License-Expression"]):
        problems.append("METADATA has no license")
    if not any(r.split(";")[0].strip().startswith("numpy") for r in meta.get_all("Requires-Dist") or []):
        problems.append("METADATA does not require numpy")
    info = HeaderParser().parsestr(wheel.read(f"{dist_info}/WHEEL").decode())
    want = f"{parts['python']}-{parts['abi']}-{parts['platform']}"
    if info.get_all("Tag") != [want]:
        problems.append(f"WHEEL tags {info.get_all('Tag')} do not match the file name's {want}")
    if info["Root-Is-Purelib"] != "false":
        problems.append("WHEEL says the wheel is pure Python")
    entry_points = f"{dist_info}/entry_points.txt"
    if entry_points not in wheel.namelist() or "rowmerge = rowmerge.cli:main" not in wheel.read(entry_points).decode():
        problems.append("the rowmerge command is not among the entry points")
    return problems


def check_extension(name: str, data: bytes, platform: str, musl: bool) -> list[str]:
    problems = []
    elf = ELFFile(io.BytesIO(data))
    arch = next((a for a in MACHINES if platform.endswith(a)), None)
    if arch is None or elf["e_machine"] != MACHINES[arch]:
        problems.append(f"{name}: an {elf['e_machine']} object in a {platform} wheel")
    needed = []
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            for tag in section.iter_tags():
                if tag.entry.d_tag == "DT_NEEDED":
                    needed.append(tag.needed)
                elif tag.entry.d_tag in ("DT_RPATH", "DT_RUNPATH"):
                    path = tag.rpath if tag.entry.d_tag == "DT_RPATH" else tag.runpath
                    if any(not p.startswith("$ORIGIN") for p in path.split(":")):
                        problems.append(f"{name}: searches libraries in {path}")
        if musl and isinstance(section, GNUVerNeedSection) and section.num_versions():
            problems.append(f"{name}: needs versioned symbols, which musl does not define")
    if musl and needed != [MUSL_LIBC]:
        problems.append(f"{name}: needs {needed}; a musl board has {MUSL_LIBC} alone")
    return problems


def check_wheel(path: Path, package: Path, suffix: str, forbidden: list[str], musl: bool = False) -> list[str]:
    """The problems of the wheel at `path`, one line each (none when it is sound)."""
    match = WHEEL_NAME.match(path.name)
    if not match or match["name"] != PACKAGE:
        return [f"{path.name}: not a {PACKAGE} wheel file name"]
    parts = match.groupdict()
    dist_info = f"{PACKAGE}-{parts['version']}.dist-info"
    extension = f"{PACKAGE}/_native{suffix}"
    problems = []
    with zipfile.ZipFile(path) as wheel:
        names = {n for n in wheel.namelist() if not n.endswith("/")}
        metadata = {f"{dist_info}/{n}" for n in ("METADATA", "WHEEL", "RECORD")}
        expected = package_files(package) | {extension} | metadata
        problems += [f"{n}: missing" for n in sorted(expected - names)]
        allowed = expected | {f"{dist_info}/{n}" for n in OPTIONAL_METADATA}
        problems += [f"{n}: does not belong in the wheel" for n in sorted(names - allowed)]
        if metadata <= names:
            problems += check_record(wheel, f"{dist_info}/RECORD")
            problems += check_metadata(wheel, dist_info, parts)
        for name in sorted(names):
            data = wheel.read(name)
            for text in forbidden:
                if text.encode() in data:
                    problems.append(f"{name}: holds the build machine's path {text!r}")
            if name == extension:
                problems += check_extension(name, data, parts["platform"], musl)
    return problems


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("wheel", type=Path)
    parser.add_argument("--package", type=Path, required=True, help="the package's source directory")
    parser.add_argument("--extension-suffix", required=True, help="the target's EXT_SUFFIX")
    parser.add_argument("--forbid", action="append", default=[], metavar="TEXT",
                        help="text no file may contain (a path of the build machine)")
    parser.add_argument("--musl", action="store_true", help="the extension must need musl's libc.so alone")
    args = parser.parse_args(argv)
    problems = check_wheel(args.wheel, args.package, args.extension_suffix,
                           [f for f in args.forbid if f], args.musl)
    for problem in problems:
        print(f"{args.wheel.name}: {problem}", file=sys.stderr)
    if not problems:
        with zipfile.ZipFile(args.wheel) as wheel:
            count = len([n for n in wheel.namelist() if not n.endswith("/")])
        print(f"{args.wheel.name}: {count} files, {args.wheel.stat().st_size // 1024} KiB, checked", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
