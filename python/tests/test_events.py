from __future__ import annotations

import sys
import textwrap

from kvsstudio import Agent, Event

# A tester that uses the package's tester side, and a raw rendezvous client
# for the cases a well-behaved tester never produces (603, 602).
TESTER = textwrap.dedent(
    """
    import os, socket, sys, time
    from kvsstudio import Reporter, rendezvous

    print("A", rendezvous("A", timeout=20), flush=True)
    print("B", rendezvous("B", timeout=20), flush=True)
    raw = socket.create_connection(("localhost", int(os.environ["KVS_PORT_RDV"])))
    raw.sendall(b"C\\r\\n")
    time.sleep(0.3)
    raw.sendall(b"stray")
    time.sleep(0.3)
    raw.close()
    with Reporter() as report:
        report.boot("BOOT py")
        report.line("TSF_synchro 3")
        report.line("INTERSEND x")
        print("intersend", report.wait_answer(20).text, flush=True)
        report.line("TIMEOUTRQST 5")
        print("timeout", report.wait_answer(20).text, flush=True)
        report.line("STDIOLKAVAIL")
        print("avail", report.wait_answer(20).text, flush=True)
        report.line("End_of test")
        print("end", report.wait_answer(20).kind, flush=True)
    with Reporter() as quitter:
        quitter.boot("BOOT quitter")
    sys.exit(7)
    """
)


def test_events_with_a_python_tester(agent: Agent) -> None:
    seen: list[Event] = []

    def respond(event: Event) -> None:
        seen.append(event)
        if event.kind == "rendezvous_wait" and event.name in ("A", "B"):
            (agent.release if event.name == "A" else agent.refuse)(event.name)
        elif event.code == 720:
            agent.isnd(event.tester or 0, "sent")
        elif event.code == 722:
            agent.tout(event.tester or 0, "30")
        elif event.kind == "availability":
            agent.avai(event.tester or 0, "studio here")
        elif event.kind == "dynfollow_end":
            agent.answer(event.tester or 0, ok=False)

    agent.on_event = respond
    try:
        result = agent.run([sys.executable, "-c", TESTER], timeout=60)
        # The last notifications may follow the program's end.
        agent.wait_event(lambda e: e.code == 710, timeout=5) if not any(e.code == 710 for e in seen) else None
    finally:
        agent.on_event = None
    assert result.returncode == 7
    assert result.output == b"A True\nB False\nintersend sent\ntimeout 30\navail studio here\nend ko\n"
    summary = [(e.code, e.name, e.text) for e in seen]
    for expected in [
        (601, "A", None), (601, "B", None), (601, "C", None), (603, "C", None), (602, "C", None),
        (700, None, "BOOT py"), (705, None, "TSF_synchro 3"), (720, None, "INTERSEND x"), (722, None, "TIMEOUTRQST 5"),
        (800, None, "STDIOLKAVAIL"), (702, None, "End_of test"), (700, None, "BOOT quitter"), (710, None, ""),
    ]:
        assert expected in summary
    testers = {e.tester for e in seen if e.code in (705, 720, 800, 702)}
    assert len(testers) == 1 and None not in testers


def test_ended_events_and_iteration(agent: Agent) -> None:
    # Without trace output and without run(): the end comes as an event.
    number = agent.exec([sys.executable, "-c", "from kvsstudio import rendezvous; raise SystemExit(3 if rendezvous('R', 20) else 4)"])
    waiting = agent.wait_event(lambda e: e.kind == "rendezvous_wait", timeout=20)
    assert waiting.name == "R"
    agent.refuse("R")
    ended = next(e for e in agent.events(timeout=10) if e.kind == "ended")
    assert ended.ended == [(number, 4)] and ended.line == f"661 process stopped : %1 => %{number} (%4)"
