"""Transition engines that move a device along a state machine's paths.

``StateMachine.go_to`` builds one engine per state change and calls its
``do_transitions()``; afterwards it reads the engine's ``current_state``,
which is the string "generic" while no prompt has confirmed a state, and the
``State`` reached so far once one has.

* :class:`StateTransition` plans the shortest route from the machine's
  current state to one target state and travels it; a hop that ends at any
  other state's prompt fails the change.
* :class:`HopWiseStateTransition` travels one hop at a time and plans again
  from the state the device is actually in after each hop.
* :class:`AnyStateTransition` recognises the state the device is in
  (target "any"), or reaches the nearest of a list of states.

A hop sends the path's command (a ``str`` as a line; a callable is called
with the spawn handle and, when it takes one, ``context=``) and then processes
the path's dialog, the caller's dialog and the machine's default statements
until a registered state's prompt appears. Prompt patterns are searched with
``re.MULTILINE``, so ``^`` and ``$`` match at line boundaries. The prompt that
appears decides where the device is; when several states' patterns match the
same prompt line, the one whose fixed text covers most of the line wins
(with hostname learning, ``%N#`` also matches ``R1(config)#``, but the config
pattern explains more of it), then the one registered first.

This module must not import the state machine module at import time: that
module imports this one while it initialises.
"""
import logging
import re
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterable, List, NamedTuple, Optional, Sequence, Tuple

from tessel.core.errors import (DialogError, DialogTimeoutError, SessionClosedError,
                                StateMachineError, TesselError, TransitionError,
                                TransitionTimeoutError, UnexpectedStateError)
from tessel.eal.dialogs import Dialog, Statement, call_action

log = logging.getLogger(__name__)

GENERIC = "generic"
ANY = "any"

#: What prompt recovery sends, one line each, when no prompt came in time:
#: an empty line first, then Ctrl-C to abandon a command that hangs. A
#: platform may set ``prompt_recovery_commands`` on its machine instead.
PROMPT_RECOVERY_COMMANDS: Tuple[str, ...] = ("", "\x03")


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


class PromptSeen(NamedTuple):
    """A prompt that ended a wait: the state it shows, the spawn's match, and what
    the device asked on the way (the texts that dialog statements answered)."""

    state: Any
    match: Any
    answered: List[str]


def command_text(command: Any) -> str:
    """How a path's command is shown: the text itself, ``name()`` for a callable."""
    if callable(command):
        return "%s()" % getattr(command, "__name__", type(command).__name__)
    return command or ""


def collapse_repeated_prompt(line: str) -> str:
    """One prompt for a line that holds the same prompt several times over.

    A line sent before the device printed its prompt is answered with a
    second prompt on the same line (``R1>R1>``); read as one prompt, it would
    teach the hostname ``R1>R1``.
    """
    text = line.rstrip()
    size = len(text)
    if size > 512:
        return line
    for count in range(size, 1, -1):
        if size % count == 0:
            unit = text[:size // count]
            if unit * count == text:
                return unit
    return line


def _state_name(state: Any) -> str:
    return getattr(state, "name", state)


class StateTransition:
    """Takes the shortest route from the machine's current state to one target state."""

    #: How long a recognition waits for a prompt the device prints unasked
    #: (right after connecting) before it sends a line to get one.
    fresh_prompt_wait = 0.5
    #: After a line was sent to get a prompt, further prompts that arrive within
    #: this time are consumed too, so none is left to be mistaken later.
    settle_time = 0.1
    #: The longest wait for each prompt-recovery attempt, in seconds.
    recovery_wait = 2.0

    def __init__(self, state_machine: Any = None, to_state: Any = None, spawn: Any = None,
                 dialog: Any = None, timeout: Optional[float] = None, context: Any = None,
                 prompt_recovery: bool = False) -> None:
        self.state_machine = state_machine
        self.to_state = to_state
        self.spawn = spawn
        self.dialog = dialog
        self.timeout = timeout
        self.context = context
        self.prompt_recovery = prompt_recovery
        self.current_state: Any = GENERIC
        self.hops: List[Hop] = []
        self.route: List[Any] = []
        self._deadline = 0.0
        self._total = 0.0

    # -- entry point -------------------------------------------------------------------

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

    # -- clock ---------------------------------------------------------------------------

    def _start_clock(self) -> None:
        total = self.timeout if self.timeout is not None else getattr(self.spawn, "timeout", 10)
        self._total = float(total)
        self._deadline = time.monotonic() + self._total

    def _remaining(self) -> float:
        return max(self._deadline - time.monotonic(), 0.0)

    # -- planning --------------------------------------------------------------------------

    def _start_state(self) -> Any:
        """The machine's current state, or the recognised one when the machine has none."""
        sm = self.state_machine
        name = sm.current_state
        for state in sm.states:
            if state.name == name:
                return state
        return self._recognise()

    def _plan(self, start: Any, target: Any) -> List[Any]:
        if start is target:
            return []
        try:
            return list(self.state_machine.get_shortest_path(start, target))
        except StateMachineError as err:
            raise TransitionError("no route from %s to %s: %s" % (start, target, err),
                                  state_reached=_state_name(self.current_state)
                                  if self.current_state is not GENERIC else None) from err

    # -- prompts ------------------------------------------------------------------------------

    def _prompt_statements(self) -> Tuple[List[Statement], Dict[int, Any]]:
        """One ending statement per registered state, in registration order."""
        statements = []
        owners: Dict[int, Any] = {}
        for state in self.state_machine.states:
            statement = Statement(pattern=re.compile(state.pattern, re.MULTILINE))
            statements.append(statement)
            owners[id(statement)] = state
        return statements, owners

    def _extra_statements(self, path: Any = None) -> List[Statement]:
        statements: List[Statement] = []
        for dialog in (getattr(path, "dialog", None), self.dialog,
                       self.state_machine.default_dialog):
            if dialog:
                statements.extend(dialog)
        return statements

    def _wait_for_prompt(self, wait: float, path: Any = None) -> "PromptSeen":
        """Processes the dialogs until a state's prompt appears.

        Raises ``DialogTimeoutError`` when no prompt appeared within ``wait``.
        """
        prompts, owners = self._prompt_statements()
        if not prompts:
            raise TransitionError("the state machine has no states to recognise")
        dialog = Dialog(self._extra_statements(path) + prompts)
        deadline = time.monotonic() + wait
        answered: List[str] = []
        while True:
            result = dialog.process(self.spawn, timeout=max(deadline - time.monotonic(), 0.0),
                                    context=self.context)
            assert result is not None
            answered.extend(text.strip() for statement, text in zip(result.history, result.shown)
                            if id(statement) not in owners)
            if id(result.statement) in owners:
                break
            # A statement that does not continue ended the dialog: the prompt is still due.
            dialog = Dialog(prompts)
        state, found = self._classify(result.match, owners[id(result.statement)], prompts, owners)
        self._learn_hostname(found)
        return PromptSeen(state, result.match, answered)

    @staticmethod
    def _classify(match: Any, matched: Any, prompts: List[Statement],
                  owners: Dict[int, Any]) -> Tuple[Any, "re.Match[str]"]:
        """Chooses the state whose pattern explains most of the prompt line.

        Returns the state and its pattern's match on that line (the spawn's
        match when no pattern matches the line on its own).
        """
        lines = match.match_output.splitlines()
        line = lines[-1] if lines and lines[-1].strip() else match.text.strip()
        line = collapse_repeated_prompt(line)
        best, best_found, best_score = matched, match.re_match, -1
        for statement in prompts:
            found = statement.pattern.search(line)
            if found is None:
                continue
            learned = sum(len(v) for k, v in found.groupdict().items()
                          if k.startswith("hostname") and v)
            score = len(found.group(0)) - learned
            if score > best_score:
                best, best_found, best_score = owners[id(statement)], found, score
        return best, best_found

    def _learn_hostname(self, found: "re.Match[str]") -> None:
        """Records the hostname that a learning group of the prompt captured."""
        sm = self.state_machine
        if not sm.learn_hostname:
            return
        groups = found.groupdict()
        for key in sorted(groups):
            value = groups[key]
            if key.startswith("hostname") and value:
                if value != sm.hostname:
                    log.info("learned hostname %r from the prompt %r", value, found.group(0))
                    sm.hostname = value
                return

    def _recognise(self) -> Any:
        """Finds out which state the device is in, getting a fresh prompt if needed.

        When something was sent since the last match, its answer is awaited;
        otherwise a prompt the device prints unasked gets a short wait before
        a line is sent to ask for one.
        """
        spawn = self.spawn
        reply_due = bool(getattr(spawn, "sent_since_match", True))
        sent_newline = False
        try:
            try:
                if reply_due:
                    seen = self._wait_for_prompt(self._remaining())
                else:
                    try:
                        seen = self._wait_for_prompt(min(self.fresh_prompt_wait,
                                                         self._remaining()))
                    except DialogTimeoutError:
                        spawn.sendline()
                        reply_due = sent_newline = True
                        seen = self._wait_for_prompt(self._remaining())
                state = seen.state
            except DialogTimeoutError as err:
                state = self._recover(None, err, skip_newline=sent_newline)
        except (SessionClosedError, DialogError) as err:
            raise self._failure(None, err) from err
        if reply_due:
            state = self._settle(state)
        self.current_state = state
        log.info("device is in state %s", state.name)
        return state

    def _settle(self, state: Any) -> Any:
        """Consumes prompts that follow right away (answers to extra line ends)."""
        while True:
            try:
                state = self._wait_for_prompt(self.settle_time).state
            except DialogTimeoutError:
                return state

    def _recover(self, path: Any, err: DialogTimeoutError, skip_newline: bool = False) -> Any:
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

    # -- hops -------------------------------------------------------------------------------

    def _send_command(self, path: Any) -> None:
        command = path.command
        if isinstance(command, str):
            self.spawn.sendline(command)
        elif callable(command):
            call_action(command, self.spawn, self.context)

    def _hop(self, path: Any) -> Any:
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

    def _reached_name(self) -> Optional[str]:
        return None if self.current_state is GENERIC else _state_name(self.current_state)

    def _expected(self, path: Any) -> List[str]:
        patterns = [s.pattern_text for s in self._extra_statements(path)]
        if path is not None:
            patterns.insert(0, path.to_state.pattern)
        else:
            patterns.extend(state.pattern for state in self.state_machine.states)
        return patterns

    @staticmethod
    def _activity(path: Any) -> str:
        return "travelling %s" % path if path is not None else "recognising the device's state"

    def _timeout(self, path: Any, err: DialogTimeoutError,
                 recovered: bool = False) -> TransitionTimeoutError:
        reason = "no prompt within %.1f s while %s" % (self._total, self._activity(path))
        if recovered:
            reason += ", and prompt recovery got none either"
        if any("%N" in state.pattern for state in self.state_machine.states):
            reason += " (the prompt patterns still hold %N: give the machine a hostname " \
                      "or set learn_hostname)"
        return TransitionTimeoutError(reason, self.route, path, self._expected(path), err.output,
                                      self._reached_name())

    def _failure(self, path: Any, err: TesselError) -> TransitionError:
        if isinstance(err, SessionClosedError):
            reason = "the device closed the session while %s" % self._activity(path)
        else:
            reason = "%s (while %s)" % (str(err).splitlines()[0], self._activity(path))
        return TransitionError(reason, self.route, path, self._expected(path),
                               getattr(err, "output", ""), self._reached_name())

    def _unexpected(self, path: Any, reached: Any) -> UnexpectedStateError:
        match = getattr(self.spawn, "match", None)
        output = getattr(match, "match_output", "") or ""
        mask = getattr(self.spawn, "mask", None)
        if mask is not None:
            output = mask(output)
        return UnexpectedStateError(
            "hop %s ended in state %s instead of %s" % (path, reached.name, path.to_state.name),
            self.route, path, [path.to_state.pattern], output, reached.name)

    def _travel_hop_by_hop(self, current: Any, arrived: Callable[[Any], bool],
                           plan: Callable[[Any], List[Any]], goal: str) -> None:
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

    def _nearest_route(self, start: Any, targets: Sequence[str]) -> List[Any]:
        sm = self.state_machine
        best: Optional[List[Any]] = None
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


def execute(state_machine: Any, spawn: Any, command: str, timeout: Optional[float] = None,
            context: Any = None, dialog: Optional[Iterable[Statement]] = None) -> str:
    """Runs one command at the device's prompt and returns its output.

    The dialogs are processed while the answer comes, the state whose prompt
    ends it becomes the machine's current state, and the output is returned
    without the echoed command and the final prompt.
    """
    engine = StateTransition(state_machine=state_machine, spawn=spawn, dialog=dialog,
                             timeout=timeout, context=context)
    engine._start_clock()
    spawn.drain()
    spawn.sendline(command)
    try:
        seen = engine._wait_for_prompt(engine._remaining())
    except DialogTimeoutError as err:
        raise TransitionTimeoutError(
            "no prompt within %.1f s after the command %r" % (engine._total, command),
            expected=[s.pattern for s in state_machine.states], output=err.output) from None
    except (SessionClosedError, DialogError) as err:
        raise engine._failure(None, err) from err
    state_machine.update_cur_state(seen.state)
    lines = seen.match.match_output.splitlines()
    if lines and lines[0].strip().endswith(command.strip()):
        lines = lines[1:]
    if lines:
        lines = lines[:-1]
    return "\n".join(lines)
