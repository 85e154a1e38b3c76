"""State: construction, validation, patterns, and hostname substitution in prompts."""
import re

import pytest

from core_fakes import FakeSpawn
from tessel.statemachine import statemachine as smod
from tessel.statemachine.statemachine import State


def _raised(fn, *args):
    """The exception that fn(*args) raises, to compare a message with the interpreter's own."""
    with pytest.raises(Exception) as exc:
        fn(*args)
    return exc.value


@pytest.mark.parametrize('pattern, stored, read', [
    ('Router#', ['Router#'], 'Router#'),
    (['a', 'b'], ['a', 'b'], 'a|b'),
    ([], [], ''),
    ('', [''], ''),
    (['^a$', '', 'b'], ['^a$', '', 'b'], '^a$||b'),
    (['%N#'], ['%N#'], '%N#'),
])
def test_construction_stores_patterns(pattern, stored, read):
    st = State('x', pattern)
    assert (st.name, st._pattern, st._linked_sm, st.hostname, st.learn_hostname) == ('x', stored, None, None, False)
    assert st.pattern == read


def test_a_list_pattern_is_shared_with_the_caller():
    given = ['a', 'b']
    st = State(name='config', pattern=given)
    assert st._pattern is given
    given.append('c')
    assert st.pattern == 'a|b|c'
    st.add_state_pattern(['d'])
    assert given == ['a', 'b', 'c', 'd']
    other = ['z']
    st.pattern = other
    assert st._pattern is other


class Name(str):
    pass


@pytest.mark.parametrize('name, pattern, message', [
    (5, 7, 'State Name should be of type str'),
    (None, 'p', 'State Name should be of type str'),
    (b'x', 'p', 'State Name should be of type str'),
    ('x', ('a',), 'State Pattern should be of type list or str'),
    ('x', None, 'State Pattern should be of type list or str'),
    ('x', b'p', 'State Pattern should be of type list or str'),
])
def test_validation_messages(name, pattern, message):
    for call in (State, State.validate, State('ok', 'p').validate):
        with pytest.raises(TypeError) as exc:
            call(name, pattern)
        assert str(exc.value) == message


@pytest.mark.parametrize('name, pattern', [('', ''), ('x', []), (Name('x'), [1, None]), ('x', type('L', (list,), {})())])
def test_validate_accepts(name, pattern):
    assert State.validate(name, pattern) is None
    assert State(name, pattern).name is name


def test_failed_validation_sets_no_attribute():
    seen = []

    class Watched(State):
        def validate(self, name, pattern):
            seen.append(dict(vars(self)))
            raise KeyError('refused')

    with pytest.raises(KeyError) as exc:
        Watched('x', 'p')
    assert exc.value.args == ('refused',) and seen == [{}]


def test_overriding_validate_lets_other_types_through():
    class Lenient(State):
        def validate(self, name, pattern):
            return None

    st = Lenient(5, ('a',))
    assert st.name == 5 and st._pattern == []
    assert st.pattern == ''


@pytest.mark.parametrize('added, stored', [
    ('c', ['a', 'c']),
    (('c', 'd'), ['a', 'c', 'd']),
    (['c', 'd'], ['a', 'c', 'd']),
    ('', ['a', '']),
    ([], ['a']),
    (('a',), ['a', 'a']),
])
def test_add_state_pattern(added, stored):
    st = State('x', 'a')
    assert st.add_state_pattern(added) is None
    assert st._pattern == stored
    assert st.pattern == '|'.join(stored)


@pytest.mark.parametrize('bad', [None, 5, {'a': 1}, b'x'])
def test_add_state_pattern_refuses_other_types(bad):
    st = State('x', ['a'])
    with pytest.raises(TypeError) as exc:
        st.add_state_pattern(bad)
    assert str(exc.value) == 'Patterns should be str or list type'
    assert st._pattern == ['a']


def test_pattern_setter_replaces_or_ignores():
    st = State('x', ['a', 'b'])
    kept = st._pattern
    for ignored in (42, ('z',), None):
        st.pattern = ignored
        assert st._pattern is kept
        assert st._update_pattern(ignored) is None
        assert st._pattern is kept
    st.pattern = 'z'
    assert st._pattern == ['z'] and st._pattern is not kept and kept == ['a', 'b']
    with pytest.raises(AttributeError):
        del st.pattern


def test_reading_non_text_items_raises_the_join_error():
    st = State('x', [1, 2])
    assert str(_raised(lambda: st.pattern)) == str(_raised('|'.join, [1, 2]))


def test_text_of_a_state_is_its_name():
    st = State('enable', 'p')
    assert str(st) == repr(st) == 'enable'
    st.name = 'other'
    assert str(st) == 'other'

    class Loud(State):
        def __str__(self):
            return self.name.upper()

    assert repr(Loud('enable', 'p')) == 'ENABLE'


# Hostname substitution
def _state(patterns, hostname=None, learn=False):
    st = State('x', patterns)
    st.hostname, st.learn_hostname = hostname, learn
    return st


LEARN_JOINED = r'^((?P<hostname00>\S+))#|(?P<hostname01>\S+)>'


@pytest.mark.parametrize('hostname, learn, read', [
    (None, False, '^(%N)#|%N>'),
    ('', False, '^(%N)#|%N>'),
    ('R1', False, '^(R1)#|R1>'),
    ('R1', 0, '^(R1)#|R1>'),
    (None, True, LEARN_JOINED),
    ('R1', True, LEARN_JOINED),
    ('R1', 'yes', LEARN_JOINED),
])
def test_pattern_resolves_placeholder(hostname, learn, read):
    assert _state(['^(%N)#', '%N>'], hostname, learn).pattern == read


def test_learning_groups_capture_the_hostname():
    rx = _state(['^(%N)#', '%N>'], learn=True).pattern
    m = re.search(rx, 'lab-sw1>')
    assert m.group('hostname01') == 'lab-sw1' and m.group('hostname00') is None
    assert re.search(rx, 'lab-sw1#').group('hostname00') == 'lab-sw1'


def test_nothing_is_cached_between_reads():
    st = _state('%N#')
    assert st.pattern == '%N#'
    st.hostname = 'R1'
    assert st.pattern == 'R1#'
    st.hostname = 'R2'
    assert st.pattern == 'R2#'
    st.learn_hostname = True
    assert st.pattern == r'(?P<hostname00>\S+)#'
    st._pattern.append('%N>')
    assert st.pattern == r'(?P<hostname00>\S+)#|(?P<hostname01>\S+)>'


@pytest.mark.parametrize('hostname, text, result', [
    ('R1', '%%NN', '%R1N'),
    ('R1', 'no placeholder', 'no placeholder'),
    ('R1', '%N %N %n', 'R1 R1 %n'),
    ('a.b', 'x%Ny', r'xa\.by'),
])
def test_substitute_hostname_replaces_every_placeholder(hostname, text, result):
    st = _state(text, hostname)
    assert st.substitute_hostname(text) == st.pattern == result


# A given or learned hostname is text to find in the prompt, never pattern or template syntax.
@pytest.mark.parametrize('hostname, miss', [
    ('sw+1', 'sww1#'), ('core(1)', 'core1#'), ('a.b', 'axb#'), ('r\\1', 'r1#'), ('x$y', 'x#'),
    ('[lab]', 'l#'), ('s*w', 'w#'), ('\\g<0>!', '%N!#'), ('a\\tb', 'a\tb#'), ('\\', '#'), ('h%N', 'h#'),
])
def test_hostname_is_matched_literally(platform, hostname, miss):
    st = _state(r'^%N#$', hostname)
    assert st.substitute_hostname('^%N#$') == st.pattern == '^' + re.escape(hostname) + '#$'
    assert re.search(st.pattern, hostname + '#') and not re.search(st.pattern, miss)
    platform.hostname = hostname
    platform.detect_state(FakeSpawn('show clock\n' + hostname + '(config)#'))
    assert platform.current_state == 'config'


@pytest.mark.parametrize('hostname', [5, b'x.y'])
def test_substitute_hostname_passes_errors_of_a_hostname_that_is_not_text(hostname):
    expected = _raised(lambda: re.escape(hostname).replace('\\', '\\\\'))
    st = _state('x%N', hostname)
    for got in (_raised(st.substitute_hostname, 'x%N'), _raised(lambda: st.pattern)):
        assert type(got) is type(expected) and str(got) == str(expected)


def test_unset_hostname_returns_the_given_object():
    text = ''.join(['a', '%N'])
    for hostname in (None, ''):
        assert _state('p', hostname).substitute_hostname(text) is text
    st = _state('p', 'R1')
    del st.hostname
    assert st.substitute_hostname(text) is text
    assert st.pattern == 'p'
    assert _state('p').substitute_hostname(5) == 5


def test_only_a_missing_hostname_is_absorbed():
    class Missing(State):
        @property
        def hostname(self):
            raise AttributeError('gone')

        @hostname.setter
        def hostname(self, value):
            pass

    class Broken(Missing):
        @property
        def hostname(self):
            raise RuntimeError('hostname lookup failed')

        @hostname.setter
        def hostname(self, value):
            pass

    assert Missing('m', '%N#').pattern == '%N#'
    with pytest.raises(RuntimeError) as exc:
        Broken('b', '%N#').pattern
    assert str(exc.value) == 'hostname lookup failed'


@pytest.mark.parametrize('text, result', [
    ('%N%N', r'(?P<hostname00>\S+)(?P<hostname01>\S+)'),
    ('%%NN', r'%(?P<hostname00>\S+)N'),
    ('a%Nb%Nc', r'a(?P<hostname00>\S+)b(?P<hostname01>\S+)c'),
])
def test_substitute_learn_hostname(text, result):
    assert _state('p', 'R1', True).substitute_learn_hostname(text) == result


def test_learning_numbers_groups_past_two_digits():
    result = _state('p').substitute_learn_hostname('%N' * 101)
    names = re.findall(r'\(\?P<(\w+)>', result)
    assert names == ['hostname%02d' % i for i in range(101)]
    assert names[-1] == 'hostname100'
    assert re.compile(result).groups == 101


def test_learning_without_placeholder_returns_the_given_object():
    text = ''.join(['ab', 'c'])
    assert _state('p').substitute_learn_hostname(text) is text


def test_learning_ends_when_the_placeholder_occurs_in_group_text(monkeypatch):
    monkeypatch.setattr(smod, 'HOSTNAME_SUBST_PAT', 'h')
    st = _state('xhyh', 'R1', True)
    assert st.substitute_learn_hostname('xhyh') == r'x(?P<hostname00>\S+)y(?P<hostname01>\S+)'
    assert st.pattern == r'x(?P<hostname00>\S+)y(?P<hostname01>\S+)'
    st.learn_hostname = False
    assert st.pattern == 'xR1yR1'
    # a placeholder expression that matches the empty text: one group at every position, as re.sub places them
    monkeypatch.setattr(smod, 'HOSTNAME_SUBST_PAT', 'x*')
    assert st.substitute_learn_hostname('ab') == r'(?P<hostname00>\S+)a(?P<hostname01>\S+)b(?P<hostname02>\S+)'


def test_getter_returns_what_the_substitution_returns():
    marker = object()

    class Custom(State):
        def substitute_learn_hostname(self, pattern):
            return (marker, pattern)

        def substitute_hostname(self, pattern):
            return [pattern]

    st = Custom('x', ['a', '%N'])
    assert st.pattern == ['a|%N']
    st.learn_hostname = True
    assert st.pattern == (marker, 'a|%N')
