"""pytest plugin: agents named on the command line as fixtures.

    pytest --kvs-agent host1 --kvs-agent host2:7012 [--kvs-user NAME] [--kvs-timeout SEC]
           [--kvs-tls-ca FILE [--kvs-tls-cert FILE --kvs-tls-key FILE]]

Fixtures: `kvs_agent` (an identified Agent on the first host, closed after
the test), `kvs_agent_session` (the same, shared by the whole session: the
daemon accepts one connection per second), `kvs_agents` (one Agent per host,
closed after the test). Tests marked ``@pytest.mark.kvs_agent`` are skipped
when no agent is given; so is every test that uses one of the fixtures, and
the summary says how many were. With --kvs-require-agent they fail instead.
With --kvs-tls-ca every Agent speaks TLS (see kvsstudio.tls_context).
"""

from __future__ import annotations

from collections.abc import Iterator

import ssl

import pytest

from .agent import DEFAULT_PORT, DEFAULT_TIMEOUT, Agent
from .errors import TlsError
from .tls import tls_context


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("kvsstudio", "kvsagtd test agents")
    group.addoption("--kvs-agent", action="append", default=[], metavar="HOST[:PORT]",
                    help="an agent to test against (repeatable); [IPV6]:PORT for IPv6 literals")
    group.addoption("--kvs-user", default=None, metavar="NAME", help="user to identify as (default: the local account)")
    group.addoption("--kvs-require-agent", action="store_true", default=False,
                    help="fail the tests that need an agent when no --kvs-agent is given (default: skip them)")
    group.addoption("--kvs-timeout", type=float, default=DEFAULT_TIMEOUT, metavar="SEC",
                    help=f"reply time-out in seconds (default {DEFAULT_TIMEOUT:g})")
    group.addoption("--kvs-tls-ca", default=None, metavar="FILE",
                    help="speak TLS, verifying the agents' certificates against this CA file (PEM)")
    group.addoption("--kvs-tls-cert", default=None, metavar="FILE",
                    help="the certificate (PEM) to show agents that ask for one (needs --kvs-tls-ca)")
    group.addoption("--kvs-tls-key", default=None, metavar="FILE",
                    help="the key of --kvs-tls-cert (default: read from that file)")


_context = pytest.StashKey[ssl.SSLContext]()


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "kvs_agent: needs an agent given with --kvs-agent (skipped otherwise)")
    ca, cert, key = (config.getoption(name) for name in ("kvs_tls_ca", "kvs_tls_cert", "kvs_tls_key"))
    if ca is None:
        if cert is not None or key is not None:
            raise pytest.UsageError("--kvs-tls-cert and --kvs-tls-key need --kvs-tls-ca")
        return
    if key is not None and cert is None:
        raise pytest.UsageError("--kvs-tls-key needs --kvs-tls-cert")
    try:
        config.stash[_context] = tls_context(ca, cert, key)
    except TlsError as e:
        raise pytest.UsageError(str(e)) from None


def parse_target(text: str) -> tuple[str, int]:
    """HOST, HOST:PORT, [IPV6]:PORT, [IPV6] or a bare IPv6 literal."""
    if text.startswith("["):
        host, _, rest = text[1:].partition("]")
        port = rest[1:] if rest.startswith(":") else ""
        if rest and not rest.startswith(":"):
            raise ValueError(f"bad agent address {text!r}")
    elif text.count(":") == 1:
        host, port = text.split(":")
    else:
        host, port = text, ""
    if not host:
        raise ValueError(f"bad agent address {text!r}")
    if not port:
        return host, DEFAULT_PORT
    if not port.isdigit() or not 1 <= int(port) <= 65535:
        raise ValueError(f"bad port in {text!r}")
    return host, int(port)


def _targets(config: pytest.Config) -> list[tuple[str, int]]:
    try:
        return [parse_target(t) for t in config.getoption("kvs_agent")]
    except ValueError as e:
        raise pytest.UsageError(str(e)) from None


_FIXTURES = frozenset({"kvs_agent", "kvs_agent_session", "kvs_agents"})
_NO_AGENT = "no agent given (--kvs-agent HOST[:PORT])"
_without_agent = pytest.StashKey[int]()


def _needs_agent(item: pytest.Item) -> bool:
    return item.get_closest_marker("kvs_agent") is not None or bool(
        _FIXTURES & set(getattr(item, "fixturenames", ())))


def pytest_runtest_setup(item: pytest.Item) -> None:
    config = item.config
    if not _needs_agent(item) or _targets(config):
        return
    config.stash[_without_agent] = config.stash.get(_without_agent, 0) + 1
    if config.getoption("kvs_require_agent"):
        pytest.fail(_NO_AGENT + " and --kvs-require-agent is set", pytrace=False)
    pytest.skip(_NO_AGENT)


def pytest_terminal_summary(terminalreporter, exitstatus: int, config: pytest.Config) -> None:
    count = config.stash.get(_without_agent, 0)
    if count:
        done = "failed" if config.getoption("kvs_require_agent") else "skipped (--kvs-require-agent fails them)"
        terminalreporter.write_line(f"kvsstudio: {count} test(s) that need an agent {done}: {_NO_AGENT}")


def _open(config: pytest.Config, target: tuple[str, int]) -> Agent:
    return Agent(target[0], target[1], user=config.getoption("kvs_user"), timeout=config.getoption("kvs_timeout"),
                 ssl_context=config.stash.get(_context, None))


def _first(config: pytest.Config) -> tuple[str, int]:
    targets = _targets(config)
    if not targets:
        pytest.skip("no agent given (--kvs-agent HOST[:PORT])")
    return targets[0]


@pytest.fixture
def kvs_agent(pytestconfig: pytest.Config) -> Iterator[Agent]:
    """An identified Agent on the first --kvs-agent, closed after the test."""
    agent = _open(pytestconfig, _first(pytestconfig))
    with agent:
        yield agent


@pytest.fixture(scope="session")
def kvs_agent_session(pytestconfig: pytest.Config) -> Iterator[Agent]:
    """An identified Agent on the first --kvs-agent for the whole session."""
    agent = _open(pytestconfig, _first(pytestconfig))
    with agent:
        yield agent


@pytest.fixture
def kvs_agents(pytestconfig: pytest.Config) -> Iterator[list[Agent]]:
    """One identified Agent per --kvs-agent, in order, closed after the test."""
    targets = _targets(pytestconfig)
    if not targets:
        pytest.skip("no agent given (--kvs-agent HOST[:PORT])")
    agents: list[Agent] = []
    try:
        for target in targets:
            agents.append(_open(pytestconfig, target))
        yield agents
    finally:
        for agent in agents:
            agent.close()
