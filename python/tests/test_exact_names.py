"""Names and words reach the real agent exactly as given, "$" and all."""

from __future__ import annotations

from pathlib import Path

import pytest

from kvsstudio import Agent

NAMES = [
    "var $HOME.txt",
    "$HOME.txt",
    "Outer$KVSHOSTILE.class",
    "${HOME}",
    "a${b",
    "}closing{",
    "end$",
    "$$",
    "${KVS_STUDIO_DOLLAR}",
    "-leading-dash",
    " leading blank",
    "unicode-é-日本-$PATH",
]


@pytest.mark.parametrize("name", NAMES)
def test_names_are_put_and_got_byte_for_byte(agent: Agent, workdir: Path, name: str) -> None:
    data = name.encode() * 3
    agent.put(data, str(workdir / name))
    assert sorted(p.name for p in workdir.iterdir()) == [name]
    assert (workdir / name).read_bytes() == data
    assert agent.get(str(workdir / name)) == data
    agent.delf(str(workdir / name))
    assert list(workdir.iterdir()) == []


def test_directories_with_dollars(agent: Agent, workdir: Path) -> None:
    folder = "dir $HOME ${x}"
    agent.mkd(folder)
    agent.cwd(folder)
    assert agent.pwd() == str(workdir / folder)
    agent.cwd(str(workdir))
    agent.rmd(folder)
    assert list(workdir.iterdir()) == []


@pytest.mark.parametrize("platform", ["posix", "auto"])
def test_program_words_with_dollars_arrive_unexpanded(daemon, workdir: Path, platform: str) -> None:
    script = workdir / "show $HOME"
    script.write_text('#!/bin/sh\nfor w in "$@"; do printf "<%s>" "$w"; done\n')
    script.chmod(0o755)
    words = [str(script), "$HOME", "${HOME}", "a$", "$1", "${KVS_STUDIO_DOLLAR}", "é$"]
    with daemon.connect(platform=platform) as agent:
        result = agent.run(words, env={"GREETING": "$HOME"})
        # A value keeps its documented expansion.
        assert agent.run(["/bin/sh", "-c", 'printf %s "$GREETING"'], env={"GREETING": "$HOME"}).output != b"$HOME"
    assert result.output.decode() == "".join(f"<{w}>" for w in words[1:])


def test_a_dollar_at_the_end_of_senv_is_one_dollar(agent: Agent) -> None:
    agent.senv("KVS_TEST_DOLLAR", "$")
    assert agent.genv("KVS_TEST_DOLLAR") == "$"
    agent.denv("KVS_TEST_DOLLAR")
