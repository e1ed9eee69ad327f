from __future__ import annotations

import os
import signal
from collections.abc import Callable, Iterator

import pytest

from conftest import Daemon, eventually
from kvsstudio import Agent, AgentClosed, AgentTimeout, Reporter, rendezvous


@pytest.fixture
def stopped_agent(daemon: Daemon) -> Iterator[tuple[Agent, Callable[[], None]]]:
    """A connection of its own (time-out 1 s) and a function that stops its
    connection process with SIGSTOP; the process is resumed afterwards."""
    before = daemon.children()
    agent = daemon.connect(timeout=1.0)
    assert eventually(lambda: len(daemon.children() - before) == 1)
    (pid,) = daemon.children() - before
    stopped = []

    def stop() -> None:
        os.kill(pid, signal.SIGSTOP)
        stopped.append(pid)

    try:
        yield agent, stop
    finally:
        if stopped:
            os.kill(pid, signal.SIGCONT)
        agent.close()


@pytest.mark.parametrize(
    "call",
    [
        lambda a: a.pwd(),
        lambda a: a.put(b"x" * 100, "never"),
        lambda a: a.run(["sleep", "20"]),
        lambda a: (list(a.events(timeout=0.2)), a.helo()),
    ],
    ids=["reply", "transfer", "run", "events-then-reply"],
)
def test_agent_that_stops_answering(stopped_agent, call) -> None:
    agent, stop = stopped_agent
    agent.pwd()
    stop()
    with pytest.raises(AgentTimeout):
        call(agent)
    # The connection is out of step with the agent: it is closed.
    with pytest.raises(AgentClosed):
        agent.pwd()


def test_run_notices_a_stop_during_the_program(stopped_agent) -> None:
    agent, stop = stopped_agent
    process = agent.start(["sh", "-c", "echo up; exec sleep 20"])
    assert next(iter(process)) == b"up\n"
    stop()
    with pytest.raises(AgentTimeout, match="HELO"):
        process.wait()


def test_tester_side_waits_are_bounded(agent: Agent) -> None:
    with pytest.raises(AgentTimeout):
        rendezvous("nobody answers", timeout=0.5, port=agent.prdv())
    with Reporter(port=agent.pdyn()) as report:
        report.boot("BOOT waiting", gap=0)
        with pytest.raises(AgentTimeout):
            report.wait_answer(0.5)
    agent.refuse("nobody answers")
