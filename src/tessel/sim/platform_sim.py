"""A simulated device generated from a platform definition, for tests and for trying a platform.

Run it as ``tessel sim PLATFORM [--hostname H] [--secret KEY=VALUE]...
[--start STATE] [--responses FILE] [--delay S]``. It reads lines on standard
input and answers on standard output the way the definition says:

* it shows the current state's ``sample`` prompt, ``%N`` replaced by the
  hostname;
* a path's command moves it along the path: it asks each question of the
  path's dialog that has a ``sample``, and checks the answer: a ``{field}``
  answer against ``--secret field=VALUE`` (any answer when none is given; the
  question is not asked when the value is empty), a fixed answer against
  the text itself. A wrong answer prints the question's ``refused`` line and
  leaves the state unchanged;
* a command of the responses file prints its output (a long output through
  the platform's pager, when it has one);
* a sub-mode's command (the platform's ``submodes``) opens that sub-mode:
  its prompt is shown, its ``exit`` lines go back up one level, the paths of
  its state (``end``) leave it at any depth; a line that the sub-mode does
  not know is tried in the modes above it, which it then leaves;
* anything else prints the platform's ``error_sample`` (``{command}``: the
  first word typed, ``{line}``: the whole line) and changes nothing;
* where the platform has a ``config`` section, the device keeps a
  configuration (:mod:`tessel.sim.simconfig`): a line of a configuration
  state that a response answers without output is kept in the block it was
  entered in, the show command prints it, and the section's commit, confirm,
  abort, rollback, compare and replace commands act on it.

A responses file maps states, sub-modes (or ``any``, for every state) to
commands and their outputs; a family state's commands hold in each of its
sub-modes::

    user:
      whoami: admin
      exit: {close: true}          # ends the session
    any:
      'echo {text}': ''            # a {field} matches any text

Output texts and prompts have ``%N`` replaced by the hostname. The class
:class:`PlatformSimulator` is the simulator; subclasses add behaviour that a
definition cannot express (see ``tessel.sim.router``).
"""
import contextlib
import os
import re
import sys
import time
from dataclasses import dataclass, field, replace
from typing import (Any, Callable, Dict, Iterable, Iterator, List, Mapping, Optional, Sequence, Set,
                    TextIO, Tuple)

import yaml

from tessel.core.errors import PlatformError
from tessel.platforms.base import ConfigSpec, command_text
from tessel.platforms.definition import (SAFE_LOADER, ConfigDef, Definition, PathDef,
                                         StatementDef, SubmodeDef, template_fields)
from tessel.sim.simconfig import (DeviceConfig, Path, command_regex, comment_regex, initial_tree,
                                  layout_of)

#: Lines of output shown before the pager prompt, when the platform has a pager.
PAGE_LENGTH = 24
#: What a refused answer prints when the question names no ``refused`` line.
REFUSED = "% Access denied"
#: What an unknown command prints when the platform names no ``error_sample``.
UNKNOWN = "% Unknown command: {command}"
#: The responses of every state.
ANY = "any"


class EndOfSession(Exception):
    """The session ends: the input ended or a command closed it."""


class Console:
    """The terminal a simulator talks to: what it shows, and the lines and keys typed.

    :class:`StreamConsole` is standard input and output (a pty or pipes);
    ``tessel.sim.sshserver`` gives each ssh session a console of its own, so
    one simulator serves both. ``readline`` and ``read_key`` raise
    :class:`EndOfSession` when the input ends, and ``KeyboardInterrupt`` for
    a Ctrl-C, as a terminal does.
    """

    def write(self, text: str) -> None:
        raise NotImplementedError

    def readline(self) -> str:
        """The next line typed, without its line end."""
        raise NotImplementedError

    def read_key(self) -> str:
        """The next key typed (inside :meth:`single_keys`)."""
        raise NotImplementedError

    @contextlib.contextmanager
    def unechoed(self) -> Iterator[bool]:
        """Input is not echoed inside; yields whether the simulator must show the line end."""
        yield False

    @contextlib.contextmanager
    def single_keys(self) -> Iterator[None]:
        """Input is read a key at a time, unechoed, inside."""
        yield

    def pause(self, seconds: float) -> None:
        """Waits, as a slow device does before it answers."""
        time.sleep(seconds)


class StreamConsole(Console):
    """Standard input and output; a terminal's echo is switched off for secrets and keys."""

    def __init__(self, stdin: TextIO, stdout: TextIO) -> None:
        self.stdin = stdin
        self.stdout = stdout

    def write(self, text: str) -> None:
        self.stdout.write(text)
        self.stdout.flush()

    def readline(self) -> str:
        line = self.stdin.readline()
        if not line:
            raise EndOfSession()
        return line.rstrip("\r\n")

    def read_key(self) -> str:
        fd = self._terminal()
        key = os.read(fd, 1).decode("latin-1") if fd >= 0 else self.stdin.readline()[:1]
        if not key:
            raise EndOfSession()
        return key

    def _terminal(self) -> int:
        """The descriptor of standard input when it is a terminal, else -1."""
        try:
            fd = self.stdin.fileno()
        except (AttributeError, OSError, ValueError):
            return -1
        return fd if os.isatty(fd) else -1

    @contextlib.contextmanager
    def _modes(self, off: int, when: int, keys: bool = False) -> Iterator[bool]:
        """Local modes ``off`` switched off inside, on a terminal; yields whether it is one."""
        fd = self._terminal()
        if fd < 0:
            yield False
            return
        import termios

        old = termios.tcgetattr(fd)
        new = termios.tcgetattr(fd)
        new[3] &= ~off
        if keys:
            new[6][termios.VMIN] = 1
            new[6][termios.VTIME] = 0
        termios.tcsetattr(fd, when, new)
        try:
            yield True
        finally:
            termios.tcsetattr(fd, when, old)

    @contextlib.contextmanager
    def unechoed(self) -> Iterator[bool]:
        import termios

        with self._modes(termios.ECHO, termios.TCSADRAIN) as terminal:
            yield terminal

    @contextlib.contextmanager
    def single_keys(self) -> Iterator[None]:
        import termios

        with self._modes(termios.ECHO | termios.ICANON, termios.TCSANOW, keys=True):
            yield


@dataclass
class Response:
    """What a command prints, and whether the session ends after it."""

    output: str = ""
    close: bool = False


Responses = Dict[str, Dict[str, Response]]


def read_responses(path: str, definition: Definition) -> Responses:
    """Reads a responses file: per state (or ``any``), command -> output or {output, close}."""
    try:
        with open(path, encoding="utf-8") as handle:
            data = yaml.load(handle, Loader=SAFE_LOADER)
    except OSError as err:
        raise PlatformError("cannot read the responses file: %s" % err) from None
    except yaml.YAMLError as err:
        raise PlatformError("%s: not valid YAML: %s"
                            % (path, " ".join(str(err).split()))) from None
    if data is None:
        return {}
    if not isinstance(data, dict):
        raise PlatformError("%s: expected a mapping of states to commands" % path)
    states = [s.name for s in definition.states] + [m.name for m in definition.submodes]
    result: Responses = {}
    for state, commands in data.items():
        if state != ANY and state not in states:
            raise PlatformError("%s: %s: unknown state or sub-mode; they are: %s, or any"
                                % (path, state, ", ".join(states)))
        if not isinstance(commands, dict):
            raise PlatformError("%s: %s: expected a mapping of commands to outputs"
                                % (path, state))
        entries: Dict[str, Response] = {}
        for command, answer in commands.items():
            key = "%s.%s" % (state, command)
            if answer is None or isinstance(answer, (str, int, float)):
                entries[str(command)] = Response("" if answer is None else str(answer))
            elif isinstance(answer, dict) and set(answer) <= {"output", "close"}:
                entries[str(command)] = Response(str(answer.get("output") or ""),
                                                 bool(answer.get("close")))
            else:
                raise PlatformError("%s: %s: expected an output text or {output: TEXT, "
                                    "close: true}" % (path, key))
        result[str(state)] = entries
    return result


class CommandPattern:
    """A command text whose words a typed line must give; a ``{field}`` takes any words.

    ``rest``: further words may follow (the arguments of a command).
    """

    def __init__(self, text: str, rest: bool = False) -> None:
        self.text = text
        self.rest = rest
        self.words: List[Optional[str]] = [
            None if template_fields(word) and word.startswith("{") and word.endswith("}")
            else word for word in text.split()]

    def literal_words(self) -> int:
        """How many words the command has before its first field: where the arguments begin."""
        count = 0
        for word in self.words:
            if word is None:
                break
            count += 1
        return count

    def covers(self, other: "CommandPattern") -> bool:
        """Whether every line that ``other`` takes starts with this command and its arguments."""
        own = self.words[:self.literal_words()]
        return self.rest and own == other.words[:len(own)] and other.literal_words() >= len(own)

    def match(self, typed: Sequence[str], abbreviate: bool) -> Optional[bool]:
        """None: no match; False: a match through abbreviations; True: an exact match."""
        exact = True
        index = 0
        for position, word in enumerate(self.words):
            if word is None:
                if index >= len(typed):
                    return None
                # The last field takes the rest of the line, others one word.
                index = len(typed) if position == len(self.words) - 1 else index + 1
                continue
            if index >= len(typed):
                return None
            given = typed[index]
            if given != word:
                if not (abbreviate and word.lower().startswith(given.lower())):
                    return None
                exact = False
            index += 1
        return exact if index == len(typed) or self.rest else None


#: A command a simulator adds in code; it gets the words typed after the command's own.
Handler = Callable[[List[str]], None]


@dataclass
class Lookup:
    """What a typed line is: a path, a response, a handler, a sub-mode to open, an
    ambiguity or nothing known."""

    path: Optional[PathDef] = None
    response: Optional[Response] = None
    handler: Optional[Handler] = None
    submode: Optional[SubmodeDef] = None
    ambiguous: bool = False
    #: The words typed after the command's own words.
    args: List[str] = field(default_factory=list)
    #: Where a response was found: a state, a sub-mode or ``any``.
    scope: str = ""
    #: The command matched, and whether exactly (else through abbreviations).
    pattern: Optional[CommandPattern] = None
    exact: bool = True

    @property
    def known(self) -> bool:
        return self.ambiguous or any(x is not None for x in (self.path, self.response,
                                                             self.handler, self.submode))

    def text(self, line: str) -> str:
        """The line as the device keeps it: abbreviated words written out in full."""
        if self.exact or self.pattern is None:
            return line.strip()
        return " ".join([word or "" for word in self.pattern.words[
            :self.pattern.literal_words()]] + self.args)


@dataclass
class Frame:
    """An open sub-mode and the line that opened it."""

    mode: SubmodeDef
    line: str


class PlatformSimulator:
    """A device console that behaves as a platform definition says."""

    def __init__(self, definition: Definition, hostname: str = "R1",
                 secrets: Optional[Mapping[str, str]] = None, start: Optional[str] = None,
                 responses: Optional[Responses] = None, delay: float = 0.0,
                 page_length: int = PAGE_LENGTH, abbreviate: bool = False,
                 stdin: Optional[TextIO] = None, stdout: Optional[TextIO] = None,
                 console: Optional[Console] = None, timer_scale: float = 60.0) -> None:
        self.definition = definition
        self.hostname = hostname
        self.secrets = dict(secrets or {})
        self.responses = responses or {}
        self.delay = delay
        self.page_length = page_length
        self.abbreviate = abbreviate
        self.stdin = stdin if stdin is not None else sys.stdin
        self.stdout = stdout if stdout is not None else sys.stdout
        #: Where the simulator reads and writes: ``stdin`` and ``stdout`` unless given.
        self.console = console if console is not None else StreamConsole(self.stdin, self.stdout)
        states = [s.name for s in definition.states]
        if start is not None and start not in states:
            raise PlatformError("unknown start state %r; the states are: %s"
                                % (start, ", ".join(states)))
        self.initial_state = start or definition.login_state
        self.state = self.initial_state
        #: The open sub-modes, outermost first; their state is ``state``.
        self.frames: List[Frame] = []
        missing = [s.name for s in definition.states if s.sample is None]
        if missing:
            raise PlatformError("the simulator shows each state's sample prompt, and these "
                                "states have none: %s" % ", ".join(missing))
        if not timer_scale > 0:
            raise PlatformError("the timer scale is a positive number of seconds per minute, "
                                "not %r" % (timer_scale,))
        #: How long a minute of a commit's confirm timer lasts, in seconds.
        self.timer_scale = timer_scale
        #: The blocks that paths into configuration states opened: (state, header line).
        self.blocks: List[Tuple[str, str]] = []
        self.config: Optional[DeviceConfig] = None
        self.config_states: Set[str] = set()
        self.block_states: Set[str] = set()
        if definition.config is not None and definition.entry_state is not None:
            self.setup_config(definition.config, definition.entry_state)

    # -- console input and output -------------------------------------------------

    def write(self, text: str) -> None:
        self.console.write(text)

    def readline(self) -> str:
        return self.console.readline()

    def read_secret(self, question: str) -> str:
        """Shows ``question`` and reads a line without echo when the console is a terminal."""
        with self.console.unechoed() as line_end:
            try:
                self.write(question)
                return self.readline()
            finally:
                if line_end:
                    self.write("\n")

    def read_key(self, prompt: str) -> str:
        """Shows ``prompt`` and reads one key, unechoed, when the console is a terminal."""
        with self.console.single_keys():
            self.write(prompt)
            return self.console.read_key()

    def text(self, template: str) -> str:
        """A text of the definition as the device shows it: ``%N`` is the hostname."""
        return template.replace("%N", self.hostname)

    def prompt(self) -> str:
        if self.frames:
            return self.text(self.frames[-1].mode.sample)
        state = self.definition.state(self.state)
        return self.text(state.sample or "") if state else ""

    @property
    def submode(self) -> Optional[SubmodeDef]:
        """The innermost open sub-mode, or None."""
        return self.frames[-1].mode if self.frames else None

    def enter(self, state: str) -> None:
        """Moves to a state; the open sub-modes are left, and the blocks below it."""
        self.state = state
        self.frames.clear()
        opened = [name for name, _ in self.blocks]
        if state in opened:
            del self.blocks[opened.index(state) + 1:]
        elif state not in self.block_states:
            self.blocks.clear()

    def open_submode(self, mode: SubmodeDef, line: str) -> None:
        self.frames.append(Frame(mode, line))
        self.state = mode.state

    def close_submode(self) -> None:
        """Goes up one level: to the parent sub-mode, or to the state the first one was
        opened from."""
        frame = self.frames.pop()
        if not self.frames:
            self.state = frame.mode.parent

    # -- session ---------------------------------------------------------------------

    def boot(self) -> None:
        """What the console shows before its first prompt."""
        self.enter(self.initial_state)
        self.write("\n")

    def resume(self) -> None:
        """What the console shows when a session finds the device where the last one left it."""
        self.write("\n")

    def run(self, resume: bool = False) -> int:
        """Runs the console until the input ends or a command closes the session.

        ``resume``: the device stays where its last session left it, instead of booting.
        """
        try:
            if resume:
                self.resume()
            else:
                self.boot()
            while True:
                try:
                    self.write(self.prompt())
                    line = self.readline()
                    if self.delay and line.strip():
                        self.console.pause(self.delay)
                    self.execute(line)
                except KeyboardInterrupt:
                    self.write("\n")
        except EndOfSession:
            return 0

    def execute(self, line: str) -> None:
        """Answers one line typed at the prompt."""
        words = line.split()
        if not words:
            return
        if self.config is not None:
            self.config.expire()
            if self.config_command(words, line):
                return
        found = self.lookup_upwards(words)
        if found.ambiguous:
            self.error(line, ambiguous=True)
            return
        if found.handler is not None:
            found.handler(found.args)
            return
        if found.response is not None and not found.exact and self.config is not None and \
                self.config_command(found.text(line).split(), line):
            return  # an abbreviated commit or rollback: done, not only answered
        if found.response is not None:
            self.show(found.response.output)
            if found.response.close:
                raise EndOfSession()
        if found.submode is not None:
            if self.config is not None:
                self.config.open(self.config_path(), found.text(line))
            self.open_submode(found.submode, found.text(line))
            return
        if found.path is not None:
            before = self.state
            self.travel(found.path, found.args)
            if self.config is not None and self.state != before and \
                    self.state in self.block_states and before in self.config_states and \
                    self.state not in [name for name, _ in self.blocks]:
                self.open_block(self.state, self.block_header(found, line))
        elif found.response is None:
            self.error(line)
        elif self.config is not None and not found.response.output and found.scope != ANY \
                and self.state in self.config_states:
            self.store(found.text(line))

    def handlers(self) -> List[Tuple[CommandPattern, Handler]]:
        """Commands added in code for the current state; they come before the definition's."""
        return []

    def commands(self) -> List[Tuple[CommandPattern, Lookup]]:
        """What can be typed at the current level: handlers (the subclass's, then those of
        the configuration), paths, sub-mode lines, responses, connect commands."""
        found: List[Tuple[CommandPattern, Lookup]] = [
            (pattern, Lookup(handler=handler))
            for pattern, handler in self.handlers() + self.config_handlers()]
        return found + [(pattern, entry) for pattern, entry in self.defined()
                        if not any(handler.covers(pattern) for handler, _ in found)]

    def defined(self) -> List[Tuple[CommandPattern, Lookup]]:
        """What the definition and the responses let be typed at the current level."""
        known: Dict[str, Lookup] = {}
        for path in self.definition.paths:
            if path.source == self.state and path.commands:
                known[path.commands[0]] = Lookup(path=path)
        level = self.submode.name if self.submode else self.state
        if self.submode is not None:
            for command in self.submode.exits:
                known.setdefault(command, Lookup(handler=lambda args: self.close_submode()))
        for mode in self.definition.submodes:
            if mode.parent == level:
                known.setdefault(mode.command, Lookup(submode=mode))
        for scope in dict.fromkeys((level, self.state, ANY)):
            for command, response in self.responses.get(scope, {}).items():
                entry = known.setdefault(command, Lookup())
                if entry.response is None:
                    entry.response = response
                    entry.scope = scope
        for connect in self.definition.connect:
            if self.state in connect.states:
                entry = known.setdefault(connect.command, Lookup())
                if entry.path is None and entry.response is None:
                    entry.response = Response()
        return [(CommandPattern(text), entry) for text, entry in known.items()]

    def lookup(self, words: List[str],
               table: Optional[List[Tuple[CommandPattern, Lookup]]] = None) -> Lookup:
        """The one command that the typed words give (exactly, or abbreviated), among
        ``table`` (default: every command of the current level)."""
        exact: List[Lookup] = []
        loose: List[Lookup] = []
        for pattern, entry in self.commands() if table is None else table:
            matched = pattern.match(words, self.abbreviate)
            if matched is not None:
                chosen = replace(entry, args=list(words[pattern.literal_words():]),
                                 pattern=pattern, exact=bool(matched))
                (exact if matched else loose).append(chosen)
        if exact:
            return exact[0]
        if len(loose) == 1:
            return loose[0]
        return Lookup(ambiguous=bool(loose))

    def lookup_upwards(self, words: List[str]) -> Lookup:
        """The command at the current level, else at the first level above that knows it
        (the sub-modes below that level are left then). Nothing changes when no level has
        the command, or a level above finds it ambiguous."""
        found = self.lookup(words)
        if found.known or not self.frames:
            return found
        state, frames = self.state, list(self.frames)
        while self.frames:
            self.close_submode()
            found = self.lookup(words)
            if found.known:
                break
        if not found.known or found.ambiguous:
            self.state, self.frames = state, frames
        return found

    def show(self, output: str) -> None:
        """Prints a command's output, with ``%N`` as the hostname. The line end that ends the
        text ends its last line; blank lines before it are printed."""
        if output:
            text = self.text(output)
            self.write_lines((text[:-1] if text.endswith("\n") else text).split("\n"))

    def write_lines(self, lines: Iterable[str]) -> None:
        """Writes output lines, a page at a time when the platform has a pager and paging is
        on; 'q' at the pager prompt stops the output."""
        paged = self.definition.pager is not None and self.page_length > 0
        pending: List[str] = []
        shown = 0
        for line in lines:
            if paged and shown == self.page_length:
                self.write("".join(pending))
                pending = []
                shown = 0
                if not self.next_page():
                    return
            pending.append(line + "\n")
            shown += 1
            if len(pending) == 200:
                self.write("".join(pending))
                pending = []
        self.write("".join(pending))

    def pager_prompt(self) -> str:
        pager = self.definition.pager
        if pager is None:
            return ""
        return pager.sample if pager.sample is not None else pager.expect

    def next_page(self) -> bool:
        """Shows the pager prompt and waits for a key: False when it is 'q'."""
        prompt = self.pager_prompt()
        key = self.read_key(prompt)
        self.write("\r" + " " * len(prompt) + "\r")
        return key not in ("q", "Q")

    def error(self, line: str, ambiguous: bool = False) -> None:
        """The line for a command the device does not know."""
        words = line.split()
        template = self.definition.error_sample or UNKNOWN
        self.write(self.text(template).replace("{command}", words[0] if words else "")
                   .replace("{line}", " ".join(words)) + "\n")

    # -- configuration -------------------------------------------------------------------

    def setup_config(self, section: ConfigDef, entry: str) -> None:
        """Keeps a configuration as the platform's ``config`` section says (see
        :mod:`tessel.sim.simconfig`): the configuration states are ``entry`` (the state
        configuration lines are entered in), the states reached only through it (blocks,
        opened by the path's line) and the families of sub-modes."""
        definition = self.definition
        self.config_section = section
        given: Dict[str, Any] = {key: command.command for key, command in
                                 section.commands.items()}
        spec = ConfigSpec(**section.settings(), **given)
        self.entry_state = entry
        self.show_state = spec.state or definition.login_state
        self.config_states, self.block_states = configuration_states(definition, entry)
        show = command_text(spec.show)
        #: Where the responses print a configuration: the show command answers there too.
        self.show_scopes = [scope for scope, entries in self.responses.items() if show in entries]
        scopes = [self.show_state, ANY] + self.show_scopes
        answer = next((self.responses[scope][show] for scope in scopes
                       if show in self.responses.get(scope, {})), None)
        sample = self.text(answer.output) if answer is not None else None
        exits = {spec.exit, *(line for mode in definition.submodes for line in mode.exits)}
        self.config = DeviceConfig(spec, layout_of(spec, sample, sorted(exits)),
                                   initial_tree(spec, sample), self.closer_of)
        self.do_show = any("do " + show in entries for entries in self.responses.values())
        self.failures = [re.compile(pattern, re.MULTILINE) for pattern in definition.failure]
        comment = comment_regex(spec.comment)
        actions: List[Tuple[str, Callable[["re.Match[str]", List[str]], None], str]] = [
            ("commit_confirm", self.cfg_commit, comment), ("commit", self.cfg_commit, comment),
            ("confirm", self.cfg_commit, comment), ("abort", self.cfg_abort, ""),
            ("rollback", self.cfg_rollback, ""), ("rollback_to", self.cfg_rollback, ""),
            ("diff", self.cfg_diff, ""), ("replace", self.cfg_replace, "")]
        #: The commands of the section, as the whole line typed at the top of ``entry``.
        self.config_actions = [
            (command_regex(section.commands[key].command, words), action, key)
            for key, action, words in actions if key in section.commands]

    def config_path(self) -> Path:
        """The header lines of the blocks the device is in, outermost first."""
        return tuple(line for _, line in self.blocks) + tuple(f.line for f in self.frames)

    def closer_of(self, path: Path) -> str:
        """The line that ends the block of ``path``: the first exit line of the sub-mode its
        header opens, else the platform's exit line."""
        assert self.config is not None
        exit_line = self.config.spec.exit
        level, closer = self.entry_state, exit_line
        for header in path:
            words = header.split()
            mode = next((m for m in self.definition.submodes if m.parent == level and
                         CommandPattern(m.command).match(words, False) is not None), None)
            move = next((p for p in self.definition.paths if p.source == level and p.commands
                         and p.target in self.block_states and
                         CommandPattern(p.commands[0]).match(words, False) is not None), None)
            if mode is not None:
                level, closer = mode.name, (mode.exits or [exit_line])[0]
            elif move is not None:
                level, closer = move.target, exit_line
            else:
                closer = exit_line
        return closer

    def open_block(self, state: str, header: str) -> None:
        """A path's line took the device into the block state ``state``: ``header`` opens
        the block."""
        assert self.config is not None
        self.config.open(self.config_path(), header)
        self.blocks.append((state, header))

    def block_header(self, found: Lookup, line: str) -> str:
        """The header line of the block that a path's line opens."""
        return found.text(line)

    def store(self, line: str) -> None:
        """Enters a configuration line where the device is."""
        assert self.config is not None
        notice = self.config.enter(self.config_path(), line)
        if notice:
            self.write(notice + "\n")

    def config_handlers(self) -> List[Tuple[CommandPattern, Handler]]:
        """The show command, in the state it runs in (and after ``do`` in configuration
        states, where the responses have it)."""
        if self.config is None:
            return []
        show = command_text(self.config.spec.show)
        table: List[Tuple[CommandPattern, Handler]] = []
        level = self.submode.name if self.submode else self.state
        if self.state == self.show_state and not self.frames or ANY in self.show_scopes or \
                level in self.show_scopes or self.state in self.show_scopes:
            table.append((CommandPattern(show), self.cmd_show_config))
        if self.do_show and self.state in self.config_states:
            table.append((CommandPattern("do " + show), self.cmd_show_config))
        return table

    def cmd_show_config(self, args: List[str]) -> None:
        self.write_lines(self.configuration_lines())

    def configuration_lines(self) -> List[str]:
        """What the show command prints."""
        assert self.config is not None
        return self.config.show()

    def config_command(self, words: List[str], line: str) -> bool:
        """Runs a command of the configuration section typed at the top of the configuration
        state (commit, abort, rollback, compare, replace); False when the line is none."""
        if self.state != self.entry_state or self.frames or self.blocks:
            return False
        text = " ".join(words)
        for regex, action, _ in self.config_actions:
            found = regex.fullmatch(text)
            if found is not None:
                action(found, words)
                return True
        return False

    def answer(self, words: Sequence[str]) -> bool:
        """Prints what the responses give for a command (a commit's 'commit complete');
        False when they give nothing."""
        table = [(pattern, entry) for pattern, entry in self.defined()
                 if entry.response is not None]
        found = self.lookup(list(words), table)
        if found.response is None:
            return False
        self.show(found.response.output)
        return True

    def refuse(self, line: str, why: str) -> None:
        """A configuration command the device cannot do: why, as a line its failure patterns
        take for an error (else followed by its error line)."""
        text = "error: %s" % why
        self.write(text + "\n")
        if not any(pattern.search(text) for pattern in self.failures):
            self.error(line)

    def cfg_commit(self, found: "re.Match[str]", words: List[str]) -> None:
        assert self.config is not None
        values = found.groupdict()
        timer: Optional[float] = None
        for unit, seconds in (("minutes", self.timer_scale), ("seconds", self.timer_scale / 60)):
            if values.get(unit) is not None:
                count = int(values[unit])
                if count <= 0:
                    self.refuse(" ".join(words), "a confirm timer of %d %s" % (count, unit))
                    return
                timer = count * seconds
                self.write("the commit rolls back in %d %s unless confirmed\n" % (
                    count, unit[:-1] if count == 1 else unit))
        self.config.commit(values.get("comment"), timer)
        if not self.answer(words):
            self.answer(command_text(self.config.spec.commit or "").split())

    def cfg_abort(self, found: "re.Match[str]", words: List[str]) -> None:
        assert self.config is not None
        self.config.abort()
        self.answer(words)

    def cfg_rollback(self, found: "re.Match[str]", words: List[str]) -> None:
        assert self.config is not None
        number = found.groupdict().get("number")
        problem = self.config.load(int(number) if number is not None else 1)
        if problem is not None:
            self.refuse(" ".join(words), problem)
        else:
            self.answer(words)

    def cfg_diff(self, found: "re.Match[str]", words: List[str]) -> None:
        assert self.config is not None
        self.write_lines(self.config.compare())

    def cfg_replace(self, found: "re.Match[str]", words: List[str]) -> None:
        """Empties the candidate once each question of the command is answered as the
        platform answers it; another answer changes nothing."""
        assert self.config is not None
        for question in self.config_section.commands["replace"].dialog:
            if question.sample is None:
                continue
            self.write(self.text(question.sample))
            answer = self.readline()
            if question.send is not None and \
                    answer.strip().lower() != question.send.strip().lower():
                return
        self.config.clear()
        self.answer(words)

    # -- paths -----------------------------------------------------------------------

    def travel(self, path: PathDef, args: Sequence[str] = ()) -> None:
        """Moves along a path: its further lines, then its questions, then the new state.

        ``args``: the words typed for the fields of the path's command. On a
        platform with commit, the questions of a path out of the configuration
        states are asked only while the candidate holds uncommitted changes.
        """
        for expected in path.commands[1:]:
            line = self.readline()
            if CommandPattern(expected).match(line.split(), self.abbreviate) is None:
                self.error(line)
                return
        config = self.config
        if config is None or not config.committing or path.source not in self.config_states \
                or path.target in self.config_states or config.compare():
            for question in path.dialog:
                if not self.ask(question):
                    return
        self.enter(path.target)

    def ask(self, question: StatementDef) -> bool:
        """Asks one dialog question; False when the answer is refused."""
        if question.sample is None:
            return True
        if question.send is None:
            self.write(self.text(question.sample) + "\n")
            return True
        expected: Optional[str] = question.send
        fields = question.fields
        if fields:
            if any(self.secrets.get(name) == "" for name in fields):
                return True
            if all(name in self.secrets for name in fields):
                expected = question.send.format_map(self.secrets)
            else:
                expected = None
        if question.is_secret:
            answer = self.read_secret(self.text(question.sample))
        else:
            self.write(self.text(question.sample))
            answer = self.readline()
        if expected is None:
            return True
        if question.is_secret:
            accepted = answer == expected
        else:
            accepted = answer.strip().lower() == expected.strip().lower()
        if not accepted:
            self.write(self.text(question.refused or REFUSED) + "\n\n")
            return False
        return True


def configuration_states(definition: Definition, entry: str) -> Tuple[Set[str], Set[str]]:
    """The states where configuration lines are entered, and those of them that a path's
    line opens as a block: the states reached from the login state only through ``entry``
    (an interface mode under the configuration mode)."""
    def reached(start: str, barred: Set[str]) -> Set[str]:
        found, todo = {start}, [start]
        while todo:
            state = todo.pop()
            for path in definition.paths:
                if path.source == state and path.target not in found | barred:
                    found.add(path.target)
                    todo.append(path.target)
        return found

    outside = reached(definition.login_state, {entry}) if definition.login_state != entry \
        else {entry}
    inside = reached(entry, outside - {entry}) - (outside - {entry})
    families = set(definition.config_substates)
    return inside | families, inside - {entry} - families


def parse_secrets(pairs: Sequence[str]) -> Dict[str, str]:
    secrets: Dict[str, str] = {}
    for pair in pairs:
        key, sep, value = pair.partition("=")
        if not sep or not key:
            raise PlatformError("--secret takes KEY=VALUE, not %r" % pair)
        secrets[key] = value
    return secrets


def definition_of(platform: str) -> Tuple[Definition, Optional[str]]:
    """The definition of a platform (name, file or class) and its default responses file."""
    from tessel.platforms import load, platform_file, responses_file

    cls = load(platform)
    definition = getattr(cls, "definition", None)
    if not isinstance(definition, Definition):
        raise PlatformError("%s is not defined by a platform file, so it has no samples to "
                            "simulate" % platform)
    source = platform_file(cls)
    return definition, responses_file(source) if source else None


def _sigtstp_ignored() -> None:
    import signal

    if hasattr(signal, "SIGTSTP"):
        signal.signal(signal.SIGTSTP, signal.SIG_IGN)


def simulator_factory(platform: str, secrets: Sequence[str] = (), start: Optional[str] = None,
                      responses: Optional[str] = None, delay: float = 0.0,
                      page_length: int = PAGE_LENGTH, abbreviate: bool = False,
                      timer_scale: float = 60.0) -> Callable[[str], PlatformSimulator]:
    """Reads a platform and its responses once; the function that makes a device by hostname.

    Raises PlatformError for a platform, a responses file or an option that is wrong.
    """
    definition, default_responses = definition_of(platform)
    source = responses if responses is not None else default_responses
    answers = read_responses(source, definition) if source else {}
    given = parse_secrets(secrets)

    def make(hostname: str) -> PlatformSimulator:
        return PlatformSimulator(definition, hostname=hostname, secrets=given, start=start,
                                 responses=answers, delay=delay, page_length=page_length,
                                 abbreviate=abbreviate, timer_scale=timer_scale)

    make("R1")  # the options' mistakes now, not at the first session
    return make


def simulate(platform: str, hostname: str = "R1", secrets: Sequence[str] = (),
             start: Optional[str] = None, responses: Optional[str] = None,
             delay: float = 0.0, page_length: int = PAGE_LENGTH,
             abbreviate: bool = False, timer_scale: float = 60.0) -> int:
    """Runs the simulator of a platform on standard input and output (``tessel sim``)."""
    simulator = simulator_factory(platform, secrets, start, responses, delay, page_length,
                                  abbreviate, timer_scale)(hostname)
    _sigtstp_ignored()
    return simulator.run()
