"""The console of the `emberscope` command: standard error with its time stamps, for the
command's own lines and the engine's alike, and standard output for what a command shows."""

from __future__ import annotations

import contextlib
import datetime
import os
import sys
from collections.abc import Iterator

from bittensor_emberscope import health

PROG = "emberscope"


def _say(line: str) -> None:
    sys.stderr.write(line + "\n")


class _Console:
    """Standard error while a command runs, for its own lines and the engine's alike: every line
    starts with the UTC time unless the journal stamps lines itself (JOURNAL_STREAM), a text that
    cannot be encoded is escaped rather than raised, and a standard error that cannot be written
    loses the line, never the monitor. `lines` counts the lines written."""

    def __init__(self, stream) -> None:
        self._stream = stream
        self._at_line_start = True
        self.stamped = not os.environ.get("JOURNAL_STREAM")
        self.lines = 0

    def write(self, text: str) -> int:
        pieces = []
        start = 0
        while start < len(text):
            end = text.find("\n", start)
            piece = text[start:] if end < 0 else text[start:end + 1]
            if self._at_line_start and self.stamped:
                pieces.append(health.format_utc(_utc_now()) + " ")
            pieces.append(piece)
            self._at_line_start = end >= 0
            self.lines += end >= 0
            start += len(piece)
        out = "".join(pieces)
        try:
            try:
                self._stream.write(out)
            except UnicodeEncodeError:
                encoding = getattr(self._stream, "encoding", None) or "utf-8"
                self._stream.write(out.encode(encoding, "backslashreplace").decode(encoding))
            self._stream.flush()
        except (OSError, ValueError):
            pass
        return len(text)

    def flush(self) -> None:
        try:
            self._stream.flush()
        except (OSError, ValueError):
            pass

    def __getattr__(self, name: str):
        return getattr(self._stream, name)


@contextlib.contextmanager
def _console() -> Iterator[_Console]:
    """Standard error replaced by a _Console while the block runs (the one in place, if any)."""
    saved = sys.stderr
    if isinstance(saved, _Console):
        yield saved
        return
    console = _Console(saved)
    sys.stderr = console
    try:
        yield console
    finally:
        sys.stderr = saved


def _utc_now() -> datetime.datetime:
    return datetime.datetime.now(datetime.timezone.utc)


# Standard output: a closed pipe ends the command quietly, a failed write with one line.


class _OutputClosed(Exception):
    pass


class _OutputFailed(Exception):
    pass


def _out(text: str) -> None:
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        raise _OutputClosed() from None
    except OSError as e:
        raise _OutputFailed(e.strerror or str(e)) from None


def _silence_stdout() -> None:
    # What is still buffered would fail again when the interpreter flushes at exit.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass
