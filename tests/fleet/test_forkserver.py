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


@pytest.fixture
def held_launcher(tmp_path):
    """A launcher whose request a hand-played server has taken but not answered yet (the server
    forks the device first), and that server's connection."""
    path = str(tmp_path / "socket")
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as listener:
        listener.bind(path)
        listener.listen(1)
        launcher = subprocess.Popen([sys.executable, "-I", "-S", LAUNCHER, path, "any.device"],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        connection, _ = listener.accept()
    with connection:
        for fd in socket.recv_fds(connection, 4096, 3)[1]:
            os.close(fd)
        try:
            yield launcher, connection
        finally:
            launcher.kill()
            launcher.wait()


def test_a_signal_that_comes_before_the_pid_is_forwarded_once_it_is_known(held_launcher):
    launcher, connection = held_launcher
    os.kill(launcher.pid, signal.SIGINT)  # a Ctrl-C typed at the device early
    time.sleep(0.3)
    assert launcher.poll() is None  # kept, not the launcher's end
    # SIGINT at its default in the device (also when the tests run with it ignored) before
    # the launcher learns its pid
    device = subprocess.Popen(["env", "--default-signal=INT", "sh", "-c",
                               "echo ready && exec sleep 30"], stdout=subprocess.PIPE)
    assert device.stdout.readline() == b"ready\n"
    connection.sendall(b"%d\n" % device.pid)
    try:
        assert device.wait(timeout=10) == -signal.SIGINT
    finally:
        device.kill()
        device.stdout.close()
    connection.sendall(b"%d\n" % -signal.SIGINT)
    assert launcher.wait(timeout=10) == 128 + signal.SIGINT


def test_a_hang_up_before_the_pid_ends_the_launcher(held_launcher):
    launcher, connection = held_launcher
    launcher.send_signal(signal.SIGHUP)
    assert launcher.wait(timeout=10) == 128 + signal.SIGHUP  # the server then hangs up the device
    assert connection.recv(1) == b""
