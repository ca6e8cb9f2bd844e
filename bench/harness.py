"""Measuring helpers shared by the Python-facing benchmarks, the footprint probes and the soak.

Timing follows timeit's method: a run repeats the call enough times to last at least
`min_run` seconds, several runs are made, and the per-call figure of each run is kept. The
report gives the median of the runs and their spread (fastest and slowest run, and the
interquartile range), so a reader sees how much the machine's noise moved the figures.
"""

from __future__ import annotations

import ctypes
import dataclasses
import gc
import os
import pathlib
import platform
import statistics
import subprocess
import time
from collections.abc import Callable

# Cycles taken by other processes show up as a spread between runs; the median is robust
# against a few disturbed runs, the minimum is the figure closest to the code's own cost.


@dataclasses.dataclass
class Timing:
    """Per-call seconds of each run, wall clock and CPU time of the calling thread."""

    name: str
    size: int
    loops: int
    wall: list[float]
    cpu: list[float]

    @property
    def median(self) -> float:
        return statistics.median(self.wall)

    @property
    def cpu_median(self) -> float:
        return statistics.median(self.cpu)

    def quartiles(self) -> tuple[float, float]:
        if len(self.wall) < 4:
            return min(self.wall), max(self.wall)
        q = statistics.quantiles(self.wall, n=4, method="inclusive")
        return q[0], q[2]

    def as_dict(self) -> dict:
        q1, q3 = self.quartiles()
        return {"name": self.name, "size": self.size, "loops": self.loops,
                "median_s": self.median, "min_s": min(self.wall), "max_s": max(self.wall),
                "q1_s": q1, "q3_s": q3, "cpu_median_s": self.cpu_median, "runs": len(self.wall)}


def measure(name: str, size: int, call: Callable[[], object], *, runs: int = 9,
            min_run: float = 0.05, max_loops: int = 1_000_000,
            setup: Callable[[], object] | None = None) -> Timing:
    """Times `call` (after `setup`, untimed, before every call when given)."""
    call()  # warm up: first-call allocations, lazy imports, file-system caches
    loops = 1
    if setup is None:
        while loops < max_loops:
            start = time.perf_counter()
            for _ in range(loops):
                call()
            if time.perf_counter() - start >= min_run:
                break
            loops *= 2
    wall, cpu = [], []
    gc_was_enabled = gc.isenabled()
    for _ in range(runs):
        if setup is None:
            gc.disable()  # as timeit does: a collection in one run is noise, not cost
            c0, t0 = time.thread_time(), time.perf_counter()
            for _ in range(loops):
                call()
            t1, c1 = time.perf_counter(), time.thread_time()
            if gc_was_enabled:
                gc.enable()
            wall.append((t1 - t0) / loops)
            cpu.append((c1 - c0) / loops)
        else:
            setup()
            gc.disable()
            c0, t0 = time.thread_time(), time.perf_counter()
            call()
            t1, c1 = time.perf_counter(), time.thread_time()
            if gc_was_enabled:
                gc.enable()
            wall.append(t1 - t0)
            cpu.append(c1 - c0)
    return Timing(name, size, loops, wall, cpu)


def human(seconds: float) -> str:
    """A duration with a unit that keeps three significant digits."""
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if seconds >= scale or unit == "ns":
            value = seconds / scale
            return f"{value:.3g} {unit}" if value < 100 else f"{value:.0f} {unit}"
    raise AssertionError


def rss_bytes(pid: int | str = "self") -> int:
    """Resident set size of a process, from /proc."""
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS line")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def malloc_in_use() -> int | None:
    """Bytes the C allocator has handed out and not had back (glibc's mallinfo2: in-use arena
    chunks plus mmapped blocks); None where the C library lacks it. Growth here, unlike growth
    of the resident set, cannot be fragmentation or memory kept for reuse."""
    try:
        libc = ctypes.CDLL(None)
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def open_fds() -> int:
    """Number of open file descriptors of this process."""
    return len(os.listdir("/proc/self/fd"))


def cpu_ns(pid: int) -> int:
    """CPU time consumed by all threads of a process, in nanoseconds (scheduler accounting)."""
    total = 0
    for task in pathlib.Path(f"/proc/{pid}/task").iterdir():
        try:
            total += int((task / "schedstat").read_text().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total


def machine() -> str:
    """One paragraph describing where the figures were taken."""
    cpu = "unknown CPU"
    for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    mem_kb = int(pathlib.Path("/proc/meminfo").read_text().split()[1])
    try:
        compiler = subprocess.run(["c++", "--version"], capture_output=True, text=True,
                                  check=False).stdout.splitlines()[0]
    except (OSError, IndexError):
        compiler = "unknown compiler"
    virt = "bare metal"
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=False).stdout
        for line in out.splitlines():
            if line.startswith("Hypervisor vendor:"):
                virt = line.split(":", 1)[1].strip() + " virtual machine"
    except OSError:
        pass
    if pathlib.Path("/.dockerenv").exists():
        virt += ", in a container"
    load = os.getloadavg()
    return (f"{cpu}, {os.cpu_count()} logical CPUs ({virt}), {mem_kb / 1048576:.1f} GiB RAM; "
            f"Linux {platform.release()}; CPython {platform.python_version()}; {compiler}; "
            f"load average at start {load[0]:.2f} / {load[1]:.2f} / {load[2]:.2f}")
