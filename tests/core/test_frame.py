"""Module namespace, class layout and argument binding."""
import importlib
import re
import types

import pytest

import tessel.core.errors
import tessel.eal.dialogs
import tessel.statemachine.statetransition
import tessel.utils
from core_fakes import Bare
from tessel.statemachine import statemachine as smod
from tessel.statemachine.statemachine import Path, State, StateMachine

NAMESPACE = [
    ('re', re),
    ('StateMachineError', tessel.core.errors.StateMachineError),
    ('Dialog', tessel.eal.dialogs.Dialog),
    ('Statement', tessel.eal.dialogs.Statement),
    ('StateTransition', tessel.statemachine.statetransition.StateTransition),
    ('AnyStateTransition', tessel.statemachine.statetransition.AnyStateTransition),
    ('HopWiseStateTransition', tessel.statemachine.statetransition.HopWiseStateTransition),
    ('AttributeDict', tessel.utils.AttributeDict),
]


def test_namespace_binds_collaborators_in_order():
    names = [name for name, _ in NAMESPACE] + ['HOSTNAME_SUBST_PAT', 'State', 'Path', 'StateMachine']
    assert [k for k in vars(smod) if k in names] == names
    for name, value in NAMESPACE:
        assert getattr(smod, name) is value, name
    assert smod.HOSTNAME_SUBST_PAT == '%N'
    assert importlib.import_module('tessel.statemachine.statemachine') is smod


@pytest.mark.parametrize('cls', [State, Path, StateMachine])
def test_classes_are_plain_subclassable_object_classes(cls):
    assert cls.__bases__ == (object,)
    assert cls.__module__ == 'tessel.statemachine.statemachine'
    sub = type('Sub', (cls,), {'extra': 1})
    assert issubclass(sub, cls) and sub.extra == 1


def test_member_kinds():
    assert isinstance(vars(State)['validate'], staticmethod)
    for cls, prop in [(State, 'pattern'), (StateMachine, 'hostname'), (StateMachine, 'learn_hostname'),
                      (StateMachine, 'current_state')]:
        descr = vars(cls)[prop]
        assert isinstance(descr, property), prop
        assert descr.fget and descr.fset and descr.fdel is None, prop


@pytest.mark.parametrize('member, first_line', [
    ('__init__', 'Initializes the state machine'),
    ('create', 'Create the statemachine'),
    ('create_state', 'Creates a state and add it to State Machines'),
    ('add_state', 'Appends a given state to the state machine'),
    ('get_state', 'Returns the state object for the given the name'),
    ('remove_state', 'Removes a state from SM, given the string name'),
])
def test_registry_docstrings(member, first_line):
    doc = getattr(StateMachine, member).__doc__
    assert doc.splitlines()[0] == ' ' + first_line


def test_current_state_docstrings():
    assert StateMachine.update_cur_state.__doc__.strip() == 'Updates the current device state'
    assert StateMachine.current_state.__doc__.strip() == 'Current device state property getter'
    assert StateMachine.current_state.fset.__doc__.strip() == 'Current device state property setter'
    assert StateMachine.hostname.__doc__ is None
    assert StateMachine.learn_hostname.__doc__ is None


def test_instance_attributes_in_construction_order():
    st = State('enable', '#')
    assert list(vars(st)) == ['name', '_pattern', '_linked_sm', 'hostname', 'learn_hostname']
    p = Path(st, st)
    assert list(vars(p)) == ['from_state', 'to_state', 'command', 'dialog']
    assert list(vars(Bare())) == ['_hostname', '_learn_hostname', 'states', 'paths', 'default_dialog',
                                  '_current_state']


def test_str_of_machine_is_default_object_text():
    m = Bare()
    assert str(m) == repr(m) == object.__repr__(m)
    assert str(m).startswith('<core_fakes.Bare object at 0x')


# Binding.  Each case: a call and the exact TypeError message.
def _st():
    return State('s', 'p')


BINDING = [
    # too few, exact arity, counts include self
    (lambda m: State('a'), "__init__() takes exactly 3 positional arguments (2 given)"),
    (lambda m: State(), "__init__() takes exactly 3 positional arguments (1 given)"),
    (lambda m: m.get_state(), "get_state() takes exactly 2 positional arguments (1 given)"),
    (lambda m: m.get_path('a'), "get_path() takes exactly 3 positional arguments (2 given)"),
    (lambda m: _st().substitute_hostname(), "substitute_hostname() takes exactly 2 positional arguments (1 given)"),
    (lambda m: m.detect_state(), "detect_state() takes exactly 2 positional arguments (1 given)"),
    # static method: no self
    (lambda m: State.validate('a'), "validate() takes exactly 2 positional arguments (1 given)"),
    (lambda m: _st().validate('a'), "validate() takes exactly 2 positional arguments (1 given)"),
    (lambda m: State.validate('a', 'b', 'c'), "validate() takes exactly 2 positional arguments (3 given)"),
    # too many
    (lambda m: m.create_graph(1), "create_graph() takes exactly 1 positional argument (2 given)"),
    (lambda m: m.dotgraph(1, 2), "dotgraph() takes exactly 1 positional argument (3 given)"),
    (lambda m: State('a', 'b', 'c'), "__init__() takes exactly 3 positional arguments (4 given)"),
    (lambda m: _st().__str__(1), "__str__() takes exactly 1 positional argument (2 given)"),
    (lambda m: m.add_state(1, 2), "add_state() takes exactly 2 positional arguments (3 given)"),
    # defaults: at least / at most
    (lambda m: Path(_st()), "__init__() takes at least 3 positional arguments (2 given)"),
    (lambda m: Path(1, 2, 3, 4, 5), "__init__() takes at most 5 positional arguments (6 given)"),
    (lambda m: Bare(1, 2, 3), "__init__() takes at most 3 positional arguments (4 given)"),
    (lambda m: m.go_to('any'), "go_to() takes at least 3 positional arguments (2 given)"),
    (lambda m: m.go_to(1, 2, 3, 4, 5, 6, 7, 8), "go_to() takes at most 8 positional arguments (9 given)"),
    (lambda m: m.create_path(1), "create_path() takes at least 3 positional arguments (2 given)"),
    (lambda m: m._find_all_paths(1, 2), "_find_all_paths() takes at least 4 positional arguments (3 given)"),
    (lambda m: m._find_all_paths(1, 2, 3, 4, 5), "_find_all_paths() takes at most 5 positional arguments (6 given)"),
    # a missing parameter with keywords: given = parameters bound before the first missing one
    (lambda m: State(name='a'), "__init__() takes exactly 3 positional arguments (2 given)"),
    (lambda m: State(pattern='a'), "__init__() takes exactly 3 positional arguments (1 given)"),
    (lambda m: m.get_path(to_state='a'), "get_path() takes exactly 3 positional arguments (1 given)"),
    (lambda m: m.go_to('any', timeout=3), "go_to() takes at least 3 positional arguments (2 given)"),
    (lambda m: m.go_to(spawn=None), "go_to() takes at least 3 positional arguments (1 given)"),
    # too many positionals come before keyword problems
    (lambda m: State('a', 'b', 'c', name='x'), "__init__() takes exactly 3 positional arguments (4 given)"),
    (lambda m: m.create_graph(1, bogus=2), "create_graph() takes exactly 1 positional argument (2 given)"),
    # missing before duplicate and unknown keywords
    (lambda m: State('a', name='b'), "__init__() takes exactly 3 positional arguments (2 given)"),
    (lambda m: State('a', bogus=1), "__init__() takes exactly 3 positional arguments (2 given)"),
    # duplicates and unknown keywords
    (lambda m: State('a', 'b', name='c'), "__init__() got multiple values for keyword argument 'name'"),
    (lambda m: State('a', 'b', bogus=1), "__init__() got an unexpected keyword argument 'bogus'"),
    (lambda m: m.create_graph(bogus=1), "create_graph() got an unexpected keyword argument 'bogus'"),
    (lambda m: m.go_to('any', None, context=None, contex=1),
     "go_to() got an unexpected keyword argument 'contex'"),
    (lambda m: m.get_state('a', state_name='a'), "get_state() got multiple values for keyword argument 'state_name'"),
    (lambda m: State.validate('a', 'b', name='c'), "validate() got multiple values for keyword argument 'name'"),
    (lambda m: m.add_default_statements(statement=1), "add_default_statements() takes exactly 2 positional arguments (1 given)"),
    # through the class, without an instance
    (lambda m: StateMachine.create_graph(), "create_graph() takes exactly 1 positional argument (0 given)"),
    (lambda m: StateMachine.get_state(), "get_state() takes exactly 2 positional arguments (0 given)"),
    (lambda m: StateMachine.get_state(m), "get_state() takes exactly 2 positional arguments (1 given)"),
    (lambda m: State.add_state_pattern(), "add_state_pattern() takes exactly 2 positional arguments (0 given)"),
]


@pytest.mark.parametrize('call, message', BINDING, ids=[msg for _, msg in BINDING])
def test_binding_errors(call, message):
    m = Bare()
    with pytest.raises(TypeError) as exc:
        call(m)
    assert str(exc.value) == message


def test_every_parameter_binds_by_keyword(bare):
    st = State(pattern=['x'], name='enable')
    assert st.name == 'enable' and st._pattern == ['x']
    assert State.validate(pattern='p', name='n') is None
    assert st.substitute_hostname(pattern='a%N') == 'a%N'
    st.add_state_pattern(pattern_list='y')
    assert st._pattern == ['x', 'y']
    bare.add_state(state=st)
    assert bare.get_state(state_name='enable') is st
    p = bare.create_path(dialog=None, command='c', to_state=st, from_state=st)
    assert Path(to_state=st, from_state=st).command is None
    assert bare.get_path(to_state='enable', from_state='enable') is p
    assert bare.find_all_paths(to_state=st, from_state='enable') == [[]]
    m = Bare(learn_hostname=True, hostname='R1')
    assert (m.hostname, m.learn_hostname) == ('R1', True)


def test_methods_called_through_the_class_take_any_self():
    # Plain functions: the first argument is just the object the method works on.
    st = State('a', 'p')
    holder = types.SimpleNamespace(paths=[types.SimpleNamespace(from_state=st, to_state=st)])
    graph = StateMachine.create_graph(holder)
    assert graph == {st: holder.paths}


def test_type_stub_lists_the_class_members():
    import ast
    import os
    stub = os.path.join(os.path.dirname(smod.__file__), 'statemachine.pyi')
    if not os.path.exists(stub):
        pytest.skip('installed without the type stub')
    tree = ast.parse(open(stub).read())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    for cls in (State, Path, StateMachine):
        declared = {node.name for node in classes[cls.__name__].body if isinstance(node, ast.FunctionDef)}
        runtime = {name for name in vars(cls) if not (name.startswith('__') and name.endswith('__'))}
        assert declared - {'__init__', '__str__', '__repr__'} == runtime, cls
