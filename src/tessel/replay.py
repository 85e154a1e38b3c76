"""``tessel replay CAPTURE``: the device of a capture, played back on a terminal.

The replay shows what the device printed at the start of the recorded session,
then answers each input with what the device printed for it: the exchanges
recorded at the prompt it shows, for that command (the same command recorded
at two prompts answers per prompt; one recorded several times answers in
order, then repeats its last answer). An exchange's later steps answer what
follows it (a password, a confirmation, the pager's key), so the replay's
prompt, and with it the state, follows the recording. The terminal is put in
raw mode: the recorded echo is the echo, and the bytes go out exactly as
recorded.

Input that the capture does not hold: an empty line or a Ctrl-C shows the
prompt again (a Ctrl-C at a question abandons the exchange, back to the prompt
before it); anything else gets the platform's error line (its
``error_sample``), or with ``strict`` ends the replay with exit status 3 and a
line on standard error saying what came and what was recorded there. An answer
to a question whose recorded answer was a secret (``{field}``) is accepted
whatever it is.

This module needs nothing of tessel but :mod:`tessel.capture`, so that a
replay runs as the login shell of an ssh user with tessel's sources alone.
"""
import errno
import os
import re
import sys
import time
from contextlib import contextmanager
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from tessel.capture import Capture, Exchange, Step, placeholder, read_capture, without_line_end
from tessel.eal.output import clean_output, last_line

__all__ = ["Replay", "Unrecorded", "UNRECORDED", "replay_argv", "replay_connection", "run"]

#: The exit status of a strict replay that got input the capture does not hold.
UNRECORDED = 3
#: What a device prints for an unknown command when the capture names no error line.
DEFAULT_ERROR = "% Unknown command: {command}"
INTERRUPT = "\x03"
#: How many recorded commands a strict replay's message names.
NAMED = 6


class Unrecorded(Exception):
    """Input that the capture does not hold, in a strict replay; the message says what."""


def _shown(texts: Sequence[str], limit: int = NAMED) -> str:
    if not texts:
        return "nothing"
    named = ", ".join(repr(text) for text in texts[:limit])
    return named + (", ..." if len(texts) > limit else "")


class Replay:
    """Plays a capture's device: :meth:`begin`, then :meth:`feed` with what is typed.

    ``write`` gets the bytes to show; ``sleep`` waits (``speed`` > 0 plays the
    recorded timings, divided by ``speed``; 0 shows everything at once).
    ``ended`` becomes true when the recorded device ended the session.
    """

    def __init__(self, capture: Capture, *, strict: bool = False, speed: float = 0.0,
                 write: Callable[[bytes], None], sleep: Callable[[float], None] = time.sleep
                 ) -> None:
        self.capture = capture
        self.strict = strict
        self.speed = speed
        self.ended = False
        self._write = write
        self._sleep = sleep
        self._recorded: Dict[Tuple[str, str], List[Exchange]] = {}
        #: The prompts that exchanges began or ended at, with their states where known.
        self._states: Dict[str, Optional[str]] = {}
        seen = [(capture.start.prompt, capture.start.state)] if capture.start else []
        for exchange in capture.exchanges:
            self._recorded.setdefault((exchange.prompt, exchange.command), []).append(exchange)
            seen += [(exchange.prompt, exchange.state),
                     (exchange.prompt_after, exchange.state_after)]
        for prompt, state in seen:
            if self._states.get(prompt) is None:
                self._states[prompt] = state
        self._prompts = set(self._states)
        self._answered: Dict[Tuple[str, str], int] = {}
        self._pending: List[Step] = []
        self._closes = False
        self._before = ""
        self._tail = ""
        self._values: Dict[str, str] = {}
        self._after_return = False
        texts = [step.received for exchange in capture.exchanges[:3] for step in exchange.steps]
        if capture.start is not None:
            texts += [step.received for step in capture.start.steps]
        self.line_end = "\r\n" if any("\r\n" in text for text in texts) else "\n"
        first = next((e for e in capture.exchanges if e.command.strip()), None)
        self.echoes = first is None or clean_output(first.steps[0].received).split("\n")[0] \
            .strip().endswith(first.command.strip())

    # -- the session ----------------------------------------------------------------------

    def begin(self) -> None:
        """Shows what the device printed before the first exchange."""
        start = self.capture.start
        if start is None or not start.steps:
            return
        self._play(start.steps[0])
        self._pending = list(start.steps[1:])
        self._closes = start.closed
        self._ended_if_done()

    def feed(self, text: str, buffer: str = "") -> str:
        """Answers every whole input in ``buffer + text``; returns what remains (an unfinished
        line). Raises :class:`Unrecorded` in a strict replay."""
        pending = buffer + text
        while pending and not self.ended:
            if self._after_return and pending[0] in "\n\0":
                pending = pending[1:]  # the rest of a line end that began with \r
                self._after_return = False
                continue
            unit, pending = self._next_input(pending)
            if unit is None:
                break
            self._after_return = unit.endswith("\r")
            self.answer(unit)
        return pending

    def _next_input(self, text: str) -> Tuple[Optional[str], str]:
        """The first whole input of ``text`` (a line with its end, a Ctrl-C, or the key a
        recorded step expects) and the rest."""
        if text[0] == INTERRUPT:
            return INTERRUPT, text[1:]
        expected = self._pending[0].sent if self._pending else None
        if expected and without_line_end(expected) == expected and text.startswith(expected):
            return expected, text[len(expected):]
        for index, char in enumerate(text):
            if char in "\r\n":
                return text[:index + 1], text[index + 1:]
        return None, text

    def answer(self, unit: str) -> None:
        """Answers one input: a line with its end, a Ctrl-C or a key."""
        if self._pending:
            step = self._pending[0]
            if self._accepts(step.sent, unit):
                self._pending.pop(0)
                self._play(step)
                self._ended_if_done()
                return
            if unit == INTERRUPT:
                self._pending = []
                self._show(self.line_end + self._before)
                return
            if self.prompt not in self._prompts:
                self._unrecorded(unit, "the capture answered %r with %r" % (
                    step.question or last_line(self._tail), step.sent))
                return
            self._pending = []  # the device is at a prompt: what follows is a new command
        line = without_line_end(unit)
        key = self._recorded_key(unit)
        if key is not None:
            found = self._recorded[key]
            count = self._answered.get(key, 0)
            self._answered[key] = count + 1
            self._begin(found[min(count, len(found) - 1)])
        elif unit == INTERRUPT or not line.strip():
            self._show(self.line_end + self._tail)
        else:
            here = [command for prompt, command in self._recorded if prompt == self.prompt]
            self._unrecorded(unit, "recorded at this prompt: %s" % _shown(here))

    def _recorded_key(self, unit: str) -> Optional[Tuple[str, str]]:
        """The recording of ``unit`` at the current prompt: the command itself, or one that
        held a secret (a placeholder takes whatever was typed in its place)."""
        key = (self.prompt, without_line_end(unit))
        if key in self._recorded:
            return key
        for prompt, command in self._recorded:
            if prompt == key[0] and "{" in command and self._accepts(
                    self._recorded[prompt, command][0].steps[0].sent, unit):
                return prompt, command
        return None

    @property
    def prompt(self) -> str:
        """The prompt the recordings are looked up by: the last line shown (cleaned), or the
        longest recorded prompt it ends with (output without its line end came before it)."""
        line = last_line(self._tail)
        if line in self._prompts:
            return line
        ending = [prompt for prompt in self._prompts if prompt.strip() and line.endswith(prompt)]
        return max(ending, key=len) if ending else line

    def _begin(self, exchange: Exchange) -> None:
        self._before = self._tail
        self._play(exchange.steps[0])
        self._pending = list(exchange.steps[1:])
        self._closes = exchange.closed
        self._ended_if_done()

    def _ended_if_done(self) -> None:
        if self._closes and not self._pending:
            self.ended = True

    def _accepts(self, sent: Optional[str], unit: str) -> bool:
        """Whether ``unit`` is the recorded input ``sent``; a secret's placeholder takes any
        text (kept, to show where the device showed the secret)."""
        if sent is None:
            return False
        if (without_line_end(sent) == sent) != (without_line_end(unit) == unit):
            return False
        fields = [name for name in self.capture.secrets if placeholder(name) in sent]
        if not fields:
            return without_line_end(sent) == without_line_end(unit)
        names = "|".join(re.escape(placeholder(name)) for name in fields)
        parts = re.split("(%s)" % names, without_line_end(sent))
        pattern = "".join("(.*)" if index % 2 else re.escape(part)
                          for index, part in enumerate(parts))
        found = re.fullmatch(pattern, without_line_end(unit), re.DOTALL)
        if found is None:
            return False
        for index, value in enumerate(found.groups()):
            self._values[parts[2 * index + 1][1:-1]] = value
        return True

    def _unrecorded(self, unit: str, expected: str) -> None:
        line = without_line_end(unit)
        if self.strict:
            state = self._states.get(self.prompt)
            raise Unrecorded("%r was not recorded at the prompt %r%s; %s" % (
                line, self.prompt.strip(), " (state %s)" % state if state else "", expected))
        words = line.split()
        error = (self.capture.error_sample or DEFAULT_ERROR).replace(
            "%N", self.capture.hostname or "").replace("{command}", words[0] if words else "") \
            .replace("{line}", " ".join(words))
        back = self._before if self._pending else self._tail
        self._pending = []
        self._show((line if self.echoes else "") + self.line_end + error + self.line_end + back)

    # -- output ----------------------------------------------------------------------------

    def _play(self, step: Step) -> None:
        """Shows a step's output, at the recorded pace when ``speed`` is set."""
        text = step.received
        if self.speed > 0 and step.times:
            began = time.monotonic()
            done = 0
            for seconds, end in step.times:
                wait = began + seconds / self.speed - time.monotonic()
                if wait > 0:
                    self._sleep(wait)
                self._show(text[done:end])
                done = max(done, end)
            text = text[done:]
        self._show(text)

    def _show(self, text: str) -> None:
        if not text:
            return
        for name, value in self._values.items():
            text = text.replace(placeholder(name), value)
        self._write(text.encode("utf-8", "surrogateescape"))
        tail = self._tail + text
        self._tail = tail[tail.rfind("\n") + 1:][-4096:]


@contextmanager
def raw_terminal(fd: int) -> Iterator[None]:
    """The terminal on ``fd`` in raw mode inside (no echo, no line editing, bytes out as they
    are); nothing changes when ``fd`` is no terminal."""
    if not os.isatty(fd):
        yield
        return
    import termios
    import tty

    saved = termios.tcgetattr(fd)
    tty.setraw(fd, termios.TCSANOW)
    try:
        yield
    finally:
        termios.tcsetattr(fd, termios.TCSADRAIN, saved)


def _write_all(fd: int) -> Callable[[bytes], None]:
    def write(data: bytes) -> None:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
    return write


def run(path: str, strict: bool = False, speed: float = 0.0, stdin: int = 0,
        stdout: int = 1) -> int:
    """Plays the capture at ``path`` on the terminal of ``stdin`` and ``stdout``; returns the
    exit status (3: a strict replay got unrecorded input, said on standard error).

    Raises :class:`~tessel.core.errors.CaptureError` for a capture that cannot be read.
    """
    replay = Replay(read_capture(path), strict=strict, speed=speed, write=_write_all(stdout))
    try:
        with raw_terminal(stdin):
            replay.begin()
            buffer = ""
            while not replay.ended:
                try:
                    data = os.read(stdin, 4096)
                except OSError as err:
                    if err.errno == errno.EIO:  # the terminal was hung up
                        break
                    raise
                if not data:
                    break
                buffer = replay.feed(data.decode("utf-8", "surrogateescape"), buffer)
    except Unrecorded as err:
        sys.stderr.write("tessel replay: --strict: %s\n" % err)
        sys.stderr.flush()
        return UNRECORDED
    return 0


def replay_argv(path: str, strict: bool = True, speed: float = 0.0) -> List[str]:
    """The command that replays ``path`` with this Python and this tessel (for
    ``transport="command"``)."""
    from tessel.cli import child_environment

    argv = ["env", "PYTHONPATH=%s" % child_environment()["PYTHONPATH"], sys.executable, "-m",
            "tessel", "replay", os.path.abspath(path)]
    if strict:
        argv.append("--strict")
    if speed:
        argv += ["--speed", repr(float(speed))]
    return argv


def replay_connection(path: str, *, strict: bool = True, speed: float = 0.0,
                      platform: Any = None, **arguments: Any) -> Any:
    """A :class:`~tessel.connection.Connection` to the device that the capture at ``path``
    recorded, replayed by ``tessel replay``; ``arguments`` go to ``tessel.connect``.

    Each secret field of the capture gets a stand-in value unless ``secrets``
    gives it (the replay accepts any answer where a secret was answered).
    """
    import tessel

    capture = read_capture(path)
    secrets = {name: "replayed" for name in capture.secrets if name != "password"}
    secrets.update(arguments.pop("secrets", None) or {})
    return tessel.connect(platform or capture.platform, transport="command",
                          command=replay_argv(path, strict, speed), secrets=secrets,
                          **arguments)
