"""Saves that cannot block or swallow a stop: non-regular state paths and signals during the
clean-up of earlier writers' temporary files."""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import textwrap

import pytest

STAMP = "2026-12-06T17:14:27Z"


def _special(kind, path):
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "socket":
        s = socket.socket(socket.AF_UNIX)
        s.bind(str(path))
        s.close()
    elif kind == "link to fifo":
        os.mkfifo(str(path) + ".target")
        os.symlink(os.path.basename(str(path)) + ".target", path)


@pytest.mark.parametrize("kind", ["fifo", "socket", "link to fifo", "device"])
def test_a_state_path_that_is_not_a_regular_file_is_refused_at_once(tmp_path, kind):
    path = os.devnull if kind == "device" else str(tmp_path / "state.json")
    if kind != "device":
        _special(kind, path)
    before = sorted(os.listdir(tmp_path))
    # In a child: the save used to block for ever on a pipe nobody reads.
    code = textwrap.dedent(f"""
        from bittensor_emberscope import emberscope as es
        try:
            es.save_burn_state({path!r}, {{"1": "0.1"}}, {STAMP!r})
        except OSError as e:
            print(type(e).__name__, e.errno, e.filename, e.strerror)
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=20)
    assert done.stdout == f"OSError 22 {path} Not a regular file\n" and done.stderr == ""
    assert sorted(os.listdir(tmp_path)) == before


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_a_signal_during_the_clean_up_of_temporary_files_is_not_swallowed(tmp_path, signum):
    state = tmp_path / "state.json"
    state.write_bytes(b"old")
    code = textwrap.dedent(f"""
        import os, signal, sys, time
        from bittensor_emberscope import emberscope as es

        class Stopped(BaseException):
            pass

        def stop(signum, frame):
            raise Stopped(signum)

        signal.signal({int(signum)}, stop)
        real = os.listdir
        def slow_listdir(path):
            print("listing", flush=True)
            time.sleep(20)  # a folder of many entries on a slow disk
            return real(path)
        os.listdir = slow_listdir
        try:
            es.save_burn_state({str(state)!r}, {{"1": "0.1"}}, {STAMP!r})
        except Stopped as e:
            print("stopped", e.args[0], flush=True)
            sys.exit(3)
        print("saved", flush=True)
    """)
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "listing\n"
        proc.send_signal(signum)
        out, err = proc.communicate(timeout=10)
    finally:
        proc.kill()
        proc.wait()
    assert (proc.returncode, out, err) == (3, f"stopped {int(signum)}\n", "")
    assert state.read_bytes() == b"old" and sorted(os.listdir(tmp_path)) == ["state.json"]
