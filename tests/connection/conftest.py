"""Fixtures of the connection suite: the simulated router over a real pty."""
import os
import sys

import pytest

from tessel.cli import child_environment
from tessel.eal.spawn import Spawn
from tessel.utils import AttributeDict

# servers.py (the sshd and telnet servers) is imported as a plain module, by the
# benchmarks too.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

# Simulated routers run as child processes, also from tests that change the
# working directory: they must import the tessel under test wherever it lies.
os.environ.update(PYTHONPATH=child_environment()["PYTHONPATH"])

PASSWORD = "lab"


def sim_argv(*options):
    return [sys.executable, "-m", "tessel.sim.router", *options]


@pytest.fixture
def start_sim():
    """Starts simulated routers (closed at the end of the test); returns the Spawn."""
    started = []

    def start(*options, timeout=3, **kwargs):
        spawn = Spawn(sim_argv(*options), timeout=timeout, **kwargs)
        started.append(spawn)
        return spawn

    yield start
    for spawn in started:
        spawn.close()


@pytest.fixture
def context():
    return AttributeDict(enable_password=PASSWORD)


@pytest.fixture
def router(start_sim, context):
    """(spawn, machine): a simulated router whose machine has detected the disable state."""
    from tessel.platforms.generic import GenericRouter

    spawn = start_sim(context=context)
    machine = GenericRouter(learn_hostname=True)
    machine.go_to("any", spawn, context=context)
    assert machine.current_state == "disable"
    return spawn, machine


# -- real servers on loopback ------------------------------------------------------------

def _started(server):
    from servers import Unavailable

    try:
        return server.start()
    except Unavailable as err:
        pytest.skip(str(err))


@pytest.fixture(scope="session")
def sshd():
    """OpenSSH's sshd on a free loopback port, with throwaway users 'sim' and 'bash'."""
    from servers import SshServer

    server = _started(SshServer())
    yield server
    server.stop()


@pytest.fixture(scope="session", params=["telnetlib3", "telnetd"])
def telnetd(request):
    """A telnet server in front of the simulated router: the one written here (asks
    Username:/Password:), and the system's telnetd with the system's login."""
    from servers import TelnetDaemon, TelnetServer

    server = _started(TelnetServer() if request.param == "telnetlib3" else TelnetDaemon())
    yield server
    server.stop()


@pytest.fixture
def known_hosts(sshd, tmp_path):
    """A known_hosts file that knows the test sshd's host key."""
    return sshd.known_hosts(str(tmp_path / "known_hosts"))
