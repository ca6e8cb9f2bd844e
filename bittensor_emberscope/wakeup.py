"""What ends a wait of `emberscope watch` early, besides the pause file and the clock.

One socket pair: the interpreter's signal handler writes each signal's number into it
(`signal.set_wakeup_fd`), so a signal ends the wait at once whatever thread the kernel gave it
to; the bot's poller thread writes a zero byte when an update arrived. The monitor's wait
(`monitor.wait`) sleeps until the reading end is readable, among its other reasons.
"""

from __future__ import annotations

import signal
import socket

__all__ = ["Wakeup"]

BOT_BYTE = b"\0"  # no signal has the number 0


class Wakeup:
    def __init__(self) -> None:
        self._reader, self._writer = socket.socketpair()
        self._reader.setblocking(False)
        self._writer.setblocking(False)
        self._previous: int | None = None
        try:
            # A full buffer already holds a wake-up: the missing byte is no loss.
            self._previous = signal.set_wakeup_fd(self._writer.fileno(), warn_on_full_buffer=False)
        except ValueError:  # not the main thread: its signals are not this thread's to see
            pass

    def fileno(self) -> int:
        """The descriptor to wait on."""
        return self._reader.fileno()

    def poke(self) -> None:
        """End the wait under way, or the next one (any thread)."""
        try:
            self._writer.send(BOT_BYTE)
        except OSError:  # full (a wake-up is pending anyway) or closed (the watch is ending)
            pass

    def drain(self) -> tuple[bool, bool]:
        """Reads what is pending: (a signal came, the bot poked)."""
        signalled = poked = False
        while True:
            try:
                data = self._reader.recv(4096)
            except (BlockingIOError, InterruptedError):
                break
            except OSError:
                break
            if not data:
                break
            poked = poked or BOT_BYTE in data
            signalled = signalled or any(data)
        return signalled, poked

    def close(self) -> None:
        if self._previous is not None:
            try:
                signal.set_wakeup_fd(self._previous)
            except ValueError:
                pass
            self._previous = None
        self._writer.close()
        self._reader.close()
