"""The library over mutual TLS against an agent with the test certificates."""

from __future__ import annotations

import io
import os
import socket
import ssl
import threading
import time
from collections.abc import Iterator
from pathlib import Path

import pytest

from conftest import TLS_USER, Daemon
from kvsstudio import Agent, AgentTimeout, Result, TlsError, TlsSocket, tls_context

MIB = os.urandom(1024 * 1024 + 17)


@pytest.fixture(scope="module")
def tls_agent(tls_daemon: Daemon) -> Iterator[Agent]:
    with tls_daemon.connect() as agent:
        yield agent


def test_transfers(tls_agent: Agent, tmp_path: Path) -> None:
    agent = tls_agent
    assert agent.put(MIB, str(tmp_path / "blob")) == len(MIB)
    assert (tmp_path / "blob").read_bytes() == MIB
    assert agent.get(str(tmp_path / "blob")) == MIB
    agent.put(b"one\ntwo\n", str(tmp_path / "text"), mode="ascii")
    assert agent.get(str(tmp_path / "text"), mode="ascii") == b"one\ntwo\n"

    class Broken(io.RawIOBase):
        def read(self, size: int = -1) -> bytes:
            raise OSError("disk gone")

    # A transfer broken here is not a whole file there.
    with pytest.raises(OSError, match="disk gone"):
        agent.put(Broken(), str(tmp_path / "partial"))
    assert agent.helo().code == 210


def test_programs(tls_agent: Agent) -> None:
    # Input, its end, output and status over the program's trace connection.
    result = tls_agent.run(["sh", "-c", "cat; echo err >&2; exit 3"], stdin=MIB, timeout=30)
    assert (result.returncode, result.output) == (3, MIB + b"err\n")
    assert tls_agent.run(["cat"], timeout=30) == Result(0, b"")
    process = tls_agent.start(["sh", "-c", "echo first; exec sleep 30"])
    assert next(iter(process)) == b"first\n"
    tls_agent.stop(process.number)
    assert process.wait() == Result(0, b"first\n")


def test_threads_share_one_tls_agent(tls_agent: Agent, tmp_path: Path) -> None:
    results: dict[int, object] = {}

    def work(n: int) -> None:
        data = bytes([n]) * (200_000 + n)
        try:
            tls_agent.put(data, str(tmp_path / f"f{n}"))
            got = tls_agent.get(str(tmp_path / f"f{n}"))
            run = tls_agent.run(["sh", "-c", f"cat; exit {n}"], stdin=data, timeout=30)
            results[n] = (got == data, run.returncode, run.output == data)
        except Exception as e:  # noqa: BLE001 - reported below
            results[n] = e

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert results == {n: (True, n, True) for n in range(4)}


@pytest.mark.parametrize(
    "studio, host, reason",
    [
        # Our side refuses the agent.
        (dict(name=TLS_USER, ca="other-ca"), "127.0.0.1", "certificate verify failed"),
        (dict(name=TLS_USER), "127.0.0.2", "IP address mismatch"),
        # The agent refuses us.
        (dict(name=None), "127.0.0.1", "certificate required"),
        (dict(name="stranger"), "127.0.0.1", "unknown ca"),
    ],
    ids=["agent-from-another-ca", "address-not-in-certificate", "no-certificate", "certificate-from-another-ca"],
)
def test_tls_failures_raise_tls_error(tls_daemon: Daemon, studio: dict, host: str, reason: str) -> None:
    with pytest.raises(TlsError, match=reason):
        Agent(host, tls_daemon.port, user=TLS_USER, timeout=5, ssl_context=tls_daemon.studio(**studio))


def test_tls_to_a_plain_agent(daemon: Daemon, certs: Path) -> None:
    context = tls_context(certs / "ca.pem", certs / "alice.pem", certs / "alice.key")
    with pytest.raises(TlsError, match="does the agent speak TLS"):
        Agent(daemon.host, daemon.port, timeout=5, ssl_context=context)


def test_plain_studio_to_a_tls_agent(tls_daemon: Daemon) -> None:
    with pytest.raises(AgentTimeout, match="does the agent want TLS"):
        Agent(tls_daemon.host, tls_daemon.port, user=TLS_USER, timeout=1)


@pytest.mark.parametrize(
    "files, error",
    [
        (("missing.pem",), "cannot read the CA file .*missing.pem: No such file"),
        (("alice.key",), "unusable CA file .*alice.key"),
        (("ca.pem", "alice.pem", "bob.key"), "unusable certificate .*key values mismatch"),
        (("ca.pem", "alice.pem"), "unusable certificate"),  # the key is not in the certificate's file
    ],
)
def test_unusable_files(certs: Path, files: tuple[str, ...], error: str) -> None:
    with pytest.raises(TlsError, match=error):
        tls_context(*(certs / name for name in files))


def test_input_ends_while_output_goes_on(certs: Path) -> None:
    # A TLS peer that sends a stream, then reads ours to its close_notify and
    # answers with its length: our end of sending must neither lose the
    # records that have arrived unread nor stop the reading.
    server = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server.load_cert_chain(certs / "agent.pem", certs / "agent.key")
    stream = os.urandom(1024 * 1024)
    with socket.create_server(("127.0.0.1", 0)) as listener:
        def serve() -> None:
            with server.wrap_socket(listener.accept()[0], server_side=True) as peer:
                peer.sendall(stream)
                received = b""
                while piece := peer.recv(65536):
                    received += piece
                peer.sendall(b"%d" % len(received))
                peer.unwrap()

        thread = threading.Thread(target=serve, daemon=True)
        thread.start()
        raw = socket.create_connection(listener.getsockname(), timeout=10)
        tls = TlsSocket(raw, tls_context(certs / "ca.pem"), "127.0.0.1")
        tls.handshake(time.monotonic() + 10)
        got = tls.recv(100)  # what follows is partly in the session, unread
        tls.sendall(b"input")
        tls.shutdown(socket.SHUT_WR)
        while piece := tls.recv(65536):
            got += piece
        tls.close()
        thread.join(10)
    assert got == stream + b"5"
