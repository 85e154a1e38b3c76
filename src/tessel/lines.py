"""Lines as a device takes them: configuration text split at line ends, one line checked.

Kept free of heavy imports: the CLI, the fleet runner and the Nornir tasks check what they
will send before any session starts.
"""
import re
from typing import List

__all__ = ["LINE_END", "UNTYPABLE", "check_line", "split_lines"]

#: Line ends that split a configuration text into lines.
LINE_END = re.compile(r"\r\n|\r|\n")
#: What cannot be typed inside one line: control characters (C0, DEL, C1; TAB among them, which
#: a command line reads as completion) and the Unicode line and paragraph separators.
UNTYPABLE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029]")


def split_lines(text: str) -> List[str]:
    """The lines of ``text``, split at ``\\n``, ``\\r\\n`` and ``\\r`` only.

    ``str.splitlines`` also splits at form feeds, U+2028 and other
    separators, which then vanish from what is sent; here they stay in their
    line, where :func:`check_line` refuses them. A final line end starts no
    extra line, and a byte order mark that starts the text (an editor's
    mark of a UTF-8 file) is dropped.
    """
    if not isinstance(text, str):
        raise TypeError("configuration text is a str, not %s" % type(text).__name__)
    lines = LINE_END.split(text.removeprefix("\ufeff"))
    if lines[-1] == "":
        lines.pop()
    return lines


def check_line(text: str, what: str = "the command") -> str:
    """``text`` when it can be typed as one line; a ValueError names the first character that
    cannot.

    Line breaks, control characters (Ctrl-U erases the line, ESC starts a key
    sequence, TAB completes a word) and U+2028/U+2029 would make the device
    run something else than the text. The message shows no part of the text,
    which may hold a secret.
    """
    if not isinstance(text, str):
        raise TypeError("%s is a str, not %s" % (what, type(text).__name__))
    found = UNTYPABLE.search(text)
    if found is None:
        return text
    char = found.group()
    if char in "\r\n":
        raise ValueError("%s is one line, but holds a line break at column %d: send lines one "
                         "by one" % (what, found.start() + 1))
    if char == "\t":
        raise ValueError("%s holds a TAB at column %d, which a command line reads as "
                         "completion: use spaces" % (what, found.start() + 1))
    raise ValueError("%s holds the control character U+%04X at column %d, which the device "
                     "would act on instead of reading it" % (what, ord(char), found.start() + 1))
