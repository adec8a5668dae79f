"""Starting fresh Python interpreters from tests.

Tests that need a process of their own (process-wide state, thread counts,
terminals) start one through these helpers.  When the suite runs under an
emulator (the cross-built 32-bit ARM run), the interpreter cannot be executed
directly; ROWMERGE_INTERPRETER_PREFIX then holds the command that runs it,
for example the emulator with its options, and is put in front of it.
"""

from __future__ import annotations

import os
import shlex
import subprocess
import sys


def python_command(*args: str) -> list[str]:
    prefix = shlex.split(os.environ.get("ROWMERGE_INTERPRETER_PREFIX", ""))
    return [*prefix, sys.executable, *args]


def run_python(code: str, *, env: dict[str, str] | None = None, timeout: float = 120,
               **kwargs) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter and returns the completed process
    (text output captured unless the caller redirects it)."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    kwargs.setdefault("capture_output", True)
    kwargs.setdefault("text", True)
    return subprocess.run(python_command("-c", code), env=full_env, timeout=timeout, **kwargs)
