from __future__ import annotations

import pytest

from conftest import TLS_USER, Daemon
from kvsstudio.pytest_plugin import parse_target

INNER = """
import pytest

@pytest.mark.kvs_agent
def test_marked():
    pass

def test_fixtures(kvs_agent, kvs_agent_session, kvs_agents):
    assert kvs_agent.helo().code == 210
    assert kvs_agent_session.user == "{user}"
    assert [a.port for a in kvs_agents] == [{port}, {port}]

def test_plain():
    pass
"""


def test_plugin_with_and_without_agents(pytester: pytest.Pytester, daemon: Daemon) -> None:
    from kvsstudio import local_user

    pytester.makepyfile(INNER.format(user=local_user(), port=daemon.port))
    target = f"{daemon.host}:{daemon.port}"
    with_agents = pytester.runpytest("--kvs-agent", target, "--kvs-agent", target,
                                     "--kvs-user", local_user())
    with_agents.assert_outcomes(passed=3)
    without = pytester.runpytest()
    without.assert_outcomes(passed=1, skipped=2)
    assert without.ret == 0
    assert [line for line in without.outlines if line.startswith("kvsstudio:")] == [
        "kvsstudio: 2 test(s) that need an agent skipped (--kvs-require-agent fails them): "
        "no agent given (--kvs-agent HOST[:PORT])"]
    required = pytester.runpytest("--kvs-require-agent")
    required.assert_outcomes(passed=1, errors=2)
    assert required.ret != 0


@pytest.mark.parametrize(
    "text, target",
    [("host", ("host", 7011)), ("host:7012", ("host", 7012)), ("[::1]:7013", ("::1", 7013)), ("::1", ("::1", 7011)),
     ("[fe80::1]", ("fe80::1", 7011))],
)
def test_agent_addresses(text: str, target: tuple[str, int]) -> None:
    assert parse_target(text) == target


@pytest.mark.parametrize("text", ["host:0", "host:x", ":7011", "[::1]x"])
def test_bad_agent_addresses(text: str) -> None:
    with pytest.raises(ValueError):
        parse_target(text)


@pytest.mark.parametrize(
    "options, error",
    [
        (["--kvs-tls-cert", "alice.pem"], "--kvs-tls-cert and --kvs-tls-key need --kvs-tls-ca"),
        (["--kvs-tls-ca", "missing.pem"], "cannot read the CA file missing.pem"),
    ],
)
def test_tls_usage_errors(pytester: pytest.Pytester, options: list[str], error: str) -> None:
    result = pytester.runpytest(*options)
    assert result.ret == pytest.ExitCode.USAGE_ERROR
    assert error in result.stderr.str()


TLS_INNER = """
def test_over_tls(kvs_agent):
    assert kvs_agent.ssl_context is not None and kvs_agent.helo().code == 210
"""


def test_plugin_over_tls(pytester: pytest.Pytester, tls_daemon: Daemon) -> None:
    pytester.makepyfile(TLS_INNER)
    certs = tls_daemon.certs
    assert certs is not None
    done = pytester.runpytest("--kvs-agent", f"{tls_daemon.host}:{tls_daemon.port}", "--kvs-user", TLS_USER,
                              "--kvs-tls-ca", str(certs / "ca.pem"), "--kvs-tls-cert", str(certs / "alice.pem"),
                              "--kvs-tls-key", str(certs / "alice.key"))
    done.assert_outcomes(passed=1)
