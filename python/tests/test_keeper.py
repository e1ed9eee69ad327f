from __future__ import annotations

import os
import socket
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import TOP, Daemon
from kvsstudio import _keeper


@pytest.mark.parametrize(
    "command, expected",
    [
        ("echo out; echo err >&2; exit 3", (3, b"out\n", b"err\n")),
        ("printf no-newline; printf e >&2", (0, b"no-newline", b"e")),
        ("exit 4", (4, b"", b"")),
        # What looks like a marker of the command's own is output.
        ("echo; echo 'KVSAGT-0 1'; echo x >&2", (0, b"\nKVSAGT-0 1\n", b"x\n")),
    ],
)
def test_one_program_brings_back_both_streams(daemon: Daemon, tmp_path: Path, command: str, expected) -> None:
    script, mark = _keeper.split_script(command, str(tmp_path))
    with daemon.connect() as agent:
        result = agent.run(["/bin/sh", "-c", script], timeout=20)
    assert (result.returncode, *_keeper.split_output(result.output, mark)) == expected
    assert list(tmp_path.iterdir()) == []


def test_keeper_serves_until_asked_to_stop(daemon: Daemon, tmp_path: Path) -> None:
    path = str(tmp_path / "keeper")
    env = dict(os.environ, PYTHONPATH=str(TOP / "python" / "src"))
    keeper = subprocess.Popen([sys.executable, "-m", "kvsstudio._keeper", "--socket", path, "--host", daemon.host,
                               "--port", str(daemon.port), "--timeout", "5", "--stderr-dir", str(tmp_path)],
                              stdout=subprocess.PIPE, env=env)
    try:
        assert keeper.stdout.readline() == b"ready\n"
        assert os.stat(path).st_mode & 0o777 == 0o600
        with socket.socket(socket.AF_UNIX) as link:
            link.settimeout(20)
            link.connect(path)
            _keeper.send_frame(link, {"op": "exec", "cmd": "cat; echo e >&2", "stdin": True}, b"input")
            assert _keeper.recv_frame(link) == ({"ok": True, "rc": 0, "out": 5, "err": 2, "size": 7}, b"inpute\n")
            _keeper.send_frame(link, {"op": "fetch", "remote": "/nonexistent/kvsagt", "local": str(tmp_path / "f")})
            reply, _ = _keeper.recv_frame(link)
            assert not reply["ok"] and not reply["closed"]
            _keeper.send_frame(link, {"op": "stop"})
            assert _keeper.recv_frame(link)[0]["ok"]
        assert keeper.wait(timeout=20) == 0
        assert not os.path.exists(path)
    finally:
        keeper.kill()
        keeper.wait()
