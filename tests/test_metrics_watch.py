"""`emberscope watch --metrics-listen`: scraped by a real Prometheus, its health as `status`
judges it, and clients that try to hold it up while the cycles go on."""

from __future__ import annotations

import json
import re
import socket
import subprocess
import sys
import time
import urllib.parse
import urllib.request
from pathlib import Path

import pytest

from bittensor_emberscope.testing import Answer
from bittensor_emberscope.testing.hostile import HostileClients
from test_cli import FAST_COMMAND, LISTED, run, unstamp_all, env, taostats, telegram, watches  # noqa: F401 (fixtures)

PROMETHEUS = Path("/usr/bin/prometheus")
PROMTOOL = Path("/usr/bin/promtool")
METRICS_LINE = "[burn] metrics at http://"
# Each cycle of the realistic listing says which rows it left out, in place of its summary.
CYCLE_LINE = "[burn] listing: "


def metrics_address(w) -> str:
    line = w.wait_line(METRICS_LINE)
    return re.fullmatch(r"\[burn\] metrics at http://(.+)/metrics\n", line).group(1)


def get(address: str, path: str) -> tuple[int, bytes]:
    try:
        with urllib.request.urlopen(f"http://{address}{path}", timeout=10) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


def probe_get(address: str, path: str) -> tuple[int, bytes]:
    """get(), with (0, b"") when the connection was refused or closed: for waiting."""
    try:
        return get(address, path)
    except OSError:
        return 0, b""


def wait_for(probe, what: str, timeout: float = 60.0):
    """The first true value of `probe()`, tried until `timeout` seconds have passed."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = probe()
        if value:
            return value
        time.sleep(0.1)
    pytest.fail(f"timed out waiting for {what}")


def sample(body: bytes, name: str) -> float | None:
    m = re.search(rb"^" + re.escape(name.encode()) + rb" (\S+)$", body, re.M)
    return float(m.group(1)) if m else None


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# Settings


def test_the_program_that_serves_the_metrics_loads_no_interpreter():
    # The daemon is one native program: the exposition is prometheus-cpp's, not a Python
    # package's, and nothing of an interpreter is linked in.
    program = Path(sys.executable).with_name("emberscope")
    dynamic = subprocess.run(["readelf", "--dynamic", str(program)], capture_output=True,
                             text=True, timeout=60).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
    assert needed and not [name for name in needed if "python" in name], needed


@pytest.mark.parametrize("args, environment, message", [
    (["--metrics-listen", "nine"], {},
     "--metrics-listen: 'nine' does not end in a port number from 0 to 65535"),
    (["--metrics-listen", "example.org:9101"], {},
     "--metrics-listen: 'example.org:9101' has 'example.org', not an IP address"),
    ([], {"EMBERSCOPE_METRICS_LISTEN": "[::1]"},
     "EMBERSCOPE_METRICS_LISTEN: '[::1]' is not [IPV6-ADDRESS]:PORT"),
])
def test_a_bad_address_is_a_usage_error(env, taostats, args, environment, message):
    env.update(environment)
    done = run("watch", *args, env=env)
    assert done.returncode == 2
    assert done.stderr.endswith(f"emberscope watch: error: {message}\n")
    assert taostats.requests == []


def test_an_address_in_use_stops_the_start(env, taostats, telegram):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        done = run("watch", "--metrics-listen", str(port), env=env)
    assert (done.returncode, unstamp_all(done.stderr)) == (
        2, f"emberscope watch: error: --metrics-listen: cannot listen on 127.0.0.1:{port}: "
           "Address already in use\n")
    assert (taostats.requests, telegram.requests) == ([], [])


def test_ipv6_loopback(env, watches):
    try:
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
    except OSError:
        pytest.skip("no IPv6 loopback here")
    w = watches("--no-snapshot", "--metrics-listen", "[::1]:0", env=env)
    address = metrics_address(w)
    assert address.startswith("[::1]:")
    status, body = get(address, "/metrics")
    assert status == 200 and b"# TYPE emberscope_cycles_total counter\n" in body


# A real Prometheus


@pytest.mark.skipif(not (PROMETHEUS.exists() and PROMTOOL.exists()),
                    reason="Prometheus is not installed (Debian package prometheus)")
def test_prometheus_scrapes_what_the_cycles_saw(env, taostats, telegram, tmp_path, watches):
    taostats.set_burn(7, "0.625")
    w = watches("--metrics-listen", "127.0.0.1:0", env=env, command=FAST_COMMAND)
    address = metrics_address(w)
    body = wait_for(lambda: (lambda b: sample(b, 'emberscope_cycles_total{outcome="ok"}')
                             and b)(get(address, "/metrics")[1]), "a cycle")

    lint = subprocess.run([str(PROMTOOL), "check", "metrics"], input=body, capture_output=True,
                          timeout=60)
    assert (lint.returncode, lint.stdout, lint.stderr) == (0, b"", b"")

    (tmp_path / "prometheus.yml").write_text(
        "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
        "scrape_configs:\n  - job_name: emberscope\n    static_configs:\n"
        f"      - targets: ['{address}']\n", encoding="utf-8")
    port = free_port()
    with open(tmp_path / "prometheus.log", "wb") as log:
        server = subprocess.Popen(
            [str(PROMETHEUS), f"--config.file={tmp_path / 'prometheus.yml'}",
             f"--storage.tsdb.path={tmp_path / 'data'}", f"--web.listen-address=127.0.0.1:{port}"],
            stdout=log, stderr=subprocess.STDOUT, cwd=tmp_path)
    try:
        def query(expression: str) -> list[dict]:
            url = (f"http://127.0.0.1:{port}/api/v1/query?"
                   + urllib.parse.urlencode({"query": expression}))
            try:
                with urllib.request.urlopen(url, timeout=10) as r:
                    answer = json.load(r)
            except OSError:
                return []  # not listening yet
            assert answer["status"] == "success", answer
            return answer["data"]["result"]

        def value(expression: str) -> float | None:
            result = query(expression)
            return float(result[0]["value"][1]) if result else None

        wait_for(lambda: value('up{job="emberscope"}') == 1, "a scrape", timeout=120)
        assert value("emberscope_subnets") == LISTED
        assert value('emberscope_owner_burn{netuid="7"}') == 0.625
        assert len(query("emberscope_owner_burn")) == LISTED
        assert value('emberscope_telegram_messages_total{result="sent"}') >= 1
        assert value('emberscope_cycles_total{outcome="ok"}') >= 1
        assert value('emberscope_cycles_total{outcome="fetch_failed"}') == 0
        assert value("emberscope_outbox_messages") == 0
        assert value("time() - emberscope_last_success_timestamp_seconds") < 600
        assert value("process_resident_memory_bytes") > 0
    finally:
        server.terminate()
        try:
            server.wait(30)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()


# Health


def test_healthz_turns_unhealthy_after_three_failed_fetches_and_back(env, taostats, watches):
    w = watches("--no-snapshot", "--metrics-listen", "127.0.0.1:0", env=env, command=FAST_COMMAND)
    address = metrics_address(w)
    wait_for(lambda: get(address, "/healthz") == (200, b"ok\n"), "a healthy start")
    taostats.default = Answer.json({"message": "Unauthorized"}, 401)
    status, body = wait_for(lambda: (lambda a: a[0] == 503 and a)(get(address, "/healthz")),
                            "an unhealthy answer")
    assert re.fullmatch(rb"unhealthy: failing: the last [3-9] cycles failed \(fetch_failed: .+\)\n",
                        body), body
    metrics = get(address, "/metrics")[1]
    assert sample(metrics, 'emberscope_cycles_total{outcome="fetch_failed"}') >= 3
    taostats.default = None
    wait_for(lambda: get(address, "/healthz") == (200, b"ok\n"), "health after a good cycle")


# Clients that would hold the monitor up


def vm_kib(pid: int, field: str) -> int:
    with open(f"/proc/{pid}/status", encoding="ascii") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise AssertionError(f"no {field} in /proc/{pid}/status")


def test_hostile_clients_neither_stall_the_cycles_nor_grow_the_monitor(env, taostats, watches):
    w = watches("--no-snapshot", "--verbose", "--metrics-listen", "127.0.0.1:0", env=env,
                command=FAST_COMMAND)
    host, port = metrics_address(w).rsplit(":", 1)
    address = (host, int(port))
    w.wait_line(CYCLE_LINE)
    started = time.monotonic()
    for _ in range(4):
        w.wait_line(CYCLE_LINE)
    undisturbed = time.monotonic() - started
    baseline = vm_kib(w.proc.pid, "VmHWM")

    with HostileClients(address):
        started = time.monotonic()
        for _ in range(4):
            w.wait_line(CYCLE_LINE)
        disturbed = time.monotonic() - started
        grown = vm_kib(w.proc.pid, "VmHWM") - baseline
    # Three clients sent a megabyte each, again and again; none of it was kept (a server that
    # kept what it was sent grows by about 8 MiB here).
    assert grown < 4 * 1024, f"peak memory grew by {grown} KiB"
    # The cycles kept their pace (loosely: this machine is shared).
    assert disturbed < 4 * undisturbed + 10, (undisturbed, disturbed)
    # A cycle's listing line comes before the cycle ends and is counted: the ninth is counted
    # once that cycle is over.
    def nine_counted():
        status, body = probe_get(f"{host}:{port}", "/metrics")
        return status == 200 and (sample(body, 'emberscope_cycles_total{outcome="ok"}') or 0) >= 9

    assert wait_for(nine_counted, "nine cycles counted once the clients left")
