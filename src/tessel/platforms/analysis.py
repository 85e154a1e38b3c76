"""What the platform checker works out without running a pattern: graph components, the text
every match of a regular expression holds, and whether a failing match can backtrack for ever.

The regular expressions are read through the parser of Python's own ``re`` (its tree is the
same on 3.11 to 3.13), so the analysis sees exactly what ``re`` would run.

Catastrophic backtracking: a backtracking engine that fails to match tries every way the
pattern can match a prefix of the text. When some part of the pattern can run round a loop
and come back to the same place over the same text in two different ways, the ways multiply
with every turn: a text of a few dozen characters takes years. :func:`backtracking_risk`
builds the pattern's position automaton (one node per character the pattern reads, with an
edge for every way one may follow another) and looks for two different cycles through one
node that read the same text, which is exactly that multiplication: nested repetition
(``(a+)+``), a repeated group whose alternatives overlap (``(a|aa)+``), overlapping
repetitions side by side under a repetition (``(x\\w+\\d+y)+``). Repetitions that only cost
a power of the text's length (``.*.*``) are not reported.
"""
import importlib
import re
import warnings
from typing import Any, Callable, Dict, FrozenSet, Hashable, Iterable, List, Optional, Set, \
    Tuple, TypeVar

# The parser and its opcodes: private modules of `re`, with the same tree on every version
# this package supports.
_parser: Any = importlib.import_module("re._parser")
_c: Any = importlib.import_module("re._constants")
_compiler: Any = importlib.import_module("re._compiler")

Node = TypeVar("Node", bound=Hashable)


def components(roots: Iterable[Node], successors: Callable[[Node], Iterable[Node]]
               ) -> Dict[Node, int]:
    """The strongly connected component of every node reachable from ``roots``.

    Tarjan's algorithm with an explicit stack (no recursion, whatever the depth of the
    graph). Components are numbered from 0 in the order they are completed, which is a
    reverse topological order: a component reaches only components of lower numbers.
    """
    index: Dict[Node, int] = {}
    low: Dict[Node, int] = {}
    component: Dict[Node, int] = {}
    stack: List[Node] = []
    count = 0
    for root in roots:
        if root in index:
            continue
        index[root] = low[root] = len(index)
        stack.append(root)
        work = [(root, iter(successors(root)))]
        while work:
            node, pending = work[-1]
            for nxt in pending:
                if nxt not in index:
                    index[nxt] = low[nxt] = len(index)
                    stack.append(nxt)
                    work.append((nxt, iter(successors(nxt))))
                    break
                if nxt not in component:  # on the stack: in the component being built
                    low[node] = min(low[node], index[nxt])
            else:
                work.pop()
                if work:
                    parent = work[-1][0]
                    low[parent] = min(low[parent], low[node])
                if low[node] == index[node]:
                    while True:
                        member = stack.pop()
                        component[member] = count
                        if member == node:
                            break
                    count += 1
    return component


# -- parsing ------------------------------------------------------------------------------

def parse(pattern: str) -> Optional[Any]:
    """The parsed tree of a pattern, or None when ``re`` refuses it."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return _parser.parse(pattern)
    except (re.error, RecursionError, OverflowError, ValueError, TypeError):
        return None


def compile_parsed(tree: Any, pattern: str) -> "re.Pattern[str]":
    """The pattern compiled from its parsed tree, as ``re.compile(pattern)`` compiles it
    without parsing it twice (the tree is not changed)."""
    try:
        return _compiler.compile(tree)  # type: ignore[no-any-return]
    except (AttributeError, TypeError, IndexError, KeyError):
        return re.compile(pattern)


def _flags(tree: Any) -> int:
    state = getattr(tree, "state", None)
    return int(getattr(state, "flags", 0))


# Zero-width items: the text on both sides of them is adjacent in the subject.
_ZERO_WIDTH = frozenset({_c.AT, _c.ASSERT, _c.ASSERT_NOT})
_REPEATS = frozenset({_c.MAX_REPEAT, _c.MIN_REPEAT})


# -- the text every match holds -----------------------------------------------------------

def required_text(tree: Any) -> Optional[FrozenSet[str]]:
    """Texts of which every match of the parsed pattern holds at least one, or None when the
    parse tree proves no such set (a case-insensitive pattern, a pattern of classes only).

    The checker uses them to try a pattern only against lines that hold one of them.
    """
    if _flags(tree) & _c.SRE_FLAG_IGNORECASE:
        return None
    return _sequence_text(tree)


def _sequence_text(items: Any) -> Optional[FrozenSet[str]]:
    best: Optional[FrozenSet[str]] = None

    def consider(found: Optional[FrozenSet[str]]) -> None:
        nonlocal best
        if found and (best is None or _score(found) > _score(best)):
            best = found

    run: List[str] = []
    for op, av in items:
        if op == _c.LITERAL:
            run.append(chr(av))
            continue
        if op in _ZERO_WIDTH:
            continue
        consider(frozenset({"".join(run)}) if run else None)
        run = []
        if op == _c.SUBPATTERN:
            if not av[1] & _c.SRE_FLAG_IGNORECASE:
                consider(_sequence_text(av[3]))
        elif op in _REPEATS or op == getattr(_c, "POSSESSIVE_REPEAT", None):
            if av[0] >= 1:
                consider(_sequence_text(av[2]))
        elif op == getattr(_c, "ATOMIC_GROUP", None):
            consider(_sequence_text(av))
        elif op == _c.BRANCH:
            alternatives = [_sequence_text(alternative) for alternative in av[1]]
            if all(alternatives):
                consider(frozenset().union(*(a for a in alternatives if a)))
    consider(frozenset({"".join(run)}) if run else None)
    return best


def _score(texts: FrozenSet[str]) -> Tuple[int, int]:
    """The longer the shortest text, and the fewer texts, the fewer lines hold one."""
    return min(len(t) for t in texts), -len(texts)


class TextIndex:
    """Finds, for a line, the patterns that may match it: those whose required texts the line
    holds, and those without any. Patterns are numbered in the order they were added."""

    def __init__(self) -> None:
        self._by_length: Dict[int, Dict[str, List[int]]] = {}
        self._always: List[int] = []
        self._count = 0

    def add(self, texts: Optional[FrozenSet[str]]) -> int:
        number = self._count
        self._count += 1
        if not texts:
            self._always.append(number)
            return number
        for text in texts:
            self._by_length.setdefault(len(text), {}).setdefault(text, []).append(number)
        return number

    def candidates(self, line: str) -> List[int]:
        """The numbers of the patterns that may match the line, in ascending order."""
        found: Set[int] = set(self._always)
        for length, texts in self._by_length.items():
            for start in range(len(line) - length + 1):
                numbers = texts.get(line[start:start + length])
                if numbers:
                    found.update(numbers)
        return sorted(found)


# -- catastrophic backtracking ------------------------------------------------------------

# Repetitions up to this count, and exact counts, are judged as the copies they stand for (up
# to this many parts in all), longer ones as loops.
_COUNTED = 8
_COPIES = 256
_OPAQUE = frozenset(op for op in (getattr(_c, "POSSESSIVE_REPEAT", None),
                                  getattr(_c, "ATOMIC_GROUP", None)) if op is not None)
_LEAVES = frozenset({_c.LITERAL, _c.NOT_LITERAL, _c.ANY, _c.IN, _c.CATEGORY})
_CATEGORIES = {"CATEGORY_DIGIT": r"\d", "CATEGORY_NOT_DIGIT": r"\D", "CATEGORY_SPACE": r"\s",
               "CATEGORY_NOT_SPACE": r"\S", "CATEGORY_WORD": r"\w", "CATEGORY_NOT_WORD": r"\W"}
# Characters beyond ASCII that classes tell apart: spaces, digits, letters of other scripts,
# case foldings, line separators, characters outside the basic plane.
_BEYOND_ASCII = "\x85\xa0\xb5\xe9\xc9\xdf\u0130\u0131\u017f\u0663\u03a9\u03c9\u212a\u2028" \
                "\u3000\u4e2d\U0001f600"


def backtracking_risk(tree: Any) -> bool:
    """Whether a failing match of the parsed pattern can take exponentially many ways.

    Each part of the pattern that cannot be backtracked into once matched (a possessive
    repetition, an atomic group) and each lookaround is judged on its own.
    """
    if not _may_loop_over_parts(tree):
        return False
    return _Automaton(_flags(tree)).risky(tree)


def _may_loop_over_parts(items: Any) -> bool:
    """Whether a repetition runs over more than a single character class somewhere: without
    one, no two cycles can share a node (the cheap test that spares most prompts the rest)."""
    for op, av in items:
        if op in _REPEATS or op == getattr(_c, "POSSESSIVE_REPEAT", None):
            body = av[2]
            if av[1] > 1 and not (len(body) == 1 and body[0][0] in _LEAVES):
                return True
            if _may_loop_over_parts(body):
                return True
        elif op == _c.SUBPATTERN:
            if _may_loop_over_parts(av[3]):
                return True
        elif op == _c.BRANCH:
            if any(_may_loop_over_parts(alternative) for alternative in av[1]):
                return True
        elif op in (_c.ASSERT, _c.ASSERT_NOT):
            if _may_loop_over_parts(av[1]):
                return True
        elif op == getattr(_c, "ATOMIC_GROUP", None):
            if _may_loop_over_parts(av):
                return True
        elif op == _c.GROUPREF_EXISTS:
            if any(_may_loop_over_parts(part) for part in av[1:] if part is not None):
                return True
    return False


def _reads(body: Any) -> bool:
    """Whether every match of a part reads at least one character."""
    try:
        return int(body.getwidth()[0]) > 0
    except (AttributeError, TypeError, ValueError, OverflowError):
        return False


_Part = Tuple[FrozenSet[int], FrozenSet[int], bool]  # first positions, last positions, nullable


class _Automaton:
    """The position automaton of a pattern: a node per character read, an edge counted once
    for each way of the pattern that lets one position follow another."""

    def __init__(self, flags: int) -> None:
        self.flags = flags
        self.leaves: List[Tuple[Any, Any, bool]] = []  # (op, argument, ignoring case)
        self.follow: List[Dict[int, int]] = []
        self.separate: List[Any] = []  # parts judged on their own
        self.empty_twice = False  # a loop holds a part that matches nothing in two ways
        self._masks: Dict[int, int] = {}
        self._universe: List[str] = []

    # building

    def risky(self, tree: Any) -> bool:
        self._sequence(tree, bool(self.flags & _c.SRE_FLAG_IGNORECASE), in_loop=False)
        if self.empty_twice or self._cycles_multiply():
            return True
        return any(_Automaton(self.flags).risky(part) for part in self.separate
                   if _may_loop_over_parts(part))

    def _leaf(self, op: Any, av: Any, ignore_case: bool) -> _Part:
        position = len(self.leaves)
        self.leaves.append((op, av, ignore_case))
        self.follow.append({})
        single = frozenset({position})
        return single, single, False

    def _link(self, sources: Iterable[int], targets: FrozenSet[int]) -> None:
        for source in sources:
            edges = self.follow[source]
            for target in targets:
                edges[target] = edges.get(target, 0) + 1

    def _sequence(self, items: Any, ignore_case: bool, in_loop: bool) -> _Part:
        first: Set[int] = set()
        last: Set[int] = set()
        nullable = True
        for op, av in items:
            part_first, part_last, part_nullable = self._item(op, av, ignore_case, in_loop)
            self._link(last, part_first)
            if nullable:
                first |= part_first
            last = set(part_last) | (last if part_nullable else set())
            nullable = nullable and part_nullable
        return frozenset(first), frozenset(last), nullable

    def _counted(self, low: int, high: int, body: Any, ignore_case: bool, in_loop: bool
                 ) -> _Part:
        """A repetition of a few times as that many copies, each after the one before: the
        copies past ``low`` are optional, but only one after another, as a count is."""
        first: FrozenSet[int] = frozenset()
        ends: Set[int] = set()
        previous: FrozenSet[int] = frozenset()
        for copy in range(high):
            copy_first, copy_last, _ = self._sequence(body, ignore_case, in_loop)
            if copy == 0:
                first = copy_first
            self._link(previous, copy_first)
            previous = copy_last
            if copy + 1 >= low:
                ends |= copy_last
        return first, frozenset(ends), low == 0

    def _item(self, op: Any, av: Any, ignore_case: bool, in_loop: bool) -> _Part:
        if op in _LEAVES:
            return self._leaf(op, av, ignore_case)
        if op == _c.SUBPATTERN:
            if av[1] & _c.SRE_FLAG_IGNORECASE:
                ignore_case = True
            if av[2] & _c.SRE_FLAG_IGNORECASE:
                ignore_case = False
            return self._sequence(av[3], ignore_case, in_loop)
        if op in _REPEATS:
            low, high, body = av
            if high == 0:
                return frozenset(), frozenset(), True
            if 1 < high and (high <= _COUNTED or low == high) and len(body) * high <= _COPIES \
                    and _reads(body):
                return self._counted(low, high, body, ignore_case, in_loop)
            loops = high > 1
            first, last, nullable = self._sequence(body, ignore_case, in_loop or loops)
            if loops:
                self._link(last, first)
            return first, last, nullable or low == 0
        if op == _c.BRANCH:
            first_all: Set[int] = set()
            last_all: Set[int] = set()
            empty_ways = 0
            for alternative in av[1]:
                first, last, nullable = self._sequence(alternative, ignore_case, in_loop)
                first_all |= first
                last_all |= last
                empty_ways += nullable
            if in_loop and empty_ways > 1:
                self.empty_twice = True
            return frozenset(first_all), frozenset(last_all), empty_ways > 0
        if op == _c.GROUPREF_EXISTS:
            yes = self._sequence(av[1], ignore_case, in_loop)
            no = self._sequence(av[2], ignore_case, in_loop) if av[2] is not None \
                else (frozenset(), frozenset(), True)
            if in_loop and yes[2] and no[2]:
                self.empty_twice = True
            return yes[0] | no[0], yes[1] | no[1], yes[2] or no[2]
        if op in _OPAQUE:
            # Matched once, never backtracked into: one node reading whatever it may read.
            body = av[2] if op != getattr(_c, "ATOMIC_GROUP", None) else av
            self.separate.append(body)
            reads = _Automaton(self.flags)
            _, _, nullable = reads._sequence(body, ignore_case, in_loop=False)
            if not reads.leaves:
                return frozenset(), frozenset(), True
            first, last, _ = self._leaf("opaque", reads, ignore_case)
            low = av[0] if op != getattr(_c, "ATOMIC_GROUP", None) else 1
            return first, last, nullable or low == 0
        if op in (_c.ASSERT, _c.ASSERT_NOT):
            self.separate.append(av[1])
            return frozenset(), frozenset(), True
        if op == _c.AT:
            return frozenset(), frozenset(), True
        # A back reference, or anything newer: one node that may read any character.
        return self._leaf("anything", None, True)

    # judging

    def _cycles_multiply(self) -> bool:
        """Two different cycles through one node over the same text (the automaton's paths
        then grow exponentially with the text)."""
        nodes = range(len(self.leaves))
        component = components(nodes, lambda p: self.follow[p])
        sizes: Dict[int, int] = {}
        for p in nodes:
            sizes[component[p]] = sizes.get(component[p], 0) + 1
        for p in nodes:
            for q, ways in self.follow[p].items():
                # Two edges of different ways between two nodes of one cycle.
                if ways > 1 and component[p] == component[q] and self._mask(q):
                    return True
        looped = [p for p in nodes if sizes[component[p]] > 1]
        if not looped:
            return False

        def successors(pair: Tuple[int, int]) -> List[Tuple[int, int]]:
            p, q = pair
            inside = component[p]
            return [(a, b) for a in self.follow[p] if component[a] == inside
                    for b in self.follow[q] if component[b] == inside
                    and self._mask(a) & self._mask(b)]

        pairs = components([(p, p) for p in looped], successors)
        diagonal = {number for (p, q), number in pairs.items() if p == q}
        return any(p != q and number in diagonal for (p, q), number in pairs.items())

    def _mask(self, position: int) -> int:
        """The characters of the universe that the position reads, as bits."""
        mask = self._masks.get(position)
        if mask is None:
            if not self._universe:
                self._universe = self._characters()
            reads = self._reader(*self.leaves[position])
            mask = 0
            for bit, char in enumerate(self._universe):
                if reads(char):
                    mask |= 1 << bit
            self._masks[position] = mask
        return mask

    def _characters(self) -> List[str]:
        """ASCII, some characters beyond it, and every character a class names or borders."""
        codes: Set[int] = set(range(128)) | {ord(char) for char in _BEYOND_ASCII}

        def add(code: int) -> None:
            codes.update(c for c in (code - 1, code, code + 1) if 0 <= c <= 0x10FFFF)

        def collect(op: Any, av: Any) -> None:
            if op in (_c.LITERAL, _c.NOT_LITERAL):
                add(av)
            elif op == _c.RANGE:
                add(av[0])
                add(av[1])
            elif op == _c.IN:
                for item in av:
                    collect(*item)
            elif op == "opaque":
                for leaf in av.leaves:
                    collect(leaf[0], leaf[1])

        for op, av, _ in self.leaves:
            collect(op, av)
        return [chr(code) for code in sorted(codes)]

    def _reader(self, op: Any, av: Any, ignore_case: bool) -> Callable[[str], bool]:
        if op == "opaque":
            readers = [av._reader(*leaf) for leaf in av.leaves]
            return lambda char: any(read(char) for read in readers)
        variants: Callable[[str], Tuple[str, ...]] = \
            (lambda char: (char, char.lower(), char.upper())) if ignore_case \
            else (lambda char: (char,))
        if op == _c.LITERAL:
            wanted = variants(chr(av))
            return lambda char: any(v in wanted for v in variants(char))
        if op == _c.NOT_LITERAL:
            unwanted = variants(chr(av))
            return lambda char: not any(v in unwanted for v in variants(char))
        if op == _c.ANY:
            dotall = bool(self.flags & _c.SRE_FLAG_DOTALL)
            return lambda char: dotall or char != "\n"
        if op == _c.IN:
            tests = [self._item_reader(item_op, item_av) for item_op, item_av in av
                     if item_op != _c.NEGATE]
            negate = bool(av) and av[0][0] == _c.NEGATE
            return lambda char: any(test(v) for test in tests for v in variants(char)) != negate
        if op == _c.CATEGORY:
            test = self._item_reader(op, av)
            return lambda char: test(char)
        return lambda char: True

    def _item_reader(self, op: Any, av: Any) -> Callable[[str], bool]:
        if op == _c.LITERAL:
            return lambda char: char == chr(av)
        if op == _c.RANGE:
            return lambda char: av[0] <= ord(char) <= av[1]
        if op == _c.CATEGORY and str(av) in _CATEGORIES:
            compiled = re.compile(_CATEGORIES[str(av)],
                                  re.ASCII if self.flags & _c.SRE_FLAG_ASCII else 0)
            return lambda char: compiled.match(char) is not None
        return lambda char: True
