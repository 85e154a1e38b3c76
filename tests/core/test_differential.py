"""The native module and the plain Python one, driven side by side through random sequences of calls
and of direct changes a user can make (lists, attributes, classes, module names), must agree on every
result, error, recorded engine call, sent line, regular-expression call and object state."""
import functools
import os
import re
from types import SimpleNamespace

import plain_statemachine
from core_fakes import FakeEngines, FakeSpawn
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from tessel.eal.dialogs import Dialog, Statement
from tessel.statemachine import statemachine as native_statemachine

ENGINES = ('StateTransition', 'AnyStateTransition', 'HopWiseStateTransition')
REBINDABLE = ENGINES + ('re', 'HOSTNAME_SUBST_PAT', 'State', 'Path', 'Dialog', 'StateMachineError')


class Interrupt(BaseException):
    """Not an Exception: passes through every handler of the module."""


class LoudError(Exception):
    pass


class Weird:
    """An object whose comparisons and text misbehave."""

    def __init__(self, kind):
        self.kind = kind

    def __eq__(self, other):
        if self.kind == 'eq raises':
            raise LoudError('eq')
        return self.kind == 'equals all'

    __hash__ = object.__hash__

    def __str__(self):
        if self.kind == 'str raises':
            raise LoudError('str')
        return 'weird ' + self.kind

    def __repr__(self):
        return 'Weird(%r)' % self.kind


class Nameless:
    """A callable without __name__."""

    def __call__(self, spawn):
        return spawn


def send_password(spawn):
    return spawn


STATEMENTS = [Statement(pattern=r'\[confirm\]', action=lambda spawn: spawn.sendline(), loop_continue=True),
              Statement(pattern=r'\(yes/no\)', action=lambda spawn: spawn.sendline('yes'), loop_continue=True)]
JUNK = [None, 5, ('enable', 'config'), Weird('eq raises'), Weird('equals all'), Weird('str raises'), ['enable'],
        STATEMENTS[0]]
NAMES = ['disable', 'enable', 'config', 'config_vlan', 'shell', 'a"b\\', 'any', 'generic', '']
PATTERNS = ['%N#', r'^%N>\s*$', r'^%N\(config\)#\s*$', '(', '%N%N', '', r'\S+#$', 'R1#', '.*', ['%N#', 'a.b'], [],
            ('x',), 5, [1]]
HOSTNAMES = [None, '', 'R1', 'a.b', 'R\\1', 'x\\ty', 5, 'h%N', 'R1\\g<0>']
PLACEHOLDERS = ['%N', ''.join('%N'), 'h', 'x*', 'R', 5, '(']
OUTPUTS = ['no match', None, '', 'R1#', 'R1>', 'R1#\nR1(config)#', 'R1(config)#\nR1(vlan)#', 'R1#\n',
           'R1#\n\n', 'a.b#', '%N#', 'R1R1', '$ ', 'ab>', 5]
COMMANDS = [None, 'conf t', '', 0, 5, ['a'], len, functools.partial(len), lambda spawn: None, Nameless(),
            send_password, 'say "hi"\\']
DIALOGS = [None, [], [STATEMENTS[0]], STATEMENTS, 5, 'x', (STATEMENTS[0],), [5], Dialog([])]
TEXTS = ['%N', '%%NN', 'x%Ny', 'R1', 'hh', 'abc', '', '%N%N' * 3, 'a\\b', 5]

PROMPTS = {'disable': r'^%N>\s*$', 'enable': r'^%N#\s*$', 'config': r'^%N\(config\)#\s*$',
           'config_vlan': [r'^%N\(config-vlan\)#\s*$', r'^%N\(vlan\)#'], 'shell': r'\$\s*$', 'a"b\\': 'ab>'}

index = st.integers(0, 40)
pool_state = st.tuples(st.just('S'), index)
pool_path = st.tuples(st.just('P'), index)
junk = st.tuples(st.just('junk'), index)
# mostly the objects of the run, sometimes names, look-alikes and junk
state_ref = st.one_of(pool_state, pool_state, pool_state, pool_state,
                      st.tuples(st.sampled_from(['name', 'fresh']), st.sampled_from(NAMES)),
                      st.tuples(st.just('copy'), index), junk)
path_ref = st.one_of(pool_path, pool_path, pool_path, junk)
# what a rule may change: never the junk objects, which both implementations share
own_state = st.one_of(pool_state, pool_state, pool_state, st.tuples(st.just('name'), st.sampled_from(NAMES)),
                      st.tuples(st.just('copy'), index))
any_ref = st.one_of(state_ref, state_ref, path_ref)
target_ref = st.one_of(state_ref, state_ref, st.tuples(st.just('list'), st.lists(state_ref, max_size=3)),
                       st.just(('name', 'any')), st.just(('fresh', 'any')),
                       st.tuples(st.just('tuple'), st.lists(state_ref, max_size=2)))


def _fresh(text):
    """An equal text that is not the interned literal."""
    return ''.join(list(text))


def _own(value):
    """A list argument copied for one implementation, so that the two never share it."""
    return list(value) if isinstance(value, list) else value


def _difference(a, b):
    """The first place where two normalised forms differ, for the failure message."""
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)) and len(a) == len(b):
        for x, y in zip(a, b):
            if x != y:
                return _difference(x, y)
    return a, b


def _text(value):
    text = re.sub(r' at 0x[0-9a-f]+', '', value)
    return text.replace('tessel.statemachine.statemachine.', '').replace('plain_statemachine.', '')


def make_classes(mod, world):
    """The subclasses a run uses in one implementation, with the same names in both."""

    class Machine(mod.StateMachine):
        def create(self):
            pass

    class Lookups(Machine):
        def get_state(self, state_name):
            world.log.append(('get_state', state_name))
            return super().get_state(state_name)

    class Faithful(Machine):
        def _find_all_paths(self, *args, **kwargs):
            return super()._find_all_paths(*args, **kwargs)

    class Regrouped(Machine):
        def create_graph(self):
            return {state: paths[::-1] for state, paths in super().create_graph().items()}

    class Reordered(Machine):
        @property
        def states(self):
            return self.__dict__['states'][::-1]

        @states.setter
        def states(self, value):
            self.__dict__['states'] = value

    class ByName(mod.State):
        def __eq__(self, other):
            return isinstance(other, mod.State) and self.name == other.name

        def __hash__(self):
            return hash(self.name)

    class Shouting(mod.State):
        def __str__(self):
            return str(self.name).upper()

    class Renamed(mod.State):
        @property
        def name(self):
            return '%s!' % (self.__dict__.get('name'),)

        @name.setter
        def name(self, value):
            self.__dict__['name'] = value

    class Anchored(mod.State):
        @property
        def pattern(self):
            return '^(' + mod.State.pattern.fget(self) + ')$'

    class Backwards(mod.Path):
        @property
        def from_state(self):
            return self.__dict__.get('to_state')

        @from_state.setter
        def from_state(self, value):
            self.__dict__['from_state'] = value

    class Loud(mod.StateMachineError):
        pass

    class LoggedDialog(mod.Dialog):
        def __init__(self, items=None):
            world.log.append(('Dialog', list(items or [])))
            super().__init__(items)

    return SimpleNamespace(
        machines=[Machine, Lookups, Faithful, Regrouped, Reordered], Machine=Machine,
        states=[mod.State, ByName, Shouting, Renamed, Anchored], paths=[mod.Path, Backwards],
        Loud=Loud, LoggedDialog=LoggedDialog)


class RecordingRe:
    """Stands in for the `re` module and records the calls the state machine makes."""

    original_search, original_sub = re.search, re.sub

    def __init__(self, log):
        self.log = log
        self.error = re.error

    def search(self, pattern, string, flags=0):
        self.log.append(('re.search', pattern, string))
        return self.original_search(pattern, string, flags)

    def sub(self, pattern, repl, string, count=0, flags=0):
        self.log.append(('re.sub', pattern, repl, string))
        return self.original_sub(pattern, repl, string, count, flags)


class World:
    """One implementation with its own machine, objects, fakes and records of one run."""

    def __init__(self, mod):
        self.mod = mod
        self.saved = {name: getattr(mod, name) for name in REBINDABLE}
        self.engines = FakeEngines()
        for kind in ENGINES:
            setattr(mod, kind, self.engines.engine_class(kind))
        self.log = []
        self.recording_re = RecordingRe(self.log)
        self.cls = make_classes(mod, self)
        self.spawn = FakeSpawn()
        self.handles = {}
        self.kept = []
        self.states = []
        self.paths = []
        self.machine = self.cls.Machine()
        self.other = self.cls.Machine(hostname='other')
        self.handle(self.machine, 'M')
        self.handle(self.other, 'M2')
        self.handle(self.spawn, 'spawn')

    def restore(self):
        for name, value in self.saved.items():
            setattr(self.mod, name, value)

    def handle(self, obj, name=None):
        key = id(obj)
        if key not in self.handles:
            self.kept.append(obj)
            self.handles[key] = name or ('new', len(self.handles))
        return self.handles[key]

    def add(self, pool, obj, kind):
        if any(obj is known for known in pool):
            return
        pool.append(obj)
        self.handle(obj, (kind, len(pool) - 1))

    # ---- arguments

    def ref(self, r):
        kind, value = r
        if kind == 'S':
            return self.states[value % len(self.states)] if self.states else 'enable'
        if kind == 'P':
            return self.paths[value % len(self.paths)] if self.paths else None
        if kind == 'name':
            return value
        if kind == 'fresh':
            return _fresh(value)
        if kind == 'copy':
            name = vars(self.states[value % len(self.states)]).get('name') if self.states else 'enable'
            return self.mod.State(name if isinstance(name, str) else 'enable', 'x')
        if kind == 'list':
            return [self.ref(item) for item in value]
        if kind == 'tuple':
            return tuple(self.ref(item) for item in value)
        return JUNK[value % len(JUNK)]

    # ---- comparable forms

    def norm(self, x, depth=0):
        if depth > 6:
            return '...'
        if x is None or isinstance(x, (bool, int, float)):
            return x
        if type(x) is str:
            return _text(x)
        if isinstance(x, BaseException):
            return self.norm_error(x, depth)
        if type(x) in (list, tuple):
            return (type(x).__name__, [self.norm(item, depth + 1) for item in x])
        if type(x) is dict:
            return ('dict', [(self.norm(k, depth + 1), self.norm(v, depth + 1)) for k, v in x.items()])
        if isinstance(x, Dialog):
            return (type(x).__name__, [self.norm(item, depth + 1) for item in x])
        if isinstance(x, Statement) and x in STATEMENTS:
            return ('statement', STATEMENTS.index(x))
        if any(x is junk for junk in JUNK):
            return ('junk', [i for i, junk in enumerate(JUNK) if junk is x][0])
        return (type(x).__name__, self.handle(x))

    def norm_error(self, err, depth=0):
        def link(e):
            if isinstance(e, RecursionError):
                return 'RecursionError'
            return None if e is None else (type(e).__name__, _text(self.text(e)))
        if isinstance(err, RecursionError):  # the interpreter and the native guard word it differently
            return ('raise', 'RecursionError')
        return ('raise', type(err).__name__, _text(self.text(err)), link(err.__cause__), link(err.__context__),
                err.__suppress_context__)

    @staticmethod
    def text(obj):
        try:
            return str(obj)
        except Exception as err:  # an argument whose text raises
            return '<str raised %s>' % type(err).__name__

    def outcome(self, fn):
        try:
            return ('ok', self.norm(fn(self)))
        except (Exception, Interrupt) as err:
            return self.norm_error(err)

    def snapshot(self):
        """Everything observable of the run, read without changing anything."""
        def fields(obj):
            return (type(obj).__name__, self.norm(dict(vars(obj))))
        return {
            'machine': fields(self.machine),
            'states': [(fields(s), self.outcome(lambda w, s=s: s.pattern), self.outcome(lambda w, s=s: repr(s)))
                       for s in self.states],
            'paths': [(fields(p), self.outcome(lambda w, p=p: repr(p))) for p in self.paths],
            'engines': self.norm(self.engines.calls),
            'sent': self.norm(self.spawn.sent),
            'log': self.norm(self.log),
        }


class Differential(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.worlds = [World(native_statemachine), World(plain_statemachine)]
        self.saved_search = re.search

    def teardown(self):
        re.search = self.saved_search
        for w in self.worlds:
            w.restore()

    def both(self, fn, pool=None):
        outcomes = [w.outcome(fn) for w in self.worlds]
        assert outcomes[0] == outcomes[1], _difference(*outcomes)
        return outcomes[0]

    @initialize(names=st.lists(st.sampled_from(sorted(PROMPTS)), min_size=2, max_size=6, unique=True),
                edges=st.lists(st.tuples(index, index), max_size=14), host=st.sampled_from([None, 'R1', 'R1', 'a.b']),
                learn=st.sampled_from([False, False, True]))
    def platform(self, names, edges, host, learn):
        def build(w):
            w.machine = w.cls.Machine(hostname=host, learn_hostname=learn)
            w.handles[id(w.machine)] = 'M'
            w.kept.append(w.machine)
            for name in names:
                w.add(w.states, w.machine.create_state(name, _own(PROMPTS[name])), 'S')
            for a, b in dict.fromkeys((a % len(names), b % len(names)) for a, b in edges):
                w.add(w.paths, w.machine.create_path(w.states[a], w.states[b], 'go ' + names[b]), 'P')
        self.both(build)

    @invariant()
    def everything_observable_agrees(self):
        native, plain = (w.snapshot() for w in self.worlds)
        for key in native:
            assert native[key] == plain[key], (key, _difference(native[key], plain[key]))

    # ---- states

    @rule(name=st.sampled_from(NAMES), pattern=st.sampled_from(PATTERNS), cls=index)
    def make_state(self, name, pattern, cls):
        def make(w):
            state = w.cls.states[cls % len(w.cls.states)](name, _own(pattern))
            w.add(w.states, state, 'S')
            return state
        self.both(make)

    @rule(name=st.sampled_from(NAMES), pattern=st.sampled_from(PATTERNS))
    def create_state(self, name, pattern):
        def create(w):
            state = w.machine.create_state(_fresh(name), _own(pattern))
            w.add(w.states, state, 'S')
            return state
        self.both(create)

    @rule(ref=any_ref, other_machine=st.booleans())
    def add_state(self, ref, other_machine):
        self.both(lambda w: (w.other if other_machine else w.machine).add_state(w.ref(ref)))

    @rule(ref=any_ref)
    def get_state(self, ref):
        self.both(lambda w: w.machine.get_state(w.ref(ref)))

    @rule(ref=any_ref)
    def remove_state(self, ref):
        self.both(lambda w: w.machine.remove_state(w.ref(ref)))

    @rule(ref=any_ref, how=st.sampled_from(['update', 'setter', 'direct']))
    def change_current_state(self, ref, how):
        def change(w):
            value = w.ref(ref)
            if how == 'update':
                return w.machine.update_cur_state(value)
            if how == 'setter':
                w.machine.current_state = value
            else:
                w.machine._current_state = value
        self.both(change)

    # ---- paths

    @rule(a=state_ref, b=state_ref, command=st.sampled_from(COMMANDS), dialog=st.sampled_from(DIALOGS),
          register=st.booleans(), cls=index)
    def make_path(self, a, b, command, dialog, register, cls):
        def make(w):
            if register:
                path = w.machine.create_path(w.ref(a), w.ref(b), command, _own(dialog))
            else:
                path = w.cls.paths[cls % len(w.cls.paths)](w.ref(a), w.ref(b), command=command, dialog=_own(dialog))
            w.add(w.paths, path, 'P')
            return path
        self.both(make)

    @rule(ref=any_ref)
    def add_path(self, ref):
        self.both(lambda w: w.machine.add_path(w.ref(ref)))

    @rule(a=any_ref, b=any_ref, remove=st.booleans())
    def get_or_remove_path(self, a, b, remove):
        self.both(lambda w: (w.machine.remove_path if remove else w.machine.get_path)(w.ref(a), w.ref(b)))

    @rule(ref=pool_path, end=st.sampled_from(['from_state', 'to_state', 'command', 'dialog']), value=any_ref,
          command=st.sampled_from(COMMANDS), dialog=st.sampled_from(DIALOGS), validate=st.booleans())
    def change_path(self, ref, end, value, command, dialog, validate):
        def change(w):
            path = w.ref(ref)
            new = {'command': command, 'dialog': _own(dialog)}.get(end) if end in ('command', 'dialog') else w.ref(value)
            setattr(path, end, new)
            if validate:
                return path.validate_update()
        self.both(change)

    @rule(statements=st.one_of(st.sampled_from(STATEMENTS + JUNK), st.lists(st.sampled_from(STATEMENTS + JUNK),
                                                                           max_size=3)))
    def add_default_statements(self, statements):
        self.both(lambda w: w.machine.add_default_statements(_own(statements)))

    # ---- routes

    @rule(a=state_ref, b=state_ref, how=st.sampled_from(['all', 'shortest', 'shortest twice']))
    def search(self, a, b, how):
        def search(w):
            if how == 'all':
                return w.machine.find_all_paths(w.ref(a), w.ref(b))
            route = w.machine.get_shortest_path(w.ref(a), w.ref(b))
            if how == 'shortest twice':
                # a caller may change what it got; the next search must not see it
                route.append(route[0] if route else None)
                return route, w.machine.get_shortest_path(w.ref(a), w.ref(b))
            return route
        self.both(search)

    @rule(a=state_ref, b=state_ref, travelled=st.lists(index, max_size=3), graph=st.booleans())
    def search_as_written(self, a, b, travelled, graph):
        def search(w):
            transitions = [w.paths[i % len(w.paths)] for i in travelled if w.paths]
            before = list(transitions)
            given = w.machine.create_graph() if graph else {w.ref(a): list(w.paths)}
            routes = w.machine._find_all_paths(w.ref(a), w.ref(b), given, transitions)
            return given, routes, transitions == before
        self.both(search)

    @rule()
    def dotgraph(self):
        self.both(lambda w: w.machine.dotgraph())

    # ---- hostname and patterns

    @rule(host=st.sampled_from(HOSTNAMES), learn=st.sampled_from([False, True, 0, 'yes']),
          where=st.sampled_from(['machine', 'machine directly', 'state']), which=st.booleans(), ref=own_state)
    def change_hostname(self, host, learn, where, which, ref):
        def change(w):
            name, value = ('learn_hostname', learn) if which else ('hostname', host)
            if where == 'state':
                setattr(w.ref(ref), name, value)
            else:
                setattr(w.machine, name if where == 'machine' else '_' + name, value)
        self.both(change)

    @rule(ref=own_state, how=st.sampled_from(['setter', '_update_pattern', 'add_state_pattern', 'append',
                                              'replace item', 'clear', 'share list']),
          pattern=st.sampled_from(PATTERNS))
    def change_patterns(self, ref, how, pattern):
        def change(w):
            state = w.ref(ref)
            if how == 'setter':
                state.pattern = _own(pattern)
            elif how in ('_update_pattern', 'add_state_pattern'):
                return getattr(state, how)(_own(pattern))
            elif how == 'append':
                state._pattern.append(_own(pattern))
            elif how == 'replace item':
                state._pattern[0] = _own(pattern)
            elif how == 'clear':
                state._pattern.clear()
            else:
                state._pattern = w.states[0]._pattern
        self.both(change)

    @rule(ref=state_ref, text=st.sampled_from(TEXTS), learn=st.booleans())
    def substitute(self, ref, text, learn):
        self.both(lambda w: getattr(w.ref(ref), 'substitute_learn_hostname' if learn else 'substitute_hostname')(
            text))

    # ---- direct changes to lists, attributes, classes and the module

    @rule(which=st.sampled_from(['states', 'paths']),
          how=st.sampled_from(['append', 'insert', 'delete', 'replace', 'reverse', 'clear', 'new list', 'swap',
                               'subclass']),
          at=index, ref=any_ref)
    def change_list(self, which, how, at, ref):
        class Listed(list):
            pass

        def change(w):
            items = getattr(w.machine, which)
            if how == 'append':
                items.append(w.ref(ref))
            elif how == 'insert':
                items.insert(at % 3, w.ref(ref))
            elif how == 'delete' and items:
                del items[at % len(items)]
            elif how == 'replace' and items:
                items[at % len(items)] = w.ref(ref)
            elif how == 'reverse':
                items.reverse()
            elif how == 'clear':
                items.clear()
            elif how == 'new list':
                setattr(w.machine, which, list(items))
            elif how == 'swap':
                w.machine.states, w.machine.paths = w.machine.paths, w.machine.states
            elif how == 'subclass':
                setattr(w.machine, which, Listed(items))
        self.both(change)

    @rule(ref=own_state, value=st.one_of(st.sampled_from(NAMES), st.sampled_from(JUNK[:3])),
          delete=st.booleans())
    def rename_state(self, ref, value, delete):
        def rename(w):
            state = w.ref(ref)
            if delete:
                del state.name
            else:
                state.name = _fresh(value) if isinstance(value, str) else value
        self.both(rename)

    @rule(kind=st.sampled_from(['state', 'path', 'machine']), ref=index, cls=index)
    def change_class(self, kind, ref, cls):
        def change(w):
            pool, classes = {'state': (w.states, w.cls.states), 'path': (w.paths, w.cls.paths),
                             'machine': ([w.machine], w.cls.machines)}[kind]
            if pool:
                pool[ref % len(pool)].__class__ = classes[cls % len(classes)]
        self.both(change)

    @rule(name=st.sampled_from(['create_graph', 'get_state', 'find_all_paths', '_find_all_paths']),
          where=st.sampled_from(['instance', 'class', 'remove']))
    def override_method(self, name, where):
        def override(w):
            base = w.cls.machines[3] if name == 'create_graph' else w.cls.machines[1]
            if where == 'instance':
                setattr(w.machine, name, functools.partial(getattr(base, name), w.machine))
            elif where == 'class':
                setattr(w.cls.Machine, name, getattr(base, name))
            else:
                w.machine.__dict__.pop(name, None)
                if name in vars(w.cls.Machine):
                    delattr(w.cls.Machine, name)
        self.both(override)

    @rule(name=st.sampled_from(['re', 'HOSTNAME_SUBST_PAT', 'State', 'Path', 'Dialog', 'StateMachineError']),
          choice=index, restore=st.booleans())
    def rebind_module_name(self, name, choice, restore):
        def rebind(w):
            if restore:
                value = w.saved[name]
            else:
                value = {'re': w.recording_re, 'HOSTNAME_SUBST_PAT': PLACEHOLDERS[choice % len(PLACEHOLDERS)],
                         'State': w.cls.states[1 + choice % 4], 'Path': w.cls.paths[1],
                         'Dialog': w.cls.LoggedDialog, 'StateMachineError': w.cls.Loud}[name]
            setattr(w.mod, name, value)
        self.both(rebind)

    # ---- state changes

    @rule(goal=target_ref, reach=st.one_of(st.just(('word', 'generic')), st.just(('fresh', 'generic')),
                                              state_ref),
          error=st.sampled_from([None, 'exception', 'machine error', 'interrupt', 'construction']),
          hop_wise=st.sampled_from([False, True, 1]), context=st.sampled_from(['default', 'given', 'none']),
          output=st.sampled_from(OUTPUTS))
    def go_to(self, goal, reach, error, hop_wise, context, output):
        def go(w):
            w.engines.reach = reach[1] if reach[0] == 'word' else w.ref(reach)
            w.engines.error = {'exception': LoudError('run'), 'interrupt': Interrupt('stop'),
                               'machine error': w.mod.StateMachineError('inner')}.get(error)
            w.engines.ctor_error = LoudError('built') if error == 'construction' else None
            w.spawn.match = None if output == 'no match' else SimpleNamespace(match_output=output)
            extra = {} if context == 'default' else {'context': None if context == 'none' else w.engines}
            return w.machine.go_to(w.ref(goal), w.spawn, hop_wise=hop_wise, **extra)
        self.both(go)

    @rule(output=st.sampled_from(OUTPUTS), reach=st.one_of(st.just(('word', 'generic')), state_ref),
          patched_search=st.booleans())
    def detect_state(self, output, reach, patched_search):
        def detect(w):
            w.engines.reach = reach[1] if reach[0] == 'word' else w.ref(reach)
            w.engines.error = w.engines.ctor_error = None
            w.spawn.match = None if output == 'no match' else SimpleNamespace(match_output=output)
            if patched_search:
                re.search = w.recording_re.search
            try:
                return w.machine.detect_state(w.spawn)
            finally:
                re.search = self.saved_search
        self.both(detect)


Differential.TestCase.settings = settings(
    max_examples=int(os.environ.get('TESSEL_DIFFERENTIAL_EXAMPLES', '150')), stateful_step_count=40,
    deadline=None, suppress_health_check=list(HealthCheck))
TestDifferential = Differential.TestCase
