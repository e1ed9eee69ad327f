from __future__ import annotations

from pathlib import Path

import pytest

from kvsstudio import Agent, RunTimeout

WORDS = ["plain", "two words", "it's", "$HOME", "${HOME}", "a\\b", '"q"', "", "tab\there", "semi;colon|pipe&", "line\nfeed", "cr\rx", "é"]


@pytest.mark.parametrize(
    "command, returncode, output",
    [
        (["sh", "-c", "exit 3"], 3, b""),
        (["sh", "-c", "echo out; echo err >&2; exit 0"], 0, b"out\nerr\n"),
        (["printf", "[%s]\\n", *WORDS], 0, "".join(f"[{w}]\n" for w in WORDS).encode()),
        ("sh -c 'kill -TERM $$'", 128 + 15, b""),
        ("echo 'a  b'", 0, b"a  b\n"),
        (["cat"], 0, b""),  # standard input ends at once
    ],
)
def test_exit_status_and_output(agent: Agent, command, returncode: int, output: bytes) -> None:
    result = agent.run(command, timeout=20)
    assert (result.returncode, result.output) == (returncode, output)


def test_directory_environment_and_input(agent: Agent, tmp_path: Path) -> None:
    before = agent.pwd()
    data = bytes(range(256)) * 2000
    result = agent.run(["sh", "-c", 'pwd; echo "$KVS_PY_RUN"; cat'], cwd=str(tmp_path),
                       env={"KVS_PY_RUN": "v a l"}, stdin=data, timeout=20)
    assert result.output == f"{tmp_path}\nv a l\n".encode() + data
    # Only the program got them.
    assert agent.pwd() == before
    with pytest.raises(Exception):
        agent.genv("KVS_PY_RUN")
    assert agent.run(["sh", "-c", "read x; echo got $x"], stdin="text\n").output == b"got text\n"


def test_streamed_output(agent: Agent) -> None:
    script = "for i in 1 2 3; do echo $i; sleep 0.1; done"
    seen: list[bytes] = []
    process = agent.start(["sh", "-c", script], on_output=seen.append)
    chunks = []
    for chunk in process:
        chunks.append(chunk)
    assert b"".join(chunks) == b"1\n2\n3\n" == b"".join(seen)
    assert process.returncode == 0 and process.wait().output == b"1\n2\n3\n"


def test_first_chunk_arrives_before_the_end(agent: Agent) -> None:
    process = agent.start(["sh", "-c", "echo first; sleep 30"])
    first = next(iter(process))
    assert first == b"first\n" and process.returncode is None
    agent.stop(process.number)
    assert process.wait().returncode == 0  # a stopped program ends with status 0


def test_run_timeout_stops_the_program(agent: Agent) -> None:
    with pytest.raises(RunTimeout) as late:
        agent.run(["sh", "-c", "echo started; exec sleep 30"], timeout=1)
    assert late.value.output == b"started\n"
    assert agent.stat(late.value.number).exit_code == 0
    assert agent.run(["true"]).returncode == 0
