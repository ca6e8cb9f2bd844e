"""The command's cycle over loopback HTTP, side by side in one run: the engine on its POSIX
services (libcurl, the interpreter's lock released), the same engine built from an earlier commit
on the host's urllib (`--before`), and a plain-Python script doing the same cycle (urllib GET,
json.loads, comparison with the stored values, atomic write of the state file).

The Taostats stand-in serves 1,024 realistic rows on 127.0.0.1, gzip-compressed to a client that
offers gzip, and keeps its connections. Each round runs one cycle of each implementation,
interleaved; the CPU figure is the calling thread's (time.thread_time), so the stand-in's own
threads are not counted, and the figure kept is the median over the rounds. Bytes on the wire are
the listing bytes the stand-in wrote for one cycle of each client.

Start-up: the `emberscope` program's `status`, and `python -m bittensor_emberscope status` (the
interpreter starts, then execs the program), against a bare interpreter start (python -c pass),
interleaved, wall time of the child process, median over the rounds.

With --tls the cycles run once more against the stand-in behind TLS (a certificate made with the
openssl command, trusted through SSL_CERT_FILE), where a kept connection saves a handshake.

Usage: python bench/native_cycle.py [--rounds 30] [--tls] [--before build/before/monitor....so]
"""

from __future__ import annotations

import argparse
import functools
import importlib
import json
import os
import pathlib
import ssl
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from harness import machine  # noqa: E402
from bittensor_emberscope import monitor  # noqa: E402
from bittensor_emberscope.testing import TaostatsStandIn, TelegramStandIn  # noqa: E402
from bittensor_emberscope.testing.listings import realistic_rows  # noqa: E402

ROWS = 1024
KEY = "bench-key-0123456789"
TOKEN = "123456:bench-token"
CHAT = "-1001234567890"
THRESHOLD = 0.01


@functools.cache
def load_before(path: str):
    """A monitor module built from an earlier commit, loaded beside the current one (once: a
    module of this kind loads once per process)."""
    # Found as the top-level module "monitor" in its own folder, beside the package's.
    folder = os.path.dirname(os.path.abspath(path))
    sys.path.insert(0, folder)
    try:
        return importlib.import_module("monitor")
    finally:
        sys.path.remove(folder)


def plain_cycle(base: str, state_path: str) -> int:
    """The cycle as a plain Python script does it; returns the number of changes."""
    request = urllib.request.Request(
        base + "/api/subnet/latest/v1?limit=1024&order=netuid_asc",
        headers={"Authorization": KEY, "Accept": "application/json"})
    # A plain script's context for https: the default one, trusting the bench's certificate.
    context = (ssl.create_default_context(cafile=os.environ["SSL_CERT_FILE"])
               if base.startswith("https:") else None)
    with urllib.request.urlopen(request, timeout=60, context=context) as response:
        document = json.loads(response.read())
    current = {str(row["netuid"]): str(row.get("incentive_burn", "0"))
               for row in document["data"]}
    try:
        with open(state_path, encoding="utf-8") as f:
            previous = json.load(f)["owner_burn_rate"]
    except (OSError, ValueError, KeyError):
        previous = {}
    changes = 0
    for netuid, text in current.items():
        old = previous.get(netuid)
        try:
            if old is not None and abs(float(text) - float(old)) > THRESHOLD:
                changes += 1
        except ValueError:
            changes += old != text
    directory = os.path.dirname(state_path)
    fd, temp = tempfile.mkstemp(dir=directory, prefix=".state.", suffix=".tmp")
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        json.dump({"owner_burn_rate": current, "updated_at_utc": "2026-12-08T00:00:00Z"}, f)
        f.flush()
        os.fsync(f.fileno())
    os.replace(temp, state_path)
    return changes


def engine_cycle(module, state_path: str) -> dict:
    report = module.run_cycle(state_path=state_path, threshold=THRESHOLD, burn_token=TOKEN,
                              burn_chat_id=CHAT, pause_path="", interval_seconds=300)
    # Rows without an owner burn are left out of the watch (counted, not compared).
    if report["outcome"] != "ok" or report["subnets"] + report["invalid_rows"] != ROWS:
        raise RuntimeError(f"the cycle did not run as it should: {report['detail']}")
    return report


def cpu_of(call) -> float:
    started = time.thread_time()
    call()
    return time.thread_time() - started


def make_certificate(directory: str) -> None:
    """A self-signed certificate for 127.0.0.1 that SSL_CERT_FILE names from now on. Made before
    any cycle runs: the host's opener makes its one TLS context at its first exchange."""
    cert, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    # what the host's strict verification asks of a certificate that is its own CA
                    "-addext", "basicConstraints=critical,CA:TRUE",
                    "-addext", "keyUsage=critical,digitalSignature,keyCertSign",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    os.environ["SSL_CERT_FILE"] = cert


def serve_tls(api: TaostatsStandIn) -> str:
    """Puts the stand-in behind TLS with the certificate SSL_CERT_FILE names; returns its
    https origin."""
    cert = os.environ["SSL_CERT_FILE"]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, os.path.join(os.path.dirname(cert), "key.pem"))
    api._server.socket = context.wrap_socket(api._server.socket, server_side=True)
    return f"https://127.0.0.1:{api.port}"


def cycles(rounds: int, before_path: str | None, tls: bool = False) -> dict:
    before = load_before(before_path) if before_path else None
    out: dict[str, list[float]] = {"native": [], "plain": []}
    if before:
        out["before"] = []
    wire: dict[str, int] = {}
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as d, \
            TaostatsStandIn(rows=realistic_rows(ROWS, 0), keep_alive=True) as api, \
            TelegramStandIn(keep_alive=True) as bot:
        base = serve_tls(api) if tls else api.base_url
        os.environ.update(TAOSTATS_API_BASE=base, TAOSTATS_API_KEY=KEY,
                          TELEGRAM_API_BASE=bot.base_url)
        states = {name: os.path.join(d, f"{name}.json") for name in out}
        runs = {
            "native": lambda: engine_cycle(monitor, states["native"]),
            "plain": lambda: plain_cycle(base, states["plain"]),
        }
        if before:
            runs["before"] = lambda: engine_cycle(before, states["before"])
        for name, run in list(runs.items()):  # warm: state files written, connections open
            sent = api.body_bytes_sent
            try:
                run()
            except Exception as e:  # noqa: BLE001 - reported, and that client left out
                print(f"{name} cannot run{' over TLS' if tls else ''}: {e}", file=sys.stderr)
                del runs[name], out[name]
                continue
            wire[name] = api.body_bytes_sent - sent
        for _ in range(rounds):
            for name, run in runs.items():
                out[name].append(cpu_of(run))
        plain_body = len(json.dumps(api.listing("limit=1024")).encode())
    return {"cpu": {k: statistics.median(v) for k, v in out.items()},
            "cpu_ratio_plain_over_native": statistics.median(
                p / n for p, n in zip(out["plain"], out["native"])),
            "cpu_ratio_before_over_native": statistics.median(
                b / n for b, n in zip(out["before"], out["native"])) if "before" in out else None,
            "wire_bytes": wire, "plain_body_bytes": plain_body, "rounds": rounds, "tls": tls}


def startup(rounds: int) -> dict:
    with tempfile.TemporaryDirectory() as d:
        env = {k: v for k, v in os.environ.items() if not k.startswith(("EMBERSCOPE_", "TAOSTATS_"))}
        env.update(HOME=d, EMBERSCOPE_STATE_FILE=os.path.join(d, "state.json"))
        commands = {
            "bare": [sys.executable, "-c", "pass"],
            "status": [os.path.join(os.path.dirname(sys.executable), "emberscope"), "status"],
            "status_through_python_m": [sys.executable, "-m", "bittensor_emberscope", "status"],
        }
        times: dict[str, list[float]] = {k: [] for k in commands}
        for _ in range(rounds):
            for name, command in commands.items():
                started = time.perf_counter()
                subprocess.run(command, env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, check=False)
                times[name].append(time.perf_counter() - started)
    return {"seconds": {k: statistics.median(v) for k, v in times.items()},
            "status_over_bare": statistics.median(
                s / b for s, b in zip(times["status"], times["bare"])),
            "python_m_over_bare": statistics.median(
                s / b for s, b in zip(times["status_through_python_m"], times["bare"])),
            "rounds": rounds}


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rounds", type=int, default=30)
    p.add_argument("--before", help="a monitor module built from an earlier commit")
    p.add_argument("--tls", action="store_true",
                   help="also over loopback HTTPS (a self-signed certificate made with openssl)")
    p.add_argument("--json", help="write the figures to this file")
    args = p.parse_args()
    certificates = tempfile.TemporaryDirectory()
    if args.tls:
        make_certificate(certificates.name)
    result = {"machine": machine(), "cycle": cycles(args.rounds, args.before),
              "startup": startup(max(10, args.rounds // 2))}
    if args.tls:
        result["cycle_tls"] = cycles(args.rounds, args.before, tls=True)
    s = result["startup"]
    print(f"machine: {result['machine']}")
    for key in ("cycle", "cycle_tls"):
        if key not in result:
            continue
        c = result[key]
        print(f"CPU per cycle at {ROWS} rows over loopback {'HTTPS' if c['tls'] else 'HTTP'} "
              f"(median of {c['rounds']} rounds, calling thread):")
        for name, seconds in c["cpu"].items():
            print(f"  {name:<8} {seconds * 1e3:8.2f} ms")
        print(f"  plain / native: {c['cpu_ratio_plain_over_native']:.2f}x")
        if c["cpu_ratio_before_over_native"] is not None:
            print(f"  before / native: {c['cpu_ratio_before_over_native']:.2f}x")
        print(f"  listing bytes on the wire: {c['wire_bytes']} (plain body {c['plain_body_bytes']}: "
              f"native {c['wire_bytes']['native'] / c['plain_body_bytes']:.1%})")
    print("start-up (median wall time of the child):")
    for name, seconds in s["seconds"].items():
        print(f"  {name:<24} {seconds * 1e3:8.1f} ms")
    print(f"  status / bare: {s['status_over_bare']:.2f}x; through python -m: "
          f"{s['python_m_over_bare']:.2f}x")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(result, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
