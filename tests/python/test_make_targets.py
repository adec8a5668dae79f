"""The make targets that run pytest fail when it collects no test."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
NESTED = "ROWMERGE_NESTED_MAKE"


@pytest.mark.skipif(not (ROOT / "Makefile").is_file() or shutil.which("make") is None,
                    reason="needs the checkout's Makefile and make")
@pytest.mark.skipif(bool(os.environ.get("ROWMERGE_INTERPRETER_PREFIX")),
                    reason="make cannot start the emulated interpreter")
@pytest.mark.skipif(bool(os.environ.get(NESTED)), reason="already inside the make run of this test")
def test_py_test_fails_when_no_test_is_collected(tmp_path):
    # The install step is left out (-o) and this interpreter runs pytest on
    # a directory without tests.
    empty = tmp_path / "no-tests"
    empty.mkdir()
    env = {k: v for k, v in os.environ.items() if not k.startswith(("MAKE", "MFLAGS", "PYTEST_"))}
    env[NESTED] = "1"
    proc = subprocess.run(["make", "--no-print-directory", "-C", str(ROOT), "-o", "py-install", "py-test",
                           f"VPY={sys.executable}", f"PYTEST_ARGS={empty}"],
                          env=env, capture_output=True, text=True, timeout=300)
    assert "no tests ran" in proc.stdout, proc.stdout + proc.stderr
    assert proc.returncode != 0
