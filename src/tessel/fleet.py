"""Running the same work on many devices: threads or one event loop on one machine, or Dask.

:func:`run` opens a session to every host of an inventory with
``tessel.connect``, calls ``task(conn, host)`` and collects one
:class:`HostResult` per host. Every host is isolated: whatever goes wrong
on one (a refused login, a timeout, a device that dies mid-command) is that
host's failed result, and the other hosts carry on.

Without a client, the sessions run on a pool of threads (``workers`` at
once), or on one asyncio event loop in the calling thread: each host's
connect, task and close (:func:`run_host`, as on a thread) run in a
greenlet that awaits the loop wherever it waits for the device, so
thousands of sessions need neither a thread each nor a second copy of the
task. With a ``dask.distributed.Client``, each host is one Dask task; a
Dask worker holds at most ``workers`` sessions at once, whatever its
number of threads (a session waits on its device, not on a CPU, so a task
leaves the worker's thread pool while its session runs).

A run is interrupted by ``KeyboardInterrupt`` in the calling thread (Ctrl-C):
from then on nothing more is sent to any device. Hosts not started are not
started; a host logging in is closed once its login ends, before its first
command; a running host finishes the command or line it is in and stops
before the next one. :func:`run` then raises :class:`RunInterrupted`, whose
``results`` report every host. A second interrupt while running hosts finish
their current command stops waiting for them (on the event loop, it closes
their sessions in the middle of that command).
"""
import asyncio
import collections
import dataclasses
import functools
import inspect
import json
import os
import signal
import sys
import threading
import time
import uuid
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import (IO, AbstractSet, Any, Callable, Deque, Dict, FrozenSet, Iterable, Iterator,
                    List, Mapping, Optional, Protocol, Sequence, Set, TextIO, Union)

from tessel.core.errors import ConfigError, TesselError, TransitionError
from tessel.lines import check_line, split_lines
from tessel.inventory import (CONNECTION_NAME, ConnectionOptions, Host, Inventory, InventoryError,
                              load, with_extras)

#: A task: called with the open connection and the host; its return value is the host's result.
Task = Callable[[Any, Host], Any]
#: Opens a session: called as ``tessel.connect`` is.
Connect = Callable[..., Any]
#: Called in the caller's thread with each host's result as it arrives.
Progress = Callable[["HostResult"], None]

#: Sessions at once when nothing else is said (as many as Nornir's threaded runner).
DEFAULT_WORKERS = 20

#: What became of a host: its task ran to the end, failed, was stopped by an interrupt, or the
#: run was interrupted before the host's turn came.
OK, FAILED, INTERRUPTED, NOT_STARTED = "ok", "failed", "interrupted", "not started"


class TaskFailed(TesselError):
    """A task failed part of the way and has a partial result (``value``) worth keeping."""

    def __init__(self, message: str, value: Any = None) -> None:
        super().__init__(message)
        self.value = value


class Interrupted(TesselError):
    """The run was interrupted: this host's session sends nothing more."""


class RunInterrupted(KeyboardInterrupt):
    """:func:`run` was interrupted; ``results`` holds every host's :class:`HostResult`.

    ``abandoned`` counts the hosts that were still finishing their current
    command when a second interrupt stopped the wait for them (their threads
    end on their own, sending nothing more; on an event loop, their sessions
    were closed in the middle of the command).
    """

    def __init__(self, results: "Results", abandoned: int = 0) -> None:
        super().__init__("interrupted")
        self.results = results
        self.abandoned = abandoned


@dataclass
class HostResult:
    """What happened on one host.

    ``status`` is ``"ok"``, ``"failed"``, ``"interrupted"`` or ``"not started"``
    (``ok`` is true for the first only). ``value`` is what the task returned
    (or the partial result of a failed or interrupted task, such as the
    configuration lines sent so far); ``error`` the full message of the
    failure (secrets masked) and ``error_type`` its class; ``state`` the
    device's state at the end, or the last one the connection confirmed
    before a failure; ``failed_hop``, ``state_reached`` and ``last_line`` come
    from the error when it has them: the state change that failed, the state
    the error says was reached, and the last line the device printed (masked);
    ``elapsed`` seconds from the start of the connection to its close;
    ``worker`` the Dask worker that ran it (None for a thread run).
    """

    host: str
    ok: bool
    value: Any = None
    error: Optional[str] = None
    error_type: Optional[str] = None
    state: Optional[str] = None
    elapsed: float = 0.0
    worker: Optional[str] = None
    status: str = ""
    failed_hop: Optional[str] = None
    state_reached: Optional[str] = None
    last_line: Optional[str] = None

    def __post_init__(self) -> None:
        if not self.status:
            self.status = OK if self.ok else FAILED

    @property
    def failed(self) -> bool:
        return not self.ok

    @property
    def error_line(self) -> str:
        """The first line of the error ('' when there is none)."""
        return (self.error or "").strip().split("\n")[0]

    @property
    def detail(self) -> str:
        """The failed hop, the state reached and the device's last line, as far as known."""
        parts = []
        if self.failed_hop:
            parts.append("hop %s" % self.failed_hop)
        if self.state_reached:
            parts.append("reached %s" % self.state_reached)
        if self.last_line:
            parts.append("device: %r" % self.last_line)
        return "; ".join(parts)

    def to_dict(self) -> Dict[str, Any]:
        """A JSON-friendly record (dataclass values such as CommandResult become mappings)."""
        return {"host": self.host, "status": self.status, "ok": self.ok, "state": self.state,
                "elapsed": round(self.elapsed, 6), "error": self.error,
                "error_type": self.error_type, "failed_hop": self.failed_hop,
                "state_reached": self.state_reached, "last_line": self.last_line,
                "worker": self.worker, "result": _jsonable(self.value)}


class Results(Dict[str, HostResult]):
    """Per-host results by host name, in the inventory's order."""

    @property
    def failed(self) -> List[HostResult]:
        """Every host that is not ok: failed, interrupted or not started."""
        return [r for r in self.values() if not r.ok]

    @property
    def ok(self) -> List[HostResult]:
        return [r for r in self.values() if r.ok]

    def count(self, status: str) -> int:
        """How many hosts have ``status``."""
        return sum(1 for r in self.values() if r.status == status)


# -- lines ---------------------------------------------------------------------------------------

def read_config_lines(text: str) -> List[str]:
    """Configuration lines from a file's text: blank lines and ``!``/``#`` comments skipped.

    Lines end at ``\\n``, ``\\r\\n`` or ``\\r``; a line holding another
    control character is a ValueError that names its line number.
    """
    lines = []
    for number, line in enumerate(split_lines(text), 1):
        stripped = line.strip()
        if not stripped or stripped.startswith(("!", "#")):
            continue
        lines.append(check_line(line.rstrip(), "line %d" % number))
    return lines


# -- tasks of the command ------------------------------------------------------------------------

@dataclass(frozen=True)
class Commands:
    """Runs commands in turn (in ``state`` when given) and returns their ``CommandResult``s.

    A command that the platform's failure patterns mark as failed, or that
    fails to run, stops the host's work: the host fails with the results so far.
    """

    commands: Sequence[str]
    state: Optional[str] = None
    timeout: Optional[float] = None

    def __post_init__(self) -> None:
        for number, command in enumerate(self.commands, 1):
            check_line(command, "command %d" % number)

    def __call__(self, conn: Any, host: Host) -> List[Any]:
        results: List[Any] = []
        step = "going to %s" % self.state
        try:
            if self.state:
                conn.go_to(self.state)
            for command in self.commands:
                step = "command %r" % command
                result = conn.execute(command, timeout=self.timeout)
                results.append(result)
                if result.failed:
                    raise TaskFailed("%s failed: %s" % (step, result.failure), results)
        except TaskFailed:
            raise
        except Exception as err:
            raise TaskFailed("%s: %s" % (step, _message(err)), results) from err
        return results


@dataclass(frozen=True)
class Configure:
    """Sends configuration lines with ``Connection.configure``; stops at the first refused line.

    Whatever stops it, the host's value is the results of the lines sent so
    far: a refused line, a device that dies or falls silent on a line, an
    interrupt (checked before each line).
    """

    lines: Sequence[str]
    state: Optional[str] = None
    timeout: Optional[float] = None

    def __post_init__(self) -> None:
        for number, line in enumerate(self.lines, 1):
            check_line(line, "line %d" % number)

    def __call__(self, conn: Any, host: Host) -> List[Any]:
        with _LineRecorder(conn) as sent:
            try:
                return list(conn.configure(list(self.lines), state=self.state,
                                           timeout=self.timeout))
            except ConfigError as err:
                raise TaskFailed(str(err), list(err.results) or sent.results) from err
            except Exception as err:
                # The failure of a line, not that of the way back that followed it.
                line, cause = sent.failure if sent.failure is not None else (None, err)
                if isinstance(cause, Interrupted):
                    message = "%s (%d of %d lines sent)" % (cause, len(sent.results),
                                                            len(self.lines))
                elif line is not None:
                    message = "configuration line %r: %s" % (line, _message(cause))
                else:
                    message = "configuration: %s" % _message(err)
                raise TaskFailed(message, sent.results) from cause


@dataclass(frozen=True)
class Apply:
    """Applies a candidate configuration with ``Connection.apply``; the host's value is the
    ``ApplyResult`` (its ``diff``, the lines sent, ``committed``).

    ``replace``, ``dry_run`` and ``comment`` are those of ``apply``.
    ``confirm=SECONDS`` commits with the platform's confirm timer, then
    confirms in the same session once ``apply`` has read the running
    configuration back: a change that cuts the session off is rolled back by
    the device itself. A failed or refused change fails the host with its
    message (what was taken back, whether the configuration is as before);
    its value is the results of the lines sent.
    """

    candidate: str
    replace: bool = False
    confirm: Optional[int] = None
    dry_run: bool = False
    comment: Optional[str] = None
    timeout: Optional[float] = None

    def __post_init__(self) -> None:
        from tessel.transaction import check_candidate

        check_candidate(self.candidate)
        if self.confirm is not None and (isinstance(self.confirm, bool) or
                                         not isinstance(self.confirm, int) or self.confirm <= 0):
            raise ValueError("confirm is a positive whole number of seconds, not %r"
                             % (self.confirm,))

    def __call__(self, conn: Any, host: Any) -> Any:
        from tessel.core.errors import ApplyError

        try:
            done = conn.apply(self.candidate, replace=self.replace, confirm=self.confirm,
                              comment=self.comment, dry_run=self.dry_run, timeout=self.timeout)
        except ApplyError as err:
            raise TaskFailed(str(err), list(err.results)) from err
        except Exception as err:
            raise TaskFailed("applying the candidate: %s" % _message(err)) from err
        if done.pending:
            try:
                conn.confirm(timeout=self.timeout)
            except Exception as err:
                raise TaskFailed("the change was committed with a confirm timer of %d s, and "
                                 "confirming it failed: %s; the device rolls it back when the "
                                 "timer runs out" % (self.confirm or 0, _message(err)),
                                 done) from err
            done.pending = False
        return done


class _LineRecorder:
    """Keeps the results of the lines that ``conn.configure`` sends.

    It stands in for the connection's ``execute`` while the configuration
    runs (configure sends each line through it): so the lines sent so far
    are known whatever error ends the configuration.
    """

    def __init__(self, conn: Any) -> None:
        self.conn = conn
        self.results: List[Any] = []
        self.failure: Optional[Any] = None  # (line, error) of the line that failed to run
        self._own: Any = getattr(conn, "__dict__", {}).get("execute")
        self._installed = False

    def __enter__(self) -> "_LineRecorder":
        execute = self.conn.execute

        def recorded(command: str, *args: Any, **kwargs: Any) -> Any:
            try:
                result = execute(command, *args, **kwargs)
            except Exception as err:
                if self.failure is None:
                    self.failure = (command, err)
                raise
            self.results.append(result)
            return result

        try:
            self.conn.execute = recorded
            self._installed = True
        except AttributeError:  # a connection that takes no attribute: its errors say the rest
            pass
        return self

    def __exit__(self, *exc: Any) -> None:
        if not self._installed:
            return
        if self._own is not None:
            self.conn.execute = self._own
        else:
            del self.conn.execute


# -- one host ------------------------------------------------------------------------------------

def connect_arguments(host: Host, timeout: Optional[float] = None,
                      connect: Optional[Connect] = None) -> Dict[str, Any]:
    """The arguments of ``tessel.connect`` for ``host`` (the platform under ``platform``).

    They come from the host's ``tessel`` connection options, each unset field
    from the host (as Nornir resolves them); the options' ``extras`` are
    further keyword arguments of ``tessel.connect``. ``timeout`` applies
    where the extras set none. ``connect`` is the function the arguments are
    for (``tessel.connect`` by default): extras it does not take are refused.
    """
    params = host.connection_parameters(CONNECTION_NAME)
    return connection_arguments(host.name, params.hostname or host.name, params.username,
                                params.password, params.port, params.platform, params.extras,
                                timeout, allowed=allowed_extras(connect))


def allowed_extras(connect: Optional[Connect] = None) -> Optional[AbstractSet[str]]:
    """The keyword arguments of ``connect`` (``tessel.connect`` by default) that extras may set.

    None when ``connect`` takes any keyword.
    """
    if connect is None:
        from tessel.connection import connect as tessel_connect
        connect = tessel_connect
    try:
        return _keywords(connect)  # once per function: a signature takes a while to read
    except TypeError:  # not hashable
        return _keywords.__wrapped__(connect)


@functools.lru_cache(maxsize=64)
def _keywords(connect: Connect) -> Optional[FrozenSet[str]]:
    try:
        parameters = inspect.signature(connect).parameters.values()
    except (TypeError, ValueError):
        return None
    if any(p.kind is p.VAR_KEYWORD for p in parameters):
        return None
    return frozenset(p.name for p in parameters
                     if p.kind in (p.KEYWORD_ONLY, p.POSITIONAL_OR_KEYWORD))


def connection_arguments(name: str, hostname: Optional[str], username: Optional[str],
                         password: Optional[str], port: Optional[int], platform: Optional[str],
                         extras: Optional[Mapping[str, Any]], timeout: Optional[float] = None,
                         allowed: Optional[AbstractSet[str]] = None) -> Dict[str, Any]:
    """``tessel.connect``'s arguments from a host's connection parameters (see above).

    ``allowed`` names the extras that may be given (None: any). Extras that
    name a connection parameter (``host``, ``port``, ``username``,
    ``password``, ``platform``) take the place of the parameter given.
    """
    params = with_extras(ConnectionOptions(hostname, port, username, password, platform,
                                           dict(extras or {})))
    hostname, port, username, password, platform, extras = (
        params.hostname, params.port, params.username, params.password, params.platform,
        params.extras)
    if not platform:
        raise InventoryError("host %s has no platform: set platform on the host, a group, the "
                             "defaults or its tessel connection options" % name)
    options = dict(extras or {})
    unknown = sorted(set(options) - allowed) if allowed is not None else []
    if unknown:
        raise InventoryError("host %s: unknown tessel connection option%s %s; known: %s"
                             % (name, "s" if len(unknown) > 1 else "", ", ".join(unknown),
                                ", ".join(sorted(allowed or ()))))
    arguments: Dict[str, Any] = {"platform": platform, "host": hostname}
    for key, value in (("username", credential_text(username, name, "username")),
                       ("password", credential_text(password, name, "password")),
                       ("port", port)):
        if value is not None:
            arguments[key] = value
    secrets = options.get("secrets")
    if secrets is not None:
        if not isinstance(secrets, Mapping):
            raise InventoryError("host %s: secrets must be a mapping of names to texts, not %s"
                                 % (name, type(secrets).__name__))
        options["secrets"] = {key: credential_text(value, name, "secret %s" % key)
                              for key, value in secrets.items()}
    if isinstance(options.get("log"), str):
        options["log"] = options["log"].replace("{name}", name)
    if timeout is not None:
        options.setdefault("timeout", timeout)
    arguments.update(options)
    return arguments


def credential_text(value: Any, name: str, what: str) -> Optional[str]:
    """A username, password or secret as the text to send: a whole number is taken as its
    digits; anything but text and whole numbers is an InventoryError for host ``name``
    (that names the kind of value, never the value)."""
    if value is None or isinstance(value, str):
        return value
    if isinstance(value, int) and not isinstance(value, bool):
        return str(value)
    raise InventoryError("host %s: the %s must be text, not %s" % (
        name, what, _KINDS.get(type(value), "a " + type(value).__name__)))


_KINDS = {bool: "true/false", float: "a number with a fraction (quote it to keep it as written)",
          list: "a list", dict: "a mapping"}


def _secrets_of(host: Host) -> List[str]:
    """The host's secrets as texts, for masking; never fails."""
    try:
        return [str(value) for value in host.secret_values()
                if isinstance(value, (str, int)) and not isinstance(value, bool)]
    except Exception:
        return []


class Flag(Protocol):
    """What tells a host's session that the run was interrupted."""

    def is_set(self) -> bool: ...


class _Guard:
    """Stops a session once the run is interrupted: it lets the command in progress end, and
    refuses any further command, state change or write.

    It stands in for the connection's ``execute`` and ``go_to`` (the
    connection's ``configure`` sends each line through them) and for its
    handle's ``send``. A write within a command in progress (a pager's
    answer, a dialog's) still goes out, so no command is cut in half; any
    other write after the interrupt is refused, whatever sends it.
    """

    def __init__(self, conn: Any, flag: Flag) -> None:
        self.flag = flag
        self.busy = 0  # commands in progress
        self._wrap(conn, "execute", self._execute)
        self._wrap(conn, "go_to", self._go_to)
        self._wrap(getattr(conn, "spawn", None), "send", self._send)

    @staticmethod
    def _wrap(owner: Any, name: str, make: Callable[[Callable[..., Any]], Callable[..., Any]]
              ) -> None:
        original = getattr(owner, name, None)
        if owner is None or not callable(original):
            return
        try:
            setattr(owner, name, make(original))
        except AttributeError:  # an object that takes no attribute: the other guards remain
            pass

    def _stop(self, what: str) -> None:
        if self.flag.is_set():
            raise Interrupted("interrupted before %s: nothing more is sent" % what)

    def _execute(self, execute: Callable[..., Any]) -> Callable[..., Any]:
        def guarded(command: str, *args: Any, **kwargs: Any) -> Any:
            self._stop(repr(command))
            self.busy += 1
            try:
                return execute(command, *args, **kwargs)
            finally:
                self.busy -= 1
        return guarded

    def _go_to(self, go_to: Callable[..., Any]) -> Callable[..., Any]:
        def guarded(state: Any, *args: Any, **kwargs: Any) -> Any:
            self._stop("going to %s" % (state,))
            return go_to(state, *args, **kwargs)
        return guarded

    def _send(self, send: Callable[..., Any]) -> Callable[..., Any]:
        def guarded(text: str) -> Any:
            if not self.busy:
                self._stop("the next write")
            return send(text)
        return guarded


def run_host(host: Host, task: Task, *, timeout: Optional[float] = None,
             connect: Optional[Connect] = None,
             opened: Optional[Callable[[Any, bool], None]] = None,
             interrupted: Optional[Flag] = None) -> HostResult:
    """Connects to ``host``, runs ``task`` and closes; never raises for the host's own failures.

    ``opened(conn, True)`` is called once the session is open and
    ``opened(conn, False)`` once it is closed. ``interrupted`` is the run's
    interrupt: set before the host starts, the host is not started; set
    during its login, the session is closed before the task; set while the
    task runs, the session sends nothing more (the host is interrupted).
    """
    started = time.monotonic()
    if interrupted is not None and interrupted.is_set():
        return _not_started(host)
    conn: Any = None
    try:
        if connect is None:
            from tessel.connection import connect as tessel_connect
            connect = tessel_connect
        arguments = connect_arguments(host, timeout, connect)
        platform = arguments.pop("platform")
        conn = connect(platform, **arguments)
        if opened is not None:
            opened(conn, True)
        if interrupted is not None:
            if interrupted.is_set():
                raise Interrupted("interrupted during the login, before the task: nothing is "
                                  "sent")
            _Guard(conn, interrupted)
        value = task(conn, host)
        state = _state_of(conn)
        _close(conn, opened)
        conn = None
        return HostResult(host.name, True, value=_masked(value, _secrets_of(host)),
                          state=state, elapsed=time.monotonic() - started)
    except Exception as err:
        value = err.value if isinstance(err, TaskFailed) else None
        cause = err.__cause__ if isinstance(err, TaskFailed) and err.__cause__ else err
        stopped = (interrupted is not None and _interrupt_in(err)
                   and interrupted.is_set())
        secrets = _secrets_of(host)
        result = HostResult(host.name, False, value=_masked(value, secrets),
                            error=_masked(_message(err), secrets),
                            error_type=type(cause).__name__,
                            state=_failed_state(cause, conn),
                            elapsed=time.monotonic() - started,
                            status=INTERRUPTED if stopped else FAILED)
        _add_details(result, cause, secrets)
        return result
    finally:
        if conn is not None:
            _close(conn, opened)


def _not_started(host: Host, why: str = "the run was interrupted before this host started"
                 ) -> HostResult:
    return HostResult(host.name, False, error="not started: %s" % why,
                      error_type=Interrupted.__name__, status=NOT_STARTED)


def _interrupt_in(err: BaseException) -> bool:
    """True when an :class:`Interrupted` is among the causes and contexts of ``err``."""
    seen: Set[int] = set()
    todo: List[Optional[BaseException]] = [err]
    while todo:
        item = todo.pop()
        if item is None or id(item) in seen:
            continue
        if isinstance(item, Interrupted):
            return True
        seen.add(id(item))
        todo.extend((item.__cause__, item.__context__))
    return False


def _chain(err: BaseException) -> Iterator[BaseException]:
    """``err`` and its causes, outermost first."""
    seen: Set[int] = set()
    item: Optional[BaseException] = err
    while item is not None and id(item) not in seen:
        seen.add(id(item))
        yield item
        item = item.__cause__


def _add_details(result: HostResult, err: BaseException, secrets: Sequence[str]) -> None:
    """The failed hop, the state reached and the device's last line, from the first error of
    ``err``'s causes that has each."""
    for item in _chain(err):
        if isinstance(item, TransitionError):
            if result.failed_hop is None and item.failed_hop is not None:
                result.failed_hop = _masked(str(item.failed_hop), secrets)
            if result.state_reached is None and item.state_reached:
                result.state_reached = str(item.state_reached)
        output = getattr(item, "output", None)
        if result.last_line is None and isinstance(output, str):
            lines = [line.strip() for line in split_lines(output) if line.strip()]
            if lines:
                result.last_line = _masked(lines[-1][-LAST_LINE_CHARS:], secrets)


#: How much of the device's last line a result keeps.
LAST_LINE_CHARS = 200


def _message(err: BaseException) -> str:
    text = str(err).strip()
    return text or type(err).__name__


def _state_of(conn: Any) -> Optional[str]:
    try:
        state = conn.state
    except Exception:
        return None
    return str(state) if state and state not in _NO_STATE else None


#: What a connection's state reads when no state is confirmed.
_NO_STATE = frozenset({"generic", "unknown", "None"})


def _failed_state(err: BaseException, conn: Any) -> Optional[str]:
    """The last state confirmed: the open connection's own, else the one the error names."""
    if conn is not None:
        return _state_of(conn)
    for item in _chain(err):
        if isinstance(item, TransitionError):
            return item.state_reached or None
    return None


def _close(conn: Any, opened: Optional[Callable[[Any, bool], None]]) -> None:
    try:
        conn.close()
    except Exception:
        pass
    if opened is not None:
        opened(conn, False)


def _masked(value: Any, secrets: Sequence[str]) -> Any:
    """``value`` with every secret masked (as a session masks it: short secrets only as whole
    words), in strings and in dataclass fields."""
    if not any(secrets):
        return value
    from tessel.eal.spawn import SecretMasker

    masker = SecretMasker(secrets)

    def mask(item: Any) -> Any:
        if isinstance(item, str):
            return masker.mask(item)
        if isinstance(item, list):
            return [mask(v) for v in item]
        if isinstance(item, tuple):
            return tuple(mask(v) for v in item)
        if isinstance(item, dict):
            return {k: mask(v) for k, v in item.items()}
        if dataclasses.is_dataclass(item) and not isinstance(item, type):
            changes = {f.name: mask(getattr(item, f.name))
                       for f in dataclasses.fields(item) if f.init}
            try:
                return dataclasses.replace(item, **changes)
            except Exception:
                return item
        return item

    return mask(value)


def _jsonable(value: Any) -> Any:
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {k: _jsonable(v) for k, v in dataclasses.asdict(value).items()}
    if isinstance(value, dict):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, set)):
        return [_jsonable(v) for v in value]
    if value is None or isinstance(value, (str, int, float, bool)):
        return value
    return str(value)


# -- many hosts ----------------------------------------------------------------------------------

def run(inventory: Union[Inventory, Iterable[Host], str, "os.PathLike[str]"], task: Task,
        workers: int = DEFAULT_WORKERS, client: Any = None, *,
        timeout: Optional[float] = None, progress: Optional[Progress] = None,
        connect: Optional[Connect] = None,
        on_interrupt: Optional[Callable[[int], None]] = None,
        event_loop: Optional[bool] = None) -> Results:
    """Runs ``task(conn, host)`` on every host; returns each host's :class:`HostResult`.

    ``inventory`` is an :class:`~tessel.inventory.Inventory`, hosts, or the
    path of an inventory. ``workers`` bounds the sessions open at once: in
    all (threads or the event loop), or on each Dask worker when ``client``
    (a ``dask.distributed.Client``) is given. ``timeout`` is passed to
    ``tessel.connect`` for hosts whose inventory sets none. ``progress`` is
    called with each result as it arrives. ``connect`` replaces
    ``tessel.connect`` (it must be importable by the Dask workers).

    ``event_loop``: True runs every session on one asyncio event loop in the
    calling thread instead of a thread each (see :func:`on_event_loop`);
    None (the default) does so when every host's transport is ``asyncssh``
    and no loop runs in this thread already; False never.

    ``KeyboardInterrupt`` in the calling thread (Ctrl-C) interrupts the run:
    nothing more is sent to any device, ``on_interrupt`` is called with the
    number of hosts still finishing their current command, and once they
    have, :class:`RunInterrupted` is raised with every host's result
    (``progress`` has had them all too). A second interrupt stops the wait.
    """
    if isinstance(inventory, (str, os.PathLike)):
        inventory = load(inventory)
    hosts = list(inventory)
    if workers < 1:
        raise ValueError("workers must be at least 1, not %r" % workers)
    names = [h.name for h in hosts]
    if len(set(names)) != len(names):
        raise ValueError("host names must be unique")
    loop = on_event_loop(hosts, event_loop, client)
    raise_open_file_limit(min(workers, len(hosts)) if client is None else 0)
    collector = _Collector(hosts, progress)
    if loop:
        return _LoopRun(hosts, task, workers, timeout, connect, collector, on_interrupt).run()
    if client is None:
        return _run_threads(hosts, task, workers, timeout, connect, collector, on_interrupt)
    return _run_dask(hosts, task, workers, client, timeout, connect, collector, on_interrupt)


def _abandoned(host: Host, why: str = "the run stopped waiting for this host to finish its "
               "current command (it sends nothing more)") -> HostResult:
    return HostResult(host.name, False, error="interrupted: %s; what it did is unknown" % why,
                      error_type=Interrupted.__name__, status=INTERRUPTED)


def _missing(running: Set[str]) -> Callable[[Host], HostResult]:
    """The result of a host that has none when the run stops waiting: abandoned while
    ``running``, else not started."""
    return lambda host: _abandoned(host) if host.name in running else _not_started(host)


class _Collector:
    """The hosts' results as they arrive, each handed to ``progress`` once, in order of arrival."""

    def __init__(self, hosts: Sequence[Host], progress: Optional[Progress]) -> None:
        self.hosts = hosts
        self.progress = progress
        self.results: Dict[str, HostResult] = {}
        self._unreported: Deque[HostResult] = collections.deque()

    def add(self, result: HostResult) -> None:
        if result.host not in self.results:
            self.results[result.host] = result
            self._unreported.append(result)
        self.report()

    def report(self) -> None:
        # A result leaves the queue once its callback returned: an interrupt in the middle of
        # one leaves it to be reported again, not lost.
        while self._unreported:
            if self.progress is not None:
                self.progress(self._unreported[0])
            self._unreported.popleft()

    def finish(self, missing: Callable[[Host], HostResult]) -> Results:
        """Every host's result, ``missing(host)`` for those that have none."""
        for host in self.hosts:
            if host.name not in self.results:
                self.add(missing(host))
        self.report()
        return Results((h.name, self.results[h.name]) for h in self.hosts)


def _run_threads(hosts: Sequence[Host], task: Task, workers: int, timeout: Optional[float],
                 connect: Optional[Connect], collector: _Collector,
                 on_interrupt: Optional[Callable[[int], None]]) -> Results:
    interrupted = threading.Event()
    lock = threading.Lock()
    # A job hands in its result and leaves `active` in one step, under the lock: an interrupt
    # of the caller's thread, whenever it comes, can lose no result.
    active: Set[str] = set()
    arrived: List[HostResult] = []
    news = threading.Event()
    taken = [0]  # how many of `arrived` the collector has

    def job(host: Host) -> None:
        with lock:
            if interrupted.is_set():
                return  # not started
            active.add(host.name)
        try:
            result = run_host(host, task, timeout=timeout, connect=connect,
                              interrupted=interrupted)
        except BaseException as err:  # run_host keeps its own failures; this is the pool's
            result = HostResult(host.name, False, error=_masked(_message(err), _secrets_of(host)),
                                error_type=type(err).__name__)
        with lock:
            arrived.append(result)
            active.discard(host.name)
        news.set()

    def gather(more: Callable[[], bool]) -> None:
        while True:
            news.clear()
            with lock:
                going_on = more()
                count = len(arrived)
            while taken[0] < count:
                collector.add(arrived[taken[0]])  # adding twice is harmless
                taken[0] += 1
            if not going_on:
                return
            news.wait(0.5)  # bounded: the caller's thread stays responsive to Ctrl-C

    pool = ThreadPoolExecutor(max_workers=min(workers, max(len(hosts), 1)),
                              thread_name_prefix="tessel-host")
    abandoned: Set[str] = set()
    try:
        try:
            for host in hosts:
                pool.submit(job, host)
            gather(lambda: len(arrived) < len(hosts))
            return collector.finish(_not_started)
        except KeyboardInterrupt:
            try:
                with lock:
                    interrupted.set()  # from here on no job begins
                    running = len(active)
                if on_interrupt is not None:
                    on_interrupt(running)
                gather(lambda: bool(active))
            except KeyboardInterrupt:
                interrupted.set()
                with lock:
                    abandoned = set(active)
                    for result in arrived[taken[0]:]:
                        collector.add(result)
                raise RunInterrupted(collector.finish(_missing(abandoned)),
                                     len(abandoned)) from None
            raise RunInterrupted(collector.finish(_not_started)) from None
    except BaseException:
        interrupted.set()  # whatever ends the run, the sessions send nothing more
        raise
    finally:
        pool.shutdown(wait=not abandoned, cancel_futures=True)


# -- one event loop --------------------------------------------------------------------------------

def on_event_loop(hosts: Sequence[Host], event_loop: Optional[bool] = None,
                  client: Any = None) -> bool:
    """Whether :func:`run` puts the sessions of ``hosts`` on an event loop (see there).

    On the loop, each host's :func:`run_host` runs in a greenlet
    (:func:`~tessel.eal.bridge.greenlet_spawn`), so the same connect, task
    and close as on a thread wait on the loop wherever they wait for the
    device: ``task(conn, host)`` stays plain code, which must not block (no
    ``time.sleep``, no waiting on other threads). Every transport works
    there; ``asyncssh`` holds no process and no pty per session.
    """
    running = _loop_running()
    if client is not None:
        if event_loop:
            raise ValueError("event_loop=True runs the sessions in this process; with a Dask "
                             "client they run on its workers")
        return False
    if event_loop and running:
        raise RuntimeError("fleet.run cannot run its own event loop in a thread whose loop "
                           "runs already: call it from another thread, or with "
                           "event_loop=False")
    if event_loop is None:
        return bool(hosts) and not running and all(_transport(h) == "asyncssh" for h in hosts)
    return bool(event_loop)


def _loop_running() -> bool:
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return False
    return True


def _transport(host: Host) -> Any:
    try:
        return (host.connection_parameters().extras or {}).get("transport", "ssh")
    except Exception:  # a malformed host: its own run says what is wrong
        return None


#: What the loop's Ctrl-C handler hands to the run's coroutine.
_PRESSED = object()


class _LoopRun:
    """A run whose sessions are greenlets on one event loop in the calling thread.

    A coroutine starts a session per host while fewer than ``workers`` are
    open, and hands each result to the collector as it arrives. While the
    run lasts, Ctrl-C is a signal handler of the loop (where SIGINT would
    raise KeyboardInterrupt): the first sets the interrupt, which the
    sessions' guards obey as on threads, and the run waits for the hosts in
    a command; the second cancels those sessions, which close in the middle
    of the command. A KeyboardInterrupt raised anyway (by a handler of the
    caller's) counts as one more Ctrl-C.
    """

    def __init__(self, hosts: Sequence[Host], task: Task, workers: int,
                 timeout: Optional[float], connect: Optional[Connect], collector: _Collector,
                 on_interrupt: Optional[Callable[[int], None]]) -> None:
        self.hosts, self.task, self.workers = hosts, task, workers
        self.timeout, self.connect, self.collector = timeout, connect, collector
        self.on_interrupt = on_interrupt
        self.interrupted = threading.Event()
        self.presses = 0
        self.active: Dict[str, "asyncio.Task[None]"] = {}
        self.abandoned: Set[str] = set()
        self.events: "asyncio.Queue[Any]" = asyncio.Queue()

    def run(self) -> Results:
        with asyncio.Runner() as runner:
            loop = runner.get_loop()
            handled = _handle_ctrl_c(loop, self.pressed)
            try:
                main = loop.create_task(self.main())
                while not main.done():
                    try:
                        loop.run_until_complete(main)
                    except KeyboardInterrupt:
                        self.pressed()
                main.result()
            finally:
                if handled:
                    loop.remove_signal_handler(signal.SIGINT)
        if self.presses or not self.events.empty():  # (a Ctrl-C as the last host ended)
            raise RunInterrupted(self.collector.finish(_not_started), len(self.abandoned))
        return self.collector.finish(_not_started)

    def pressed(self) -> None:
        self.interrupted.set()  # at once: no session sends anything more from here on
        self.events.put_nowait(_PRESSED)

    async def main(self) -> None:
        waiting = collections.deque(self.hosts)
        try:
            while True:
                try:
                    while waiting and len(self.active) < self.workers and \
                            not self.interrupted.is_set():
                        host = waiting.popleft()
                        self.active[host.name] = asyncio.ensure_future(self.session(host))
                    if not self.active:
                        return
                    event = await self.events.get()
                    if event is _PRESSED:
                        self.interrupt()
                    else:
                        del self.active[event.host]
                        self.collector.add(event)
                except KeyboardInterrupt:
                    self.pressed()
        finally:
            # Whatever ends the run, the sessions send nothing more and end before the loop.
            self.interrupted.set()
            if self.active:
                await asyncio.wait(list(self.active.values()))

    def interrupt(self) -> None:
        self.presses += 1
        running = [name for name, session in self.active.items() if not session.done()]
        if self.presses == 1:
            if self.on_interrupt is not None:
                self.on_interrupt(len(running))
        elif self.presses == 2:
            for name in running:
                self.abandoned.add(name)
                self.active[name].cancel()

    async def session(self, host: Host) -> None:
        from tessel.eal.bridge import greenlet_spawn

        try:
            result = await greenlet_spawn(run_host, host, self.task, timeout=self.timeout,
                                          connect=self.connect, interrupted=self.interrupted)
        except asyncio.CancelledError:  # the second Ctrl-C
            result = _abandoned(host, "the run closed this host's session in the middle of "
                                "its current command")
        except KeyboardInterrupt:
            self.pressed()
            result = _abandoned(host, "Ctrl-C came in the middle of this host's command")
        except BaseException as err:  # run_host keeps its own failures; this is the loop's
            result = HostResult(host.name, False, error=_masked(_message(err), _secrets_of(host)),
                                error_type=type(err).__name__)
        self.events.put_nowait(result)


def _handle_ctrl_c(loop: asyncio.AbstractEventLoop, handler: Callable[[], None]) -> bool:
    """Makes SIGINT call ``handler`` on ``loop`` where it would raise KeyboardInterrupt (in the
    main thread, with Python's handler); True when it did."""
    if threading.current_thread() is not threading.main_thread() or \
            signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
        return False
    loop.add_signal_handler(signal.SIGINT, handler)
    return True


# -- Dask ------------------------------------------------------------------------------------------

_slots_lock = threading.Lock()
_slots: Dict[int, threading.BoundedSemaphore] = {}


def worker_slots(limit: int) -> threading.BoundedSemaphore:
    """The semaphore that bounds this process's sessions to ``limit`` (one per limit)."""
    with _slots_lock:
        slots = _slots.get(limit)
        if slots is None:
            slots = _slots[limit] = threading.BoundedSemaphore(limit)
        return slots


class DaskFlag:
    """A run's interrupt seen from a Dask worker: the named ``distributed.Event``.

    A context manager: while jobs of the run are in the worker process, one
    thread of the process waits on the Event at the scheduler, so a session
    learns of an interrupt without asking the scheduler before each line.
    When the scheduler cannot be asked, the flag is set (a session that
    cannot learn whether to stop sends nothing more).
    """

    _lock = threading.Lock()
    #: Per run: the flag of this process and how many of the run's jobs are in it.
    _watched: Dict[str, List[Any]] = {}

    def __init__(self, name: str) -> None:
        self.name = name
        self._flag = threading.Event()

    def is_set(self) -> bool:
        return self._flag.is_set()

    def __enter__(self) -> "DaskFlag":
        with DaskFlag._lock:
            entry = DaskFlag._watched.get(self.name)
            if entry is not None:
                entry[1] += 1
                self._flag = entry[0]
                return self
            DaskFlag._watched[self.name] = [self._flag, 1]
        try:
            from distributed import Event

            event = Event(self.name)  # type: ignore[no-untyped-call]
            if event.is_set():  # type: ignore[no-untyped-call]
                self._flag.set()
        except Exception:
            self._flag.set()
            return self
        threading.Thread(target=self._watch, args=(event,), daemon=True,
                         name="tessel-interrupt-watch").start()
        return self

    def _watch(self, event: Any) -> None:
        while not self._flag.is_set():
            with DaskFlag._lock:
                if self.name not in DaskFlag._watched:
                    return  # the run's last job in this process has ended
            try:
                if event.wait(timeout=1.0):
                    self._flag.set()
            except Exception:
                self._flag.set()

    def __exit__(self, *exc: Any) -> None:
        with DaskFlag._lock:
            entry = DaskFlag._watched.get(self.name)
            if entry is not None:
                entry[1] -= 1
                if entry[1] <= 0:
                    del DaskFlag._watched[self.name]


def run_on_worker(host: Host, task: Task, limit: int, timeout: Optional[float],
                  connect: Optional[Connect], stop: Optional[str] = None) -> HostResult:
    """One host's job on a Dask worker, at most ``limit`` of them with a session at once.

    The job waits for a free slot on one of the worker's threads, then
    secedes from the thread pool: its session spends its time waiting on the
    device, and the worker starts the next job meanwhile. So the worker's
    sessions are bounded by ``limit``, not by its thread count. ``stop``
    names the run's interrupt (a ``distributed.Event``).
    """
    if stop is None:
        return _run_on_worker(host, task, limit, timeout, connect, None)
    with DaskFlag(stop) as interrupted:
        if interrupted.is_set():
            return _not_started(host)
        return _run_on_worker(host, task, limit, timeout, connect, interrupted)


def _run_on_worker(host: Host, task: Task, limit: int, timeout: Optional[float],
                   connect: Optional[Connect], interrupted: Optional[Flag]) -> HostResult:
    from distributed import get_worker, secede

    raise_open_file_limit(limit)
    slots = worker_slots(limit)
    slots.acquire()
    try:
        secede()  # type: ignore[no-untyped-call]
        result = run_host(host, task, timeout=timeout, connect=connect, interrupted=interrupted)
        result.worker = get_worker().address
        return result
    finally:
        slots.release()


def _run_dask(hosts: Sequence[Host], task: Task, workers: int, client: Any,
              timeout: Optional[float], connect: Optional[Connect], collector: _Collector,
              on_interrupt: Optional[Callable[[int], None]]) -> Results:
    from distributed import Event

    token = uuid.uuid4().hex[:12]
    stop = "tessel-run-%s-stop" % token
    remaining: Dict[str, Any] = {}
    try:
        try:
            for number, host in enumerate(hosts):
                future = client.submit(run_on_worker, host, task, workers, timeout, connect,
                                       stop, key="tessel-run-%s-%d" % (token, number),
                                       pure=False)
                remaining[future.key] = (future, host)
            _gather_dask(remaining, collector)
            return collector.finish(_not_started)
        except KeyboardInterrupt:
            # The hosts not started yet return at once; the running ones stop before their
            # next command. When the scheduler cannot be told, nothing is waited for (a
            # second interrupt, below, stops the wait too).
            try:
                Event(stop, client=client).set()  # type: ignore[no-untyped-call]
            except Exception:
                raise KeyboardInterrupt from None
            if on_interrupt is not None:
                on_interrupt(len(remaining))
            _gather_dask(remaining, collector)
            raise RunInterrupted(collector.finish(_not_started)) from None
    except RunInterrupted:
        raise
    except KeyboardInterrupt:
        client.cancel([f for f, _ in remaining.values()])
        running = {host.name for _, host in remaining.values()}
        raise RunInterrupted(collector.finish(_missing(running)), len(running)) from None
    except BaseException:
        client.cancel([f for f, _ in remaining.values()])
        raise


def _gather_dask(remaining: Dict[str, Any], collector: _Collector) -> None:
    from distributed import as_completed

    futures = [f for f, _ in remaining.values()]
    for future in as_completed(futures):  # type: ignore[no-untyped-call]
        host = remaining[future.key][1]
        try:
            result = future.result()
        except Exception as err:  # the worker died or the job could not be sent
            result = HostResult(host.name, False, error=_masked(_message(err), _secrets_of(host)),
                                error_type=type(err).__name__)
        collector.add(result)
        remaining.pop(future.key, None)


# -- limits ---------------------------------------------------------------------------------------

#: Descriptors one session may hold in this process (the pty, a pipe, the log) with room to spare.
DESCRIPTORS_PER_SESSION = 6


def raise_open_file_limit(sessions: int) -> int:
    """Raises the soft limit of open files as far as the sessions need and the hard limit allows.

    Returns the soft limit in force afterwards.
    """
    try:
        import resource
    except ImportError:  # not on this platform
        return -1
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = 256 + DESCRIPTORS_PER_SESSION * max(sessions, 0)
    if soft != resource.RLIM_INFINITY and soft < wanted:
        target = wanted if hard == resource.RLIM_INFINITY else min(wanted, hard)
        if target > soft:
            try:
                resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))
                soft = target
            except (ValueError, OSError):
                pass
    return soft


# -- reporting ------------------------------------------------------------------------------------

def summary_table(results: Iterable[HostResult], width: Optional[int] = None) -> str:
    """A table of host, state, what became of it (ok, FAILED, INTERRUPTED, NOT STARTED),
    elapsed, and the detail: what a configuration change changed, the error's first line
    with the failed hop, the state reached and the device's last line when the error has
    them."""
    rows = [("HOST", "STATE", "RESULT", "ELAPSED", "DETAIL")]
    for result in results:
        error = result.error_line
        if result.detail:
            error += " [%s]" % result.detail
        summary = getattr(result.value, "summary", None)
        if isinstance(summary, str):  # a configuration change: what it changed
            error = summary + ("; " + error if error else "")
        rows.append((result.host, result.state or "-",
                     result.status if result.ok else result.status.upper(),
                     "%.2f s" % result.elapsed, error))
    widths = [max(len(row[i]) for row in rows) for i in range(4)]
    lines = []
    for row in rows:
        line = "  ".join(cell.ljust(widths[i]) for i, cell in enumerate(row[:4]))
        line = (line + "  " + row[4]).rstrip()
        if width is not None and len(line) > width:
            line = line[:max(width - 3, 0)] + "..."
        lines.append(line)
    return "\n".join(lines) + "\n"


class JsonLines:
    """Writes each host's record as one JSON line as soon as it arrives."""

    def __init__(self, stream: IO[str]) -> None:
        self.stream = stream

    def __call__(self, result: HostResult) -> None:
        self.stream.write(json.dumps(result.to_dict(), ensure_ascii=False) + "\n")
        self.stream.flush()


class ProgressBar:
    """A live progress bar on a terminal (rich), nothing elsewhere; a context manager."""

    def __init__(self, total: int, stream: Optional[TextIO] = None,
                 enabled: Optional[bool] = None) -> None:
        self.total = total
        self.stream = stream if stream is not None else sys.stderr
        if enabled is None:
            enabled = bool(getattr(self.stream, "isatty", lambda: False)())
        self.enabled = enabled
        self.failed = 0
        self._progress: Any = None
        self._task: Any = None

    def __enter__(self) -> "ProgressBar":
        if not self.enabled:
            return self
        try:
            from rich.console import Console
            from rich.progress import (BarColumn, MofNCompleteColumn, Progress, TextColumn,
                                       TimeElapsedColumn)
        except ImportError:
            self.enabled = False
            return self
        self._progress = Progress(TextColumn("{task.description}"), BarColumn(),
                                  MofNCompleteColumn(), TextColumn("{task.fields[failed]}"),
                                  TimeElapsedColumn(), console=Console(file=self.stream),
                                  transient=False)
        self._progress.__enter__()
        self._task = self._progress.add_task("hosts", total=self.total, failed="")
        return self

    def __call__(self, result: HostResult) -> None:
        if not result.ok:
            self.failed += 1
        if self._progress is not None:
            self._progress.update(self._task, advance=1,
                                  failed="%d failed" % self.failed if self.failed else "")

    def __exit__(self, *exc: Any) -> None:
        if self._progress is not None:
            self._progress.__exit__(*exc)
            self._progress = None


def both(*callbacks: Optional[Progress]) -> Progress:
    """One progress callback that calls each of ``callbacks`` (None ones skipped)."""
    chosen = [c for c in callbacks if c is not None]

    def call(result: HostResult) -> None:
        for callback in chosen:
            callback(result)

    return call


__all__ = ["FAILED", "INTERRUPTED", "NOT_STARTED", "OK", "Apply", "Commands", "Configure",
           "HostResult",
           "Interrupted", "JsonLines", "ProgressBar", "Results", "RunInterrupted", "TaskFailed",
           "check_line", "connect_arguments", "credential_text", "on_event_loop",
           "raise_open_file_limit",
           "read_config_lines", "run", "run_host", "split_lines",
           "summary_table"]
