"""`emberscope watch` at rest, side by side with a plain-Python sleeper, and the start-up of the
operator's commands against a bare interpreter.

Idle: one state file with stored values, Taostats and Telegram stand-ins on 127.0.0.1 (threads
of this process), and, started together and watched over the same window:

- the `emberscope` program's `watch`, with its bot and without (--no-bot);
- a plain-Python loop that looks for the pause file and sleeps a second, for reference.

Each `watch` starts over the stored values (the stand-in's own: nothing to alert) with a
60-minute interval: it runs its first cycle at once, as after a restart (so libcurl is loaded,
as in any watch that has made a cycle), then spends the window waiting. Per process and per
thread: wake-ups (voluntary context switches, /proc/PID/task/*/status), CPU time
(/proc/PID/task/*/schedstat, nanoseconds), and resident memory (VmRSS, with its anonymous and
file-backed shares, and the largest mappings of /proc/PID/smaps). At the end the pause file is
created and the time each process takes to end is recorded.

Start-up: `python -c pass`, the program's `status | history | --help`, and `python -m
bittensor_emberscope status` (which execs the program), interleaved; the median wall time of
each.

Usage: python bench/watch_idle.py [--seconds 60] [--rounds 15] [--json OUT]
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

from bittensor_emberscope.testing import TaostatsStandIn, TelegramStandIn

KEY, TOKEN, CHAT = "bench-key", "42:bench-token", "-1001"
PROGRAM = os.path.join(os.path.dirname(sys.executable), "emberscope")
SLEEPER = ("import os, sys, time\n"
           "while not os.path.isfile(sys.argv[1]):\n"
           "    time.sleep(1)\n")


def tasks(pid: int) -> dict[int, dict]:
    """Per thread: name, voluntary switches, CPU nanoseconds."""
    out = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                fields = dict(line.split(":", 1) for line in f if ":" in line)
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                cpu_ns = int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            continue
        out[int(tid)] = {"name": fields["Name"].strip(),
                         "switches": int(fields["voluntary_ctxt_switches"]),
                         "cpu_ns": cpu_ns}
    return out


def memory(pid: int) -> dict:
    with open(f"/proc/{pid}/status") as f:
        fields = dict(line.split(":", 1) for line in f if ":" in line)
    kib = {k: int(fields[k].split()[0]) for k in ("VmRSS", "RssAnon", "RssFile")}
    mappings: dict[str, int] = {}
    name = ""
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            head = line.split()
            if not head:
                continue
            if "-" in head[0] and not head[0].endswith(":"):
                name = head[5] if len(head) > 5 else "[anon]"
                if name.startswith("/"):
                    name = os.path.basename(name)
            elif head[0] == "Rss:":
                mappings[name] = mappings.get(name, 0) + int(head[1])
    top = sorted(mappings.items(), key=lambda kv: -kv[1])[:8]
    return {"rss_kib": kib["VmRSS"], "anon_kib": kib["RssAnon"], "file_kib": kib["RssFile"],
            "largest": top}


def cached_bytecode() -> dict[str, str]:
    """The environment with bytecode caching on, in a temporary folder: an installed package
    runs from its cached bytecode, and compiling every module at each start (as with
    PYTHONDONTWRITEBYTECODE) would count the compiler's time and memory as the command's."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}
    env["PYTHONPYCACHEPREFIX"] = CACHE
    return env


CACHE = tempfile.mkdtemp(prefix="emberscope-pyc-")


def idle(seconds: float) -> list[dict]:
    folder = tempfile.mkdtemp(prefix="emberscope-idle-")
    py = sys.executable
    with TaostatsStandIn(require_key=KEY) as taostats, TelegramStandIn(token=TOKEN) as telegram:
        state = os.path.join(folder, "state.json")
        with open(state, "w") as f:
            json.dump({"owner_burn_rate": {str(r["netuid"]): str(r.get("incentive_burn", 0))
                                           for r in taostats.listing()["data"]},
                       "updated_at_utc": "2026-12-08T00:00:00Z"}, f)
        pause = os.path.join(folder, "pause")
        env = {k: v for k, v in cached_bytecode().items()
               if not k.startswith(("EMBERSCOPE_", "TAOSTATS_", "TELEGRAM_", "NOTIFY_", "WATCHDOG_"))}
        env.update(TAOSTATS_API_BASE=taostats.base_url, TAOSTATS_API_KEY=KEY,
                   TELEGRAM_API_BASE=telegram.base_url, TELEGRAM_BOT_TOKEN=TOKEN,
                   TELEGRAM_CHAT_ID=CHAT, EMBERSCOPE_PAUSE_FILE=pause, JOURNAL_STREAM="8:1")
        watch = [PROGRAM, "watch", "--interval-minutes", "60"]
        runs = {
            "watch (bot on)": watch,
            "watch --no-bot": [*watch, "--no-bot"],
            "plain Python: isfile + sleep(1)": [py, "-c", SLEEPER, pause],
        }
        procs = {}
        for name, command in runs.items():
            run_env = dict(env, EMBERSCOPE_STATE_FILE=os.path.join(folder, f"{len(procs)}.json"))
            if command[-1] != pause:
                with open(state) as src, open(run_env["EMBERSCOPE_STATE_FILE"], "w") as dst:
                    dst.write(src.read())
            log = open(os.path.join(folder, f"{len(procs)}.log"), "w")
            procs[name] = subprocess.Popen(command, env=run_env, stdout=subprocess.DEVNULL,
                                           stderr=log)
            log.close()
        time.sleep(10)  # started, the first cycle made, the bot's first long poll under way
        for i, (name, p) in enumerate(procs.items()):
            if p.poll() is not None:
                with open(os.path.join(folder, f"{i}.log")) as f:
                    raise SystemExit(f"{name} ended (status {p.returncode}):\n{f.read()}")
        before = {name: tasks(p.pid) for name, p in procs.items()}
        time.sleep(seconds)
        after = {name: tasks(p.pid) for name, p in procs.items()}
        mem = {name: memory(p.pid) for name, p in procs.items()}
        with open(pause, "w"):
            pass
        began = time.monotonic()
        ended = {}
        while len(ended) < len(procs) and time.monotonic() - began < 30:
            for name, p in procs.items():
                if name not in ended and p.poll() is not None:
                    ended[name] = time.monotonic() - began
            time.sleep(0.01)
        for p in procs.values():
            if p.poll() is None:
                p.kill()
            p.wait()
    results = []
    for name in runs:
        threads = {}
        pid = procs[name].pid
        for tid, end in after[name].items():
            start = before[name].get(tid, {"switches": 0, "cpu_ns": 0})
            label = "main" if tid == pid else f"thread {len(threads)}"
            entry = threads.setdefault(label, {"wakeups": 0, "cpu_ms": 0.0})
            entry["wakeups"] += end["switches"] - start["switches"]
            entry["cpu_ms"] += (end["cpu_ns"] - start["cpu_ns"]) / 1e6
        wakeups = sum(t["wakeups"] for t in threads.values())
        cpu_ms = sum(t["cpu_ms"] for t in threads.values())
        results.append({"name": name, "seconds": seconds, "wakeups": wakeups,
                        "wakeups_per_s": wakeups / seconds, "cpu_ms_per_min": cpu_ms * 60 / seconds,
                        "threads": threads, **mem[name], "pause_reaction_s": ended.get(name)})
    return results


def startup(rounds: int) -> list[dict]:
    py = sys.executable
    folder = tempfile.mkdtemp(prefix="emberscope-status-")
    state = os.path.join(folder, "state.json")
    with open(state, "w") as f:
        json.dump({"owner_burn_rate": {str(n): "0.5" for n in range(128)},
                   "updated_at_utc": "2026-12-08T00:00:00Z"}, f)
    env = dict(cached_bytecode(), EMBERSCOPE_STATE_FILE=state)
    commands = {"python -c pass": [py, "-c", "pass"]}
    for args in (["status"], ["history"], ["--help"]):
        commands["emberscope " + " ".join(args)] = [PROGRAM, *args]
    commands["python -m bittensor_emberscope status"] = [py, "-m", "bittensor_emberscope", "status"]
    times: dict[str, list[float]] = {name: [] for name in commands}
    for command in commands.values():  # writes the bytecode cache
        subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(rounds):
        for name, command in commands.items():
            began = time.perf_counter()
            subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            times[name].append(time.perf_counter() - began)
    bare = statistics.median(times["python -c pass"])
    return [{"name": name, "median_ms": statistics.median(t) * 1e3, "min_ms": min(t) * 1e3,
             "ratio": statistics.median(t) / bare, "rounds": rounds} for name, t in times.items()]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--json", metavar="OUT")
    args = parser.parse_args()
    with open("/proc/loadavg") as f:
        load = f.read().split()[0]
    print(f"load average at start: {load}\n")
    rest = idle(args.seconds)
    print(f"| idle process ({args.seconds:g} s window) | wake-ups | per second | CPU per minute "
          "| RSS | anon / file | pause reaction |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for r in rest:
        reaction = f"{r['pause_reaction_s']:.2f} s" if r["pause_reaction_s"] is not None else "-"
        print(f"| {r['name']} | {r['wakeups']} | {r['wakeups_per_s']:.3f} | "
              f"{r['cpu_ms_per_min']:.2f} ms | {r['rss_kib'] / 1024:.1f} MiB | "
              f"{r['anon_kib'] / 1024:.1f} / {r['file_kib'] / 1024:.1f} MiB | {reaction} |")
    print()
    for r in rest:
        threads = ", ".join(f"{n}: {t['wakeups']} wake-ups, {t['cpu_ms']:.2f} ms"
                            for n, t in sorted(r["threads"].items()))
        largest = ", ".join(f"{n} {k / 1024:.1f}" for n, k in r["largest"])
        print(f"{r['name']}\n  threads: {threads}\n  largest mappings (MiB): {largest}")
    started = startup(args.rounds)
    print(f"\n| start-up ({args.rounds} interleaved rounds) | median | fastest | × bare |")
    print("|---|---:|---:|---:|")
    for s in started:
        print(f"| {s['name']} | {s['median_ms']:.1f} ms | {s['min_ms']:.1f} ms | {s['ratio']:.2f} |")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"load": load, "idle": rest, "startup": started}, f, indent=2)


if __name__ == "__main__":
    main()
