"""Cleaning what a device prints: terminal escape sequences, line ends and backspace overstrikes.

:func:`clean_output` is the one place where a command's output is cleaned;
everything downstream (failure patterns, parsers, the caller) trusts its result.
:func:`last_line` gives the line a prompt is recognised on, cleaned the same way.
"""
import re
from typing import Optional, Sequence

#: Terminal escape sequences: CSI (colours, cursor movement, erase, bracketed paste
#: ``ESC [ ? 2004 h``), OSC (window titles, ended by BEL or ``ESC \``), device
#: control strings, and the two-character escapes (``ESC 7``, ``ESC =``, ``ESC ( B``).
ESCAPE = re.compile(r"""
    \x1b\[ [0-?]* [\x20-/]* [@-~]          # CSI: parameters, intermediates, final byte
  | \x1b\] [^\x07\x1b]* (?:\x07|\x1b\\)?    # OSC, ended by BEL or ST
  | \x1b [PX^_] .*? \x1b\\                 # DCS, SOS, PM, APC strings
  | \x1b [\x20-/]* [0-~]                   # other escapes, with intermediates
""", re.VERBOSE | re.DOTALL)

#: Carriage returns before a line feed (``\r\n``, ``\r\r\n``): part of that one line end.
CARRIAGE_RETURNS_LINE_END = re.compile(r"\r+\n")
#: Carriage returns at the start of a line move nowhere (``\x1b[?2004l\r`` after Enter).
CARRIAGE_RETURNS_LINE_START = re.compile(r"^\r+", re.MULTILINE)
#: Any other run of carriage returns starts a new line.
CARRIAGE_RETURNS = re.compile(r"\r+")
#: A carriage return that is not part of a line end (``\r\n``, ``\r\r\n``).
LONE_CARRIAGE_RETURN = re.compile(r"\r(?!\r*\n)")

#: Control characters that carry no text: NUL, BEL, shift in and out, DEL.
SILENT_CONTROLS = ("\x00", "\x07", "\x0e", "\x0f", "\x7f")

#: What a device prints right after a pager prompt to erase it before the next page: cursor
#: escapes, carriage returns and backspaces, blanks between them. A ``\r`` that ends a line
#: (``\r\n``) is not an erasure.
PAGER_ERASE = re.compile(r"\A(?:\x1b\[[0-9;?]*[A-Za-z]"
                         r"|(?:\r(?!\n)|\x08)+(?:[ ]+(?:\r(?!\n)|\x08)+)?)+")


def clean_output(text: str) -> str:
    """``text`` as a reader sees it: escape sequences removed, line ends ``\\n``, overstrikes
    resolved.

    ``\\r\\n``, ``\\r\\r\\n`` and a lone ``\\r`` become ``\\n`` (a ``\\r`` at the start of a
    line, which moves nowhere, is dropped); a backspace moves back one
    character, so ``a\\bb`` reads ``b`` and the blanks left by erasing with
    backspace-blank-backspace are dropped at the end of a line.
    """
    if "\x1b" in text:
        text = ESCAPE.sub("", text)
    if "\r" in text:
        if LONE_CARRIAGE_RETURN.search(text) is None:
            # Every \r is part of a line end: dropping them is the quickest way there.
            text = text.replace("\r", "")
        else:
            text = CARRIAGE_RETURNS_LINE_END.sub("\n", text)
            text = CARRIAGE_RETURNS_LINE_START.sub("", text)
            text = CARRIAGE_RETURNS.sub("\n", text)
    if "\x08" in text:
        text = "\n".join(resolve_backspaces(line) if "\x08" in line else line
                         for line in text.split("\n"))
    for control in SILENT_CONTROLS:
        if control in text:
            text = text.replace(control, "")
    return text


def resolve_backspaces(line: str) -> str:
    """One line with each backspace applied as a terminal applies it: the next character
    overwrites the one before. Trailing blanks left by erasing are dropped."""
    cells: list[str] = []
    cursor = 0
    for char in line:
        if char == "\x08":
            cursor = max(cursor - 1, 0)
        elif cursor < len(cells):
            cells[cursor] = char
            cursor += 1
        else:
            cells.append(char)
            cursor += 1
    return "".join(cells).rstrip(" ")


def last_line(text: str) -> str:
    """The last line of ``text``, cleaned: what a device shows when it waits for input.

    The text after the last line break, with escape sequences removed; a lone
    carriage return in it starts the line afresh. Empty when ``text`` ends with
    a line break.
    """
    line = text[text.rfind("\n") + 1:]
    if "\x1b" in line or "\r" in line or "\x08" in line:
        line = clean_output(line)
        line = line[line.rfind("\n") + 1:]
    return line


def erase_length(text: str) -> int:
    """How many characters at the start of ``text`` erase a pager prompt (0 for none)."""
    found = PAGER_ERASE.match(text)
    return found.end() if found else 0


def collapse_repeated_prompt(line: str) -> str:
    """One prompt for a line that holds the same prompt several times over.

    A line sent before the device printed its prompt is answered with a
    second prompt on the same line (``R1>R1>``); read as one prompt, it would
    not match a prompt pattern, or would teach the hostname ``R1>R1``. Returns
    ``line`` itself when it is no repetition.
    """
    text = line.rstrip()
    # The smallest period of ``text``: where it first occurs again in itself doubled.
    period = (text + text).find(text, 1)
    if 0 < period < len(text):
        return text[:period]
    return line


def has_text(text: str, start: int = 0, end: Optional[int] = None) -> bool:
    """True when ``text[start:end]`` shows something once cleaned: more than blanks, line
    ends and escape sequences.

    Looks at pieces of 4 KiB until one shows something, so a long output costs little; an
    escape sequence cut in two by a piece's end may read as text.
    """
    stop = len(text) if end is None else end
    for begin in range(start, stop, 4096):
        piece = text[begin:min(begin + 4096, stop)]
        if not piece.isspace() and clean_output(piece).strip():
            return True
    return False


def failure_line(patterns: Sequence["re.Pattern[str]"], output: str) -> Optional[str]:
    """The line of ``output`` (stripped) where the earliest match of any of ``patterns`` lies,
    or None when none matches."""
    first = None
    for pattern in patterns:
        found = pattern.search(output)
        if found is not None and (first is None or found.start() < first.start()):
            first = found
    if first is None:
        return None
    start = output.rfind("\n", 0, first.start()) + 1
    end = output.find("\n", first.end())
    return output[start:end if end >= 0 else len(output)].strip()
