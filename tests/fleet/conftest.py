"""Fixtures of the fleet suite: inventories of simulated devices on real ptys."""
import os
import signal

import pytest
import yaml

from simulated import LOGIN_PASSWORD, device, faulty, sim
from tessel.cli import child_environment

# Simulated devices, Dask workers and the tessel command run as child processes:
# they must import the tessel under test wherever it lies.
os.environ.update(PYTHONPATH=child_environment()["PYTHONPATH"])


@pytest.fixture
def write_inventory(tmp_path):
    """Writes hosts.yaml (and groups.yaml, defaults.yaml when given); returns the directory."""
    def write(hosts, groups=None, defaults=None):
        for name, content in (("hosts.yaml", hosts), ("groups.yaml", groups),
                              ("defaults.yaml", defaults)):
            if content is not None:
                (tmp_path / name).write_text(yaml.safe_dump(content))
        return tmp_path
    return write


@pytest.fixture
def fleet_hosts():
    """Healthy simulated routers, one that goes silent in the middle of `show version`, one
    that refuses the login password and one that dies in the middle of `show version`."""
    return {
        "r1": device(sim("--hostname", "R1")),
        "r2": device(sim("--hostname", "R2")),
        "login-ok": device(faulty("login", LOGIN_PASSWORD, "--hostname", "R3"),
                           hostname="R3") | {"username": "admin", "password": LOGIN_PASSWORD},
        # Its login must not time out (two Pythons start, slowly under a sanitizer): only its
        # `show version` should.
        "slow": device(faulty("hangs-on", "show version", "--hostname", "R4"), timeout=2.0),
        "refused": device(faulty("login", LOGIN_PASSWORD, "--hostname", "R5"))
        | {"username": "admin", "password": "wrong-password"},
        "dies": device(faulty("dies-on", "show version", "--hostname", "R6")),
    }


@pytest.fixture
def ctrl_c():
    """Ctrl-C taken as an interactive run takes it (the tests may run with it ignored)."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)
