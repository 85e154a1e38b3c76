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
import signal
import struct
import sys
import termios
from typing import TYPE_CHECKING, Any, List, Mapping, Optional, Sequence, Tuple, Union

import pexpect
import ptyprocess

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
        super().__init__(*args, **kwargs)

    def _spawnpty(self, args: List[Arg], **kwargs: Any) -> ptyprocess.PtyProcess:
        if not SPAWN_ON_PTY or kwargs.get("preexec_fn") is not None:
            return super()._spawnpty(args, **kwargs)  # type: ignore[misc]
        return spawn_on_pty(args, env=kwargs.get("env"), cwd=kwargs.get("cwd"),
                            dimensions=kwargs.get("dimensions", (24, 80)),
                            echo=kwargs.get("echo", True))
