"""Configuration transactions on a connection: show, compare, apply, confirm, roll back, save.

What a platform has is read from its ``config`` declaration
(:class:`~tessel.platforms.base.ConfigSpec`); the trees, the diff and the lines
to send come from :mod:`tessel.config`. The :class:`~tessel.connection.Connection`
methods of the same names call the functions here under the connection's lock.

A transaction never leaves a change half made without saying so: on a
platform with commit a refused line discards the candidate (nothing is
committed); elsewhere the lines already accepted are taken back in reverse,
and the running configuration is read again to tell whether it is as before.
After the lines are in, the running configuration is read again: a candidate
line that the device does not show is an error, not a success.
"""
import time
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, List, Optional, Sequence, Tuple, TypeVar

from tessel.config import (Change, Node, combined, diff, full_changes, merge_changes, parse,
                           replace_changes, steps)
from tessel.core.errors import ApplyError, CommandError, ConfigError, PlatformError
from tessel.lines import check_line, split_lines
from tessel.platforms import base as declared
from tessel.platforms.base import ConfigCommand, ConfigSpec

if TYPE_CHECKING:
    from tessel.connection import CommandResult, Connection

T = TypeVar("T")

#: Undo lines and differing lines an error message shows (the error's attributes hold all).
_SHOWN = 6


@dataclass
class ApplyResult:
    """What :meth:`Connection.apply <tessel.connection.Connection.apply>` did.

    ``diff``: the unified diff of what the candidate changes ('' when
    nothing); ``results``: the result of every line sent, in order (none for a
    dry run or when nothing was to change); ``committed``: the change is in
    the running configuration (made so by the platform's commit where it has
    one); ``pending``: a commit waits for :meth:`confirm` and rolls back by
    itself when its timer runs out; ``device_diff``: the platform's own
    comparison of the candidate before the commit, where it has one.
    """

    diff: str
    results: List["CommandResult"] = field(default_factory=list)
    committed: bool = False
    pending: bool = False
    device_diff: Optional[str] = None

    @property
    def sent(self) -> List[str]:
        """The lines sent, in order."""
        return [result.command for result in self.results]

    @property
    def summary(self) -> str:
        """One line: the lines the diff adds and removes, and what was done."""
        if not self.diff:
            return "no change"
        added, removed = changed_counts(self.diff)
        counts = "+%d -%d line%s" % (added, removed, "" if added + removed == 1 else "s")
        if not self.committed:
            return "dry run: %s, nothing sent" % counts
        return "%s, %d sent%s" % (counts, len(self.results),
                                  ", waiting for its confirmation" if self.pending else "")

    def __repr__(self) -> str:
        # Counts only: a configuration may hold secrets.
        return "<ApplyResult: %d changed lines, %d lines sent, committed=%s, pending=%s>" % (
            sum(changed_counts(self.diff)), len(self.results), self.committed, self.pending)


def changed_counts(text: str) -> Tuple[int, int]:
    """How many lines a unified diff adds and removes."""
    lines = [line for line in text.splitlines()
             if line.startswith(("+", "-")) and not line.startswith(("+++", "---"))]
    added = sum(1 for line in lines if line.startswith("+"))
    return added, len(lines) - added


@dataclass
class Applied:
    """What the last apply on a connection changed: the configuration before it (for
    :func:`rollback`) and the candidate (to check a confirmed commit still holds it)."""

    before: str
    candidate: Node
    replace: bool
    pending: bool = False
    deadline: Optional[float] = None
    #: A confirmation was sent, which may be a commit of its own: the platform's rollback
    #: to the previous commit would not reach the configuration before the apply.
    confirmed: bool = False


def config_spec(conn: "Connection") -> ConfigSpec:
    """The platform's configuration declaration; PlatformError when it has none."""
    spec = declared.config(conn.machine)
    if spec is None:
        raise PlatformError("platform %s declares no configuration (a config section in its "
                            "file, a config attribute on its class)" % _platform(conn))
    return spec


def _platform(conn: "Connection") -> str:
    definition = getattr(conn.machine, "definition", None)
    return str(getattr(definition, "name", "") or type(conn.machine).__name__)


def show_state(conn: "Connection", spec: ConfigSpec) -> str:
    """Where ``show`` and ``save`` run: the declared state, else the state after login."""
    if spec.state:
        return spec.state
    commands = declared.connect_commands(conn.machine)
    if commands:
        return commands[0].states[0]
    return str(conn.machine.states[0].name)


def check_candidate(candidate: Any) -> None:
    """Refuses a candidate that is not text, or holds a line no terminal can take, before
    anything is sent."""
    if not isinstance(candidate, str):
        raise TypeError("a candidate configuration is a str, not %s" % type(candidate).__name__)
    for number, line in enumerate(split_lines(candidate), 1):
        if line.strip():
            check_line(line, "candidate line %d" % number)


def commit_line(conn: "Connection", spec: ConfigSpec, confirm: Any,
                comment: Any) -> Optional[ConfigCommand]:
    """The commit to send (with its timer and comment), checked before anything is sent;
    None on a platform without commit."""
    timer = None
    if confirm is not None:
        if isinstance(confirm, bool) or not isinstance(confirm, int) or confirm <= 0:
            raise ValueError("confirm is a positive whole number of seconds, not %r" % (confirm,))
        timed = spec.command("commit_confirm")
        if timed is None:
            raise ValueError("platform %s has no commit with a confirm timer: a timer kept by "
                             "tessel would die with the session, so confirm= is refused (nothing "
                             "was sent)" % _platform(conn))
        if "{minutes}" in timed.command:
            if confirm % 60:
                raise ValueError("the confirm timer of platform %s counts whole minutes: "
                                 "confirm=%d is not a multiple of 60" % (_platform(conn), confirm))
            timer = ConfigCommand(timed.command.replace("{minutes}", str(confirm // 60)),
                                  timed.dialog)
        else:
            timer = ConfigCommand(timed.command.replace("{seconds}", str(confirm)), timed.dialog)
    words = ""
    if comment is not None:
        if not isinstance(comment, str):
            raise TypeError("comment is a str, not %s" % type(comment).__name__)
        if spec.comment is None:
            raise ValueError("platform %s takes no commit comment" % _platform(conn))
        check_line(comment, "the comment")
        if '"' in comment:
            raise ValueError("the comment holds a double quote, which would end it early")
        words = " " + spec.comment.replace("{comment}", comment)
    commit = timer or spec.command("commit")
    if commit is None:
        return None
    return ConfigCommand(commit.command + words, commit.dialog)


def _changes(running: Node, candidate: Node, spec: ConfigSpec, replace: bool) -> List[Change]:
    return (replace_changes if replace else merge_changes)(running, candidate, spec)


def _checked(todo: Sequence[Tuple[str, Optional[Change]]]) -> List[Tuple[str, Optional[Change]]]:
    """The lines to send, each checked before the first is sent (a line taken from the
    running configuration may hold what no terminal can take)."""
    for number, (line, _) in enumerate(todo, 1):
        check_line(line, "line %d of the transaction" % number)
    return list(todo)


def _first(err: BaseException) -> str:
    return str(err).split("\n")[0] or type(err).__name__


def _listed(lines: Sequence[str]) -> str:
    shown = ", ".join(repr(line) for line in lines[:_SHOWN])
    return shown + (" and %d more" % (len(lines) - _SHOWN) if len(lines) > _SHOWN else "")


def _diff_lines(text: str) -> str:
    changed = [line for line in text.splitlines()
               if line[:1] in "+-" and not line.startswith(("+++", "---"))]
    return _listed(changed)


class Transaction:
    """One configuration operation on a connection, whose lock the caller holds."""

    def __init__(self, conn: "Connection", spec: ConfigSpec, timeout: Optional[float]) -> None:
        self.conn = conn
        self.spec = spec
        self.timeout = timeout
        self.config_state = declared.config_state(conn.machine)
        self.where = conn.host or "the device"
        #: Results of the lines of the transaction (not those of reading or undoing).
        self.results: List["CommandResult"] = []
        #: The changes the device accepted, in order (what an undo takes back).
        self.accepted: List[Change] = []

    def mask(self, text: str) -> str:
        return self.conn.spawn.mask(text)

    def run(self, command: ConfigCommand) -> "CommandResult":
        return self.conn.execute(command.command, timeout=self.timeout,
                                 dialog=list(command.dialog) or None)

    def running(self) -> str:
        command = self.spec.command("show")
        assert command is not None
        result = self.conn.execute(command.command, state=show_state(self.conn, self.spec),
                                   timeout=self.timeout, dialog=list(command.dialog) or None)
        if result.failed:
            raise CommandError(self.mask("%r failed on %s: %s" % (
                command.command, self.where, result.failure)), result)
        # Lines, each ended by its line end, as in a file.
        return result.output + "\n" if result.output and not result.output.endswith("\n") \
            else result.output

    def running_tree(self) -> Node:
        return parse(self.running(), self.spec)

    # -- platforms without commit: every accepted line takes effect -----------------------

    def enter(self, changes: Sequence[Change], before: Node) -> None:
        """Sends ``changes``; a refused or failed line takes back the accepted ones and raises
        ApplyError."""
        todo = _checked(steps(changes, self.spec.exit))
        self.conn.go_to(self.config_state, timeout=self.timeout)
        for line, change in todo:
            try:
                result = self.conn.execute(line, timeout=self.timeout)
            except Exception as err:
                raise self.undone(line, _first(err), before, refused=False) from err
            self.results.append(result)
            if result.failed:
                raise self.undone(line, result.failure or "", before)
            if change is not None:
                self.accepted.append(change)

    def undo(self) -> Tuple[List[str], List[str]]:
        """Takes back the accepted changes, last first, each from the top of the configuration
        state (a change whose undo is refused is left, and the next one taken back); the lines
        sent, and what went wrong."""
        sent: List[str] = []
        problems: List[str] = []
        for change in reversed(self.accepted):
            try:
                self.conn.go_to(self.config_state, timeout=self.timeout)
                for line, _ in _checked(steps(change.undo, self.spec.exit)):
                    result = self.conn.execute(line, timeout=self.timeout)
                    if result.failed:
                        problems.append("%r was refused: %s" % (line, result.failure))
                        break
                    sent.append(line)
            except Exception as err:
                problems.append(_first(err))
                break
        return sent, problems

    def undone(self, line: str, failure: str, before: Node, refused: bool = True) -> ApplyError:
        """The error of a transaction stopped at ``line``, after the undo it has done."""
        verb = "refused by" if refused else "failed on"
        message = "configuration line %r %s %s: %s" % (line, verb, self.where, failure)
        sent, problems = self.undo() if self.accepted else ([], [])
        if problems:
            message += "; taking back the %d change(s) accepted before it went wrong (%s): %s" \
                % (len(self.accepted), "sent: " + _listed(sent) if sent else "nothing sent",
                   "; ".join(problems))
        elif self.accepted:
            message += "; the %d change(s) accepted before it were taken back (%s)" % (
                len(self.accepted), _listed(sent) or "no line")
        restored: Optional[bool] = None
        remaining: Optional[str] = None
        try:
            now = self.running_tree()
        except Exception as err:
            message += "; the running configuration could not be read again (%s): it is " \
                "unknown" % _first(err)
        else:
            remaining = diff(now, combined(now, before, True), "now", "before")
            restored = remaining == ""
            message += "; the running configuration is as before" if restored else \
                "; the running configuration differs from before: %s" % _diff_lines(remaining)
        return ApplyError(self.mask(message), line, self.mask(failure), self.results,
                          refused=refused and bool(self.results), undone=sent,
                          restored=restored, remaining=remaining)

    # -- platforms with commit: a candidate, committed or discarded ------------------------

    def pending_changes(self) -> Optional[str]:
        """The platform's comparison of the candidate, when it shows anything (None)."""
        command = self.spec.command("diff")
        if command is None:
            return None
        result = self.run(command)
        if result.failed:
            raise CommandError(self.mask("%r failed on %s: %s" % (
                command.command, self.where, result.failure)), result)
        shown = parse(result.output, self.spec)
        return result.output if shown.children else None

    def load(self, todo: Sequence[Tuple[str, Optional[Change]]],
             first: Optional[ConfigCommand] = None) -> None:
        """Enters lines in the candidate; a refused or failed one discards it and raises."""
        commands = ([first] if first is not None else []) + [
            ConfigCommand(line) for line, _ in _checked(todo)]
        for command in commands:
            try:
                result = self.run(command)
            except Exception as err:
                raise self.discarded(command.command, _first(err), refused=False) from err
            self.results.append(result)
            if result.failed:
                raise self.discarded(command.command, result.failure or "")

    def discarded(self, line: str, failure: str, refused: bool = True) -> ApplyError:
        """The error of a transaction stopped before its commit, after discarding the
        candidate."""
        verb = "refused by" if refused else "failed on"
        message = "configuration line %r %s %s: %s; nothing was committed" % (
            line, verb, self.where, failure)
        abort = self.spec.command("abort")
        assert abort is not None
        undone: List[str] = []
        try:
            self.conn.go_to(self.config_state, timeout=self.timeout)
            result = self.run(abort)
            problem = None if not result.failed else "%r was refused: %s" % (
                abort.command, result.failure)
        except Exception as err:
            problem = "%r failed: %s" % (abort.command, _first(err))
        if problem is None:
            undone.append(abort.command)
            message += ", and %r discarded the candidate" % abort.command
        else:
            message += ", but discarding the candidate failed (%s): it holds part of the " \
                "change, uncommitted" % problem
        return ApplyError(self.mask(message), line, self.mask(failure), self.results,
                          refused=refused and bool(self.results), undone=undone, restored=True,
                          remaining="")

    def commit(self, command: ConfigCommand) -> None:
        try:
            result = self.run(command)
        except Exception as err:
            raise ApplyError(self.mask(
                "the commit %r failed on %s: %s; whether it was made is unknown: read "
                "running_config()" % (command.command, self.where, _first(err))),
                command.command, self.mask(_first(err)), self.results, refused=False) from err
        self.results.append(result)
        if result.failed:
            raise self.discarded(command.command, result.failure or "")


def _on_box_replace(spec: ConfigSpec) -> bool:
    return spec.commit is not None and spec.replace is not None


def apply(conn: "Connection", candidate: str, replace: bool, commit: Optional[ConfigCommand],
          confirm: Optional[int], dry_run: bool, timeout: Optional[float],
          remember: bool = True) -> ApplyResult:
    """The body of :meth:`Connection.apply`; the caller has checked the candidate and made the
    commit line (:func:`commit_line`), holds the lock and returns to the state it started
    from."""
    spec = config_spec(conn)
    tx = Transaction(conn, spec, timeout)
    before_text = tx.running()
    running = parse(before_text, spec)
    wanted = parse(candidate, spec)
    shown = diff(running, combined(running, wanted, replace))
    changes = _changes(running, wanted, spec, replace)
    if dry_run or not changes:
        return ApplyResult(shown)
    record = Applied(before_text, wanted, replace)
    if commit is None:
        tx.enter(changes, running)
        # A line may take others with it (removing a neighbour removes its settings):
        # what is still missing is entered once more.
        left = _changes(tx.running_tree(), wanted, spec, replace)
        if left:
            tx.enter(left, running)
        result = ApplyResult(shown, tx.results, committed=True)
    else:
        conn.go_to(tx.config_state, timeout=timeout)
        pending = tx.pending_changes()
        if pending is not None:
            raise ApplyError(tx.mask(
                "the candidate configuration of %s holds changes that are not committed: "
                "nothing was sent; commit or discard them first (%s)"
                % (tx.where, _listed(pending.strip().splitlines()))),
                failure="uncommitted changes", refused=False, restored=True, remaining="")
        if replace and _on_box_replace(spec):
            tx.load(steps(full_changes(wanted, spec), spec.exit), spec.command("replace"))
        else:
            tx.load(steps(changes, spec.exit))
        device_diff = tx.pending_changes() or ""
        tx.commit(commit)
        record.pending = confirm is not None
        record.deadline = time.monotonic() + confirm if confirm is not None else None
        result = ApplyResult(shown, tx.results, committed=True, pending=record.pending,
                             device_diff=device_diff if spec.diff is not None else None)
    if remember:
        conn._applied = record
    _check_holds(tx, wanted, replace, "every line was accepted")
    return result


def _check_holds(tx: Transaction, wanted: Node, replace: bool, done: str,
                 target: str = "the candidate") -> None:
    """Raises ApplyError when the running configuration does not hold ``wanted`` (``done``:
    what was done, ``target``: what ``wanted`` is, for the message)."""
    now = tx.running_tree()
    if not _changes(now, wanted, tx.spec, replace):
        return
    remaining = diff(now, combined(now, wanted, replace), "now", "wanted")
    raise ApplyError(tx.mask(
        "%s on %s, but the running configuration read afterwards differs from %s (nothing was "
        "taken back): %s" % (done, tx.where, target, _diff_lines(remaining))),
        results=tx.results, refused=False, restored=False, remaining=remaining, committed=True)


def confirm(conn: "Connection", timeout: Optional[float]) -> "CommandResult":
    """The body of :meth:`Connection.confirm`."""
    spec = config_spec(conn)
    record = conn._applied
    command = spec.command("confirm")
    if record is None or not record.pending or command is None:
        raise ConfigError("nothing to confirm on %s: no commit of this connection waits for a "
                          "confirmation" % (conn.host or "the device"))
    tx = Transaction(conn, spec, timeout)
    conn.go_to(tx.config_state, timeout=timeout)
    result = tx.run(command)
    tx.results.append(result)
    if result.failed:
        raise ApplyError(tx.mask("the confirmation %r was refused by %s: %s" % (
            command.command, tx.where, result.failure)), command.command,
            tx.mask(result.failure or ""), tx.results, committed=True)
    record.pending = False
    record.confirmed = True
    late = record.deadline is not None and time.monotonic() > record.deadline
    try:
        _check_holds(tx, record.candidate, record.replace, "the commit was confirmed")
    except ApplyError as err:
        err.args = (err.args[0] + ("; the confirm timer had run out, and the commit was rolled "
                                   "back" if late else ""),)
        raise
    return result


def rollback(conn: "Connection", number: Optional[int], timeout: Optional[float]) -> ApplyResult:
    """The body of :meth:`Connection.rollback`."""
    spec = config_spec(conn)
    record = conn._applied
    if number is not None:
        if isinstance(number, bool) or not isinstance(number, int) or number < 0:
            raise ValueError("number is a commit's number (0 or more), not %r" % (number,))
        if spec.command("rollback_to") is None:
            raise ValueError("platform %s has no rollback to a numbered commit"
                             % _platform(conn))
    elif record is None:
        raise ConfigError("nothing to roll back on %s: no apply of this connection changed "
                          "the configuration" % (conn.host or "the device"))
    if number is None and record is not None and (
            spec.commit is None or spec.rollback is None or record.confirmed):
        result = apply(conn, record.before, True, spec.command("commit"), None, False, timeout,
                       remember=False)
        conn._applied = None
        return result
    tx = Transaction(conn, spec, timeout)
    before = tx.running_tree()
    if number is not None:
        template = spec.command("rollback_to")
        assert template is not None
        load = ConfigCommand(template.command.replace("{number}", str(number)), template.dialog)
    else:
        found = spec.command("rollback")
        assert found is not None
        load = found
    conn.go_to(tx.config_state, timeout=timeout)
    tx.load([], load)
    commit = spec.command("commit")
    assert commit is not None
    tx.commit(commit)
    now = tx.running_tree()
    result = ApplyResult(diff(before, now, "running", "rolled back"), tx.results,
                         committed=True)
    if number is None:
        assert record is not None
        _check_holds(tx, parse(record.before, spec), True, "the rollback was committed",
                     "the configuration before the last apply")
    conn._applied = None
    return result


def save(conn: "Connection", timeout: Optional[float]) -> "CommandResult":
    """The body of :meth:`Connection.save`."""
    spec = config_spec(conn)
    command = spec.command("save")
    if command is None:
        raise ValueError("platform %s declares no save" % _platform(conn))
    return conn.execute(command.command, state=show_state(conn, spec), timeout=timeout,
                        dialog=list(command.dialog) or None, check=True)


def config_diff(conn: "Connection", candidate: str, replace: bool,
                timeout: Optional[float]) -> str:
    spec = config_spec(conn)
    running = Transaction(conn, spec, timeout).running_tree()
    return diff(running, combined(running, parse(candidate, spec), replace))


def returning(conn: "Connection", timeout: Optional[float], work: Callable[[], T]) -> T:
    """Runs ``work`` and goes back to the state it started from, also after a failure (an
    error on the way back is noted on the first, not raised in its place). A configuration
    sub-mode, which no path leads into, is not gone back to."""
    start = conn.state
    if start in declared.config_substates(conn.machine):
        start = declared.config_state(conn.machine)
    try:
        done = work()
    except Exception as err:
        back = conn._return_to(start, timeout)
        if back is not None:
            note = conn.spawn.mask("the way back to %s failed too: %s" % (start, _first(back)))
            if isinstance(err, ConfigError):
                err.return_error = back
            err.add_note(note)
        raise
    back = conn._return_to(start, timeout)
    if back is not None:
        back.add_note("the configuration operation had completed")
        raise back
    return done
