"""The module against the plain-Python yardstick (bench/yardstick.py), side by side in one process.

For every operation both implementations run on the same input, interleaved (yardstick, module,
floor, yardstick, module, floor, ...), and the figure kept is the median over many rounds of the
ratio of the two runs of one round: runs next to each other in time see the same machine speed,
so the ratio holds where absolute times move by 2x within seconds. The interpreter's floor for a
per-call row (a trivial builtin called in the same loop) is timed in the same rounds.

Whole cycles run with the HTTP answers served from memory (urllib.request.urlopen substituted),
time.sleep substituted, the console captured and the state file on tmpfs. The host's own
json.loads of the listing and urlencode of the alert's messages are timed in the same rounds, so
that a cycle's own work (the cycle minus the host's decoding of the listing) can be compared. An
implementation whose cycle does not hand the listing to the host's decoder (the module reads a
plain listing itself) has no such share: its own work is its whole cycle.

Before timing, every operation's results are compared between the two implementations on the
benchmark's inputs; a difference stops the benchmark (the comparison must be fair).

Usage: python bench/side_by_side.py [--quick] [--sizes 1024,10000] [--json FILE]
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import gc
import json
import math
import os
import pathlib
import statistics
import sys
import tempfile
import time
import urllib.parse
import urllib.request
from collections.abc import Callable

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import workloads  # noqa: E402  (loads the module, or the build named by EMBERSCOPE_BENCH_MODULE)
import yardstick as ys  # noqa: E402
from bittensor_emberscope.testing.host_json import noting_host_decodings  # noqa: E402
from harness import human, machine  # noqa: E402
from workloads import UPDATED_AT, THRESHOLD, FakeResponse, es, listing, listing_body  # noqa: E402

TOKEN = "123456:bench"
CHAT = "-1001234567890"
TELEGRAM_OK = workloads.TELEGRAM_OK

# Targets at 1,024 rows: the module must be at least this many times faster than the yardstick.
TARGETS = {
    "owner_burn_changed": 5.0,
    "format_owner_burn": 5.0,
    "owner_burn_from_row": 3.0,
    "_chunk_text short": 1.0,
    "diff_burns": 8.0,
    "format_burn_snapshot": 8.0,
    "format_burn_alert": 5.0,
    "_chunk_text split": 50.0,
    "load_burn_state": 3.0,
    "save_burn_state": 3.0,
    "quiet cycle, own work": 8.0,
    "alert cycle, own work": 3.0,
}
# The module's per-call rows against the interpreter's floor: at most this many times the floor.
FLOOR_TARGETS = {"owner_burn_changed": 1.5}


@dataclasses.dataclass
class Row:
    name: str
    size: int
    what: str
    yard: list[float]
    module: list[float]
    floor: list[float] | None = None
    floor_what: str = ""

    # Own-work rows are differences of two timings; a ratio of two such differences taken round
    # by round swings wildly, so theirs is the ratio of the medians.
    derived: bool = False

    @property
    def ratio(self) -> float:
        if self.derived:
            return statistics.median(self.yard) / statistics.median(self.module)
        return statistics.median(y / m for y, m in zip(self.yard, self.module))

    @property
    def floor_ratio(self) -> float | None:
        if not self.floor:
            return None
        return statistics.median(m / f for m, f in zip(self.module, self.floor))

    def as_dict(self) -> dict:
        return {"name": self.name, "size": self.size, "what": self.what,
                "yardstick_s": statistics.median(self.yard),
                "module_s": statistics.median(self.module), "ratio": self.ratio,
                "floor_s": statistics.median(self.floor) if self.floor else None,
                "floor_what": self.floor_what, "module_over_floor": self.floor_ratio}


def _once(call: Callable[[], object], loops: int) -> float:
    gc.disable()
    try:
        t0 = time.perf_counter()
        for _ in range(loops):
            call()
        return (time.perf_counter() - t0) / loops
    finally:
        gc.enable()


def _loops_for(calls: list[Callable[[], object]], min_run: float) -> int:
    """Enough repetitions that the slowest of `calls` runs for `min_run` seconds."""
    for call in calls:
        call()
    slowest = max(_once(call, 1) for call in calls)
    return max(1, min(1_000_000, math.ceil(min_run / max(slowest, 1e-9))))


def interleaved(calls: list[Callable[[], object]], rounds: int, min_run: float,
                even: bool = False) -> list[list[float]]:
    """Per-call seconds of each call in each round, the calls taking turns within a round."""
    loops = _loops_for(calls, min_run)
    if even and loops % 2:
        loops += 1
    out: list[list[float]] = [[] for _ in calls]
    for _ in range(rounds):
        for i, call in enumerate(calls):
            out[i].append(_once(call, loops))
    return out


# Host doubles ----------------------------------------------------------------------------------

class Transport:
    """urllib.request.urlopen answered from memory: the listing body of the moment, and an "ok"
    answer for every Telegram message. When `record` is set, the messages' bodies are kept."""

    def __init__(self) -> None:
        self.listing = b""
        self.record: list[bytes] | None = None

    def urlopen(self, request, timeout=None):  # noqa: ARG002
        if request.full_url.endswith("/sendMessage"):
            if self.record is not None:
                self.record.append(request.data)
            return FakeResponse(TELEGRAM_OK)
        return FakeResponse(self.listing)


@contextlib.contextmanager
def host_doubles(transport: Transport):
    saved = urllib.request.urlopen, time.sleep, sys.stderr
    env = {k: os.environ.get(k) for k in ("TAOSTATS_API_KEY", "TAOSTATS_API_BASE",
                                          "TELEGRAM_API_BASE")}
    urllib.request.urlopen = transport.urlopen
    time.sleep = lambda seconds: None
    sys.stderr = open(os.devnull, "w")  # noqa: SIM115
    os.environ.update(TAOSTATS_API_KEY="bench-key", TAOSTATS_API_BASE="http://127.0.0.1:9",
                      TELEGRAM_API_BASE="http://127.0.0.1:9")
    try:
        yield
    finally:
        sys.stderr.close()
        urllib.request.urlopen, time.sleep, sys.stderr = saved
        for k, v in env.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


# Inputs ----------------------------------------------------------------------------------------

@dataclasses.dataclass
class Inputs:
    size: int
    rows: list[dict]
    texts: list[str]
    pairs: list[tuple[str, str]]
    current: dict[str, str]
    moved: dict[str, str]
    changes: list[tuple[str, str, str]]
    snapshot: str
    long_fitting: str
    body: bytes
    body_moved: bytes
    alert_messages: list[str]
    folder: pathlib.Path


def inputs(size: int, folder: pathlib.Path) -> Inputs:
    lst = listing(size)
    pairs = [(lst.current[k], lst.previous[k]) for k in lst.current]
    snapshot = es.format_burn_snapshot(lst.rows, UPDATED_AT)
    lines = 20 * size  # 20,480 lines at 1,024 rows, all within the limit below
    long_fitting = "\n".join(f"SN{i % 1000}: 0.{i % 10000:04d}" for i in range(lines))
    alert = es.format_burn_alert(lst.changes, UPDATED_AT)
    parts = es._chunk_text(alert)
    messages = parts if len(parts) == 1 else [f"({i}/{len(parts)})\n{p}"
                                              for i, p in enumerate(parts, 1)]
    return Inputs(size, lst.rows, lst.texts, pairs, lst.current, lst.previous, lst.changes,
                  snapshot, long_fitting, listing_body(lst.rows), listing_body(lst.rows_moved),
                  messages, folder)


# Agreement -------------------------------------------------------------------------------------

def check_agreement(inp: Inputs) -> list[str]:
    """Names of the operations whose results differ between the module and the yardstick."""
    bad = []

    def same(name: str, a: object, b: object) -> None:
        if a != b:
            bad.append(name)

    same("owner_burn_from_row", [ys.owner_burn_from_row(r) for r in inp.rows],
         [es.owner_burn_from_row(r) for r in inp.rows])
    same("format_owner_burn", [ys.format_owner_burn(t) for t in inp.texts],
         [es.format_owner_burn(t) for t in inp.texts])
    same("owner_burn_changed", [ys.owner_burn_changed(o, n, THRESHOLD) for o, n in inp.pairs],
         [es.owner_burn_changed(o, n, THRESHOLD) for o, n in inp.pairs])
    same("diff_burns", [tuple(c) for c in ys.diff_burns(inp.current, inp.moved, THRESHOLD)],
         [tuple(c) for c in es.diff_burns(inp.current, inp.moved, THRESHOLD)])
    same("format_burn_alert", ys.format_burn_alert(inp.changes, UPDATED_AT),
         es.format_burn_alert(inp.changes, UPDATED_AT))
    same("format_burn_snapshot", ys.format_burn_snapshot(inp.rows, UPDATED_AT), inp.snapshot)
    same("_chunk_text split", ys._chunk_text(inp.snapshot), es._chunk_text(inp.snapshot))
    same("_chunk_text fitting", ys._chunk_text(inp.long_fitting, 10**9),
         es._chunk_text(inp.long_fitting, 10**9))
    same("_chunk_text short", ys._chunk_text("abc"), es._chunk_text("abc"))
    a, b = inp.folder / "check-yard.json", inp.folder / "check-module.json"
    ys.save_burn_state(str(a), inp.current, UPDATED_AT)
    es.save_burn_state(str(b), inp.current, UPDATED_AT)
    same("save_burn_state", a.read_bytes(), b.read_bytes())
    la, lb = ys.load_burn_state(str(a)), es.load_burn_state(str(a))
    same("load_burn_state", list(la.items()), list(lb.items()))

    transport = Transport()
    with host_doubles(transport):
        for name, first, second in (("quiet cycle", inp.body, inp.body),
                                    ("alert cycle", inp.body, inp.body_moved)):
            sent = []
            for impl in (ys, es):
                path = inp.folder / f"check-{impl.__name__}.json"
                transport.listing = first
                impl.run_burn_startup_snapshot(state_path=str(path), burn_token=TOKEN,
                                               burn_chat_id=CHAT)
                transport.listing, transport.record = second, []
                status = impl.run_emberscope_once(state_path=str(path), threshold=THRESHOLD,
                                                  burn_token=TOKEN, burn_chat_id=CHAT)
                sent.append((status, _without_stamps(transport.record),
                             _without_stamp(path.read_bytes())))
                transport.record = None
            same(name, sent[0], sent[1])
        sent = []
        for impl in (ys, es):
            path = inp.folder / f"check-{impl.__name__}.json"
            transport.listing, transport.record = inp.body, []
            status = impl.run_burn_startup_snapshot(state_path=str(path), burn_token=TOKEN,
                                                    burn_chat_id=CHAT)
            sent.append((status, _without_stamps(transport.record),
                         _without_stamp(path.read_bytes())))
            transport.record = None
        same("start-up cycle", sent[0], sent[1])
    return bad


def _without_stamp(state: bytes) -> bytes:
    document = json.loads(state)
    document["updated_at_utc"] = "-"
    return json.dumps(document).encode()


def _without_stamps(bodies: list[bytes]) -> list[str]:
    # The texts carry the cycle's clock reading, which may differ by a second.
    out = []
    for body in bodies:
        fields = urllib.parse.parse_qs(body.decode())
        text = fields["text"][0].split("\n")
        out.append("\n".join(line for line in text if not line.endswith(" UTC")))
    return out


# Measurements ----------------------------------------------------------------------------------

def decodes_listing(cycle, body: bytes) -> bool:
    """True when one run of `cycle` hands the listing `body` to the host's json.loads."""
    with noting_host_decodings() as noted:
        cycle()
    return body.decode("utf-8") in noted.texts


def own_work(cycle_times: list[float], loads_times: list[float], decodes: bool) -> list[float]:
    """A cycle's times minus the host's decoding of the listing, when it pays for that."""
    return [c - h for c, h in zip(cycle_times, loads_times)] if decodes else list(cycle_times)


def own_label(decodes: list[bool]) -> str:
    if all(decodes):
        return "cycle minus the host's json.loads"
    return ("yardstick: cycle minus the host's json.loads; module: its whole cycle (it reads the "
            "listing itself)")


def measure_size(inp: Inputs, rounds: int, min_run: float, cycle_rounds: int) -> list[Row]:
    rows: list[Row] = []
    T = THRESHOLD
    isclose = math.isclose

    def add(name, what, yard, module, floor=None, floor_what="", per=1, r=rounds, even=False):
        calls = [yard, module] + ([floor] if floor else [])
        times = interleaved(calls, r, min_run, even)
        times = [[t / per for t in ts] for ts in times]
        rows.append(Row(name, inp.size, what, times[0], times[1],
                        times[2] if floor else None, floor_what))

    pairs, texts, data = inp.pairs, inp.texts, inp.rows
    add("owner_burn_changed", f"over {len(pairs):,} pairs",
        lambda: [ys.owner_burn_changed(o, n, T) for o, n in pairs],
        lambda: [es.owner_burn_changed(o, n, T) for o, n in pairs],
        lambda: [isclose(1.0, 2.0, rel_tol=0.01) for o, n in pairs],
        "[math.isclose(1.0, 2.0, rel_tol=0.01) for o, n in pairs]")
    add("format_owner_burn", f"over {len(texts):,} texts",
        lambda: [ys.format_owner_burn(t) for t in texts],
        lambda: [es.format_owner_burn(t) for t in texts],
        lambda: [t.strip() for t in texts], "[t.strip() for t in texts]")
    add("owner_burn_from_row", f"over {len(data):,} rows",
        lambda: [ys.owner_burn_from_row(r) for r in data],
        lambda: [es.owner_burn_from_row(r) for r in data],
        lambda: [r.get("incentive_burn") for r in data],
        '[row.get("incentive_burn") for row in rows]')
    shorts = ["abc"] * 1000
    add("_chunk_text short", '_chunk_text("abc"), one call',
        lambda: [ys._chunk_text(s) for s in shorts],
        lambda: [es._chunk_text(s) for s in shorts],
        lambda: [s.split("\n", 4) for s in shorts], '"abc".split("\\n", 4)', per=len(shorts))
    current, moved, changes = inp.current, inp.moved, inp.changes
    add("diff_burns", "a third changed",
        lambda: ys.diff_burns(current, moved, T), lambda: es.diff_burns(current, moved, T))
    add("format_burn_alert", f"{len(changes):,} changes",
        lambda: ys.format_burn_alert(changes, UPDATED_AT),
        lambda: es.format_burn_alert(changes, UPDATED_AT))
    add("format_burn_snapshot", f"{len(data):,} rows",
        lambda: ys.format_burn_snapshot(data, UPDATED_AT),
        lambda: es.format_burn_snapshot(data, UPDATED_AT))
    snapshot = inp.snapshot
    add("_chunk_text split", f"the snapshot ({len(snapshot):,} characters), 3,900",
        lambda: ys._chunk_text(snapshot), lambda: es._chunk_text(snapshot))
    fitting = inp.long_fitting
    add("_chunk_text fitting", f"{fitting.count(chr(10)) + 1:,} lines within max_len 10^9",
        lambda: ys._chunk_text(fitting, 10**9), lambda: es._chunk_text(fitting, 10**9))
    state = str(inp.folder / f"state-{inp.size}.json")
    ys.save_burn_state(state, current, UPDATED_AT)
    add("load_burn_state", f"file of {len(current):,} subnets",
        lambda: ys.load_burn_state(state), lambda: es.load_burn_state(state))
    ya, ma = str(inp.folder / "save-yard.json"), str(inp.folder / "save-module.json")
    add("save_burn_state", "tmpfs",
        lambda: ys.save_burn_state(ya, current, UPDATED_AT),
        lambda: es.save_burn_state(ma, current, UPDATED_AT))

    # Whole cycles, and the host's share of them timed in the same rounds.
    transport = Transport()
    body, body_moved = inp.body, inp.body_moved
    yq, mq = str(inp.folder / "quiet-yard.json"), str(inp.folder / "quiet-module.json")
    with host_doubles(transport):
        transport.listing = body
        ys.save_burn_state(yq, current, UPDATED_AT)
        es.save_burn_state(mq, current, UPDATED_AT)

        def quiet(impl, path):
            return lambda: impl.run_emberscope_once(state_path=path, threshold=T,
                                                    burn_token=TOKEN, burn_chat_id=CHAT)

        def host_loads():
            return json.loads(body.decode("utf-8"))

        decodes = [decodes_listing(quiet(ys, yq), body), decodes_listing(quiet(es, mq), body)]
        times = interleaved([quiet(ys, yq), quiet(es, mq), host_loads], cycle_rounds, min_run)
        rows.append(Row("quiet cycle", inp.size, "nothing changed", times[0], times[1]))
        rows.append(Row("host json.loads of the listing", inp.size, f"{len(body):,} bytes",
                        times[2], times[2]))
        rows.append(Row("quiet cycle, own work", inp.size, own_label(decodes),
                        own_work(times[0], times[2], decodes[0]),
                        own_work(times[1], times[2], decodes[1]), derived=True))

        # Alert cycles: the listing alternates between the two versions, so every cycle alerts
        # on a third of the subnets; each implementation keeps its own alternation.
        flips = {"yard": 0, "module": 0}

        def alert(impl, path, key):
            def call():
                flips[key] += 1
                transport.listing = body_moved if flips[key] % 2 else body
                return impl.run_emberscope_once(state_path=path, threshold=T,
                                                burn_token=TOKEN, burn_chat_id=CHAT)
            return call

        messages = inp.alert_messages

        def host_urlencode():
            return [urllib.parse.urlencode({"chat_id": CHAT, "text": m,
                                            "disable_web_page_preview": "true"}).encode()
                    for m in messages]

        times = interleaved([alert(ys, yq, "yard"), alert(es, mq, "module"), host_loads,
                             host_urlencode], cycle_rounds, min_run, even=True)
        rows.append(Row("alert cycle", inp.size,
                        f"{len(changes):,} changes, {len(messages)} messages",
                        times[0], times[1]))
        rows.append(Row("host urlencode of the alert", inp.size,
                        f"{len(messages)} messages", times[3], times[3]))
        rows.append(Row("alert cycle, own work", inp.size, own_label(decodes),
                        own_work(times[0], times[2], decodes[0]),
                        own_work(times[1], times[2], decodes[1]), derived=True))

        def startup(impl, path):
            def call():
                transport.listing = body
                return impl.run_burn_startup_snapshot(state_path=path, burn_token=TOKEN,
                                                      burn_chat_id=CHAT)
            return call

        decodes = [decodes_listing(startup(ys, yq), body), decodes_listing(startup(es, mq), body)]
        times = interleaved([startup(ys, yq), startup(es, mq), host_loads], cycle_rounds,
                            min_run)
        rows.append(Row("start-up cycle", inp.size, "snapshot of every row", times[0], times[1]))
        rows.append(Row("start-up cycle, own work", inp.size, own_label(decodes),
                        own_work(times[0], times[2], decodes[0]),
                        own_work(times[1], times[2], decodes[1]), derived=True))
    return rows


def table(rows: list[Row], sizes: list[int]) -> str:
    out = ["| operation | input (at 1,024 rows) | " + " | ".join(
        f"yardstick {s:,} | module {s:,} | ratio {s:,}" for s in sizes)
        + " | target at 1,024 | module / floor (1,024) |",
        "|---|---|" + "---:|---:|---:|" * len(sizes) + "---|---|"]
    names = list(dict.fromkeys(r.name for r in rows))
    for name in names:
        by_size = {r.size: r for r in rows if r.name == name}
        first = by_size[sizes[0]]
        host_row = name.startswith("host ")
        cells = []
        for s in sizes:
            r = by_size.get(s)
            if r is None:
                cells.append("— | — | —")
            elif host_row:
                cells.append(f"{human(statistics.median(r.yard))} | (same) | —")
            else:
                cells.append(f"{human(statistics.median(r.yard))} | "
                             f"{human(statistics.median(r.module))} | {r.ratio:.2f}")
        target = ""
        if name in TARGETS:
            need = TARGETS[name]
            target = f"≥ {need:g}×: {'met' if first.ratio >= need else 'missed'}"
        floor = ""
        if first.floor:
            fr = first.floor_ratio
            floor = f"{fr:.2f} (floor {human(statistics.median(first.floor))}: " \
                    f"`{first.floor_what}`)"
            if name in FLOOR_TARGETS:
                need = FLOOR_TARGETS[name]
                floor += f"; ≤ {need:g}×: {'met' if fr <= need else 'missed'}"
        out.append(f"| `{name}` | {first.what} | " + " | ".join(cells) + f" | {target} | {floor} |")
    return "\n".join(out)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds, shorter runs")
    parser.add_argument("--sizes", default="1024,10000")
    parser.add_argument("--rounds", type=int, default=0)
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    rounds = args.rounds or (5 if args.quick else 21)
    cycle_rounds = max(3, rounds // 2 + 1) if args.quick else rounds
    min_run = 0.002 if args.quick else 0.01
    shm = pathlib.Path("/dev/shm")
    print(machine())
    all_rows: list[Row] = []
    with tempfile.TemporaryDirectory(dir=shm if shm.is_dir() else None) as tmp:
        for size in sizes:
            inp = inputs(size, pathlib.Path(tmp))
            bad = check_agreement(inp)
            if bad:
                print(f"the yardstick and the module disagree at {size:,} rows on: "
                      + ", ".join(bad), file=sys.stderr)
                return 1
            print(f"{size:,} rows: results agree; timing ({rounds} rounds)", file=sys.stderr)
            all_rows += measure_size(inp, rounds, min_run, cycle_rounds)
    print()
    print(f"Ratios are yardstick / module (higher: the module is faster), medians of {rounds} "
          "interleaved rounds; times are medians.")
    print()
    print(table(all_rows, sizes))
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps([r.as_dict() for r in all_rows], indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
