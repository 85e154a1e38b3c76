"""Simulated devices for the fleet tests, as inventory entries."""
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ENABLE_PASSWORD = "lab"
LOGIN_PASSWORD = "s3cret-login"


def sim(*options):
    """The argv of a simulated router."""
    return [sys.executable, "-m", "tessel.sim.router", *options]


def faulty(mode, argument, *options):
    """A simulated router behind a front that fails on purpose (see faulty_device.py)."""
    return [sys.executable, os.path.join(HERE, "faulty_device.py"), mode, argument, "--",
            *sim(*options)]


def device(command, **extras):
    """A hosts.yaml entry for a local device program, reached through the command transport."""
    entry = {"platform": "generic", "connection_options": {"tessel": {"extras": {
        "transport": "command", "command": list(command),
        "secrets": {"enable_password": ENABLE_PASSWORD}, **extras}}}}
    return entry


sys.path.insert(0, os.path.join(HERE, "..", "connection"))
from test_sim_ssh import SWITCHES_STACKS, SimServer  # noqa: E402,F401

#: fleet.run's event_loop argument: threads, and one event loop.
RUNNERS = [pytest.param(False, id="threads"),
           pytest.param(True, id="loop", marks=SWITCHES_STACKS)]
