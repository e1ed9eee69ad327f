from __future__ import annotations

import io
import os
from pathlib import Path

import pytest

from kvsstudio import Agent, AgentError

ALL_BYTES = bytes(range(256)) * 4
SEVERAL_MIB = os.urandom(3 * 1024 * 1024 + 17)
# Text with LF line ends and the bytes ASCII mode leaves alone (a lone CR included).
TEXT = (b"line one\nline\rtwo\n\n" + bytes(b for b in range(256) if b not in (10, 13))) * 12000


def as_source(kind: str, data: bytes, folder: Path):
    if kind == "bytes":
        return data
    if kind == "stream":
        return io.BytesIO(data)
    path = folder / "local-in"
    path.write_bytes(data)
    return path


@pytest.mark.parametrize("kind", ["bytes", "stream", "path"])
@pytest.mark.parametrize(
    "mode, data, on_agent",
    [
        ("binary", ALL_BYTES, ALL_BYTES),
        ("binary", SEVERAL_MIB, SEVERAL_MIB),
        ("ascii", ALL_BYTES, ALL_BYTES),
        ("ascii", TEXT, TEXT),
    ],
    ids=["binary-256", "binary-MiB", "ascii-256", "ascii-MiB"],
)
def test_round_trip(agent: Agent, workdir: Path, tmp_path_factory, kind: str, mode, data: bytes, on_agent: bytes) -> None:
    local = tmp_path_factory.mktemp("local")
    assert agent.put(as_source(kind, data, local), "remote", mode=mode) == len(data)
    # The agent's machine is this one: the file as the agent stored it.
    assert (workdir / "remote").read_bytes() == on_agent
    if kind == "bytes":
        back = agent.get("remote", mode=mode)
    elif kind == "stream":
        sink = io.BytesIO()
        assert agent.get("remote", sink, mode=mode) is None
        back = sink.getvalue()
    else:
        agent.get("remote", local / "local-out", mode=mode)
        back = (local / "local-out").read_bytes()
    assert back == data


def test_ascii_line_ends_on_the_wire(agent: Agent, workdir: Path) -> None:
    (workdir / "crlf").write_bytes(b"a\r\nb\n")
    # The agent sends LF as CR LF, so the file's CR LF arrives as CR CR LF: CR LF here.
    assert agent.get("crlf", mode="ascii") == b"a\r\nb\n"
    assert agent.get("crlf") == b"a\r\nb\n"


def test_failed_get_leaves_the_local_file(agent: Agent, workdir: Path, tmp_path: Path) -> None:
    target = tmp_path / "keep"
    target.write_bytes(b"old")
    with pytest.raises(AgentError) as failed:
        agent.get("missing", target)
    assert failed.value.code == 530
    assert target.read_bytes() == b"old" and os.listdir(tmp_path) == ["keep"]


def test_local_read_failure_is_not_a_whole_file(agent: Agent, workdir: Path) -> None:
    class Broken(io.RawIOBase):
        def __init__(self) -> None:
            self.calls = 0

        def read(self, size: int = -1) -> bytes:
            self.calls += 1
            if self.calls > 2:
                raise OSError("disk gone")
            return b"x" * 1000

    with pytest.raises(OSError, match="disk gone"):
        agent.put(Broken(), "partial")
    assert agent.helo().code == 210
