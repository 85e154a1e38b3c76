"""The configuration a simulated device keeps: entered, shown, committed and rolled back.

A platform's ``config`` section (:class:`~tessel.platforms.base.ConfigSpec`)
says how its configuration is written, and so how the simulator keeps it:

* a line entered in a configuration state goes into the block of the
  sub-modes it was entered in (a tree of :class:`~tessel.config.Node`, as
  :func:`tessel.config.parse` reads the shown text); a line entered again is
  not added twice;
* a line that the platform's ``negate`` template (or one of its
  ``negations``) makes a removal removes: ``no LINE`` and ``undo LINE`` the
  line, else the lines of the block that start with its words (``no
  neighbor 10.0.0.2`` the neighbour's lines); ``delete PATH`` the set lines
  of that path. A line that removes nothing is kept as a line itself
  (``no ip forwarding``), except for ``delete``, which warns. A line whose
  removal form is kept (``ip forwarding`` while ``no ip forwarding`` is)
  removes that form instead;
* :meth:`DeviceConfig.show` prints it in the platform's shape
  (:class:`Layout`): blocks by indentation, each ended by the exit line of
  its sub-mode and set apart by the separator, between the header and footer
  lines of the sample the platform's responses give; or set lines;
* where the platform has ``commit``, lines go to a candidate that a commit
  makes running, kept as numbered commits (0: the running one) for rollback;
  a commit with a timer rolls back by itself when the timer runs out unless
  a commit confirms it first. The timer is checked before each command the
  device answers (:meth:`DeviceConfig.expire`), so no thread writes to a
  console: what any command shows is as the timer left it.
"""
import re
import time
from dataclasses import dataclass, field
from typing import Callable, List, Optional, Sequence, Tuple

from tessel.config import Node, diff, parse, removal
from tessel.eal.patterns import prompt_compiled
from tessel.platforms.base import ConfigSpec

#: The block header lines of a line, outermost first.
Path = Tuple[str, ...]

#: How many commits a device keeps (number 0 is the running configuration).
HISTORY = 50

#: What a router command line prints around its configuration, when the platform's
#: responses give no sample; the lines the platform takes for configuration are left out.
ROUTER_HEADER = ("Building configuration...", "", "Current configuration:", "!")
ROUTER_FOOTER = ("end",)

#: The line a device keeps before the set lines of its configuration: when the last commit
#: was made, and its comment (shown where the platform's ``ignore`` drops it).
LAST_COMMIT = "## Last commit: %s"


def copy_tree(node: Node) -> Node:
    out = Node(node.text)
    out.children = {text: copy_tree(child) for text, child in node.children.items()}
    return out


@dataclass
class Layout:
    """How the show command prints a configuration: the lines before and after it, the line
    that sets blocks apart (``separator``), and whether a block ends with the line that
    leaves it (``closes``)."""

    header: List[str] = field(default_factory=list)
    footer: List[str] = field(default_factory=list)
    separator: Optional[str] = None
    closes: bool = True


class Shape:
    """What of a shown text a platform takes for configuration."""

    def __init__(self, spec: ConfigSpec) -> None:
        self.spec = spec
        self.ignore = [prompt_compiled(pattern) for pattern in spec.ignore]

    def ignored(self, line: str) -> bool:
        return any(pattern.search(line) for pattern in self.ignore)

    def configuration(self, line: str) -> bool:
        """Whether ``line`` is a configuration line (not blank, ignored or a closer)."""
        stripped = line.strip()
        if not stripped or self.ignored(line.rstrip()):
            return False
        return self.spec.style == "set" or stripped not in self.spec.closers


def layout_of(spec: ConfigSpec, sample: Optional[str], exits: Sequence[str]) -> Layout:
    """The layout of ``sample``, the show command's output as the platform's responses give it
    (None: a router command line's, or bare set lines). ``exits``: the lines that leave a
    block (the platform's exit and its sub-modes')."""
    shape = Shape(spec)
    blocks = spec.style == "blocks"
    separator = spec.closers[0] if blocks and spec.closers else None
    if sample is None:
        if not blocks:
            return Layout()
        return Layout([line for line in ROUTER_HEADER if not shape.configuration(line)],
                      [line for line in ROUTER_FOOTER if not shape.configuration(line)],
                      separator, True)
    lines = [line.rstrip() for line in sample.rstrip("\n").split("\n")]
    end = len(lines)
    # The footer: the lines at the end that are blank or not configuration ('end', 'return'),
    # back to the last separator or the line that ends the last block.
    while end > 0 and lines[end - 1].strip() != separator and (
            not lines[end - 1].strip() or shape.ignored(lines[end - 1])):
        end -= 1
    start = next((index for index, line in enumerate(lines) if shape.configuration(line)), end)
    closes = any(line.strip() in exits for line in lines[start:end])
    return Layout(lines[:start], lines[end:], separator if blocks else None, closes)


@dataclass
class Commit:
    """A configuration as committed, when, and with what comment."""

    tree: Node
    comment: Optional[str] = None
    when: float = field(default_factory=time.time)


class DeviceConfig:
    """The configuration of one simulated device (see the module's description).

    ``closer(path)`` gives the line that ends the block of ``path`` (the exit
    line of its sub-mode); ``initial`` is the configuration it starts with.
    """

    def __init__(self, spec: ConfigSpec, layout: Layout, initial: Optional[Node] = None,
                 closer: Optional[Callable[[Path], str]] = None) -> None:
        self.spec = spec
        self.layout = layout
        self.shape = Shape(spec)
        self.closer = closer or (lambda path: spec.exit)
        self.running = initial if initial is not None else Node()
        self.committing = spec.commit is not None
        #: The lines entered go here: the running configuration itself without commit.
        self.candidate = copy_tree(self.running) if self.committing else self.running
        self.commits: List[Commit] = [Commit(copy_tree(self.running))]
        #: When a commit waiting for its confirmation rolls back (time.monotonic()), and to what.
        self.deadline: Optional[float] = None
        self.restore: Optional[Node] = None

    # -- entering lines -------------------------------------------------------------------

    def block(self, path: Path) -> Node:
        """The block of ``path`` in the configuration being edited, made when missing."""
        node = self.candidate
        for header in path:
            node = node.child(header)
        return node

    def open(self, path: Path, line: str) -> None:
        """A line that opens a block (a sub-mode) is entered in ``path``."""
        self.block(path).child(line)

    def enter(self, path: Path, line: str) -> Optional[str]:
        """Enters a configuration line in the block of ``path``; returns a notice to show
        (a removal that found nothing to remove), else None."""
        block = self.block(path)
        for match, template in self.spec.negations:
            if "{" not in template and line == template:
                pattern = re.compile(match)
                self._drop(block, [text for text in block.children if pattern.search(text)])
                return None
        head, marker, _ = (self.spec.negate.partition("{line}") if "{line}" in self.spec.negate
                           else self.spec.negate.partition("{path}"))
        rest = line[len(head):].strip() if head.strip() and line.startswith(head) else ""
        if rest:
            if marker == "{path}":
                found = [text for text in block.children
                         if _words_after_first(text) == rest
                         or _words_after_first(text).startswith(rest + " ")]
                if not found:
                    return "warning: statement not found: %s" % rest
                self._drop(block, found)
                return None
            found = [rest] if rest in block.children else \
                [text for text in block.children if text.startswith(rest + " ")]
            if found:
                self._drop(block, found)
                return None
        else:
            try:
                opposite: Optional[str] = removal(line, self.spec)
            except ValueError:
                opposite = None
            if opposite is not None and opposite != line and opposite in block.children \
                    and opposite.startswith(head):
                self._drop(block, [opposite])
                return None
        block.child(line)
        return None

    @staticmethod
    def _drop(block: Node, texts: Sequence[str]) -> None:
        for text in texts:
            block.children.pop(text, None)

    # -- commit, confirm, abort, rollback --------------------------------------------------

    def expire(self) -> None:
        """Rolls back a commit whose confirm timer has run out."""
        if self.deadline is None or time.monotonic() < self.deadline:
            return
        assert self.restore is not None
        self.deadline = None
        self.running, self.restore = self.restore, None
        self._keep(Commit(copy_tree(self.running), "rolled back: the commit was not confirmed"))
        self.candidate = copy_tree(self.running)

    def commit(self, comment: Optional[str] = None, timer: Optional[float] = None) -> None:
        """Makes the candidate running. ``timer``: seconds until it rolls back by itself
        unless confirmed; a commit without one confirms a commit that waits."""
        if timer is None:
            self.deadline = self.restore = None
        else:
            if self.deadline is None:
                self.restore = copy_tree(self.running)
            self.deadline = time.monotonic() + timer
        self.running = copy_tree(self.candidate)
        self._keep(Commit(copy_tree(self.running), comment))

    def _keep(self, commit: Commit) -> None:
        self.commits.insert(0, commit)
        del self.commits[HISTORY:]

    def abort(self) -> None:
        """Discards what the candidate holds beyond the running configuration."""
        self.candidate = copy_tree(self.running)

    def load(self, number: int) -> Optional[str]:
        """Loads commit ``number`` into the candidate; why it cannot, or None."""
        if number >= len(self.commits):
            return "there is no commit %d: the device keeps %d" % (number, len(self.commits))
        self.candidate = copy_tree(self.commits[number].tree)
        return None

    def clear(self) -> None:
        """Empties the candidate (entered in full next, for a replace)."""
        self.candidate.children.clear()

    # -- showing ---------------------------------------------------------------------------

    def compare(self) -> List[str]:
        """What the candidate changes, as the lines of a diff (none when it changes nothing)."""
        return [line for line in diff(self.running, self.candidate).splitlines()
                if not line.startswith(("---", "+++", "@@"))]

    def show(self) -> List[str]:
        """The running configuration as the platform prints it."""
        out = list(self.layout.header)
        if self.committing:
            last = self.commits[0]
            note = LAST_COMMIT % time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(last.when))
            if last.comment:
                note += ' comment "%s"' % last.comment
            if not self.shape.configuration(note):
                out.append(note)
        if self.spec.style == "set":
            out += [child.text for child in self.running.children.values()]
        else:
            self._blocks(self.running, (), out)
            separator = self.layout.separator
            if separator is not None and self.running.children and out[-1] != separator:
                out.append(separator)
        return out + self.layout.footer

    def _blocks(self, node: Node, path: Path, out: List[str]) -> None:
        indent = " " * len(path)
        separator = self.layout.separator
        children = list(node.children.values())
        if path:  # inside a block, its own lines come before the blocks it holds
            children.sort(key=lambda child: bool(child.children))
        for child in children:
            if not child.children:
                out.append(indent + child.text)
                continue
            if separator is not None and (not out or out[-1].strip() != separator):
                out.append(indent + separator)
            out.append(indent + child.text)
            self._blocks(child, path + (child.text,), out)
            if self.layout.closes:
                out.append(indent + self.closer(path + (child.text,)))
            if separator is not None and not path:
                out.append(separator)


def _words_after_first(text: str) -> str:
    words = text.split(None, 1)
    return words[1] if len(words) == 2 else ""


def initial_tree(spec: ConfigSpec, sample: Optional[str]) -> Node:
    """The configuration a device starts with: what ``sample`` holds (none without one)."""
    return parse(sample, spec) if sample is not None else Node()


def comment_regex(template: Optional[str]) -> str:
    """The regular expression of a commit comment's words, ``(?P<comment>...)`` its text."""
    if template is None:
        return ""
    before, _, after = " ".join(template.split()).partition("{comment}")
    return "(?: %s(?P<comment>.*)%s)?" % (re.escape(before), re.escape(after))


def command_regex(template: str, comment: str = "") -> "re.Pattern[str]":
    """The regular expression of a command's whole line (its words one blank apart): its
    ``{placeholders}`` are numbers; ``comment``: the comment words it may end with."""
    parts = re.split(r"(\{\w+\})", " ".join(template.split()))
    body = "".join("(?P<%s>\\d+)" % part[1:-1] if part.startswith("{") else re.escape(part)
                   for part in parts)
    return re.compile(body + comment)


__all__ = ["Commit", "DeviceConfig", "Layout", "command_regex", "comment_regex", "copy_tree",
           "initial_tree", "layout_of"]
