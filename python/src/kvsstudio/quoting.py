"""How a program's words become one EXEC command line.

The agent expands "$NAME" references in every command line. A POSIX agent
then splits an EXEC line into words as a shell does; a Windows agent gives
it to CreateProcess, which takes the program name from it, and the program
splits the rest by its C runtime's rules. The quoting here gives each word
back exactly as it was, the same way kvsctl quotes.
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


_NAME_START = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_{")


def _opens_reference(word: str, i: int) -> bool:
    """Whether the agent's expansion would take the "$" at `i` as the start
    of a variable reference."""
    return word[i] == "$" and i + 1 < len(word) and (word[i + 1] in _NAME_START)


def quote_word_windows(word: str, references: bool = True) -> str:
    """One argument for an agent on Windows, where the program splits its
    command line by the C runtime's rules (CommandLineToArgvW).

    Arguments without blank, tab, quote, CR, LF or vertical tab go as they
    are; others are put in double quotes, the backslashes before a quote
    (or before the closing quote) doubled and the quote escaped. Where the agent would see
    a variable reference ("$" before a letter, digit, "_" or "{") the
    quotes close after the "$" and the next character stands outside them;
    a CR before an LF is cut from it the same way. Two quotes never stand
    side by side inside quotes, where runtimes disagree. With `references`
    False the caller makes sure that the agent expands nothing, and "$" is
    an ordinary character.
    """
    def opens(i: int) -> bool:
        return references and _opens_reference(word, i)

    quote = word == "" or any(c in ' \t"\r\n\v' for c in word) or any(opens(i) for i in range(len(word)))
    if not quote:
        return word
    out = ['"']
    backslashes = 0
    i = 0
    while i < len(word):
        c = word[i]
        if c == "\\":
            backslashes += 1
            out.append(c)
        else:
            if c == '"':
                out.append("\\" * (backslashes + 1) + c)
            elif opens(i) or (c == "\r" and word[i + 1:i + 2] == "\n"):
                i += 1
                out.append(c + '"' + word[i] + '"')
            else:
                out.append(c)
            backslashes = 0
        i += 1
    out.append("\\" * backslashes + '"')
    return "".join(out)


def quote_program_windows(name: str, references: bool = True) -> str:
    """The program name as CreateProcess reads it: up to the first blank or
    tab, or between quotes without escapes. A name that holds a quote, a CR,
    an LF, or (with `references`) a "$" before a variable name cannot be
    sent (ValueError)."""
    if any(c in '"\r\n' for c in name) or (references and any(_opens_reference(name, i) for i in range(len(name)))):
        raise ValueError(
            f"{name!r} cannot be a Windows program name: it holds a quote, a line end, or a '$' the agent "
            "would expand (no quoting of a program name prevents that)")
    if name and not any(c in " \t" for c in name):
        return name
    return '"' + name + '"'


# The quoting of the program name and of the arguments on each agent platform.
QUOTERS: dict[str, tuple[Callable[[str], str], Callable[[str], str]]] = {
    "posix": (quote_word_posix, quote_word_posix),
    "windows": (quote_program_windows, quote_word_windows),
}


def platform_from_os(os_value: str | None) -> str:
    """The agent's platform from its OS variable (GENV OS): "Windows_NT"
    is "windows"; anything else, or none, "posix"."""
    return "windows" if os_value == "Windows_NT" else "posix"


def quote_command(words: Sequence[str], platform: str = "posix", dollar: str | None = None) -> str:
    """The words quoted for `platform` and joined by blanks.

    With `dollar`, a reference to a variable of the agent whose value is
    "$", every "$" of the words is written as that reference: the words are
    quoted as if the agent expanded nothing, and the agent's expansion then
    gives each "$" back (this also lets a Windows program name hold one)."""
    if isinstance(words, str):
        raise TypeError("quote_command takes a sequence of words, not a string")
    if not words:
        raise ValueError("a command needs at least the program")
    try:
        quote_program, quote = QUOTERS[platform]
    except KeyError:
        raise ValueError(f"unknown agent platform {platform!r}") from None
    for word in words:
        if "\0" in word:
            raise ValueError("a word cannot hold a NUL character")
    if dollar is None:
        return " ".join([quote_program(words[0]), *(quote(w) for w in words[1:])])
    if platform == "windows":
        line = " ".join([quote_program_windows(words[0], False), *(quote_word_windows(w, False) for w in words[1:])])
    else:
        line = " ".join(quote_word_posix(w) for w in words)
    return line.replace("$", dollar)
