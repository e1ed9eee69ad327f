"""The library's own copies of the protocol's logic (reply texts, quoting,
the ASCII codec, numbers) against tests/data/protocol_cases.tsv, the cases
the agent's and kvsctl's C++ unit tests read too."""

from __future__ import annotations

from pathlib import Path

import pytest

from kvsstudio import AsciiFromWire, ascii_to_wire, quote_word_posix, quote_word_windows
from kvsstudio import agent as agent_module
from kvsstudio import events
from kvsstudio.quoting import quote_program_windows

CASES = Path(__file__).resolve().parents[2] / "tests" / "data" / "protocol_cases.tsv"
ESCAPES = {"t": b"\t", "n": b"\n", "r": b"\r", "v": b"\v", "\\": b"\\"}


def unescape(field: str) -> bytes:
    out, i = bytearray(), 0
    raw = field.encode("utf-8")
    while i < len(raw):
        c = raw[i:i + 1]
        if c != b"\\":
            out += c
            i += 1
            continue
        kind = raw[i + 1:i + 2].decode()
        if kind == "x":
            out.append(int(raw[i + 2:i + 4], 16))
            i += 4
        else:
            out += ESCAPES[kind]
            i += 2
    return bytes(out)


def read_cases() -> dict[str, list[list[bytes]]]:
    cases: dict[str, list[list[bytes]]] = {}
    for line in CASES.read_text(encoding="utf-8").split("\n"):
        if not line or line.startswith("#"):
            continue
        kind, *fields = line.split("\t")
        cases.setdefault(kind, []).append([unescape(f) for f in fields])
    return cases


CASES_BY_KIND = read_cases()


def text(field: bytes) -> str:
    return field.decode("utf-8", errors="surrogateescape")


def rows(kind: str) -> list[list[bytes]]:
    found = CASES_BY_KIND.get(kind, [])
    assert found, f"no {kind} case in {CASES}"
    return found


def test_reply_texts_are_the_tables():
    table = {text(name): text(reply) for name, reply in rows("reply")}
    by_code: dict[int, set[str]] = {}
    for reply in table.values():
        by_code.setdefault(int(reply[:3]), set()).add(reply)
    assert agent_module.GREETING == table["MSG_210_HELLO"]
    assert events._ENDED == table["MSG_661_PROCESS_STOPPED"]
    for code, (_, reply) in {**events._DYNFOLLOW, **events._RENDEZVOUS}.items():
        assert reply in by_code.get(code, set()), (code, reply)
    extension = {text(name): text(reply) for name, reply in rows("extension_reply")}
    assert agent_module._CAUSE == extension["last_failure"]


@pytest.mark.parametrize("word, quoted", rows("quote_posix"))
def test_posix_quoting(word: bytes, quoted: bytes):
    assert quote_word_posix(text(word)) == text(quoted)


@pytest.mark.parametrize("word, quoted", rows("quote_windows"))
def test_windows_quoting(word: bytes, quoted: bytes):
    assert quote_word_windows(text(word)) == text(quoted)


@pytest.mark.parametrize("name, quoted", rows("windows_program"))
def test_windows_program_names(name: bytes, quoted: bytes):
    if quoted == b"-":
        with pytest.raises(ValueError):
            quote_program_windows(text(name))
    else:
        assert quote_program_windows(text(name)) == text(quoted)


@pytest.mark.parametrize("local, wire", rows("ascii_to_wire"))
def test_ascii_to_wire(local: bytes, wire: bytes):
    assert ascii_to_wire(local) == wire


@pytest.mark.parametrize("case", rows("ascii_from_wire"))
def test_ascii_from_wire(case: list[bytes]):
    local, *pieces = case
    decoder = AsciiFromWire()
    assert b"".join(decoder.feed(p) for p in pieces) + decoder.finish() == local
    one_by_one = AsciiFromWire()
    wire = b"".join(pieces)
    assert b"".join(one_by_one.feed(wire[i:i + 1]) for i in range(len(wire))) + one_by_one.finish() == local


@pytest.mark.parametrize("number, low, high, value", rows("integer"))
def test_integers(number: bytes, low: bytes, high: bytes, value: bytes):
    expected = None if value == b"-" else int(value)
    assert events.to_int(text(number), int(low), int(high)) == expected
