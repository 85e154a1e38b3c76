"""A session's pty read through the event loop: the child of ssh, telnet and command under asyncio.

:class:`LoopPtySpawn` starts its command as :class:`~tessel.eal.ptyspawn.PtySpawn`
does. Inside a function run by :func:`~tessel.eal.bridge.greenlet_spawn`, a
read that has to wait registers the pty with the running loop and awaits it,
and closing the session waits for the command to end with the loop's timers:
no thread per session, and the loop runs the other sessions meanwhile.
Elsewhere it reads and closes as pexpect does.
"""
import asyncio
import signal
from typing import Any

import pexpect
from pexpect.utils import poll_ignore_interrupts

from tessel.eal.bridge import await_only, in_bridge, wait_readable
from tessel.eal.ptyspawn import PtySpawn

#: After the pty is closed, the signals that end a command that is still running, in turn.
ENDING_SIGNALS = (signal.SIGHUP, signal.SIGCONT, signal.SIGINT)


class LoopPtySpawn(PtySpawn):
    """:class:`PtySpawn` whose waits go through the event loop inside a bridge greenlet."""

    def read_nonblocking(self, size: int = 1, timeout: Any = -1) -> str:
        if timeout == 0 or self.closed or not in_bridge():
            data: str = super().read_nonblocking(size, timeout)
            return data
        wait = self.timeout if timeout == -1 else timeout
        if not poll_ignore_interrupts([self.child_fd], 0):
            await_only(wait_readable(self.child_fd, wait))
        # Readable now, or the wait ran out: pexpect reads, or tells EOF from TIMEOUT.
        data = super().read_nonblocking(size, 0)
        return data

    def close(self, force: bool = True) -> None:
        if self.closed or not in_bridge():
            super().close(force)
            return
        process = self.ptyproc  # type: ignore[attr-defined]
        self.flush()
        if not process.closed:
            process.fileobj.close()  # the hang-up ends ssh and telnet
            pause = max(process.delayafterterminate, 0.001)
            await_only(asyncio.sleep(process.delayafterclose))
            for sig in ENDING_SIGNALS + ((signal.SIGKILL,) if force else ()):
                if not process.isalive():
                    break
                process.kill(sig)
                await_only(asyncio.sleep(pause))
            if process.isalive():
                raise pexpect.ExceptionPexpect("Could not terminate the child.")
            process.fd = -1
            process.closed = True
        self.isalive()  # records the exit status
        self.child_fd = -1
        self.closed = True
