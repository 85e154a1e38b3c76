"""Dialogs: the prompts a device may show and what to answer to each.

A :class:`Statement` pairs a pattern with an action; a :class:`Dialog` is an
ordered list of statements. :meth:`Dialog.process` waits for whichever
statement's pattern the device shows first, runs its action, and keeps going
while the statement says ``loop_continue``; it ends on a statement that does
not continue.

An action is one of:

* None: nothing is sent (the statement only recognises the output);
* a ``str``: sent as a line, after ``{name}`` fields are filled from the
  context (``'{enable_password}'`` sends the context's ``enable_password``);
* a callable: called with the spawn handle as its first argument, plus
  ``context=`` when it has a parameter of that name (or ``**kwargs``), plus
  the statement's ``args`` as keyword arguments.

A question answered over and over is no dialog that ends: one processing
answers the same statement at most :data:`MAX_ANSWERS` times (a dialog's
``max_answers``), then fails with a ``DialogError`` naming it.
"""
import inspect
import logging
import string
import time
from typing import (
    TYPE_CHECKING,
    Any,
    Callable,
    Dict,
    Iterable,
    Iterator,
    List,
    Mapping,
    Optional,
    Protocol,
    Sequence,
    Union,
    overload,
)

from tessel.core.errors import DialogError, DialogTimeoutError, ExpectTimeoutError
from tessel.eal.output import last_line
from tessel.utils import is_secret_key

if TYPE_CHECKING:
    from tessel.eal.spawn import Match

log = logging.getLogger(__name__)

Action = Union[None, str, Callable[..., Any]]

#: How often one statement may be answered in one wait (one :meth:`Dialog.process`, one
#: hop or command of the engines) before the dialog fails.
MAX_ANSWERS = 10


class DialogSession(Protocol):
    """What a dialog needs of the device handle (``Spawn`` or a test's fake)."""

    def expect(self, patterns: Sequence[Any], timeout: Optional[float] = None) -> "Match": ...

    def sendline(self, text: str = "") -> int: ...


class Statement:
    """One prompt pattern and the action to take when the device shows it.

    ``loop_continue``: after the action, keep processing the dialog (True) or
    end it here (False). ``continue_timer``: when the dialog goes on after
    this statement, keep counting down the time already running (True) or
    start the wait afresh (False, for steps that may take long, such as a
    reload; the transition engines grant that fresh wait once per hop).
    """

    def __init__(self, pattern: Any, action: Action = None,
                 args: Optional[Mapping[str, Any]] = None, loop_continue: bool = False,
                 continue_timer: bool = True) -> None:
        if action is not None and not isinstance(action, str) and not callable(action):
            raise TypeError("a statement's action must be None, a str or a callable, not %s"
                            % type(action).__name__)
        self.pattern = pattern
        self.action = action
        self.args = dict(args) if args else None
        self.loop_continue = loop_continue
        self.continue_timer = continue_timer

    @property
    def pattern_text(self) -> str:
        return self.pattern if isinstance(self.pattern, str) else getattr(
            self.pattern, "pattern", str(self.pattern))

    def run_action(self, spawn: DialogSession,
                   context: Optional[Mapping[str, Any]] = None) -> Any:
        """Runs the action against ``spawn``; returns what a callable action returned."""
        action = self.action
        if action is None:
            return None
        if isinstance(action, str):
            line = fill_fields(action, context, spawn)
            spawn.sendline(line)
            return None
        return call_action(action, spawn, context, self.args)

    def __repr__(self) -> str:
        action = self.action if self.action is None or isinstance(self.action, str) else \
            getattr(self.action, "__name__", repr(self.action))
        return "Statement(pattern=%r, action=%r, loop_continue=%r)" % (
            self.pattern_text, action, self.loop_continue)


def fill_fields(template: str, context: Optional[Mapping[str, Any]], spawn: Any = None) -> str:
    """Fills the ``{name}`` fields of ``template`` from ``context``.

    Values of fields whose names look like secrets are registered with the
    spawn handle (when it can mask), so they never reach its session log.
    """
    fields = [name for _, name, _, _ in string.Formatter().parse(template) if name]
    if not fields:
        return template
    values = context if context is not None else {}
    missing = [name for name in fields if name not in values]
    if missing:
        raise DialogError("the action %r needs the context field%s %s, which the context lacks"
                          % (template, "s" if len(missing) > 1 else "",
                             ", ".join(repr(m) for m in missing)))
    add_secret = getattr(spawn, "add_secret", None)
    if add_secret is not None:
        for name in fields:
            if is_secret_key(name):
                add_secret(values[name])
    return template.format_map(values)


def call_action(func: Callable[..., Any], spawn: Any, context: Optional[Mapping[str, Any]] = None,
                args: Optional[Mapping[str, Any]] = None) -> Any:
    """Calls ``func(spawn, **args)``, adding ``context=`` when ``func`` takes it."""
    kwargs: Dict[str, Any] = dict(args or {})
    if context is not None and "context" not in kwargs and _accepts_keyword(func, "context"):
        kwargs["context"] = context
    return func(spawn, **kwargs)


def _accepts_keyword(func: Callable[..., Any], name: str) -> bool:
    try:
        parameters = inspect.signature(func).parameters.values()
    except (TypeError, ValueError):
        return False
    return any(p.name == name and p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)
               or p.kind is p.VAR_KEYWORD for p in parameters)


class DialogResult:
    """How a processed dialog ended.

    ``statement`` is the statement that ended it, ``match`` the spawn's match
    for it, ``history`` every statement that matched, in order (the last one
    included), ``shown`` the text the device showed for each of them and
    ``matches`` the spawn's match for each of them (together their
    ``match_output`` is everything the dialog consumed).
    """

    def __init__(self, statement: Statement, match: Any, history: List[Statement],
                 shown: List[str], matches: Optional[List[Any]] = None) -> None:
        self.statement = statement
        self.match = match
        self.history = history
        self.shown = shown
        self.matches = matches if matches is not None else [match]

    def __repr__(self) -> str:
        return "DialogResult(statement=%r, matched=%d)" % (self.statement, len(self.history))


def too_many_answers(statement: Statement, match: "Match", count: int) -> DialogError:
    """The error for a statement answered ``count`` times in one wait, naming the line."""
    shown = last_line(match.match_output).strip() or match.text.strip()
    return DialogError("the device asked %r %d times in one wait (statement %r): a question "
                       "that comes back after every answer is not answered further"
                       % (shown, count, statement.pattern_text))


class Dialog:
    """An ordered list of statements processed against the device's output.

    ``max_answers`` (default :data:`MAX_ANSWERS`; None for no bound): how often
    one statement may match in one :meth:`process`.
    """

    max_answers: Optional[int] = MAX_ANSWERS

    def __init__(self, statements: Optional[Iterable[Statement]] = None) -> None:
        self.statements: List[Statement] = []
        self.extend(statements or [])

    def append(self, statement: Statement) -> None:
        if not isinstance(statement, Statement):
            raise TypeError("a dialog holds Statement objects, not %s" % type(statement).__name__)
        self.statements.append(statement)

    def extend(self, statements: Iterable[Statement]) -> None:
        for statement in statements:
            self.append(statement)

    def __add__(self, other: Union["Dialog", Iterable[Statement]]) -> "Dialog":
        combined = Dialog(self.statements)
        combined.extend(other)
        return combined

    def __iter__(self) -> Iterator[Statement]:
        return iter(self.statements)

    def __len__(self) -> int:
        return len(self.statements)

    @overload
    def __getitem__(self, index: int) -> Statement: ...

    @overload
    def __getitem__(self, index: slice) -> "Dialog": ...

    def __getitem__(self, index: Union[int, slice]) -> Union[Statement, "Dialog"]:
        if isinstance(index, slice):
            return Dialog(self.statements[index])
        return self.statements[index]

    def __repr__(self) -> str:
        return "Dialog(%r)" % self.statements

    def process(self, spawn: Any, timeout: Optional[float] = None,
                context: Optional[Mapping[str, Any]] = None,
                idle: bool = False) -> Optional[DialogResult]:
        """Answers the device until a statement that does not continue matches.

        ``timeout`` (default: the spawn's) bounds the time from the start of
        the dialog to its end; a statement with ``continue_timer=False``
        starts it afresh. With ``idle=True`` it bounds silence instead: the
        wait starts afresh whenever the device prints something (for output
        that streams for long). Raises ``DialogTimeoutError`` (with what the
        device printed) when no statement matched in time, and ``DialogError``
        when one statement matched more than ``max_answers`` times. Returns
        None for an empty dialog, which waits for nothing.
        """
        if not self.statements:
            return None
        wait = timeout if timeout is not None else getattr(spawn, "timeout", 10)
        patterns = [s.pattern for s in self.statements]
        deadline = time.monotonic() + wait
        history: List[Statement] = []
        shown: List[str] = []
        matches: List[Any] = []
        counts: Dict[int, int] = {}
        while True:
            try:
                if idle:
                    match = spawn.expect(patterns, timeout=wait, idle=True)
                else:
                    match = spawn.expect(patterns,
                                         timeout=max(deadline - time.monotonic(), 0.0))
            except ExpectTimeoutError as err:
                raise DialogTimeoutError(patterns, wait, err.output,
                                         [s.pattern_text for s in history], shown) from None
            statement = self.statements[match.index]
            counts[match.index] = counts.get(match.index, 0) + 1
            if self.max_answers is not None and counts[match.index] > self.max_answers:
                raise too_many_answers(statement, match, counts[match.index])
            history.append(statement)
            shown.append(match.text)
            matches.append(match)
            log.debug("dialog matched %r", statement.pattern_text)
            statement.run_action(spawn, context)
            if not statement.loop_continue:
                return DialogResult(statement, match, history, shown, matches)
            if not statement.continue_timer:
                deadline = time.monotonic() + wait
