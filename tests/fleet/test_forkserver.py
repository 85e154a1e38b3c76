"""Fork-served simulated devices behave as started ones: terminal, control keys, exit status."""
import os
import signal
import socket
import subprocess
import sys
import time

import pytest

from tessel.core.errors import SessionClosedError
from tessel.eal.spawn import Spawn
from tessel.sim.forkserver import LAUNCHER, ForkServer


@pytest.fixture(scope="module")
def server():
    with ForkServer(preload=["tessel.sim.router"]) as started:
        yield started


@pytest.mark.parametrize("device", ["tessel.sim.router", "tessel.sim.router:main"])
def test_device_runs_on_the_launchers_terminal(server, device):
    with Spawn(server.command(device, "--hostname", "F1"), timeout=10) as spawn:
        spawn.expect(r"F1>$")
        spawn.sendline("enable")
        spawn.expect(r"Password: $")
        spawn.sendline("lab")
        assert "lab" not in spawn.expect(r"F1#$").match_output  # echo off on this terminal
        spawn.sendline("configure terminal")
        spawn.expect(r"F1\(config\)#$")
        spawn.send("\x1a")  # Ctrl-Z reaches the device as a signal, through the launcher
        spawn.expect(r"\r\nF1#$")
        spawn.send("show ver\x03")  # so does Ctrl-C
        spawn.expect(r"\r\nF1#$")
        spawn.sendline("exit")
        with pytest.raises(SessionClosedError) as closed:
            spawn.expect("never shown")
        assert closed.value.exit_status == 0  # the device's, through the launcher


def test_closing_the_session_ends_the_device(server):
    spawn = Spawn(server.command("tessel.sim.router:main"), timeout=10)
    spawn.expect(r"R1>$")
    launcher = spawn.pid
    children = {int(p) for p in os.listdir("/proc") if p.isdigit() and _parent(int(p)) ==
                server.process.pid}
    spawn.close()
    for _ in range(200):  # the server hangs up the device once its launcher is gone
        if not any(os.path.exists("/proc/%d" % pid) and _parent(pid) == server.process.pid
                   for pid in children):
            break
        time.sleep(0.05)
    else:
        pytest.fail("the device outlived its launcher %d" % launcher)


def test_unknown_device_fails_that_session_only(server):
    with Spawn(server.command("tessel.no_such_module"), timeout=10) as spawn:
        spawn.expect("No module named")
    with Spawn(server.command("tessel.sim.router:main", "--hostname", "F2"), timeout=10) as spawn:
        spawn.expect(r"F2>$")


def _parent(pid):
    try:
        with open("/proc/%d/stat" % pid) as handle:
            return int(handle.read().rsplit(")", 1)[1].split()[1])
    except (OSError, ValueError, IndexError):
        return None


def test_a_signal_that_comes_before_the_pid_is_forwarded_once_it_is_known(tmp_path):
    # The server forks the device before it answers, so the device may be typed at (Ctrl-Z) while
    # the launcher still waits for the pid. Played here by hand, the server holding its answer.
    path = str(tmp_path / "socket")
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as listener:
        listener.bind(path)
        listener.listen(1)
        launcher = subprocess.Popen([sys.executable, "-I", "-S", LAUNCHER, path, "any.device"],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        connection, _ = listener.accept()
        with connection:
            _, fds, _, _ = socket.recv_fds(connection, 4096, 3)
            for fd in fds:
                os.close(fd)
            os.kill(launcher.pid, signal.SIGTERM)
            time.sleep(0.3)
            assert launcher.poll() is None  # kept, not the launcher's end
            device = subprocess.Popen(["sleep", "30"])
            connection.sendall(b"%d\n" % device.pid)
            try:
                assert device.wait(timeout=10) == -signal.SIGTERM
            finally:
                device.kill()
            connection.sendall(b"%d\n" % -signal.SIGTERM)
            assert launcher.wait(timeout=10) == 128 + signal.SIGTERM
