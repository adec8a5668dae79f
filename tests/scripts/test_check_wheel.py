"""scripts/lib/check_wheel.py on wheels made here, sound and broken."""

from __future__ import annotations

import base64
import hashlib
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts" / "lib"))
from check_wheel import check_wheel  # noqa: E402

SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
DIST_INFO = "rowmerge-0.1.0.dist-info"


@pytest.fixture(scope="module")
def host_extension(tmp_path_factory) -> bytes:
    """A shared object built here with the host's C compiler: a real ELF
    object for this machine, linked against its glibc."""
    directory = tmp_path_factory.mktemp("elf")
    (directory / "module.c").write_text(
        '#include <stdio.h>\nint PyInit__native(void) { return printf("%d\\n", 1); }\n')
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(directory / "module.so"), str(directory / "module.c")],
                   check=True)
    return (directory / "module.so").read_bytes()


def digest(data: bytes) -> str:
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


@pytest.fixture
def package(tmp_path) -> Path:
    root = tmp_path / "src" / "rowmerge"
    root.mkdir(parents=True)
    (root / "__init__.py").write_text("__version__ = '0.1.0'\n")
    (root / "cli.py").write_text("def main():\n    return 0\n")
    (root / "__pycache__").mkdir()
    (root / "__pycache__" / "cli.cpython-311.pyc").write_bytes(b"left over by a test run")
    return root


def make_wheel(directory: Path, files: dict[str, bytes], *, platform="linux_x86_64",
               record_tamper: str | None = None, tag: str | None = None) -> Path:
    tag = tag or f"cp311-cp311-{platform}"
    files = dict(files)
    files[f"{DIST_INFO}/METADATA"] = (b"Metadata-Version: 2.1\nName: rowmerge\nVersion: 0.1.0\n"
                                      b"License: MIT\nRequires-Dist: numpy>=1.15\n")
    files[f"{DIST_INFO}/WHEEL"] = f"Wheel-Version: 1.0\nRoot-Is-Purelib: false\nTag: {tag}\n".encode()
    files[f"{DIST_INFO}/entry_points.txt"] = b"[console_scripts]\nrowmerge = rowmerge.cli:main\n"
    record = "".join(f"{name},{digest(data)},{len(data)}\n" for name, data in files.items()
                     if name != record_tamper)
    if record_tamper:
        record += f"{record_tamper},{digest(b'something else')},14\n"
    files[f"{DIST_INFO}/RECORD"] = (record + f"{DIST_INFO}/RECORD,,\n").encode()
    path = directory / f"rowmerge-0.1.0-cp311-cp311-{platform}.whl"
    with zipfile.ZipFile(path, "w") as wheel:
        for name, data in files.items():
            wheel.writestr(name, data)
    return path


@pytest.fixture
def sound_files(package, host_extension) -> dict[str, bytes]:
    return {"rowmerge/__init__.py": (package / "__init__.py").read_bytes(),
            "rowmerge/cli.py": (package / "cli.py").read_bytes(),
            f"rowmerge/_native{SUFFIX}": host_extension}


def test_a_sound_wheel_passes(tmp_path, package, sound_files):
    wheel = make_wheel(tmp_path, sound_files)
    assert check_wheel(wheel, package, SUFFIX, ["/build/machine/checkout"]) == []


def test_strays_missing_files_leaked_paths_and_bad_records_are_each_reported(tmp_path, package, sound_files):
    files = sound_files
    del files["rowmerge/cli.py"]
    files["tests/test_merge.py"] = b"def test(): pass\n"
    files["rowmerge/tables.py"] = b"DEFAULT = '/build/machine/checkout/data'\n"
    wheel = make_wheel(tmp_path, files, record_tamper="rowmerge/__init__.py")
    problems = check_wheel(wheel, package, SUFFIX, ["/build/machine/checkout"])
    assert "rowmerge/cli.py: missing" in problems
    assert "tests/test_merge.py: does not belong in the wheel" in problems
    assert "rowmerge/tables.py: does not belong in the wheel" in problems
    assert "rowmerge/tables.py: holds the build machine's path '/build/machine/checkout'" in problems
    assert "rowmerge/__init__.py: does not match its RECORD line" in problems


def test_metadata_must_agree_with_the_file_name(tmp_path, package, sound_files):
    wheel = make_wheel(tmp_path, sound_files, tag="cp311-cp311-linux_i686")
    assert check_wheel(wheel, package, SUFFIX, []) == [
        "WHEEL tags ['cp311-cp311-linux_i686'] do not match the file name's cp311-cp311-linux_x86_64"]


def test_the_extension_must_suit_the_platform_and_for_musl_need_libc_alone(tmp_path, package, sound_files):
    files = sound_files
    wrong_arch = make_wheel(tmp_path, files, platform="musllinux_1_2_armv7l")
    problems = check_wheel(wrong_arch, package, SUFFIX, [], musl=True)
    assert f"rowmerge/_native{SUFFIX}: an EM_X86_64 object in a musllinux_1_2_armv7l wheel" in problems
    # The host's module is linked against glibc: versioned symbols and libc.so.6.
    assert f"rowmerge/_native{SUFFIX}: needs versioned symbols, which musl does not define" in problems
    assert any(p.startswith(f"rowmerge/_native{SUFFIX}: needs [") and "libc.so.6" in p for p in problems)
    # The same object is fine in a glibc wheel of its own machine.
    assert check_wheel(make_wheel(tmp_path, files), package, SUFFIX, []) == []
