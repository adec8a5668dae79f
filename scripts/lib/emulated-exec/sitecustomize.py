"""Lets a Python that runs under qemu-user start programs of its own machine.

Without a binfmt_misc handler the host kernel refuses to execute the
target's programs for an emulated process (pip, for one, runs musl's loader
to learn its version).  Put on PYTHONPATH, this makes subprocess put the
emulator command of ROWMERGE_INTERPRETER_PREFIX in front of every program
built for the machine Python itself runs on, as such a handler would.
Host programs (scripts, the emulator itself) start as before.
"""

import os
import shlex
import shutil
import subprocess

_PREFIX = shlex.split(os.environ.get("ROWMERGE_INTERPRETER_PREFIX", ""))
# ELF e_machine of the machine this interpreter was built for.
_MACHINES = {"armv7l": 40, "armv8l": 40, "aarch64": 183}
_OWN_MACHINE = _MACHINES.get(os.uname().machine)


def _is_own_program(path):
    try:
        with open(path, "rb") as f:
            head = f.read(20)
    except OSError:
        return False
    return (len(head) == 20 and head[:4] == b"\x7fELF" and _OWN_MACHINE is not None
            and int.from_bytes(head[18:20], "big" if head[5] == 2 else "little") == _OWN_MACHINE)


if _PREFIX and _OWN_MACHINE is not None:
    _execute_child = subprocess.Popen._execute_child

    def _emulated_execute_child(self, args, executable, *rest, **kwargs):
        if not isinstance(args, (str, bytes)) and args:
            program = os.fsdecode(executable or args[0])
            path = program if os.sep in program else shutil.which(program)
            if path and _is_own_program(path):
                args = [*_PREFIX, path, *list(args)[1:]]
                executable = None
        return _execute_child(self, args, executable, *rest, **kwargs)

    subprocess.Popen._execute_child = _emulated_execute_child
