"""The library over mutual TLS against an agent with the test certificates."""

from __future__ import annotations

from pathlib import Path

import pytest

from conftest import Daemon
from kvsstudio import Agent, TlsError, tls_context


def test_tls_to_a_plain_agent(daemon: Daemon, certs: Path) -> None:
    context = tls_context(certs / "ca.pem", certs / "alice.pem", certs / "alice.key")
    with pytest.raises(TlsError, match="does the agent speak TLS"):
        Agent(daemon.host, daemon.port, timeout=5, ssl_context=context)


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
