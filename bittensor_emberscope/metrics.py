"""What `emberscope watch --metrics-listen` exports to Prometheus.

The metrics follow the cycles' reports: `observe` is called once after each cycle, in the
thread that runs the cycles, and the exposition is produced on demand by the server thread
(metrics_server.py) from a private registry of the `prometheus_client` library.
"""

from __future__ import annotations

import datetime as _dt
import ipaddress
import math
import threading
import time
from collections.abc import Callable, Iterator, Mapping

from prometheus_client import (CollectorRegistry, Counter, Gauge, disable_created_metrics,
                               generate_latest)
from prometheus_client.core import GaugeMetricFamily
from prometheus_client.gc_collector import GCCollector
from prometheus_client.platform_collector import PlatformCollector
from prometheus_client.process_collector import ProcessCollector
from prometheus_client.registry import Collector

from bittensor_emberscope import health, monitor
from bittensor_emberscope.metrics_server import MetricsServer, Response

__all__ = ["CONTENT_TYPE", "DEFAULT_HOST", "Exporter", "Metrics", "format_address", "parse_listen"]

DEFAULT_HOST = "127.0.0.1"
# The text format Prometheus reads, pinned: generate_latest writes this version.
CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"
TELEGRAM_RESULTS = ("sent", "refused", "failed")

# Without a `_created` series beside each counter: process_start_time_seconds tells when this
# process started counting.
disable_created_metrics()


# The listening address


def parse_listen(text: str) -> tuple[str, int]:
    """(host, port) of "ADDRESS:PORT", "[IPV6]:PORT", ":PORT" or "PORT"; the address defaults
    to the loopback 127.0.0.1 and must be an IP address (or "localhost"). Port 0 lets the system
    pick a free port. Raises ValueError with the reason."""
    text = text.strip()
    if text.startswith("["):
        host, sep, port = text[1:].partition("]:")
        if not sep:
            raise ValueError("is not [IPV6-ADDRESS]:PORT")
    elif text.count(":") > 1:
        raise ValueError("holds an IPv6 address without brackets; write [ADDRESS]:PORT")
    else:
        host, _, port = text.rpartition(":")
    if not (port.isascii() and port.isdigit()) or int(port) > 65535:
        raise ValueError("does not end in a port number from 0 to 65535")
    if not host or host == "localhost":
        host = DEFAULT_HOST
    else:
        try:
            address = ipaddress.ip_address(host)
        except ValueError:
            raise ValueError(f"has {host!r}, not an IP address") from None
        if isinstance(address, ipaddress.IPv6Address) and not text.startswith("["):
            raise ValueError("holds an IPv6 address without brackets; write [ADDRESS]:PORT")
        host = str(address)
    return host, int(port)


def format_address(address: tuple[str, int]) -> str:
    host, port = address[0], address[1]
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


# The metrics


def _seconds(stamp: object) -> float | None:
    moment = health.parse_utc(stamp)
    return moment.timestamp() if moment else None


def _number(text: str) -> float | None:
    try:
        value = float(text)
    except (TypeError, ValueError):
        return None
    return value if math.isfinite(value) else None


def _count(value: object) -> int:
    return value if isinstance(value, int) and not isinstance(value, bool) and value > 0 else 0


class _StoredValues(Collector):
    """The metrics read at scrape time: the stored values and the outbox's age."""

    def __init__(self, metrics: Metrics) -> None:
        self._metrics = metrics

    def collect(self) -> Iterator[GaugeMetricFamily]:
        m = self._metrics
        (burns, subnets), oldest = m._values, m._outbox_oldest  # replaced whole, never changed
        burn = GaugeMetricFamily(
            "emberscope_owner_burn",
            "Owner burn value of each subnet as last stored, unscaled (subnets whose value is "
            "not a number are left out)", labels=["netuid"])
        for netuid, value in burns:
            burn.add_metric([netuid], value)
        yield burn
        yield GaugeMetricFamily("emberscope_subnets", "Subnets with a stored owner burn value",
                                value=subnets)
        age = 0.0 if oldest is None else max(0.0, m._clock() - oldest)
        yield GaugeMetricFamily(
            "emberscope_outbox_oldest_age_seconds",
            "Age of the oldest message waiting for delivery in the outbox (0 when it is empty)",
            value=age)

    def describe(self) -> Iterator[GaugeMetricFamily]:
        return iter(())  # names depend on nothing but are produced at collect time


class Metrics:
    """The monitor's metrics in a registry of their own, fed with each cycle's report."""

    def __init__(self, state_path: str, *, clock: Callable[[], float] = time.time,
                 process: bool = True) -> None:
        self.state_path = state_path
        self._clock = clock
        self._lock = threading.Lock()
        # The stored values that are numbers, by netuid, and the number of stored values.
        self._values: tuple[tuple[tuple[str, float], ...], int] = ((), 0)
        self._outbox_oldest: float | None = None
        r = self.registry = CollectorRegistry()
        self.cycles = Counter("emberscope_cycles", "Cycles run by this process, by outcome",
                              ["outcome"], registry=r)
        for outcome in health.CYCLE_OUTCOMES:
            self.cycles.labels(outcome)
        self.changes = Counter("emberscope_changes",
                               "Owner burn changes beyond the threshold detected by this process",
                               registry=r)
        self.telegram = Counter(
            "emberscope_telegram_messages",
            "Telegram messages by result: sent, refused by Telegram, or failed (no usable answer "
            "in time); a message that failed stays in the outbox and is counted again when it "
            "is sent", ["result"], registry=r)
        for result in TELEGRAM_RESULTS:
            self.telegram.labels(result)
        self.last_cycle = Gauge("emberscope_last_cycle_timestamp_seconds",
                                "Unix time of the last cycle, whatever its outcome", registry=r)
        self.last_success = Gauge("emberscope_last_success_timestamp_seconds",
                                  "Unix time of the last cycle whose outcome was ok", registry=r)
        self.outbox = Gauge("emberscope_outbox_messages",
                            "Messages waiting for delivery in the outbox", registry=r)
        self.invalid_rows = Gauge("emberscope_invalid_rows",
                                  "Rows of the last listing that could not be read", registry=r)
        r.register(_StoredValues(self))
        if process:
            ProcessCollector(registry=r)
            PlatformCollector(registry=r)
            GCCollector(registry=r)
        self._load()

    def _load(self) -> None:
        """What the files already tell: the stored values and the last cycles before this start."""
        status = health.read_status(self.state_path) or {}
        for gauge, key in ((self.last_cycle, health.K_LAST_CYCLE),
                           (self.last_success, health.K_LAST_OK)):
            seconds = _seconds(status.get(key))
            if seconds is not None:
                gauge.set(seconds)
        self.outbox.set(_count(status.get(health.K_OUTBOX_SIZE)))
        self._outbox_oldest = _seconds(status.get(health.K_OUTBOX_OLDEST))
        self.invalid_rows.set(_count(status.get(health.K_INVALID_ROWS)))
        self._read_values()

    def _read_values(self) -> None:
        try:
            state = monitor.read_state(self.state_path)
        except (OSError, ValueError):
            return  # keep what was read before; the cycle reports the file's trouble
        burns = state[0] if state else {}
        numbers = ((netuid, _number(text)) for netuid, text in burns.items())
        self._values = (tuple(sorted(((k, v) for k, v in numbers if v is not None),
                                     key=lambda kv: (len(kv[0]), kv[0]))), len(burns))

    def observe(self, report: Mapping) -> None:
        """Count one cycle's report (of a watch cycle or of the start-up list)."""
        with self._lock:
            outcome = report.get("outcome") or health.OUTCOME_ERROR
            self.cycles.labels(outcome).inc()
            self.changes.inc(len(report.get("changes") or ()))
            self.telegram.labels("sent").inc(_count(report.get("delivered")))
            failure = report.get("telegram_failure")
            if failure in ("refused", "failed"):
                self.telegram.labels(failure).inc()
            now = _seconds(report.get("updated_at_utc")) or self._clock()
            self.last_cycle.set(now)
            if outcome == health.OUTCOME_OK:
                self.last_success.set(now)
            self.outbox.set(_count(report.get("outbox_size")))
            self._outbox_oldest = _seconds(report.get("outbox_oldest_utc"))
            self.invalid_rows.set(_count(report.get("invalid_rows")))
            self._read_values()

    def exposition(self) -> bytes:
        return generate_latest(self.registry)


# The exporter: the metrics and their server


HEALTHY_BODY = b"ok\n"


class Exporter:
    """The metrics of one `watch`, served over HTTP from a thread of their own."""

    def __init__(self, state_path: str, address: tuple[str, int], **server_options) -> None:
        self.metrics = Metrics(state_path)
        self.server = MetricsServer(address, self._answer, **server_options)

    def start(self) -> Exporter:
        """Listen and serve; raises OSError when the address cannot be used."""
        self.server.start()
        return self

    @property
    def address(self) -> tuple[str, int]:
        return self.server.address

    @property
    def url(self) -> str:
        return f"http://{format_address(self.address)}/metrics"

    def observe(self, report: Mapping) -> None:
        self.metrics.observe(report)

    def stop(self) -> None:
        self.server.stop()

    def _answer(self, path: str) -> Response:
        if path == "/metrics":
            return Response(200, self.metrics.exposition(), CONTENT_TYPE)
        if path == "/healthz":
            return health_response(health.read_status(self.metrics.state_path))
        return Response(404, b"not found: try /metrics or /healthz\n")


def health_response(status: Mapping | None, now: _dt.datetime | None = None) -> Response:
    """200 with "ok" when `emberscope status` would say healthy, else 503 with its reasons."""
    verdict = health.assess(status, now)
    if verdict.ok:
        return Response(200, HEALTHY_BODY)
    line = "unhealthy: " + "; ".join(" ".join(p.split()) for p in verdict.problems) + "\n"
    return Response(503, line.encode("utf-8", "replace"))
