"""The state machine module written in plain Python, as a reference for the native one.

Same namespace, same collaborators, same behaviour and messages as
`tessel.statemachine.statemachine`, including its corrections of the written behaviour:
a single-target go_to succeeds only on the exact name; "any" and "generic" are recognised
by value; a search from a state to itself returns a new empty route each call; an empty or
missing prompt output makes detect_state ask for a fresh prompt; DOT text escapes backslashes
and double quotes and labels a callable without __name__ by its type's name; the wrong-state
report reads "None" when the handle has no match; hostname learning resumes its search past
the group it inserted; a given hostname is matched literally (escaped, never read as a template). Argument binding is Python's own, so binding errors have Python's words.

The differential tests drive both modules side by side, and benchmarks/core.py times them.
"""
import re

from tessel.core.errors import StateMachineError
from tessel.eal.dialogs import Dialog, Statement
from tessel.statemachine.statetransition import (
    AnyStateTransition,
    HopWiseStateTransition,
    StateTransition,
)
from tessel.utils import AttributeDict

HOSTNAME_SUBST_PAT = '%N'

__all__ = ['re', 'StateMachineError', 'Dialog', 'Statement', 'StateTransition', 'AnyStateTransition',
           'HopWiseStateTransition', 'AttributeDict', 'HOSTNAME_SUBST_PAT', 'State', 'Path', 'StateMachine']


def _is_word(value, word):
    """The keywords "any" and "generic", recognised by value."""
    return isinstance(value, str) and str.__eq__(value, word) is True


class State:
    """Defines a device state: a name and the prompt patterns that recognise it.

    Example: State(name='enable', pattern=r'^.*Router|%N#')
    """

    def __init__(self, name, pattern):
        self.validate(name, pattern)
        self.name = name
        self._pattern = []
        self._update_pattern(pattern)
        self._linked_sm = None
        self.hostname = None
        self.learn_hostname = False

    @staticmethod
    def validate(name, pattern):
        if not isinstance(name, str):
            raise TypeError('State Name should be of type str')
        if not isinstance(pattern, (str, list)):
            raise TypeError('State Pattern should be of type list or str')

    def substitute_hostname(self, pattern):
        if not getattr(self, 'hostname', None):
            return pattern
        expression = '{}'.format(HOSTNAME_SUBST_PAT)
        # The hostname is literal text: escaped for the pattern, and its backslashes doubled so
        # that the substitution reads no template escape in it.
        literal = re.escape(self.hostname).replace('\\', '\\\\')
        return re.sub(expression, literal, pattern)

    def substitute_learn_hostname(self, pattern):
        index = 0
        start = 0  # the next placeholder is looked for from here on
        while True:
            rest = pattern[start:] if start else pattern
            match = re.search(HOSTNAME_SUBST_PAT, rest)
            if not match:
                return pattern
            group = '(?P<hostname{:02d}>\\S+)'.format(index)
            placeholder = rest[match.start():match.end()]
            at = rest.find(placeholder)
            if at < 0:
                return pattern
            pattern = pattern[:start] + rest.replace(placeholder, group, 1)
            # An empty placeholder moves on by one character, as substitution does.
            start += at + len(group) + (0 if len(placeholder) else 1)
            if start > len(pattern):
                return pattern
            index += 1

    @property
    def pattern(self):
        joined = '|'.join(self._pattern)
        if self.learn_hostname:
            return self.substitute_learn_hostname(joined)
        return self.substitute_hostname(joined)

    @pattern.setter
    def pattern(self, pattern):
        self._update_pattern(pattern)

    def _update_pattern(self, pattern):
        if isinstance(pattern, list):
            self._pattern = pattern
        elif isinstance(pattern, str):
            self._pattern = [pattern]

    def add_state_pattern(self, pattern_list):
        if isinstance(pattern_list, (list, tuple)):
            self._pattern.extend(pattern_list)
        elif isinstance(pattern_list, str):
            self._pattern.append(pattern_list)
        else:
            raise TypeError('Patterns should be str or list type')

    def __str__(self):
        return self.name

    def __repr__(self):
        return self.__str__()


class Path:
    """A path between two device states: the from state, the to state, the command that takes
    the device to the destination state, and a Dialog of the prompts met on the way."""

    def __init__(self, from_state, to_state, command=None, dialog=None):
        self.from_state = from_state
        self.to_state = to_state
        self.command = command
        self.dialog = dialog
        self.validate_update()

    def validate_update(self):
        if not isinstance(self.from_state, State):
            raise StateMachineError(str(self.from_state) + ' is not an instance of State')
        if not isinstance(self.to_state, State):
            raise StateMachineError(str(self.to_state) + ' is not an instance of State')
        command = self.command
        if command and not isinstance(command, str) and not callable(command):
            raise StateMachineError('Command (' + str(command) + ') should be of type str or callable')
        dialog = self.dialog
        if isinstance(dialog, list):
            self.dialog = Dialog(dialog)
        elif not (dialog is None or isinstance(dialog, Dialog)):
            raise StateMachineError(str(dialog) + ' must be a Dialog instance, list or None')

    def __str__(self):
        return str(self.from_state) + '->' + str(self.to_state)

    def __repr__(self):
        return self.__str__()


def _dot_text(text):
    return text.replace('\\', '\\\\').replace('"', '\\"')


def _command_label(command):
    if not callable(command):
        return str(command)
    try:
        name = command.__name__
    except AttributeError:
        name = type(command).__name__
    return str(name) + '()'


def _last_match_text(spawn):
    match = spawn.match
    return 'None' if match is None else repr(match.match_output)


class StateMachine:
    """The state machine of one connection.

    It collects and validates the supported device states, collects the paths between them,
    computes the transition path from one state to any other, keeps track of the current
    device state, builds the Dialog for a state change at run time, enables hostname
    substitution, and changes the device state. Each state created outside the machine has
    to be added to it.
    """

    def __init__(self, hostname=None, learn_hostname=False):
        """ Initializes the state machine"""
        self._hostname = hostname
        self._learn_hostname = learn_hostname
        self.states = []
        self.paths = []
        self.default_dialog = Dialog([])
        try:
            self.create()
        except Exception as err:
            raise StateMachineError('Creating state machine failed with error: ' + str(err))
        self._current_state = 'generic'

    # ---- hostname settings and current state

    @property
    def hostname(self):
        return self._hostname

    @hostname.setter
    def hostname(self, value):
        self._hostname = value
        for state in self.states:
            state.hostname = self.hostname

    @property
    def learn_hostname(self):
        return self._learn_hostname

    @learn_hostname.setter
    def learn_hostname(self, value):
        self._learn_hostname = value
        for state in self.states:
            state.learn_hostname = self.learn_hostname

    @property
    def current_state(self):
        """Current device state property getter"""
        return self._current_state

    @current_state.setter
    def current_state(self, value):
        """Current device state property setter"""
        raise StateMachineError('State Machine current_state is readonly')

    def update_cur_state(self, state):
        """Updates the current device state"""
        if not isinstance(state, State):
            state = self.get_state(state)
        self._current_state = state.name

    # ---- states

    def create_state(self, name, pattern):
        """ Creates a state and add it to State Machines"""
        state = State(name, pattern)
        self.add_state(state)
        return state

    def add_state(self, state):
        """ Appends a given state to the state machine"""
        if not isinstance(state, State):
            raise StateMachineError(str(state) + ' must be instance of State')
        name = state.name
        if name in [s.name for s in self.states]:
            raise StateMachineError('state with name ' + str(name) + ' already exists')
        if state._linked_sm:
            raise StateMachineError('State can be attached only to one SM instance' + ' State(' + str(state)
                                    + ') already attached to SM ' + str(state._linked_sm))
        self.states.append(state)
        state._linked_sm = str(self)
        state.hostname = self.hostname
        state.learn_hostname = self.learn_hostname

    def get_state(self, state_name):
        """ Returns the state object for the given the name"""
        names = [s.name for s in self.states]
        try:
            position = names.index(state_name)
        except ValueError:
            raise StateMachineError(str(state_name) + ' state is not registered')
        return self.states[position]

    def remove_state(self, state):
        """ Removes a state from SM, given the string name"""
        if not isinstance(state, State):
            state = self.get_state(state)
        try:
            self.states.remove(state)
        except ValueError as err:
            raise StateMachineError('Deleting state ' + str(state) + ' failed with error ' + str(err))

    # ---- paths

    def create_path(self, from_state, to_state, command=None, dialog=None):
        """ Creates a path and adds it to the state machine"""
        path = Path(from_state, to_state, command, dialog)
        self.add_path(path)
        return path

    def add_path(self, path):
        """ Adds a path to the list of available paths"""
        if not isinstance(path, Path):
            raise StateMachineError(str(path) + ' must be instance of Path')
        if path.from_state not in self.states:
            raise StateMachineError('Unknown from state (' + str(path.from_state) + ') provided,'
                                    + 'state has to be added SM' + 'before creating path ')
        if path.to_state not in self.states:
            raise StateMachineError('Unknown to state (' + str(path.to_state) + ')provided,'
                                    + 'state has to be added SM' + 'before creating path ')
        keys = [(p.from_state.name, p.to_state.name) for p in self.paths]
        if (path.from_state.name, path.to_state.name) in keys:
            raise StateMachineError(str(path) + ' already exists')
        self.paths.append(path)

    def get_path(self, from_state, to_state):
        """ Gets the path object for the given from and to state"""
        if not isinstance(from_state, State):
            from_state = self.get_state(from_state)
        if not isinstance(to_state, State):
            to_state = self.get_state(to_state)
        keys = [(p.from_state.name, p.to_state.name) for p in self.paths]
        try:
            position = keys.index((from_state.name, to_state.name))
        except ValueError:
            raise StateMachineError(str(from_state) + '->' + str(to_state) + ' path doesnt exist')
        return self.paths[position]

    def remove_path(self, from_state, to_state):
        """ Removes a particular path from the state machine"""
        self.paths.remove(self.get_path(from_state, to_state))

    def add_default_statements(self, statements):
        """ Appends default statements to all state transitions"""
        if isinstance(statements, Statement):
            self.default_dialog.append(statements)
        elif isinstance(statements, list):
            for stmt in statements:
                if not isinstance(stmt, Statement):
                    raise StateMachineError('default statement(' + str(stmt) + ')' + ' should be of type'
                                            + ' Statement or list(Statement)')
                self.default_dialog.append(stmt)
        else:
            raise StateMachineError('default statement (' + str(statements) + ')' + ' should be of type Statement '
                                    + 'or list(Statement)')

    # ---- routes

    def create_graph(self):
        """ Creates a graph out of all states available in the state machine"""
        paths_dict = {}
        for path in self.paths:
            if path.from_state in paths_dict:
                paths_dict[path.from_state].append(path)
            else:
                paths_dict[path.from_state] = [path]
        return paths_dict

    def _find_all_paths(self, from_state, to_state, graph, transitions=None):
        """ Gets all possible paths from any state to any state"""
        if transitions is None:
            transitions = []
        if from_state == to_state:
            return [transitions]
        if from_state not in graph:
            return []
        routes = []
        for node in graph[from_state]:
            cur_transition = [t.from_state for t in transitions]
            updated_transitions = list(transitions)
            if node.to_state in cur_transition:
                continue
            updated_transitions.append(node)
            for trans in self._find_all_paths(node.to_state, to_state, graph, updated_transitions):
                routes.append(trans)
        return routes

    def find_all_paths(self, from_state, to_state):
        """ Returns all possible paths from any given state to any state"""
        if not isinstance(from_state, State):
            from_state = self.get_state(from_state)
        if not isinstance(to_state, State):
            to_state = self.get_state(to_state)
        graph = self.create_graph()
        return self._find_all_paths(from_state, to_state, graph)

    def get_shortest_path(self, from_state, to_state):
        """ Finds the shortest path from the list of possible paths"""
        path_list = self.find_all_paths(from_state, to_state)
        if not path_list:
            raise StateMachineError("Path doesn't exist for " + str(from_state) + ' -> ' + str(to_state) + ' ')
        return min(path_list, key=len)

    # ---- state changes

    def go_to(self, to_state, spawn, context=AttributeDict(), dialog=None, timeout=None, hop_wise=False,
              prompt_recovery=False):
        """ Changes the device to the given state"""
        if isinstance(to_state, list) or _is_word(to_state, 'any'):
            expected_state = to_state
            transition = AnyStateTransition(state_machine=self, to_state=to_state, spawn=spawn, dialog=dialog,
                                            timeout=timeout, context=context, prompt_recovery=prompt_recovery)
        else:
            if not isinstance(to_state, State):
                to_state = self.get_state(to_state)
            expected_state = to_state.name
            current_state = self.get_state(self.current_state)
            if to_state == current_state:
                return None
            engine = HopWiseStateTransition if hop_wise else StateTransition
            transition = engine(state_machine=self, to_state=to_state, spawn=spawn, dialog=dialog,
                                timeout=timeout, context=context, prompt_recovery=prompt_recovery)
        try:
            output = transition.do_transitions()
        except Exception as err:
            raise StateMachineError('Failed while bringing device to "' + str(expected_state) + '" state') from err
        finally:
            if not _is_word(transition.current_state, 'generic'):
                self.update_cur_state(transition.current_state)
        if _is_word(expected_state, 'any'):
            return output
        if isinstance(expected_state, list):
            reached = self.current_state in expected_state
        else:
            reached = self.current_state == expected_state
        if reached:
            return output
        raise StateMachineError('Changing state to ' + str(expected_state)
                                + ' failed\ncurrent_state: ' + str(self.current_state)
                                + '\nlast command: ' + repr(spawn.last_sent)
                                + '\nbuffer: ' + repr(spawn.buffer)
                                + '\nlast match: ' + _last_match_text(spawn))

    def create(self):
        """ Create the statemachine"""
        raise NotImplementedError()

    def dotgraph(self):
        """ Returns the graph of the state machine's paths as DOT text"""
        lines = ['digraph G {\n']
        for path in self.paths:
            from_text = _dot_text(str(path.from_state))
            to_text = _dot_text(str(path.to_state))
            label = _dot_text(_command_label(path.command))
            lines.append('  "' + from_text + '" -> "' + to_text + '" [label=" ' + label + ' "]\n')
        lines.append('}\n')
        return ''.join(lines)

    def detect_state(self, spawn):
        """ Detects the state the device is in from the last line of its last output"""
        state_match = spawn.match
        if state_match:
            output = state_match.match_output
            lines = output.splitlines() if output is not None else []
            if lines:
                prompt = lines[-1]
                for state in self.states:
                    if re.search(state.pattern, prompt):
                        self._current_state = state.name
                        return None
        spawn.sendline()
        self.go_to('any', spawn)
