"""EXEC command lines for Windows agents: split back by the C runtime's
rules (both of its versions) they give every word as it was, and the agent's
"$" expansion finds no variable reference in them."""

from __future__ import annotations

import re

import pytest

from conftest import Daemon
from kvsstudio import quote_command, quote_word_windows

WORDS = ["plain", "", " ", "a b", "tab\there", '"', '""', 'say "hi"', "\\", "end\\", "a b\\\\", "\\\"",
         'a\\\\"b c', "\\\\server\\c$\\x", "$HOME", "${HOME}", "$", "$$X", "a$", "$_", '$"X', "50%",
         "new\nline", "cr\r\nlf", "\r\n", 'a"b\'c\\d$e{f}g h\\']
REFERENCE = re.compile(r"\$[A-Za-z0-9_{]")


def split_arguments(line: str, older: bool) -> list[str]:
    """The C runtime's splitting; `older`: two quotes inside quotes give a
    quote and leave the quotes (CommandLineToArgvW) instead of staying in."""
    words, i = [], 0
    while True:
        while i < len(line) and line[i] in " \t":
            i += 1
        if i >= len(line):
            return words
        word, quoted = "", False
        while i < len(line) and (quoted or line[i] not in " \t"):
            n = 0
            while i < len(line) and line[i] == "\\":
                n, i = n + 1, i + 1
            if i < len(line) and line[i] == '"':
                word += "\\" * (n // 2)
                if n % 2:
                    word += '"'
                elif quoted and line[i + 1:i + 2] == '"':
                    word, i, quoted = word + '"', i + 1, not older
                else:
                    quoted = not quoted
                i += 1
            else:
                word += "\\" * n
                if i < len(line) and (quoted or line[i] not in " \t"):
                    word, i = word + line[i], i + 1
        words.append(word)


@pytest.mark.parametrize("older", [False, True])
def test_words_come_back_and_nothing_is_expanded(older: bool) -> None:
    line = quote_command(["C:\\Program Files\\t.exe", *WORDS], "windows")
    assert line.startswith('"C:\\Program Files\\t.exe" ') and "\r\n" not in line
    assert not REFERENCE.search(line)
    assert split_arguments(line[len('"C:\\Program Files\\t.exe"'):], older) == WORDS
    for word in WORDS:
        assert split_arguments(quote_word_windows(word), older) == [word], word


def test_program_names() -> None:
    assert quote_command(["cmd.exe", "/c", "echo", "a b"], "windows") == 'cmd.exe /c echo "a b"'
    for bad in ['a"b.exe', "C:\\$Recycle.Bin\\x.exe", "${X}.exe"]:
        with pytest.raises(ValueError):
            quote_command([bad], "windows")


def test_the_platform_is_asked_before_the_programs_variables(daemon: Daemon) -> None:
    with daemon.connect() as agent:  # platform="auto"
        result = agent.run(["printf", "%s", "$HOME"], env={"OS": "Windows_NT"}, timeout=20)
        assert (agent.platform, result.output) == ("posix", b"$HOME")
