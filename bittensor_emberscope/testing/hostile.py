"""Clients that try to hold an HTTP server up, for the tests and the bench of the exporter:
request lines of a megabyte, slowloris clients that never finish their request head, and
crowds of connections that send nothing. Each runs in a daemon thread, again and again, until
stopped."""

from __future__ import annotations

import socket
import threading

__all__ = ["HostileClients"]

MEGABYTE_LINE = b"GET /" + b"a" * (1 << 20)


class HostileClients:
    """`huge` senders of megabyte request lines, `slow` slowloris clients and one crowd of
    `crowd` connections at a time, against `address`, until stop()."""

    def __init__(self, address: tuple[str, int], *, huge: int = 3, slow: int = 2,
                 crowd: int = 100) -> None:
        self.address = address
        self.crowd_size = crowd
        self._stop = threading.Event()
        targets = [self._huge_line] * huge + [self._slowloris] * slow + [self._crowd]
        self._threads = [threading.Thread(target=t, daemon=True) for t in targets]

    def __enter__(self) -> HostileClients:
        for t in self._threads:
            t.start()
        return self

    def __exit__(self, *exc) -> None:
        self.stop()

    def stop(self) -> None:
        self._stop.set()
        for t in self._threads:
            t.join(30)

    def _connect(self) -> socket.socket:
        return socket.create_connection(self.address, timeout=5)

    def _huge_line(self) -> None:
        line = memoryview(MEGABYTE_LINE)
        while not self._stop.is_set():
            try:
                with self._connect() as s:
                    view = line
                    while view and not self._stop.is_set():
                        view = view[s.send(view):]
            except OSError:
                pass  # closed by the server: the rest was never read

    def _slowloris(self) -> None:
        while not self._stop.is_set():
            try:
                with self._connect() as s:
                    s.sendall(b"GET /metrics HTTP/1.1\r\n")
                    while not self._stop.wait(0.5):
                        s.sendall(b"X-a: b\r\n")
            except OSError:
                pass

    def _crowd(self) -> None:
        while not self._stop.is_set():
            held = []
            try:
                for _ in range(self.crowd_size):
                    held.append(self._connect())
            except OSError:
                pass
            self._stop.wait(1.0)
            for s in held:
                s.close()
