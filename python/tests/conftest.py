"""Starts the agent built by the tree on a free port, with an authorization
file of its own, for the whole test session; a TLS agent with the test
certificates (tests/tls/make-certs.sh) for the TLS tests."""

from __future__ import annotations

import os
import signal
import socket
import ssl
import subprocess
import time
from contextlib import contextmanager
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path

import pytest

from kvsstudio import Agent, local_user, tls_context

pytest_plugins = ["pytester"]

TOP = Path(__file__).resolve().parents[2]
TIMEOUT = 5.0
# The studio certificate TLS tests identify with (CN=alice).
TLS_USER = "alice"


@dataclass
class Daemon:
    host: str
    port: int
    pid: int
    dir: Path
    certs: Path | None = None  # a TLS agent's certificates

    def studio(self, name: str | None = TLS_USER, ca: str = "ca") -> ssl.SSLContext:
        """A client context with certificate `name` (None: none), trusting `ca`."""
        assert self.certs is not None
        cert = None if name is None else self.certs / f"{name}.pem"
        return tls_context(self.certs / f"{ca}.pem", cert, None if name is None else self.certs / f"{name}.key")

    def connect(self, **kwargs: object) -> Agent:
        kwargs.setdefault("timeout", TIMEOUT)
        if self.certs is not None:
            kwargs.setdefault("ssl_context", self.studio())
            kwargs.setdefault("user", TLS_USER)
        return Agent(self.host, self.port, **kwargs)  # type: ignore[arg-type]

    def children(self) -> set[int]:
        """Pids of the connection processes (not the one the daemon started
        ahead of the next connection, which waits with nothing open but its
        channel to the daemon besides 0-2)."""
        found = set()
        for entry in Path("/proc").iterdir():
            if entry.name.isdigit():
                try:
                    stat = (entry / "stat").read_text()
                    fields = stat.rsplit(")", 1)[1].split()
                    if int(fields[1]) != self.pid or fields[0] == "Z":
                        continue
                    others = [fd for fd in os.listdir(entry / "fd") if fd not in ("0", "1", "2")]
                    if len(others) == 1 and os.readlink(entry / "fd" / others[0]).startswith("socket:"):
                        continue
                except OSError:
                    continue
                found.add(int(entry.name))
        return found


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def eventually(predicate: Callable[[], bool], timeout: float = TIMEOUT) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


@contextmanager
def running_daemon(folder: Path, certs: Path | None = None) -> Iterator[Daemon]:
    """An agent started in `folder` (its directory and KVS_DIR), killed at the
    end; with `certs`, over mutual TLS with the test certificates."""
    binary = Path(os.environ.get("KVS_AGENTD", TOP / "build" / "kvsagtd"))
    if not binary.exists():
        pytest.fail(f"no agent at {binary}: build it (cmake --build build) or set KVS_AGENTD")
    # The account running the tests, and a user that is always refused.
    (folder / "kvsagtd.ini").write_text(f"+ {local_user()}\n+ -refused\n" + (f"+ {TLS_USER}\n" if certs else ""))
    port = free_port()
    env = dict(os.environ, KVS_DIR=str(folder), KVS_ACCEPT_PAUSE_MS="0")
    if certs is not None:
        env.update(KVS_TLS_CERT=str(certs / "agent.pem"), KVS_TLS_KEY=str(certs / "agent.key"),
                   KVS_TLS_CLIENT_CA=str(certs / "ca.pem"))
    log = open(folder / "agent.log", "wb")
    proc = subprocess.Popen([str(binary), str(port)], cwd=folder, env=env, stdout=log, stderr=log,
                            start_new_session=True)
    log.close()

    def listening() -> bool:
        for name in ("/proc/net/tcp", "/proc/net/tcp6"):
            with open(name) as table:
                for line in table:
                    fields = line.split()
                    if fields[1].endswith(f":{port:04X}") and fields[3] == "0A":
                        return True
        return False

    if not eventually(listening, 10):
        proc.kill()
        pytest.fail("the agent did not start listening: " + (folder / "agent.log").read_text())
    yield Daemon("127.0.0.1", port, proc.pid, folder, certs)
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    proc.wait(timeout=10)


@pytest.fixture(scope="session")
def daemon(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Daemon]:
    with running_daemon(tmp_path_factory.mktemp("agent")) as started:
        yield started


@pytest.fixture(scope="session")
def certs(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """The test certificates, made once per session."""
    folder = tmp_path_factory.mktemp("certs")
    subprocess.run(["sh", str(TOP / "tests" / "tls" / "make-certs.sh"), str(folder)], check=True, timeout=120)
    return folder


@pytest.fixture(scope="session")
def tls_daemon(tmp_path_factory: pytest.TempPathFactory, certs: Path) -> Iterator[Daemon]:
    """An agent over mutual TLS: its studios show a certificate from the test CA."""
    with running_daemon(tmp_path_factory.mktemp("tls-agent"), certs) as started:
        yield started


@pytest.fixture(scope="session")
def agent(daemon: Daemon) -> Iterator[Agent]:
    """One connection for every test that leaves it usable (the daemon
    pauses after each accept)."""
    with daemon.connect() as shared:
        yield shared


@pytest.fixture
def workdir(agent: Agent, tmp_path: Path) -> Path:
    """A fresh directory, the shared connection's current one during the test."""
    before = agent.pwd()
    agent.cwd(str(tmp_path))
    yield tmp_path
    agent.cwd(before)
