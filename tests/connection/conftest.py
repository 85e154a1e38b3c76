"""Fixtures of the connection suite: the simulated router over a real pty."""
import os
import sys

import pytest

from tessel.cli import child_environment
from tessel.eal.spawn import Spawn
from tessel.utils import AttributeDict

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
