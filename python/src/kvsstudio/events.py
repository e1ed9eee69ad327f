"""Unsolicited lines of the command connection, as events."""

from __future__ import annotations

import re
from dataclasses import dataclass, field

# Dynamic-follow notifications: reply text, then "<tester> <line>".
_DYNFOLLOW = {
    700: ("dynfollow_boot", "700 boot dynfollow : "),
    701: ("dynfollow_line", "701 line dynfollow : "),
    702: ("dynfollow_end", "702 end dynfollow : "),
    703: ("dynfollow_line", "703 tsf notify dynfollow : "),
    704: ("dynfollow_line", "704 tsf declareinstance dynfollow : "),
    705: ("dynfollow_line", "705 tsf synchro dynfollow : "),
    706: ("dynfollow_line", "706 tsf send_message dynfollow : "),
    707: ("dynfollow_line", "707 tsf waittil_message dynfollow : "),
    708: ("dynfollow_line", "708 tsf intersend_message dynfollow : "),
    709: ("dynfollow_line", "709 tsf interrecv_message dynfollow : "),
    710: ("dynfollow_disconnected", "710 tester disconnected dynfollow : "),
    711: ("dynfollow_line", "711 tsf begin_waittil dynfollow : "),
    712: ("dynfollow_line", "712 tsf end_waittil dynfollow : "),
    713: ("dynfollow_line", "713 tsf inittermexcept_block dynfollow : "),
    720: ("dynfollow_line", "720 INTERSEND : "),
    721: ("dynfollow_line", "721 INTERRECV : "),
    722: ("dynfollow_line", "722 timeout request : "),
    800: ("availability", "800 tester asks for studio availability : "),
}

_RENDEZVOUS = {
    601: ("rendezvous_wait", "601 wait rendezvous : "),
    602: ("rendezvous_quit", "602 quit rendezvous : "),
    603: ("rendezvous_error", "603 error on rendezvous : "),
}

_ENDED = "661 process stopped : "
# ASCII digits only, and no more than any 32-bit number needs: a longer run
# of digits is no number the agent writes.
_PAIR = re.compile(r"%(-?[0-9]{1,10}) \(%(-?[0-9]{1,10})\)")
_INT = re.compile(r"-?[0-9]{1,10}")


def reply_code(line: str) -> int | None:
    """The three-digit code at the start of a line, or None."""
    head = line[:3]
    return int(head) if len(head) == 3 and all("0" <= c <= "9" for c in head) else None


def to_int(text: str, low: int = -(2**31), high: int = 2**31 - 1) -> int | None:
    """`text` as a decimal number within [low, high] (ASCII digits, an
    optional minus), or None."""
    if not _INT.fullmatch(text):
        return None
    value = int(text)
    return value if low <= value <= high else None


@dataclass
class Event:
    """One notification line.

    kind: "ended" (661), "rendezvous_wait" / "rendezvous_quit" /
    "rendezvous_error" (601-603), "dynfollow_boot" (700), "dynfollow_line"
    (701, 703-709, 711-713, 720-722), "dynfollow_end" (702),
    "dynfollow_disconnected" (710), "availability" (800), "error" (580, 581,
    590-593), "text" (a line without a code, such as the rest of a boot
    message that held CR LF).
    """

    code: int
    kind: str
    line: str
    name: str | None = None  # rendezvous name (601-603)
    tester: int | None = None  # tester id (700-800)
    text: str | None = None  # the tester's boot text or line (700-800)
    ended: list[tuple[int, int]] = field(default_factory=list)  # (process, exit status) pairs (661)


def is_notification(line: str) -> bool:
    """Whether a line is unsolicited rather than the reply to a command."""
    code = reply_code(line)
    if code is None or len(line) < 4 or line[3] != " ":
        return False
    return 600 <= code <= 899 or code in (580, 581) or 590 <= code <= 593


def parse_event(line: str) -> Event:
    """The event a notification line stands for."""
    code = reply_code(line) or 0
    if line.startswith(_ENDED):
        rest = line[len(_ENDED):]
        arrow = rest.find(" => ")
        pairs = [(int(p), int(c)) for p, c in _PAIR.findall(rest[arrow + 4:])] if arrow >= 0 else []
        return Event(code, "ended", line, ended=pairs)
    if code in _RENDEZVOUS:
        kind, prefix = _RENDEZVOUS[code]
        if line.startswith(prefix):
            return Event(code, kind, line, name=line[len(prefix):])
    if code in _DYNFOLLOW:
        kind, prefix = _DYNFOLLOW[code]
        if line.startswith(prefix):
            rest = line[len(prefix):]
            digits, _, text = rest.partition(" ")
            tester = to_int(digits, 0)
            if tester is not None:
                return Event(code, kind, line, tester=tester, text=text)
    if code == 0:
        return Event(0, "text", line, text=line)
    return Event(code, "error" if code < 600 else "other", line)
