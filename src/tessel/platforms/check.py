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
  only goes up one level (right at one depth, wrong at another);
* in the configuration section: what stops it from loading (a missing show
  command, a commit with a timer that holds neither ``{minutes}`` nor
  ``{seconds}``, commit keys without commit, ...), and its questions and
  ignored-line patterns as the other questions and patterns are checked;
* patterns (prompts, questions, the pager, failure patterns) that can backtrack
  catastrophically: an error when google-re2 cannot run them either, else a
  warning. The checker never runs such a pattern on Python's re.

A state entered by configuration needs no path in: configuration lines
entered in the configuration state reach it.

Every check takes time in proportion to the size of the file: a sample is
tried only against the prompts whose required text it holds, and the groups of
states that reach each other come from one pass over the paths.
"""
import re
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Set, Tuple

from tessel.core.errors import TesselError
from tessel.platforms.analysis import TextIndex, backtracking_risk, compile_parsed, components, \
    parse, required_text
from tessel.platforms.definition import (ERROR, TEST_HOSTNAME, WARNING, Definition, Place,
                                         Problem, StatementDef, last_line, read_file)

#: Whether a pattern matches a line; None where the checker does not run the pattern.
Search = Optional[Callable[[str], bool]]


def _linear(pattern: str, flags: int = 0) -> Tuple[Optional[Any], Optional[str]]:
    """The pattern compiled by google-re2, or why google-re2 refuses it."""
    import re2

    options = re2.Options()
    options.log_errors = False
    try:
        return re2.compile(("(?m)" if flags & re.MULTILINE else "") + pattern, options), None
    except re2.error as err:
        reason = err.args[0] if err.args else err
        return None, (reason.decode("utf-8", "replace") if isinstance(reason, bytes)
                      else str(reason))


def _search(pattern: str, risky: bool, flags: int = 0, tree: Optional[Any] = None) -> Search:
    """The search the checker runs for a pattern: Python's re, as the machine runs it, or
    google-re2 for a pattern that can backtrack catastrophically (the check must not hang);
    None when neither may run it. ``tree``: the pattern already parsed."""
    if risky:
        linear, _ = _linear(pattern, flags)
        return None if linear is None else (lambda line: linear.search(line) is not None)
    try:
        compiled = compile_parsed(tree, pattern) if tree is not None and not flags \
            else re.compile(pattern, flags)
    except re.error:
        return None
    return lambda line: compiled.search(line) is not None


class _Judge:
    """Tells the patterns that can backtrack catastrophically, and remembers them."""

    def __init__(self, add: "Add") -> None:
        self.add = add
        self.risky: Set[str] = set()

    def __call__(self, text: str, place: Place, sub: str, flags: int = 0,
                 shown: Optional[str] = None) -> bool:
        tree = parse(text)
        if tree is None or not backtracking_risk(tree):
            return False
        self.tell(text, place, sub, flags, shown)
        return True

    def tell(self, text: str, place: Place, sub: str, flags: int = 0,
             shown: Optional[str] = None) -> None:
        """Tells a risky pattern: ``text`` as it runs, ``shown`` as the file writes it."""
        self.risky.add(text)
        _, refusal = _linear(text, flags)
        why = ("the regular expression %r can backtrack catastrophically: a repeated part can "
               "match the same text in more than one way, so a line that nearly matches takes "
               "exponential time" % (text if shown is None else shown))
        if refusal is not None:
            self.add(place, sub, "%s, and google-re2 cannot run it (%s): Python's re would, "
                     "and could freeze the process; the samples are not checked against it"
                     % (why, refusal), ERROR)
        else:
            self.add(place, sub, "%s (google-re2 runs it in linear time, Python's re would "
                     "not)" % why, WARNING)


@dataclass
class _Mode:
    """The states' prompt patterns as a machine with one hostname setting reads them."""

    label: str
    names: List[str] = field(default_factory=list)
    searches: List[Search] = field(default_factory=list)
    number: Dict[str, int] = field(default_factory=dict)
    index: TextIndex = field(default_factory=TextIndex)

    def add(self, name: str, text: str, risky: Optional[bool] = None) -> bool:
        """Adds a state's pattern; whether it can backtrack catastrophically (judged here
        unless given)."""
        tree = parse(text)
        if risky is None:
            risky = tree is not None and backtracking_risk(tree)
        self.number[name] = len(self.names)
        self.names.append(name)
        self.index.add(required_text(tree) if tree is not None else None)
        self.searches.append(_search(text, risky, tree=tree))
        return risky

    def matching(self, line: str, before: Optional[int] = None) -> List[int]:
        """The states (by number, in registration order) whose prompt matches the line."""
        found = []
        for number in self.index.candidates(line):
            if before is not None and number >= before:
                break
            search = self.searches[number]
            if search is not None and search(line):
                found.append(number)
        return found


class _Prompts:
    """The prompt patterns of the definition's states as a machine would read them.

    The prompts are judged for catastrophic backtracking as hostname learning reads them
    (``%N`` matching any word), which can only add ways to match to a fixed hostname.
    """

    def __init__(self, definition: Definition, hostname: str, judge: _Judge) -> None:
        from tessel.platforms.datafile import platform_class

        self.hostname = hostname
        machine = platform_class(definition)(hostname=hostname, learn_hostname=True)
        fixed, learning = _Mode("hostname %s" % hostname), _Mode("hostname learning")
        self.modes = [fixed, learning]
        defined = {state.name: state for state in definition.states}
        risky: Set[str] = set()
        for state in machine.states:
            if learning.add(state.name, state.pattern):
                risky.add(state.name)
                written = defined.get(state.name)
                if written is None:
                    judge.tell(state.pattern, definition.place, "")
                    continue
                if len(written.prompts) == 1:
                    judge.tell(state.pattern, written.place, "prompt", shown=written.prompts[0])
                    continue
                for prompt in written.prompts:
                    judge(state.substitute_learn_hostname(prompt), written.place, "prompt",
                          shown=prompt)
        machine.learn_hostname = False
        for state in machine.states:
            fixed.add(state.name, state.pattern, state.name in risky)

    def sample_line(self, sample: str) -> str:
        return last_line(sample.replace("%N", self.hostname))


def check_definition(definition: Definition, hostname: str = TEST_HOSTNAME) -> List[Problem]:
    """The findings about a definition that was read (the reading problems not included)."""
    problems: List[Problem] = []

    def add(place: Place, sub: str, message: str, severity: str = ERROR) -> None:
        key, line = place.at(sub)
        problems.append(Problem(definition.file, line, key, message, severity))

    judge = _Judge(add)
    config_questions = [s for command in definition.config.commands.values()
                        for s in command.dialog] if definition.config is not None else []
    for statement in [s for path in definition.paths for s in path.dialog] + \
            definition.statements + config_questions:
        judge(statement.expect, statement.place, "expect")
    if definition.config is not None:
        for pattern in definition.config.ignore + [
                match for match, _ in definition.config.negations]:
            judge(pattern, definition.config.place, "ignore" if pattern in
                  definition.config.ignore else "negations")
    if definition.pager is not None:
        judge(definition.pager.expect, definition.pager.place, "expect")
    for pattern in definition.failure:
        judge(pattern, definition.place, "failure", re.MULTILINE)
    try:
        prompts = _Prompts(definition, hostname, judge)
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
            _check_question(statement, prompts, judge.risky, add)
    for statement in definition.statements + config_questions:
        _check_question(statement, prompts, judge.risky, add)
    pager = definition.pager
    if pager is not None and pager.sample is not None:
        _check_question(StatementDef(expect=pager.expect, sample=pager.sample, place=pager.place),
                        prompts, judge.risky, add, what="pager prompt")
    if definition.error_sample is not None and definition.failure:
        error = definition.error_sample.replace("{command}", "frobnicate")
        seen = [search(error) if search is not None else None for search in
                (_search(p, p in judge.risky, re.MULTILINE) for p in definition.failure)]
        if not any(seen) and None not in seen:
            add(definition.place, "error_sample", "no failure pattern matches the error "
                "sample %r, so commands refused this way are not seen as failed"
                % definition.error_sample, WARNING)
    return problems


Add = Callable[[Place, str, str, str], None]


def _check_state_samples(definition: Definition, prompts: _Prompts, add: Add) -> None:
    """Each sample against its own prompt, and against the prompts registered before it, which
    only the prompts that may match it (by the text they require) are run for."""
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
    """A sample that the prompt of ``state_name`` must take, and no earlier state's; only the
    earlier prompts that may match it (by the text they require) are run."""
    line = prompts.sample_line(sample)
    for mode in prompts.modes:
        number = mode.number.get(state_name)
        if number is None:
            continue
        own = mode.searches[number]
        if own is not None and not own(line):
            add(place, "sample", "the sample %r is not matched by %s (%s)"
                % (line, whose, mode.label), ERROR)
        for earlier in mode.matching(line, before=number):
            name = mode.names[earlier]
            add(place, "sample", "the sample %r of state %s is also matched by "
                "the prompt of %s, registered earlier, so detect_state would take %s "
                "(%s): define %s before %s or make the prompt of %s stricter"
                % (line, state_name, name, name, mode.label, state_name, name, name), ERROR)


#: Longer lists of states in a finding are cut to this many names.
_LISTED = 20


def _others(names: List[str], group_of: Dict[str, int], group: int, size: int) -> str:
    """The states outside a group, in the order of the file (the first ones of a long list)."""
    shown: List[str] = []
    for name in names:
        if group_of[name] != group:
            shown.append(name)
            if len(shown) == _LISTED:
                break
    rest = len(names) - size - len(shown)
    return ", ".join(shown) + (" and %d more" % rest if rest > 0 else "")


def _check_reachability(definition: Definition, add: Add) -> None:
    """States that some other state has no route to, told once per group of states.

    The states fall into groups that reach each other (the strongly connected components of
    the paths). A group that no other group leads to cannot be reached from the rest; a group
    that leads to no other group cannot get back. Every missing route is told by one of these.
    """
    names = [state.name for state in definition.states]
    neighbours: Dict[str, List[str]] = {name: [] for name in names}
    for path in definition.paths:
        neighbours[path.source].append(path.target)
    entry = definition.entry_state
    if entry in neighbours:
        _check_way_out(entry, names, dict(neighbours), definition, add)
        neighbours[entry] = neighbours[entry] + definition.config_substates
    group_of = components(names, lambda name: neighbours[name])
    members: Dict[int, List[str]] = {}  # in the order of each group's first state in the file
    for name in names:
        members.setdefault(group_of[name], []).append(name)
    if len(members) < 2:
        return
    entered: Set[int] = set()
    left: Set[int] = set()
    for path in definition.paths:
        source, target = group_of[path.source], group_of[path.target]
        if source != target:
            left.add(source)
            entered.add(target)
    places = {state.name: state.place for state in definition.states}
    for number, group in members.items():
        subject = "state %s" % group[0] if len(group) == 1 else "states %s" % _listed(group)
        if number not in entered:
            add(places[group[0]], "", "%s cannot be reached from %s"
                % (subject, _others(names, group_of, number, len(group))), ERROR)
        if number not in left:
            add(places[group[0]], "", "%s cannot get back to %s"
                % (subject, _others(names, group_of, number, len(group))), ERROR)


def _check_way_out(entry: str, names: List[str], neighbours: Dict[str, List[str]],
                   definition: Definition, add: Add) -> None:
    """The configuration state's routes along paths. Configuration lines lead from it into the
    states entered by configuration, and from there paths lead on, but a route (go_to) goes
    along paths only: the state needs paths of its own to every state it reaches that way."""
    families = set(definition.config_substates)
    if not families:
        return
    reached = {entry}
    todo = [entry]
    while todo:
        for target in neighbours[todo.pop()]:
            if target not in reached:
                reached.add(target)
                todo.append(target)
    through = set(reached) | families
    todo = list(families)
    while todo:
        for target in neighbours[todo.pop()]:
            if target not in through:
                through.add(target)
                todo.append(target)
    missing = [name for name in names if name in through and name not in reached
               and name not in families]
    if missing:
        state = definition.state(entry)
        add(state.place if state else definition.place, "", "state %s has no route to %s: "
            "configuration lines lead from it into %s, and a route follows paths only"
            % (entry, _listed(missing), _listed(sorted(families))), ERROR)


def _listed(names: List[str]) -> str:
    if len(names) <= _LISTED:
        return ", ".join(names)
    return "%s and %d more" % (", ".join(names[:_LISTED]), len(names) - _LISTED)


def _check_question(statement: StatementDef, prompts: _Prompts, risky: Set[str], add: Add,
                    what: str = "question") -> None:
    if statement.sample is None:
        return
    line = prompts.sample_line(statement.sample)
    own = _search(statement.expect, statement.expect in risky)
    if own is None:
        return
    if not own(statement.sample.replace("%N", prompts.hostname)):
        add(statement.place, "sample", "the %s sample %r is not matched by its own pattern %r"
            % (what, statement.sample, statement.expect), ERROR)
    for mode in prompts.modes:
        for number in mode.matching(line):
            add(statement.place, "sample", "the %s %r is also matched by the prompt of %s "
                "(%s): the engines would take it for that prompt"
                % (what, line, mode.names[number], mode.label), ERROR)
            return


def check_file(path: str, hostname: str = TEST_HOSTNAME) -> List[Problem]:
    """Every finding about a platform file, in the order of the file's lines."""
    definition, problems = read_file(path)
    if definition is not None and definition.states:
        problems = problems + check_definition(definition, hostname)
    return sorted(problems, key=lambda p: p.line)


def has_errors(problems: List[Problem]) -> bool:
    return any(p.severity == ERROR for p in problems)
