"""Real servers on loopback for the tests and benchmarks: OpenSSH's sshd and two telnet servers.

All put the simulated router (or bash, or another program) behind a real
login. sshd runs from its own configuration and host key in a temporary
directory, on a free high port of 127.0.0.1, with throwaway users whose login
shell is the simulated router; the telnet daemon of the system (inetutils'
telnetd under its inetd) hands each connection to the system's ``login`` for
throwaway users of its own; the telnet server written here (telnetlib3) asks
``Username:`` and ``Password:`` before it starts the simulated router on a pty.

Run as a script, ``python servers.py telnet ...`` is that telnet server.
"""
import argparse
import asyncio
import atexit
import os
import pwd
import re
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from typing import Any, Dict, List, Optional, Sequence, Tuple

SSHD = "/usr/sbin/sshd"
INETD = "/usr/sbin/inetutils-inetd"
TELNETD = "/usr/sbin/telnetd"
HOST = "127.0.0.1"
#: Throwaway users are named PREFIX-KIND-PID, so that runs side by side keep apart and
#: the users of a run that was killed can be told apart and removed.
USER_PREFIX = "tsl"
SIM_OPTIONS = ("--hostname", "R1", "--enable-password", "lab")
#: The bash user's login shell: bash without start files, with the prompt ``lab# ``.
BASH_PROMPT = "lab# "
BASH_SHELL = "PS1='%s' exec /bin/bash --noprofile --norc -i" % BASH_PROMPT


class Unavailable(Exception):
    """A server cannot run here (no sshd, not root, ...): the tests that need it are skipped."""


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind((HOST, 0))
        return int(sock.getsockname()[1])


def closed_port() -> int:
    """A loopback port that nothing listens on (connections to it are refused)."""
    return free_port()


def wait_for_port(port: int, process: "subprocess.Popen[bytes]", what: str,
                  limit: float = 15.0) -> None:
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise Unavailable("%s exited at start (status %s)" % (what, process.returncode))
        try:
            socket.create_connection((HOST, port), timeout=0.5).close()
            return
        except OSError:
            time.sleep(0.05)
    raise Unavailable("%s did not listen on port %d" % (what, port))


def server_environment() -> Dict[str, str]:
    """The environment of a server: without a sanitizer preloaded into it (the tests may run
    under one), which is no part of what is tested."""
    return {key: value for key, value in os.environ.items()
            if key not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}


def dying_with_parent(argv: Sequence[str]) -> List[str]:
    """``argv``, run so that it is terminated when the process that started it dies.

    util-linux's setpriv asks for the signal and execs the server; a ``preexec_fn`` would
    run Python in a forked copy of the test process, which can hang there for good when
    another thread held a lock at the fork (the sanitizer's allocator does not guard it).
    """
    setpriv = shutil.which("setpriv")
    return [setpriv, "--pdeathsig", "TERM", "--", *argv] if setpriv else list(argv)


#: Pure-Python packages the simulated router imports besides tessel (PyYAML works
#: without its C extension).
SIM_PACKAGES = ("tessel", "yaml")


def package_copy(directory: str) -> str:
    """Copies the Python sources of the tessel under test, and what its simulator imports.

    Login shells run as the throwaway users, who may not be able to read the
    checkout or the interpreter's directories of the user running the tests,
    and may run another interpreter. Returns the directory to put on PYTHONPATH.
    """
    import importlib

    root = os.path.join(directory, "lib")
    for name in SIM_PACKAGES:
        source = os.path.dirname(os.path.abspath(importlib.import_module(name).__file__ or ""))
        shutil.copytree(source, os.path.join(root, name),
                        ignore=shutil.ignore_patterns("__pycache__", "*.so", "*.pyd"))
    return root


def run_as(user: str, argv: Sequence[str], env: Optional[Dict[str, str]] = None) -> bool:
    entry = pwd.getpwnam(user)
    try:
        return subprocess.run(list(argv), user=entry.pw_uid, group=entry.pw_gid, extra_groups=[],
                              cwd="/", env=env, capture_output=True, timeout=30).returncode == 0
    except OSError:
        return False


def python_for(user: str, library: str) -> str:
    """An interpreter that ``user`` can run and that imports the simulator from ``library``."""
    env = dict(server_environment(), PYTHONPATH=library)
    candidates = [sys.executable, "/usr/bin/python3", shutil.which("python3") or ""]
    for candidate in candidates:
        if candidate and run_as(user, [candidate, "-c", "import tessel.sim.router"], env):
            return candidate
    raise Unavailable("no Python interpreter that a throwaway user can run imports the "
                      "simulated router")


def user_tool(argv: Sequence[str], stdin: Optional[str] = None, check: bool = True) -> None:
    """Runs useradd, userdel or chpasswd, again while another run holds the account files."""
    for _attempt in range(100):
        try:
            done = subprocess.run(list(argv), input=stdin, text=True, capture_output=True)
        except FileNotFoundError:
            raise Unavailable("%s is not installed" % argv[0]) from None
        if done.returncode == 0 or "lock" not in done.stderr:
            break
        time.sleep(0.1)
    if check and done.returncode != 0:
        raise Unavailable("%s failed: %s" % (argv[0], done.stderr.strip()))


def remove_leftovers() -> None:
    """Removes the throwaway users and directories of runs that were killed before cleaning up."""
    for entry in pwd.getpwall():
        found = re.fullmatch(r"%s-[a-z][a-z0-9]*-(\d+)" % USER_PREFIX, entry.pw_name)
        if found and not os.path.exists("/proc/%s" % found.group(1)):
            user_tool(["userdel", entry.pw_name], check=False)
    scratch = tempfile.gettempdir()
    for name in os.listdir(scratch):
        found = re.fullmatch(r"tessel-(?:sshd|telnetd)-(\d+)-\w+", name)
        if found and not os.path.exists("/proc/%s" % found.group(1)):
            shutil.rmtree(os.path.join(scratch, name), ignore_errors=True)


def create_user(directory: str, kind: str, shell: Optional[str], password: str,
                library: str, groups: Sequence[str] = ()) -> str:
    """Creates the throwaway user of ``kind``, whose login shell runs the ``shell`` command, in
    the supplementary ``groups``; its home and login shell lie in ``directory``.

    ``shell`` None means the simulated router.
    """
    name = "%s-%s-%d" % (USER_PREFIX, kind, os.getpid())
    home = os.path.join(directory, "home-" + kind)
    wrapper = os.path.join(directory, "shell-" + kind)
    with open(wrapper, "w", encoding="ascii") as handle:
        handle.write("#!/bin/sh\nexec /bin/false\n")
    os.chmod(wrapper, 0o755)
    user_tool(["userdel", name], check=False)
    user_tool(["useradd", "-M", "-d", home, "-s", wrapper]
              + (["-G", ",".join(groups)] if groups else []) + [name])
    try:
        os.makedirs(home)
        entry = pwd.getpwnam(name)
        os.chown(home, entry.pw_uid, entry.pw_gid)
        user_tool(["chpasswd"], stdin="%s:%s\n" % (name, password))
        if shell is None:
            shell = "PYTHONPATH=%s exec %s -m tessel.sim.router %s" % (
                library, python_for(name, library), " ".join(SIM_OPTIONS))
    except BaseException:
        user_tool(["userdel", name], check=False)
        raise
    with open(wrapper, "w", encoding="ascii") as handle:
        handle.write("#!/bin/sh\n%s\n" % shell)
    return name


#: The throwaway users of a server: kind -> (login shell command, supplementary groups); the
#: command None is the simulated router. User names hold the kind and the process id: two
#: servers of one process must not both have a user of one kind.
Users = Dict[str, Tuple[Optional[str], Sequence[str]]]


class LoginServer:
    """A server process in a directory of its own, with throwaway users: :meth:`stop` ends
    the process and removes the users and the directory."""

    process: Optional["subprocess.Popen[bytes]"] = None
    users: Dict[str, str]
    directory = ""

    def stop(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for name in self.users.values():
            user_tool(["userdel", name], check=False)
        self.users = {}
        if self.directory:
            shutil.rmtree(self.directory, ignore_errors=True)


class SshServer(LoginServer):
    """sshd on a free loopback port with throwaway users: ``sim`` (the router) and ``bash``, or
    those of ``users`` (such as users whose login shell is vtysh).

    With ``banner`` it shows a banner before each login that holds prompt-like lines.

    ``password`` is every user's password (random per run); ``client_key`` a
    private key that logs in as every user; :meth:`known_hosts` writes a
    known_hosts file that knows this server's host key.
    """

    def __init__(self, banner: bool = True, users: Optional[Users] = None) -> None:
        self.host = HOST
        self.port = 0
        self.banner = banner
        self.kinds: Users = (dict(users) if users is not None
                             else {"sim": (None, ()), "bash": (BASH_SHELL, ())})
        self.password = "pw-" + secrets.token_hex(6)
        self.users: Dict[str, str] = {}
        self.directory = ""
        self.client_key = ""
        self.host_key_line = ""
        self.process: Optional["subprocess.Popen[bytes]"] = None

    # -- setup ---------------------------------------------------------------------

    def start(self) -> "SshServer":
        if not os.path.exists(SSHD) or not shutil.which("ssh"):
            raise Unavailable("OpenSSH (%s and ssh) is not installed" % SSHD)
        if os.geteuid() != 0:
            raise Unavailable("starting sshd with throwaway users needs root")
        remove_leftovers()
        self.directory = tempfile.mkdtemp(prefix="tessel-sshd-%d-" % os.getpid())
        os.chmod(self.directory, 0o755)
        try:
            self._keys()
            library = package_copy(self.directory)
            os.makedirs(os.path.join(self.directory, "authorized_keys"), mode=0o755)
            for kind, (shell, groups) in self.kinds.items():
                self.add_user(kind, shell, library, groups)
            self.port = free_port()
            config = self._write_config()
            os.makedirs("/run/sshd", mode=0o755, exist_ok=True)
            check = subprocess.run([SSHD, "-t", "-f", config], capture_output=True, text=True)
            if check.returncode != 0:
                raise Unavailable("sshd rejects its test configuration: %s"
                                  % check.stderr.strip())
            self.process = subprocess.Popen(
                dying_with_parent([SSHD, "-D", "-e", "-f", config]), env=server_environment(),
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                stderr=open(os.path.join(self.directory, "sshd.log"), "wb"))
            wait_for_port(self.port, self.process, "sshd")
            atexit.register(self.stop)
        except BaseException:
            self.stop()
            raise
        return self

    def _keys(self) -> None:
        host_key = os.path.join(self.directory, "ssh_host_ed25519_key")
        self.client_key = os.path.join(self.directory, "client_key")
        for path in (host_key, self.client_key):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "tessel-test",
                            "-f", path], check=True, capture_output=True)
        with open(host_key + ".pub", encoding="ascii") as handle:
            self.host_key_line = " ".join(handle.read().split()[:2])

    def add_user(self, kind: str, shell: Optional[str], library: str,
                 groups: Sequence[str] = ()) -> str:
        """Creates the throwaway user of ``kind`` (see :func:`create_user`), who may log in
        with the password and with the client key."""
        name = create_user(self.directory, kind, shell, self.password, library, groups)
        self.users[kind] = name
        with open(self.client_key + ".pub", encoding="ascii") as source, \
                open(os.path.join(self.directory, "authorized_keys", name), "w",
                     encoding="ascii") as target:
            target.write(source.read())
        return name

    def _write_config(self) -> str:
        path = os.path.join(self.directory, "sshd_config")
        lines = [
            "Port %d" % self.port,
            "ListenAddress %s" % self.host,
            "HostKey %s" % os.path.join(self.directory, "ssh_host_ed25519_key"),
            "PidFile %s" % os.path.join(self.directory, "sshd.pid"),
            "AuthorizedKeysFile %s/authorized_keys/%%u" % self.directory,
            "StrictModes no",
            "UsePAM yes",
            "PasswordAuthentication yes",
            "KbdInteractiveAuthentication yes",
            "PubkeyAuthentication yes",
            "PermitRootLogin no",
            "AllowUsers %s" % " ".join(self.users.values()),
            "PrintMotd no",
            "PrintLastLog no",
            "UseDNS no",
            "X11Forwarding no",
            "MaxStartups 200:30:400",
            "LoginGraceTime 30",
        ]
        if self.banner:
            # Shown before the login: lines that look like prompts but are not.
            lines.append("Banner %s" % self._write_banner())
        with open(path, "w", encoding="ascii") as handle:
            handle.write("\n".join(lines) + "\n")
        return path

    def _write_banner(self) -> str:
        path = os.path.join(self.directory, "banner")
        with open(path, "w", encoding="ascii") as handle:
            handle.write("Authorised access only.\nRouter>\nbackbone#\n")
        return path

    # -- use ---------------------------------------------------------------------------

    def known_hosts(self, path: str, key_line: Optional[str] = None) -> str:
        """Writes a known_hosts file at ``path`` with ``key_line`` (default: this server's key)."""
        with open(path, "w", encoding="ascii") as handle:
            handle.write("[%s]:%d %s\n" % (self.host, self.port, key_line or self.host_key_line))
        return path

    def log(self) -> str:
        try:
            with open(os.path.join(self.directory, "sshd.log"), encoding="utf-8",
                      errors="replace") as handle:
                return handle.read()
        except OSError:
            return ""


# -- telnet ------------------------------------------------------------------------------

class TelnetDaemon(LoginServer):
    """The system's telnet daemon (inetutils' telnetd, started by its inetd) on a free loopback
    port, with the system's ``login`` and throwaway users: ``sim`` (the simulated router), or
    those of ``users``. Their names differ from those of :class:`SshServer`'s users of the same
    kinds."""

    def __init__(self, users: Optional[Users] = None) -> None:
        self.host = HOST
        self.port = 0
        self.password = "pw-" + secrets.token_hex(6)
        self.kinds: Users = dict(users) if users is not None else {"sim": (None, ())}
        self.users: Dict[str, str] = {}
        self.directory = ""
        self.process: Optional["subprocess.Popen[bytes]"] = None

    @property
    def username(self) -> str:
        """The user whose login shell is the simulated router."""
        return self.users["sim"]

    def start(self) -> "TelnetDaemon":
        for program in (INETD, TELNETD, "/bin/login"):
            if not os.access(program, os.X_OK):
                raise Unavailable("%s is not installed (apt-get install inetutils-inetd "
                                  "inetutils-telnetd)" % program)
        if not shutil.which("telnet"):
            raise Unavailable("the telnet client is not installed")
        if os.geteuid() != 0:
            raise Unavailable("starting telnetd with throwaway users needs root")
        remove_leftovers()
        self.directory = tempfile.mkdtemp(prefix="tessel-telnetd-%d-" % os.getpid())
        os.chmod(self.directory, 0o755)
        try:
            library = package_copy(self.directory)
            for kind, (shell, groups) in self.kinds.items():
                self.users[kind] = create_user(self.directory, "tel" + kind, shell,
                                               self.password, library, groups)
            self.port = free_port()
            config = os.path.join(self.directory, "inetd.conf")
            with open(config, "w", encoding="ascii") as handle:
                # -h: no host information before the login.
                handle.write("%s:%d stream tcp nowait root %s telnetd -h\n"
                             % (self.host, self.port, TELNETD))
            # -d keeps inetd in the foreground, logging each connection.
            self.process = subprocess.Popen(
                dying_with_parent([INETD, "-d", "--pidfile=%s" % os.path.join(
                    self.directory, "inetd.pid"), config]),
                env=server_environment(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=open(os.path.join(self.directory, "inetd.log"), "wb"))
            wait_for_port(self.port, self.process, "inetd")
            atexit.register(self.stop)
        except BaseException:
            self.stop()
            raise
        return self


class TelnetServer:
    """The telnet server below, run as a child process on a free loopback port."""

    def __init__(self, username: str = "admin", password: Optional[str] = None) -> None:
        self.host = HOST
        self.port = 0
        self.username = username
        self.password = password or "pw-" + secrets.token_hex(6)
        self.process: Optional["subprocess.Popen[bytes]"] = None

    def start(self) -> "TelnetServer":
        try:
            import telnetlib3  # noqa: F401
        except ImportError:
            raise Unavailable("telnetlib3 is not installed") from None
        if not shutil.which("telnet"):
            raise Unavailable("the telnet client is not installed")
        self.port = free_port()
        env = dict(server_environment(), TESSEL_TELNET_PASSWORD=self.password)
        self.process = subprocess.Popen(
            dying_with_parent([sys.executable, os.path.abspath(__file__), "telnet", "--port",
                               str(self.port), "--username", self.username, "--",
                               sys.executable, "-m", "tessel.sim.router", *SIM_OPTIONS]),
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            wait_for_port(self.port, self.process, "the telnet server")
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self) -> None:
        if self.process is not None and self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()


class NetworkInput:
    """Reads what a telnet client in character mode types: Enter arrives as CR LF, CR NUL or CR."""

    def __init__(self, reader: Any) -> None:
        self.reader = reader
        self.after_cr = False

    async def read(self) -> str:
        """The next text typed, with each Enter as one CR; '' at the end of the session."""
        while True:
            text = await self.reader.read(4096)
            if not text:
                return ""
            kept = []
            for char in text:
                after_cr, self.after_cr = self.after_cr, char == "\r"
                if not (after_cr and char in "\n\x00"):
                    kept.append(char)
            if kept:
                return "".join(kept)

    async def line(self, writer: Any, echo: bool) -> str:
        """One line typed at a login prompt, echoed (or not) the way a device does."""
        typed: List[str] = []
        while True:
            text = await self.read()
            if not text:
                raise EOFError()
            for char in text:
                if char in "\r\n":
                    writer.write("\r\n")
                    return "".join(typed)
                typed.append(char)
                if echo:
                    writer.write(char)


async def run_on_pty(network: NetworkInput, writer: Any, argv: Sequence[str]) -> None:
    """Runs ``argv`` on a pty of its own (echo on, as a device's console) for the session."""
    import codecs
    import pty

    pid, fd = pty.fork()
    if pid == 0:
        try:
            os.execvp(argv[0], list(argv))
        finally:
            os._exit(127)
    loop = asyncio.get_running_loop()
    os.set_blocking(fd, False)
    ended = asyncio.Event()
    decoder = codecs.getincrementaldecoder("utf-8")("replace")

    def readable() -> None:
        try:
            data = os.read(fd, 65536)
        except OSError:
            data = b""
        if not data:
            loop.remove_reader(fd)
            ended.set()
            return
        writer.write(decoder.decode(data))

    async def forward_input() -> None:
        while True:
            text = await network.read()
            if not text:
                return
            os.write(fd, text.encode("utf-8"))

    loop.add_reader(fd, readable)
    typing = asyncio.ensure_future(forward_input())
    finished = asyncio.ensure_future(ended.wait())
    try:
        await asyncio.wait([typing, finished], return_when=asyncio.FIRST_COMPLETED)
    finally:
        typing.cancel()
        finished.cancel()
        loop.remove_reader(fd)
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        os.waitpid(pid, 0)
        os.close(fd)


def telnet_main(argv: Sequence[str]) -> int:
    import telnetlib3

    parser = argparse.ArgumentParser(prog="servers.py telnet")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--username", required=True)
    parser.add_argument("program", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    password = os.environ["TESSEL_TELNET_PASSWORD"]
    program = [part for part in args.program if part != "--"]

    async def shell(reader: Any, writer: Any) -> None:
        write = writer.write
        network = NetworkInput(reader)
        try:
            write("\r\nUser Access Verification\r\n\r\n")
            for _attempt in range(3):
                write("Username: ")
                user = await network.line(writer, echo=True)
                write("Password: ")
                given = await network.line(writer, echo=False)
                if user == args.username and given == password:
                    await run_on_pty(network, writer, program)
                    return
                await asyncio.sleep(0.3)
                write("% Authentication failed\r\n\r\n")
        except EOFError:
            pass
        writer.close()

    async def serve() -> None:
        server = await telnetlib3.create_server(host=HOST, port=args.port, shell=shell)
        await server.wait_closed()

    asyncio.run(serve())
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["telnet"]:
        sys.exit(telnet_main(sys.argv[2:]))
    sys.exit("usage: servers.py telnet --port N --username NAME -- PROGRAM...")
