"""Simulated devices over ssh: one process and one event loop serve a fleet of them.

``tessel sim PLATFORM --ssh HOST:PORT [--password PW] [--host-key FILE]``
listens with an asyncssh server. The login name picks the device and is its
hostname: ``ssh -p PORT R7@HOST`` reaches the device ``R7``, made on its
first login with the options of ``tessel sim`` and kept until the server
stops, so a later session finds it in the mode the last one left it in, with
the configuration it was given. A device holds one session at a time; a
second session while the first is open is refused with a reason the client
shows.

Each session runs the simulator of :mod:`tessel.sim.platform_sim` in a
greenlet (:func:`~tessel.eal.bridge.greenlet_spawn`): its console
(:class:`ChannelConsole`) awaits the channel wherever the simulator reads,
so thousands of sessions share the loop with neither a process nor a
thread each. asyncssh's line editor gives the session's pty its echo, line
editing and Ctrl-C; the console switches the echo off for secrets and reads
single keys at the pager.

With ``--password`` every device asks it (password or keyboard-interactive);
without, no login asks for anything. Without ``--host-key`` the server makes
an Ed25519 key in a temporary directory, removed when it stops. On start it
prints ``listening on HOST:PORT`` and the known_hosts line of its key on
standard output; SIGINT or SIGTERM stop it.
"""
import asyncio
import contextlib
import hmac
import os
import shutil
import signal
import tempfile
import traceback
import warnings
from typing import Any, Callable, Dict, Iterator, List, Optional, Set, TextIO, Tuple

from tessel.eal.bridge import await_only, greenlet_spawn, wait_done
from tessel.sim.platform_sim import Console, EndOfSession, PlatformSimulator

with warnings.catch_warnings():
    # The cryptography package warns, at asyncssh's import, about key types no device needs.
    warnings.simplefilter("ignore")
    import asyncssh

#: The longest line the session's line editor takes (it drops what goes beyond).
MAX_LINE = 1 << 16
#: How long stopping waits for the sessions to end once their connections are closed.
STOP_WAIT = 5.0
KEY_TYPE = "ssh-ed25519"
#: Connections waiting to be accepted: a fleet logs in by the thousand at once.
BACKLOG = 4096

#: Makes the device of a login name, with its console.
DeviceFactory = Callable[[str], PlatformSimulator]


def check_name(name: str) -> Optional[str]:
    """Why ``name`` cannot name a device (it is its hostname, shown in every prompt), or None."""
    if not name:
        return "an empty login name names no device: log in as the device's hostname (R1@host)"
    if any(c.isspace() or not c.isprintable() for c in name):
        return "a login name with blanks or control characters names no device"
    return None


class ChannelConsole(Console):
    """A simulator's console on an ssh channel: the session hands in what arrives, the simulator
    reads it from its greenlet, where each wait awaits the loop."""

    def __init__(self, channel: Any) -> None:
        self.channel = channel
        #: A pty was requested: the channel has asyncssh's line editor.
        self.terminal = False
        self._loop = asyncio.get_running_loop()
        self._input = ""
        self._ended = False
        self._interrupted = False
        self._lost: "asyncio.Future[None]" = self._loop.create_future()
        self._waiter: Optional["asyncio.Future[None]"] = None
        self._writable: Optional["asyncio.Future[None]"] = None

    # -- the session's side, on the loop ---------------------------------------------------

    def received(self, data: str) -> None:
        self._input += data
        self._wake()

    def end(self) -> None:
        """The input ended: what was typed is still read, then the session ends."""
        self._ended = True
        self._wake()

    def lost(self) -> None:
        """The channel closed: nothing more can be shown."""
        self._ended = True
        if not self._lost.done():
            self._lost.set_result(None)
        self.resume_writing()
        self._wake()

    def interrupt(self) -> None:
        """Ctrl-C: what was typed and not read is dropped, and the read in progress is abandoned."""
        self._input = ""
        self._interrupted = True
        if self.terminal:
            self.channel.clear_input()
        self._wake()

    def pause_writing(self) -> None:
        if self._writable is None:
            self._writable = self._loop.create_future()

    def resume_writing(self) -> None:
        if self._writable is not None:
            if not self._writable.done():
                self._writable.set_result(None)
            self._writable = None

    def _wake(self) -> None:
        if self._waiter is not None and not self._waiter.done():
            self._waiter.set_result(None)

    # -- the simulator's side, in its greenlet -------------------------------------------

    def _wait(self) -> None:
        if self._interrupted:
            self._interrupted = False
            raise KeyboardInterrupt()
        self._waiter = self._loop.create_future()
        try:
            await_only(self._waiter)
        finally:
            self._waiter = None

    def write(self, text: str) -> None:
        if self._lost.done():
            raise EndOfSession()
        try:
            self.channel.write(text)
        except OSError:  # the channel is closing
            raise EndOfSession() from None
        if self._writable is not None:
            await_only(self._writable)  # also done when the channel closes

    def readline(self) -> str:
        while True:
            line, end, rest = self._input.partition("\n")
            if end or (self._ended and line):
                self._input = rest
                return line.rstrip("\r")
            if self._ended:
                raise EndOfSession()
            self._wait()

    def read_key(self) -> str:
        while not self._input:
            if self._ended:
                raise EndOfSession()
            self._wait()
        key, self._input = self._input[0], self._input[1:]
        if key == "\x03":
            raise KeyboardInterrupt()
        return key

    @contextlib.contextmanager
    def unechoed(self) -> Iterator[bool]:
        if not self.terminal:
            yield False
            return
        self.channel.set_echo(False)
        try:
            yield False  # the line editor shows the line end itself
        finally:
            if not self._lost.done():
                self.channel.set_echo(True)

    @contextlib.contextmanager
    def single_keys(self) -> Iterator[None]:
        if not self.terminal:
            yield
            return
        self.channel.set_line_mode(False)
        try:
            yield
        finally:
            if not self._lost.done():
                self.channel.set_line_mode(True)

    def pause(self, seconds: float) -> None:
        await_only(wait_done(self._lost, seconds))


class Fleet:
    """The devices of a server, one per login name, each made on its first login."""

    def __init__(self, make: DeviceFactory) -> None:
        self.make = make
        self.devices: Dict[str, PlatformSimulator] = {}
        #: The devices that have run a session: a new one resumes where it left off.
        self.started: Set[str] = set()
        self.busy: Set[str] = set()
        self.connections: Set[Any] = set()
        self.sessions: Set["asyncio.Task[None]"] = set()

    def take(self, name: str) -> PlatformSimulator:
        """The device ``name`` for a new session; ChannelOpenError while another one has it."""
        if name in self.busy:
            raise asyncssh.ChannelOpenError(
                asyncssh.OPEN_ADMINISTRATIVELY_PROHIBITED,
                "%s has a session open already: one session per device" % name)
        device = self.devices.get(name)
        if device is None:
            device = self.devices[name] = self.make(name)
        self.busy.add(name)
        return device

    def release(self, name: str) -> None:
        self.busy.discard(name)


class _Session(asyncssh.SSHServerSession[str]):
    """One interactive session of a device: a shell request runs the device's console."""

    def __init__(self, fleet: Fleet, name: str, device: PlatformSimulator) -> None:
        self.fleet = fleet
        self.name = name
        self.device = device
        self.console: Optional[ChannelConsole] = None
        self.task: Optional["asyncio.Task[None]"] = None

    def connection_made(self, chan: Any) -> None:
        self.console = ChannelConsole(chan)

    def pty_requested(self, term_type: str, term_size: Tuple[int, int, int, int],
                      term_modes: Any) -> bool:
        assert self.console is not None
        self.console.terminal = True
        return True

    def shell_requested(self) -> bool:
        return True

    def session_started(self) -> None:
        task = asyncio.ensure_future(self._serve())
        self.task = task
        self.fleet.sessions.add(task)
        task.add_done_callback(self.fleet.sessions.discard)

    async def _serve(self) -> None:
        assert self.console is not None
        console = self.console
        status = 1
        resume = self.name in self.fleet.started
        self.fleet.started.add(self.name)
        self.device.console = console
        try:
            status = await greenlet_spawn(self.device.run, resume)
        except Exception:  # a fault of the simulator ends its session, not the server
            traceback.print_exc()
            with contextlib.suppress(Exception):
                console.channel.write("\n% the simulator failed; see the server's output\n")
        finally:
            self.fleet.release(self.name)
        with contextlib.suppress(OSError):
            console.channel.exit(status)

    def data_received(self, data: str, datatype: Any) -> None:
        assert self.console is not None
        self.console.received(data)

    def eof_received(self) -> bool:
        assert self.console is not None
        self.console.end()
        return True  # the device may still answer what was typed

    def soft_eof_received(self) -> None:
        assert self.console is not None
        self.console.end()  # Ctrl-D on an empty line, as a terminal's end of input

    def break_received(self, msec: int) -> bool:
        assert self.console is not None
        self.console.interrupt()
        return True

    def signal_received(self, signal: str) -> None:
        if signal == "INT" and self.console is not None:
            self.console.interrupt()

    def pause_writing(self) -> None:
        if self.console is not None:
            self.console.pause_writing()

    def resume_writing(self) -> None:
        if self.console is not None:
            self.console.resume_writing()

    def connection_lost(self, exc: Optional[Exception]) -> None:
        if self.console is not None:
            self.console.lost()
        if self.task is None:
            self.fleet.release(self.name)


class _Server(asyncssh.SSHServer):
    """One client connection: the login name picks the device, the password is checked."""

    def __init__(self, fleet: Fleet, password: Optional[str]) -> None:
        self.fleet = fleet
        self.password = password
        #: The login name, once asyncssh has begun the login of one. It skips that step for
        #: an empty name, whose login then reaches the password check, which refuses it.
        self.name: Optional[str] = None
        self.connection: Any = None

    def connection_made(self, conn: Any) -> None:
        self.connection = conn
        self.fleet.connections.add(conn)

    def connection_lost(self, exc: Optional[Exception]) -> None:
        self.fleet.connections.discard(self.connection)

    def _check(self, username: str) -> None:
        problem = check_name(username)
        if problem is not None:
            raise asyncssh.IllegalUserName(problem)

    def begin_auth(self, username: str) -> bool:
        self._check(username)
        self.name = username
        return self.password is not None

    def password_auth_supported(self) -> bool:
        return self.password is not None or self.name is None

    def validate_password(self, username: str, password: str) -> bool:
        self._check(username)
        return self.password is not None and hmac.compare_digest(
            password.encode("utf-8"), self.password.encode("utf-8"))

    def session_requested(self) -> _Session:
        name = self.name or ""
        problem = check_name(name)
        if problem is not None:
            raise asyncssh.ChannelOpenError(asyncssh.OPEN_ADMINISTRATIVELY_PROHIBITED, problem)
        return _Session(self.fleet, name, self.fleet.take(name))


# -- the server --------------------------------------------------------------------------------

def parse_address(text: str) -> Tuple[str, int]:
    """``HOST:PORT`` (``[ADDRESS]:PORT`` for IPv6) as (host, port); ValueError for anything else."""
    host, sep, port = text.rpartition(":")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not sep or not host or not port.isdigit() or int(port) > 65535:
        raise ValueError("--ssh takes HOST:PORT (PORT 0: a free port), not %r" % text)
    return host, int(port)


def endpoint(host: str, port: int) -> str:
    """``HOST:PORT``, an IPv6 address in brackets."""
    return "[%s]:%d" % (host, port) if ":" in host else "%s:%d" % (host, port)


def host_pattern(host: str, port: int) -> str:
    """How known_hosts names ``host`` on ``port``."""
    return host if port == 22 else "[%s]:%d" % (host, port)


def known_hosts_line(key: Any, addresses: List[Tuple[str, int]]) -> str:
    public = key.convert_to_public()
    public.set_comment(None)
    names = ",".join(dict.fromkeys(host_pattern(host, port) for host, port in addresses))
    return "%s %s" % (names, public.export_public_key("openssh").decode("ascii").strip())


def load_host_key(path: Optional[str]) -> Tuple[Any, Optional[str]]:
    """The server's key, read from ``path`` or made anew in a temporary directory (returned,
    for removal at the end)."""
    if path is not None:
        try:
            return asyncssh.read_private_key(path), None
        except (OSError, ValueError, asyncssh.KeyImportError) as err:
            raise ValueError("cannot read the host key %s: %s" % (path, err)) from None
    directory = tempfile.mkdtemp(prefix="tessel-sim-")
    key = asyncssh.generate_private_key(KEY_TYPE)
    key.write_private_key(os.path.join(directory, "host_key"))  # mode 0600
    key.write_public_key(os.path.join(directory, "host_key.pub"))
    return key, directory


def share_line_editor_patterns() -> None:
    """Makes asyncssh's line editor build its pattern of plain characters once per key map.

    Each session's editor builds, as it starts, the pattern of the printable
    characters that no key is bound to, testing the first 65 536 characters
    one by one: some 10 ms of CPU, most of what a login costs this server.
    The pattern follows from the keys bound (the key map's first characters)
    alone, so editors with the same keys share it. Nothing is changed when
    the editor is not built as this expects.
    """
    from asyncssh import editor

    build = getattr(editor.SSHLineEditor, "_build_printable", None)
    if build is None or getattr(build, "shared", False):
        return
    built: Dict[frozenset[str], Any] = {}

    def shared_build(self: Any) -> None:
        keymap = getattr(self, "_keymap", None)
        if not isinstance(keymap, dict):
            build(self)
            return
        keys = frozenset(keymap)
        pattern = built.get(keys)
        if pattern is None:
            build(self)
            built[keys] = pattern = self._printable
        self._printable = pattern

    shared_build.shared = True  # type: ignore[attr-defined]
    editor.SSHLineEditor._build_printable = shared_build  # type: ignore[method-assign]


async def serve(make: DeviceFactory, host: str, port: int, password: Optional[str] = None,
                host_key: Any = None, out: Optional[TextIO] = None,
                stop: Optional[asyncio.Event] = None) -> int:
    """Serves devices made by ``make`` on ``host``:``port`` until ``stop`` is set (by default:
    SIGINT or SIGTERM). Prints where it listens and the known_hosts line to ``out``."""
    from tessel.fleet import raise_open_file_limit

    raise_open_file_limit(10000)
    share_line_editor_patterns()
    loop = asyncio.get_running_loop()
    fleet = Fleet(make)
    server = await asyncssh.create_server(
        lambda: _Server(fleet, password), host, port, server_host_keys=[host_key],
        line_editor=True, line_history=0, max_line_length=MAX_LINE, encoding="utf-8",
        errors="replace", reuse_address=True, backlog=BACKLOG)
    addresses = [(str(address[0]), int(address[1])) for address in server.get_addresses()]
    if out is not None:
        for address, number in addresses:
            out.write("listening on %s\n" % endpoint(address, number))
        out.write(known_hosts_line(host_key, addresses) + "\n")
        out.flush()
    handled: List[signal.Signals] = []
    if stop is None:
        stop = asyncio.Event()
        for signum in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(signum, stop.set)
            handled.append(signum)
    try:
        await stop.wait()
    finally:
        for signum in handled:
            loop.remove_signal_handler(signum)
        server.close()
        # Connections first: from 3.12 on, waiting for a closed server also waits for
        # every connection it accepted.
        for connection in list(fleet.connections):
            connection.close()
        try:
            await asyncio.wait_for(server.wait_closed(), STOP_WAIT)
        except asyncio.TimeoutError:
            pass  # a connection that does not close in time is dropped with the process
        if fleet.sessions:
            await asyncio.wait(list(fleet.sessions), timeout=STOP_WAIT)
    return 0


def run_server(make: DeviceFactory, host: str, port: int, host_key: Any,
               key_directory: Optional[str] = None, password: Optional[str] = None,
               out: Optional[TextIO] = None) -> int:
    """``tessel sim --ssh``: serves until SIGINT or SIGTERM, then removes ``key_directory``."""
    try:
        return asyncio.run(serve(make, host, port, password, host_key, out))
    finally:
        if key_directory is not None:
            shutil.rmtree(key_directory, ignore_errors=True)
