"""The transport "asyncssh": an in-process ssh session with the interface of a pexpect child.

:class:`SshChild` is what :class:`~tessel.eal.spawn.Spawn` reads and writes
when the transport is ``asyncssh``: an asyncssh client connection with one
interactive session on a pty of the spawn's size, logged in with a password
(also through keyboard-interactive) or keys, host keys checked against the
same known_hosts files as the system client, keep-alives as the system
client sends them. A refused login is an ``AuthenticationError``, a host-key
problem a ``HostKeyError``, any other failure to connect a ``ConnectError``.

Every asyncssh connection belongs to one event loop. Opened inside a
function run by :func:`~tessel.eal.bridge.greenlet_spawn` (``aconnect``),
the session lives on that running loop and its waits are awaited there.
Opened by the blocking ``connect``, it lives on a loop that one background
thread runs for all such sessions; the caller's thread then waits on a
condition that the loop signals when output arrives. Either way output is
decoded once, by asyncssh, and kept until it is read.
"""
import asyncio
import logging
import os
import signal
import socket
import threading
import warnings
from dataclasses import dataclass, field
from typing import Any, Callable, Coroutine, Dict, List, Optional, Sequence, Tuple, TypeVar

import pexpect

from tessel.core.errors import AuthenticationError, ConnectError, HostKeyError
from tessel.eal.bridge import await_only, in_bridge, wait_done
from tessel.transports import KEEPALIVE_COUNT, KEEPALIVE_INTERVAL, host_key_error

with warnings.catch_warnings():
    # The cryptography package warns, at asyncssh's import, about key types no device needs.
    warnings.simplefilter("ignore")
    import asyncssh

log = logging.getLogger(__name__)

T = TypeVar("T")

#: The terminal type the session's pty announces: plain, known to every device.
TERM_TYPE = "vt100"
#: Output held unread past this many characters stops the reading from the server until
#: it is read, as a full pty stops the system client.
HELD_LIMIT = 1 << 20
#: How long closing waits for the server to take the disconnect.
CLOSE_WAIT = 2.0
#: The order in which login methods are tried: keys, then the password (as a server's
#: keyboard-interactive question or as the password method). No Kerberos, as for the system
#: client.
PREFERRED_AUTH = "publickey,keyboard-interactive,password"
#: Ciphers offered before asyncssh's other defaults: AES-GCM is one call into OpenSSL per
#: packet (with the processor's AES instructions), where asyncssh's chacha20-poly1305 takes
#: several calls from Python; in a fleet on one loop that is a fifth of the client's CPU.
PREFERRED_CIPHERS = ("aes128-gcm@openssh.com", "aes256-gcm@openssh.com")
#: known_hosts files read besides the user's, as the system client reads them.
GLOBAL_KNOWN_HOSTS = ("/etc/ssh/ssh_known_hosts", "/etc/ssh/ssh_known_hosts2")
DEFAULT_PORT = 22


@dataclass(frozen=True)
class SshLogin:
    """Where an asyncssh session connects and how it logs in (the password kept out of repr)."""

    host: str
    port: Optional[int] = None
    username: Optional[str] = None
    password: Optional[str] = field(default=None, repr=False)
    key_file: Optional[str] = None
    host_keys: str = "strict"
    known_hosts: Optional[str] = None
    connect_timeout: float = 10.0

    @property
    def port_number(self) -> int:
        return self.port if self.port is not None else DEFAULT_PORT

    def argv(self) -> List[str]:
        """What the spawn shows as its command: the transport and the target."""
        target = "%s@%s" % (self.username, self.host) if self.username else self.host
        return ["asyncssh", target] + ([] if self.port is None else ["port", str(self.port)])


# -- host keys -----------------------------------------------------------------------------

class HostKeyPolicy:
    """The host-key policy of one login, against the known_hosts files of the system client.

    ``known()`` gives asyncssh the recorded keys; asyncssh asks
    :meth:`validate` about any other key. ``problem`` then tells why a key
    was refused ("unknown", "changed"), and accept-new appends a new host's
    key to the user's file, as the system client does.
    """

    def __init__(self, policy: str, known_hosts: Optional[str]) -> None:
        self.policy = policy
        self.path = known_hosts or os.path.expanduser(os.path.join("~", ".ssh", "known_hosts"))
        self.problem: Optional[str] = None
        self._known: Any = None

    def known(self) -> Any:
        """The keys asyncssh trusts (None: every key, for the policy "off")."""
        if self.policy == "off":
            return None
        texts = []
        for path in (self.path, *GLOBAL_KNOWN_HOSTS):
            try:
                with open(path, encoding="utf-8", errors="replace") as handle:
                    texts.append(handle.read())
            except FileNotFoundError:
                continue
            except OSError as err:
                raise ConnectError("cannot read the known_hosts file %s: %s"
                                   % (path, err.strerror or err)) from None
        try:
            self._known = asyncssh.import_known_hosts("\n".join(texts))
        except ValueError as err:
            raise ConnectError("cannot read the known_hosts files (%s): %s"
                               % (", ".join((self.path, *GLOBAL_KNOWN_HOSTS)), err)) from None
        return self._known

    def validate(self, host: str, addr: str, port: int, key: Any) -> bool:
        """Whether a key that known_hosts does not hold for ``host`` is accepted."""
        recorded = self._known.match(host, addr, port if port != DEFAULT_PORT else None)[0]
        if recorded:
            self.problem = "changed"
            return False
        if self.policy != "accept-new":
            self.problem = "unknown"
            return False
        self._record(host, port, key)
        return True

    def _record(self, host: str, port: int, key: Any) -> None:
        name = host if port == DEFAULT_PORT else "[%s]:%d" % (host, port)
        public = key.convert_to_public()
        public.set_comment(None)
        line = "%s %s" % (name, public.export_public_key("openssh").decode("ascii"))
        directory = os.path.dirname(self.path)
        try:
            if directory:
                os.makedirs(directory, mode=0o700, exist_ok=True)
            with open(self.path, "a", encoding="ascii") as handle:
                handle.write(line)
        except OSError as err:
            # The system client, too, connects when it cannot record the key.
            log.warning("cannot record the host key of %s in %s: %s", name, self.path, err)
        else:
            log.info("recorded the host key of %s in %s", name, self.path)

    def error(self, host: str) -> HostKeyError:
        return host_key_error(host, "", self.policy, changed=self.problem == "changed")


def cipher_order() -> Optional[List[str]]:
    """The ciphers to offer: :data:`PREFERRED_CIPHERS` first, then the others of asyncssh's
    defaults (None: asyncssh's own order, when it does not tell its defaults)."""
    defaults = getattr(getattr(asyncssh, "encryption", None), "get_default_encryption_algs",
                       None)
    if defaults is None:
        return None
    names = [name.decode("ascii") for name in defaults()]
    first = [name for name in PREFERRED_CIPHERS if name in names]
    return first + [name for name in names if name not in first]


class _Client(asyncssh.SSHClient):
    def __init__(self, keys: HostKeyPolicy) -> None:
        self.keys = keys
        self.banner: List[str] = []

    def validate_host_public_key(self, host: str, addr: str, port: int, key: Any) -> bool:
        return self.keys.validate(host, addr, port, key)

    def auth_banner_received(self, msg: str, lang: str) -> None:
        self.banner.append(msg)


class _Session(asyncssh.SSHClientSession[str]):
    """Hands what the server sends to the child; runs on the connection's loop."""

    def __init__(self, child: "SshChild") -> None:
        self.child = child

    def data_received(self, data: str, datatype: Any) -> None:
        self.child._received(data)

    def exit_status_received(self, status: int) -> None:
        self.child.exitstatus = status

    def exit_signal_received(self, signal_name: str, core_dumped: bool, msg: str,
                             lang: str) -> None:
        self.child.signalstatus = getattr(signal, "SIG" + signal_name, None)

    def connection_lost(self, exc: Optional[Exception]) -> None:
        self.child._ended()


# -- the loop of blocking callers ----------------------------------------------------------

_background: Optional[Tuple[int, asyncio.AbstractEventLoop]] = None
_background_lock = threading.Lock()


def background_loop() -> asyncio.AbstractEventLoop:
    """The event loop that one daemon thread runs for the sessions of the blocking API."""
    global _background
    with _background_lock:
        if _background is None or _background[0] != os.getpid():
            loop = asyncio.new_event_loop()
            threading.Thread(target=loop.run_forever, name="tessel-asyncssh",
                             daemon=True).start()
            _background = (os.getpid(), loop)
        return _background[1]


def _running_loop() -> Optional[asyncio.AbstractEventLoop]:
    try:
        return asyncio.get_running_loop()
    except RuntimeError:
        return None


class _Tuning:
    """pexpect's pauses, which :class:`~tessel.eal.spawn.Spawn` sets; nothing here pauses."""

    delayafterclose = 0.0
    delayafterterminate = 0.0


# -- the child -----------------------------------------------------------------------------

class SshChild:
    """One interactive ssh session, read and written as :class:`~tessel.eal.spawn.Spawn` does a pty.

    Made as ``SshChild(login, command, args, timeout=, encoding=, dimensions=, ...)``:
    ``functools.partial(SshChild, login)`` is a spawn's child factory. Connects
    and logs in at once (see the module's text for the loop it uses).
    """

    pid: Optional[int] = None

    def __init__(self, login: SshLogin, command: str = "", args: Sequence[str] = (), *,
                 timeout: Optional[float] = 30, encoding: Optional[str] = "utf-8",
                 codec_errors: str = "strict", dimensions: Tuple[int, int] = (24, 80),
                 **_unused: Any) -> None:
        self.login = login
        self.timeout = timeout
        self.encoding = encoding or "utf-8"
        self.logfile_read: Any = None
        self.delaybeforesend: Optional[float] = None
        self.delayafterread: Optional[float] = None
        self.ptyproc = _Tuning()
        self.closed = False
        self.exitstatus: Optional[int] = None
        self.signalstatus: Optional[int] = None
        self._pending: List[str] = []
        self._held = 0
        self._paused = False
        self._eof = False
        self._arrived = threading.Condition()
        self._waiter: Optional["asyncio.Future[None]"] = None
        self._connection: Any = None
        self._channel: Any = None
        self._loop = (_running_loop() if in_bridge() else None) or background_loop()
        self._run(self._open(dimensions, codec_errors))

    # -- running on the connection's loop ----------------------------------------------

    def _here(self) -> bool:
        """True in the thread that runs the connection's loop."""
        return _running_loop() is self._loop

    def _run(self, coroutine: Coroutine[Any, Any, T]) -> T:
        if self._here():
            if in_bridge():
                return await_only(coroutine)
            coroutine.close()
            raise RuntimeError("a session opened by aconnect() is used from its event loop "
                               "outside the AsyncConnection's coroutines")
        future = asyncio.run_coroutine_threadsafe(coroutine, self._loop)
        try:
            return future.result()
        except BaseException:
            future.cancel()
            raise

    def _soon(self, callback: Callable[..., Any], *args: Any) -> None:
        if self._here():
            callback(*args)
        else:
            self._loop.call_soon_threadsafe(callback, *args)

    # -- opening -----------------------------------------------------------------------

    async def _open(self, dimensions: Tuple[int, int], codec_errors: str) -> None:
        login = self.login
        keys = HostKeyPolicy(login.host_keys, login.known_hosts)
        client = _Client(keys)
        # What is not given comes from the user's ssh configuration, as for the system client.
        options: Dict[str, Any] = {name: value for name, value in (
            ("port", login.port), ("username", login.username)) if value is not None}
        if login.key_file:
            # That key only, as the system client's IdentitiesOnly.
            options.update(client_keys=[login.key_file], agent_path=None)
        ciphers = cipher_order()
        if ciphers is not None:
            options["encryption_algs"] = ciphers
        try:
            connection = await asyncssh.connect(
                login.host, client_factory=lambda: client, password=login.password,
                known_hosts=keys.known(), preferred_auth=PREFERRED_AUTH, gss_host=None,
                connect_timeout=login.connect_timeout, keepalive_interval=KEEPALIVE_INTERVAL,
                keepalive_count_max=KEEPALIVE_COUNT, encoding=self.encoding,
                errors=codec_errors, **options)
        except Exception as err:
            raise self._connect_error(err, keys) from None
        try:
            rows, cols = dimensions
            self._channel, _session = await asyncio.wait_for(connection.create_session(
                lambda: _Session(self), term_type=TERM_TYPE, term_size=(cols, rows)),
                login.connect_timeout)
        except BaseException as err:
            connection.abort()
            if isinstance(err, Exception):
                raise ConnectError("%s accepted the login but refused a session: %s"
                                   % (login.host, _reason(err)), login.host) from None
            raise
        self._connection = connection
        if client.banner:
            # The system client prints the server's banner on the terminal before the session.
            banner = "".join(client.banner).replace("\r\n", "\n").replace("\n", "\r\n")
            self._pending.insert(0, banner)
            self._held += len(banner)

    def _connect_error(self, err: Exception, keys: HostKeyPolicy) -> ConnectError:
        login = self.login
        where = "%s port %d" % (login.host, login.port_number)
        user = " as %s" % login.username if login.username else ""
        if isinstance(err, asyncssh.HostKeyNotVerifiable):
            return keys.error(login.host)
        if isinstance(err, asyncssh.PermissionDenied):
            missing = "" if login.password is not None or login.key_file else \
                " (no password was given)"
            return AuthenticationError("%s refused the login%s: %s%s"
                                       % (login.host, user, _reason(err), missing), login.host)
        if isinstance(err, asyncssh.KeyImportError):
            if "assphrase" in str(err):
                return AuthenticationError(
                    "the key file %s needs its passphrase, which tessel does not type: leave "
                    "key_file unset to use the keys of ssh-agent" % login.key_file, login.host)
            return ConnectError("cannot read the key file %s: %s" % (login.key_file, err),
                                login.host)
        if isinstance(err, (asyncio.TimeoutError, TimeoutError)):
            return ConnectError("cannot connect to %s: no answer within %g s"
                                % (where, login.connect_timeout), login.host)
        if isinstance(err, ConnectError):
            return err
        return ConnectError("cannot connect to %s: %s" % (where, _reason(err)), login.host)

    # -- what the loop hands over ------------------------------------------------------

    def _received(self, data: str) -> None:
        with self._arrived:
            self._pending.append(data)
            self._held += len(data)
            self._arrived.notify_all()
        if self._held > HELD_LIMIT and not self._paused and self._channel is not None:
            self._paused = True
            self._channel.pause_reading()
        self._wake()

    def _ended(self) -> None:
        with self._arrived:
            self._eof = True
            self._arrived.notify_all()
        self._wake()

    def _wake(self) -> None:
        waiter = self._waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    def _resume(self) -> None:
        if self._paused and self._channel is not None:
            self._paused = False
            self._channel.resume_reading()

    # -- what Spawn uses -----------------------------------------------------------------

    def read_nonblocking(self, size: int = 1, timeout: Optional[float] = -1) -> str:
        """Up to ``size`` characters of output; pexpect's TIMEOUT or EOF as pexpect raises them."""
        if self.closed:
            raise ValueError("I/O operation on closed file.")
        wait = self.timeout if timeout == -1 else timeout
        if not self._pending and not self._eof and wait != 0:
            if self._here():
                self._waiter = self._loop.create_future()
                try:
                    await_only(wait_done(self._waiter, wait))
                finally:
                    self._waiter = None
            else:
                with self._arrived:
                    self._arrived.wait_for(lambda: self._pending or self._eof, wait)
        with self._arrived:
            if not self._pending:
                if self._eof:
                    raise pexpect.EOF("the ssh session ended")
                raise pexpect.TIMEOUT("Timeout exceeded.")
            text = "".join(self._pending)
            data, rest = text[:size], text[size:]
            self._pending = [rest] if rest else []
            self._held = len(rest)
        if self._paused and self._held < HELD_LIMIT // 2:
            self._soon(self._resume)
        if self.logfile_read is not None:
            self.logfile_read.write(data)
            self.logfile_read.flush()
        return data

    def send(self, text: str) -> int:
        """Writes ``text`` to the session; the number of bytes it takes."""
        if self.closed:
            raise ValueError("I/O operation on closed file.")
        if not self._eof:
            self._soon(self._write, text)
        return len(text.encode(self.encoding, "replace"))

    def _write(self, text: str) -> None:
        try:
            self._channel.write(text)
        except (BrokenPipeError, OSError) as err:
            # The server closed the session: the next read tells it.
            log.debug("write to a closed ssh session: %s", err)

    def isalive(self) -> bool:
        return not self.closed and not self._eof

    def close(self, force: bool = True) -> None:
        """Ends the session and its connection."""
        if self.closed:
            return
        self.closed = True
        connection = self._connection
        if connection is None:
            return
        try:
            self._run(self._close(connection))
        except RuntimeError as err:
            # The loop has ended: the connection went with it.
            log.debug("closing an ssh session without its event loop: %s", err)

    async def _close(self, connection: Any) -> None:
        connection.close()
        closing = asyncio.ensure_future(connection.wait_closed())
        await wait_done(closing, CLOSE_WAIT)
        if not closing.done():
            closing.cancel()
            connection.abort()

    def __repr__(self) -> str:
        return "SshChild(%r)" % (self.login,)


def _reason(err: BaseException) -> str:
    """An error's own words: asyncssh's reason, or the system's text for an OSError."""
    reason = getattr(err, "reason", None)
    if reason:
        return str(reason)
    if isinstance(err, socket.gaierror) and err.strerror:
        return str(err.strerror)
    if isinstance(err, OSError) and err.errno:
        return os.strerror(err.errno)  # asyncio's text names the address, which we say already
    return str(err) or type(err).__name__

