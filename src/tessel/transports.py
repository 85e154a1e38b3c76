"""How a session with a device opens: the ssh and telnet clients, and the login.

The argv builders start the clients the way a user would from a shell, with
the options that a script needs (a connect timeout, keep-alives, one
password prompt, no connection sharing, a host-key policy). :class:`Login`
answers what a client or device asks before the first prompt (a host-key
question, a username, a password) and turns a refusal into an error at once.
:func:`await_first_prompt` waits for that first prompt without sending
anything unasked, so that an Enter typed too early never answers a password
question.
"""
import functools
import math
import re
import sys
import time
from typing import Any, Callable, List, Mapping, NoReturn, Optional, Sequence, Tuple

from tessel.core.errors import (AuthenticationError, ConnectError, ExpectTimeoutError,
                                HostKeyError, SessionClosedError)
from tessel.eal.dialogs import Statement

TRANSPORTS = ("ssh", "telnet", "command", "asyncssh")
HOST_KEY_POLICIES = ("strict", "accept-new", "off")
DEFAULT_PORTS = {"ssh": 22, "telnet": 23}

#: ssh keep-alives: a message every this many seconds, and the session is given up
#: after this many of them go unanswered.
KEEPALIVE_INTERVAL = 15
KEEPALIVE_COUNT = 3

# What clients and devices print before the first prompt. ``$`` without
# MULTILINE: a question is the last thing printed, the client waits after it.
HOST_KEY_QUESTION = r"continue connecting \(yes/no[^)\n]*\)\?\s*$"
HOST_KEY_FAILED = r"Host key verification failed\.?"
KEY_PASSPHRASE = r"Enter passphrase for key '[^'\n]*':\s*$"
USERNAME_QUESTION = r"(?i)(?:user ?name|login)\s*:\s*$"
PASSWORD_QUESTION = r"(?i)password[^\n:]*:\s*$"
#: A refused login, as ssh, telnet servers and devices say it: at a line start, and
#: "Access denied" only as a device's "% " message, so that a banner that merely speaks of
#: access is not taken for a refusal.
LOGIN_REFUSED = (r"(?m)^(?:\S+: )?(?:Permission denied\b|Login incorrect|Login invalid"
                 r"|%? ?Authentication failed|% ?Access denied|Received disconnect from [^\r\n]*"
                 r"Too many authentication failures)[^\r\n]*")
#: Lines of the telnet client that are progress, not the reason for a failure.
CLIENT_CHATTER = ("Trying ", "Connected to ", "Escape character is ")
#: The ssh client's goodbye after a session on a pty, which follows the reason.
SSH_GOODBYE = re.compile(r"Connection to \S+ closed\.")


def ssh_argv(host: str, *, port: Optional[int] = None, username: Optional[str] = None,
             key_file: Optional[str] = None, connect_timeout: float = 10.0,
             host_keys: str = "strict", known_hosts: Optional[str] = None,
             options: Sequence[str] = ()) -> List[str]:
    """The system ssh client's command line for an interactive session with ``host``.

    ``options`` (such as ``["-o", "Ciphers=..."]`` or ``["-F", "my_config"]``)
    come first: for each setting ssh uses the first value it is given, so they
    override the ones set here. The user's ssh configuration is read as usual.
    """
    argv = ["ssh", *options]
    if port is not None:
        argv += ["-p", str(port)]
    if username:
        argv += ["-l", username]
    if key_file:
        argv += ["-i", key_file, "-o", "IdentitiesOnly=yes"]
    argv += ["-o", "ConnectTimeout=%d" % max(1, math.ceil(connect_timeout)),
             "-o", "ServerAliveInterval=%d" % KEEPALIVE_INTERVAL,
             "-o", "ServerAliveCountMax=%d" % KEEPALIVE_COUNT,
             # A master connection of the user's configuration would outlive this session,
             # and a shared one would skip the login this module expects.
             "-o", "ControlMaster=no", "-o", "ControlPath=none",
             # One password question: a refused password ends the login at once.
             "-o", "NumberOfPasswordPrompts=1",
             # Devices do not take Kerberos logins; trying one first only costs time.
             "-o", "GSSAPIAuthentication=no"]
    argv += host_key_options(host_keys, known_hosts)
    return argv + ["--", host]


def host_key_options(policy: str, known_hosts: Optional[str] = None) -> List[str]:
    if policy == "off":
        # Nothing is checked nor recorded: anyone in the middle is accepted.
        return ["-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
                "-o", "GlobalKnownHostsFile=/dev/null"]
    options = ["-o", "StrictHostKeyChecking=%s" % ("yes" if policy == "strict" else "accept-new")]
    if known_hosts:
        options += ["-o", "UserKnownHostsFile=%s" % known_hosts]
    return options


def asyncssh_child(host: str, *, port: Optional[int] = None, username: Optional[str] = None,
                   password: Optional[str] = None, key_file: Optional[str] = None,
                   connect_timeout: float = 10.0, host_keys: str = "strict",
                   known_hosts: Optional[str] = None,
                   options: Sequence[str] = ()) -> Tuple[List[str], Callable[..., Any]]:
    """The transport "asyncssh": the argv a spawn shows, and the factory of its ssh session."""
    if options:
        raise ValueError("ssh_options are options of the system ssh client; "
                         "transport='asyncssh' takes none")
    try:
        from tessel.eal.sshchild import SshChild, SshLogin
    except ImportError as err:
        if err.name != "asyncssh":
            raise
        raise ImportError("transport='asyncssh' needs asyncssh: pip install 'tessel[asyncssh]'",
                          name="asyncssh") from None
    login = SshLogin(host, port, username, password, key_file, host_keys, known_hosts,
                     connect_timeout)
    return login.argv(), functools.partial(SshChild, login)


def pty_child() -> Optional[Callable[..., Any]]:
    """The child of a transport on a pty: read through the event loop inside ``aconnect``.

    None (a spawn's default child) elsewhere.
    """
    bridge = sys.modules.get("tessel.eal.bridge")  # no bridge greenlet before its import
    if bridge is None or not bridge.in_bridge():
        return None
    from tessel.eal.looppty import LoopPtySpawn

    return LoopPtySpawn


def telnet_argv(host: str, port: Optional[int] = None) -> List[str]:
    """The system telnet client's command line: 8-bit clean, no escape character."""
    return ["telnet", "-8", "-E", host, str(port if port is not None else DEFAULT_PORTS["telnet"])]


def check_host(host: Any) -> str:
    """``host`` when it is a host name or address a client can take as one argument."""
    if not isinstance(host, str) or not host:
        raise ValueError("host must be a non-empty str, not %r" % (host,))
    if host.startswith("-") or any(c.isspace() or ord(c) < 32 for c in host):
        raise ValueError("%r is not a host name or address" % host)
    return host


# -- login ---------------------------------------------------------------------------------

class Login:
    """The questions asked before the device's first prompt, and what to answer.

    Its statements (see :meth:`statements`) answer a username and a password
    question once each, and answer ssh's host-key question as the policy
    says. A second password question, a refusal message, a host-key failure
    and a question nobody can answer raise :class:`AuthenticationError` or
    :class:`HostKeyError` from the statement's action, so a refused login
    ends at once instead of waiting for a prompt that never comes.

    ``carried``: the credentials that the transport itself hands over
    (``"username"``, ``"password"``): the ssh client takes the username on
    its command line, asyncssh both.
    """

    def __init__(self, host: Optional[str], username: Optional[str] = None,
                 password: Optional[str] = None, host_keys: str = "strict",
                 carried: Sequence[str] = ()) -> None:
        self.host = host
        self.username = username
        self.password = password
        self.host_keys = host_keys
        self.carried = frozenset(carried)
        self.usernames_sent = 0
        self.passwords_sent = 0

    def questions_over(self) -> bool:
        """True when the login has nothing left to answer: each credential given was typed at
        its question, or handed to the transport, which logs in with it before the session
        starts.

        Then only a second login of the device's own, inside the session, could still
        ask something; and a second password question fails the login anyway, as every
        question asked again does.
        """
        return ((self.username is None or "username" in self.carried or self.usernames_sent > 0)
                and (self.password is None or "password" in self.carried
                     or self.passwords_sent > 0))

    @property
    def where(self) -> str:
        return self.host or "the device"

    def statements(self) -> List[Statement]:
        return [
            Statement(HOST_KEY_QUESTION, self._host_key_question, loop_continue=True),
            Statement(HOST_KEY_FAILED, self._host_key_failed),
            Statement(LOGIN_REFUSED, self._refused),
            Statement(KEY_PASSPHRASE, self._passphrase),
            Statement(USERNAME_QUESTION, self._username, loop_continue=True),
            Statement(PASSWORD_QUESTION, self._password, loop_continue=True),
        ]

    # -- actions ----------------------------------------------------------------------

    def _host_key_question(self, spawn: Any) -> None:
        if self.host_keys == "strict":
            spawn.sendline("no")
            raise HostKeyError("the host key of %s is not known, and host_keys='strict' "
                               "accepts known keys only" % self.where, self.host,
                               _seen(spawn))
        spawn.sendline("yes")

    def _host_key_failed(self, spawn: Any) -> NoReturn:
        raise host_key_error(self.host, _seen(spawn), self.host_keys)

    def _refused(self, spawn: Any) -> NoReturn:
        match = getattr(spawn, "match", None)
        line = match.text.strip() if match is not None else "refused"
        raise AuthenticationError("%s refused the login%s: %s"
                                  % (self.where, self._as_user(), _mask(spawn, line)),
                                  self.host, _seen(spawn))

    def _passphrase(self, spawn: Any) -> NoReturn:
        raise AuthenticationError("the key file needs its passphrase, which tessel does not "
                                  "type: load the key into ssh-agent", self.host, _seen(spawn))

    def _username(self, spawn: Any) -> None:
        if self.username is None:
            raise AuthenticationError("%s asks for a username and none was given" % self.where,
                                      self.host, _seen(spawn))
        if self.usernames_sent:
            raise AuthenticationError("%s refused the login%s: it asks for the username again"
                                      % (self.where, self._as_user()), self.host, _seen(spawn))
        self.usernames_sent += 1
        spawn.sendline(self.username)

    def _password(self, spawn: Any) -> None:
        if self.password is None:
            raise AuthenticationError("%s asks for a password and none was given" % self.where,
                                      self.host, _seen(spawn))
        if self.passwords_sent:
            raise AuthenticationError("%s refused the login%s: it asks for the password again"
                                      % (self.where, self._as_user()), self.host, _seen(spawn))
        self.passwords_sent += 1
        spawn.sendline(self.password)

    def _as_user(self) -> str:
        return " as %s" % self.username if self.username else ""


def _mask(spawn: Any, text: str) -> str:
    mask = getattr(spawn, "mask", None)
    return mask(text) if mask is not None else text


def _seen(spawn: Any) -> str:
    """What the device printed up to the current match, secrets masked."""
    match = getattr(spawn, "match", None)
    return _mask(spawn, getattr(match, "match_output", "") or "")


def host_key_error(host: Optional[str], output: str, policy: str,
                   changed: Optional[bool] = None) -> HostKeyError:
    """The error for a refused host key; ``changed`` (default: read from ``output``) tells a
    changed key from an unknown one."""
    where = host or "the device"
    if changed is None:
        changed = "IDENTIFICATION HAS CHANGED" in output or "has changed" in output
    if changed:
        return HostKeyError("the host key of %s has changed since it was recorded in "
                            "known_hosts: someone may be in the middle, or the device was "
                            "replaced (check, then remove the old key with ssh-keygen -R)"
                            % where, host, output)
    return HostKeyError("the host key of %s is not known, and host_keys=%r accepts known "
                        "keys only (add it to known_hosts, or use host_keys='accept-new')"
                        % (where, policy), host, output)


def closed_error(host: Optional[str], output: str, policy: str = "strict") -> ConnectError:
    """The error for a client that ended before the device's first prompt, from what it said."""
    if re.search(HOST_KEY_FAILED, output):
        return host_key_error(host, output, policy)
    refused = re.search(LOGIN_REFUSED, output)
    where = host or "the device"
    if refused:
        return AuthenticationError("%s refused the login: %s" % (where, refused.group(0).strip()),
                                   host, output)
    lines = [line.strip() for line in re.split(r"[\r\n]+", output)]
    said = [line for line in lines if line and not line.startswith(CLIENT_CHATTER)
            and not SSH_GOODBYE.fullmatch(line)]
    if host is None:
        return ConnectError("the device did not show a known prompt: the session ended%s"
                            % ("; last output %r" % said[-1][-80:] if said else ""), host, output)
    reason = said[-1] if said else "the session ended before a prompt appeared"
    return ConnectError("cannot connect to %s: %s" % (where, reason), host, output)


def prompt_lookaheads(machine: Any) -> List["re.Pattern[str]"]:
    """Patterns that find where a state's prompt starts, without consuming it.

    A prompt is the last line, with no line break after it: the device waits
    for input there. So a banner line such as ``Router>`` is not taken for
    one. A pattern that does not compile is left out: recognising the state
    reports it with the state it belongs to.
    """
    found = []
    for state in machine.states:
        pattern = state.pattern
        flags = re.match(r"\(\?[aiLmsux]+\)", pattern)
        prefix = flags.group(0) if flags else ""
        try:
            found.append(re.compile(r"%s(?=%s)(?=[^\r\n]*\Z)" % (prefix, pattern[len(prefix):]),
                                    re.MULTILINE))
        except re.error:
            continue
    return found


def await_first_prompt(spawn: Any, machine: Any, login: Login, timeout: float,
                       context: Optional[Mapping[str, Any]] = None, quiet: float = 0.5) -> bool:
    """Answers the login questions until a state's prompt is in the output; sends nothing else.

    Stops in front of the prompt (it stays unread, for the state to be
    recognised from it) and returns True; returns False when no prompt came
    in ``timeout`` seconds since the last question answered, or when the
    output stopped for about ``quiet`` seconds without one (a console that
    waits for Enter). Raises the login's errors, and :func:`closed_error`'s
    when the client ends first.
    """
    statements = login.statements()
    patterns = [statement.pattern for statement in statements] + prompt_lookaheads(machine)
    deadline = time.monotonic() + timeout
    seen_size = -1
    while True:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return False
        try:
            match = spawn.expect(patterns, timeout=min(quiet, remaining))
        except ExpectTimeoutError:
            size = len(spawn.buffer)
            if size and size == seen_size:
                return False
            seen_size = size
            continue
        except SessionClosedError as err:
            raise closed_error(login.host, err.output, login.host_keys) from None
        if match.index >= len(statements):
            return True
        statements[match.index].run_action(spawn, context)
        deadline = time.monotonic() + timeout
        seen_size = -1
