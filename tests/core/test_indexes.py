"""Lookups and route searches stay right after every kind of direct change to what they depend on.

Each case warms the machine (so that whatever it keeps between calls exists), changes something
behind the registry's back, and compares every answer with the same question asked by scanning the
lists as they are now.
"""
import pytest

from core_fakes import Bare
from tessel.core.errors import StateMachineError
from tessel.statemachine.statemachine import Path, State, StateMachine

NAMES = ['a', 'b', 'c', 'd', 'x']


def register(m):
    a, b, c, d = (m.create_state(n, n + '#') for n in 'abcd')
    for x, y in [(a, b), (b, c), (c, d), (a, c), (d, a), (b, a)]:
        m.create_path(x, y, 'go')


def machine():
    m = Bare()
    register(m)
    return m


class Padded(StateMachine):
    """Registers in create() what machine() registers, then `extra` more states in a row."""

    def __init__(self, extra=40):
        self.extra = extra
        super().__init__()

    def create(self):
        register(self)
        fillers = [self.create_state('f%d' % i, 'p') for i in range(self.extra)]
        for x, y in zip(fillers, fillers[1:]):
            self.create_path(x, y, 'go')


def scanned_state(m, name):
    names = [s.name for s in m.states]
    return m.states[names.index(name)] if name in names else None


def scanned_path(m, a, b):
    keys = [(p.from_state.name, p.to_state.name) for p in m.paths]
    return m.paths[keys.index((a, b))] if (a, b) in keys else None


def scanned_routes(m, a, b):
    # The search as written over the graph as it is: the base methods, called through the class.
    return StateMachine._find_all_paths(m, a, b, StateMachine.create_graph(m))


def outcome(op, *args):
    """The result, None for a StateMachineError, or the class of any other error."""
    try:
        return op(*args)
    except StateMachineError:
        return None
    except Exception as exc:  # what scanning raises, the registry must raise too
        return type(exc)


def same(x, y):
    return x is y or (isinstance(x, list) and x == y) or (isinstance(x, type) and x is y)


def no_route(a, b):
    """What get_shortest_path gives without a route: an error worded with both states' text."""
    str(a), str(b)


def assert_answers_match_scans(m):
    # Searches first: a lookup by name may bring an index up to date that a search alone would not.
    states = list(m.states)
    # States built apart under registered names: equal to those only where a class compares by name.
    alike = [State(name, 'p') for name in 'bc']
    for sa in states:
        for sb in states + alike:
            routes = outcome(scanned_routes, m, sa, sb)
            assert outcome(m.find_all_paths, sa, sb) == routes, (sa, sb)
            if isinstance(routes, list):
                expected = min(routes, key=len) if routes else outcome(no_route, sa, sb)
                assert outcome(m.get_shortest_path, sa, sb) == expected, (sa, sb)
    for name in NAMES:
        assert same(outcome(m.get_state, name), outcome(scanned_state, m, name)), name
    for a in NAMES:
        for b in NAMES:
            if isinstance(outcome(scanned_state, m, a), State) and isinstance(outcome(scanned_state, m, b), State):
                assert same(outcome(m.get_path, a, b), outcome(scanned_path, m, a, b)), (a, b)


class NamedByProperty(State):
    name = property(lambda self: 'x')


def compare_by_name(cls):
    cls.__eq__ = lambda self, other: isinstance(other, State) and self.name == other.name
    cls.__hash__ = lambda self: hash(self.name)
    return cls


class EndsByProperty(Path):
    from_state = property(lambda self: self.__dict__['to_state'], lambda self, v: None)


def replace_dict(obj, **changes):
    fresh = dict(vars(obj), **changes)
    obj.__dict__ = fresh


CHANGES = [
    ('state renamed', lambda m: setattr(m.states[1], 'name', 'x')),
    ('state renamed through its dict', lambda m: vars(m.states[2]).__setitem__('name', 'x')),
    ('state dict replaced', lambda m: replace_dict(m.states[0], name='x')),
    ('state name deleted', lambda m: delattr(m.states[3], 'name')),
    ('state class assigned', lambda m: setattr(m.states[1], '__class__', NamedByProperty)),
    ('state class assigned one that compares by name',
     lambda m: setattr(m.states[1], '__class__', compare_by_name(type('ByName', (State,), {})))),
    ('state name deleted, class assigned one that compares by name',
     lambda m: (delattr(m.states[1], 'name'), setattr(m.states[1], '__class__', compare_by_name(
         type('ByName', (State,), {}))))),
    ('state class changed', lambda m: setattr(type(m.states[0]), 'name', property(
        lambda s: 'x', lambda s, v: vars(s).__setitem__('name', v)))),
    ('state item replaced', lambda m: m.states.__setitem__(0, State('x', 'p'))),
    ('state item removed', lambda m: m.states.pop(1)),
    ('states reordered', lambda m: m.states.reverse()),
    ('states list replaced', lambda m: setattr(m, 'states', m.states[::-1])),
    ('states list subclass', lambda m: setattr(m, 'states', type('L', (list,), {})(m.states))),
    ('path end changed', lambda m: setattr(m.paths[0], 'to_state', m.states[3])),
    ('path end changed through its dict', lambda m: vars(m.paths[1]).__setitem__('from_state', m.states[3])),
    ('path dict replaced', lambda m: replace_dict(m.paths[2], to_state=m.states[0])),
    ('path class assigned', lambda m: setattr(m.paths[0], '__class__', EndsByProperty)),
    ('path item replaced', lambda m: m.paths.__setitem__(0, Path(m.states[3], m.states[1]))),
    ('paths reordered', lambda m: m.paths.reverse()),
    ('path removed', lambda m: m.paths.pop(3)),
    ('paths list replaced', lambda m: setattr(m, 'paths', m.paths[2:])),
    ('path to an unregistered state', lambda m: setattr(m.paths[4], 'to_state', State('b', 'p'))),
]


@pytest.fixture
def restore_state_class():
    saved = vars(State).get('name')
    yield
    if saved is None and 'name' in vars(State):
        del State.name


# Small lists and lists too long for entries to be tried in turn; registered one by one, or in
# create(), after which lookups find the lists whole.
@pytest.mark.parametrize('make', [machine, Padded], ids=['small', 'padded'])
@pytest.mark.parametrize('change', [c[1] for c in CHANGES], ids=[c[0] for c in CHANGES])
def test_answers_follow_direct_changes(change, make, restore_state_class):
    m = make()
    assert_answers_match_scans(m)
    change(m)
    assert_answers_match_scans(m)
    # And again, once whatever was rebuilt is in use.
    assert_answers_match_scans(m)


@pytest.mark.parametrize('change', [c[1] for c in CHANGES], ids=[c[0] for c in CHANGES])
def test_registration_follows_direct_changes(change, restore_state_class):
    m = machine()
    m.get_path('a', 'b')
    change(m)
    free = [s for s in m.states if outcome(scanned_state, m, getattr(s, 'name', None)) is s]
    for a in free:
        for b in free:
            duplicate = outcome(scanned_path, m, a.name, b.name)
            if isinstance(duplicate, type):
                continue
            registered = a in m.states and b in m.states
            if not registered:
                continue
            if duplicate is not None:
                with pytest.raises(StateMachineError, match='already exists'):
                    m.create_path(a, b, 'again')
            else:
                assert m.create_path(a, b, 'new') is m.paths[-1]
    for name in NAMES:
        given = State(name, 'p').name  # a class may name its states its own way
        taken = outcome(lambda: given in [s.name for s in m.states])
        if taken is True:
            with pytest.raises(StateMachineError, match='already exists'):
                m.create_state(name, 'p')
        elif taken is False:
            assert m.create_state(name, 'p') is m.states[-1]
        else:
            with pytest.raises(taken):
                m.create_state(name, 'p')


def test_routes_follow_a_class_that_starts_comparing_by_name():
    class Alike(State):  # named through a property: no index keeps its name
        name = property(lambda self: vars(self)['name'], lambda self, value: vars(self).__setitem__('name', value))

    m = machine()
    m.states[1].__class__ = Alike
    assert_answers_match_scans(m)
    compare_by_name(Alike)
    assert_answers_match_scans(m)


def test_routes_follow_an_end_of_another_kind_assigned_a_class():
    class Token:
        pass

    class EqualToZ:
        def __eq__(self, other):
            return getattr(other, 'name', None) == 'z'

        __hash__ = object.__hash__

    m = machine()
    token = Token()
    m.paths[1].to_state = token
    a, z = m.states[0], State('z', 'p')
    assert m.find_all_paths(a, z) == []
    # No dict changes, and the object is none of the module's, so nothing counts the assignment.
    token.__class__ = EqualToZ
    assert m.find_all_paths(a, z) == scanned_routes(m, a, z) == [[m.paths[0], m.paths[1]]]


# Changes that touch no dict, made between two registrations that follow each other directly: the
# second one must still see them. Each change makes a path from the state at position `query[0]`
# to the one at `query[1]` a duplicate, or no longer one.
class NamedC(State):
    name = property(lambda self: 'c')


QUIET_CHANGES = [
    ('state dict replaced', lambda m, kept: setattr(m.states[1], '__dict__', kept), (2, 0)),
    ('state class assigned', lambda m, kept: setattr(m.states[1], '__class__', NamedC), (2, 0)),
    ('path class assigned', lambda m, kept: setattr(m.paths[5], '__class__', EndsByProperty), (1, 0)),
    ('path item replaced', lambda m, kept: m.paths.__setitem__(5, m.paths[0]), (1, 0)),
]


@pytest.mark.parametrize('change, query', [c[1:] for c in QUIET_CHANGES], ids=[c[0] for c in QUIET_CHANGES])
def test_registration_right_after_changes_no_dict_shows(change, query):
    reference = machine()
    change(reference, dict(vars(reference.states[1]), name='c'))
    duplicate = outcome(scanned_path, reference, *(reference.states[i].name for i in query)) is not None
    m = machine()
    kept = dict(vars(m.states[1]), name='c')
    m.create_path(m.states[2], m.states[2], 'loop')
    m.create_path(m.states[3], m.states[3], 'loop')
    # Nothing between the change and the registration changes any dict.
    change(m, kept)
    added = outcome(m.create_path, m.states[query[0]], m.states[query[1]], 'again')
    assert (added is None) == duplicate
    assert_answers_match_scans(m)


# Lists found whole at about the length up to which entries are tried in turn, then grown past it.
@pytest.mark.parametrize('extra', [26, 27, 28, 36])
def test_lookups_while_lists_grow_past_trying_entries_in_turn(extra):
    m = Padded(extra)
    assert m.get_state('a') is m.states[0] and m.get_path('a', 'b') is m.paths[0]
    for i in range(extra, extra + 6):
        m.create_path(m.states[-1], m.create_state('f%d' % i, 'p'), 'go')
        for name in NAMES + ['f0', 'f%d' % i, 'f%d' % (i + 1)]:
            assert same(outcome(m.get_state, name), outcome(scanned_state, m, name)), name
        for a, b in [('a', 'b'), ('f%d' % (i - 1), 'f%d' % i), ('b', 'f0')]:
            assert same(outcome(m.get_path, a, b), outcome(scanned_path, m, a, b)), (a, b)
        with pytest.raises(StateMachineError, match='already exists'):
            m.create_state('f%d' % i, 'p')
        with pytest.raises(StateMachineError, match='already exists'):
            m.create_path(m.states[-2], m.states[-1], 'again')
