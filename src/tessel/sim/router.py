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
and Ctrl-Z leaves the configuration modes. ``--delay`` makes the answer to
every command slow, ``--wait-for-return`` makes the console wait for Enter
before its first prompt (and after a reload).
"""
import argparse
import os
import signal
import sys
import time
from typing import Callable, Dict, List, Optional, Sequence, TextIO, Tuple

DISABLE, ENABLE, CONFIG, CONFIG_IF = "disable", "enable", "config", "config-if"

INVALID = "% Invalid input detected at '^' marker."


class EndOfSession(Exception):
    """The user logged out or the input ended."""


class ConfigEnd(Exception):
    """Ctrl-Z was typed: leave the configuration modes."""


Handler = Callable[["SimulatedRouter", List[str]], None]


class SimulatedRouter:
    """The console state and command handlers of the simulated device."""

    def __init__(self, hostname: str = "R1", enable_password: str = "lab", delay: float = 0.0,
                 wait_for_return: bool = False, stdin: TextIO = sys.stdin,
                 stdout: TextIO = sys.stdout) -> None:
        self.hostname = hostname
        self.enable_password = enable_password
        self.delay = delay
        self.wait_for_return = wait_for_return
        self.stdin = stdin
        self.stdout = stdout
        self.mode = DISABLE
        self.interface = ""
        self.interfaces: Dict[str, List[str]] = {"Loopback0": []}

    # -- console input and output -------------------------------------------------

    def write(self, text: str) -> None:
        self.stdout.write(text)
        self.stdout.flush()

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
        return self.hostname + suffix[self.mode]

    # -- session ---------------------------------------------------------------------

    def boot(self) -> None:
        self.mode = DISABLE
        self.write("\n%s console\n" % self.hostname)
        if self.wait_for_return:
            self.write("\nPress RETURN to get started.\n")
            self.readline()
        self.write("\n")

    def run(self) -> int:
        try:
            self.boot()
            while True:
                try:
                    self.write(self.prompt())
                    line = self.readline()
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
        self.write("Simulated router software, version 1.0\n%s uptime is 1 minute\n"
                   % self.hostname)

    def cmd_show_running(self, args: List[str]) -> None:
        lines = ["Building configuration...", "", "hostname %s" % self.hostname, "!"]
        for name, settings in self.interfaces.items():
            lines.append("interface %s" % name)
            lines.extend(" " + s for s in settings)
            lines.append("!")
        lines.append("end")
        self.write("\n".join(lines) + "\n")

    def cmd_show_lines(self, args: List[str]) -> None:
        """Prints N numbered lines: a large output for tests of long answers."""
        try:
            count = int(args[0]) if args else 10
        except ValueError:
            self.write(INVALID + "\n")
            return
        chunk = []
        for number in range(1, count + 1):
            chunk.append("line %d of %d: the quick brown fox jumps over the lazy dog\n"
                         % (number, count))
            if len(chunk) == 200:
                self.write("".join(chunk))
                chunk = []
        self.write("".join(chunk))

    def cmd_reload(self, args: List[str]) -> None:
        self.write("Proceed with reload? [confirm]")
        answer = self.readline().strip().lower()
        if answer not in ("", "y", "yes"):
            self.write("\n")
            return
        self.write("\nReloading...\n\nSystem bootstrap, version 1.0\n")
        self.boot()

    def cmd_terminal(self, args: List[str]) -> None:
        """Accepts terminal settings such as 'terminal length 0'."""


COMMANDS: Dict[str, Sequence[Tuple[Tuple[str, ...], Handler]]] = {
    DISABLE: [
        (("enable",), SimulatedRouter.cmd_enable),
        (("exit",), SimulatedRouter.cmd_logout),
        (("logout",), SimulatedRouter.cmd_logout),
        (("show", "version"), SimulatedRouter.cmd_show_version),
        (("show", "lines"), SimulatedRouter.cmd_show_lines),
        (("terminal",), SimulatedRouter.cmd_terminal),
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
    ],
    CONFIG: [
        (("interface",), SimulatedRouter.cmd_interface),
        (("hostname",), SimulatedRouter.cmd_hostname),
        (("exit",), SimulatedRouter.cmd_exit_config),
        (("end",), SimulatedRouter.cmd_end),
    ],
    CONFIG_IF: [
        (("interface",), SimulatedRouter.cmd_interface),
        (("description",), SimulatedRouter.cmd_interface_setting),
        (("shutdown",), SimulatedRouter.cmd_interface_setting),
        (("no",), SimulatedRouter.cmd_interface_setting),
        (("ip",), SimulatedRouter.cmd_interface_setting),
        (("exit",), SimulatedRouter.cmd_exit_config),
        (("end",), SimulatedRouter.cmd_end),
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
    args = parser.parse_args(argv)
    if hasattr(signal, "SIGTSTP"):
        signal.signal(signal.SIGTSTP, _raise_config_end)
    router = SimulatedRouter(hostname=args.hostname, enable_password=args.enable_password,
                             delay=args.delay, wait_for_return=args.wait_for_return)
    return router.run()


if __name__ == "__main__":
    sys.exit(main())
