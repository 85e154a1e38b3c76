"""The asyncio API over real sessions, and the in-process ssh transport against the test sshd.

The sshd shows a banner with prompt-like lines before each login (see servers.py).
"""
import asyncio
import os
import re
import sys

import pytest

import tessel
from tessel.core.errors import (AuthenticationError, ConnectError, HostKeyError,
                                StateMachineError)
from tessel.eal import sshchild

from servers import closed_port

#: greenlet copies stacks that hold the frames of the instrumented core, redzones included,
#: which AddressSanitizer reports as overflows: the sanitizer run leaves these tests out.
SWITCHES_STACKS = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                     reason="greenlet's stack copies under AddressSanitizer")
ENABLE = {"enable_password": "lab"}
VERSION = "Simulated router software, version 1.0"
DONE = ("enable", VERSION, [False, False])


def drive(conn):
    result = conn.execute("show version", state="enable")
    lines = conn.configure(["interface Loopback1", "description uplink"])
    return conn.state, result.output.splitlines()[0], [line.failed for line in lines]


async def adrive(conn):
    result = await conn.execute("show version", state="enable")
    lines = await conn.configure(["interface Loopback1", "description uplink"])
    return conn.state, result.output.splitlines()[0], [line.failed for line in lines]


def over_ssh(sshd, known_hosts, connect=tessel.aconnect, **kwargs):
    kwargs.setdefault("password", sshd.password)
    return connect("generic", sshd.host, port=sshd.port, username=sshd.users["sim"],
                   known_hosts=known_hosts, secrets=ENABLE, timeout=20, **kwargs)


def accepted(sshd, method):
    return len(re.findall(r"Accepted %s for %s " % (method, sshd.users["sim"]), sshd.log()))


class TestOverSsh:
    @SWITCHES_STACKS
    @pytest.mark.parametrize("transport, auth, method", [
        ("ssh", "password", "(?:password|keyboard-interactive/pam)"),
        ("ssh", "key", "publickey"),
        ("asyncssh", "password", "password"),
        ("asyncssh", "keyboard-interactive", "keyboard-interactive/pam"),
        ("asyncssh", "key", "publickey"),
    ])
    def test_aconnect_drives_the_router(self, sshd, known_hosts, tmp_path, monkeypatch,
                                        transport, auth, method):
        kwargs = {"password": None, "key_file": sshd.client_key} if auth == "key" else {}
        if transport == "asyncssh" and auth != "key":
            monkeypatch.setattr(sshchild, "PREFERRED_AUTH", auth)
        log = tmp_path / "session.log"
        before = accepted(sshd, method)

        async def session():
            async with over_ssh(sshd, known_hosts, transport=transport, log=str(log),
                                **kwargs) as conn:
                assert (conn.state, conn.hostname) == ("disable", "R1")
                return await adrive(conn)

        assert asyncio.run(session()) == DONE
        assert accepted(sshd, method) == before + 1
        transcript = log.read_text()
        assert "Router>" in transcript and sshd.password not in transcript

    def test_blocking_connect_over_asyncssh(self, sshd, known_hosts):
        with over_ssh(sshd, known_hosts, tessel.connect, transport="asyncssh") as conn:
            assert drive(conn) == DONE

    @SWITCHES_STACKS
    @pytest.mark.parametrize("transport", ["ssh", "asyncssh"])
    def test_a_refused_password_is_an_authentication_error(self, sshd, known_hosts, transport):
        with pytest.raises(AuthenticationError) as caught:
            asyncio.run(over_ssh(sshd, known_hosts, transport=transport,
                                 password="not-" + sshd.password))
        assert caught.value.host == sshd.host
        assert sshd.password not in str(caught.value) + caught.value.output

    @pytest.mark.parametrize("policy, recorded, outcome", [
        ("strict", None, "is not known"),
        ("accept-new", None, "recorded"),
        ("off", None, "not recorded"),
        ("strict", "other", "has changed"),
        ("accept-new", "other", "has changed"),
        ("off", "other", "not recorded"),
    ])
    def test_host_key_policies(self, sshd, tmp_path, policy, recorded, outcome):
        path = tmp_path / "known_hosts"
        if recorded:
            with open(sshd.client_key + ".pub") as handle:
                sshd.known_hosts(str(path), " ".join(handle.read().split()[:2]))
        else:
            path.write_text("")
        before = path.read_text()
        if outcome in ("is not known", "has changed"):
            with pytest.raises(HostKeyError, match=outcome) as caught:
                over_ssh(sshd, str(path), tessel.connect, transport="asyncssh",
                         host_keys=policy)
            assert sshd.host in str(caught.value)
            assert path.read_text() == before
            return
        with over_ssh(sshd, str(path), tessel.connect, transport="asyncssh",
                      host_keys=policy) as conn:
            assert conn.state == "disable"
        if outcome == "not recorded":
            assert path.read_text() == before
            return
        assert sshd.host_key_line in path.read_text()
        # The line recorded is one the system client trusts.
        with over_ssh(sshd, str(path), tessel.connect, transport="ssh") as conn:
            assert conn.state == "disable"

    def test_a_closed_port_is_a_connect_error(self):
        with pytest.raises(ConnectError, match="Connection refused"):
            tessel.connect("generic", "127.0.0.1", port=closed_port(), transport="asyncssh",
                           username="admin", password="pw", timeout=5)


def gated_router(gate, hostname):
    """A simulated router that starts only once the file ``gate`` exists."""
    return ["/bin/sh", "-c", 'while [ ! -e "$0" ]; do sleep 0.05; done; exec "$@"', str(gate),
            sys.executable, "-m", "tessel.sim.router", "--hostname", hostname,
            "--enable-password", "lab"]


@SWITCHES_STACKS
class TestOneLoop:
    def test_many_sessions_wait_on_one_loop(self, tmp_path):
        # Every router waits for a file that a coroutine of the same loop creates once all the
        # sessions wait for their first prompt: a session that blocked the loop would wait
        # until its timeout and fail.
        gate = tmp_path / "gate"
        count = 50

        async def session(number):
            async with tessel.aconnect("generic", transport="command",
                                       command=gated_router(gate, "R%d" % number),
                                       secrets=ENABLE, timeout=60) as conn:
                await conn.go_to("enable")
                echoed = await conn.execute("echo session %d" % number)
                lines = await conn.configure(["interface Loopback%d" % number,
                                              "description session %d" % number])
                shown = await conn.execute("show running-config")
                return (conn.hostname, conn.state, echoed.output, [r.failed for r in lines],
                        "description session %d" % number in shown.output)

        async def run_all():
            sessions = [asyncio.ensure_future(session(n)) for n in range(count)]
            await asyncio.sleep(0)
            gate.touch()
            return await asyncio.gather(*sessions)

        assert asyncio.run(run_all()) == [
            ("R%d" % n, "enable", "session %d" % n, [False, False], True) for n in range(count)]

    def test_calls_on_one_connection_take_turns(self):
        router = [sys.executable, "-m", "tessel.sim.router", "--enable-password", "lab"]

        async def calls():
            async with tessel.aconnect("generic", transport="command", command=router,
                                       secrets=ENABLE) as conn:
                return await asyncio.gather(*(conn.execute("echo %d" % n, state="enable")
                                              for n in range(5)))

        assert [result.output for result in asyncio.run(calls())] == [str(n) for n in range(5)]

    def test_an_error_reaches_the_caller_and_the_session_goes_on(self):
        router = [sys.executable, "-m", "tessel.sim.router", "--enable-password", "lab"]

        async def session():
            async with tessel.aconnect("generic", transport="command", command=router,
                                       secrets={"enable_password": "guess"}) as conn:
                with pytest.raises(StateMachineError) as caught:
                    await conn.go_to("enable")
                assert "% Access denied" in caught.value.__cause__.output
                assert conn.state == "disable"
                return (await conn.execute("echo still here")).output

        assert asyncio.run(session()) == "still here"
