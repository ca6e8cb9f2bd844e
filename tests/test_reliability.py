"""The poll loop through a run of faults: each is reported on its own line and the loop goes on,
and nothing already saved is lost or corrupted."""

from __future__ import annotations

import json

from bittensor_emberscope.testing import Answer, odd_rows

INTERVAL = 60  # one-second sleeps per wait at interval_minutes=1


def test_loop_survives_a_run_of_faults(es, taostats, telegram, tmp_path, monkeypatch, capsys):
    state_dir = tmp_path / "state"
    state_dir.mkdir()
    state = state_dir / "state.json"
    pause = tmp_path / "pause"
    rows = odd_rows(1024, seed=3)
    taostats.rows = rows
    keyed = [r for r in rows if "netuid" in r and isinstance(r["netuid"], int)]
    saved: list[bytes] = []

    real_urlopen = es.urllib.request.urlopen
    monkeypatch.setattr(es.urllib.request, "urlopen",
                        lambda request, timeout: real_urlopen(request, timeout=min(timeout, 0.5)))

    def before_cycle(n: int) -> None:
        if state.exists():
            saved.append(state.read_bytes())
        if n == 2:    # Taostats hangs: the request times out
            taostats.script(Answer(hang=True))
        elif n == 3:  # values move; Telegram answers with flood control
            keyed[0]["incentive_burn"], keyed[1]["incentive_burn"] = 0.75, "0.125"
            telegram.script(Answer.flood(retry_after=41))
        elif n == 4:  # another move; Telegram answers with an HTML page
            keyed[2]["incentive_burn"] = 0.9
            telegram.script(Answer.html(502))
        elif n == 5:  # the state directory disappears
            state.unlink()
            state_dir.rmdir()
        elif n == 6:  # it comes back, but the state file holds bytes that are not UTF-8
            state_dir.mkdir()
            state.write_bytes(b'{"owner_burn_rate": {"1": "\xff"}}')
        elif n == 7:  # repaired from the last good copy; a further move is alerted
            state.write_bytes(saved[3])
            keyed[3]["incentive_burn"] = 0.333
        elif n == 8:
            pause.write_text("")

    slept = []

    def sleep(seconds):
        slept.append(seconds)
        if len(slept) % INTERVAL == INTERVAL // 2:
            before_cycle(len(slept) // INTERVAL + 1)

    monkeypatch.setattr(es.time, "sleep", sleep)
    es.run_burn_poll_loop(state_path=str(state), threshold=0.01, interval_minutes=1,
                          burn_token="123456:AAE-realistic-token", burn_chat_id="-1001",
                          pause_path=str(pause))

    err = capsys.readouterr().err
    lines = err.split("[burn] ")
    assert lines[0] == ""
    assert lines[1] == "error: timed out\n"
    assert lines[2] == "telegram failed: Too Many Requests: retry after 41\n"
    assert lines[3].startswith("telegram failed: <html>") and lines[3].endswith("</html>\\r\\n\n")
    assert lines[4] == f"error: [Errno 2] No such file or directory: '{state}'\n"
    assert lines[5].startswith("error: 'utf-8' codec can't decode byte 0xff")
    assert lines[6] == "alert sent (1 subnet(s))\n"
    assert lines[7] == "monitoring paused\n" and len(lines) == 8

    # Every save was whole, and the flood-refused and HTML-refused changes were recorded anyway.
    for content in saved[:4]:
        assert json.loads(content)["updated_at_utc"]
    final = json.loads(state.read_text())["owner_burn_rate"]
    assert final[str(keyed[0]["netuid"])] == "0.75" and final[str(keyed[2]["netuid"])] == "0.9"
    assert final[str(keyed[3]["netuid"])] == "0.333"
    texts = [r.text for r in telegram.requests]
    assert len(texts) == 3 and texts[2].endswith("→ 0.3330")
    assert len(taostats.requests) == 7
