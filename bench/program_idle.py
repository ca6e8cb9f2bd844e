"""The `emberscope` program at rest beside the floor, and its start-up beside a bare interpreter.

At rest: Taostats and Telegram stand-ins on 127.0.0.1 (threads of this process, the listing of
the stand-in's realistic rows, gzip offered), one state file with stored values each, and,
started together:

- the floor (build/bench/floor_idle: floor_cycle.cpp's libcurl + simdjson On-Demand + durable
  write, two cycles, then blocked on a read of its standard input);
- `emberscope watch` with the bot (its poller long-polls the stand-in's getUpdates);
- `emberscope watch --no-bot`.

Each `watch` starts over stored values with a 60-minute interval: its first cycle runs at once,
then it waits. Once every process has made its cycle, the window starts: per process, wake-ups
(voluntary context switches of every thread, /proc/PID/task/*/status) and CPU time
(/proc/PID/task/*/schedstat) over the window, and VmRSS (with its anonymous and file-backed
shares) at its end. Rounds are interleaved; medians are reported, and RSS as a ratio to the
floor's of the same round. Both talk plain HTTP to the stand-ins (the stand-ins have no TLS):
neither pays a TLS session, so the ratio compares the same work.

Start-up: `python3 -c pass` and `emberscope status | history | --help`, interleaved rounds,
the median wall time of each and its ratio to the bare interpreter.

Usage: python bench/program_idle.py [--seconds 60] [--rounds 3] [--starts 25] [--json OUT]
(scripts/bench builds build/bench/floor_idle.)
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from bittensor_emberscope.testing import TaostatsStandIn, TelegramStandIn

HERE = Path(__file__).resolve().parent
FLOOR = HERE.parent / "build" / "bench" / "floor_idle"
PROGRAM = Path(sys.executable).with_name("emberscope")
KEY = "bench-key"
TOKEN = "123456:BENCH-token"
CHAT = "-1001"
MIB = 1024 * 1024


def task_counts(pid: int) -> tuple[int, int]:
    """Voluntary context switches and CPU nanoseconds of every thread of `pid`."""
    switches = cpu = 0
    for task in Path(f"/proc/{pid}/task").iterdir():
        for line in (task / "status").read_text().splitlines():
            if line.startswith("voluntary_ctxt_switches:"):
                switches += int(line.split()[1])
        cpu += int((task / "schedstat").read_text().split()[0])
    return switches, cpu


def memory(pid: int) -> dict[str, int]:
    fields = {}
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        name, _, value = line.partition(":")
        if name in ("VmRSS", "RssAnon", "RssFile"):
            fields[name] = int(value.split()[0]) * 1024
    return fields


def mappings(pid: int, top: int = 8) -> list[tuple[str, int]]:
    """The largest resident mappings of `pid` by file (or [heap], [anon], ...), in bytes."""
    sizes: dict[str, int] = {}
    name = "[anon]"
    for line in Path(f"/proc/{pid}/smaps").read_text().splitlines():
        head = line.split()
        if head and "-" in head[0] and len(head) >= 5 and not head[0].endswith(":"):
            name = Path(head[5]).name if len(head) > 5 else "[anon]"
        elif head and head[0] == "Rss:":
            sizes[name] = sizes.get(name, 0) + int(head[1]) * 1024
    return sorted(sizes.items(), key=lambda item: -item[1])[:top]


def environment(state: Path, taostats: TaostatsStandIn, telegram: TelegramStandIn) -> dict:
    env = {k: v for k, v in os.environ.items() if not k.startswith(("EMBERSCOPE_", "TELEGRAM_"))}
    env.update(TAOSTATS_API_BASE=taostats.base_url, TAOSTATS_API_KEY=KEY,
               TELEGRAM_API_BASE=telegram.base_url, TELEGRAM_BOT_TOKEN=TOKEN,
               TELEGRAM_CHAT_ID=CHAT, EMBERSCOPE_STATE_FILE=str(state))
    return env


def wait_for(check, what: str, within: float = 60) -> None:
    deadline = time.monotonic() + within
    while not check():
        if time.monotonic() > deadline:
            sys.exit(f"program_idle: timed out waiting for {what}")
        time.sleep(0.05)


def one_round(seconds: float, taostats: TaostatsStandIn, telegram: TelegramStandIn) -> dict:
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        procs: dict[str, subprocess.Popen] = {}
        envs = {}
        for name in ("watch", "watch --no-bot"):
            state = work / name.replace(" ", "_") / "state.json"
            state.parent.mkdir()
            envs[name] = environment(state, taostats, telegram)
            subprocess.run([PROGRAM, "once"], env=envs[name], check=True, capture_output=True)
        floor_state = work / "floor.json"
        procs["floor"] = subprocess.Popen(
            [FLOOR, taostats.base_url + "/api/subnet/latest/v1?limit=1024&order=netuid_asc&page=1",
             KEY, str(floor_state)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        for name, env in envs.items():
            procs[name] = subprocess.Popen(
                [PROGRAM, *name.split(), "--interval-minutes", "60", "--verbose"], env=env,
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                text=True)
        try:
            if procs["floor"].stdout.readline().strip() != "idle":
                sys.exit("program_idle: the floor did not make its cycle")
            for name in envs:
                # The cycle's line ("[burn] ... next at HH:MM UTC", or the line about the rows
                # the stand-in's listing leaves out) says it is done.
                stream = procs[name].stderr
                while not ("next at" in (line := stream.readline()) or "[burn] listing:" in line):
                    if not line:
                        sys.exit(f"program_idle: {name} ended before its first cycle")
            time.sleep(2)  # the bot's start (getMe, setMyCommands, the first long poll)
            before = {name: task_counts(p.pid) for name, p in procs.items()}
            time.sleep(seconds)
            after = {name: task_counts(p.pid) for name, p in procs.items()}
            out = {}
            for name, p in procs.items():
                mem = memory(p.pid)
                out[name] = {"wakeups": after[name][0] - before[name][0],
                             "cpu_ns": after[name][1] - before[name][1],
                             "rss": mem["VmRSS"], "anon": mem["RssAnon"], "file": mem["RssFile"],
                             "mappings": mappings(p.pid)}
            return out
        finally:
            procs["floor"].stdin.close()
            for name, p in procs.items():
                if name != "floor":
                    p.terminate()
            for p in procs.values():
                p.wait(timeout=30)


def start_ups(rounds: int, state: Path) -> dict[str, list[float]]:
    state.write_text('{"1": "0.5"}\n')
    env = dict(os.environ, EMBERSCOPE_STATE_FILE=str(state))
    commands = {"python3 -c pass": [sys.executable, "-c", "pass"],
                "emberscope status": [PROGRAM, "status"],
                "emberscope history": [PROGRAM, "history"],
                "emberscope --help": [PROGRAM, "--help"]}
    times: dict[str, list[float]] = {name: [] for name in commands}
    for _ in range(rounds):
        for name, command in commands.items():
            began = time.perf_counter()
            subprocess.run(command, env=env, capture_output=True)
            times[name].append(time.perf_counter() - began)
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--starts", type=int, default=25)
    parser.add_argument("--json")
    args = parser.parse_args()
    if not FLOOR.exists():
        sys.exit(f"program_idle: {FLOOR} is missing (scripts/bench builds it)")

    rounds = []
    with TaostatsStandIn(require_key=KEY) as taostats, TelegramStandIn(token=TOKEN) as telegram:
        for _ in range(args.rounds):
            rounds.append(one_round(args.seconds, taostats, telegram))
    with tempfile.TemporaryDirectory() as tmp:
        starts = start_ups(args.starts, Path(tmp) / "state.json")

    print(f"At rest ({args.rounds} rounds of {args.seconds:.0f} s, medians; RSS after one cycle)")
    print()
    print("| process | wake-ups a second | CPU ms a minute | RSS | anon / file | RSS × floor |")
    print("|---|---:|---:|---:|---:|---:|")
    for name in ("floor", "watch", "watch --no-bot"):
        med = lambda key: statistics.median(r[name][key] for r in rounds)  # noqa: E731
        ratio = statistics.median(r[name]["rss"] / r["floor"]["rss"] for r in rounds)
        print(f"| {name} | {med('wakeups') / args.seconds:.3f} | "
              f"{med('cpu_ns') / 1e6 * 60 / args.seconds:.2f} | {med('rss') / MIB:.1f} MiB | "
              f"{med('anon') / MIB:.1f} / {med('file') / MIB:.1f} MiB | {ratio:.2f} |")
    print()
    print("Largest resident mappings (last round):")
    for name, figures in rounds[-1].items():
        shown = ", ".join(f"{file} {size / MIB:.1f}" for file, size in figures["mappings"])
        print(f"- {name}: {shown} MiB")
    print()
    base = statistics.median(starts["python3 -c pass"])
    print(f"Start-up ({args.starts} interleaved rounds)")
    print()
    print("| command | median | fastest | × bare |")
    print("|---|---:|---:|---:|")
    for name, times in starts.items():
        print(f"| `{name}` | {statistics.median(times) * 1000:.1f} ms | {min(times) * 1000:.1f} ms"
              f" | {statistics.median(times) / base:.2f} |")
    if args.json:
        Path(args.json).write_text(json.dumps({"rounds": rounds, "starts": starts}, indent=2))


if __name__ == "__main__":
    main()
