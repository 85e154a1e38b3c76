"""Transition engines that move a device along a state machine's paths, and run its commands.

``StateMachine.go_to`` builds one engine per state change and calls its
``do_transitions()``; afterwards it reads the engine's ``current_state``,
which is the string "generic" while no prompt has confirmed a state, and the
``State`` reached so far once one has.

* :class:`StateTransition` plans the shortest route from the machine's
  current state to one target state and travels it; a hop that ends at any
  other state's prompt fails the change. Its :meth:`~StateTransition.run_command`
  runs one command at the current prompt and returns the clean output.
* :class:`HopWiseStateTransition` travels one hop at a time and plans again
  from the state the device is actually in after each hop.
* :class:`AnyStateTransition` recognises the state the device is in
  (target "any"), or reaches the nearest of a list of states.

A hop sends the path's command (a ``str`` as a line; a callable is called
with the spawn handle and, when it takes one, ``context=``) and then processes
the path's dialog, the caller's dialog and the machine's default statements
until a registered state's prompt appears.

How a state is recognised, the one rule shared with ``detect_state``: a
prompt is the last line the device printed (the text after the last line
break, cleaned of terminal escape sequences), and the state is the first
registered state whose pattern matches that line (``re.search``, no
flags). A platform therefore registers a state whose prompt extends
another's before it (``R1(config)#`` before ``R1#`` when both patterns
would match). Output that merely looks like a prompt is followed by more
output, so it is never the last line; a line that repeats one prompt
(``R1>R1>``, the answer to a line sent before the first prompt) counts as
that prompt. With hostname learning, a prompt that teaches a hostname (the
first one, or another one: a rename) counts only if nothing follows it
within ``settle_time``: a banner line such as ``Router>`` or ``#####`` whose
line break is still on its way is output, not a prompt.

What each wait bounds:

* ``go_to(..., timeout=T)``: the whole state change, every hop and dialog
  (default: the spawn's ``timeout``); prompt recovery then tries each of its
  lines for up to ``recovery_wait`` more.
* ``run_command`` and ``execute`` (``timeout=T``): silence while waiting for
  the closing prompt. The wait starts afresh whenever output arrives, so a
  long output is never cut off while it keeps coming (default: the spawn's
  ``timeout``).
* ``fresh_prompt_wait``: how long a recognition waits for a prompt printed
  unasked before it sends a line to ask for one.
* ``settle_time``: after a recognition that sent a line to ask for a prompt,
  how long it waits for a second prompt still on its way; and how long a
  prompt that teaches a hostname must stay the last line to count.

This module must not import the state machine module at import time: that
module imports this one while it initialises.
"""
import logging
import re
import time
from dataclasses import dataclass, field
from typing import (
    TYPE_CHECKING,
    Any,
    Callable,
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
    SessionClosedError,
    StateMachineError,
    TesselError,
    TransitionError,
    TransitionTimeoutError,
    UnexpectedStateError,
)
from tessel.eal.dialogs import Dialog, Statement, call_action
from tessel.eal.output import clean_output, collapse_repeated_prompt, erase_length
from tessel.eal.spawn import LastLineMatch, LastLineSearch, Match, compiled

if TYPE_CHECKING:
    from tessel.statemachine.statemachine import Path, State, StateMachine

__all__ = ["StateTransition", "HopWiseStateTransition", "AnyStateTransition", "CommandOutput",
           "Hop", "execute", "command_text", "collapse_repeated_prompt"]

log = logging.getLogger(__name__)

GENERIC = "generic"
ANY = "any"

#: What prompt recovery sends, one line each, when no prompt came in time:
#: an empty line first, then Ctrl-C to abandon a command that hangs. A
#: platform may set ``prompt_recovery_commands`` on its machine instead.
PROMPT_RECOVERY_COMMANDS: Tuple[str, ...] = ("", "\x03")


class Session(Protocol):
    """What the engines need of the device handle (``Spawn``, or a test's fake).

    Optional extras, used when present: ``drain()``, ``poll(wait)``,
    ``mask(text)`` and ``sent_since_match``.
    """

    timeout: float
    match: Optional[Match]

    def sendline(self, text: str = "") -> int: ...

    def send(self, text: str) -> int: ...

    def expect(self, patterns: Any, timeout: Optional[float] = None, *,
               idle: bool = False) -> Match: ...


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
    the texts that dialog statements answered on the way, and every statement
    that matched with the spawn's match for it (None for output that only
    looked like a prompt)."""

    state: "State"
    match: Match
    answered: List[str]
    steps: List[Tuple[Optional[Statement], Match]]


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


def _hostname_of(found: "re.Match[str]") -> Optional[str]:
    """The text that a hostname-learning group of a prompt pattern captured."""
    groups = found.groupdict()
    for key in sorted(groups):
        value = groups[key]
        if key.startswith("hostname") and value:
            return value
    return None


def _invalid_pattern(statements: Iterable[Statement], err: re.error) -> str:
    """The text of the statement pattern that ``err`` was raised for."""
    for statement in statements:
        if isinstance(statement.pattern, str):
            try:
                compiled(statement.pattern)
            except re.error:
                return statement.pattern
    return str(getattr(err, "pattern", "?"))


class StateTransition:
    """Takes the shortest route from the machine's current state to one target state."""

    #: How long a recognition waits for a prompt the device prints unasked
    #: (right after connecting) before it sends a line to get one.
    fresh_prompt_wait = 0.5
    #: How long a recognition that sent a line waits for a second prompt, and
    #: how long a prompt with a new hostname must stay last to count.
    settle_time = 0.1
    #: The longest wait for each prompt-recovery attempt, in seconds.
    recovery_wait = 2.0

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
        self._prompt_key: Optional[Tuple[Tuple[int, str], ...]] = None
        self._prompt: Optional[Statement] = None
        self._prompt_states: List["State"] = []

    # -- entry points ------------------------------------------------------------------

    def do_transitions(self) -> List[Hop]:
        """Performs the state change; returns the hops travelled."""
        self._start_clock()
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

        Output already waiting is discarded first, so a stale prompt cannot end
        the command. The caller's dialog and the machine's default statements
        are answered on the way; a pager prompt (``pager.expect``, seen as the
        last line) is answered with ``pager.send`` and every page is kept. The
        engine's ``timeout`` (default: the spawn's) bounds silence: the wait
        for the closing prompt starts afresh whenever output arrives. The
        state whose prompt ends the output becomes the machine's current state.

        Raises ``TransitionTimeoutError`` when no prompt comes, and
        ``TransitionError`` when the session closes or a dialog fails.
        """
        spawn = self.spawn
        started = time.monotonic()
        wait = self._timeout_value()
        self._total = wait
        drain = getattr(spawn, "drain", None)
        if drain is not None:
            drain()
        spawn.sendline(command)
        pager_statement = self._pager_statement(pager) if pager is not None else None
        try:
            seen = self._wait_for_prompt(wait, idle=True, pager=pager_statement)
        except DialogTimeoutError as err:
            raise TransitionTimeoutError(
                "no prompt: the device printed nothing for %.1f s after the command %r"
                % (wait, self._mask(command)),
                expected=self._expected(None), output=err.output,
                state_reached=self._reached_name()) from None
        except (SessionClosedError, DialogError) as err:
            raise self._failure(None, err, command) from err
        self.current_state = seen.state
        self.state_machine.update_cur_state(seen.state)
        raw = "".join(match.match_output for _, match in seen.steps)
        return CommandOutput(command=command,
                             output=self._command_output(command, seen.steps, pager_statement),
                             state=seen.state.name, elapsed=time.monotonic() - started,
                             raw=self._mask(raw))

    # -- clock ---------------------------------------------------------------------------

    def _timeout_value(self) -> float:
        value = self.timeout if self.timeout is not None else getattr(self.spawn, "timeout", 10)
        return float(value)

    def _start_clock(self) -> None:
        self._total = self._timeout_value()
        self._deadline = time.monotonic() + self._total

    def _remaining(self) -> float:
        return max(self._deadline - time.monotonic(), 0.0)

    # -- planning --------------------------------------------------------------------------

    def _start_state(self) -> "State":
        """The machine's current state, or the recognised one when the machine has none."""
        sm = self.state_machine
        name = sm.current_state
        for state in sm.states:
            if state.name == name:
                return state
        return self._recognise()

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

        Built once, and again only when the states or their patterns change
        (a hostname learned or set changes the patterns).
        """
        states = list(self.state_machine.states)
        key = tuple((id(state), state.pattern) for state in states)
        if key != self._prompt_key or self._prompt is None:
            patterns = []
            for state, (_, text) in zip(states, key):
                try:
                    patterns.append(compiled(text))
                except re.error as err:
                    raise TransitionError(
                        "the prompt pattern of state %s is not a valid regular expression: "
                        "%s (pattern %r)" % (state.name, err, text),
                        state_reached=self._reached_name()) from err
            self._prompt = Statement(pattern=LastLineSearch(patterns, collapse=True))
            self._prompt_states = states
            self._prompt_key = key
        return self._prompt, self._prompt_states

    @staticmethod
    def _pager_statement(pager: PagerLike) -> Statement:
        answer = pager.send

        def next_page(spawn: Session) -> None:
            spawn.send(answer)

        try:
            pattern = compiled(pager.expect)
        except re.error as err:
            raise TransitionError("the pager pattern %r is not a valid regular expression: %s"
                                  % (pager.expect, err)) from err
        return Statement(pattern=LastLineSearch([pattern]), action=next_page,
                         loop_continue=True, continue_timer=False)

    def _extra_statements(self, path: Optional["Path"] = None) -> List[Statement]:
        statements: List[Statement] = []
        for dialog in (getattr(path, "dialog", None), self.dialog,
                       self.state_machine.default_dialog):
            if dialog:
                statements.extend(dialog)
        return statements

    def _wait_for_prompt(self, wait: float, path: Optional["Path"] = None, *, idle: bool = False,
                         pager: Optional[Statement] = None) -> PromptSeen:
        """Processes the dialogs until a state's prompt is the last line the device printed.

        ``wait`` bounds the whole wait, or with ``idle`` the silence. Raises
        ``DialogTimeoutError`` when no prompt appeared in time.
        """
        prompt, states = self._prompts()
        if not states:
            raise TransitionError("the state machine has no states to recognise")
        endings = [pager] if pager is not None else []
        dialog = Dialog(endings + self._extra_statements(path) + [prompt])
        deadline = time.monotonic() + wait
        steps: List[Tuple[Optional[Statement], Match]] = []
        answered: List[str] = []
        while True:
            remaining = wait if idle else max(deadline - time.monotonic(), 0.0)
            try:
                result = dialog.process(self.spawn, timeout=remaining, context=self.context,
                                        idle=idle)
            except re.error as err:
                raise TransitionError("the dialog statement pattern %r is not a valid regular "
                                      "expression: %s (while %s)"
                                      % (_invalid_pattern(dialog, err), err,
                                         self._activity(path)),
                                      self.route, path, state_reached=self._reached_name()) \
                    from err
            assert result is not None
            for statement, match in zip(result.history, result.matches):
                steps.append((statement, match))
                if statement is not prompt and statement is not pager:
                    answered.append(match.text.strip())
            if result.statement is not prompt:
                # A statement that does not continue ended the dialog: the prompt is still due.
                dialog = Dialog(endings + [prompt])
                continue
            found = result.match.re_match
            assert isinstance(found, LastLineMatch)
            if self._followed_by_output(found):
                log.debug("%r looked like a prompt but output followed it", found.line)
                steps[-1] = (None, result.match)
                continue
            self._learn_hostname(found.found)
            return PromptSeen(states[found.index], result.match, answered, steps)

    def _followed_by_output(self, found: LastLineMatch) -> bool:
        """True when a prompt that teaches a hostname turns out to be output.

        Such a line counts as a prompt only if nothing follows it within
        ``settle_time``, for the first hostname learned as for a rename: the
        device's output may reach us in pieces, a banner line cut off just
        before its line break.
        """
        sm = self.state_machine
        if not sm.learn_hostname:
            return False
        learned = _hostname_of(found.found)
        if not learned or learned == sm.hostname:
            return False
        poll = getattr(self.spawn, "poll", None)
        if poll is None:
            return False
        return bool(poll(self.settle_time))

    def _learn_hostname(self, found: "re.Match[str]") -> None:
        """Records the hostname that a learning group of the prompt captured."""
        sm = self.state_machine
        if not sm.learn_hostname:
            return
        value = _hostname_of(found)
        if value and value != sm.hostname:
            log.info("learned hostname %r from the prompt %r", value, found.group(0))
            sm.hostname = value

    def _recognise(self) -> "State":
        """Finds out which state the device is in, getting a fresh prompt if needed.

        When something was sent since the last match, its answer is awaited;
        otherwise a prompt the device prints unasked gets a short wait before
        a line is sent to ask for one. A second prompt is awaited only when
        one may still be on its way: after a line sent to ask for a prompt
        that did not bring two, or after lines sent by someone else.
        """
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
                                                         self._remaining()))
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
        except (SessionClosedError, DialogError) as err:
            raise self._failure(None, err) from err
        if sent_by_caller or (sent_newline and seen is not None and not self._both_prompts(seen)):
            state = self._settle(state)
        self.current_state = state
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
        wait = min(self.recovery_wait, self._total) if self._total > 0 else self.recovery_wait
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

    def _command_output(self, command: str, steps: Sequence[Tuple[Optional[Statement], Match]],
                        pager: Optional[Statement]) -> str:
        """The clean output of a command from what each step of its dialog consumed.

        The echo of the command (the first line, when it ends with the command)
        and the closing prompt with the line break before it are cut from the
        raw text first, so the cleaning copies only the output itself.
        """
        parts: List[Tuple[str, int, int]] = []
        after_pager = False
        last = len(steps) - 1
        for number, (statement, match) in enumerate(steps):
            text = match.match_output
            begin = erase_length(text) if after_pager else 0
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
        start = raw.find("\n", offset, end) + 1
        first = raw[offset:start] if start else raw[offset:end]
        if clean_output(first).strip().endswith(command.strip()):
            offset = start or end
        return clean_output(raw[offset:end])

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
        log.info("hop %s: sending %r", path, command_text(path.command))
        drain = getattr(self.spawn, "drain", None)
        if drain is not None:
            drain()
        try:
            self._send_command(path)
            try:
                seen = self._wait_for_prompt(self._remaining(), path)
                reached, answered = seen.state, seen.answered
            except DialogTimeoutError as err:
                reached = self._recover(path, err)
                answered = [text.strip() for text in err.shown]
        except (SessionClosedError, DialogError) as err:
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

    def _expected(self, path: Optional["Path"]) -> List[str]:
        patterns = [s.pattern_text for s in self._extra_statements(path)]
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
        return TransitionError(reason, self.route, path, self._expected(path),
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
    silence while the output comes, dialogs and pager prompts are answered,
    and the state whose prompt ends the output becomes the machine's current state.
    """
    engine = StateTransition(state_machine=state_machine, spawn=spawn, dialog=dialog,
                             timeout=timeout, context=context)
    return engine.run_command(command, pager=pager).output
