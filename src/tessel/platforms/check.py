"""Checks of a platform file: what would make a machine built from it misread a device.

:func:`check_file` returns every finding as a :class:`Problem` with the file,
the line and the key: the mistakes that stop the file from loading, and then
what loads but would go wrong at a device:

* a sample that its own prompt does not match, or that the prompt of a state
  registered earlier also matches (``detect_state`` takes the first
  registered state whose prompt matches the last line), checked with a fixed
  hostname and with hostname learning;
* states that cannot be reached from every other state;
* questions (dialog and default statements, the pager) whose sample a
  state's prompt also matches, so that the engines would take the question
  for a prompt, and samples that their own pattern does not match;
* paths without a command;
* sub-modes whose sample their state's prompt misses or an earlier state's
  prompt takes, and paths out of a family of sub-modes along a line that
  only goes up one level (right at one depth, wrong at another).

A state entered by configuration needs no path in: configuration lines
entered in the configuration state reach it.
"""
import re
from typing import Callable, Dict, List, Optional, Set, Tuple

from tessel.core.errors import TesselError
from tessel.platforms.definition import (ERROR, TEST_HOSTNAME, WARNING, Definition, Place,
                                         Problem, StatementDef, last_line, read_file)

class _Prompts:
    """The prompt patterns of the definition's states as a machine would read them."""

    def __init__(self, definition: Definition, hostname: str) -> None:
        from tessel.platforms.datafile import platform_class

        self.hostname = hostname
        cls = platform_class(definition)
        self.modes: List[Tuple[str, List[Tuple[str, Optional["re.Pattern[str]"]]]]] = []
        for label, kwargs in (("hostname %s" % hostname, {"hostname": hostname}),
                              ("hostname learning", {"learn_hostname": True})):
            machine = cls(**kwargs)
            patterns: List[Tuple[str, Optional["re.Pattern[str]"]]] = []
            for state in machine.states:
                try:
                    patterns.append((state.name, re.compile(state.pattern)))
                except re.error:
                    patterns.append((state.name, None))
            self.modes.append((label, patterns))

    def sample_line(self, sample: str) -> str:
        return last_line(sample.replace("%N", self.hostname))


def check_definition(definition: Definition, hostname: str = TEST_HOSTNAME) -> List[Problem]:
    """The findings about a definition that was read (the reading problems not included)."""
    problems: List[Problem] = []

    def add(place: Place, sub: str, message: str, severity: str = ERROR) -> None:
        key, line = place.at(sub)
        problems.append(Problem(definition.file, line, key, message, severity))

    try:
        prompts = _Prompts(definition, hostname)
    except TesselError as err:
        add(definition.place, "", "a machine cannot be built from the file: %s"
            % str(err).splitlines()[0])
        return problems
    _check_state_samples(definition, prompts, add)
    _check_submodes(definition, prompts, add)
    _check_reachability(definition, add)
    for path in definition.paths:
        if not any(command.strip() for command in path.commands):
            add(path.place, "", "the path from %s to %s has no command"
                % (path.source, path.target))
        for statement in path.dialog:
            _check_question(statement, prompts, add)
    for statement in definition.statements:
        _check_question(statement, prompts, add)
    pager = definition.pager
    if pager is not None and pager.sample is not None:
        _check_question(StatementDef(expect=pager.expect, sample=pager.sample, place=pager.place),
                        prompts, add, what="pager prompt")
    if definition.error_sample is not None and definition.failure:
        error = definition.error_sample.replace("{command}", "frobnicate")
        if not any(re.search(p, error, re.MULTILINE) for p in definition.failure):
            add(definition.place, "error_sample", "no failure pattern matches the error "
                "sample %r, so commands refused this way are not seen as failed"
                % definition.error_sample, WARNING)
    return problems


Add = Callable[[Place, str, str, str], None]


def _check_state_samples(definition: Definition, prompts: _Prompts, add: Add) -> None:
    for state in definition.states:
        if state.sample is None:
            add(state.place, "", "state %s has no sample: its prompt is not checked and the "
                "simulator cannot show it" % state.name, WARNING)
            continue
        _check_sample(state.name, state.sample, state.place, prompts, add)


def _check_submodes(definition: Definition, prompts: _Prompts, add: Add) -> None:
    for mode in definition.submodes:
        _check_sample(mode.state, mode.sample, mode.place, prompts, add,
                      "the prompt of its state %s" % mode.state)
    # (family state, line) -> where that line leads from the sub-modes that it goes up from
    ups: Dict[Tuple[str, str], Set[str]] = {}
    for mode in definition.submodes:
        for line in mode.exits:
            ups.setdefault((mode.state, line), set()).add(mode.parent)
    for path in definition.paths:
        parents = ups.get((path.source, path.commands[0]), set()) if path.commands else set()
        if parents - {path.target}:
            add(path.place, "", "'%s' goes up one level from a sub-mode of %s (to %s): it "
                "does not reach %s from every depth" % (path.commands[0], path.source,
                                                       ", ".join(sorted(parents)), path.target),
                ERROR)


def _check_sample(state_name: str, sample: str, place: Place, prompts: _Prompts, add: Add,
                  whose: str = "the state's own prompt") -> None:
    """A sample that the prompt of ``state_name`` must take, and no earlier state's."""
    line = prompts.sample_line(sample)
    for mode, patterns in prompts.modes:
        own = dict(patterns).get(state_name)
        if own is not None and not own.search(line):
            add(place, "sample", "the sample %r is not matched by %s (%s)"
                % (line, whose, mode), ERROR)
        for name, pattern in patterns:
            if name == state_name:
                break
            if pattern is not None and pattern.search(line):
                add(place, "sample", "the sample %r of state %s is also matched by "
                    "the prompt of %s, registered earlier, so detect_state would take %s "
                    "(%s): define %s before %s or make the prompt of %s stricter"
                    % (line, state_name, name, name, mode, state_name, name, name), ERROR)


def _check_reachability(definition: Definition, add: Add) -> None:
    """States that some other state has no route to, told once per group of states.

    The states fall into groups that reach each other. A group that no other
    group leads to cannot be reached from the rest; a group that leads to no
    other group cannot get back. Every missing route is told by one of these.
    """
    names = [state.name for state in definition.states]
    neighbours: Dict[str, Set[str]] = {name: set() for name in names}
    for path in definition.paths:
        neighbours[path.source].add(path.target)
    entry = definition.entry_state
    if entry in neighbours:
        neighbours[entry].update(definition.config_substates)
    reach: Dict[str, Set[str]] = {}
    for name in names:
        seen = {name}
        todo = [name]
        while todo:
            for nxt in neighbours[todo.pop()]:
                if nxt not in seen:
                    seen.add(nxt)
                    todo.append(nxt)
        reach[name] = seen
    groups: List[List[str]] = []
    for name in names:
        if not any(name in group for group in groups):
            groups.append([other for other in names
                           if other in reach[name] and name in reach[other]])
    if len(groups) < 2:
        return
    places = {state.name: state.place for state in definition.states}
    for group in groups:
        outside = [name for name in names if name not in group]
        subject = "state %s" % group[0] if len(group) == 1 else "states %s" % ", ".join(group)
        if not any(group[0] in reach[other] for other in outside):
            add(places[group[0]], "", "%s cannot be reached from %s"
                % (subject, ", ".join(outside)), ERROR)
        if not any(other in reach[group[0]] for other in outside):
            add(places[group[0]], "", "%s cannot get back to %s"
                % (subject, ", ".join(outside)), ERROR)


def _check_question(statement: StatementDef, prompts: _Prompts, add: Add,
                    what: str = "question") -> None:
    if statement.sample is None:
        return
    line = prompts.sample_line(statement.sample)
    try:
        own = re.search(statement.expect, statement.sample.replace("%N", prompts.hostname))
    except re.error:
        return
    if own is None:
        add(statement.place, "sample", "the %s sample %r is not matched by its own pattern %r"
            % (what, statement.sample, statement.expect), ERROR)
    for mode, patterns in prompts.modes:
        for name, pattern in patterns:
            if pattern is not None and pattern.search(line):
                add(statement.place, "sample", "the %s %r is also matched by the prompt of %s "
                    "(%s): the engines would take it for that prompt"
                    % (what, line, name, mode), ERROR)
                return


def check_file(path: str, hostname: str = TEST_HOSTNAME) -> List[Problem]:
    """Every finding about a platform file, in the order of the file's lines."""
    definition, problems = read_file(path)
    if definition is not None and definition.states:
        problems = problems + check_definition(definition, hostname)
    return sorted(problems, key=lambda p: p.line)


def has_errors(problems: List[Problem]) -> bool:
    return any(p.severity == ERROR for p in problems)
