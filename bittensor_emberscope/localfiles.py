"""The command's own files beside the state file: opened only when they are regular files, and
the lock that keeps two runs off one state file.

A FIFO, a device or a socket in place of one of these files would block a reader or a writer
forever, or swallow what is written; every open goes through `open_regular`, which never
blocks on such a file and refuses it.

The lock file (`state.lock` for `state.json`) is held with `flock` for a whole cycle, and by
`watch` for its whole run; it records the holder's pid. The kernel lets go of it when the holder
ends, however it ends, so a non-blocking attempt on it tells for sure whether a holder is alive.
"""

from __future__ import annotations

import errno
import fcntl
import os
import stat
import time

__all__ = ["Busy", "NotRegular", "StateLock", "describe_kind", "irregular", "lock_holder",
           "lock_path", "open_regular", "read_regular", "sibling"]

LOCK_SUFFIX = ".lock"
_POLL_SECONDS = 0.1


def sibling(state_path: str, suffix: str) -> str:
    """A file beside the state file, named by the engine's rule for its outbox: "X.json" ->
    "X<suffix>", any other name gets it appended ("dir/.json" keeps its name whole)."""
    from bittensor_emberscope import monitor

    return monitor.beside_state(state_path, suffix)


def lock_path(state_path: str) -> str:
    return sibling(state_path, LOCK_SUFFIX)


def describe_kind(mode: int) -> str:
    """What a file of this mode is, in words ("a FIFO", "a directory", ...)."""
    for test, name in ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISDIR, "a directory"),
                       (stat.S_ISSOCK, "a socket"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device")):
        if test(mode):
            return name
    return "not a regular file"


class NotRegular(OSError):
    """A path that names something other than a regular file."""

    def __init__(self, path: str, mode: int) -> None:
        self.kind = describe_kind(mode)
        super().__init__(errno.EINVAL, f"{self.kind}, not a regular file", path)

    def __str__(self) -> str:
        return f"{self.filename} is {self.kind}, not a regular file"


def irregular(path: str) -> str | None:
    """Why `path` cannot be one of the command's files, or None (a regular file, or nothing)."""
    if not path:
        return None
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return None  # missing (or out of reach): the open that follows says so
    return None if stat.S_ISREG(mode) else str(NotRegular(path, mode))


def open_regular(path: str, flags: int, mode: int = 0o666) -> int:
    """os.open for a regular file only: a FIFO or a device is refused (NotRegular) instead of
    blocking the process; the descriptor returned is a blocking one, close-on-exec."""
    fd = os.open(path, flags | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC, mode)
    try:
        file_mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(file_mode):
            raise NotRegular(path, file_mode)
        os.set_blocking(fd, True)
    except BaseException:
        os.close(fd)
        raise
    return fd


def read_regular(path: str, limit: int = 1 << 20) -> bytes:
    """The first `limit` bytes of the regular file `path` (NotRegular, OSError otherwise)."""
    fd = open_regular(path, os.O_RDONLY)
    try:
        chunks, size = [], 0
        while size < limit and (chunk := os.read(fd, min(65536, limit - size))):
            chunks.append(chunk)
            size += len(chunk)
        return b"".join(chunks)
    finally:
        os.close(fd)


# The lock


class Busy(Exception):
    """The lock is held by another process: `pid` when it recorded one."""

    def __init__(self, path: str, pid: int | None) -> None:
        super().__init__(path, pid)
        self.path = path
        self.pid = pid

    @property
    def holder(self) -> str:
        return f"pid {self.pid}" if self.pid is not None else "another process"


def _recorded_pid(fd: int) -> int | None:
    try:
        text = os.pread(fd, 32, 0).decode("ascii", "replace").strip()
    except OSError:
        return None
    return int(text) if text.isdigit() else None


class StateLock:
    """An exclusive lock on the state file's lock file, recording this process's pid."""

    def __init__(self, state_path: str) -> None:
        self.path = lock_path(state_path)
        self._fd: int | None = None

    def acquire(self, wait_seconds: float = 0.0) -> None:
        """Take the lock, trying for up to `wait_seconds`; Busy names the holder when it cannot."""
        fd = open_regular(self.path, os.O_RDWR | os.O_CREAT)
        deadline = time.monotonic() + wait_seconds
        try:
            while True:
                try:
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    break
                except BlockingIOError:
                    if time.monotonic() >= deadline:
                        raise Busy(self.path, _recorded_pid(fd)) from None
                    time.sleep(_POLL_SECONDS)
            os.ftruncate(fd, 0)
            os.pwrite(fd, f"{os.getpid()}\n".encode("ascii"), 0)
        except BaseException:
            os.close(fd)
            raise
        self._fd = fd

    def release(self) -> None:
        if self._fd is None:
            return
        fd, self._fd = self._fd, None
        try:
            os.ftruncate(fd, 0)  # still held here: nobody else writes meanwhile
        except OSError:
            pass
        os.close(fd)

    def __enter__(self) -> StateLock:
        return self

    def __exit__(self, *exc: object) -> None:
        self.release()


def lock_holder(state_path: str) -> tuple[bool, int | None] | None:
    """Whether a process holds the lock right now, and the pid it recorded; None when that
    cannot be told (no lock file, or one this user cannot open). Never waits."""
    try:
        fd = open_regular(lock_path(state_path), os.O_RDONLY)
    except OSError:
        return None
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        except BlockingIOError:
            return True, _recorded_pid(fd)
        except OSError:
            return None
        fcntl.flock(fd, fcntl.LOCK_UN)
        return False, None
    finally:
        os.close(fd)
