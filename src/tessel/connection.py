"""A session with one device: connect over ssh, telnet or a local program, run commands, configure.

:func:`connect` opens the session, logs in, recognises the state the device
is in, learns its hostname and runs the platform's connect commands;
:class:`Connection` then runs commands (:meth:`Connection.execute`) and
configuration (:meth:`Connection.configure`), each checked against the
platform's failure patterns, and returns :class:`CommandResult` records.
"""
import logging
import math
import re
from dataclasses import dataclass
from typing import (IO, Any, Iterable, List, Mapping, Optional, Sequence, Tuple, Type, Union)

from tessel.core.errors import (CommandError, ConfigError, ConnectError, PlatformError,
                                SessionClosedError, StateMachineError, TransitionTimeoutError)
from tessel.eal.dialogs import Dialog, Statement
from tessel.eal.spawn import Spawn
from tessel.platforms import base as declared
from tessel.statemachine.statetransition import StateTransition
from tessel.transports import (HOST_KEY_POLICIES, TRANSPORTS, Login, await_first_prompt,
                               check_host, closed_error, ssh_argv, telnet_argv)
from tessel.utils import AttributeDict

logger = logging.getLogger(__name__)

__all__ = ["CommandResult", "Connection", "connect"]


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

    # -- state -----------------------------------------------------------------------------

    @property
    def state(self) -> str:
        """The name of the state the device is in."""
        return str(self.machine.current_state)

    @property
    def hostname(self) -> Optional[str]:
        """The device's hostname: given to :func:`connect`, or learned from its prompt."""
        hostname = self.machine.hostname
        return None if hostname is None else str(hostname)

    def go_to(self, state: Any, *, timeout: Optional[float] = None) -> List[Any]:
        """Moves the device to ``state`` (a name, a list of names, or "any"); returns the hops.

        ``timeout`` (default: the connection's) bounds the whole change. A
        session in doubt or in an unknown state is recognised first.
        """
        wait = self.timeout if timeout is None else check_timeout(timeout)
        if state != "any" and (self.spawn.in_doubt is not None
                               or self.machine.current_state not in state_names(self.machine)):
            self.machine.go_to("any", self.spawn, context=self.context, timeout=wait)
        hops = self.machine.go_to(state, self.spawn, context=self.context, timeout=wait)
        return list(hops or [])

    # -- commands ------------------------------------------------------------------------

    def execute(self, command: str, *, state: Optional[str] = None,
                timeout: Optional[float] = None, dialog: Optional[Iterable[Statement]] = None,
                check: bool = False, parse: Optional[str] = None,
                template: Optional[str] = None) -> CommandResult:
        """Runs one command and returns what it printed.

        ``state``: go there first. ``timeout`` (default: the connection's)
        bounds the wait for the closing prompt, and starts again whenever
        output arrives, so a long output is not cut off. ``dialog``: questions
        the command may ask, with their answers. ``check=True`` raises
        :class:`CommandError` when a failure pattern matched. ``parse``
        ("textfsm", "ttp" or "ntc") with ``template`` fills ``parsed``.
        """
        if not isinstance(command, str):
            raise TypeError("a command is a str, not %s" % type(command).__name__)
        if "\n" in command or "\r" in command:
            raise ValueError("a command is one line; send several lines one by one")
        if parse is not None:
            from tessel.parse import check_parser

            check_parser(parse, template)
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
        first: Optional[Tuple[int, str]] = None
        for pattern in self._failures:
            found = pattern.search(output)
            if found is not None and (first is None or found.start() < first[0]):
                start = output.rfind("\n", 0, found.start()) + 1
                end = output.find("\n", found.end())
                first = (found.start(), output[start:end if end >= 0 else len(output)].strip())
        return None if first is None else first[1]

    def configure(self, lines: Union[str, Iterable[str]], *, state: Optional[str] = None,
                  stop_on_failure: bool = True,
                  timeout: Optional[float] = None) -> List[CommandResult]:
        """Enters configuration lines one by one; returns a result for each line sent.

        Goes to ``state`` (default: the platform's configuration state) first
        and back to the state it started from at the end, also after a
        failure. A refused line raises :class:`ConfigError` (with the line,
        the device's message and the results so far) and the lines after it
        are not sent, unless ``stop_on_failure`` is False.
        """
        if isinstance(lines, str):
            lines = lines.splitlines()
        todo = [line for line in lines if line.strip()]
        start = self.state
        target = state or declared.config_state(self.machine)
        results: List[CommandResult] = []
        refused: Optional[CommandResult] = None
        try:
            self.go_to(target, timeout=timeout)
            for line in todo:
                result = self.execute(line, timeout=timeout)
                results.append(result)
                if result.failed and refused is None:
                    refused = result
                    if stop_on_failure:
                        break
        finally:
            # Back where it started, also when a line or a state change failed.
            if start != self.state and start in state_names(self.machine):
                self.go_to(start, timeout=timeout)
        if refused is not None and stop_on_failure:
            raise ConfigError(self.spawn.mask("configuration line %r refused by %s: %s" % (
                refused.command, self.host or "the device", refused.failure)),
                              refused.command, refused.failure or "", results)
        return results

    # -- lifetime --------------------------------------------------------------------------

    def close(self) -> None:
        """Ends the session (the client or program is terminated)."""
        self.spawn.close()

    def __enter__(self) -> "Connection":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return "<Connection to %s (%s) in state %s>" % (
            self.host or self.spawn.command_text, type(self.machine).__name__, self.state)


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
            ssh_options: Sequence[str] = ()) -> Connection:
    """Opens a session with a device, logs in and recognises its state.

    ``platform``: a shipped name (``generic``), the path of a platform file,
    ``MODULE:CLASS`` or a StateMachine subclass. ``transport``: ``"ssh"``
    (the system ssh client), ``"telnet"`` (the system telnet client) or
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
    ``ssh_options``: further ssh arguments, which take precedence.
    """
    timeout = check_timeout(timeout)
    if transport not in TRANSPORTS:
        raise ValueError("transport must be one of %s, not %r" % (", ".join(TRANSPORTS),
                                                                 transport))
    if host_keys not in HOST_KEY_POLICIES:
        raise ValueError("host_keys must be one of %s, not %r"
                         % (", ".join(HOST_KEY_POLICIES), host_keys))
    if port is not None and (isinstance(port, bool) or not isinstance(port, int)
                             or not 0 < port < 65536):
        raise ValueError("port must be a number from 1 to 65535, not %r" % (port,))
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
                            known_hosts=known_hosts, options=ssh_options)
        else:
            argv = telnet_argv(host, port)

    kwargs = {"hostname": hostname} if hostname is not None else {"learn_hostname": True}
    machine = build_machine(platform, **kwargs)
    fields = AttributeDict(context or {})
    fields.update(secrets or {})
    spawn = Spawn(argv, timeout=timeout, logfile=log, context=fields,
                  secrets=[password, *(secrets or {}).values()])
    if transport == "telnet":
        spawn.linesep = "\r"  # Enter, as a telnet client in character mode sends it
    try:
        _log_in(machine, spawn, Login(host, username, password, host_keys), fields, timeout,
                wait_first=transport != "command")
        connection = Connection(machine, spawn, fields, timeout, host)
        _run_connect_commands(connection)
    except BaseException:
        spawn.close()
        raise
    logger.info("connected to %s: state %s, hostname %s", host or spawn.command_text,
                connection.state, connection.hostname)
    return connection


def _log_in(machine: Any, spawn: Spawn, login: Login, context: Mapping[str, Any],
            timeout: float, wait_first: bool) -> None:
    """Logs in and recognises the device's state (learning its hostname when asked)."""
    if wait_first:
        await_first_prompt(spawn, machine, login, timeout, context)
    try:
        machine.go_to("any", spawn, context=context, dialog=Dialog(login.statements()),
                      timeout=timeout, prompt_recovery=True)
    except StateMachineError as err:
        failure = _login_failure(err, login)
        if failure is err:
            raise
        raise failure from None


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
        result = connection.execute(step.command, state=step.state)
        if result.failed:
            logger.warning("connect command %r failed on %s: %s",
                                                step.command, connection.host or "the device",
                                                result.failure)
