"""The library against a fake agent that answers with hostile text: every
fault is an AgentError, within bounded time and memory."""

from __future__ import annotations

import sys
import time
import tracemalloc
from collections.abc import Callable

import pytest

from conftest import TOP
from kvsstudio import Agent, AgentClosed, AgentError, AgentTimeout
from kvsstudio.agent import MAX_EVENTS

sys.path.insert(0, str(TOP / "tests"))
import fake_agent  # noqa: E402

TIMEOUT = 1.0
CONTROLS = ("\x1b", "\x07", "\r", "\x9b", "\udcff", "\udcfe")


def attempt(scenario: str, call: Callable[[Agent], object] | None) -> tuple[AgentError, float, int]:
    """Runs call on an identified connection to the fake agent (only the
    connection when call is None); the error it raised, the seconds and the
    peak bytes it took."""
    with fake_agent.serve(scenario) as port:
        tracemalloc.start()
        start = time.monotonic()
        agent: Agent | None = None
        try:
            agent = Agent("127.0.0.1", port, user="tester", timeout=TIMEOUT)
            if call is not None:
                call(agent)
        except AgentError as e:
            error = e
        else:
            pytest.fail(f"{scenario}: no AgentError")
        finally:
            seconds = time.monotonic() - start
            peak = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
            if agent is not None:
                agent.close()
    return error, seconds, peak


@pytest.mark.parametrize(
    "scenario, call, kind, says",
    [
        ("silent", None, AgentTimeout, "no reply to the greeting"),
        ("not-agent", None, AgentError, "unexpected greeting: SSH-2.0-test"),
        ("greeting-endless", None, AgentError, "longer than"),
        ("reply-endless", lambda a: a.pwd(), AgentError, "longer than"),
        ("flood", lambda a: a.pwd(), AgentTimeout, "no reply to PWD"),
        ("flood", lambda a: a.help(), AgentTimeout, "no reply to HELP"),
    ],
)
def test_endless_or_missing_replies_end_in_bounded_time_and_memory(scenario, call, kind, says) -> None:
    error, seconds, peak = attempt(scenario, call)
    assert type(error) is kind and says in str(error)
    assert seconds < TIMEOUT + 10
    assert peak < 48 * 1024 * 1024


def test_a_flood_keeps_a_bounded_backlog_of_events() -> None:
    with fake_agent.serve("flood") as port, Agent("127.0.0.1", port, user="t", timeout=TIMEOUT) as agent:
        with pytest.raises(AgentTimeout):
            agent.pwd()
        assert len(agent._events) <= MAX_EVENTS and agent.events_dropped > 0


MALFORMED_CALLS = [
    ("PORT", lambda a: a.port_trace()),
    ("PFTP", lambda a: a.pftp()),
    ("PRDV", lambda a: a.prdv()),
    ("PDYN", lambda a: a.pdyn()),
    ("STAT", lambda a: a.stat(1)),
    ("STOP", lambda a: a.stop(1)),
    ("EXEC", lambda a: a.exec(["true"])),
    ("PUTF", lambda a: a.put(b"data", "file")),
    ("GETF", lambda a: a.get("file")),
    ("run", lambda a: a.run(["true"])),
]


@pytest.mark.parametrize("scenario", ["malformed", "malformed-big"])
@pytest.mark.parametrize("what, call", MALFORMED_CALLS, ids=[w for w, _ in MALFORMED_CALLS])
def test_malformed_numbers_are_agent_errors(scenario, what, call) -> None:
    error, _, _ = attempt(scenario, call)
    assert type(error) is AgentError, error


def test_malformed_values_that_need_no_number_are_taken_as_text() -> None:
    with fake_agent.serve("malformed-big") as port, Agent("127.0.0.1", port, user="t", timeout=TIMEOUT) as agent:
        assert (agent.genv("HOME"), agent.pwd(), agent.learn_platform()) == ("", "", "posix")


@pytest.mark.parametrize(
    "scenario, call, code",
    [
        ("greeting-escape", None, 999),
        ("ident-escape", None, 533),
        ("escape-replies", lambda a: a.cwd("x"), 551),
        ("escape-replies", lambda a: a.put(b"x", "y"), 526),
        ("escape-replies", lambda a: a.stat(1), 563),
    ],
)
def test_controls_from_the_agent_are_escaped_in_messages_and_kept_in_text(scenario, call, code) -> None:
    error, _, _ = attempt(scenario, call)
    assert error.code == code
    message = str(error)
    assert not any(c in message for c in CONTROLS), repr(message)
    assert "\\x1b]0;owned\\x07" in message and "\\r" in message and "\\x9b\\xff" in message
    assert "\x1b]0;owned\x07" in (error.text or "")


@pytest.mark.parametrize(
    "call, word, path, message",
    [
        (lambda a: a.cwd("/tmp/x/a dir"), "CWD", "/tmp/x/a dir",
         "CWD: /tmp/x/a dir: No such file or directory (551 CWD failed)"),
        (lambda a: a.delf("/tmp/x/a : b.txt"), "DELF", "/tmp/x/a : b.txt",
         "DELF: /tmp/x/a : b.txt: No such file or directory (532 delete file failed)"),
        (lambda a: a.exec("nothing"), "EXEC", "nothing",
         "EXEC: nothing: No such file or directory (561 EXEC process failed)"),
        # No cause is asked for a plain refusal.
        (lambda a: a.genv("UNSET"), "GENV", None, "GENV: 511 getenv failed"),
    ],
)
def test_failures_carry_the_cause_the_agent_tells(call, word, path, message) -> None:
    error, _, _ = attempt("failure-cause", call)
    assert (str(error), error.path) == (message, path)
    assert (error.call, error.error) == (("open", "No such file or directory") if path else (None, None))


def test_an_agent_without_failure_causes_is_asked_once() -> None:
    with fake_agent.serve("escape-replies") as port, Agent("127.0.0.1", port, user="t", timeout=TIMEOUT) as agent:
        for _ in range(2):
            with pytest.raises(AgentError) as caught:
                agent.mkd("d")
            assert caught.value.code == 552 and caught.value.path is None
        assert not agent._explains
        agent.helo()  # the replies stayed in step
