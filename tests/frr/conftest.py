"""Fixtures of the FRRouting suite: FRR's daemons started for the run, and vtysh reached as a
local program, as the login shell of a user of the test sshd and through the system's telnetd."""
import os
import sys

import pytest

from tessel.cli import child_environment

HERE = os.path.dirname(os.path.abspath(__file__))
# frr_daemons.py here, and servers.py (the sshd and telnet daemons) of the connection suite.
sys.path[:0] = [HERE, os.path.join(os.path.dirname(HERE), "connection")]

# `tessel run` runs as a child process: it must import the tessel under test.
os.environ.update(PYTHONPATH=child_environment()["PYTHONPATH"])

#: The transports vtysh is reached by.
TRANSPORTS = ("command", "ssh", "telnet")


def _started(server, unavailable):
    try:
        return server.start()
    except unavailable as err:
        pytest.skip(str(err))


#: The instances started in this run, for the summary.
STARTED = []


@pytest.fixture(scope="session")
def frr_instance():
    from frr_daemons import Frr, Unavailable

    instance = _started(Frr(), Unavailable)
    STARTED.append(instance)
    yield instance
    instance.stop()


def pytest_terminal_summary(terminalreporter):
    for instance in STARTED:
        terminalreporter.write_line("FRR (pathspace %s) answered %.3f s after its start"
                                    % (instance.name, instance.startup_time))


@pytest.fixture
def frr(frr_instance):
    """The FRR instance of the run, with the configuration of its start."""
    frr_instance.reset()
    return frr_instance


def vtysh_user(instance):
    """A user whose login shell is this instance's vtysh: in group frrvty, which may use it,
    and frr, which reads its vtysh.conf (without it vtysh warns at start and runs without
    that file's settings)."""
    return "exec %s" % " ".join(instance.vtysh_argv), ("frrvty", "frr")


@pytest.fixture(scope="session")
def frr_sshd(frr_instance):
    """A test sshd (of its own, beside the connection suite's) whose users' login shell is
    vtysh."""
    from servers import SshServer, Unavailable

    user = vtysh_user(frr_instance)
    server = _started(SshServer(users={"vtysh": user, "vtysh2": user}), Unavailable)
    yield server
    server.stop()


@pytest.fixture(scope="session")
def frr_telnetd(frr_instance):
    """The system's telnetd (of its own) whose user's login shell is vtysh."""
    from servers import TelnetDaemon, Unavailable

    server = _started(TelnetDaemon(users={"vtysh": vtysh_user(frr_instance)}), Unavailable)
    yield server
    server.stop()


@pytest.fixture
def frr_known_hosts(frr_sshd, tmp_path):
    return frr_sshd.known_hosts(str(tmp_path / "known_hosts"))


@pytest.fixture
def vtysh_login(request, frr, tmp_path):
    """The arguments of ``tessel.connect`` that reach vtysh over ``transport``."""
    def login(transport):
        if transport == "command":
            return {"transport": "command", "command": frr.vtysh_argv}
        if transport == "ssh":
            sshd = request.getfixturevalue("frr_sshd")
            return {"host": sshd.host, "port": sshd.port, "username": sshd.users["vtysh"],
                    "password": sshd.password,
                    "known_hosts": sshd.known_hosts(str(tmp_path / "known_hosts"))}
        telnetd = request.getfixturevalue("frr_telnetd")
        return {"host": telnetd.host, "port": telnetd.port, "transport": "telnet",
                "username": telnetd.users["vtysh"], "password": telnetd.password}
    return login
