"""Running the same work on many devices: threads on one machine, or a Dask cluster.

:func:`run` opens a session to every host of an inventory with
``tessel.connect``, calls ``task(conn, host)`` and collects one
:class:`HostResult` per host. Every host is isolated: whatever goes wrong
on one (a refused login, a timeout, a device that dies mid-command) is that
host's failed result, and the other hosts carry on.

Without a client, the sessions run on a pool of threads (``workers`` at
once). With a ``dask.distributed.Client``, each host is one Dask task; a
Dask worker holds at most ``workers`` sessions at once, whatever its
number of threads (a session waits on its device, not on a CPU, so a task
leaves the worker's thread pool while its session runs).
"""
import dataclasses
import inspect
import json
import os
import sys
import threading
import time
import uuid
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass
from typing import (IO, Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Set,
                    TextIO, Union)

from tessel.core.errors import ConfigError, TesselError, TransitionError
from tessel.inventory import CONNECTION_NAME, Host, Inventory, InventoryError, load

#: A task: called with the open connection and the host; its return value is the host's result.
Task = Callable[[Any, Host], Any]
#: Opens a session: called as ``tessel.connect`` is.
Connect = Callable[..., Any]
#: Called in the caller's thread with each host's result as it arrives.
Progress = Callable[["HostResult"], None]

#: Sessions at once when nothing else is said (as many as Nornir's threaded runner).
DEFAULT_WORKERS = 20
#: Masks secrets in results and errors.
MASK = "********"


class TaskFailed(TesselError):
    """A task failed part of the way and has a partial result (``value``) worth keeping."""

    def __init__(self, message: str, value: Any = None) -> None:
        super().__init__(message)
        self.value = value


@dataclass
class HostResult:
    """What happened on one host.

    ``value`` is what the task returned (or the partial result of a failed
    task); ``error`` the full message of the failure (secrets masked) and
    ``error_type`` its class; ``state`` the device's state at the end (or
    the last one confirmed before a failure); ``elapsed`` seconds from the
    start of the connection to its close; ``worker`` the Dask worker that
    ran it (None for a thread run).
    """

    host: str
    ok: bool
    value: Any = None
    error: Optional[str] = None
    error_type: Optional[str] = None
    state: Optional[str] = None
    elapsed: float = 0.0
    worker: Optional[str] = None

    @property
    def failed(self) -> bool:
        return not self.ok

    @property
    def error_line(self) -> str:
        """The first line of the error ('' when there is none)."""
        return (self.error or "").strip().split("\n")[0]

    def to_dict(self) -> Dict[str, Any]:
        """A JSON-friendly record (dataclass values such as CommandResult become mappings)."""
        return {"host": self.host, "ok": self.ok, "state": self.state,
                "elapsed": round(self.elapsed, 6), "error": self.error,
                "error_type": self.error_type, "worker": self.worker,
                "result": _jsonable(self.value)}


class Results(Dict[str, HostResult]):
    """Per-host results by host name, in the inventory's order."""

    @property
    def failed(self) -> List[HostResult]:
        return [r for r in self.values() if not r.ok]

    @property
    def ok(self) -> List[HostResult]:
        return [r for r in self.values() if r.ok]


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
    """Sends configuration lines with ``Connection.configure``; stops at the first refused line."""

    lines: Sequence[str]
    state: Optional[str] = None
    timeout: Optional[float] = None

    def __call__(self, conn: Any, host: Host) -> List[Any]:
        try:
            return list(conn.configure(list(self.lines), state=self.state, timeout=self.timeout))
        except ConfigError as err:
            raise TaskFailed(str(err), list(err.results)) from err


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


def allowed_extras(connect: Optional[Connect] = None) -> Optional[Set[str]]:
    """The keyword arguments of ``connect`` (``tessel.connect`` by default) that extras may set.

    None when ``connect`` takes any keyword.
    """
    if connect is None:
        from tessel.connection import connect as tessel_connect
        connect = tessel_connect
    try:
        parameters = inspect.signature(connect).parameters.values()
    except (TypeError, ValueError):
        return None
    if any(p.kind is p.VAR_KEYWORD for p in parameters):
        return None
    return {p.name for p in parameters if p.kind in (p.KEYWORD_ONLY, p.POSITIONAL_OR_KEYWORD)
            } - _FROM_HOST


#: What the host's own attributes give, never the extras.
_FROM_HOST = frozenset({"platform", "host", "username", "password", "port"})


def connection_arguments(name: str, hostname: Optional[str], username: Optional[str],
                         password: Optional[str], port: Optional[int], platform: Optional[str],
                         extras: Optional[Mapping[str, Any]], timeout: Optional[float] = None,
                         allowed: Optional[Set[str]] = None) -> Dict[str, Any]:
    """``tessel.connect``'s arguments from a host's connection parameters (see above).

    ``allowed`` names the extras that may be given (None: any).
    """
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
    for key, value in (("username", username), ("password", password), ("port", port)):
        if value is not None:
            arguments[key] = value
    if isinstance(options.get("log"), str):
        options["log"] = options["log"].replace("{name}", name)
    if timeout is not None:
        options.setdefault("timeout", timeout)
    arguments.update(options)
    return arguments


def run_host(host: Host, task: Task, *, timeout: Optional[float] = None,
             connect: Optional[Connect] = None,
             opened: Optional[Callable[[Any, bool], None]] = None) -> HostResult:
    """Connects to ``host``, runs ``task`` and closes; never raises for the host's own failures.

    ``opened(conn, True)`` is called once the session is open and
    ``opened(conn, False)`` once it is closed (the runner uses it to close
    sessions left open by an interrupt).
    """
    started = time.monotonic()
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
        value = task(conn, host)
        state = _state_of(conn)
        _close(conn, opened)
        conn = None
        return HostResult(host.name, True, value=_masked(value, host.secret_values()),
                          state=state, elapsed=time.monotonic() - started)
    except Exception as err:
        value = err.value if isinstance(err, TaskFailed) else None
        cause = err.__cause__ if isinstance(err, TaskFailed) and err.__cause__ else err
        state = _failed_state(cause, conn)
        secrets = host.secret_values()
        return HostResult(host.name, False, value=_masked(value, secrets),
                          error=_masked(_message(err), secrets),
                          error_type=type(cause).__name__, state=state,
                          elapsed=time.monotonic() - started)
    finally:
        if conn is not None:
            _close(conn, opened)


def _message(err: BaseException) -> str:
    text = str(err).strip()
    return text or type(err).__name__


def _state_of(conn: Any) -> Optional[str]:
    try:
        state = conn.state
    except Exception:
        return None
    return str(state) if state else None


def _failed_state(err: BaseException, conn: Any) -> Optional[str]:
    if isinstance(err, TransitionError) and err.state_reached:
        return err.state_reached
    return _state_of(conn) if conn is not None else None


def _close(conn: Any, opened: Optional[Callable[[Any, bool], None]]) -> None:
    try:
        conn.close()
    except Exception:
        pass
    if opened is not None:
        opened(conn, False)


def _masked(value: Any, secrets: Sequence[str]) -> Any:
    """``value`` with every secret replaced by a mask, in strings and in dataclass fields."""
    secrets = sorted({s for s in secrets if s}, key=len, reverse=True)
    if not secrets:
        return value

    def mask(item: Any) -> Any:
        if isinstance(item, str):
            for secret in secrets:
                item = item.replace(secret, MASK)
            return item
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
        connect: Optional[Connect] = None) -> Results:
    """Runs ``task(conn, host)`` on every host; returns each host's :class:`HostResult`.

    ``inventory`` is an :class:`~tessel.inventory.Inventory`, hosts, or the
    path of an inventory. ``workers`` bounds the sessions open at once: in
    all (threads), or on each Dask worker when ``client`` (a
    ``dask.distributed.Client``) is given. ``timeout`` is passed to
    ``tessel.connect`` for hosts whose inventory sets none. ``progress`` is
    called with each result as it arrives. ``connect`` replaces
    ``tessel.connect`` (it must be importable by the Dask workers).
    """
    if isinstance(inventory, (str, os.PathLike)):
        inventory = load(inventory)
    hosts = list(inventory)
    if workers < 1:
        raise ValueError("workers must be at least 1, not %r" % workers)
    names = [h.name for h in hosts]
    if len(set(names)) != len(names):
        raise ValueError("host names must be unique")
    raise_open_file_limit(min(workers, len(hosts)) if client is None else 0)
    if client is None:
        arrived = _run_threads(hosts, task, workers, timeout, connect, progress)
    else:
        arrived = _run_dask(hosts, task, workers, client, timeout, connect, progress)
    return Results((name, arrived[name]) for name in names)


def _run_threads(hosts: Sequence[Host], task: Task, workers: int, timeout: Optional[float],
                 connect: Optional[Connect], progress: Optional[Progress]
                 ) -> Dict[str, HostResult]:
    sessions: Dict[int, Any] = {}
    lock = threading.Lock()

    def opened(conn: Any, is_open: bool) -> None:
        with lock:
            if is_open:
                sessions[id(conn)] = conn
            else:
                sessions.pop(id(conn), None)

    results: Dict[str, HostResult] = {}
    pool = ThreadPoolExecutor(max_workers=min(workers, max(len(hosts), 1)),
                              thread_name_prefix="tessel-host")
    futures: Dict[Future, Host] = {}  # type: ignore[type-arg]
    try:
        for host in hosts:
            futures[pool.submit(run_host, host, task, timeout=timeout, connect=connect,
                                opened=opened)] = host
        pending = set(futures)
        while pending:
            # A bounded wait keeps the main thread responsive to Ctrl-C.
            done, pending = wait(pending, timeout=0.5, return_when=FIRST_COMPLETED)
            for future in done:
                result = _future_result(future, futures[future])
                results[result.host] = result
                if progress is not None:
                    progress(result)
    except BaseException:
        for future in futures:
            future.cancel()
        with lock:
            left_open = list(sessions.values())
        for conn in left_open:
            try:
                conn.close()
            except Exception:
                pass
        raise
    finally:
        pool.shutdown(wait=True, cancel_futures=True)
    return results


def _future_result(future: "Future[HostResult]", host: Host) -> HostResult:
    try:
        return future.result()
    except BaseException as err:  # run_host keeps its own failures; this is the pool's
        return HostResult(host.name, False, error=_masked(_message(err), host.secret_values()),
                          error_type=type(err).__name__)


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


def run_on_worker(host: Host, task: Task, limit: int, timeout: Optional[float],
                  connect: Optional[Connect]) -> HostResult:
    """One host's job on a Dask worker, at most ``limit`` of them with a session at once.

    The job waits for a free slot on one of the worker's threads, then
    secedes from the thread pool: its session spends its time waiting on the
    device, and the worker starts the next job meanwhile. So the worker's
    sessions are bounded by ``limit``, not by its thread count.
    """
    from distributed import get_worker, secede

    raise_open_file_limit(limit)
    slots = worker_slots(limit)
    slots.acquire()
    try:
        secede()  # type: ignore[no-untyped-call]
        result = run_host(host, task, timeout=timeout, connect=connect)
        result.worker = get_worker().address
        return result
    finally:
        slots.release()


def _run_dask(hosts: Sequence[Host], task: Task, workers: int, client: Any,
              timeout: Optional[float], connect: Optional[Connect],
              progress: Optional[Progress]) -> Dict[str, HostResult]:
    from distributed import as_completed

    token = uuid.uuid4().hex[:12]
    futures = {}
    for number, host in enumerate(hosts):
        future = client.submit(run_on_worker, host, task, workers, timeout, connect,
                               key="tessel-run-%s-%d" % (token, number), pure=False)
        futures[future.key] = (future, host)
    results: Dict[str, HostResult] = {}
    try:
        for future in as_completed([f for f, _ in futures.values()]):  # type: ignore[no-untyped-call]
            host = futures[future.key][1]
            try:
                result = future.result()
            except Exception as err:  # the worker died or the job could not be sent
                result = HostResult(host.name, False,
                                    error=_masked(_message(err), host.secret_values()),
                                    error_type=type(err).__name__)
            results[result.host] = result
            if progress is not None:
                progress(result)
    except BaseException:
        client.cancel([f for f, _ in futures.values()])
        raise
    return results


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
    """A table of host, state, ok or failed, elapsed and the error's first line."""
    rows = [("HOST", "STATE", "RESULT", "ELAPSED", "ERROR")]
    for result in results:
        rows.append((result.host, result.state or "-", "ok" if result.ok else "FAILED",
                     "%.2f s" % result.elapsed, result.error_line))
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


def read_config_lines(text: str) -> List[str]:
    """Configuration lines from a file's text: blank lines and ``!``/``#`` comments skipped."""
    lines = []
    for line in text.splitlines():
        stripped = line.strip()
        if not stripped or stripped.startswith(("!", "#")):
            continue
        lines.append(line.rstrip())
    return lines


__all__ = ["Commands", "Configure", "HostResult", "JsonLines", "ProgressBar", "Results",
           "TaskFailed", "connect_arguments", "raise_open_file_limit", "read_config_lines",
           "run", "run_host", "summary_table"]
