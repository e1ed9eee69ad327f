"""How a program's words become one EXEC command line.

The agent expands "$NAME" references in every command line and then splits
an EXEC line into words by the rules of the agent's platform. The quoting
here gives each word back exactly as it was, the same way kvsctl quotes.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence

_PLAIN = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-+=.,/:@%^")


def quote_word_posix(word: str) -> str:
    """One word for an agent that splits command lines as a POSIX shell does.

    Words made only of plain characters go as they are; others are put in
    single quotes. Every "$" and CR is followed by a closing and reopening
    quote, so that no variable name starts after a "$" and no CR LF can end
    the protocol line.
    """
    if word == "":
        return "''"
    if all(c in _PLAIN for c in word):
        return word
    out = ["'"]
    for c in word:
        if c == "'":
            out.append("'\\''")
        elif c in "$\r":
            out.append(c + "''")
        else:
            out.append(c)
    out.append("'")
    return "".join(out)


def _unsupported(platform: str) -> Callable[[str], str]:
    def quote(word: str) -> str:
        raise NotImplementedError(f"no EXEC quoting for agents on {platform!r} yet; pass a command line string")

    return quote


# The quoting of each agent platform; "windows" follows the agent's own rules
# once they are fixed.
QUOTERS: dict[str, Callable[[str], str]] = {
    "posix": quote_word_posix,
    "windows": _unsupported("windows"),
}


def quote_command(words: Sequence[str], platform: str = "posix") -> str:
    """The words quoted for `platform` and joined by blanks."""
    if isinstance(words, str):
        raise TypeError("quote_command takes a sequence of words, not a string")
    if not words:
        raise ValueError("a command needs at least the program")
    try:
        quote = QUOTERS[platform]
    except KeyError:
        raise ValueError(f"unknown agent platform {platform!r}") from None
    for word in words:
        if "\0" in word:
            raise ValueError("a word cannot hold a NUL character")
    return " ".join(quote(w) for w in words)
