from __future__ import annotations

import threading
from pathlib import Path

import pytest

from kvsstudio import Agent, Result, RunTimeout

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


def test_threads_share_one_agent(agent: Agent) -> None:
    # A program left running while the threads run theirs: each run gets
    # its own program's input, environment, output and status.
    long = agent.start(["sh", "-c", "echo long; exec sleep 30"])
    assert next(iter(long)) == b"long\n"
    results: dict[tuple[int, int], object] = {}

    def work(thread: int) -> None:
        for turn in range(3):
            tag = f"{thread}.{turn}"
            try:
                results[thread, turn] = agent.run(
                    ["sh", "-c", 'echo "$KVS_PY_TAG"; cat; echo err >&2; exit $1', "sh", str(10 * thread + turn)],
                    env={"KVS_PY_TAG": tag}, stdin=tag.encode() * 5000, timeout=30)
            except Exception as e:  # noqa: BLE001 - reported below
                results[thread, turn] = e

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert not any(thread.is_alive() for thread in threads)
    for (thread, turn), result in sorted(results.items()):
        tag = f"{thread}.{turn}"
        assert isinstance(result, Result), result
        assert (result.returncode, result.output) == (10 * thread + turn, f"{tag}\n{tag * 5000}err\n".encode())
    assert len(results) == 12
    agent.stop(long.number)
    assert long.wait().output == b"long\n"
    with pytest.raises(Exception):
        agent.genv("KVS_PY_TAG")
