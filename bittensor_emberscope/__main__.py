"""`python -m bittensor_emberscope`: runs the `emberscope` program installed beside this
interpreter (the environment's `bin`), with the same arguments."""

import os
import sys
import sysconfig


def _program() -> str:
    for folder in (os.path.dirname(sys.executable), sysconfig.get_path("scripts")):
        path = os.path.join(folder, "emberscope")
        if os.access(path, os.X_OK) and not os.path.isdir(path):
            return path
    sys.stderr.write("emberscope: the program is not installed beside this interpreter "
                     f"({sys.executable}); reinstall the package\n")
    raise SystemExit(1)


if __name__ == "__main__":
    program = _program()
    os.execv(program, [program, *sys.argv[1:]])
