"""The source tree's layout: host/ is the only C++ folder that reaches the interpreter.

Every other folder (the subsystems, the engine, the POSIX services, the test fakes) is plain
C++ that GoogleTest builds without Python: none of its files may include a host/ header, the
interpreter's headers or nanobind, and the operations' glue (`*_ops.cpp`) lives in host/.
The module entries (emberscope.cpp, monitor.cpp) sit above host/ and may include it.
"""

from __future__ import annotations

import posixpath
import re
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[1] / "bittensor_emberscope"
HOST = "host"
CPP_SUFFIXES = (".cpp", ".hpp", ".h", ".cc", ".inc")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)


def host_includes(text: str, folder: str) -> list[str]:
    """The include lines of a file in `folder` that reach host/, the interpreter or nanobind."""
    found = []
    for _, target in INCLUDE.findall(text):
        resolved = posixpath.normpath(posixpath.join(folder, target))
        if (
            target.split("/")[0] == HOST
            or resolved.split("/")[0] == HOST
            or posixpath.basename(target) == "Python.h"
            or target.startswith(("nanobind/", "pybind11/", "python3"))
        ):
            found.append(target)
    return found


def subsystem_files() -> list[Path]:
    """Every C++ file inside a folder of the package other than host/."""
    return sorted(
        path for path in SOURCE.rglob("*")
        if path.suffix in CPP_SUFFIXES
        and path.parent != SOURCE
        and path.relative_to(SOURCE).parts[0] != HOST
    )


@pytest.mark.parametrize(("line", "folder", "caught"), [
    ('#include "host/raw.hpp"', "burns", True),
    ('#  include  "host/calls.hpp"', "driver", True),
    ('#include "../host/error.hpp"', "reports", True),
    ("#include <Python.h>", "engine", True),
    ("#include <python3.13/Python.h>", "native", True),
    ("#include <nanobind/nanobind.h>", "common", True),
    ("#include <nanobind/stl/string.h>", "testing_cpp", True),
    ('#include "burns/state_text.hpp"', "burns", False),
    ('#include "common/services.hpp"', "native", False),
    ("// host/ implements them once over the interpreter's services", "common", False),
    ('#include "engine/host_clock.hpp"', "engine", False),
])
def test_the_guard_tells_an_interpreter_include_from_a_plain_one(line, folder, caught):
    assert bool(host_includes(line + "\n", folder)) is caught


def test_the_subsystems_are_found():
    folders = {path.relative_to(SOURCE).parts[0] for path in subsystem_files()}
    assert {"burns", "common", "driver", "engine", "native", "reports", "taostats",
            "testing_cpp"} <= folders
    assert HOST not in folders


def test_no_subsystem_file_includes_host_or_the_interpreter():
    offenders = {
        str(path.relative_to(SOURCE)): includes
        for path in subsystem_files()
        if (includes := host_includes(path.read_text(encoding="utf-8"),
                                      path.parent.relative_to(SOURCE).as_posix()))
    }
    assert offenders == {}


def test_the_operations_glue_lives_in_host():
    stray = sorted(str(path.relative_to(SOURCE)) for path in subsystem_files()
                   if path.stem.endswith("_ops"))
    assert stray == []
    glue = {path.name for path in (SOURCE / HOST).glob("*_ops.cpp")}
    assert {"burns_state_ops.cpp", "driver_watch_ops.cpp", "monitor_ops.cpp"} <= glue


def test_the_package_holds_no_python_of_the_command():
    # The command is the native program: what Python the package keeps is the documented
    # module's face, the program's launcher, the chart child, the demo and the stand-ins.
    modules = sorted(path.relative_to(SOURCE).as_posix() for path in SOURCE.rglob("*.py")
                     if path.relative_to(SOURCE).parts[0] != "testing")
    assert modules == ["__init__.py", "__main__.py", "_http_opener.py", "chart.py", "demo.py"]
