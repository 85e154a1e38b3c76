"""Learning a platform from captures: ``tessel learn CAPTURE... -o NAME.yaml``.

A capture holds every prompt a device showed, the commands that moved it from
one prompt to another, the questions it asked and what it printed for each
command. :func:`learn` turns one or more captures of a device into the data of
a platform file and of the simulator's responses file:

* **states**: one per prompt shape. The hostname becomes ``%N``, the prompt is
  escaped and anchored (``^%N\\(config\\)#\\s*$``). Several sub-mode prompts
  below one prompt (``%N(config-router)#``, ``%N(config-if)#`` under
  ``%N(config)#``) make one state entered by configuration, with a family
  pattern and its ``submodes``. A state takes the name a shipped platform gives
  a prompt of the same style (``disable``, ``config_sub``, ``user``), else one
  made from its prompt. States are ordered so that none is matched by the
  prompt of a state before it;
* **paths**: the commands that changed the prompt, with the questions answered
  on the way as their dialog (an answer that was a secret stays its field,
  ``{enable_password}``), and the refusal the device printed for a wrong one;
* **pager**, **failure** patterns (each error line the recording platform saw,
  cut before its first quote or colon and anchored at the line start),
  **error_sample** and **connect** commands (those sent right after the start
  that printed nothing and changed nothing);
* **responses**: per state (or sub-mode), every command and its output as a
  connection read it (the echo, the prompt and the pager's prompts left out).

Several captures of one device merge: the states and paths are united, the
responses merged; where one command printed different outputs in one state,
the last is kept, and a note says so. :func:`learn_files` reads the captures,
checks the result as ``tessel check`` does and writes both files, or nothing
when a capture cannot be read.
"""
import os
import re
from collections import Counter
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Sequence, Set, Tuple

import yaml

from tessel.capture import Capture, Exchange, placeholder, read_capture, without_line_end
from tessel.core.errors import CaptureError
from tessel.eal.output import clean_output, erase_length
from tessel.platforms.definition import (SAFE_LOADER, TEST_HOSTNAME, Definition, Problem,
                                         read_definition, template_fields)
from tessel.utils import is_secret_key

__all__ = ["Learned", "learn", "learn_files", "responses_path"]

#: Characters a regular expression gives a meaning to; every other one stands for itself.
_SPECIAL = re.compile(r"([.^$*+?()\[\]{}|\\])")
#: Closing brackets a family of sub-mode prompts is recognised by: ``%N(config-xxx)#``,
#: ``[%N-xxx]``.
_OPENING = {")": "(", "]": "["}
#: The words of a prompt that a derived state name is made of.
_WORD = re.compile(r"[A-Za-z0-9]+")
#: Names for prompts without a word: their last character.
_SYMBOLS = {">": "angle", "#": "hash", "$": "dollar", "%": "percent", ":": "colon",
            "]": "bracket", ")": "paren"}
#: Names a state cannot take: ``go_to`` and the responses file give them a meaning.
_RESERVED = {"any", "generic"}
#: Quotes and colons: a failure line is cut before the first of them.
_CUT = re.compile(r"['\"`:]")
#: A failure pattern shorter than this (after ``^``) is too loose: the whole line is used.
_SHORTEST_FAILURE = 3


class _Dumper(yaml.SafeDumper):
    """PyYAML's safe dumper, writing texts of several lines as literal blocks."""


def _text_representer(dumper: yaml.SafeDumper, data: str) -> yaml.ScalarNode:
    style = "|" if "\n" in data else None
    return dumper.represent_scalar("tag:yaml.org,2002:str", data, style=style)


_Dumper.add_representer(str, _text_representer)


def escape(text: str) -> str:
    """``text`` as a regular expression that matches it literally; only the characters that
    mean something to a regular expression are escaped, so ``%N`` stays."""
    return _SPECIAL.sub(r"\\\1", text)


def responses_path(platform_path: str) -> str:
    """Where the responses of the platform file at ``platform_path`` are written."""
    return os.path.splitext(platform_path)[0] + ".responses.yaml"


@dataclass
class Learned:
    """What :func:`learn` made: the platform file's data, the responses file's data, the
    notes on what was left out, merged or inferred, and the hostname seen."""

    platform: Dict[str, Any]
    responses: Dict[str, Dict[str, Any]]
    notes: List[str] = field(default_factory=list)
    hostname: Optional[str] = None
    #: What ``tessel check`` finds in the platform (filled by :func:`learn_files`).
    problems: List[Problem] = field(default_factory=list)

    def platform_text(self, sources: Sequence[str] = ()) -> str:
        head = "# Learned by tessel learn from %s.\n" % ", ".join(
            os.path.basename(s) for s in sources) if sources else ""
        return head + _dump(self.platform)

    def responses_text(self) -> str:
        return "# What the device printed, per state and sub-mode (tessel learn).\n" + \
            _dump(self.responses)


def _dump(data: Any) -> str:
    text = yaml.dump(data, Dumper=_Dumper, sort_keys=False, allow_unicode=True, width=100,
                     default_flow_style=False)
    if yaml.load(text, Loader=SAFE_LOADER) != data:
        raise CaptureError("the learned data cannot be written as YAML exactly")
    return text


# -- what the captures show --------------------------------------------------------------

@dataclass
class _Event:
    """One exchange of a capture, with the prompt shapes it began and ended at."""

    capture: Capture
    exchange: Exchange
    before: str
    after: Optional[str]
    output: Optional[str]

    @property
    def command(self) -> str:
        return self.exchange.command.strip()

    @property
    def questions(self) -> List[Tuple[str, str]]:
        """The questions answered (not the pager's), with the answer without its line end."""
        return [(step.question or "", without_line_end(step.sent or ""))
                for step in self.exchange.steps[1:] if not step.pager]

    @property
    def where(self) -> str:
        return "%s, exchange %d" % (os.path.basename(self.capture.path) or "capture",
                                    self.exchange.number)


def _hostname_at(prompt: str, hostnames: Sequence[Optional[str]]) -> str:
    """The prompt with the first of ``hostnames`` it shows, standing as a word, as ``%N``."""
    for hostname in hostnames:
        if not hostname:
            continue
        found = re.search(r"(?<![A-Za-z0-9])%s(?![A-Za-z0-9])" % re.escape(hostname), prompt)
        if found is not None:
            return prompt[:found.start()] + "%N" + prompt[found.end():]
    return prompt


def exchange_output(exchange: Exchange) -> Optional[str]:
    """What a connection reads as the output of the exchange's command: the echo, the pager's
    prompts and erasures and the closing prompt left out, cleaned. None when the last line
    is not the recorded prompt."""
    steps = exchange.steps
    pieces = []
    for number, step in enumerate(steps):
        text = step.received
        if number > 0 and step.pager:
            text = text[erase_length(text):]
        if number + 1 < len(steps) and steps[number + 1].pager:
            text = text[:text.rfind("\n") + 1]  # the pager's prompt is the last line
        pieces.append(text)
    lines = clean_output("".join(pieces)).split("\n")
    command = exchange.command.strip()
    if command and lines[0].strip().endswith(command):
        lines = lines[1:]
    if exchange.closed:
        while lines and not lines[-1].strip():
            lines.pop()
        return "\n".join(lines)
    prompt = exchange.prompt_after.rstrip()
    last = lines[-1].rstrip() if lines else ""
    if not prompt or not last.endswith(prompt):
        return None
    lines[-1] = last[:len(last) - len(prompt)]
    if not lines[-1]:
        lines.pop()
    return "\n".join(lines)


def _events(capture: Capture, notes: List[str]) -> Tuple[Optional[Tuple[str, str]],
                                                           List[_Event], Dict[str, str]]:
    """The start's shape (with its sample), the capture's exchanges as events, and the
    sample of each shape (the prompt as first shown, the hostname as ``%N``)."""
    samples: Dict[str, str] = {}
    names = [capture.hostname] + [e.hostname for e in capture.exchanges] + (
        [capture.start.hostname] if capture.start else [])
    known = list(dict.fromkeys(name for name in names if name))

    def shape(prompt: str, hostname: Optional[str]) -> str:
        sample = _hostname_at(prompt, [hostname, *known])
        key = sample.rstrip()
        samples.setdefault(key, sample)
        return key

    start = None
    hostname = capture.start.hostname if capture.start else None
    if capture.start is not None and capture.start.state is not None and \
            capture.start.prompt.strip():
        start = (shape(capture.start.prompt, hostname), capture.start.state)
    events = []
    for exchange in capture.exchanges:
        before_name, hostname = hostname, exchange.hostname or hostname
        where = "%s, exchange %d" % (os.path.basename(capture.path) or "capture",
                                     exchange.number)
        if not exchange.command.strip():
            continue
        if any(step.sent == "\x03" for step in exchange.steps):
            notes.append("%s: %r was abandoned with Ctrl-C: left out" % (where, exchange.command))
            continue
        if exchange.state is None or not exchange.prompt.strip():
            notes.append("%s: %r began at a prompt the recording platform did not know: left "
                         "out" % (where, exchange.command))
            continue
        after = None
        if not exchange.closed:
            if exchange.state_after is None or not exchange.prompt_after.strip():
                notes.append("%s: %r ended at a prompt the recording platform did not know "
                             "(%r): left out" % (where, exchange.command,
                                                 exchange.prompt_after.strip()))
                continue
            after = shape(exchange.prompt_after, hostname)
        events.append(_Event(capture, exchange, shape(exchange.prompt, before_name), after,
                             exchange_output(exchange)))
    return start, events, samples


# -- states ---------------------------------------------------------------------------------

@dataclass
class _Family:
    """Sub-mode prompts below one prompt: ``head`` + '-' + a word + ``tail``."""

    parent: str
    head: str
    tail: str
    members: List[str]

    @property
    def pattern(self) -> str:
        close = self.tail[0]
        return "^%s-[^%s\\s]+%s\\s*$" % (escape(self.head), "\\" + close if close == "]"
                                        else close, escape(self.tail))


def _family_below(parent: str, shapes: Sequence[str]) -> Optional[_Family]:
    """The sub-mode prompts of ``shapes`` that ``parent`` would show with a word added before
    its last closing bracket."""
    index = max(parent.rfind(")"), parent.rfind("]"))
    if index < 0:
        return None
    head, tail = parent[:index], parent[index:]
    members = []
    for shape in shapes:
        if len(shape) > len(head) + len(tail) + 1 and shape.startswith(head + "-") and \
                shape.endswith(tail):
            word = shape[len(head) + 1:len(shape) - len(tail)]
            if not re.search(r"[\s%s]" % re.escape(tail[0]), word):
                members.append(shape)
    return _Family(parent, head, tail, members)


def _told_apart(events: Sequence[_Event]) -> Set[str]:
    """The shapes that the recording platform recognised as states of their own: every state
    it named at the shape names no other shape (``config_if`` beside the family
    ``config_sub``)."""
    names: Dict[str, Set[str]] = {}
    for event in events:
        for shape, state in ((event.before, event.exchange.state),
                             (event.after, event.exchange.state_after)):
            if shape is not None and state is not None:
                names.setdefault(shape, set()).add(state)
    return {shape for shape, own in names.items()
            if not any(own & other for key, other in names.items() if key != shape)}


def _find_family(shapes: Sequence[str], events: Sequence[_Event]) -> Optional[_Family]:
    """The family of sub-mode prompts (two or more, below one prompt that leads into one of
    them, none of them a state of its own for the recording platform) with the most
    members, or None."""
    best = None
    entered = {(e.before, e.after) for e in events}
    apart = _told_apart(events)
    for parent in shapes:
        family = _family_below(parent, [shape for shape in shapes if shape not in apart])
        if family is None or len(family.members) < 2:
            continue
        if not any((parent, member) in entered for member in family.members):
            continue
        if best is None or len(family.members) > len(best.members):
            best = family
    return best


def _learning_pattern(prompt: str) -> str:
    """A prompt pattern as hostname learning reads it: ``%N`` matches any word."""
    return prompt.replace("%N", r"\S+")


def _fixed_pattern(prompt: str) -> str:
    return prompt.replace("%N", re.escape(TEST_HOSTNAME))


def _shipped_definitions(first: str) -> List[Definition]:
    """The shipped platforms' definitions, the one named ``first`` (if shipped) first."""
    from tessel.platforms import shipped_file, shipped_names
    from tessel.platforms.definition import read_file

    names = sorted(shipped_names(), key=lambda name: name != first)
    found = []
    for name in names:
        path = shipped_file(name)
        definition = read_file(path)[0] if path else None
        if definition is not None:
            found.append(definition)
    return found


def _shipped_name(sample: str, family: bool, definitions: Sequence[Definition]) -> Optional[str]:
    """The name the first shipped platform whose prompts take ``sample`` gives the state that
    recognises it, when that state is a family exactly when ours is."""
    line = sample.replace("%N", TEST_HOSTNAME).rstrip()
    for definition in definitions:
        for state in definition.states:
            if any(re.search(_fixed_pattern(p), line) for p in state.prompts):
                if state.by_configuration == family:
                    return state.name
                break
    return None


def _derived_name(shape: str) -> str:
    """A state name made of the words of a prompt (``%N(config-router)#``: config_router),
    or of its last character when it has none (``%N>``: mode_angle)."""
    words = _WORD.findall(shape.replace("%N", " "))
    if words:
        name = "_".join(words).lower()
        return "mode_" + name if name[0].isdigit() else name
    last = shape.strip()[-1:]
    return "mode_" + (_SYMBOLS.get(last) or ("%02x" % ord(last) if last else "prompt"))


def _unique(name: str, taken: Set[str]) -> str:
    if name in _RESERVED:
        name += "_state"
    candidate, number = name, 2
    while candidate in taken:
        candidate = "%s_%d" % (name, number)
        number += 1
    taken.add(candidate)
    return candidate


def _ordered(names: List[str], prompts: Dict[str, str], samples: Dict[str, List[str]],
             notes: List[str]) -> List[str]:
    """The states in an order where no state's samples are matched by the prompt of a state
    before it (with a fixed hostname and with hostname learning); among free choices, the
    order they were first seen in."""
    compiled = {name: [re.compile(_fixed_pattern(prompts[name])),
                       re.compile(_learning_pattern(prompts[name]))] for name in names}
    after: Dict[str, Set[str]] = {name: set() for name in names}  # name -> must come before
    for name in names:
        lines = [s.replace("%N", TEST_HOSTNAME).rstrip() for s in samples[name]]
        for other in names:
            if other != name and any(p.search(line) for p in compiled[other] for line in lines):
                after[other].add(name)
    result: List[str] = []
    left = list(names)
    while left:
        free = [name for name in left if not (after[name] & set(left))]
        if not free:
            notes.append("the prompts of %s match each other's samples: no order of the "
                         "states tells them apart" % ", ".join(left))
            free = left[:1]
        result.append(free[0])
        left.remove(free[0])
    return result


# -- the platform ---------------------------------------------------------------------------

def _answer(text: str, secrets: Sequence[str]) -> Optional[str]:
    """A recorded answer or command as a platform file sends it: the capture's placeholders
    of secrets are fields; None when it holds other ``{...}`` text, which would be read as a
    field."""
    fields = template_fields(text)
    if "{" in text and (not fields or any(placeholder(f) not in text or f not in secrets
                                          for f in fields)):
        return None
    return text


def _failure_pattern(line: str, outputs: Sequence[str]) -> Optional[str]:
    """A pattern for an error line: the text before its first quote or colon (the colon
    kept), anchored at the line start; the whole line when that is too short or would also
    mark one of ``outputs`` (the outputs of commands that did not fail); None when even that
    would."""
    text = line.strip()
    cut = _CUT.search(text)
    prefix = text if cut is None else text[:cut.start() + 1 if cut.group() == ":"
                                           else cut.start()].rstrip()
    candidates = ["^" + escape(prefix)] if len(prefix) >= _SHORTEST_FAILURE else []
    candidates.append("^" + escape(text))
    for pattern in candidates:
        compiled = re.compile(pattern, re.MULTILINE)
        if not any(compiled.search(output) for output in outputs):
            return pattern
    return None


def _error_sample(failed: Sequence[_Event], recorded: Optional[str]) -> Optional[str]:
    """What the device prints for an unknown command: the recording platform's line when a
    failure shows it, else a failure line with the command as ``{line}`` or ``{command}``,
    else the commonest failure line."""
    lines = [(e, (e.exchange.failure or "").strip()) for e in failed]
    if recorded and "%N" not in recorded:
        for event, line in lines:
            words = event.command.split()
            if line == recorded.replace("{line}", " ".join(words)).replace(
                    "{command}", words[0] if words else "").strip():
                return recorded
    for key in ("{line}", "{command}"):
        for event, line in lines:
            part = event.command if key == "{line}" else event.command.split()[0]
            if part in line and "{" not in line:
                return line.replace(part, key, 1)
    common = Counter(line for _, line in lines if "{" not in line).most_common(1)
    return common[0][0] if common else None


class _Learner:
    """Builds the platform from the events of every capture."""

    def __init__(self, captures: Sequence[Capture], name: str) -> None:
        self.captures = captures
        self.name = name
        self.notes: List[str] = []
        self.events: List[_Event] = []
        self.starts: List[Tuple[str, str]] = []
        self.samples: Dict[str, str] = {}
        self.secrets: Set[str] = set()
        for capture in captures:
            start, events, samples = _events(capture, self.notes)
            if start is not None:
                self.starts.append(start)
            self.events += events
            for key, sample in samples.items():
                self.samples.setdefault(key, sample)
            self.secrets.update(capture.secrets)
        self.shapes = list(dict.fromkeys([s for s, _ in self.starts] + [
            shape for e in self.events for shape in (e.before, e.after) if shape is not None]))
        if not self.shapes:
            raise CaptureError("%s: no prompt that the recording platform recognised: nothing "
                               "to learn" % ", ".join(c.path or "the capture" for c in captures))

    # -- states -----------------------------------------------------------------------

    def states(self) -> None:
        self.family = _find_family(self.shapes, self.events)
        members = set(self.family.members) if self.family else set()
        plain = [shape for shape in self.shapes if shape not in members]
        recorder = self.captures[0].platform if self.captures else ""
        shipped = _shipped_definitions(recorder)
        taken: Set[str] = set()
        #: shape -> state name (family members -> the family's state)
        self.state_of: Dict[str, str] = {}
        prompts: Dict[str, str] = {}
        samples: Dict[str, List[str]] = {}
        for shape in plain:
            sample = self.samples[shape]
            name = _unique(_shipped_name(sample, False, shipped) or _derived_name(shape), taken)
            self.state_of[shape] = name
            prompts[name] = "^%s\\s*$" % escape(shape)
            samples[name] = [sample]
        self.family_state: Optional[str] = None
        if self.family is not None:
            first = self.samples[self.family.members[0]]
            name = _shipped_name(first, True, shipped) or \
                self.state_of[self.family.parent] + "_sub"
            self.family_state = name = _unique(name, taken)
            prompts[name] = self.family.pattern
            samples[name] = [self.samples[m] for m in self.family.members]
            for member in self.family.members:
                self.state_of[member] = name
        self.order = _ordered(list(prompts), prompts, samples, self.notes)
        self.prompts = prompts
        self.first_sample = {name: values[0] for name, values in samples.items()}

    # -- sub-modes --------------------------------------------------------------------------

    def submodes(self) -> List[Dict[str, Any]]:
        """The sub-modes of the family: their names, the lines that open them, their parents
        and the lines that go back up one level."""
        self.mode_of: Dict[str, str] = {}
        self.parent_of: Dict[str, str] = {}
        family = self.family
        if family is None:
            return []
        taken = set(self.state_of.values())
        for member in family.members:
            inner = family.head[family.head.rfind(_OPENING[family.tail[0]]) + 1:]
            word = member[len(family.head) + 1:len(member) - len(family.tail)]
            base = (inner.replace("%N", "").strip("-") + "-" + word).strip("-")
            self.mode_of[member] = _unique(base or word, taken)
        self.parent_of = self._parents(family)
        result = []
        for member in family.members:
            parent = self.parent_of.get(member)
            if parent is None:
                self.notes.append("the sub-mode %s (%s) was entered without a command seen: "
                                  "left out of the sub-modes" % (self.mode_of[member],
                                                                self.samples[member].strip()))
                del self.mode_of[member]  # its commands answer in the family's state
                continue
            commands = list(dict.fromkeys(e.command for e in self.events
                                          if e.before == parent and e.after == member))
            command = _opening(commands)
            exits = list(dict.fromkeys(e.command for e in self.events
                                       if e.before == member and e.after == parent))
            entry: Dict[str, Any] = {
                "name": self.mode_of[member], "command": command,
                "parent": self.mode_of.get(parent) or self.state_of[parent],
                "sample": self.samples[member]}
            if exits:
                entry["exit"] = exits
            result.append(entry)
        return result

    def _parents(self, family: _Family) -> Dict[str, str]:
        """The prompt each sub-mode is opened from: the nearest to the configuration prompt,
        going down the commands seen from it (an exit leads back up the same way a line led
        down, so the depth tells which is which)."""
        members = set(family.members)
        roots = [family.parent] + [shape for shape in self.shapes if shape not in members
                                   and shape != family.parent]
        parents: Dict[str, str] = {}
        seen = set(roots)
        for root in roots:
            level = [root]
            while level:
                following = []
                for shape in level:
                    for event in self.events:
                        if event.before == shape and event.after in members and \
                                event.after not in seen:
                            seen.add(event.after)
                            parents[event.after] = shape
                            following.append(event.after)
                level = following
        return parents

    # -- paths -------------------------------------------------------------------------------

    def paths(self, submodes: List[Dict[str, Any]]) -> List[Dict[str, Any]]:
        family = self.family_state
        exits = {line for mode in submodes for line in mode.get("exit", ["exit"])}
        exits |= {"exit"} if any("exit" not in mode for mode in submodes) else set()
        by_pair: Dict[Tuple[str, str], List[_Event]] = {}
        out_of_family: Dict[str, Set[str]] = {}
        for event in self.events:
            if event.after is None:
                continue
            source, target = self.state_of[event.before], self.state_of[event.after]
            if source == target or target == family:
                continue
            if source == family:
                parent = self.parent_of.get(event.before)
                if event.after == parent:
                    continue  # up one level: an exit of the sub-mode
                out_of_family.setdefault(event.command, set()).add(target)
            by_pair.setdefault((source, target), []).append(event)
        for command, targets in out_of_family.items():
            if len(targets) > 1 or command in exits:
                why = ("led to %s" % ", ".join(sorted(targets)) if len(targets) > 1 else
                       "goes up one level from a sub-mode")
                self.notes.append("%r out of %s %s: not a path (it is not right from every "
                                  "depth)" % (command, family, why))
                for target in targets:
                    by_pair[(str(family), target)] = [
                        e for e in by_pair.get((str(family), target), [])
                        if e.command != command]
        self.path_events: Dict[Tuple[str, str], _Event] = {}
        paths = []
        for (source, target), events in by_pair.items():
            usable = [e for e in events if _answer(e.command, sorted(self.secrets)) is not None]
            if not usable:
                continue
            counts = Counter(e.command for e in usable)
            best = max(counts, key=lambda c: (counts[c], -[e.command for e in usable].index(c)))
            chosen = next(e for e in usable if e.command == best)
            others = [c for c in counts if c != best]
            if others:
                self.notes.append("%s -> %s: %s kept as the path's command; also seen: %s"
                                  % (source, target, repr(best), ", ".join(map(repr, others))))
            entry: Dict[str, Any] = {"from": source, "to": target, "command": best}
            dialog = self.dialog(chosen, source)
            if dialog is None:
                continue
            if dialog:
                entry["dialog"] = dialog
            self.path_events[(source, target)] = chosen
            paths.append(entry)
        self.inferred(paths)
        return paths

    def inferred(self, paths: List[Dict[str, Any]]) -> None:
        """A path out of the configuration state when the captures show none: the family's
        path out, which is right from every depth of the configuration."""
        if self.family is None or self.family_state is None:
            return
        entry = self.state_of[self.family.parent]
        if any(p["from"] == entry for p in paths):
            return
        for path in [p for p in paths if p["from"] == self.family_state and "dialog" not in p]:
            if path["to"] != entry:
                paths.append({"from": entry, "to": path["to"], "command": path["command"]})
                self.notes.append("%s -> %s along %r: not seen in the captures, inferred from "
                                  "the same path out of %s (the captures show no way out of %s)"
                                  % (entry, path["to"], path["command"], self.family_state,
                                     entry))
                return

    def dialog(self, event: _Event, source: str) -> Optional[List[Dict[str, Any]]]:
        """The questions a path's command was asked, as its dialog; None when an answer
        cannot be written."""
        dialog = []
        for question, answer in event.questions:
            send = _answer(answer, sorted(self.secrets))
            if send is None:
                self.notes.append("%s: the answer to %r holds braces that are not a secret's "
                                  "field: the path from %s is left out" % (event.where,
                                                                           question, source))
                return None
            entry: Dict[str, Any] = {"expect": escape(question.strip()) + "\\s*$", "send": send,
                                     "continue": True, "sample": question}
            fields = template_fields(send)
            if any(f in self.secrets and not is_secret_key(f) for f in fields):
                entry["secret"] = True
            dialog.append(entry)
        return dialog

    def refusals(self, paths: List[Dict[str, Any]]) -> None:
        """What the device printed when it refused an answer: a path's command that asked its
        questions and left the device where it was."""
        for path in paths:
            if "dialog" not in path:
                continue
            for event in self.events:
                if event.after is not None and event.before == event.after and \
                        self.state_of[event.before] == path["from"] and \
                        event.command == path["command"] and event.questions and event.output:
                    refused = event.output.strip().split("\n")[-1].strip()
                    if refused and "%N" not in refused:
                        path["dialog"][-1]["refused"] = refused

    # -- what the device says ----------------------------------------------------------------

    def pager(self) -> Optional[Dict[str, str]]:
        seen = [(step.question or "", step.sent or "") for e in self.events
                for step in e.exchange.steps[1:] if step.pager]
        if not seen:
            return None
        questions = list(dict.fromkeys(q.strip() for q, _ in seen if q.strip()))
        recorded = next((c.pager[0] for c in self.captures if c.pager), None)
        expect = None
        if recorded is not None:
            try:
                compiled = re.compile(recorded)
            except re.error:
                compiled = None
            if compiled is not None and all(compiled.search(q) for q in questions):
                expect = recorded
        if expect is None:
            expect = "|".join(escape(q) for q in questions)
        key = Counter(sent for _, sent in seen).most_common(1)[0][0]
        return {"expect": expect, "send": key, "sample": seen[0][0]}

    def failures(self) -> List[str]:
        outputs = list(dict.fromkeys(e.output for e in self.events
                                     if e.exchange.failure is None and e.output is not None))
        patterns: List[str] = []
        lines: Dict[str, _Event] = {}
        for event in self.events:
            if event.exchange.failure:
                lines.setdefault(event.exchange.failure, event)
        for line, event in lines.items():
            pattern = _failure_pattern(line, outputs)
            if pattern is None:
                self.notes.append("%s: the error line %r is also printed by commands that did "
                                  "not fail: no failure pattern learned from it"
                                  % (event.where, line))
            elif pattern not in patterns:
                patterns.append(pattern)
        # A pattern whose text begins with another's adds nothing.
        return [p for p in patterns if not any(o != p and p.startswith(o) for o in patterns)]

    def connect(self) -> List[Dict[str, Any]]:
        """The commands sent right after the start, in order, that printed nothing, failed in
        no way and left the prompt as it was."""
        states: Dict[str, List[str]] = {}
        for capture in self.captures:
            for event in [e for e in self.events if e.capture is capture]:
                if event.before != event.after or event.output != "" or event.questions or \
                        event.exchange.failure is not None or \
                        self.state_of[event.before] == self.family_state or \
                        _answer(event.command, []) is None:
                    break
                listed = states.setdefault(event.command, [])
                if self.state_of[event.before] not in listed:
                    listed.append(self.state_of[event.before])
        return [{"state": names[0] if len(names) == 1 else names, "command": command}
                for command, names in states.items()]

    def responses(self, paths: List[Dict[str, Any]], submodes: List[Dict[str, Any]]
                  ) -> Dict[str, Dict[str, Any]]:
        """Each command's output in the state (or sub-mode) it was given in; a path's or a
        sub-mode's command only when it printed something."""
        result: Dict[str, Dict[str, Any]] = {}
        origin: Dict[Tuple[str, str], Tuple[Any, str]] = {}
        moving = {(path["from"], path["command"]) for path in paths} | {
            (mode["parent"], mode["command"]) for mode in submodes}
        for event in self.events:
            moved = event.after is not None and event.after != event.before
            if event.output is None:
                self.notes.append("%s: %r did not end at its recorded prompt: its output is "
                                  "left out" % (event.where, event.command))
                continue
            if event.questions:
                if not moved and (self.state_of[event.before], event.command) not in {
                        (p[0], e.command) for p, e in self.path_events.items()}:
                    self.notes.append("%s: %r asked %r: left out (the simulator asks "
                                      "questions on paths only)"
                                      % (event.where, event.command, event.questions[0][0]))
                continue
            scope = self.mode_of.get(event.before) or self.state_of[event.before]
            if moved and (not event.output or not {
                    (scope, event.command), (self.state_of[event.before], event.command)}
                    & moving):
                continue  # the simulator prints what a path or a sub-mode's line printed only
            if "%N" in event.output or any("\udc80" <= c <= "\udcff" for c in event.output):
                self.notes.append("%s: the output of %r holds %s, which the simulator cannot "
                                  "print as it is: left out" % (
                                      event.where, event.command,
                                      "%N" if "%N" in event.output else "bytes that are not "
                                      "UTF-8"))
                continue
            answer: Any = event.output + "\n" if event.output else ""
            if event.exchange.closed:
                answer = {"output": answer, "close": True}
            key = " ".join(event.command.split())
            kept = result.setdefault(scope, {})
            if key in kept and kept[key] != answer:
                self.notes.append("%r in %s printed different outputs (%s and %s): the last "
                                  "is kept" % (key, scope, origin[(scope, key)][1], event.where))
            kept[key] = answer
            origin[(scope, key)] = (answer, event.where)
        ordered = [scope for scope in self.order if scope in result]
        ordered += [scope for scope in result if scope not in ordered]
        return {scope: result[scope] for scope in ordered}

    # -- all of it ----------------------------------------------------------------------------

    def platform(self) -> Dict[str, Any]:
        self.states()
        submodes = self.submodes()
        paths = self.paths(submodes)
        self.refusals(paths)
        hosts = sorted({c.hostname for c in self.captures if c.hostname})
        recorders = sorted({c.platform for c in self.captures})
        data: Dict[str, Any] = {
            "platform": self.name,
            "description": "Learned from %d capture%s of %s (recorded with %s)." % (
                len(self.captures), "" if len(self.captures) == 1 else "s",
                ", ".join(hosts) or "a device", ", ".join(recorders))}
        states = []
        for name in self.order:
            state: Dict[str, Any] = {"name": name, "prompt": self.prompts[name],
                                     "sample": self.first_sample[name]}
            if name == self.family_state:
                state["entered_by"] = "configuration"
            states.append(state)
        data["states"] = states
        data["paths"] = paths
        if submodes:
            data["submodes"] = submodes
        pager = self.pager()
        if pager is not None:
            data["pager"] = pager
        failure = self.failures()
        if failure:
            data["failure"] = failure
        failed = [e for e in self.events if e.exchange.failure]
        sample = _error_sample(failed, next((c.error_sample for c in self.captures
                                             if c.error_sample), None))
        if sample is not None:
            data["error_sample"] = sample
        connect = self.connect()
        start = self.starts[0][0] if self.starts else None
        if connect:
            data["connect"] = connect
        elif start is not None and self.order and self.order[0] != self.state_of[start]:
            self.notes.append("the simulator starts in %s; the device started in %s (tessel "
                              "sim --start %s)" % (self.order[0], self.state_of[start],
                                                   self.state_of[start]))
        if self.family is not None:
            data["config_state"] = self.state_of[self.family.parent]
        return data


def _opening(commands: List[str]) -> str:
    """The line that opens a sub-mode: the one seen, or for several, their common words and
    a field for the words that differ (``interface {name}``)."""
    if len(commands) == 1:
        return commands[0]
    split = [command.split() for command in commands]
    common: List[str] = []
    for words in zip(*split):
        if len(set(words)) > 1:
            break
        common.append(words[0])
    if common and all(len(words) > len(common) for words in split):
        return " ".join(common + ["{name}"])
    return commands[-1]


def learn(captures: Sequence[Capture], name: str) -> Learned:
    """The platform and the responses that the captures of one device show (see the module).

    ``name`` is the platform's name. Raises CaptureError when the captures show no prompt.
    """
    learner = _Learner(captures, name)
    platform = learner.platform()
    responses = learner.responses(platform["paths"], platform.get("submodes", []))
    return Learned(platform, responses, learner.notes,
                   next((c.hostname for c in reversed(captures) if c.hostname), None))


def learn_files(paths: Sequence[str], output: str) -> Learned:
    """Reads the captures at ``paths``, learns the platform and writes it to ``output``
    (``NAME.yaml``) and its responses to ``NAME.responses.yaml`` beside it.

    Raises CaptureError for a capture that cannot be read (nothing is written then) and
    ValueError for an output path that is no ``.yaml``/``.yml`` file. The result's
    ``problems`` are what ``tessel check`` finds in the platform written.
    """
    from tessel.platforms.check import check_definition
    from tessel.sim.platform_sim import read_responses

    if not paths:
        raise ValueError("no capture to learn from")
    if not output.endswith((".yaml", ".yml")):
        raise ValueError("the platform file's name ends with .yaml or .yml, not %r"
                         % os.path.basename(output))
    captures = [read_capture(path) for path in paths]
    name = os.path.splitext(os.path.basename(output))[0]
    learned = learn(captures, name)
    platform_text = learned.platform_text(paths)
    responses_text = learned.responses_text()
    definition, problems = read_definition(platform_text, output)
    if definition is not None and definition.states:
        problems = problems + check_definition(definition)
    learned.problems = sorted(problems, key=lambda p: p.line)
    _write_together([(output, platform_text), (responses_path(output), responses_text)],
                    lambda written: read_responses(written[1], definition)
                    if definition is not None else None)
    return learned


def _write_together(targets: Sequence[Tuple[str, str]], verify: Callable[[List[str]], Any]
                    ) -> None:
    """Writes each text beside its target, calls ``verify`` with the files written, then moves
    them in place; on an error nothing is left and the targets are as they were."""
    written: List[str] = []
    try:
        for target, text in targets:
            temporary = "%s.%d.tmp" % (target, os.getpid())
            written.append(temporary)
            with open(temporary, "w", encoding="utf-8") as stream:
                stream.write(text)
        verify(written)
        for (target, _), temporary in zip(targets, written):
            os.replace(temporary, target)
    finally:
        for temporary in written:
            if os.path.exists(temporary):
                os.unlink(temporary)
