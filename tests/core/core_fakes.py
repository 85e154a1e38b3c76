"""Fakes and small platforms shared by the core tests."""
from types import SimpleNamespace

from tessel.eal.dialogs import Statement
from tessel.statemachine.statemachine import State, StateMachine


class Bare(StateMachine):
    """A machine whose create() registers nothing."""

    def create(self):
        pass


class Platform(StateMachine):
    """disable, enable and config, linked both ways between neighbours.

    The paths are registered in the order disable->enable, enable->disable,
    enable->config, config->enable.
    """

    def create(self):
        disable = self.create_state('disable', r'^%N>\s*$')
        enable = self.create_state('enable', r'^%N#\s*$')
        config = self.create_state('config', r'^%N\(config\)#\s*$')
        password = Statement(pattern=r'[Pp]assword:', action=lambda spawn: spawn.sendline('secret'),
                             loop_continue=True)
        self.create_path(disable, enable, 'enable', [password])
        self.create_path(enable, disable, 'disable')
        self.create_path(enable, config, 'config term')
        self.create_path(config, enable, 'end')


class FakeSpawn:
    """A device handle that records what is sent to it."""

    def __init__(self, output=None, *, match=None, last_sent='end', buffer='R1#'):
        self.sent = []
        self.last_sent = last_sent
        self.buffer = buffer
        if match is not None:
            self.match = match
        elif output is not None:
            self.match = SimpleNamespace(match_output=output)
        else:
            self.match = None

    def sendline(self, *args, **kwargs):
        self.sent.append((args, kwargs))


class FakeEngines:
    """Stands in for the three transition engines and records every construction.

    `reach` is what an engine reports as its current state after its run,
    `error` is raised by the run, `ctor_error` by the construction.
    """

    def __init__(self):
        self.calls = []
        self.engines = []
        self.reach = 'generic'
        self.output = object()
        self.error = None
        self.ctor_error = None

    def engine_class(self, kind):
        log = self

        class Engine:
            def __init__(self, *args, **kwargs):
                log.calls.append((kind, args, list(kwargs.items())))
                if log.ctor_error is not None:
                    raise log.ctor_error
                self.kwargs = kwargs
                self.current_state = 'generic'
                log.engines.append(self)

            def do_transitions(self):
                self.current_state = log.reach
                if log.error is not None:
                    raise log.error
                return log.output

        Engine.__name__ = Engine.__qualname__ = kind
        return Engine

    @property
    def kinds(self):
        return [kind for kind, _, _ in self.calls]

    @property
    def last_kwargs(self):
        return dict(self.calls[-1][2])
