"""scripts/install-service into a scratch prefix, and the installed command run as `nobody`.

Needs root and runuser; packs a wheel from scripts/test's build (build/editable) and copies
an interpreter, so it takes a minute or two. Set EMBERSCOPE_SKIP_SERVICE_TEST=1 to skip it.
"""

from __future__ import annotations

import json
import os
import pwd
import shutil
import stat
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

from test_cli import CHAT, KEY, LEFT_OUT, LISTED, TOKEN, clean_environment, unstamp_all
from bittensor_emberscope.testing import TaostatsStandIn, TelegramStandIn

ROOT = Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.skipif(
    os.geteuid() != 0 or not shutil.which("runuser") or not shutil.which("useradd")
    or os.environ.get("EMBERSCOPE_SKIP_SERVICE_TEST") == "1",
    reason="needs root, runuser and useradd (or EMBERSCOPE_SKIP_SERVICE_TEST=1)")


@pytest.fixture(scope="module")
def wheel() -> Path:
    out = ROOT / "build" / "service-wheel"
    shutil.rmtree(out, ignore_errors=True)
    # The build folder and settings of scripts/test's install: what it compiled is packed, not
    # compiled a second time.
    subprocess.run([sys.executable, "-m", "pip", "wheel", "--quiet", "--no-build-isolation",
                    "--no-deps", "-w", str(out), "-Cbuild-dir=build/editable",
                    "-Ccmake.define.EMBERSCOPE_WERROR=ON", "-Ccmake.build-type=Release", "."],
                   cwd=ROOT, check=True, timeout=900)
    [built] = out.glob("*.whl")
    return built


@pytest.fixture
def scratch():
    # Under /tmp with a traversable mode: the service user must reach the installed files.
    folder = Path(tempfile.mkdtemp(prefix="emberscope-service-", dir="/tmp"))
    folder.chmod(0o755)
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


def as_nobody(*args: str, env: dict[str, str]) -> subprocess.CompletedProcess:
    return subprocess.run(["runuser", "-u", "nobody", "--", *args], env=env,
                          capture_output=True, text=True, timeout=120)


def test_installed_service_runs_as_an_unprivileged_user(wheel, scratch):
    prefix, etc, units = scratch / "opt", scratch / "etc", scratch / "units"
    env = clean_environment(Path("/nonexistent"))
    env.pop("PYTHON", None)
    done = subprocess.run(
        [str(ROOT / "scripts/install-service"), "--prefix", str(prefix), "--user", "nobody",
         "--config-dir", str(etc), "--unit-dir", str(units), "--package", str(wheel),
         "--no-systemd"],
        # Offline: the package alone, without fetching its dependencies.
        env={**env, "HOME": os.environ.get("HOME", "/root"), "PIP_NO_DEPS": "1"},
        capture_output=True, text=True, timeout=900)
    assert done.returncode == 0, done.stderr

    unit = (units / "emberscope.service").read_text()
    assert f"ExecStart={prefix}/venv/bin/emberscope watch --verbose\n" in unit
    assert "User=nobody\n" in unit and f"EnvironmentFile={etc}/env\n" in unit
    env_file = etc / "env"
    info = env_file.stat()
    assert (stat.S_IMODE(info.st_mode), info.st_uid) == (0o600, 0)
    assert "TELEGRAM_BOT_TOKEN=\n" in env_file.read_text()
    venv_python = os.path.realpath(prefix / "venv/bin/python")
    assert venv_python.startswith(str(scratch)) or venv_python.startswith("/usr/")

    emberscope = str(prefix / "venv/bin/emberscope")
    state_dir = scratch / "state"
    state_dir.mkdir()
    nobody = pwd.getpwnam("nobody")
    os.chown(state_dir, nobody.pw_uid, nobody.pw_gid)
    run_env = clean_environment(Path("/nonexistent"))
    assert as_nobody("cat", str(env_file), env=run_env).returncode != 0  # secrets are root's
    with TaostatsStandIn(require_key=KEY) as api, TelegramStandIn(token=TOKEN) as bot:
        run_env.update(TAOSTATS_API_BASE=api.base_url, TAOSTATS_API_KEY=KEY,
                       TELEGRAM_API_BASE=bot.base_url, TELEGRAM_BOT_TOKEN=TOKEN,
                       TELEGRAM_CHAT_ID=CHAT, EMBERSCOPE_STATE_FILE=str(state_dir / "state.json"))
        snapshot = as_nobody(emberscope, "snapshot", env=run_env)
        assert (snapshot.returncode, unstamp_all(snapshot.stderr)) == (
            0, LEFT_OUT + f"[burn] startup snapshot sent ({LISTED} subnets)\n")
        api.set_burn(9, "0.9")
        once = as_nobody(emberscope, "once", env=run_env)
        assert (once.returncode, unstamp_all(once.stderr)) == (
            0, LEFT_OUT + "[burn] alert sent (1 subnet(s))\n")
        status = as_nobody(emberscope, "status", "--json", env=run_env)
        assert status.returncode == 0, status.stderr
        assert json.loads(status.stdout)["status"]["changes"] == 1
        assert len(bot.requests) == 2


def test_the_wheel_ships_every_python_file_of_the_package_and_no_cpp_source(wheel):
    import zipfile

    names = set(zipfile.ZipFile(wheel).namelist())
    package = ROOT / "bittensor_emberscope"
    python_files = {path.relative_to(ROOT).as_posix() for path in package.rglob("*.py")}
    assert "bittensor_emberscope/_http_opener.py" in python_files
    assert python_files - names == set()
    assert sorted(name for name in names if name.endswith((".cpp", ".hpp"))) == []
