"""A session with one device: connect over ssh, telnet or a local program, run commands, configure.

:func:`connect` opens the session, logs in, recognises the state the device
is in, learns its hostname and runs the platform's connect commands;
:class:`Connection` then runs commands (:meth:`Connection.execute`) and
configuration (:meth:`Connection.configure`), each checked against the
platform's failure patterns, and returns :class:`CommandResult` records.
Where the platform declares its configuration, it also shows, compares and
changes it as a transaction (:meth:`Connection.apply`, see
:mod:`tessel.transaction`).
"""
import logging
import math
import os
import re
import shlex
import threading
from dataclasses import dataclass
from typing import (IO, Any, Iterable, List, Mapping, Optional, Sequence, Type, Union)

from tessel.core.errors import (CaptureError, CommandError, ConfigError, ConnectError,
                                PlatformError, SessionClosedError, StateMachineError,
                                TransitionError, TransitionTimeoutError)
from tessel.eal.dialogs import Dialog, Statement
from tessel.eal.output import clean_output, failure_line
from tessel.eal.spawn import Spawn
from tessel.platforms import base as declared
from tessel.statemachine.statetransition import StateTransition
from tessel.transports import (HOST_KEY_POLICIES, TRANSPORTS, Login, asyncssh_child,
                               await_first_prompt, check_host, closed_error, pty_child, ssh_argv,
                               telnet_argv)
from tessel.lines import UNTYPABLE, check_line, split_lines
from tessel.utils import AttributeDict
from tessel import transaction
from tessel.transaction import ApplyResult

logger = logging.getLogger(__name__)

__all__ = ["ApplyResult", "CommandResult", "Connection", "check_line", "connect", "split_lines"]

#: The credentials each transport hands over itself (see :class:`tessel.transports.Login`).
CARRIED = {"ssh": ("username",), "asyncssh": ("username", "password")}

@dataclass
class CommandResult:
    """What one command did.

    ``output`` is clean (no echo, no closing prompt, no terminal escape
    sequences, ``\\n`` line ends); ``state`` the state whose prompt ended it;
    ``failed`` tells whether a line of the output matched one of the
    platform's failure patterns, and ``failure`` is that line; ``elapsed`` is
    in seconds; ``parsed`` holds the records of ``parse=`` (None without it).
    """

    command: str
    output: str
    state: str
    failed: bool = False
    failure: Optional[str] = None
    elapsed: float = 0.0
    parsed: Any = None


def check_timeout(timeout: Any, name: str = "timeout") -> float:
    """``timeout`` as a float when it is a positive, finite number of seconds."""
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError("%s must be a number of seconds, not %s" % (name, type(timeout).__name__))
    if not (timeout > 0 and math.isfinite(timeout)):
        raise ValueError("%s must be a positive number of seconds, not %r" % (name, timeout))
    return float(timeout)



def _check_credential(value: Any, name: str) -> None:
    """Refuses a username or password that is not text or that a terminal cannot take."""
    if value is None:
        return
    if not isinstance(value, str):
        raise TypeError("%s must be a str, not %s" % (name, type(value).__name__))
    found = UNTYPABLE.search(value)
    if found is not None and found.group() != "\t":
        raise ValueError("%s holds a line break or control character at position %d"
                         % (name, found.start() + 1))


def _ssh_options(options: Any) -> List[str]:
    """``ssh_options`` as a list: a str is split as a shell splits it."""
    if isinstance(options, str):
        try:
            return shlex.split(options)
        except ValueError as err:
            raise ValueError("ssh_options cannot be split: %s" % err) from None
    if isinstance(options, (bytes, bytearray)) or not isinstance(options, Sequence):
        raise TypeError("ssh_options must be a str or a list of str, not %s"
                        % type(options).__name__)
    for option in options:
        if not isinstance(option, str):
            raise TypeError("ssh_options must hold str items, not %s" % type(option).__name__)
    return list(options)


def build_machine(platform: Union[str, Type[Any]], **kwargs: Any) -> Any:
    """An instance of the platform that ``platform`` names, built with ``kwargs``.

    A platform class that does not define ``create()`` is a PlatformError
    saying so (the machine's own message has nothing after its colon).
    """
    from tessel.platforms import load
    from tessel.statemachine.statemachine import StateMachine

    cls = load(platform)
    try:
        return cls(**kwargs)
    except StateMachineError as err:
        if isinstance(err.__context__, NotImplementedError) and cls.create is StateMachine.create:
            raise PlatformError("platform %s does not define create(), which registers its "
                                "states and paths" % cls.__qualname__) from None
        raise


class Connection:
    """A logged-in session with one device, driven by its platform's state machine.

    Built by :func:`connect`. ``machine`` is the platform's state machine,
    ``spawn`` the session's handle, ``context`` the fields that dialogs fill
    in (the secrets among them masked), ``timeout`` the default wait.

    One connection may be shared between threads: its operations (``go_to``,
    ``execute``, ``configure``, the configuration transactions, ``close``) run
    one at a time, each waiting for the one before to end, so no thread
    receives another's output.
    """

    def __init__(self, machine: Any, spawn: Spawn, context: Mapping[str, Any],
                 timeout: float, host: Optional[str] = None) -> None:
        self.machine = machine
        self.spawn = spawn
        self.context = context
        self.timeout = timeout
        self.host = host
        self.pager = declared.pager(machine)
        # One engine runs every command: it keeps its compiled prompts between commands.
        self._engine = StateTransition(state_machine=machine, spawn=spawn, context=context)
        self._failures = [re.compile(p, re.MULTILINE)
                          for p in declared.failure_patterns(machine)]
        # Reentrant: configure goes through go_to and execute.
        self._lock = threading.RLock()
        #: The recorder of the session's capture (``connect(record=...)``), or None.
        self.recorder: Any = None
        # What the last apply changed, for rollback() and confirm().
        self._applied: Optional[transaction.Applied] = None

    # -- state -----------------------------------------------------------------------------

    @property
    def state(self) -> str:
        """The name of the state the device is in ("generic" while it is unknown)."""
        return str(self.machine.current_state)

    @property
    def hostname(self) -> Optional[str]:
        """The device's hostname: given to :func:`connect`, or learned from its prompt."""
        hostname = self.machine.hostname
        return None if hostname is None else str(hostname)

    def go_to(self, state: Any, *, timeout: Optional[float] = None) -> List[Any]:
        """Moves the device to ``state`` (a name, a list of names, or "any"); returns the hops.

        ``timeout`` (default: the connection's) bounds the whole change. A
        change that fails part of the way raises the engine's
        :class:`TransitionError` (a :class:`StateMachineError`) with a message
        that names the target, the hop that failed, why, and the device's last
        lines; ``state_reached`` is the last state confirmed from a prompt.
        Any other failure of the change is a :class:`StateMachineError` saying
        the same as far as it is known. The engine's error is the ``__cause__``.
        A session in doubt or in an unknown state is recognised first.
        """
        wait = self.timeout if timeout is None else check_timeout(timeout)
        with self._lock:
            try:
                if state != "any" and (self.spawn.in_doubt is not None
                                       or self.machine.current_state
                                       not in state_names(self.machine)):
                    self.machine.go_to("any", self.spawn, context=self.context, timeout=wait)
                hops = self.machine.go_to(state, self.spawn, context=self.context,
                                          timeout=wait)
            except StateMachineError as err:
                cause = err.__cause__
                if cause is None:  # refused before anything was sent (an unknown state)
                    raise
                raise self._change_failed(state, cause) from cause
        return list(hops or [])

    def _change_failed(self, target: Any, err: BaseException) -> StateMachineError:
        """An error whose first line says which change failed, where and why.

        A :class:`TransitionError` is copied with its class and attributes
        (callers that catch a :class:`TransitionTimeoutError` still do) and
        that first line in place of its reason line.
        """
        if isinstance(target, (list, tuple)):
            wanted = "any of %s" % ", ".join(str(name) for name in target)
        elif str(target) == "any":
            wanted = "a state it knows"
        else:
            wanted = 'state "%s"' % target
        if not isinstance(err, TransitionError):
            return StateMachineError(self.spawn.mask("could not bring the device to %s: %s" % (
                wanted, str(err).split("\n")[0] or type(err).__name__)))
        hop = " at hop %s" % err.failed_hop if err.failed_hop is not None else ""
        headline = "could not bring the device to %s%s: %s; %s" % (
            wanted, hop, err.reason, _last_line_said(err.output))
        details = str(err)
        if details.startswith(err.reason):
            details = details[len(err.reason):].lstrip("\n")
        copy = type(err).__new__(type(err))
        copy.__dict__.update(err.__dict__)
        copy.args = (self.spawn.mask(headline + ("\n" + details if details else "")),)
        return copy

    # -- commands ------------------------------------------------------------------------

    def execute(self, command: str, *, state: Optional[str] = None,
                timeout: Optional[float] = None, dialog: Optional[Iterable[Statement]] = None,
                check: bool = False, parse: Optional[str] = None,
                template: Optional[str] = None) -> CommandResult:
        """Runs one command and returns what it printed.

        ``command`` is one line without control characters (a TAB, Ctrl-U or
        ESC is refused with ValueError, as a line break is). ``state``: go
        there first. ``timeout`` (default: the connection's) bounds the wait
        for the closing prompt, and starts again whenever output arrives, so a
        long output is not cut off. ``dialog``: questions the command may ask,
        with their answers. ``check=True`` raises :class:`CommandError` when a
        failure pattern matched. ``parse`` ("textfsm", "ttp" or "ntc") with
        ``template`` fills ``parsed``.
        """
        check_line(command, "a command")
        if parse is not None:
            from tessel.parse import check_parser

            check_parser(parse, template)
        with self._lock:
            if state is not None:
                self.go_to(state, timeout=timeout)
            engine = self._engine
            engine.timeout = self.timeout if timeout is None else check_timeout(timeout)
            engine.dialog = dialog
            done = engine.run_command(command, pager=self.pager)
        failure = self.failure_in(done.output)
        result = CommandResult(command=command, output=done.output, state=done.state,
                               failed=failure is not None, failure=failure,
                               elapsed=done.elapsed)
        if check and result.failed:
            raise CommandError(self.spawn.mask("%r failed on %s: %s" % (
                command, self.host or "the device", failure)), result)
        if parse is not None and not result.failed:
            from tessel.parse import parse_output

            result.parsed = parse_output(parse, result.output, template=template,
                                         command=command,
                                         platform=declared.ntc_platform(self.machine))
        return result

    def failure_in(self, output: str) -> Optional[str]:
        """The first line of ``output`` that a failure pattern matches, or None."""
        return failure_line(self._failures, output)

    def configure(self, lines: Union[str, Iterable[str]], *, state: Optional[str] = None,
                  stop_on_failure: bool = True,
                  timeout: Optional[float] = None) -> List[CommandResult]:
        """Enters configuration lines one by one; returns a result for each line sent.

        ``lines`` is a list of lines or one text, split at ``\\n``, ``\\r\\n``
        and ``\\r`` (:func:`split_lines`). Blank lines are skipped; a line
        holding a control character is refused with ValueError before
        anything is sent. Goes to ``state`` (default: the platform's
        configuration state) first and back to the state it started from at
        the end, also after a failure.

        A refused line raises :class:`ConfigError` (with the line, the
        device's message and the results so far) and the lines after it are
        not sent, unless ``stop_on_failure`` is False. A line that fails to
        run (no prompt in time, the session closed, an unknown prompt) raises
        :class:`ConfigError` too, whatever ``stop_on_failure`` says: ``line``
        is that line, ``results`` those of the lines before it, and the
        device's reason is its ``__cause__``. When the way back fails after
        either, its error is kept in ``return_error`` (and noted in the
        message) rather than hiding the first.
        """
        todo = _config_lines(lines)
        with self._lock:
            return self._configure(todo, state, stop_on_failure, timeout)

    def _configure(self, todo: List[str], state: Optional[str], stop_on_failure: bool,
                   timeout: Optional[float]) -> List[CommandResult]:
        start = self.state
        target = state or declared.config_state(self.machine)
        results: List[CommandResult] = []
        try:
            self.go_to(target, timeout=timeout)
            for line in todo:
                try:
                    # Through execute, which a fleet run's guard and line recorder stand in for.
                    result = self.execute(line, timeout=timeout)
                except Exception as err:
                    raise self._line_failed(line, err, results) from err
                results.append(result)
                if result.failed and stop_on_failure:
                    raise ConfigError(self.spawn.mask("configuration line %r refused by %s: %s" % (
                        line, self.host or "the device", result.failure)),
                                      line, result.failure or "", results)
        except Exception as err:
            # Back where it started, but an error on the way back must not hide this one.
            back_error = self._return_to(start, timeout)
            if back_error is not None:
                note = self.spawn.mask("the way back to %s failed too: %s" % (
                    start, str(back_error).split("\n")[0]))
                if isinstance(err, ConfigError):
                    err.return_error = back_error
                    err.args = (err.args[0] + "\n" + note,) + err.args[1:]
                else:
                    err.add_note(note)
            raise
        back_error = self._return_to(start, timeout)
        if back_error is not None:
            back_error.add_note("every configuration line (%d) had been accepted" % len(results))
            raise back_error
        return results

    def _return_to(self, start: str, timeout: Optional[float]) -> Optional[Exception]:
        """Goes back to ``start`` when the device left it; returns the error if that failed.

        A state that no path leads into (a configuration sub-mode, entered by configuration
        lines) cannot be gone back to: the device stays where the lines left it.
        """
        if start == self.state or start not in state_names(self.machine):
            return None
        if not any(path.to_state.name == start for path in self.machine.paths):
            return None
        try:
            self.go_to(start, timeout=timeout)
        except Exception as err:
            return err
        return None

    def _line_failed(self, line: str, err: Exception,
                     results: List[CommandResult]) -> ConfigError:
        """The ConfigError of a line that did not run to its prompt (timeout, closed session)."""
        reason = str(err).split("\n")[0] or type(err).__name__
        said = _last_line_said(getattr(err, "output", ""))
        return ConfigError(self.spawn.mask("configuration line %r failed on %s: %s; %s" % (
            line, self.host or "the device", reason, said)),
                           line, self.spawn.mask(reason), results, refused=False)

    # -- configuration transactions ------------------------------------------------------

    def running_config(self, *, timeout: Optional[float] = None) -> str:
        """The running configuration, as the platform's show command prints it.

        Raises :class:`PlatformError` on a platform that declares no
        configuration, :class:`CommandError` when the command is refused.
        """
        spec = transaction.config_spec(self)
        with self._lock:
            return transaction.returning(self, timeout, lambda: transaction.Transaction(
                self, spec, timeout).running())

    def config_diff(self, candidate: str, *, replace: bool = False,
                    timeout: Optional[float] = None) -> str:
        """A unified diff of what :meth:`apply` would change ('' when nothing); changes nothing.

        Each changed line shows inside its blocks, their header lines as
        context. Merge (the default) adds the candidate's missing lines;
        ``replace=True`` also removes the lines the candidate does not hold.
        """
        transaction.config_spec(self)
        transaction.check_candidate(candidate)
        with self._lock:
            return transaction.returning(self, timeout, lambda: transaction.config_diff(
                self, candidate, replace, timeout))

    def apply(self, candidate: str, *, replace: bool = False, confirm: Optional[int] = None,
              comment: Optional[str] = None, dry_run: bool = False,
              timeout: Optional[float] = None) -> "ApplyResult":
        """Makes the running configuration hold the candidate (merge) or equal it (``replace``).

        Merge sends only the lines the running configuration lacks, inside
        their blocks (a block is entered by its header line and left by the
        platform's exit line). Replace also removes what the candidate does
        not hold: by the platform's on-box replace where it has one, else by
        the computed removals (negated, deepest first) before the additions.
        Nothing to change: nothing is sent. ``dry_run``: only the diff.
        Afterwards the running configuration is read again, and a candidate
        line it does not show raises :class:`ApplyError`.

        Where the platform has commit, the lines go to its candidate and are
        committed (with ``comment``); ``confirm=SECONDS`` commits with the
        platform's timer, which rolls back unless :meth:`confirm` is called in
        time. ``confirm`` on a platform without such a timer, a ``comment`` it
        cannot take, or a candidate line no terminal can take is refused before
        anything is sent.

        A refused line stops the transaction with :class:`ApplyError` (which
        line, ``undone``, ``restored``): where the platform has commit nothing
        is committed (the candidate is discarded); elsewhere the lines already
        accepted are taken back in reverse, and the running configuration is
        read again to tell whether it is as before.
        """
        spec = transaction.config_spec(self)
        transaction.check_candidate(candidate)
        commit = transaction.commit_line(self, spec, confirm, comment)
        with self._lock:
            return transaction.returning(self, timeout, lambda: transaction.apply(
                self, candidate, replace, commit, confirm, dry_run, timeout))

    def confirm(self, *, timeout: Optional[float] = None) -> CommandResult:
        """Confirms the commit of the last ``apply(confirm=...)``, then checks the running
        configuration still holds the candidate (:class:`ApplyError` if the timer had run
        out and the commit was rolled back). Nothing waiting: :class:`ConfigError`."""
        with self._lock:
            return transaction.returning(self, timeout, lambda: transaction.confirm(
                self, timeout))

    def rollback(self, *, number: Optional[int] = None,
                 timeout: Optional[float] = None) -> "ApplyResult":
        """Returns to the configuration before the last :meth:`apply` that changed it.

        By the platform's rollback and a commit where it has them, else by
        applying the configuration read before that apply with ``replace``.
        ``number``: to that numbered commit instead (platforms with
        ``rollback_to``). No apply to take back: :class:`ConfigError`.
        """
        with self._lock:
            return transaction.returning(self, timeout, lambda: transaction.rollback(
                self, number, timeout))

    def save(self, *, timeout: Optional[float] = None) -> CommandResult:
        """Saves the running configuration for the next start (the platform's save
        command); a refusal raises :class:`CommandError`."""
        with self._lock:
            return transaction.returning(self, timeout, lambda: transaction.save(
                self, timeout))

    # -- lifetime --------------------------------------------------------------------------

    def close(self) -> None:
        """Ends the session (the client or program is terminated).

        Waits for an operation that another thread is running to end.
        """
        with self._lock:
            self.spawn.close()
        error = self.recorder.error if self.recorder is not None else None
        if error is not None:
            raise CaptureError("the session was not recorded in full: writing the capture %s "
                               "failed: %s" % (self.recorder.path, error.strerror or error))

    def __enter__(self) -> "Connection":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return "<Connection to %s (%s) in state %s>" % (
            self.spawn.mask(self.host or self.spawn.command_text), type(self.machine).__name__,
            self.state)


def _config_lines(lines: Union[str, Iterable[str]]) -> List[str]:
    """The lines to send (blank ones dropped), each checked before any is sent."""
    if isinstance(lines, str):
        lines = split_lines(lines)
    elif isinstance(lines, (bytes, bytearray)):
        raise TypeError("configuration lines are a str or a list of str, not %s"
                        % type(lines).__name__)
    todo = []
    for number, line in enumerate(lines, 1):
        if not isinstance(line, str):
            raise TypeError("configuration line %d is a str, not %s"
                            % (number, type(line).__name__))
        if line.strip():
            todo.append(check_line(line, "configuration line %d" % number))
    return todo


def _last_line_said(output: str) -> str:
    """What the device printed last, for a message: its last two lines (often a message and a
    prompt)."""
    lines = [line.strip()[-120:] for line in clean_output(output or "").split("\n")
             if line.strip()]
    if not lines:
        return "the device printed nothing"
    return "last from the device: %s" % " / ".join(repr(line) for line in lines[-2:])


def state_names(machine: Any) -> List[str]:
    return [state.name for state in machine.states]


# -- connecting -------------------------------------------------------------------------

def connect(platform: Union[str, Type[Any]], host: Optional[str] = None, *,
            username: Optional[str] = None, password: Optional[str] = None,
            port: Optional[int] = None, transport: str = "ssh",
            command: Union[None, str, Sequence[str]] = None, key_file: Optional[str] = None,
            secrets: Optional[Mapping[str, Any]] = None,
            context: Optional[Mapping[str, Any]] = None, hostname: Optional[str] = None,
            timeout: float = 10.0, log: Union[None, str, IO[str]] = None,
            host_keys: str = "strict", known_hosts: Optional[str] = None,
            ssh_options: Union[str, Sequence[str]] = (),
            record: Optional[str] = None) -> Connection:
    """Opens a session with a device, logs in and recognises its state.

    ``platform``: a shipped name (``generic``), the path of a platform file,
    ``MODULE:CLASS`` or a StateMachine subclass. ``transport``: ``"ssh"``
    (the system ssh client), ``"asyncssh"`` (an ssh client in this process,
    extra ``tessel[asyncssh]``), ``"telnet"`` (the system telnet client) or
    ``"command"`` (``command`` is started instead, an argv list or a shell
    command line: a console program, the simulator).
    ``secrets``: context fields that are secret (masked by value in the
    session log, ``last_sent`` and errors, as the password is); ``context``:
    the other fields. ``hostname`` fixes the hostname instead of learning it.
    ``timeout``: the ssh connect timeout, the wait for each login question
    and for the first prompt, and the default wait of the connection's
    commands and state changes. ``log``: a path or text file that receives
    the session transcript. ``host_keys``: "strict" (known keys only),
    "accept-new" (record a new key, refuse a changed one) or "off" (accept
    any key: unsafe, anyone in the middle gets the password).
    ``known_hosts``: the known_hosts file to use instead of ssh's default;
    ``ssh_options``: further ssh arguments, which take precedence: a list,
    or one str split as a shell splits it (``"-o Ciphers=aes128-ctr"``).
    ``username`` and ``password`` are str (anything else is a TypeError).
    ``record``: the path of a capture to write, every exchange of the session
    with its secrets replaced by placeholders (see :mod:`tessel.capture`).
    """
    timeout = check_timeout(timeout)
    _check_credential(username, "username")
    _check_credential(password, "password")
    for key, value in (secrets or {}).items():
        if value is not None and not isinstance(value, str):
            raise TypeError("secret %r must be a str, not %s" % (key, type(value).__name__))
    options = _ssh_options(ssh_options)
    if transport not in TRANSPORTS:
        raise ValueError("transport must be one of %s, not %r" % (", ".join(TRANSPORTS),
                                                                 transport))
    if host_keys not in HOST_KEY_POLICIES:
        raise ValueError("host_keys must be one of %s, not %r"
                         % (", ".join(HOST_KEY_POLICIES), host_keys))
    if port is not None and (isinstance(port, bool) or not isinstance(port, int)
                             or not 0 < port < 65536):
        raise ValueError("port must be a number from 1 to 65535, not %r" % (port,))
    child = None
    if transport == "command":
        if not command:
            raise ValueError("transport='command' needs command, the argv to start")
        argv: Union[str, List[str]] = command if isinstance(command, str) else [
            str(part) for part in command]
    else:
        check_host(host)
        assert host is not None
        if transport == "ssh":
            argv = ssh_argv(host, port=port, username=username, key_file=key_file,
                            connect_timeout=timeout, host_keys=host_keys,
                            known_hosts=known_hosts, options=options)
        elif transport == "asyncssh":
            argv, child = asyncssh_child(host, port=port, username=username, password=password,
                                         key_file=key_file, connect_timeout=timeout,
                                         host_keys=host_keys, known_hosts=known_hosts,
                                         options=options)
        else:
            argv = telnet_argv(host, port)

    kwargs = {"hostname": hostname} if hostname is not None else {"learn_hostname": True}
    machine = build_machine(platform, **kwargs)
    fields = AttributeDict(context or {})
    fields.update(secrets or {})
    child = child or pty_child()
    recorder = None
    if record is not None:
        from tessel.eal.recorder import Recorder

        shown = None
        if transport == "command":
            shown = argv if isinstance(argv, str) else shlex.join(argv)
        recorder = Recorder.for_connection(
            os.fspath(record), platform, machine, transport=transport, host=host, command=shown,
            username=username, password=password, secrets=secrets, context=context)
        child = recorder.child(child)
    try:
        spawn = Spawn(argv, timeout=timeout, logfile=log, context=fields,
                      secrets=[password, *(secrets or {}).values()], child=child)
    except BaseException:
        if recorder is not None:
            recorder.close()
        raise
    if recorder is not None:
        recorder.attach(spawn, machine)
    if transport == "telnet":
        spawn.linesep = "\r"  # Enter, as a telnet client in character mode sends it
    try:
        login = Login(host, username, password, host_keys, carried=CARRIED.get(transport, ()))
        _log_in(machine, spawn, login, fields, timeout, wait_first=transport != "command")
        connection = Connection(machine, spawn, fields, timeout, host)
        connection.recorder = recorder
        _run_connect_commands(connection)
    except BaseException:
        spawn.close()
        raise
    logger.info("connected to %s: state %s, hostname %s",
                spawn.mask(host or spawn.command_text), connection.state, connection.hostname)
    return connection


def _log_in(machine: Any, spawn: Spawn, login: Login, context: Mapping[str, Any],
            timeout: float, wait_first: bool) -> None:
    """Logs in and recognises the device's state (learning its hostname when asked).

    The first prompt is confirmed by asking (a line end, answered by the same prompt
    again) only once the login has nothing left to answer, so that the line end never
    answers a login question.
    """
    if wait_first:
        await_first_prompt(spawn, machine, login, timeout, context)
    spawn.notes.may_ask = login.questions_over
    try:
        machine.go_to("any", spawn, context=context, dialog=Dialog(login.statements()),
                      timeout=timeout, prompt_recovery=True)
    except StateMachineError as err:
        failure = _login_failure(err, login)
        if failure is err:
            raise
        raise failure from None
    finally:
        spawn.notes.may_ask = None


def _login_failure(err: StateMachineError, login: Login) -> Exception:
    cause: Optional[BaseException] = err
    while cause is not None:
        if isinstance(cause, ConnectError):
            return cause
        if isinstance(cause, SessionClosedError):
            return closed_error(login.host, cause.output, login.host_keys)
        if isinstance(cause, TransitionTimeoutError):
            return ConnectError("%s did not show a known prompt: %s"
                                % (login.where, cause.reason), login.host, cause.output)
        cause = cause.__cause__
    return err


def _run_connect_commands(connection: Connection) -> None:
    for step in declared.connect_commands(connection.machine):
        # Several states: the command runs in the one the device is in, if listed.
        connection.go_to(step.target)
        result = connection.execute(step.command)
        if result.failed:
            logger.warning("connect command %r failed on %s: %s",
                                                step.command, connection.host or "the device",
                                                result.failure)
