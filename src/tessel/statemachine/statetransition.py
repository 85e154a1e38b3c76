"""Transition engines that move a device along a state machine's paths, and run its commands.

``StateMachine.go_to`` builds one engine per state change and calls its
``do_transitions()``; afterwards it reads the engine's ``current_state``,
which is the string "generic" while no prompt has confirmed a state (or
after an unknown prompt), and the ``State`` last confirmed once one has.

* :class:`StateTransition` plans the shortest route from the machine's
  current state to one target state and travels it; a hop that ends at any
  other state's prompt fails the change. Its :meth:`~StateTransition.run_command`
  runs one command at the current prompt and returns the clean output.
* :class:`HopWiseStateTransition` travels one hop at a time and plans again
  from the state the device is actually in after each hop.
* :class:`AnyStateTransition` recognises the state the device is in
  (target "any"), or reaches the nearest of a list of states.

A hop sends the path's command (a ``str`` as a line; a callable is called
with the spawn handle and, when it takes one, ``context=``) and then answers
the path's dialog, the caller's dialog and the machine's default statements
until a registered state's prompt appears. A command (``run_command``,
``execute``) answers the caller's dialog only: a question that nobody
answers ends in a timeout naming the line the device shows.

Recognition, the rule shared with ``detect_state`` (which matches the patterns
as the machine writes them, without the hostname rules below): a prompt is the
last line the device printed (the text after the last line break, cleaned of terminal
escape sequences), and the state is the first registered state whose pattern
matches that line (``search``, no flags). A platform therefore registers a
state whose prompt extends another's before it (``R1(config)#`` before
``R1#`` when both patterns would match). Prompt and pager patterns are
compiled by ``re2`` (linear time) when it accepts them (see
:func:`tessel.eal.spawn.prompt_compiled`). The line as it is comes first; a
line that repeats one prompt (``R1>R1>``, the answer to a line sent before
the first prompt) counts as that prompt only when the line as it is matches
no state, so ``>>> `` and ``##`` are prompts of their own.

The hostname. With hostname learning, the first prompt teaches it, once
confirmed: a banner line such as ``Router>`` whose line break is still on its
way is output. When the session allows it (``SessionNotes.may_ask``, which a
login sets: true once the login has nothing left to answer, so that a line
end can answer no login question), a recognition that sent nothing confirms
it by asking: it sends one line end and takes the prompt when the device
prints the same prompt again on a line of its own (a banner line is never
repeated so), or twice on one line, with no fixed wait. Until that answer, a
prompt-like line (more of a banner that was cut after ``Router>``) counts
only once it has stayed the last line for ``recovery_wait``. Otherwise the
first prompt must stay the last line for ``settle_time``. From then on, and
with a hostname given, the prompts must show that hostname literally:
``vm(config-router)#`` is not the enable prompt ``%N#`` of a device named
``vm(config-router)``. A last line that only the learning patterns match
(some state's prompt with another hostname) is

* a **rename** when the lines sent since the last prompt hold the new name as
  a whole word (as ``hostname R2`` does) and the line stays the last line for
  ``settle_time``: the new hostname is learned;
* otherwise an **unknown prompt**: once it has stayed the last line for
  ``settle_time``, the operation fails at once with ``UnknownPromptError``
  naming the line, and the state becomes unknown ("generic").

Output without its final line break (``printf abc`` on a shell prints
``abcadmin@web1:~$``) ends the command when the line ends with the exact
prompt text last seen for a state; the text before it is output.

Confirmation, so that a result is exact whatever the read boundaries: a
prompt-like line in the output (``R1#`` in a configuration dump) is followed
by more output, a real prompt is not. A candidate prompt therefore counts
only when a zero-wait poll finds nothing after it and, when the candidate's
line arrived in a read of its own (nothing but line breaks before it in
that read, or the line came in pieces) after the command had printed
output other than its echo, when nothing follows within ``prompt_settle``.
A prompt right after the echo, as a configuration line gets, costs no wait;
nor does, in a state change, a prompt right after the answer to a question
(the enable password): what the device prints after an answer starts afresh
(in a command, whose output is its result, it does not). A ``show`` whose
prompt comes in a read of its own costs ``prompt_settle`` once. Limits: a
line that reads exactly as a prompt and whose line break the device sends
more than ``prompt_settle`` later is taken for the prompt, and so is such a
line printed first, right after the echo (or an answer in a state change),
when its line break comes in a later read; the rule relies on reads that see
the device's pauses.

A session in doubt. An operation that fails without a confirmed prompt (a
timeout, an unknown prompt, a dialog error, too much output, an interrupt)
leaves the session in doubt (``Spawn.in_doubt``), and so does output that
arrives after the prompt that ended the last operation. Every entry (a state
change or a command) then first recovers: it reads until the device is quiet
for ``settle_time`` (for at most the operation's timeout), takes a known
prompt on the last line as the state (the stale output is logged and
discarded, never part of a result), or else sends Ctrl-C (never Enter, which
would confirm a ``[confirm]``) to abandon a pending question, page or
command and waits up to ``recovery_wait`` for a prompt; without one it
refuses with an error naming what the device shows, the state unknown. The
first command after a recovery requires its echo (when the device echoed
the command before): prompts before the echo are late output of an earlier
operation; and it is not sent at all (``UnexpectedStateError``) when the
recovery finds the device in another state than the machine records.
``state_reached`` of every error, like the machine's current state, is the
state of the last prompt confirmed, or unknown. ``go_to`` to the state the
machine records returns without an engine, so without a recovery:
recognise (``"any"``) first, as ``Connection.go_to`` does for a session in
doubt.

Bounds. Every wait ends:

* ``go_to(..., timeout=T)``: the whole state change, every hop and dialog
  (default: the spawn's ``timeout``). A statement with
  ``continue_timer=False`` (``restart_timer`` in a platform file) grants a
  fresh wait of ``T`` at most once per hop; prompt recovery then tries each
  of its lines for up to ``recovery_wait`` more.
* ``run_command`` and ``execute`` (``timeout=T``): silence while waiting for
  the closing prompt. The wait starts afresh whenever output arrives, so a
  long output is never cut off while it keeps coming (default: the spawn's
  ``timeout``); a command's output is bounded by ``max_output`` characters
  and ``max_pages`` pager pages.
* one statement answered more than ``max_answers`` times in one wait (a
  ``[confirm]`` that comes back after every answer) is a ``DialogError``.
* ``fresh_prompt_wait``: how long a recognition waits for a prompt printed
  unasked before it sends a line to ask for one.
* ``settle_time``: after a recognition that sent a line to ask for a prompt,
  how long it waits for a second prompt still on its way; how long a prompt
  that teaches a hostname (or shows an unknown one) must stay the last line,
  unless the first one is confirmed by asking; and the quiet that ends the
  reading of a session in doubt.
* ``prompt_settle``: the confirmation wait above.
* the recovery of a session in doubt: reading until quiet, for at most the
  operation's timeout, then ``recovery_wait`` for a prompt after Ctrl-C.
* ``recovery_wait`` also bounds the wait for the answer to the line end that
  confirms a first prompt.
* a last line longer than :data:`tessel.eal.spawn.MAX_PROMPT_LENGTH` (512) is
  output: prompt patterns are not searched on it (a known prompt text at its
  end still counts).

This module must not import the state machine module at import time: that
module imports this one while it initialises.
"""
import logging
import re
import time
from collections import Counter
from dataclasses import dataclass, field
from typing import (
    TYPE_CHECKING,
    Any,
    Callable,
    Dict,
    Iterable,
    List,
    NamedTuple,
    Optional,
    Protocol,
    Sequence,
    Tuple,
)

from tessel.core.errors import (
    DialogError,
    DialogTimeoutError,
    ExpectTimeoutError,
    OutputLimitError,
    SessionClosedError,
    StateMachineError,
    TesselError,
    TransitionError,
    TransitionTimeoutError,
    UnexpectedStateError,
    UnknownPromptError,
)
from tessel.eal.dialogs import Statement, call_action, too_many_answers
from tessel.eal.output import (
    clean_output,
    collapse_repeated_prompt,
    erase_length,
    has_text,
    last_line,
)
from tessel.eal.spawn import (
    PROMPT,
    RENAMED,
    SUFFIX,
    UNKNOWN,
    LastLineMatch,
    LastLineSearch,
    Match,
    SessionNotes,
    compiled,
    notes_of,
    prompt_compiled,
)

if TYPE_CHECKING:
    from tessel.statemachine.statemachine import Path, State, StateMachine

__all__ = ["StateTransition", "HopWiseStateTransition", "AnyStateTransition", "CommandOutput",
           "Hop", "execute", "command_text", "collapse_repeated_prompt", "literal_hostname"]

log = logging.getLogger(__name__)

GENERIC = "generic"
ANY = "any"

#: What prompt recovery sends, one line each, when no prompt came in time:
#: an empty line first, then Ctrl-C to abandon a command that hangs. A
#: platform may set ``prompt_recovery_commands`` on its machine instead.
PROMPT_RECOVERY_COMMANDS: Tuple[str, ...] = ("", "\x03")

#: What a session in doubt is sent, alone, to abandon a pending question, page or command.
INTERRUPT = "\x03"

#: A hostname-learning group as the state machine writes it for ``%N``.
LEARNING_GROUP = re.compile(r"\(\?P<(hostname\d+)>\\S\+\)")

#: How much of the stale output of a session in doubt is kept for the log and the screen.
SCREEN_KEPT = 4000

#: The match of a step that only holds output (the text before a line that looked like a prompt).
_NOTHING = re.compile("").search("")


def literal_hostname(pattern: str, hostname: str) -> str:
    """``pattern`` with each hostname-learning group matching ``hostname`` literally.

    The groups stay (``(?P<hostname00>R1)``), so a match still tells the hostname.
    """
    escaped = re.escape(hostname)
    return LEARNING_GROUP.sub(lambda found: "(?P<%s>%s)" % (found.group(1), escaped), pattern)


class Session(Protocol):
    """What the engines need of the device handle (``Spawn``, or a test's fake).

    Optional extras, used when present: ``drain()``, ``poll(wait)``,
    ``unread(text)``, ``mask(text)``, ``sent_since_match``, ``last_read``
    and ``notes``.
    """

    timeout: float
    match: Optional[Match]

    def sendline(self, text: str = "") -> int: ...

    def send(self, text: str) -> int: ...

    def expect(self, patterns: Any, timeout: Optional[float] = None, *,
               idle: bool = False, limit: Optional[int] = None) -> Match: ...


class PagerLike(Protocol):
    """A pager prompt (``expect``, a regular expression) and the text that answers it."""

    @property
    def expect(self) -> str: ...

    @property
    def send(self) -> str: ...


@dataclass
class Hop:
    """One travelled path: what was sent, what the device asked, how long it took.

    ``answered`` holds the texts (such as ``Password:``) that dialog
    statements answered on the way, in order.
    """

    from_state: str
    to_state: str
    command: str
    seconds: float
    reached: str
    answered: List[str] = field(default_factory=list)

    @property
    def ok(self) -> bool:
        return self.reached == self.to_state


@dataclass
class CommandOutput:
    """What one command printed.

    ``output`` is clean: without the echo of the command and the closing
    prompt, pages joined without the pager prompts, escape sequences removed,
    line ends ``\\n``. ``state`` names the state whose prompt ended it (also
    made the machine's current state), ``elapsed`` is in seconds, and ``raw``
    is what the device printed for the command (secrets masked).
    """

    command: str
    output: str
    state: str
    elapsed: float
    raw: str


class PromptSeen(NamedTuple):
    """A prompt that ended a wait: the state it shows, the spawn's match for it,
    the texts that dialog statements answered on the way, every statement
    that matched with the spawn's match for it (None for output that only
    looked like a prompt), and where the command's echo and its own output
    start in the text consumed."""

    state: "State"
    match: Match
    answered: List[str]
    steps: List[Tuple[Optional[Statement], Match]]
    echo_start: int = 0
    output_start: int = 0


class Progress:
    """What one wait consumed: where the command's echo lies, and whether the command
    printed anything besides it.

    ``echo`` is the command sent (None: no echo to look for). The echo is the
    first line when that line ends with the command (with ``first_line``,
    the first line whatever it holds); with ``require_echo`` it is the first
    line that does, and what comes before it is late output of an earlier
    operation (``stale`` until the echo is seen).
    """

    def __init__(self, echo: Optional[str], require_echo: bool = False, *,
                 first_line: bool = False) -> None:
        self.echo = echo.strip() if echo and echo.strip() else None
        self.require_echo = require_echo and self.echo is not None
        self.first_line = first_line
        self.consumed = 0
        self.echo_start = 0
        self.output_start = 0
        self.decided = self.echo is None and not first_line
        self.printed = False
        self._line = ""
        self._line_start = 0

    @property
    def stale(self) -> bool:
        return self.require_echo and not self.decided

    def answered(self) -> None:
        """A dialog statement was answered: what the device prints next is its reply, which
        starts afresh, as the output after an echo does."""
        if self.decided:
            self.printed = False

    def feed(self, text: str, end: Optional[int] = None) -> None:
        """Takes ``text[:end]``, the next piece of what the wait consumed."""
        stop = len(text) if end is None else end
        base = self.consumed
        self.consumed += stop
        if self.decided:
            if not self.printed:
                self.printed = has_text(text, 0, stop)
            return
        pos = 0
        while True:
            cut = text.find("\n", pos, stop)
            if cut < 0:
                self._line += text[pos:stop]
                return
            line, line_start = self._line + text[pos:cut], self._line_start
            pos = cut + 1
            self._line, self._line_start = "", base + pos
            # The line's own \r (of its \r\n) would send the cleaning down its slow path.
            if self.first_line or clean_output(line.rstrip("\r")).strip().endswith(
                    str(self.echo)):
                self.decided = True
                self.echo_start, self.output_start = line_start, base + pos
                self.printed = has_text(text, pos, stop)
                return
            if not self.require_echo:
                self.decided = True  # the first line is output: the device does not echo
                self.printed = has_text(line) or has_text(text, pos, stop)
                return


def command_text(command: Any) -> str:
    """How a path's command is shown: the text itself, ``name()`` for a callable (a command
    that carries its own ``text``, as the lines of a platform file do, shows that)."""
    text = getattr(command, "text", None)
    if isinstance(text, str):
        return text
    if callable(command):
        return "%s()" % getattr(command, "__name__", type(command).__name__)
    return str(command or "")


def _state_name(state: Any) -> str:
    return str(getattr(state, "name", state))


def _invalid_pattern(statements: Iterable[Statement], err: re.error) -> str:
    """The text of the statement pattern that ``err`` was raised for."""
    for statement in statements:
        if isinstance(statement.pattern, str):
            try:
                compiled(statement.pattern)
            except re.error:
                return statement.pattern
    return str(getattr(err, "pattern", "?"))


class _Operation:
    """The guard of an engine's operation: an operation that fails without a confirmed prompt
    (any error but ``UnexpectedStateError``, which confirmed where the device is) leaves the
    session in doubt."""

    __slots__ = ("engine",)

    def __init__(self, engine: "StateTransition") -> None:
        self.engine = engine

    def __enter__(self) -> None:
        return None

    def __exit__(self, kind: Optional[type], err: Optional[BaseException],
                 trace: Any) -> None:
        if err is not None and not isinstance(err, UnexpectedStateError):
            engine = self.engine
            engine._notes.doubt = "%s failed: %s" % (engine._doing, type(err).__name__)


class StateTransition:
    """Takes the shortest route from the machine's current state to one target state."""

    #: How long a recognition waits for a prompt the device prints unasked
    #: (right after connecting) before it sends a line to get one.
    fresh_prompt_wait = 0.5
    #: How long a recognition that sent a line waits for a second prompt; how
    #: long a prompt with a new (or unknown) hostname must stay last to count;
    #: the quiet that ends the reading of a session in doubt.
    settle_time = 0.1
    #: How long a candidate prompt that arrived in a read of its own after
    #: output must stay the last line to count.
    prompt_settle = 0.05
    #: The longest wait for each prompt-recovery attempt, for a prompt after
    #: the Ctrl-C that a session in doubt is sent, and for the answer to the
    #: line end that confirms a first prompt, in seconds.
    recovery_wait = 2.0
    #: How often one statement may be answered in one wait.
    max_answers = 10
    #: The most characters a command (or a hop) may print before its prompt.
    max_output = 256 * 1024 * 1024
    #: The most pager pages a command may show.
    max_pages = 10_000

    def __init__(self, state_machine: "StateMachine", to_state: Any = None,
                 spawn: Optional[Session] = None, dialog: Optional[Iterable[Statement]] = None,
                 timeout: Optional[float] = None, context: Any = None,
                 prompt_recovery: bool = False) -> None:
        self.state_machine = state_machine
        self.to_state = to_state
        self.spawn: Session = spawn  # type: ignore[assignment]
        self.dialog = dialog
        self.timeout = timeout
        self.context = context
        self.prompt_recovery = prompt_recovery
        self.current_state: Any = GENERIC
        self.hops: List[Hop] = []
        self.route: List["Path"] = []
        self._deadline = 0.0
        self._total = 0.0
        self._prompt_key: Optional[Tuple[Any, ...]] = None
        self._prompt: Optional[Statement] = None
        self._search: Optional[LastLineSearch] = None
        self._prompt_states: List["State"] = []
        self._index_of: Dict[str, int] = {}
        #: The prompt texts ``known`` was last worked out from.
        self._known_from: Optional[Dict[str, str]] = None
        self._pager: Optional[Tuple[str, str, Statement]] = None
        self._activity_text = "recognising the device's state"
        #: The command being run: ``_doing`` names it (masked) only when a message needs it.
        self._running: Optional[str] = None
        self._guard = _Operation(self)
        #: The first prompt that a line end was sent to confirm (see ``_confirm``), if any.
        self._asked: Optional[str] = None

    # -- entry points ------------------------------------------------------------------

    def do_transitions(self) -> List[Hop]:
        """Performs the state change; returns the hops travelled."""
        self._start_clock()
        with self._operation():
            start = self._start_state()
            target = self.to_state
            self.route = self._plan(start, target)
            log.info("route %s -> %s: %s", start.name, target.name,
                     ", ".join(str(p) for p in self.route) or "(already there)")
            for path in self.route:
                reached = self._hop(path)
                if reached is not path.to_state and reached.name != path.to_state.name:
                    raise self._unexpected(path, reached)
        return self.hops

    def run_command(self, command: str, *, pager: Optional[PagerLike] = None) -> CommandOutput:
        """Runs one command at the device's prompt and returns what it printed.

        A session in doubt is brought back to a known prompt first (see the
        module's notes); output already waiting is stale and never part of
        the result. Only the caller's dialog is answered on the way (not the
        machine's default statements); a pager prompt (``pager.expect``, seen
        as the last line) is answered with ``pager.send`` and every page is
        kept. The engine's ``timeout`` (default: the spawn's) bounds silence:
        the wait for the closing prompt starts afresh whenever output
        arrives. The state whose prompt ends the output becomes the machine's
        current state.

        Raises ``TransitionTimeoutError`` when no prompt comes,
        ``UnknownPromptError`` for an unknown prompt, ``UnexpectedStateError``
        (without sending the command) when the recovery of a session in doubt
        finds the device in another state than the machine records, and
        ``TransitionError`` when the recovery fails, the session closes, a
        dialog fails or the output passes ``max_output`` or ``max_pages``.
        """
        spawn = self.spawn
        started = time.monotonic()
        wait = self._timeout_value()
        self._total = wait
        self._deadline = started + wait
        self._running = command
        expected = self._machine_state()
        self.current_state = expected or GENERIC
        pager_statement = self._pager_for(pager) if pager is not None else None
        with self._operation():
            state = self._sync()
            recovered = state is not None
            if state is not None and expected is not None and state.name != expected.name:
                raise UnexpectedStateError(
                    "the session was in doubt, and the device shows the prompt of state %s, "
                    "not %s: %r was not sent" % (state.name, expected.name, self._mask(command)),
                    failed_hop=None, expected=[expected.pattern], state_reached=state.name)
            spawn.sendline(command)
            try:
                seen = self._wait_for_prompt(
                    wait, idle=True, pager=pager_statement, echo=command, defaults=False,
                    require_echo=recovered and bool(self._notes.echoes),
                    first_line=not command.strip(), command=True)
            except DialogTimeoutError as err:
                raise self._command_timeout(command, wait, err) from None
            except (SessionClosedError, DialogError, OutputLimitError) as err:
                raise self._failure(None, err, command) from err
        self._confirmed(seen.state)
        if command.strip():
            self._notes.echoes = seen.output_start > 0
        raw = "".join(match.match_output for _, match in seen.steps)
        return CommandOutput(command=command,
                             output=self._command_output(seen.steps, pager_statement,
                                                         seen.output_start),
                             state=seen.state.name, elapsed=time.monotonic() - started,
                             raw=self._mask(raw[seen.echo_start:]))

    # -- clock ---------------------------------------------------------------------------

    def _timeout_value(self) -> float:
        value = self.timeout if self.timeout is not None else getattr(self.spawn, "timeout", 10)
        return float(value)

    def _start_clock(self) -> None:
        self._total = self._timeout_value()
        self._deadline = time.monotonic() + self._total

    def _remaining(self) -> float:
        return max(self._deadline - time.monotonic(), 0.0)

    # -- the session ---------------------------------------------------------------------

    @property
    def _notes(self) -> SessionNotes:
        return notes_of(self.spawn)

    def _operation(self) -> "_Operation":
        """Leaves the session in doubt when the operation fails without a confirmed prompt."""
        return self._guard

    @property
    def _doing(self) -> str:
        """What the engine is doing, for messages."""
        if self._running is not None:
            return "running %r" % self._mask(self._running)
        return self._activity_text

    @_doing.setter
    def _doing(self, text: str) -> None:
        self._running = None
        self._activity_text = text

    def _machine_state(self) -> Optional["State"]:
        name = self.state_machine.current_state
        for state in self.state_machine.states:
            if state.name == name:
                return state
        return None

    def _confirmed(self, state: "State") -> None:
        self.current_state = state
        self.state_machine.update_cur_state(state)

    def _set_unknown(self) -> None:
        """The state is unknown: for the engine, the machine and every later error."""
        self.current_state = GENERIC
        try:
            self.state_machine._current_state = GENERIC
        except (AttributeError, TypeError):  # pragma: no cover - a machine without the slot
            log.debug("cannot mark the machine's state unknown")

    def _sync(self, *, drain: bool = True) -> Optional["State"]:
        """Brings a session in doubt back to a known prompt; returns its state when it had to.

        With ``drain``, output that arrived after the last prompt also puts
        the session in doubt (without, what is waiting is the answer to be
        read, as for a recognition).
        """
        notes = self._notes
        stale = ""
        if drain:
            drainer = getattr(self.spawn, "drain", None)
            if drainer is not None:
                stale = drainer()
        if notes.doubt is None and not has_text(stale):
            return None
        why = notes.doubt or "output arrived after the last prompt"
        log.log(logging.WARNING if notes.doubt else logging.INFO,
                "the session is in doubt (%s): recovering a prompt first", self._mask(why))
        state = self._recover_prompt(stale, why)
        notes.doubt = None
        return state

    def _recover_prompt(self, stale: str, why: str) -> "State":
        """Reads until quiet and takes a known prompt, or abandons what is pending with Ctrl-C."""
        stale = (stale + self._quiet())[-SCREEN_KEPT:]
        found = self._on_screen(stale)
        if found is None:
            shows = last_line(self._screen(stale)).strip()
            log.warning("the device shows %r: sending Ctrl-C", self._mask(shows))
            self.spawn.send(INTERRUPT)
            wait = self._answer_wait()
            try:
                state = self._wait_for_prompt(wait, answers=False).state
            except (DialogTimeoutError, UnknownPromptError) as err:
                self._set_unknown()
                now_shows = last_line(getattr(err, "output", "") or "").strip() or shows
                raise TransitionError(
                    "the session was in doubt (%s); the device shows %r and gave no known "
                    "prompt, also after Ctrl-C" % (self._mask(why), self._mask(now_shows)),
                    expected=self._expected(None), output=getattr(err, "output", ""),
                    state_reached=None) from err
            more = self._quiet()
            if more:
                found = self._on_screen(more)
                if found is None:
                    self._set_unknown()
                    raise TransitionError(
                        "the session was in doubt (%s); after Ctrl-C and a prompt the device "
                        "printed more and shows %r" % (self._mask(why),
                                                      self._mask(last_line(more).strip())),
                        output=self._mask(more), state_reached=None)
                state = self._found_state(found)
        else:
            state = self._found_state(found)
        if has_text(stale):
            log.info("discarded stale output: %r", self._mask(stale[-400:]))
        self._confirmed(state)
        log.info("recovered: the device is in state %s", state.name)
        return state

    def _found_state(self, found: LastLineMatch) -> "State":
        state = self._prompt_states[found.index]
        self._prompt_confirmed(state, found)
        return state

    def _quiet(self) -> str:
        """Reads until the device is quiet for ``settle_time``, for at most the operation's
        timeout; returns the end of what it printed."""
        poll = getattr(self.spawn, "poll", None)
        drain = getattr(self.spawn, "drain", None)
        if poll is None or drain is None:
            return ""
        read = str(drain())
        deadline = time.monotonic() + (self._total if self._total > 0 else self.settle_time)
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not poll(min(self.settle_time, remaining)):
                break
            read = (read + str(drain()))[-SCREEN_KEPT:]
        return read

    def _screen(self, text: str) -> str:
        """The end of what the device shows: ``text`` after the last line of the last match
        (unless something was sent after that match: then the device shows what came since)."""
        if getattr(self.spawn, "sent_since_match", True):
            return text
        match = getattr(self.spawn, "match", None)
        before = str(getattr(match, "match_output", "") or "")
        return before[before.rfind("\n") + 1:] + text

    def _on_screen(self, text: str) -> Optional[LastLineMatch]:
        """The known prompt that the device shows last, if any."""
        self._prompts()
        assert self._search is not None
        found = self._search.search(self._screen(text))
        if found is None or found.kind == UNKNOWN:
            return None
        return found

    # -- planning --------------------------------------------------------------------------

    def _start_state(self) -> "State":
        """The machine's current state (after any recovery), or the recognised one when the
        machine has none."""
        state = self._machine_state()
        if state is None:
            return self._recognise()
        self.current_state = state
        return self._sync() or state

    def _plan(self, start: "State", target: "State") -> List["Path"]:
        if start is target:
            return []
        try:
            return list(self.state_machine.get_shortest_path(start, target))
        except StateMachineError as err:
            raise TransitionError("no route from %s to %s: %s" % (start, target, err),
                                  state_reached=self._reached_name()) from err

    # -- prompts ------------------------------------------------------------------------------

    def _prompts(self) -> Tuple[Statement, List["State"]]:
        """One ending statement that recognises every registered state on the last line.

        Built once, and again only when the states, their patterns or the
        hostname change. With a known hostname and hostname learning, the
        patterns hold the hostname literally and the learning patterns find
        renames and unknown prompts.
        """
        sm = self.state_machine
        states = list(sm.states)
        hostname = sm.hostname
        learn = bool(sm.learn_hostname)
        texts = [state.pattern for state in states]
        key = (list(map(id, states)), texts, hostname, learn)
        if key != self._prompt_key or self._prompt is None:
            literal = learn and bool(hostname)
            primary = [self._compile_prompt(state, literal_hostname(text, str(hostname))
                                            if literal else text)
                       for state, text in zip(states, texts)]
            learning = [self._compile_prompt(state, text) for state, text in zip(states, texts)] \
                if literal else None
            self._search = LastLineSearch(primary, collapse=True, learning=learning,
                                          renamed=self._names_new_hostname,
                                          learns=learn and not literal)
            self._prompt = Statement(pattern=self._search)
            self._prompt_states = states
            self._index_of = {state.name: index for index, state in enumerate(states)}
            self._prompt_key = key
            self._known_from = None
        assert self._search is not None
        prompts = self._notes.prompts
        if prompts != self._known_from:
            self._search.known = {self._index_of[name]: text for name, text in prompts.items()
                                  if name in self._index_of}
            self._known_from = dict(prompts)
        return self._prompt, self._prompt_states

    def _compile_prompt(self, state: "State", text: str) -> Any:
        try:
            return prompt_compiled(text)
        except re.error as err:
            raise TransitionError(
                "the prompt pattern of state %s is not a valid regular expression: "
                "%s (pattern %r)" % (state.name, err, text),
                state_reached=self._reached_name()) from err

    def _names_new_hostname(self, hostname: str) -> bool:
        """True when the lines sent since the last prompt hold ``hostname`` as a whole word."""
        if hostname == self.state_machine.hostname:
            return False
        pattern = r"(?<!\S)%s(?!\S)" % re.escape(hostname)
        return re.search(pattern, self._notes.sent) is not None

    def _pager_for(self, pager: PagerLike) -> Statement:
        """The statement that answers ``pager``, built again only when its texts change."""
        expect, send = pager.expect, pager.send
        kept = self._pager
        if kept is None or kept[0] != expect or kept[1] != send:
            kept = self._pager = (expect, send, self._pager_statement(pager))
        return kept[2]

    @staticmethod
    def _pager_statement(pager: PagerLike) -> Statement:
        answer = pager.send

        def next_page(spawn: Session) -> None:
            spawn.send(answer)

        try:
            pattern = prompt_compiled(pager.expect)
        except re.error as err:
            raise TransitionError("the pager pattern %r is not a valid regular expression: %s"
                                  % (pager.expect, err)) from err
        return Statement(pattern=LastLineSearch([pattern]), action=next_page,
                         loop_continue=True, continue_timer=False)

    def _extra_statements(self, path: Optional["Path"] = None,
                          defaults: bool = True) -> List[Statement]:
        statements: List[Statement] = []
        for dialog in (getattr(path, "dialog", None), self.dialog,
                       self.state_machine.default_dialog if defaults else None):
            if dialog:
                statements.extend(dialog)
        return statements

    def _wait_for_prompt(self, wait: float, path: Optional["Path"] = None, *, idle: bool = False,
                         pager: Optional[Statement] = None, echo: Optional[str] = None,
                         require_echo: bool = False, answers: bool = True,
                         defaults: bool = True, first_line: bool = False,
                         command: bool = False, ask: bool = False) -> PromptSeen:
        """Answers the dialogs until a state's prompt is the last line the device printed.

        ``wait`` bounds the whole wait, or with ``idle`` the silence; a
        statement with ``continue_timer=False`` grants one fresh wait of the
        operation's timeout. ``echo`` is the command sent (see
        :class:`Progress`); ``answers=False`` answers nothing, ``defaults=False``
        leaves the machine's default statements out. ``command``: the output is
        a command's result (in a state change, what follows the answer to a
        question starts afresh). ``ask``: a first prompt may be confirmed by
        asking (see :meth:`_confirm`). Raises
        ``DialogTimeoutError`` when no prompt appeared in time, ``DialogError``
        for a statement answered more than ``max_answers`` times or a pager
        past ``max_pages``, ``OutputLimitError`` past ``max_output``, and
        ``UnknownPromptError`` for an unknown prompt.
        """
        prompt, states = self._prompts()
        if not states:
            raise TransitionError("the state machine has no states to recognise")
        statements = self._extra_statements(path, defaults) if answers else []
        endings = [pager] if pager is not None else []
        progress = Progress(echo, require_echo, first_line=first_line)
        deadline = time.monotonic() + wait
        granted = False
        pages = 0
        counts: Dict[int, int] = {}
        steps: List[Tuple[Optional[Statement], Match]] = []
        answered: List[str] = []
        matched: List[str] = []
        while True:
            active = endings + statements + [prompt]
            remaining = wait if idle else max(deadline - time.monotonic(), 0.0)
            left = self.max_output - progress.consumed
            try:
                if left <= 0:
                    raise OutputLimitError("more than %d characters" % self.max_output)
                match = self.spawn.expect([s.pattern for s in active], timeout=remaining,
                                          idle=idle, limit=left)
            except ExpectTimeoutError as err:
                raise DialogTimeoutError([s.pattern for s in active], wait, err.output,
                                         matched, answered) from None
            except OutputLimitError as err:
                raise OutputLimitError(
                    "the output passed %d characters (StateTransition.max_output) without a "
                    "prompt" % self.max_output, getattr(err, "output", "")) from None
            except re.error as err:
                raise TransitionError("the dialog statement pattern %r is not a valid regular "
                                      "expression: %s (while %s)"
                                      % (_invalid_pattern(active, err), err, self._doing),
                                      self.route, path, state_reached=self._reached_name()) \
                    from err
            statement = active[match.index]
            if statement is prompt:
                found = match.re_match
                assert isinstance(found, LastLineMatch)
                output = match.match_output
                before = len(output) - len(found.line_raw)
                progress.feed(output, before)
                if progress.stale:
                    log.info("%r before the echo of %r: late output of an earlier operation",
                             self._mask(found.line), self._mask(echo or ""))
                    progress.feed(found.line_raw)
                    steps.append((None, match))
                    continue
                if not self._confirm(found, progress, path, output[:before], ask):
                    log.debug("%r looked like a prompt but output followed it", found.line)
                    unread = getattr(self.spawn, "unread", None)
                    if unread is not None:
                        unread(found.line_raw)
                        match = Match(match.index, match.pattern, _NOTHING, output[:before])
                    else:
                        progress.feed(found.line_raw)
                    steps.append((None, match))
                    continue
                steps.append((prompt, match))
                state = states[found.index]
                self._prompt_confirmed(state, found)
                return PromptSeen(state, match, answered, steps, progress.echo_start,
                                  progress.output_start)
            progress.feed(match.match_output)
            steps.append((statement, match))
            if statement is pager:
                pages += 1
                if pages > self.max_pages:
                    raise DialogError("the pager asked for more than %d pages "
                                      "(StateTransition.max_pages)" % self.max_pages)
                statement.run_action(self.spawn, self.context)
                continue
            count = counts[id(statement)] = counts.get(id(statement), 0) + 1
            if count > self.max_answers:
                raise too_many_answers(statement, match, count)
            answered.append(match.text.strip())
            matched.append(statement.pattern_text)
            statement.run_action(self.spawn, self.context)
            if not command:
                progress.answered()
            if not statement.loop_continue:
                # A statement that does not continue ends the dialog: the prompt is still due.
                statements = []
            if not statement.continue_timer and not granted and not idle:
                granted = True
                deadline = time.monotonic() + (self._total if self._total > 0 else wait)
                self._deadline = max(self._deadline, deadline)

    def _confirm(self, found: LastLineMatch, progress: Progress, path: Optional["Path"],
                 before: str = "", ask: bool = False) -> bool:
        """True when a candidate prompt is the prompt: no output follows it (see the module's
        notes). Raises ``UnknownPromptError`` for an unknown prompt that stays.

        A prompt that teaches the first hostname is confirmed by asking when
        ``ask`` is set and the session allows it (``SessionNotes.may_ask``): a
        line end is sent, and a prompt counts once the device prints it again
        on a line of its own (``before``: what this match consumed before the
        candidate's line) or twice on one line (the line end read before the
        prompt was printed). Until then every prompt-like line waits up to
        ``recovery_wait`` (the wait for the answer to a line sent to get a
        prompt) for more output, and counts for having stayed the last line
        that long when none comes.
        """
        poll = getattr(self.spawn, "poll", None)
        if poll is not None:
            if poll(0):
                return False
            settle = 0.0
            if found.kind in (RENAMED, UNKNOWN) or self._teaches_hostname(found):
                settle = self.settle_time
                if found.kind == PROMPT and self._asked is not None:
                    if found.repeated or self._answers_asked(before, found.line):
                        log.debug("%r printed again in answer to a line end", found.line)
                        settle = 0.0
                    else:
                        # Output that looks like a prompt: the answer to the line end is due.
                        settle = self._answer_wait()
                elif found.kind == PROMPT and ask and self._may_ask():
                    log.debug("sending a line end to confirm the first prompt %r", found.line)
                    self._asked = found.line
                    self.spawn.sendline()
                    if poll(self._answer_wait()):
                        return False
                    log.warning("no answer to a line end: taking %r, which stayed the last "
                                "line", self._mask(found.line))
                    settle = 0.0
            elif (progress.printed or found.kind == SUFFIX) and self._arrived_alone(found):
                settle = self.prompt_settle
            if settle > 0 and poll(settle):
                return False
        if found.kind == UNKNOWN:
            raise self._unknown_prompt(found, path)
        return True

    def _answer_wait(self) -> float:
        """How long to wait for the answer to a line sent to get a prompt."""
        return min(self.recovery_wait, self._total) if self._total > 0 else self.recovery_wait

    def _may_ask(self) -> bool:
        """True when the session allows a line end to be sent to confirm a first prompt."""
        may_ask = self._notes.may_ask
        return may_ask is not None and bool(may_ask())

    def _answers_asked(self, before: str, line: str) -> bool:
        """True when ``line``, the last line, is the device's answer to the line end sent: the
        same prompt again on a line of its own, right after the prompt it repeats.

        ``before`` is the text of the match in front of ``line``: the prompt asked
        about (put back unread) or the one that came after it, then line ends. When the
        handle cannot put text back, ``before`` holds only the line ends, and ``line``
        must be the prompt asked about. A prompt repeated on one line (``R1>R1>``)
        stands for that prompt.
        """
        text = clean_output(before)
        body = text.rstrip("\n")
        if body == text:
            return False  # no line break: not on a line of its own
        previous = body[body.rfind("\n") + 1:] if body else self._asked
        return previous is not None and collapse_repeated_prompt(previous).rstrip() \
            == collapse_repeated_prompt(line).rstrip() != ""

    def _arrived_alone(self, found: LastLineMatch) -> bool:
        """True when the candidate's line arrived in a read of its own, or in pieces."""
        data = getattr(self.spawn, "last_read", None)
        if not isinstance(data, str):
            return True
        line = found.line_raw
        if len(data) <= len(line):
            return True
        return not has_text(data[:len(data) - len(line)])

    def _teaches_hostname(self, found: LastLineMatch) -> bool:
        sm = self.state_machine
        if not sm.learn_hostname:
            return False
        learned = found.hostname
        return bool(learned) and learned != sm.hostname

    def _prompt_confirmed(self, state: "State", found: LastLineMatch) -> None:
        """Learns a hostname the prompt teaches, and remembers the prompt's text."""
        sm = self.state_machine
        if sm.learn_hostname:
            value = found.hostname
            if value and value != sm.hostname:
                if sm.hostname:
                    log.info("hostname %r renamed to %r by the prompt %r", sm.hostname, value,
                             found.line)
                else:
                    log.info("learned hostname %r from the prompt %r", value, found.line)
                sm.hostname = value
        notes = self._notes
        notes.sent = ""
        if found.kind != SUFFIX and not found.repeated:
            notes.prompts[state.name] = found.line

    def _unknown_prompt(self, found: LastLineMatch, path: Optional["Path"]) -> UnknownPromptError:
        line = found.line.strip()
        sm = self.state_machine
        self._set_unknown()
        reason = ("unknown prompt %r while %s: no state's prompt matches it with the hostname "
                  "%r, and no line sent since the last prompt names %r (as 'hostname NAME' "
                  "does); the state is unknown"
                  % (line, self._doing, sm.hostname, found.hostname))
        match = getattr(self.spawn, "match", None)
        output = str(getattr(match, "match_output", "") or "")
        return UnknownPromptError(self._mask(reason), self._mask(line), self.route, path,
                                  self._expected(path), self._mask(output))

    def _recognise(self) -> "State":
        """Finds out which state the device is in, getting a fresh prompt if needed.

        A session in doubt is recovered first (unless the caller asked for
        prompt recovery, which then has its say). When something was sent
        since the last match, its answer is awaited; otherwise a prompt the
        device prints unasked gets a short wait before a line is sent to ask
        for one. A second prompt is awaited only when one may still be on its
        way: after a line sent to ask for a prompt that did not bring two, or
        after lines sent by someone else.
        """
        self._doing = "recognising the device's state"
        self._asked = None
        if not self.prompt_recovery:
            recovered = self._sync(drain=False)
            if recovered is not None:
                self.current_state = recovered
                return recovered
        spawn = self.spawn
        sent_by_caller = bool(getattr(spawn, "sent_since_match", True))
        sent_newline = False
        seen: Optional[PromptSeen] = None
        try:
            try:
                if sent_by_caller:
                    seen = self._wait_for_prompt(self._remaining())
                else:
                    try:
                        seen = self._wait_for_prompt(min(self.fresh_prompt_wait,
                                                         self._remaining()), ask=True)
                    except DialogTimeoutError:
                        if not getattr(spawn, "sent_since_match", False):
                            spawn.sendline()
                            sent_newline = True
                        # else a dialog answered a question: its reply is due, and a
                        # line sent now could be taken as the next answer.
                        seen = self._wait_for_prompt(self._remaining())
                state = seen.state
            except DialogTimeoutError as err:
                state = self._recover(None, err, skip_newline=sent_newline)
        except (SessionClosedError, DialogError, OutputLimitError) as err:
            raise self._failure(None, err) from err
        if sent_by_caller or (sent_newline and seen is not None and not self._both_prompts(seen)):
            state = self._settle(state)
        self.current_state = state
        self._notes.doubt = None
        log.info("device is in state %s", state.name)
        return state

    @staticmethod
    def _both_prompts(seen: PromptSeen) -> bool:
        """True when the output holds two prompts: the unasked one and the answer to a line."""
        found = seen.match.re_match
        if not isinstance(found, LastLineMatch):
            return False
        if found.repeated:
            return True
        consumed = "".join(match.match_output for _, match in seen.steps)
        earlier = clean_output(consumed[:len(consumed) - len(found.raw)])
        return any(found.found.re.search(line) for line in earlier.split("\n") if line.strip())

    def _settle(self, state: "State") -> "State":
        """Consumes prompts that follow right away (answers to extra line ends)."""
        while True:
            try:
                state = self._wait_for_prompt(self.settle_time).state
            except DialogTimeoutError:
                return state

    def _recover(self, path: Optional["Path"], err: DialogTimeoutError,
                 skip_newline: bool = False) -> "State":
        """Sends the recovery lines one by one until a prompt appears."""
        if not self.prompt_recovery:
            raise self._timeout(path, err) from None
        commands = list(getattr(self.state_machine, "prompt_recovery_commands",
                                PROMPT_RECOVERY_COMMANDS))
        if skip_newline and commands and commands[0] == "":
            commands = commands[1:]
        wait = self._answer_wait()
        last = err
        for command in commands:
            log.info("no prompt: prompt recovery sends %r", command)
            self.spawn.sendline(command)
            try:
                state = self._wait_for_prompt(wait, path).state
            except DialogTimeoutError as again:
                last = again
                continue
            return self._settle(state)
        raise self._timeout(path, last, recovered=True) from None

    # -- commands ------------------------------------------------------------------------

    @staticmethod
    def _command_output(steps: Sequence[Tuple[Optional[Statement], Match]],
                        pager: Optional[Statement], output_start: int = 0) -> str:
        """The clean output of a command from what each step of its wait consumed.

        The first ``output_start`` characters (the echo, and late output
        before it) and the closing prompt with the line break before it are
        cut from the raw text first, so the cleaning copies only the output.
        """
        parts: List[Tuple[str, int, int]] = []
        after_pager = False
        last = len(steps) - 1
        skip = output_start
        for number, (statement, match) in enumerate(steps):
            text = match.match_output
            begin = erase_length(text) if after_pager else 0
            if skip > 0:
                begin = max(begin, min(skip, len(text)))
                skip -= len(text)
            paged = pager is not None and statement is pager
            stop = len(text) - len(match.text) if paged or number == last else len(text)
            parts.append((text, begin, max(stop, begin)))
            after_pager = paged
        if len(parts) == 1:
            raw, offset, end = parts[0]
        else:
            raw = "".join(text[begin:stop] for text, begin, stop in parts)
            offset, end = 0, len(raw)
        if end > offset and raw[end - 1] == "\n":
            end -= 1
            while end > offset and raw[end - 1] == "\r":
                end -= 1
        return clean_output(raw[offset:end])

    def _command_timeout(self, command: str, wait: float,
                         err: DialogTimeoutError) -> TransitionTimeoutError:
        shows = last_line(err.output or "").strip()
        reason = "no prompt: the device printed nothing for %.1f s after the command %r" % (
            wait, self._mask(command))
        if shows:
            reason += "; it shows %r (a command's questions are answered only by its dialog)" \
                % shows
        return TransitionTimeoutError(reason, expected=self._expected(None, defaults=False),
                                      output=err.output, state_reached=self._reached_name())

    # -- hops -------------------------------------------------------------------------------

    def _send_command(self, path: "Path") -> None:
        command = path.command
        if isinstance(command, str):
            self.spawn.sendline(command)
        elif callable(command):
            call_action(command, self.spawn, self.context)

    def _hop(self, path: "Path") -> "State":
        """Travels one path; returns the state whose prompt the device showed at the end."""
        started = time.monotonic()
        self._doing = "travelling %s" % path
        recovered = self._sync()
        if recovered is not None and recovered.name != path.from_state.name:
            raise UnexpectedStateError(
                "before hop %s the device showed the prompt of state %s" % (path, recovered.name),
                self.route, path, [path.from_state.pattern], "", recovered.name)
        log.info("hop %s: sending %r", path, command_text(path.command))
        try:
            self._send_command(path)
            try:
                # The first line of a hop is its echo, or output of no result: see Progress.
                seen = self._wait_for_prompt(self._remaining(), path, first_line=True)
                reached, answered = seen.state, seen.answered
            except DialogTimeoutError as err:
                reached = self._recover(path, err)
                answered = [text.strip() for text in err.shown]
        except (SessionClosedError, DialogError, OutputLimitError) as err:
            raise self._failure(path, err) from err
        self.current_state = reached
        hop = Hop(from_state=path.from_state.name, to_state=path.to_state.name,
                  command=command_text(path.command), seconds=time.monotonic() - started,
                  reached=reached.name, answered=answered)
        self.hops.append(hop)
        log.info("hop %s reached %s in %.3f s", path, reached.name, hop.seconds)
        return reached

    # -- errors ------------------------------------------------------------------------------

    def _mask(self, text: str) -> str:
        mask: Optional[Callable[[str], str]] = getattr(self.spawn, "mask", None)
        return mask(text) if mask is not None else text

    def _reached_name(self) -> Optional[str]:
        return None if self.current_state is GENERIC else _state_name(self.current_state)

    def _expected(self, path: Optional["Path"], defaults: bool = True) -> List[str]:
        patterns = [s.pattern_text for s in self._extra_statements(path, defaults)]
        if path is not None:
            patterns.insert(0, path.to_state.pattern)
        else:
            patterns.extend(state.pattern for state in self.state_machine.states)
        return patterns

    @staticmethod
    def _activity(path: Optional["Path"], command: Optional[str] = None) -> str:
        if command is not None:
            return "running %r" % command
        return "travelling %s" % path if path is not None else "recognising the device's state"

    def _timeout(self, path: Optional["Path"], err: DialogTimeoutError,
                 recovered: bool = False) -> TransitionTimeoutError:
        reason = "no prompt within %.1f s while %s" % (self._total, self._activity(path))
        if recovered:
            reason += ", and prompt recovery got none either"
        shows = last_line(err.output or "").strip()
        if shows:
            reason += "; the device shows %r" % shows
        if err.shown:
            reason += "; answered on the way: %s" % ", ".join(
                "%r%s" % (text, " (%d times)" % count if count > 1 else "")
                for text, count in Counter(text.strip() for text in err.shown).items())
        if any("%N" in state.pattern for state in self.state_machine.states):
            reason += " (the prompt patterns still hold %N: give the machine a hostname " \
                      "or set learn_hostname)"
        return TransitionTimeoutError(reason, self.route, path, self._expected(path), err.output,
                                      self._reached_name())

    def _failure(self, path: Optional["Path"], err: TesselError,
                 command: Optional[str] = None) -> TransitionError:
        activity = self._activity(path, self._mask(command) if command is not None else None)
        if isinstance(err, SessionClosedError):
            reason = "the device closed the session while %s" % activity
        else:
            reason = "%s (while %s)" % (str(err).splitlines()[0], activity)
        return TransitionError(self._mask(reason), self.route, path,
                               self._expected(path, command is None),
                               getattr(err, "output", ""), self._reached_name())

    def _unexpected(self, path: "Path", reached: "State") -> UnexpectedStateError:
        match = getattr(self.spawn, "match", None)
        output = self._mask(getattr(match, "match_output", "") or "")
        return UnexpectedStateError(
            "hop %s ended in state %s instead of %s" % (path, reached.name, path.to_state.name),
            self.route, path, [path.to_state.pattern], output, reached.name)

    def _travel_hop_by_hop(self, current: "State", arrived: Callable[["State"], bool],
                           plan: Callable[["State"], List["Path"]], goal: str) -> None:
        """Takes the first hop of a fresh plan from the state actually reached, until arrived.

        A hop that leaves the device where it was fails the change, and so does
        a change that takes more hops than the machine has states twice over.
        """
        limit = 2 * max(len(self.state_machine.states), 1)
        while not arrived(current):
            if len(self.hops) >= limit:
                raise TransitionError("gave up after %d hops without reaching %s"
                                      % (len(self.hops), goal), self.route,
                                      state_reached=current.name)
            self.route = plan(current)
            path = self.route[0]
            reached = self._hop(path)
            if reached is current or reached.name == current.name:
                raise self._unexpected(path, reached)
            if reached.name != path.to_state.name:
                log.info("hop %s ended in %s: planning again", path, reached.name)
            current = reached


class HopWiseStateTransition(StateTransition):
    """Moves the device one hop at a time, re-planning after each hop.

    When a hop ends in a state other than the one it leads to, the route is
    planned again from there. A hop that leaves the device where it was (a
    refused password, say) fails the change, and so does a change that takes
    more hops than the machine has states twice over.
    """

    def do_transitions(self) -> List[Hop]:
        self._start_clock()
        target = self.to_state
        with self._operation():
            self._travel_hop_by_hop(self._start_state(),
                                    lambda state: state is target or state.name == target.name,
                                    lambda state: self._plan(state, target), target.name)
        return self.hops


class AnyStateTransition(StateTransition):
    """Recognises whichever state the device is in, or reaches the nearest listed state.

    ``to_state`` is "any" or a list of state names. For "any" the device's
    prompt is read (a line is sent to get one when none is waiting). For a
    list, the machine's current state is used when it is known (recognised
    first otherwise); if it is not listed, the engine travels hop by hop
    towards the listed state with the shortest route, planning again after
    every hop.
    """

    def do_transitions(self) -> List[Hop]:
        self._start_clock()
        with self._operation():
            if isinstance(self.to_state, str):
                if self.to_state != ANY:
                    raise TransitionError("AnyStateTransition takes \"any\" or a list of state "
                                          "names, not %r" % self.to_state)
                self._recognise()
                return self.hops
            targets = [_state_name(t) for t in self.to_state]
            current = self._start_state()
            self.current_state = current
            self._travel_hop_by_hop(current, lambda state: state.name in targets,
                                    lambda state: self._nearest_route(state, targets),
                                    "any of " + ", ".join(targets))
        return self.hops

    def _nearest_route(self, start: "State", targets: Sequence[str]) -> List["Path"]:
        sm = self.state_machine
        best: Optional[List["Path"]] = None
        for name in targets:
            state = next((s for s in sm.states if s.name == name), None)
            if state is None:
                continue
            try:
                route = list(sm.get_shortest_path(start, state))
            except StateMachineError:
                continue
            if route and (best is None or len(route) < len(best)):
                best = route
        if best is None:
            raise TransitionError("no route from %s to any of %s" % (start.name,
                                                                    ", ".join(targets)),
                                  state_reached=start.name)
        return best


def execute(state_machine: "StateMachine", spawn: Session, command: str,
            timeout: Optional[float] = None, context: Any = None,
            dialog: Optional[Iterable[Statement]] = None,
            pager: Optional[PagerLike] = None) -> str:
    """Runs one command at the device's prompt and returns its clean output.

    A thin wrapper of :meth:`StateTransition.run_command`: ``timeout`` bounds
    silence while the output comes, only ``dialog`` answers questions, pager
    prompts are answered, and the state whose prompt ends the output becomes
    the machine's current state.
    """
    engine = StateTransition(state_machine=state_machine, spawn=spawn, dialog=dialog,
                             timeout=timeout, context=context)
    return engine.run_command(command, pager=pager).output
