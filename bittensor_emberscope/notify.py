"""systemd's notification protocol, spoken directly: one datagram per message to the socket
named by NOTIFY_SOCKET (an `@` at its start names the abstract namespace).

Nothing is sent, and nothing fails, when the variable is unset: outside a `Type=notify`
service the calls do nothing. A notification that cannot be sent is dropped; the monitor's
work never depends on it.
"""

from __future__ import annotations

import os
import socket
import threading
import time

__all__ = ["Notifier", "CycleWatchdog"]


class Notifier:
    def __init__(self, environ: dict[str, str] | None = None) -> None:
        env = os.environ if environ is None else environ
        address = env.get("NOTIFY_SOCKET", "")
        self._address: str | bytes | None = None
        if address.startswith("@"):
            self._address = b"\0" + address[1:].encode()
        elif address.startswith("/"):
            self._address = address
        self._socket: socket.socket | None = None
        self._lock = threading.Lock()
        # The watchdog interval systemd asks for, when it is meant for this process.
        self.watchdog_seconds: float | None = None
        usec, pid = env.get("WATCHDOG_USEC", ""), env.get("WATCHDOG_PID", "")
        if usec.isdigit() and int(usec) > 0 and (not pid or pid == str(os.getpid())):
            self.watchdog_seconds = int(usec) / 1_000_000

    @property
    def enabled(self) -> bool:
        return self._address is not None

    def send(self, **fields: str) -> bool:
        """Send FIELD=value lines (READY="1", STATUS="..."); whether the datagram went out."""
        if self._address is None:
            return False
        message = "\n".join(f"{name}={str(value).replace(chr(10), ' ')}"
                            for name, value in fields.items()).encode("utf-8", "replace")
        with self._lock:
            try:
                if self._socket is None:
                    self._socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM | socket.SOCK_CLOEXEC)
                self._socket.sendto(message, self._address)
                return True
            except OSError:
                return False

    def ready(self, status: str) -> None:
        self.send(READY="1", STATUS=status)

    def status(self, status: str) -> None:
        self.send(STATUS=status)

    def watchdog(self) -> None:
        self.send(WATCHDOG="1")

    def stopping(self, status: str) -> None:
        self.send(STOPPING="1", STATUS=status)

    def close(self) -> None:
        with self._lock:
            if self._socket is not None:
                self._socket.close()
                self._socket = None


class CycleWatchdog:
    """Keeps systemd's watchdog fed while a cycle runs, for at most `limit` seconds.

    Between cycles the loop feeds the watchdog itself from its waits, and this thread sleeps. A cycle can
    legitimately take minutes (rate-limit retries, slow answers), longer than a watchdog
    interval that catches a stuck wait quickly; this thread covers the cycle, and stops
    covering it after `limit`, so a cycle stuck for good still gets the process restarted.
    """

    def __init__(self, notifier: Notifier, limit: float) -> None:
        self._notifier = notifier
        self._limit = limit
        self._until = 0.0
        self._wake = threading.Condition()
        self._thread: threading.Thread | None = None
        if notifier.enabled and notifier.watchdog_seconds:
            self._period = max(0.5, notifier.watchdog_seconds / 3)
            self._thread = threading.Thread(target=self._run, name="emberscope-watchdog",
                                            daemon=True)
            self._thread.start()

    def _run(self) -> None:
        with self._wake:
            while True:
                if time.monotonic() >= self._until:
                    self._wake.wait()  # no cycle under way: asleep until one begins
                    continue
                self._wake.wait(self._period)
                if time.monotonic() < self._until:
                    self._notifier.watchdog()

    def __enter__(self) -> CycleWatchdog:
        with self._wake:
            self._until = time.monotonic() + self._limit
            self._wake.notify()
        return self

    def __exit__(self, *exc: object) -> None:
        with self._wake:
            self._until = 0.0
