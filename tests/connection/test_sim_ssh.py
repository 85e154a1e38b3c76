"""tessel sim --ssh: simulated devices, one per login name, served by one process over ssh."""
import asyncio
import os
import re
import signal
import subprocess
import sys

import pytest

import tessel
from tessel.core.errors import AuthenticationError, ConnectError, StateMachineError

from servers import server_environment

#: The server is tessel itself, whose sessions switch greenlet stacks, which AddressSanitizer
#: reports as overflows (see test_asyncio.py); a sanitizer build also cannot run in a server
#: started without the sanitizer preloaded. The sanitizer run skips this module.
SWITCHES_STACKS = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                     reason="greenlet's stack copies under AddressSanitizer")
pytestmark = SWITCHES_STACKS

PASSWORD = "pw-sim"
VERSION = "Simulated router software, version 1.0\n%s uptime is 1 minute"


class SimServer:
    """``tessel sim generic --ssh 127.0.0.1:0`` with ``options``; ``known_hosts`` trusts its key."""

    def __init__(self, directory, *options):
        self.process = subprocess.Popen(
            [sys.executable, "-m", "tessel", "sim", "generic", "--ssh", "127.0.0.1:0",
             "--secret", "enable_password=lab", *options],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=server_environment())
        listening = self.process.stdout.readline()
        found = re.fullmatch(r"listening on 127\.0\.0\.1:(\d+)\n", listening)
        if not found:
            self.process.kill()
            pytest.fail("the server did not start: %r %s" % (listening, self.process.stderr.read()))
        self.port = int(found.group(1))
        self.known_hosts = str(directory / "known_hosts")
        with open(self.known_hosts, "w") as handle:
            handle.write(self.process.stdout.readline())

    def connect(self, device, transport, connect=tessel.connect, **kwargs):
        kwargs.setdefault("password", PASSWORD)
        kwargs.setdefault("secrets", {"enable_password": "lab"})
        return connect("generic", "127.0.0.1", port=self.port, username=device,
                       transport=transport, known_hosts=self.known_hosts, timeout=20, **kwargs)

    def stop(self, signum=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(signum)
        try:
            self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        return self.process.returncode, self.process.stderr.read()


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    # Page length 1: every answer of two lines goes through the pager, read a key at a time.
    started = SimServer(tmp_path_factory.mktemp("simssh"), "--password", PASSWORD,
                        "--page-length", "1")
    yield started
    started.stop()


# transport, device, enable password, state found at login, where to go, state left
SESSIONS = [
    ("asyncssh", "R1", "wrong", "disable", "enable", "disable"),
    ("asyncssh", "R1", "lab", "disable", "enable", "enable"),
    ("ssh", "R2", "lab", "disable", None, "disable"),
    ("ssh", "R1", "lab", "enable", "disable", "disable"),
    ("asyncssh", "R1", "lab", "disable", None, "disable"),
]


def test_each_login_name_is_a_device_that_keeps_its_state(server):
    for transport, device, secret, found, target, left in SESSIONS:
        with server.connect(device, transport, secrets={"enable_password": secret}) as conn:
            assert (conn.hostname, conn.state) == (device, found)
            assert conn.execute("show version").output == VERSION % device
            if secret == "wrong":
                with pytest.raises(StateMachineError) as caught:
                    conn.go_to(target)
                assert "% Access denied" in caught.value.__cause__.output
            elif target is not None:
                conn.go_to(target)
            assert conn.state == left


def test_a_device_keeps_its_configuration_between_sessions(server):
    candidate = "interface Loopback3\n description kept\n"
    with server.connect("K1", "asyncssh") as conn:
        assert conn.apply(candidate).sent == ["interface Loopback3", "description kept", "exit"]
    with server.connect("K1", "ssh") as conn:
        assert conn.config_diff(candidate) == ""
    with server.connect("K2", "asyncssh") as conn:
        assert conn.config_diff(candidate) != ""


@pytest.mark.parametrize("transport, device, password, error, message", [
    ("asyncssh", "R3", "wrong", AuthenticationError, "refused the login as R3"),
    ("ssh", "R3", "wrong", AuthenticationError, "refused the login"),
    ("asyncssh", "", PASSWORD, ConnectError, "an empty login name names no device"),
    ("asyncssh", "R9", PASSWORD, ConnectError, "R9 has a session open already"),
    ("ssh", "R9", PASSWORD, ConnectError, "R9 has a session open already"),
])
def test_refused_logins_say_why(server, transport, device, password, error, message):
    with server.connect("R9", "asyncssh"):
        with pytest.raises(error, match=message) as caught:
            server.connect(device, transport, password=password)
    assert password not in str(caught.value)


def test_many_sessions_on_one_loop(server):
    count = 60

    async def session(number):
        device = "L%d" % number
        async with server.connect(device, "asyncssh", tessel.aconnect) as conn:
            await conn.go_to("enable")
            shown = await conn.execute("show version")
            lines = await conn.configure(["interface Loopback%d" % number, "description x"])
            return conn.hostname, conn.state, shown.output, [line.failed for line in lines]

    async def run_all():
        return await asyncio.gather(*(session(n) for n in range(count)))

    assert asyncio.run(run_all()) == [("L%d" % n, "enable", VERSION % ("L%d" % n), [False, False])
                                      for n in range(count)]


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_the_server_stops_cleanly_with_sessions_open(tmp_path, signum):
    server = SimServer(tmp_path)
    with server.connect("R1", "asyncssh", password=None) as conn:
        assert conn.state == "disable"  # no --password: the login asks none
        status, errors = server.stop(signum)
    assert (status, "Traceback" not in errors) == (0, True)
    key_directory = re.search(r"a new host key, in (\S+) until", errors).group(1)
    assert not os.path.exists(key_directory)
