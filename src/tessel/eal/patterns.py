"""Regular expressions compiled once per text: by ``re``, or by ``re2`` where it can.

Plain Python (no pexpect), so that the simulators and the configuration trees
(:mod:`tessel.config`) use the same compiled patterns as the device handle
(:mod:`tessel.eal.spawn`) without its imports.
"""
import re
from typing import Any, Dict, Sequence

try:
    import re2
except ImportError:  # pragma: no cover - a dependency; re (with the length bound) stands in
    re2 = None

__all__ = ["any_of", "compiled", "prompt_compiled"]

#: Compiled patterns by their text: platforms and dialogs give the same texts over and over.
_COMPILED: Dict[str, "re.Pattern[str]"] = {}
_COMPILED_LIMIT = 4096


def compiled(pattern: str) -> "re.Pattern[str]":
    """``re.compile(pattern)``, cached by the pattern's text."""
    found = _COMPILED.get(pattern)
    if found is None:
        if len(_COMPILED) >= _COMPILED_LIMIT:
            _COMPILED.clear()
        found = _COMPILED[pattern] = re.compile(pattern)
    return found


_PROMPT_COMPILED: Dict[str, Any] = {}

if re2 is not None:
    _RE2_OPTIONS = re2.Options()
    _RE2_OPTIONS.log_errors = False  # a refused pattern falls back to re: no noise on stderr
    _ANY_OPTIONS = re2.Options()
    _ANY_OPTIONS.log_errors = False
    _ANY_OPTIONS.never_capture = True  # the states' groups share names
    _RE2_TYPE = type(re2.compile(""))


def any_of(patterns: Sequence[Any]) -> Any:
    """One ``re2`` pattern that matches where any of ``patterns`` does (groups ignored), to
    tell at once that a line is no prompt; None unless every pattern is a ``re2`` one."""
    if re2 is None or len(patterns) < 2 or any(not isinstance(p, _RE2_TYPE) for p in patterns):
        return None
    text = "|".join("(?:%s)" % p.pattern for p in patterns)
    found = _PROMPT_COMPILED.get(text + "\0any")
    if found is None:
        try:
            found = re2.compile(text, options=_ANY_OPTIONS)
        except re2.error:
            return None
        if len(_PROMPT_COMPILED) >= _COMPILED_LIMIT:
            _PROMPT_COMPILED.clear()
        _PROMPT_COMPILED[text + "\0any"] = found
    return found


def prompt_compiled(pattern: str) -> Any:
    """A prompt or pager pattern compiled for the last line, cached by its text.

    By ``re2`` (linear time) when it accepts the pattern, else by ``re``
    (raising ``re.error`` for a pattern that neither accepts); see
    :data:`MAX_PROMPT_LENGTH`.
    """
    found = _PROMPT_COMPILED.get(pattern)
    if found is None:
        if re2 is not None:
            try:
                found = re2.compile(pattern, options=_RE2_OPTIONS)
            except re2.error:
                found = None
        if found is None:
            found = compiled(pattern)
        if len(_PROMPT_COMPILED) >= _COMPILED_LIMIT:
            _PROMPT_COMPILED.clear()
        _PROMPT_COMPILED[pattern] = found
    return found
