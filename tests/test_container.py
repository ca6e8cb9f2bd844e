"""The container image run as operators run it, against loopback stand-ins of Taostats and
Telegram, beside the command run as the systemd service runs it on the same script of changes.

scripts/container-test builds the image and names it in EMBERSCOPE_CONTAINER_IMAGE (with the
Podman command line in EMBERSCOPE_PODMAN and the run options this machine needs in
EMBERSCOPE_PODMAN_RUN_ARGS); without it these tests are skipped. The container shares the
host's network, so every request stays on 127.0.0.1.
"""

from __future__ import annotations

import concurrent.futures
import dataclasses
import json
import os
import re
import shlex
import signal
import subprocess
import sys
import tempfile
import time
import uuid
from collections.abc import Callable
from pathlib import Path

import pytest

from bittensor_emberscope.testing import Answer, TaostatsStandIn, TelegramStandIn, realistic_rows

IMAGE = os.environ.get("EMBERSCOPE_CONTAINER_IMAGE", "")
CHARTS = os.environ.get("EMBERSCOPE_CONTAINER_CHARTS", "yes") == "yes"
PODMAN = shlex.split(os.environ.get("EMBERSCOPE_PODMAN", "podman"))
RUN_ARGS = shlex.split(os.environ.get("EMBERSCOPE_PODMAN_RUN_ARGS", ""))
ROOT = Path(__file__).resolve().parent.parent
# The command the systemd unit runs, as the test command installs it.
HOST_COMMAND = os.environ.get("EMBERSCOPE_HOST_COMMAND", str(ROOT / ".venv" / "bin" / "emberscope"))

needs_image = pytest.mark.skipif(
    not IMAGE, reason="scripts/container-test builds the image and runs these tests")

KEY = "container-test-taostats-key"
TOKEN = "1234567890:container-test-token"
CHAT = "-1001234567890"
USER_ID = 10001
STATE_DIR = "/var/lib/emberscope"
MB = 1000 * 1000
SIZE_LIMIT = 150 * MB if CHARTS else 40 * MB
STOP_LIMIT_SECONDS = 2.0
# The shortest interval the command accepts: a change is alerted by the next cycle.
INTERVAL_SECONDS = 60
# The line of a cycle whose listing failed.
FAILED_LINE = "[burn] fetch failed"
_STAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")


class FailingTaostats(TaostatsStandIn):
    """The Taostats stand-in, answering 503 to every request while `failing` is set."""

    failing = False

    def _default_answer(self, rec):
        if self.failing:
            return Answer.json({"message": "Service Unavailable"}, 503)
        return super()._default_answer(rec)


def podman(*args: str, check: bool = True, timeout: float = 120) -> subprocess.CompletedProcess:
    return subprocess.run([*PODMAN, *args], capture_output=True, text=True, check=check,
                          timeout=timeout)


def wait_for(what: str, predicate: Callable[[], object], timeout: float, log: Callable[[], str]):
    """predicate()'s first true value within `timeout` seconds; fails with the service's log."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.2)
    pytest.fail(f"no {what} within {timeout:.0f} s; the service's log:\n{log()}")


def find_value(document: object, netuid: str) -> object:
    """The value stored under the key `netuid` anywhere in a JSON document, else None."""
    if isinstance(document, dict):
        if netuid in document and not isinstance(document[netuid], (dict, list)):
            return document[netuid]
        document = list(document.values())
    if isinstance(document, list):
        for item in document:
            found = find_value(item, netuid)
            if found is not None:
                return found
    return None


class ContainerService:
    """`emberscope watch` in the image: state in a volume, secrets as Podman secrets, settings in
    the environment; one container, started again as a restart policy would."""

    def __init__(self, taostats: TaostatsStandIn, telegram: TelegramStandIn, work: Path) -> None:
        tag = uuid.uuid4().hex[:10]
        self.name = f"emberscope-test-{tag}"
        self.volume = f"emberscope-test-{tag}"
        self.secrets = {"taostats_api_key": (f"emberscope-key-{tag}", KEY),
                        "telegram_bot_token": (f"emberscope-token-{tag}", TOKEN)}
        for stored, value in self.secrets.values():
            secret_file = work / stored
            secret_file.write_text(value + "\n")
            podman("secret", "create", stored, str(secret_file))
        podman("volume", "create", self.volume)
        self.env = {"TAOSTATS_API_BASE": taostats.base_url, "TELEGRAM_API_BASE": telegram.base_url,
                    "TELEGRAM_CHAT_ID": CHAT, "EMBERSCOPE_THRESHOLD": "0.05",
                    "EMBERSCOPE_INTERVAL_MINUTES": str(INTERVAL_SECONDS // 60)}
        self.created = False

    def start(self) -> None:
        if self.created:
            podman("start", self.name)
            return
        args = ["run", "-d", "--name", self.name, "--network", "host", *RUN_ARGS,
                "-v", f"{self.volume}:{STATE_DIR}"]
        for target, (stored, _) in self.secrets.items():
            args += ["--secret", f"{stored},target={target},uid={USER_ID},mode=0400"]
        for name, value in self.env.items():
            args += ["-e", f"{name}={value}"]
        podman(*args, IMAGE)
        self.created = True

    def stop(self) -> tuple[float, int]:
        """Seconds `podman stop` took, and the program's exit status."""
        began = time.monotonic()
        podman("stop", "-t", "10", self.name)
        took = time.monotonic() - began
        code = podman("inspect", "--format", "{{.State.ExitCode}}", self.name).stdout.strip()
        return took, int(code)

    def health(self) -> tuple[int, str]:
        """The exit status of one run of the image's health check, and what the check printed
        (kept in the container's health log)."""
        done = podman("healthcheck", "run", self.name, check=False)
        health = json.loads(podman("inspect", "--format", "{{json .State.Health}}",
                                   self.name).stdout)
        return done.returncode, health["Log"][-1]["Output"].strip()

    def state_text(self) -> str:
        folder = podman("volume", "inspect", "--format", "{{.Mountpoint}}", self.volume).stdout
        return (Path(folder.strip()) / "state.json").read_text()

    def user(self) -> str:
        return podman("top", self.name, "huser").stdout.split()[-1]

    def log(self) -> str:
        done = podman("logs", self.name, check=False)
        return done.stdout + done.stderr

    def remove(self) -> None:
        podman("rm", "-f", "-t", "0", self.name, check=False)
        podman("volume", "rm", "-f", self.volume, check=False)
        for stored, _ in self.secrets.values():
            podman("secret", "rm", stored, check=False)


class HostService:
    """`emberscope watch --verbose` on this machine with the unit's settings, as systemd runs it:
    the comparison for the container's alerts."""

    def __init__(self, taostats: TaostatsStandIn, telegram: TelegramStandIn, work: Path) -> None:
        self.state_dir = work / "host-state"
        self.state_dir.mkdir()
        key_file, token_file = work / "host-key", work / "host-token"
        key_file.write_text(KEY + "\n")
        token_file.write_text(TOKEN + "\n")
        self.log_path = work / "host.log"
        self.env = {**os.environ, "TAOSTATS_API_BASE": taostats.base_url,
                    "TELEGRAM_API_BASE": telegram.base_url, "TELEGRAM_CHAT_ID": CHAT,
                    "EMBERSCOPE_THRESHOLD": "0.05",
                    "EMBERSCOPE_INTERVAL_MINUTES": str(INTERVAL_SECONDS // 60),
                    "EMBERSCOPE_STATE_FILE": str(self.state_dir / "state.json"),
                    "TAOSTATS_API_KEY_FILE": str(key_file),
                    "TELEGRAM_BOT_TOKEN_FILE": str(token_file)}
        for name in ("TAOSTATS_API_KEY", "TELEGRAM_BOT_TOKEN", "EMBERSCOPE_CONFIG",
                     "EMBERSCOPE_PAUSE_FILE", "EMBERSCOPE_METRICS_LISTEN"):
            self.env.pop(name, None)
        self.process: subprocess.Popen | None = None

    def start(self) -> None:
        with open(self.log_path, "a") as log:
            self.process = subprocess.Popen([HOST_COMMAND, "watch", "--verbose"], env=self.env,
                                            stdout=log, stderr=log, stdin=subprocess.DEVNULL)

    def stop(self) -> tuple[float, int]:
        assert self.process is not None
        began = time.monotonic()
        self.process.send_signal(signal.SIGTERM)
        code = self.process.wait(timeout=15)
        return time.monotonic() - began, code

    def state_text(self) -> str:
        return (self.state_dir / "state.json").read_text()

    def log(self) -> str:
        return self.log_path.read_text() if self.log_path.exists() else ""

    def remove(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait()


@dataclasses.dataclass
class Record:
    """What one run of the script saw: the messages of each step, and the container's checks."""

    messages: dict[str, list[str]] = dataclasses.field(default_factory=dict)
    stops: list[tuple[float, int]] = dataclasses.field(default_factory=list)
    health: dict[str, tuple[int, str]] = dataclasses.field(default_factory=dict)
    state_after_stop: str = ""
    chart: bytes = b""
    user: str = ""


def run_script(kind: type, work: Path) -> Record:
    """The script of changes every service gets: a first start, a change, a stop, a change
    while stopped, a start, three starts while Taostats fails, a start once it is back."""
    record = Record()
    with FailingTaostats(require_key=KEY) as taostats, TelegramStandIn(token=TOKEN) as telegram:
        service = kind(taostats, telegram, work)
        log = service.log
        is_container = isinstance(service, ContainerService)

        def messages(step: str, what: str, predicate: Callable[[list[str]], bool],
                     timeout: float) -> list[str]:
            seen = wait_for(what, lambda: (lambda m: m if predicate(m) else None)(
                telegram.messages), timeout, log)
            record.messages[step] = telegram.take_messages()
            return seen

        def health(step: str) -> None:
            if is_container:
                record.health[step] = service.health()

        try:
            # A first start: the start-up list, the baseline.
            service.start()
            messages("startup", "start-up list", lambda m: any("(startup)" in t for t in m), 60)
            time.sleep(1)
            health("first start")
            if is_container:
                record.user = service.user()

            # One subnet moves beyond the threshold, one within it: the next cycle alerts one.
            taostats.set_burn(7, "0.85")
            taostats.set_burn(8, 0.92)
            messages("change", "alert of the change",
                     lambda m: any("changed" in t for t in m), INTERVAL_SECONDS + 60)

            if CHARTS and is_container:
                telegram.push_message("/chart 7", chat_id=int(CHAT))
                photo = wait_for("chart", lambda: telegram.photos, 60, log)
                record.chart = photo[0]["data"]

            # Stopped, changed meanwhile, started again: what moved is alerted.
            record.stops.append(service.stop())
            record.state_after_stop = service.state_text()
            taostats.set_burn(7, "0.4")
            taostats.set_burn(64, 0.0)
            service.start()
            messages("restart", "alert of what moved while stopped",
                     lambda m: any("changed" in t for t in m), 60)
            time.sleep(1)
            health("after a restart")

            # Taostats fails: three cycles (one at each start) fail, and the check says so.
            taostats.failing = True
            for _ in range(3):
                record.stops.append(service.stop())
                failed = log().count(FAILED_LINE) + 1
                service.start()
                wait_for("failed cycle", lambda: log().count(FAILED_LINE) >= failed, 60, log)
                time.sleep(1)
            health("after three failed cycles")

            # Taostats is back: the next cycle is good again.
            taostats.failing = False
            record.stops.append(service.stop())
            asked = len(taostats.requests) + 1
            service.start()
            wait_for("good cycle", lambda: len(taostats.requests) >= asked, 60, log)
            time.sleep(2)
            health("once Taostats is back")
            record.messages["recovered"] = telegram.take_messages()
            record.stops.append(service.stop())
        finally:
            service.remove()
    return record


def number(value: object) -> bool:
    """True for an owner burn the monitor keeps: a number, or a text that reads as one."""
    try:
        return value is not None and not isinstance(value, bool) and float(value) == float(value)
    except (TypeError, ValueError):
        return False


def masked(texts: list[str]) -> list[str]:
    return [_STAMP.sub("<T>", text) for text in texts]


@pytest.fixture(scope="module")
def runs(tmp_path_factory) -> dict[str, Record]:
    """The script run in the container and, where the command is installed, on this machine,
    both at once (each with stand-ins of its own)."""
    kinds = {"container": ContainerService}
    if os.access(HOST_COMMAND, os.X_OK):
        kinds["host"] = HostService
    with concurrent.futures.ThreadPoolExecutor(len(kinds)) as pool:
        futures = {name: pool.submit(run_script, kind, tmp_path_factory.mktemp(name))
                   for name, kind in kinds.items()}
        return {name: future.result() for name, future in futures.items()}


@needs_image
def test_start_up_list_then_the_change_then_what_moved_while_stopped(runs):
    record = runs["container"]
    startup = "\n".join(record.messages["startup"])
    assert "Subnet owner burn rates (startup)" in startup
    listed = [str(row["netuid"]) for row in realistic_rows() if number(row.get("incentive_burn"))]
    assert f"{len(listed)} subnets" in startup
    assert re.findall(r"^SN(\d+): ", startup, re.M) == listed
    [change] = record.messages["change"]
    assert change.startswith("Owner burn rate changed\n")
    assert "SN7: 0.2500 → 0.8500" in change and "SN8" not in change
    [moved] = record.messages["restart"]
    sn64 = float(realistic_rows()[64]["incentive_burn"])
    assert re.findall(r"^SN\d+: .*$", moved, re.M) == ["SN7: 0.8500 → 0.4000",
                                                       f"SN64: {sn64:.4f} → 0.0000"]
    assert record.messages["recovered"] == []


@needs_image
def test_the_same_alerts_as_the_command_on_this_machine(runs):
    if "host" not in runs:
        pytest.skip(f"{HOST_COMMAND} is not installed (scripts/test installs it)")
    for step in ("startup", "change", "restart", "recovered"):
        assert masked(runs["container"].messages[step]) == masked(runs["host"].messages[step]), step


@needs_image
def test_health_check_says_healthy_then_unhealthy_after_three_failures(runs):
    health = runs["container"].health
    assert [code for code, _ in health.values()] == [0, 0, 1, 0], health
    assert "failing" in health["after three failed cycles"][1]


@needs_image
def test_stop_ends_the_program_within_two_seconds_with_the_state_intact(runs):
    record = runs["container"]
    for took, code in record.stops:
        assert code == 0
        assert took < STOP_LIMIT_SECONDS, record.stops
    assert find_value(json.loads(record.state_after_stop), "7") in ("0.85", 0.85)


@needs_image
def test_runs_as_the_non_root_user(runs):
    assert runs["container"].user in (str(USER_ID), "emberscope")


@needs_image
@pytest.mark.skipif(not CHARTS, reason="the image was built without charts")
def test_chart_is_drawn_in_the_image(runs):
    assert runs["container"].chart.startswith(b"\x89PNG\r\n\x1a\n")


@needs_image
def test_image_size_and_labels():
    inspected = json.loads(podman("image", "inspect", IMAGE).stdout)[0]
    size = inspected["Size"]
    sys.stderr.write(f"image {IMAGE}: {size / MB:.1f} MB\n")
    assert size <= SIZE_LIMIT
    config = inspected["Config"]
    labels = inspected["Labels"] or config.get("Labels", {})
    for name in ("source", "version", "licenses", "description"):
        assert f"org.opencontainers.image.{name}" in labels
    assert labels["org.opencontainers.image.licenses"] == "MIT"
    assert config["User"] == f"{USER_ID}:{USER_ID}"
    assert config["StopSignal"] in ("SIGTERM", "15")
    assert f"{STATE_DIR}" in config["Volumes"]
    # Podman shows the health check beside the configuration; Docker inside it.
    health = inspected.get("Healthcheck") or config.get("Healthcheck")
    assert health["Test"] == ["CMD", "/usr/libexec/emberscope/healthcheck"]
    assert health["Retries"] == 1


@pytest.mark.parametrize("status, healthy", [(0, 0), (1, 1), (2, 1), (3, 1)])
def test_health_check_maps_every_status_to_the_two_docker_knows(status, healthy, tmp_path):
    """The image's health check script under dash, with `emberscope status` answering `status`."""
    program = tmp_path / "emberscope"
    program.write_text(f"#!/bin/sh\necho 'health      {'ok' if status == 0 else 'UNHEALTHY: x'}'\n"
                       f"exit {status}\n")
    program.chmod(0o755)
    script = (ROOT / "contrib" / "container" / "healthcheck").read_text()
    script = script.replace("/usr/bin/emberscope", str(program))
    done = subprocess.run(["sh", "-c", script], capture_output=True, text=True, timeout=10)
    assert done.returncode == healthy
    assert done.stdout.startswith("health")


def test_compose_alert_rule_is_the_readme_rule():
    readme = (ROOT / "README.md").read_text()
    block = re.search(r"An alerting rule.*?```yaml\n(groups:.*?)```", readme, re.S)
    assert block is not None
    rules = (ROOT / "contrib" / "prometheus" / "emberscope.rules.yml").read_text()
    assert rules[rules.index("groups:"):] == block.group(1)


def test_compose_secrets_are_the_files_the_image_reads():
    containerfile = (ROOT / "contrib" / "Containerfile").read_text()
    read = set(re.findall(r"_FILE=/run/secrets/(\w+)", containerfile))
    compose = (ROOT / "contrib" / "compose.yaml").read_text()
    declared = set(re.findall(r"^  (\w+):\n    file: \./secrets/\1$", compose, re.M))
    assert read == declared == {"taostats_api_key", "telegram_bot_token"}
