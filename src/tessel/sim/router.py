"""A simulated router command line, for tests and demos.

Run it as ``python -m tessel.sim.router [--hostname R1] [--enable-password lab]``.
It reads commands line by line on standard input and answers on standard
output, the way a small router's console does:

* ``R1>`` (disable): ``enable`` asks ``Password:`` and leads to ``R1#``;
  ``exit`` or ``logout`` ends the session;
* ``R1#`` (enable): ``configure terminal`` leads to ``R1(config)#``,
  ``disable`` back to ``R1>``, ``reload`` asks ``[confirm]`` and restarts;
* ``R1(config)#``: ``interface NAME`` leads to ``R1(config-if)#``,
  ``hostname NAME`` renames the device, ``exit`` and ``end`` lead back;
* ``R1(config-if)#``: ``exit`` leads to config, ``end`` to enable.

Commands may be abbreviated to any unique prefix of their words
(``conf t``). Unknown commands get an error line; Ctrl-C abandons the line
and Ctrl-Z leaves the configuration modes. ``echo TEXT`` prints TEXT (``\n``
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
bracketed-paste switches and ends lines with ``\r\n``; ``--line-pause``
pauses after each line of ``show lines`` and ``echo`` output, before its
line end.
"""
import argparse
import os
import signal
import sys
import time
from typing import (
    Callable,
    Dict,
    Iterable,
    Iterator,
    List,
    Optional,
    Sequence,
    TextIO,
    Tuple,
)

DISABLE, ENABLE, CONFIG, CONFIG_IF = "disable", "enable", "config", "config-if"

INVALID = "% Invalid input detected at '^' marker."

PAGER_PROMPT = "--More--"
#: What follows the answer to a pager prompt: a carriage return, blanks over the prompt, and
#: another carriage return, so the next line starts where the prompt was.
PAGER_ERASE = "\r" + " " * len(PAGER_PROMPT) + "\r"

BOLD, GREEN, INVERSE, RESET = "\x1b[1m", "\x1b[32m", "\x1b[7m", "\x1b[0m"
PASTE_ON, PASTE_OFF = "\x1b[?2004h", "\x1b[?2004l"


class EndOfSession(Exception):
    """The user logged out or the input ended."""


class ConfigEnd(Exception):
    """Ctrl-Z was typed: leave the configuration modes."""


Handler = Callable[["SimulatedRouter", List[str]], None]


class SimulatedRouter:
    """The console state and command handlers of the simulated device."""

    def __init__(self, hostname: str = "R1", enable_password: str = "lab", delay: float = 0.0,
                 wait_for_return: bool = False, stdin: TextIO = sys.stdin,
                 stdout: TextIO = sys.stdout, banner: str = "", page_length: int = 0,
                 color: bool = False, line_pause: float = 0.0, boot_delay: float = 0.0) -> None:
        self.hostname = hostname
        self.enable_password = enable_password
        self.delay = delay
        self.wait_for_return = wait_for_return
        self.stdin = stdin
        self.stdout = stdout
        self.banner = banner
        self.page_length = page_length
        self.color = color
        self.line_pause = line_pause
        self.boot_delay = boot_delay
        self.mode = DISABLE
        self.interface = ""
        self.interfaces: Dict[str, List[str]] = {"Loopback0": []}

    # -- console input and output -------------------------------------------------

    def write(self, text: str) -> None:
        if self.color:
            text = text.replace("\n", "\r\n")
        self.stdout.write(text)
        self.stdout.flush()

    def emphasise(self, text: str) -> str:
        return BOLD + text + RESET if self.color else text

    def write_lines(self, lines: Iterable[str]) -> None:
        """Writes output lines, a page at a time when paging is on; 'q' at a pager prompt stops."""
        if self.line_pause:
            for line in lines:
                self.write(line)
                time.sleep(self.line_pause)
                self.write("\n")
            return
        pending: List[str] = []
        shown = 0
        for line in lines:
            if self.page_length and shown == self.page_length:
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

    def next_page(self) -> bool:
        """Shows the pager prompt and waits for a key: False when it is 'q'."""
        prompt = INVERSE + PAGER_PROMPT + RESET if self.color else PAGER_PROMPT
        key = self.read_key(prompt)
        self.write(PAGER_ERASE)
        return key not in ("q", "Q")

    def read_key(self, prompt: str) -> str:
        """Shows ``prompt`` and reads one key, unechoed, when the console is a terminal."""
        fd = self.stdin.fileno() if hasattr(self.stdin, "fileno") else -1
        if fd < 0 or not os.isatty(fd):
            self.write(prompt)
            line = self.stdin.readline()
            if not line:
                raise EndOfSession()
            return line[:1]
        import termios
        old = termios.tcgetattr(fd)
        new = termios.tcgetattr(fd)
        new[3] &= ~(termios.ECHO | termios.ICANON)
        new[6][termios.VMIN] = 1
        new[6][termios.VTIME] = 0
        termios.tcsetattr(fd, termios.TCSANOW, new)
        try:
            self.write(prompt)
            key = os.read(fd, 1)
        finally:
            termios.tcsetattr(fd, termios.TCSANOW, old)
        if not key:
            raise EndOfSession()
        return key.decode("latin-1")

    def readline(self) -> str:
        line = self.stdin.readline()
        if not line:
            raise EndOfSession()
        return line.rstrip("\r\n")

    def read_secret(self, prompt: str) -> str:
        """Reads a line without echo when the console is a terminal."""
        fd = self.stdin.fileno() if hasattr(self.stdin, "fileno") else -1
        if fd < 0 or not os.isatty(fd):
            self.write(prompt)
            return self.readline()
        import termios
        old = termios.tcgetattr(fd)
        new = termios.tcgetattr(fd)
        new[3] &= ~termios.ECHO
        termios.tcsetattr(fd, termios.TCSADRAIN, new)
        try:
            self.write(prompt)
            return self.readline()
        finally:
            termios.tcsetattr(fd, termios.TCSADRAIN, old)
            self.write("\n")

    def prompt(self) -> str:
        suffix = {DISABLE: ">", ENABLE: "#", CONFIG: "(config)#", CONFIG_IF: "(config-if)#"}
        if self.color:
            return PASTE_ON + GREEN + self.hostname + RESET + suffix[self.mode]
        return self.hostname + suffix[self.mode]

    # -- session ---------------------------------------------------------------------

    def boot(self) -> None:
        self.mode = DISABLE
        if self.boot_delay:
            time.sleep(self.boot_delay)
        self.write("\n%s console\n" % self.hostname)
        if self.banner:
            self.write("\n%s\n" % self.banner)
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

    def run(self) -> int:
        try:
            self.boot()
            # Lines typed while starting are answered with a prompt each, in one write
            # with the first prompt, as a console that reads its input before it flushes.
            typed = self.typed_ahead() if self.boot_delay else 0
            first = self.prompt() * (1 + typed)
            while True:
                try:
                    self.write(first or self.prompt())
                    first = ""
                    line = self.readline()
                    if self.color:
                        self.write(PASTE_OFF + "\r")
                    if self.delay and line.strip():
                        time.sleep(self.delay)
                    self.execute(line)
                except KeyboardInterrupt:
                    self.write("\n")
                except ConfigEnd:
                    self.write("\n")
                    if self.mode in (CONFIG, CONFIG_IF):
                        self.mode = ENABLE
        except EndOfSession:
            return 0

    def execute(self, line: str) -> None:
        words = line.split()
        if not words:
            return
        handler, args = self.lookup(words)
        if handler is None:
            self.write(args[0] + "\n" if args else INVALID + "\n")
            return
        handler(self, args)

    def lookup(self, words: List[str]) -> Tuple[Optional[Handler], List[str]]:
        """Finds the command that ``words`` abbreviate; returns (handler, arguments)."""
        candidates = []
        for command, handler in COMMANDS[self.mode]:
            if len(words) >= len(command) and all(
                    command[i].startswith(words[i].lower()) for i in range(len(command))):
                candidates.append((command, handler))
        if not candidates:
            return None, []
        if len(candidates) > 1:
            typed = [w.lower() for w in words]
            exact = [(c, h) for c, h in candidates if list(c) == typed[:len(c)]]
            if len(exact) != 1:
                return None, ["%% Ambiguous command:  \"%s\"" % " ".join(words)]
            candidates = exact
        command, handler = candidates[0]
        return handler, words[len(command):]

    # -- commands ----------------------------------------------------------------------

    def cmd_enable(self, args: List[str]) -> None:
        if self.enable_password:
            if self.read_secret("Password: ") != self.enable_password:
                self.write("% Access denied\n\n")
                return
        self.mode = ENABLE

    def cmd_disable(self, args: List[str]) -> None:
        self.mode = DISABLE

    def cmd_logout(self, args: List[str]) -> None:
        self.write("\n")
        raise EndOfSession()

    def cmd_configure(self, args: List[str]) -> None:
        self.write("Enter configuration commands, one per line.  End with CNTL/Z.\n")
        self.mode = CONFIG

    def cmd_exit_config(self, args: List[str]) -> None:
        self.mode = ENABLE if self.mode == CONFIG else CONFIG

    def cmd_end(self, args: List[str]) -> None:
        self.mode = ENABLE

    def cmd_interface(self, args: List[str]) -> None:
        if not args:
            self.write("% Incomplete command.\n\n")
            return
        self.interface = "".join(args)
        self.interfaces.setdefault(self.interface, [])
        self.mode = CONFIG_IF

    def cmd_hostname(self, args: List[str]) -> None:
        if len(args) != 1:
            self.write("% Incomplete command.\n\n")
            return
        self.hostname = args[0]

    def cmd_interface_setting(self, args: List[str]) -> None:
        self.interfaces[self.interface].append(" ".join(args))

    def cmd_show_version(self, args: List[str]) -> None:
        self.write_lines(["%s, version 1.0" % self.emphasise("Simulated router software"),
                          "%s uptime is 1 minute" % self.hostname])

    def cmd_show_running(self, args: List[str]) -> None:
        lines = ["Building configuration...", "", "hostname %s" % self.hostname, "!"]
        if self.banner:
            lines.append("banner motd ^C")
            lines.extend(self.banner.split("\n"))
            lines.extend(["^C", "!"])
        for name, settings in self.interfaces.items():
            lines.append("interface %s" % name)
            lines.extend(" " + s for s in settings)
            lines.append("!")
        lines.append("end")
        self.write_lines(lines)

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


COMMANDS: Dict[str, Sequence[Tuple[Tuple[str, ...], Handler]]] = {
    DISABLE: [
        (("enable",), SimulatedRouter.cmd_enable),
        (("exit",), SimulatedRouter.cmd_logout),
        (("logout",), SimulatedRouter.cmd_logout),
        (("show", "version"), SimulatedRouter.cmd_show_version),
        (("show", "lines"), SimulatedRouter.cmd_show_lines),
        (("terminal",), SimulatedRouter.cmd_terminal),
        (("echo",), SimulatedRouter.cmd_echo),
    ],
    ENABLE: [
        (("enable",), lambda router, args: None),
        (("disable",), SimulatedRouter.cmd_disable),
        (("configure", "terminal"), SimulatedRouter.cmd_configure),
        (("exit",), SimulatedRouter.cmd_logout),
        (("logout",), SimulatedRouter.cmd_logout),
        (("reload",), SimulatedRouter.cmd_reload),
        (("show", "version"), SimulatedRouter.cmd_show_version),
        (("show", "running-config"), SimulatedRouter.cmd_show_running),
        (("show", "lines"), SimulatedRouter.cmd_show_lines),
        (("terminal",), SimulatedRouter.cmd_terminal),
        (("echo",), SimulatedRouter.cmd_echo),
    ],
    CONFIG: [
        (("interface",), SimulatedRouter.cmd_interface),
        (("hostname",), SimulatedRouter.cmd_hostname),
        (("exit",), SimulatedRouter.cmd_exit_config),
        (("end",), SimulatedRouter.cmd_end),
        (("echo",), SimulatedRouter.cmd_echo),
    ],
    CONFIG_IF: [
        (("interface",), SimulatedRouter.cmd_interface),
        (("description",), SimulatedRouter.cmd_interface_setting),
        (("shutdown",), SimulatedRouter.cmd_interface_setting),
        (("no",), SimulatedRouter.cmd_interface_setting),
        (("ip",), SimulatedRouter.cmd_interface_setting),
        (("exit",), SimulatedRouter.cmd_exit_config),
        (("end",), SimulatedRouter.cmd_end),
        (("echo",), SimulatedRouter.cmd_echo),
    ],
}


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
