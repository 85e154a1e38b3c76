"""Exceptions raised by tessel.

Every error of the library derives from :class:`TesselError`. Errors that come
from talking to a device carry what the device printed (``output``), so that a
failure can be understood without re-running it with a session log.
"""
from typing import Any, Iterable, List, Optional, Sequence

#: How much of the device's output an error message shows (the attribute keeps more).
MESSAGE_OUTPUT_CHARS = 400
#: How much of the device's output an error keeps in its ``output`` attribute.
KEPT_OUTPUT_CHARS = 4000


def output_tail(text: Optional[str], limit: int = KEPT_OUTPUT_CHARS) -> str:
    """Returns the last ``limit`` characters of ``text`` ('' for None)."""
    if not text:
        return ""
    return text[-limit:]


def _pattern_text(pattern: Any) -> str:
    """The regular-expression text of a pattern given as text or as a compiled pattern."""
    if isinstance(pattern, str):
        return pattern
    return str(getattr(pattern, "pattern", pattern))


class TesselError(Exception):
    """Base class of every error raised by tessel."""


class StateMachineError(TesselError):
    """A state machine refused an operation or could not change the device's state."""


class PlatformError(TesselError):
    """A platform could not be found or loaded (an unknown name, a bad file or class)."""


class SpawnError(TesselError):
    """The device handle could not start its command or lost the session."""

    def __init__(self, message: str, output: str = "") -> None:
        super().__init__(message)
        self.output = output_tail(output)


class CaptureError(TesselError):
    """A capture (a recorded session) cannot be read or written, or a replay got input that
    the capture does not hold."""


class SessionClosedError(SpawnError):
    """The device closed the session (end of file) while the handle waited for output."""

    def __init__(self, patterns: Sequence[Any], output: str = "",
                 exit_status: Optional[int] = None) -> None:
        self.patterns: List[str] = [_pattern_text(p) for p in patterns]
        self.exit_status = exit_status
        message = "device closed the session while waiting for %s" % _describe_patterns(
            self.patterns)
        if exit_status is not None:
            message += " (exit status %d)" % exit_status
        message += "\noutput: %r" % output_tail(output, MESSAGE_OUTPUT_CHARS)
        super().__init__(message, output)


class ExpectTimeoutError(TesselError):
    """No expected pattern appeared in the device's output in time."""

    def __init__(self, patterns: Sequence[Any], timeout: float, output: str = "") -> None:
        self.patterns: List[str] = [_pattern_text(p) for p in patterns]
        self.timeout = timeout
        self.output = output_tail(output)
        super().__init__(
            "no match within %.1f s for %s\noutput: %r"
            % (timeout, _describe_patterns(self.patterns),
               output_tail(output, MESSAGE_OUTPUT_CHARS)))


class OutputLimitError(SpawnError):
    """More output arrived without a match than the wait allows (``Spawn.expect``'s ``limit``)."""


class DialogError(TesselError):
    """A dialog statement could not run its action (for instance a context field is missing)."""


class DialogTimeoutError(ExpectTimeoutError):
    """A dialog waited in vain for any of its statements.

    ``matched`` lists the patterns of the statements that did match before the
    wait ran out, oldest first, and ``shown`` the texts the device showed for them.
    """

    def __init__(self, patterns: Sequence[Any], timeout: float, output: str = "",
                 matched: Iterable[str] = (), shown: Iterable[str] = ()) -> None:
        super().__init__(patterns, timeout, output)
        self.matched = list(matched)
        self.shown = list(shown)
        if self.matched:
            self.args = (self.args[0] + "\nanswered before: %s" % _describe_patterns(
                self.matched),)


class TransitionError(StateMachineError):
    """A state change failed part of the way.

    Attributes: ``reason`` (one line), ``route`` (the planned paths),
    ``failed_hop`` (the path being travelled, or None), ``expected`` (the
    patterns that were being waited for), ``output`` (the tail of what the
    device printed) and ``state_reached`` (the name of the last state that was
    confirmed from a prompt, or None).
    """

    def __init__(self, reason: str, route: Sequence[Any] = (), failed_hop: Any = None,
                 expected: Sequence[Any] = (), output: str = "",
                 state_reached: Optional[str] = None) -> None:
        self.reason = reason
        self.route = list(route)
        self.failed_hop = failed_hop
        self.expected: List[str] = [_pattern_text(p) for p in expected]
        self.output = output_tail(output)
        self.state_reached = state_reached
        lines = [reason,
                 "route: %s" % (_describe_route(self.route) or "(none)"),
                 "failed hop: %s" % (failed_hop if failed_hop is not None else "(none)"),
                 "expected: %s" % _describe_patterns(self.expected),
                 "state reached: %s" % (state_reached or "unknown"),
                 "output: %r" % output_tail(output, MESSAGE_OUTPUT_CHARS)]
        super().__init__("\n".join(lines))


class TransitionTimeoutError(TransitionError):
    """The device did not show an expected prompt before the change's time ran out."""


class UnexpectedStateError(TransitionError):
    """A hop ended at the prompt of a state other than the one it leads to."""


class UnknownPromptError(TransitionError):
    """The device shows a prompt that no state matches with the known hostname.

    ``prompt`` is the line. The state is unknown afterwards (``state_reached``
    is None and the machine's current state "generic").
    """

    def __init__(self, reason: str, prompt: str, route: Sequence[Any] = (),
                 failed_hop: Any = None, expected: Sequence[Any] = (),
                 output: str = "") -> None:
        self.prompt = prompt
        super().__init__(reason, route, failed_hop, expected, output, None)


class ConnectError(TesselError):
    """The session could not be opened: the client's own message says why.

    Connection refused, no route to the host, an unknown host name, a client
    that exits before a prompt appears. ``host`` names the device, ``output``
    holds what the client printed (secrets masked).
    """

    def __init__(self, message: str, host: Optional[str] = None, output: str = "") -> None:
        super().__init__(message)
        self.host = host
        self.output = output_tail(output)


class AuthenticationError(ConnectError):
    """The device refused the login (a wrong username, password or key)."""


class HostKeyError(ConnectError):
    """The device's host key is unknown or has changed, and the host-key policy refuses it."""


class CommandError(TesselError):
    """A command's output matched one of the platform's failure patterns.

    ``result`` is the command's ``CommandResult``.
    """

    def __init__(self, message: str, result: Any = None) -> None:
        super().__init__(message)
        self.result = result


class ConfigError(CommandError):
    """A configuration line was refused or failed to run; the lines after it were not sent.

    ``line`` is that line. For a refused line, ``failure`` is the device's
    message and ``results`` holds the ``CommandResult`` of every line sent,
    the refused one last (also in ``result``). For a line that failed to run
    (no prompt in time, the session closed), ``failure`` says why,
    ``results`` holds the lines before it, ``result`` is None and the error
    that stopped the line is the ``__cause__``. ``return_error`` is the
    error of the way back to the state the configuration started from, when
    that failed too (None otherwise).
    """

    def __init__(self, message: str, line: str = "", failure: str = "",
                 results: Sequence[Any] = (), refused: bool = True) -> None:
        self.line = line
        self.failure = failure
        self.results = list(results)
        self.return_error: Optional[BaseException] = None
        super().__init__(message, self.results[-1] if refused and self.results else None)


class ApplyError(ConfigError):
    """A configuration transaction (``apply``, ``confirm``, ``rollback``) did not complete.

    ``line`` is the line refused or failed ('' when every line was accepted
    and the running configuration read afterwards still differs), ``failure``
    the device's message or the reason, ``results`` the results of the
    transaction's lines, the refused one last. What was done about it:
    ``undone`` holds the lines sent to take back what had been sent (on a
    platform with commit: the line that discarded the candidate);
    ``restored`` is True when the running configuration read afterwards is
    the one before, False when it is not, None when it could not be read;
    ``remaining`` is a unified diff of what differs: from the configuration
    now to the one before (after an undo), or to the candidate (when every
    line was accepted); ``committed`` tells whether the change stays in the
    running configuration (committed, or every line accepted).
    """

    def __init__(self, message: str, line: str = "", failure: str = "",
                 results: Sequence[Any] = (), refused: bool = True, undone: Sequence[str] = (),
                 restored: Optional[bool] = None, remaining: Optional[str] = None,
                 committed: bool = False) -> None:
        super().__init__(message, line, failure, results, refused)
        self.undone = list(undone)
        self.restored = restored
        self.remaining = remaining
        self.committed = committed


def _describe_patterns(patterns: Sequence[str]) -> str:
    if not patterns:
        return "(nothing)"
    return ", ".join("'%s'" % p for p in patterns)


def _describe_route(route: Sequence[Any]) -> str:
    return ", ".join(str(p) for p in route)
