from __future__ import annotations

from pathlib import Path

import pytest

from conftest import Daemon, eventually, free_port
from kvsstudio import Agent, AgentError, Stopped


def test_environment_and_directories(agent: Agent, workdir: Path) -> None:
    agent.senv("KVS_PY_A", "x=1 y")
    assert agent.genv("KVS_PY_A") == "x=1 y"
    agent.denv("KVS_PY_A")
    with pytest.raises(AgentError) as failed:
        agent.genv("KVS_PY_A")
    assert (failed.value.code, failed.value.text) == (511, "511 getenv failed")

    assert agent.pwd() == str(workdir)
    agent.mkd("sub")
    agent.cwd("sub")
    assert agent.pwd() == str(workdir / "sub")
    agent.cwd("..")
    agent.put(b"x", "sub/f")
    agent.delf("sub/f")
    agent.rmd("sub")
    assert list(workdir.iterdir()) == []


def test_ports_and_help(agent: Agent) -> None:
    assert agent.prdv() == int(agent.genv("KVS_PORT_RDV"))
    assert agent.pdyn() == int(agent.genv("KVS_PORT_TSTAGT"))
    assert agent.pftp() > 0 and agent.port_trace() > 0
    assert agent.helo().line == "210 hello, please to meet you."
    assert agent.help("GENV") == ["210 get environment variable : GENV varname"]
    listing = agent.help()
    assert listing[0] == "110 the known commands are :" and listing[-1].startswith("210")


@pytest.mark.parametrize(
    "call, code",
    [
        (lambda a: a.cwd("missing"), 551),
        (lambda a: a.mkd("."), 552),
        (lambda a: a.rmd("missing"), 554),
        (lambda a: a.delf("missing"), 532),
        (lambda a: a.stat(0), 563),
        (lambda a: a.stop(0), 564),
        (lambda a: a.exec(""), 461),
        (lambda a: a.exec(["/nonexistent/program"]), 561),
        (lambda a: a.get("missing"), 530),
        (lambda a: a.put(b"x", "missing/f"), 531),
        (lambda a: a.help("XYZ"), 410),
        (lambda a: a.command("NOPE"), 500),
    ],
)
def test_failure_replies(agent: Agent, workdir: Path, call, code: int) -> None:
    with pytest.raises(AgentError) as failed:
        call(agent)
    assert failed.value.code == code and failed.value.text.startswith(f"{code} ")
    assert agent.helo().code == 210  # the connection goes on


def test_exec_stat_stop(agent: Agent, workdir: Path) -> None:
    number = agent.exec(["sleep", "30"])
    status = agent.stat(number)
    assert status.running and status.exit_code is None
    assert agent.stop(number) == Stopped(number, -1)
    ended = agent.wait_event(lambda e: e.kind == "ended" and any(p == number for p, _ in e.ended))
    assert (number, 0) in ended.ended
    assert agent.stat(number).exit_code == 0
    # A program that STAT sees ended first is not reported by a 661 line.
    other = agent.exec("sh -c 'exit 4'")
    assert eventually(lambda: not agent.stat(other).running)
    assert agent.stat(other).exit_code == 4


def test_identification_refused(daemon: Daemon) -> None:
    with pytest.raises(AgentError) as refused:
        daemon.connect(user="refused")
    assert refused.value.code == 533


def test_connect_failure() -> None:
    with pytest.raises(AgentError) as failed:
        Agent("127.0.0.1", free_port(), timeout=2)
    assert failed.value.code is None
