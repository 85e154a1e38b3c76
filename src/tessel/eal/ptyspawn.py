"""Starting a command on a new pseudo-terminal without running Python in a forked copy.

pexpect starts its child with ``forkpty``: the whole process is copied, with
whatever locks its other threads hold at that instant, and the copy runs
Python code (window size, closing descriptors, ``exec``) before it becomes
the command. A fleet run starts sessions from worker threads while others
are starting and ending; when the copy needs a lock that another thread held
at the fork (the memory allocator's is the usual one), it waits forever,
and pexpect waits forever for its ``exec``. CPython 3.12 and newer warn
about ``fork`` in a process with threads for this reason.

:class:`PtySpawn` is pexpect's ``spawn`` with only the start replaced: the
terminal is opened and sized here, and ``posix_spawn`` starts the command in
a new session that opens the terminal as its controlling terminal (so Ctrl-C
typed on it reaches the command as SIGINT, and ``/dev/tty`` is the session's
terminal, as ssh needs for its questions), with the signals a terminal sends
at their defaults. Nothing of ours runs between the fork and the ``exec``.
Elsewhere than Linux, where opening a terminal does not make it the
controlling one, and with a ``preexec_fn``, pexpect's own start is used.
"""
import fcntl
import os
import select
import signal
import struct
import sys
import termios
import time
from typing import TYPE_CHECKING, Any, Callable, List, Mapping, Optional, Sequence, Tuple, Union

import pexpect
import ptyprocess
from pexpect.spawnbase import SpawnBase

Arg = Union[str, bytes]

#: Whether a session leader that opens a terminal gets it as its controlling terminal.
SPAWN_ON_PTY = sys.platform.startswith("linux") and hasattr(os, "posix_spawn")

#: Signals at their defaults in the command, whatever this process does with them: those a
#: terminal sends (tessel may run with Ctrl-C ignored, as a background job of a script does,
#: yet a Ctrl-C typed on the session's own terminal must reach the command), and those Python
#: ignores for itself.
DEFAULT_SIGNALS = tuple(getattr(signal, name) for name in (
    "SIGHUP", "SIGINT", "SIGQUIT", "SIGTSTP", "SIGTTIN", "SIGTTOU", "SIGPIPE", "SIGXFSZ")
    if hasattr(signal, name))

#: What a read waits for on the pty: data, or the end of the session.
POLL_EVENTS = select.POLLIN | select.POLLPRI | select.POLLHUP | select.POLLERR

#: How long closing waits for a command killed with SIGKILL to be gone: on a loaded machine
#: that takes longer than pexpect's pause after the signal, and it cannot be refused.
KILL_WAIT = 5.0

#: Runs a command in a directory: ``sh -c CHDIR DIR COMMAND...``.
CHDIR = b'cd -- "$0" && exec "$@"'


def spawn_on_pty(argv: Sequence[Arg], env: Optional[Mapping[str, str]] = None,
                 cwd: Optional[str] = None, dimensions: Tuple[int, int] = (24, 80),
                 echo: bool = True) -> ptyprocess.PtyProcess:
    """Starts ``argv`` (``argv[0]`` a path) on a new pty; returns pexpect's handle of it."""
    command: List[Arg] = list(argv)
    if cwd is not None:
        if not os.path.isdir(cwd):
            raise FileNotFoundError("no such directory: %r" % cwd)
        command = [b"/bin/sh", b"-c", CHDIR, os.fsencode(cwd), *map(os.fsencode, command)]
    master, slave = os.openpty()
    try:
        rows, cols = dimensions
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))
        if not echo:
            attributes = termios.tcgetattr(slave)
            attributes[3] &= ~termios.ECHO
            termios.tcsetattr(slave, termios.TCSANOW, attributes)
        # The child, leader of a new session, opens the terminal by name (not inherited),
        # which makes it the session's controlling terminal.
        actions = [(os.POSIX_SPAWN_OPEN, 0, os.ttyname(slave), os.O_RDWR, 0),
                   (os.POSIX_SPAWN_DUP2, 0, 1), (os.POSIX_SPAWN_DUP2, 0, 2)]
        pid = os.posix_spawn(command[0], command, os.environ if env is None else env,
                             file_actions=actions, setsid=True, setsigdef=DEFAULT_SIGNALS)
    except BaseException:
        os.close(master)
        raise
    finally:
        os.close(slave)
    process = ptyprocess.PtyProcess(pid, master)
    process.argv = command
    if env is not None:
        process.env = env
    if cwd is not None:
        process.launch_dir = cwd
    return process


if TYPE_CHECKING:
    _Spawn = pexpect.spawn[str]  # generic in its type stubs only
else:
    _Spawn = pexpect.spawn


class PtySpawn(_Spawn):
    """pexpect's ``spawn``, started by :func:`spawn_on_pty` (see the module's text).

    Its reads wait with ``poll``: ``select`` refuses descriptors from 1024 on, which a
    process holding a thousand sessions reaches.
    """

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs.setdefault("use_poll", True)
        self._poller: Optional[Tuple[int, "select.poll"]] = None
        super().__init__(*args, **kwargs)

    def _ready(self, timeout: Optional[float]) -> bool:
        """True when the pty has something to read within ``timeout`` seconds (None: no bound).

        One poll object per descriptor, kept between reads; an interrupted wait is resumed
        by ``poll`` itself.
        """
        fd = self.child_fd
        kept = self._poller
        if kept is None or kept[0] != fd:
            poller = select.poll()
            poller.register(fd, POLL_EVENTS)
            kept = self._poller = (fd, poller)
        return bool(kept[1].poll(None if timeout is None else timeout * 1000))

    def waiting(self) -> bool:
        """True when a read would return at once: output waits, or the session ended."""
        return not self.closed and self._ready(0)

    def isalive(self) -> bool:
        """pexpect's ``isalive`` (the exit status recorded once the command ended), without a
        context manager around the check: reads ask it whenever nothing is waiting."""
        process = self.ptyproc  # type: ignore[attr-defined]
        try:
            alive = bool(process.isalive())
        except ptyprocess.PtyProcessError as err:
            raise pexpect.ExceptionPexpect(*err.args) from err
        if not alive:
            self.status = process.status
            self.exitstatus = process.exitstatus
            self.signalstatus = process.signalstatus
            self.terminated = True
        return alive

    def read_nonblocking(self, size: int = 1, timeout: Optional[float] = -1) -> str:
        """pexpect's read (the same answers, EOF and TIMEOUT alike), without building a poll
        object for every look at the pty: a session reads or polls several times a line."""
        if not self.use_poll:
            data: str = super().read_nonblocking(size, timeout)
            return data
        if self.closed:
            raise ValueError("I/O operation on closed file.")
        read = SpawnBase.read_nonblocking
        if self._ready(0):
            try:
                incoming: str = read(self, size)
            except pexpect.EOF:
                self.isalive()  # records the exit status of a child that ended
                raise
            while len(incoming) < size and self._ready(0):
                try:
                    incoming += read(self, size - len(incoming))
                except pexpect.EOF:
                    self.isalive()
                    return incoming  # what was read so far; the next read tells the end
            return incoming
        if timeout == -1:
            timeout = self.timeout
        if not self.isalive():
            # A command that ended while another process keeps its terminal open gives no
            # end of file: its end is the end of the session.
            if self._ready(0):
                data = read(self, size)
                return data
            self.flag_eof = True
            raise pexpect.EOF("End Of File (EOF). Braindead platform.")
        if timeout != 0 and self._ready(timeout):
            data = read(self, size)
            return data
        raise pexpect.TIMEOUT("Timeout exceeded.")

    def close(self, force: bool = True) -> None:
        try:
            super().close(force)
        except pexpect.ExceptionPexpect:
            # pexpect gives up one short pause after SIGKILL; the command ends all the same.
            if not force or not gone(self.ptyproc, time.sleep):  # type: ignore[attr-defined]
                raise
            self.mark_closed()

    def mark_closed(self) -> None:
        """Records the session as closed, its command gone."""
        process = self.ptyproc  # type: ignore[attr-defined]
        process.fd = -1
        process.closed = True
        self.isalive()  # records the exit status
        self.child_fd = -1
        self.closed = True

    def _spawnpty(self, args: List[Arg], **kwargs: Any) -> ptyprocess.PtyProcess:
        if not SPAWN_ON_PTY or kwargs.get("preexec_fn") is not None:
            return super()._spawnpty(args, **kwargs)  # type: ignore[misc]
        return spawn_on_pty(args, env=kwargs.get("env"), cwd=kwargs.get("cwd"),
                            dimensions=kwargs.get("dimensions", (24, 80)),
                            echo=kwargs.get("echo", True))


def gone(process: ptyprocess.PtyProcess, pause: Callable[[float], Any],
         wait: float = KILL_WAIT) -> bool:
    """Waits up to ``wait`` seconds, by ``pause``, for ``process`` to end; True when it has."""
    deadline = time.monotonic() + wait
    while process.isalive():
        if time.monotonic() >= deadline:
            return False
        pause(0.01)
    return True
