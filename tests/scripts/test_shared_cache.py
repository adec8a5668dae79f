"""scripts/lib/shared-cache.sh: entries keyed by their recipe, built once,
never left half-built where they look complete."""

from __future__ import annotations

import os
import signal
import subprocess
import time
from pathlib import Path

LIB = Path(__file__).resolve().parents[2] / "scripts" / "lib"

# A build that counts its runs, can be told to fail half-way, and takes a
# moment so that two callers overlap.
SCRIPT = f"""
set -euo pipefail
ARMHF_CACHE=$CACHE_DIR/unused
SHARED_CACHE=$CACHE_DIR
. {LIB}/debian-armhf.sh
. {LIB}/shared-cache.sh
_build() {{
  local stage=$1 final=$2 work=$3
  echo run >>"$CACHE_DIR/runs"
  echo half >"$stage/data"
  sleep "${{BUILD_SECONDS:-0}}"
  [ -z "${{BUILD_FAILS:-}}" ] || exit 3
  echo "$final" >"$stage/data"
  echo scratch >"$work/scratch"
}}
cache_ensure thing "$RECIPE" _build
echo "$CACHE_ENTRY"
"""


def ensure(cache: Path, recipe: str, **env: str) -> subprocess.Popen:
    return subprocess.Popen(["bash", "-c", SCRIPT], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True,
                            env={"PATH": "/usr/bin:/bin", "CACHE_DIR": str(cache), "RECIPE": recipe, **env})


def finish(proc: subprocess.Popen) -> tuple[int, str]:
    out, _ = proc.communicate(timeout=60)
    return proc.returncode, out.strip()


def runs(cache: Path) -> int:
    path = cache / "runs"
    return len(path.read_text().splitlines()) if path.exists() else 0


def test_an_entry_is_built_once_and_named_by_its_recipe(tmp_path):
    rc, entry = finish(ensure(tmp_path, "thing-1 version 2"))
    assert rc == 0 and Path(entry).parent == tmp_path and Path(entry).name.startswith("thing-")
    assert (Path(entry) / "data").read_text().strip() == entry
    assert (Path(entry) / ".recipe").read_text() == "thing-1 version 2\n"
    assert not Path(entry + ".tmp").exists() and not Path(entry + ".work").exists()
    assert finish(ensure(tmp_path, "thing-1 version 2")) == (0, entry)
    assert runs(tmp_path) == 1
    rc, other = finish(ensure(tmp_path, "thing-1 version 3"))
    assert rc == 0 and other != entry and runs(tmp_path) == 2


def test_an_interrupted_build_leaves_no_entry_and_the_next_one_starts_afresh(tmp_path):
    rc, _ = finish(ensure(tmp_path, "r", BUILD_FAILS="1"))
    assert rc == 3
    assert [p.name for p in tmp_path.glob("thing-*") if not p.name.endswith((".tmp", ".work", ".lock"))] == []
    rc, entry = finish(ensure(tmp_path, "r"))
    assert rc == 0 and (Path(entry) / "data").read_text().strip() == entry
    assert not Path(entry + ".tmp").exists() and runs(tmp_path) == 2


def test_concurrent_callers_build_once(tmp_path):
    first = ensure(tmp_path, "r", BUILD_SECONDS="2")
    second = ensure(tmp_path, "r", BUILD_SECONDS="2")
    a, b = finish(first), finish(second)
    assert a == b and a[0] == 0
    assert runs(tmp_path) == 1


def test_a_build_killed_half_way_is_redone_by_the_next_caller(tmp_path):
    # As when CI's time limit or a developer's ^C ends the whole process
    # group: no cleanup runs, the half-filled stage and scratch stay.
    victim = ensure(tmp_path, "r", BUILD_SECONDS="60")
    deadline = time.monotonic() + 30
    while runs(tmp_path) == 0 and time.monotonic() < deadline:
        time.sleep(0.05)
    assert runs(tmp_path) == 1
    os.killpg(victim.pid, signal.SIGKILL)
    victim.wait(timeout=10)
    stale = [p.name for p in tmp_path.glob("thing-*.tmp")]
    assert len(stale) == 1
    rc, entry = finish(ensure(tmp_path, "r"))
    assert rc == 0 and (Path(entry) / "data").read_text().strip() == entry
    assert not Path(entry + ".tmp").exists() and not Path(entry + ".work").exists()
    assert runs(tmp_path) == 2
