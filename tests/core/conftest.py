"""Shared fixtures of the core suite: a small platform, fake spawns and recording fake engines."""
import pytest

from core_fakes import Bare, FakeEngines, Platform
from tessel.statemachine import statemachine as smod
from tessel.statemachine.statemachine import State


@pytest.fixture
def engines(monkeypatch):
    fake = FakeEngines()
    for kind in ('StateTransition', 'AnyStateTransition', 'HopWiseStateTransition'):
        monkeypatch.setattr(smod, kind, fake.engine_class(kind))
    return fake


@pytest.fixture
def platform():
    return Platform()


@pytest.fixture
def bare():
    return Bare()


@pytest.fixture
def three():
    """A bare machine holding the free states disable, enable and config."""
    m = Bare()
    for name in ('disable', 'enable', 'config'):
        m.add_state(State(name, name + '#'))
    return m
