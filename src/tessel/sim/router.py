"""A simulated router command line, for tests and demos: the ``generic`` platform's simulator.

Run it as ``python -m tessel.sim.router [--hostname R1] [--enable-password lab]``.
It reads commands line by line on standard input and answers on standard
output, the way a small router's console does:

* ``R1>`` (disable): ``enable`` asks ``Password:`` and leads to ``R1#``;
  ``exit`` or ``logout`` ends the session;
* ``R1#`` (enable): ``configure terminal`` leads to ``R1(config)#``,
  ``disable`` back to ``R1>``, ``reload`` asks ``[confirm]`` and restarts;
* ``R1(config)#``: ``interface NAME`` leads to ``R1(config-if)#``,
  ``hostname NAME`` renames the device, ``exit`` and ``end`` lead back;
* ``R1(config-if)#``: ``exit`` leads to config, ``end`` to enable;
* the other configuration sub-modes, nested: ``router bgp 65001`` gives
  ``R1(config-router)#``, then ``address-family ipv4 unicast``
  ``R1(config-router-af)#``; ``route-map``, ``key chain`` and ``key``,
  ``line``, ``vrf definition`` likewise. ``exit`` (and
  ``exit-address-family``) go up one level, ``end`` to enable; a line the
  sub-mode does not know is tried in the modes above it.

The states, prompts, paths, the password question and the error line come
from the ``generic`` platform file, and the fixed answers (``show version``,
``exit``) from its responses file, through the simulator that any platform
file gets (:mod:`tessel.sim.platform_sim`). This module adds what a file
cannot say: renaming the device, a running configuration that records what
was configured, ``show lines N``, ``echo``, ``reload``, ``terminal length``,
``exit`` from config as a second way to enable, Ctrl-Z, and the options below.

Commands may be abbreviated to any unique prefix of their words
(``conf t``). Unknown commands get an error line; Ctrl-C abandons the line
and Ctrl-Z leaves the configuration modes. ``echo TEXT`` prints TEXT (``\\n``
in it starts a new line) in every mode.

Options that make it behave like devices that are harder to drive:
``--delay`` makes the answer to every command slow; ``--boot-delay`` makes
the first prompt late (lines typed meanwhile are answered with a prompt each,
on the same line as the first: ``R1>R1>``); ``--wait-for-return`` makes the console wait for
Enter before its first prompt (and after a reload); ``--banner`` shows a
login banner (also in the running configuration); ``--pager N`` shows long
output in pages of N lines with ``--More--`` between them, until
``terminal length 0`` switches paging off (``terminal length N`` sets the
page); ``--color`` colours the prompt and some output, wraps the prompt in
bracketed-paste switches and ends lines with ``\\r\\n``; ``--line-pause``
pauses after each line of ``show lines`` and ``echo`` output, before its
line end.
"""
import argparse
import os
import signal
import sys
from typing import Iterable, Iterator, List, Optional, Sequence, TextIO, Tuple

from tessel.config import Node
from tessel.platforms.definition import read_platform
from tessel.sim.platform_sim import (CommandPattern, EndOfSession, Handler, Lookup,
                                     PlatformSimulator, read_responses)

#: The platform file the router is made from, and the answers it gives.
DATA_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                        "platforms", "data")
GENERIC = read_platform(os.path.join(DATA_DIR, "generic.yaml"))
RESPONSES = read_responses(os.path.join(DATA_DIR, "generic.responses.yaml"), GENERIC)

DISABLE, ENABLE, CONFIG, CONFIG_IF = "disable", "enable", "config", "config_if"
#: The configuration states that Ctrl-Z leaves, sub-modes included.
CONFIGURATION = (CONFIG, CONFIG_IF, *GENERIC.config_substates)

INVALID = "% Invalid input detected at '^' marker."
INCOMPLETE = "% Incomplete command."

PAGER_PROMPT = "--More--"
#: What follows the answer to a pager prompt: a carriage return, blanks over the prompt, and
#: another carriage return, so the next line starts where the prompt was.
PAGER_ERASE = "\r" + " " * len(PAGER_PROMPT) + "\r"

BOLD, GREEN, INVERSE, RESET = "\x1b[1m", "\x1b[32m", "\x1b[7m", "\x1b[0m"
PASTE_ON, PASTE_OFF = "\x1b[?2004h", "\x1b[?2004l"

#: The words of ``show version`` that --color shows in bold.
SOFTWARE = "Simulated router software"

__all__ = ["SimulatedRouter", "EndOfSession", "ConfigEnd", "main", "numbered_lines"]


class ConfigEnd(Exception):
    """Ctrl-Z was typed: leave the configuration modes."""


class SimulatedRouter(PlatformSimulator):
    """The generic platform's simulator, with the router's own commands and options."""

    def __init__(self, hostname: str = "R1", enable_password: str = "lab", delay: float = 0.0,
                 wait_for_return: bool = False, stdin: Optional[TextIO] = None,
                 stdout: Optional[TextIO] = None, banner: str = "", page_length: int = 0,
                 color: bool = False, line_pause: float = 0.0, boot_delay: float = 0.0) -> None:
        super().__init__(GENERIC, hostname=hostname,
                         secrets={"enable_password": enable_password}, responses=RESPONSES,
                         delay=delay, page_length=page_length, abbreviate=True, stdin=stdin,
                         stdout=stdout)
        self.enable_password = enable_password
        self.wait_for_return = wait_for_return
        self.banner = banner
        self.color = color
        self.line_pause = line_pause
        self.boot_delay = boot_delay
        assert self.config is not None
        self.config.running.children = {text: Node(text) for text in (
            "hostname %s" % hostname, "interface Loopback0")}

    # -- console input and output -------------------------------------------------

    def write(self, text: str) -> None:
        if self.color:
            text = text.replace("\n", "\r\n")
        super().write(text)

    def emphasise(self, text: str) -> str:
        return BOLD + text + RESET if self.color else text

    def write_lines(self, lines: Iterable[str]) -> None:
        if self.line_pause:
            self.write_paused(lines)
            return
        super().write_lines(lines)

    def write_paused(self, lines: Iterable[str]) -> None:
        """Writes each line, and its line end after ``line_pause`` seconds (none: at once)."""
        for line in lines:
            self.write(line)
            if self.line_pause:
                self.console.pause(self.line_pause)
            self.write("\n")

    def show(self, output: str) -> None:
        super().show(output.replace(SOFTWARE, self.emphasise(SOFTWARE)))

    def pager_prompt(self) -> str:
        prompt = super().pager_prompt()
        return INVERSE + prompt + RESET if self.color else prompt

    def next_page(self) -> bool:
        key = self.read_key(self.pager_prompt())
        self.write(PAGER_ERASE)
        return key not in ("q", "Q")

    def prompt(self) -> str:
        if self.color:
            sample = self.definition.state(self.state)
            return PASTE_ON + (sample.sample or "" if sample else "").replace(
                "%N", GREEN + self.hostname + RESET)
        return super().prompt()

    # -- session ---------------------------------------------------------------------

    def boot(self) -> None:
        self.enter(self.initial_state)
        if self.boot_delay:
            self.console.pause(self.boot_delay)
        self.write("\n%s console\n" % self.hostname)
        if self.banner:
            self.write("\n")
            self.write_paused(self.banner.split("\n"))
        if self.wait_for_return:
            self.write("\nPress RETURN to get started.\n")
            self.readline()
        self.write("\n")

    def typed_ahead(self) -> int:
        """Reads the lines typed while the console was starting; returns how many there were."""
        import select

        fd = self.stdin.fileno() if hasattr(self.stdin, "fileno") else -1
        count = 0
        while fd >= 0 and select.select([fd], [], [], 0)[0]:
            self.readline()
            count += 1
        return count

    def run(self, resume: bool = False) -> int:
        try:
            if resume:
                self.resume()
            else:
                self.boot()
            # Lines typed while starting are answered with a prompt each, in one write
            # with the first prompt, as a console that reads its input before it flushes.
            typed = self.typed_ahead() if self.boot_delay and not resume else 0
            first = self.prompt() * (1 + typed)
            while True:
                try:
                    self.write(first or self.prompt())
                    first = ""
                    line = self.readline()
                    if self.color:
                        self.write(PASTE_OFF + "\r")
                    if self.delay and line.strip():
                        self.console.pause(self.delay)
                    self.execute(line)
                except KeyboardInterrupt:
                    self.write("\n")
                except ConfigEnd:
                    self.write("\n")
                    if self.state in CONFIGURATION:
                        self.enter(ENABLE)
        except EndOfSession:
            return 0

    def error(self, line: str, ambiguous: bool = False) -> None:
        if ambiguous:
            self.write("%% Ambiguous command:  \"%s\"\n" % " ".join(line.split()))
        else:
            super().error(line)

    # -- commands the platform file cannot express ------------------------------------

    def handlers(self) -> List[Tuple[CommandPattern, Handler]]:
        table: List[Tuple[str, Handler]] = [("echo", self.cmd_echo)]
        if self.state in (DISABLE, ENABLE):
            table += [("show lines", self.cmd_show_lines), ("terminal", self.cmd_terminal)]
        if self.state == ENABLE:
            table += [("enable", lambda args: None), ("reload", self.cmd_reload)]
        if self.state == CONFIG:
            table += [("hostname", self.cmd_hostname), ("exit", self.cmd_exit_config)]
        if self.state == CONFIG_IF:
            table += [("interface", self.cmd_interface)]
        patterns = [(CommandPattern(text, rest=True), handler) for text, handler in table]
        if self.state == CONFIG:
            # 'interface' alone: the path takes 'interface NAME'.
            patterns.append((CommandPattern("interface"), self.cmd_interface))
        return patterns

    def block_header(self, found: Lookup, line: str) -> str:
        # An interface's name may be typed in parts ('interface Gi 0/1').
        if found.path is not None and found.path.target == CONFIG_IF:
            return "interface " + "".join(found.args)
        return super().block_header(found, line)

    def cmd_interface(self, args: List[str]) -> None:
        """'interface NAME' in an interface's mode: another interface's."""
        if not args:
            self.write(INCOMPLETE + "\n\n")
            return
        self.enter(CONFIG)
        self.enter(CONFIG_IF)
        self.open_block(CONFIG_IF, "interface " + "".join(args))

    def cmd_exit_config(self, args: List[str]) -> None:
        self.enter(ENABLE)

    def cmd_hostname(self, args: List[str]) -> None:
        """Renames the device; its configuration holds the one hostname line, first."""
        if len(args) != 1:
            self.write(INCOMPLETE + "\n\n")
            return
        self.hostname = args[0]
        assert self.config is not None
        running = self.config.running
        line = "hostname %s" % self.hostname
        running.children = dict([(line, Node(line))] + [
            (text, node) for text, node in running.children.items()
            if not text.startswith("hostname ")])

    def configuration_lines(self) -> List[str]:
        """The configuration, the login banner after its header lines."""
        lines = super().configuration_lines()
        if self.banner:
            assert self.config is not None
            at = len(self.config.layout.header)
            lines[at:at] = ["banner motd ^C", *self.banner.split("\n"), "^C", "!"]
        return lines

    def cmd_show_lines(self, args: List[str]) -> None:
        """Prints N numbered lines: a large output for tests of long answers."""
        try:
            count = int(args[0]) if args else 10
        except ValueError:
            self.write(INVALID + "\n")
            return
        self.write_lines(numbered_lines(count))

    def cmd_echo(self, args: List[str]) -> None:
        """Prints its arguments; a literal backslash-n in them starts a new line."""
        self.write_lines(" ".join(args).split("\\n"))

    def cmd_reload(self, args: List[str]) -> None:
        self.write("Proceed with reload? [confirm]")
        answer = self.readline().strip().lower()
        if answer not in ("", "y", "yes"):
            self.write("\n")
            return
        self.write("\nReloading...\n\nSystem bootstrap, version 1.0\n")
        self.boot()

    def cmd_terminal(self, args: List[str]) -> None:
        """Terminal settings: 'terminal length N' sets the page (0: no paging); others are
        accepted as they are."""
        if args and "length".startswith(args[0].lower()) and len(args) == 2:
            try:
                self.page_length = max(int(args[1]), 0)
            except ValueError:
                self.write(INVALID + "\n")


def numbered_lines(count: int) -> Iterator[str]:
    for number in range(1, count + 1):
        yield "line %d of %d: the quick brown fox jumps over the lazy dog" % (number, count)


def _raise_config_end(signum: int, frame: object) -> None:
    raise ConfigEnd()


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m tessel.sim.router",
        description="A simulated router console: disable, enable, config and interface modes.")
    parser.add_argument("--hostname", default="R1", help="the device's hostname (default: R1)")
    parser.add_argument("--enable-password", default="lab",
                        help="the password that 'enable' asks for; empty for none (default: lab)")
    parser.add_argument("--delay", type=float, default=0.0, metavar="SECONDS",
                        help="pause before answering each command, not empty lines "
                             "(a slow device)")
    parser.add_argument("--wait-for-return", action="store_true",
                        help="wait for Enter before the first prompt, as a console line does")
    parser.add_argument("--boot-delay", type=float, default=0.0, metavar="SECONDS",
                        help="pause before the console shows anything (a slow login)")
    parser.add_argument("--banner", default="", metavar="TEXT",
                        help="a login banner, also shown in the running configuration "
                             "(a literal backslash-n starts a new line)")
    parser.add_argument("--pager", type=int, default=0, metavar="LINES",
                        help="show long output in pages of LINES lines with --More-- between "
                             "them ('terminal length 0' switches it off)")
    parser.add_argument("--color", action="store_true",
                        help="colour the prompt and some output, wrap the prompt in "
                             "bracketed-paste switches, end lines with \\r\\n")
    parser.add_argument("--line-pause", type=float, default=0.0, metavar="SECONDS",
                        help="pause after each line of 'show lines' and 'echo' output, "
                             "before its line end")
    args = parser.parse_args(argv)
    if hasattr(signal, "SIGTSTP"):
        signal.signal(signal.SIGTSTP, _raise_config_end)
    router = SimulatedRouter(hostname=args.hostname, enable_password=args.enable_password,
                             delay=args.delay, wait_for_return=args.wait_for_return,
                             banner=args.banner.replace("\\n", "\n"), page_length=args.pager,
                             color=args.color, line_pause=args.line_pause,
                             boot_delay=args.boot_delay)
    return router.run()


if __name__ == "__main__":
    sys.exit(main())
