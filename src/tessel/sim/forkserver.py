"""A fork server for simulated devices: import the simulator once, fork one device per session.

Each simulated device is a process on its own pty. Started as
``python -m tessel.sim.router``, every device pays for a Python start-up
and the simulator's imports, which dominates when hundreds of devices
start together. The fork server is one process that has imported the
simulator already; a session starts a tiny launcher instead (a Python run
without site packages), which hands its terminal to the server over a
Unix socket. The server forks a device that runs on that terminal, and the
launcher forwards signals (Ctrl-C, Ctrl-Z, hang-up) to it and exits with
its status::

    from tessel.sim.forkserver import ForkServer

    with ForkServer(preload=["tessel.sim.router"]) as server:
        argv = server.command("tessel.sim.router", "--hostname", "R7")
        with tessel.connect("generic", transport="command", command=argv) as conn:
            ...

A device is named by ``MODULE`` (run as ``python -m MODULE``) or
``MODULE:FUNCTION`` (``FUNCTION(argv)`` returns the exit status).
The server runs ``python -m tessel.sim.forkserver SOCKET [--preload MODULE]...``.
"""
import argparse
import os
import selectors
import signal
import socket
import subprocess
import sys
import tempfile
import time
import traceback
from types import TracebackType
from typing import Any, Dict, List, Optional, Sequence, Type

#: The launcher, run as ``python -I -S LAUNCHER SOCKET MODULE ARGS...``.
LAUNCHER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_launch.py")


class ForkServer:
    """Starts and stops a fork server process; :meth:`command` gives a device's argv."""

    def __init__(self, preload: Sequence[str] = ("tessel.sim.router",),
                 socket_path: Optional[str] = None, python: str = sys.executable,
                 env: Optional[Dict[str, str]] = None, start_timeout: float = 30.0) -> None:
        self._directory: Optional[str] = None
        if socket_path is None:
            self._directory = tempfile.mkdtemp(prefix="tessel-forkserver-")
            socket_path = os.path.join(self._directory, "socket")
        self.socket_path = socket_path
        self.python = python
        argv = [python, "-m", "tessel.sim.forkserver", socket_path]
        for module in preload:
            argv += ["--preload", module]
        self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, env=env)
        deadline = time.monotonic() + start_timeout
        while not os.path.exists(socket_path):
            if self.process.poll() is not None:
                raise RuntimeError("the fork server exited with status %d before it listened"
                                   % self.process.returncode)
            if time.monotonic() > deadline:
                self.close()
                raise RuntimeError("the fork server did not listen within %.0f s"
                                   % start_timeout)
            time.sleep(0.01)

    def command(self, device: str, *args: str) -> List[str]:
        """The argv that starts ``device`` (``MODULE`` or ``MODULE:FUNCTION``) with ``args``."""
        return [self.python, "-I", "-S", LAUNCHER, self.socket_path, device, *args]

    def close(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self._directory is not None:
            for name in os.listdir(self._directory):
                os.unlink(os.path.join(self._directory, name))
            os.rmdir(self._directory)
            self._directory = None

    def __enter__(self) -> "ForkServer":
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()


# -- the server process ------------------------------------------------------------------------

class _Stop(Exception):
    pass


def _stop(signum: int, frame: Any) -> None:
    raise _Stop()


class _Device:
    """A forked device: its launcher's connection and the descriptor that tells its exit."""

    def __init__(self, pid: int, connection: socket.socket, pidfd: int) -> None:
        self.pid = pid
        self.connection: Optional[socket.socket] = connection
        self.pidfd = pidfd


def serve(socket_path: str) -> int:
    """Accepts launchers and forks a device for each until SIGTERM or SIGINT."""
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    temporary = socket_path + ".%d" % os.getpid()
    listener.bind(temporary)
    listener.listen(1024)
    os.rename(temporary, socket_path)  # the path appears only once it accepts
    selector = selectors.DefaultSelector()
    selector.register(listener, selectors.EVENT_READ, None)
    devices: Dict[int, _Device] = {}
    signal.signal(signal.SIGTERM, _stop)
    signal.signal(signal.SIGINT, _stop)
    try:
        while True:
            for key, _ in selector.select():
                try:
                    if key.data is None:
                        _accept(listener, selector, devices)
                        continue
                    kind, pid = key.data
                    device = devices.get(pid)
                    if device is None:
                        continue  # reaped earlier in this round
                    if kind == "exit":
                        _reap(device, selector, devices)
                    elif device.connection is not None:
                        _hang_up(device, selector)
                except _Stop:
                    raise
                except Exception:  # one device's trouble never stops the others
                    traceback.print_exc()
    except _Stop:
        pass
    finally:
        for pid in list(devices):
            try:
                os.kill(pid, signal.SIGHUP)
            except ProcessLookupError:
                pass
        try:
            os.unlink(socket_path)
        except FileNotFoundError:
            pass
    return 0


def _accept(listener: socket.socket, selector: selectors.BaseSelector,
            devices: Dict[int, _Device]) -> None:
    connection, _ = listener.accept()
    try:
        message, fds, _, _ = socket.recv_fds(connection, 65536, 3)
    except OSError:
        connection.close()
        return
    words = [os.fsdecode(w) for w in message.split(b"\0")]
    if len(fds) != 3 or not words[0]:
        for fd in fds:
            os.close(fd)
        connection.close()
        return
    device, argv = words[0], words[1:]
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:  # the device
        _run_device(device, argv, fds)
    for fd in fds:
        os.close(fd)
    forked = devices[pid] = _Device(pid, connection, os.pidfd_open(pid))
    selector.register(forked.pidfd, selectors.EVENT_READ, ("exit", pid))
    selector.register(connection, selectors.EVENT_READ, ("launcher", pid))
    try:
        connection.sendall(b"%d\n" % pid)
    except OSError:
        pass


def _reap(device: _Device, selector: selectors.BaseSelector,
          devices: Dict[int, _Device]) -> None:
    del devices[device.pid]
    _, status = os.waitpid(device.pid, 0)
    selector.unregister(device.pidfd)
    os.close(device.pidfd)
    if device.connection is not None:
        try:
            device.connection.sendall(b"%d\n" % os.waitstatus_to_exitcode(status))
        except OSError:
            pass
        _forget(device, selector)


def _hang_up(device: _Device, selector: selectors.BaseSelector) -> None:
    """The launcher's connection is readable: it went away (launchers send no more)."""
    assert device.connection is not None
    try:
        if device.connection.recv(1):
            return
    except OSError:
        pass
    _forget(device, selector)
    try:
        os.kill(device.pid, signal.SIGHUP)
    except ProcessLookupError:
        pass


def _forget(device: _Device, selector: selectors.BaseSelector) -> None:
    if device.connection is not None:
        selector.unregister(device.connection)
        device.connection.close()
        device.connection = None


def _run_device(device: str, argv: List[str], fds: List[int]) -> None:
    """In the forked child: become the device on the launcher's terminal; never returns."""
    code = 1
    try:
        os.setsid()
        for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGCHLD):
            signal.signal(signum, signal.SIG_DFL)
        signal.signal(signal.SIGINT, signal.default_int_handler)
        for target, fd in enumerate(fds):
            os.dup2(fd, target)
        os.closerange(3, _max_fd())
        for stream in (sys.stdout, sys.stderr):
            reconfigure = getattr(stream, "reconfigure", None)
            if reconfigure is not None:
                reconfigure(line_buffering=True)  # now on a terminal
        code = _call_device(device, argv)
    except SystemExit as done:
        code = done.code if isinstance(done.code, int) else (0 if done.code is None else 1)
    except BaseException:
        traceback.print_exc()
    finally:
        try:
            sys.stdout.flush()
            sys.stderr.flush()
        except BaseException:
            pass
        os._exit(code)


def _call_device(device: str, argv: List[str]) -> int:
    import importlib
    import runpy

    module_name, _, function = device.partition(":")
    if function:
        result = getattr(importlib.import_module(module_name), function)(argv)
        return int(result or 0)
    sys.argv = [module_name] + argv
    runpy.run_module(module_name, run_name="__main__", alter_sys=True)
    return 0


def _raise_open_file_limit() -> None:
    """Two descriptors per live device (its launcher's socket and its pidfd): allow many."""
    import resource

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = 65536 if hard == resource.RLIM_INFINITY else min(hard, 65536)
    if soft != resource.RLIM_INFINITY and soft < wanted:
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))
        except (ValueError, OSError):
            pass


def _max_fd() -> int:
    try:
        return os.sysconf("SC_OPEN_MAX")
    except (ValueError, OSError):
        return 1024


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m tessel.sim.forkserver",
        description="Serve simulated devices: fork one for each launcher that connects.")
    parser.add_argument("socket", help="path of the Unix socket to listen on")
    parser.add_argument("--preload", action="append", default=[], metavar="MODULE",
                        help="a module to import before forking (repeatable)")
    args = parser.parse_args(argv)
    _raise_open_file_limit()
    import importlib

    for module in args.preload:
        importlib.import_module(module.partition(":")[0])
    return serve(args.socket)


if __name__ == "__main__":
    sys.exit(main())
