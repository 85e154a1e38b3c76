"""Configurations as trees: parsed from a device's text, compared, turned into lines to send.

A platform's :class:`~tessel.platforms.base.ConfigSpec` says how its
configuration is written: ``blocks`` nested by indentation (a router command
line: a line indented under another belongs to its block; ``!``, ``exit`` and
the other ``closers`` only end blocks) or flat ``set`` lines; which lines of
the shown text are not configuration (``ignore``); and how a line is removed
(``negate``, ``negations``). On that:

* :func:`parse` reads a text into a :class:`Node` tree (the lines of a block
  are compared as a set: the order a device prints them in carries no meaning);
* :func:`diff` gives a unified diff (made by :mod:`difflib`) of what would
  change, each changed line inside its blocks with their header lines as
  context; empty when nothing would change;
* :func:`merge_changes` and :func:`replace_changes` give the :class:`Change`
  list that makes a running configuration hold a candidate (merge: only what
  is missing) or equal it (replace: the lines to remove, negated inside their
  blocks, deepest first and in reverse order, then those to add); each change
  knows the lines that take it back;
* :func:`steps` turns changes into the lines to send: a block is entered by
  its header line and left by the platform's ``exit`` line.
"""
import difflib
from dataclasses import dataclass, field
from typing import Dict, Iterable, List, Optional, Tuple

from tessel.eal.patterns import prompt_compiled
from tessel.lines import split_lines
from tessel.platforms.base import ConfigSpec

__all__ = ["Change", "Node", "combined", "diff", "full_changes", "merge_changes", "negate",
           "parse", "removal", "replace_changes", "steps"]

#: The header lines of the blocks a line is entered in, outermost first.
Path = Tuple[str, ...]


class Node:
    """A configuration line (``text``, without its indentation) and the lines of its block."""

    __slots__ = ("text", "children")

    def __init__(self, text: str = "") -> None:
        self.text = text
        self.children: Dict[str, "Node"] = {}

    def child(self, text: str) -> "Node":
        """The child line ``text``, added when it is not there (a block printed twice is one)."""
        found = self.children.get(text)
        if found is None:
            found = self.children[text] = Node(text)
        return found

    def lines(self, depth: int = 0) -> List[str]:
        """The tree as text lines, one blank of indentation per level."""
        out = []
        for node in self.children.values():
            out.append(" " * depth + node.text)
            out += node.lines(depth + 1)
        return out

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Node) and self.text == other.text and \
            self.children == other.children

    def __repr__(self) -> str:
        return "Node(%r, %d lines)" % (self.text, len(self.children))


def parse(text: str, spec: ConfigSpec) -> Node:
    """The configuration in ``text`` as a tree (its root has no text).

    Blank lines, the lines an ``ignore`` pattern matches and, for blocks,
    the ``closers`` are dropped; a line belongs to the nearest line above it
    that is indented less. Set lines are all at the top.
    """
    root = Node()
    ignore = [prompt_compiled(pattern) for pattern in spec.ignore]
    closers = set(spec.closers)
    flat = spec.style == "set"
    stack: List[Tuple[int, Node]] = [(-1, root)]
    for raw in split_lines(text):
        line = raw.rstrip()
        stripped = line.strip()
        if not stripped or any(pattern.search(line) for pattern in ignore):
            continue
        if flat:
            root.child(stripped)
            continue
        if stripped in closers:
            continue
        indent = len(line) - len(line.lstrip())
        while stack[-1][0] >= indent:
            stack.pop()
        stack.append((indent, stack[-1][1].child(stripped)))
    return root


def removal(line: str, spec: ConfigSpec) -> str:
    """The line that removes ``line`` on the platform: by the first of its ``negations`` whose
    expression matches, else by its ``negate`` template."""
    for match, template in spec.negations:
        if prompt_compiled(match).search(line):
            return negate(line, template)
    return negate(line, spec.negate)


def negate(line: str, template: str) -> str:
    """The line that removes ``line``: ``template`` filled (``{line}``, ``{path}``: the line
    without its first word), or the line without the template's leading words when it
    starts with them (``no ip forwarding`` is removed by ``ip forwarding``)."""
    head, marker, tail = template.partition("{line}")
    if marker and not tail and head.strip() and line.startswith(head) and line[len(head):].strip():
        return line[len(head):].strip()
    words = line.split(None, 1)
    path = words[1] if len(words) == 2 else ""
    if "{path}" in template and not path:
        raise ValueError("the line %r cannot be removed by %r: it has nothing after its first "
                         "word" % (line, template))
    return template.replace("{line}", line).replace("{path}", path)


@dataclass(frozen=True)
class Change:
    """One line that changes the configuration, entered inside the blocks of ``path``.

    ``opens``: the line opens a block that the changes after it are entered
    in; ``undo``: the changes that take this one back, in order.
    """

    path: Path
    line: str
    opens: bool = False
    undo: Tuple["Change", ...] = field(default=(), compare=False)


def _added(node: Node, path: Path, spec: ConfigSpec, out: List[Change]) -> None:
    """A block or line that the running configuration lacks: its line, then its block."""
    out.append(Change(path, node.text, bool(node.children),
                      (Change(path, removal(node.text, spec)),)))
    for child in node.children.values():
        _added(child, path + (node.text,), spec, out)


def _additions(running: Node, candidate: Node, path: Path, spec: ConfigSpec,
               out: List[Change]) -> None:
    for text, node in candidate.children.items():
        have = running.children.get(text)
        if have is None:
            _added(node, path, spec, out)
        elif node.children:
            _additions(have, node, path + (text,), spec, out)


def _restore(node: Node, path: Path) -> List[Change]:
    """The changes that enter a removed block or line again, as it was."""
    out = [Change(path, node.text, bool(node.children))]
    for child in node.children.values():
        out += _restore(child, path + (node.text,))
    return out


def _removals(running: Node, candidate: Node, path: Path, spec: ConfigSpec,
              out: List[Change]) -> None:
    """The lines to remove, deepest first: inside the blocks that stay before the lines of
    this level, each level in reverse order (a neighbour's description before the neighbour;
    what refers to an object before the object)."""
    items = list(running.children.items())
    for text, node in reversed(items):
        kept = candidate.children.get(text)
        if kept is not None and node.children:
            _removals(node, kept, path + (text,), spec, out)
    for text, node in reversed(items):
        if text not in candidate.children:
            out.append(Change(path, removal(text, spec), undo=tuple(_restore(node, path))))


def merge_changes(running: Node, candidate: Node, spec: ConfigSpec) -> List[Change]:
    """What the running configuration lacks of the candidate, inside its blocks."""
    out: List[Change] = []
    _additions(running, candidate, (), spec, out)
    return out


def replace_changes(running: Node, candidate: Node, spec: ConfigSpec) -> List[Change]:
    """What makes the running configuration equal to the candidate: the removals, then the
    additions."""
    out: List[Change] = []
    _removals(running, candidate, (), spec, out)
    _additions(running, candidate, (), spec, out)
    return out


def full_changes(candidate: Node, spec: ConfigSpec) -> List[Change]:
    """Every line of the candidate, for a platform that empties its candidate first."""
    return merge_changes(Node(), candidate, spec)


def steps(changes: Iterable[Change], exit_line: str) -> List[Tuple[str, Optional[Change]]]:
    """The lines to send for ``changes``, each with the change it makes (None for the lines
    that enter and leave blocks). Ends where it began, at the top."""
    out: List[Tuple[str, Optional[Change]]] = []
    inside: Path = ()
    for change in changes:
        common = 0
        limit = min(len(inside), len(change.path))
        while common < limit and inside[common] == change.path[common]:
            common += 1
        out += [(exit_line, None)] * (len(inside) - common)
        out += [(header, None) for header in change.path[common:]]
        out.append((change.line, change))
        inside = change.path + ((change.line,) if change.opens else ())
    out += [(exit_line, None)] * len(inside)
    return out


def combined(running: Node, candidate: Node, replace: bool) -> Node:
    """The configuration after the candidate is applied: the running one with what it lacks
    (merge), or the candidate (replace). Lines that stay keep the running order; a new line
    follows the line it follows in the candidate."""
    out = Node(running.text or candidate.text)
    new_after: Dict[Optional[str], List[str]] = {}
    previous: Optional[str] = None
    for text in candidate.children:
        if text in running.children:
            previous = text
        else:
            new_after.setdefault(previous, []).append(text)
    order = list(new_after.get(None, []))
    for text in running.children:
        if not replace or text in candidate.children:
            order.append(text)
        order += new_after.get(text, [])
    for text in order:
        have, wanted = running.children.get(text), candidate.children.get(text)
        if have is not None and wanted is not None:
            out.children[text] = combined(have, wanted, replace)
        else:
            found = have if have is not None else wanted
            assert found is not None
            out.children[text] = found
    return out


def _shown(node: Node, other: Optional[Node], depth: int, out: List[str]) -> bool:
    """Adds to ``out`` the lines of ``node`` that ``other`` lacks (with their blocks) and the
    headers of the blocks where the two differ; whether they differ at all."""
    differs = other is None or any(text not in node.children for text in other.children)
    for text, child in node.children.items():
        peer = other.children.get(text) if other is not None else None
        start = len(out)
        out.append(" " * depth + child.text)
        if _shown(child, peer, depth + 1, out) or peer is None:
            differs = True
        else:
            del out[start:]
    return differs


def diff(running: Node, after: Node, fromfile: str = "running",
         tofile: str = "candidate") -> str:
    """A unified diff from ``running`` to ``after``: the changed lines inside their blocks,
    the blocks' header lines as context, nothing else; '' when the two are equal."""
    before_lines: List[str] = []
    after_lines: List[str] = []
    _shown(running, after, 0, before_lines)
    _shown(after, running, 0, after_lines)
    if before_lines == after_lines:
        return ""
    context = max(len(before_lines), len(after_lines))
    return "\n".join(difflib.unified_diff(before_lines, after_lines, fromfile, tofile,
                                          n=context, lineterm="")) + "\n"

