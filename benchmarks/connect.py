"""Connect, command and configuration times over a real sshd on loopback, tessel against its peers.

Run as root (it starts sshd with throwaway users, as the tests do):

    python benchmarks/connect.py [--rounds N] [--commands M] [--configs C]

The simulated router sits behind OpenSSH's sshd on 127.0.0.1. For each tool
it measures, in one run with the tools interleaved round by round:

* connect: open the session, log in with a password, reach enable (the
  enable password answered), paging off;
* command: one ``show version``, as the median of M per round;
* configure: configuration mode, 10 lines, back to enable, as the median of
  C per round;

and prints the medians (and the best) over the rounds with ratios to tessel,
and the time of the ssh client alone doing the same login (in turn with the
tools, each round), for reference. ``--commands 0 --configs 0`` measures
connect only, for many rounds at little cost. tessel is measured with the system ssh client and, where asyncssh is
installed (``pip install 'tessel[asyncssh]'``), with ``transport="asyncssh"``
too; the last lines compare tessel's connect with ssh alone and with the
fastest peer. scrapli and
netmiko are measured where they are installed (``pip install scrapli
netmiko``; neither is a dependency of tessel). Every tool gets the same ssh
settings where it uses the ssh client (no Kerberos attempt, the server's
key known).
"""
import argparse
import os
import statistics
import sys
import tempfile
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "connection"))

import servers  # noqa: E402  (the test suite's sshd on loopback)

import tessel  # noqa: E402

ENABLE_PASSWORD = "lab"
#: The simulated router's enable prompt at the end of the output (for netmiko).
ENABLE_PROMPT = r"R1#\s*$"
CONFIG_LINES = ["interface Loopback11", "description bench", "no shutdown",
                "ip address 10.11.0.1 255.255.255.0", "exit",
                "interface Loopback12", "description bench", "shutdown",
                "ip address 10.12.0.1 255.255.255.0", "exit"]

#: A vendor-neutral scrapli definition of the simulated router's modes.
SCRAPLI_DEFINITION = r"""---
prompt_pattern: '^\S{1,63}[>#]\s?+$'
default_mode: 'enable'
modes:
  - name: 'disable'
    prompt_pattern: '^[\w.\-]{1,63}>\s?+$'
    accessible_modes:
      - name: 'enable'
        instructions:
          - send_prompted_input:
              input: 'enable'
              prompt_exact: 'Password:'
              response: '__lookup::enable'
  - name: 'enable'
    prompt_pattern: '^[\w.\-]{1,63}#\s?+$'
    accessible_modes:
      - name: 'disable'
        instructions:
          - send_input:
              input: 'disable'
      - name: 'configuration'
        instructions:
          - send_input:
              input: 'configure terminal'
  - name: 'configuration'
    prompt_pattern: '^[\w.\-]{1,63}\([\w.\-]{0,32}\)#\s?+$'
    accessible_modes:
      - name: 'enable'
        instructions:
          - send_input:
              input: 'end'
failure_indicators:
  - '% Invalid input detected'
on_open_instructions:
  - enter_mode:
      requested_mode: 'enable'
  - send_input:
      input: 'terminal length 0'
on_close_instructions:
  - write:
      input: 'exit'
"""


class Tool:
    """One library under test: open a session in enable, run a command, configure, close."""

    name = ""

    def __init__(self, server: servers.SshServer, known_hosts: str) -> None:
        self.server = server
        self.known_hosts = known_hosts
        self.user = server.users["sim"]

    def open(self) -> None:
        raise NotImplementedError

    def command(self) -> str:
        raise NotImplementedError

    def configure(self) -> None:
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError


class Tessel(Tool):
    name = "tessel"
    transport = "ssh"

    def open(self) -> None:
        self.conn = tessel.connect("generic", self.server.host, port=self.server.port,
                                   username=self.user, password=self.server.password,
                                   known_hosts=self.known_hosts, transport=self.transport,
                                   secrets={"enable_password": ENABLE_PASSWORD})
        self.conn.go_to("enable")

    def command(self) -> str:
        return str(self.conn.execute("show version").output)

    def configure(self) -> None:
        self.conn.configure(CONFIG_LINES)
        assert self.conn.state == "enable"

    def close(self) -> None:
        self.conn.close()


class TesselAsyncssh(Tessel):
    name = "tessel-asyncssh"
    transport = "asyncssh"


class Scrapli(Tool):
    name = "scrapli"

    def open(self) -> None:
        from scrapli.auth import LookupKeyValue
        from scrapli.auth import Options as AuthOptions
        from scrapli.cli import Cli, LoadedDefinition
        from scrapli.transport import BinOptions

        self.cli = Cli(self.server.host, port=self.server.port,
                       definition_file_or_name=LoadedDefinition(
                           platform_name="tessel_sim", definition=SCRAPLI_DEFINITION),
                       auth_options=AuthOptions(
                           username=self.user, password=self.server.password,
                           lookups=[LookupKeyValue(key="enable", value=ENABLE_PASSWORD)]),
                       transport_options=BinOptions(
                           known_hosts_path=self.known_hosts,
                           extra_open_args=["-o", "GSSAPIAuthentication=no"]))
        self.cli.open()

    def command(self) -> str:
        return str(self.cli.send_input("show version").result)

    def configure(self) -> None:
        self.cli.send_inputs(CONFIG_LINES, requested_mode="configuration")
        self.cli.enter_mode("enable")

    def close(self) -> None:
        self.cli.close()


class Netmiko(Tool):
    name = "netmiko"

    def open(self) -> None:
        from netmiko import ConnectHandler

        self.handle = ConnectHandler(device_type="generic", host=self.server.host,
                                     port=self.server.port, username=self.user,
                                     password=self.server.password)
        # The generic device type has no enable command of its own.
        self.handle.send_command("enable", expect_string="ssword", cmd_verify=False)
        self.handle.send_command(ENABLE_PASSWORD, expect_string="#", cmd_verify=False)
        self.handle.send_command("terminal length 0", expect_string=ENABLE_PROMPT)
        self.handle.set_base_prompt()

    def command(self) -> str:
        return str(self.handle.send_command("show version", expect_string=ENABLE_PROMPT))

    def configure(self) -> None:
        self.handle.send_config_set(["configure terminal", *CONFIG_LINES, "end"],
                                    enter_config_mode=False, exit_config_mode=False)

    def close(self) -> None:
        self.handle.disconnect()


def installed(module: str) -> bool:
    try:
        __import__(module)
    except ImportError:
        return False
    return True


def timed(action: Callable[[], Any]) -> float:
    started = time.perf_counter()
    action()
    return time.perf_counter() - started


def measure(tools: List[Tool], rounds: int, commands: int, configs: int,
            floor: Callable[[], float]) -> Tuple[Dict[str, Dict[str, List[float]]], List[float]]:
    """Per tool, the connect, command and configure times of each round; and ssh alone's
    time in each round, measured in turn with the tools (``commands`` or ``configs`` 0:
    that measure is skipped)."""
    figures: Dict[str, Dict[str, List[float]]] = {
        tool.name: {"connect": [], "command": [], "configure": []} for tool in tools}
    floors: List[float] = []
    entries: List[Optional[Tool]] = [*tools, None]  # None: ssh alone
    for number in range(rounds + 1):
        # Each round in another order, so that no tool always comes first.
        turn = number % len(entries)
        for tool in entries[turn:] + entries[:turn]:
            if tool is None:
                alone = floor()
                if number:
                    floors.append(alone)
                continue
            connect = timed(tool.open)
            if not tool.command().startswith("Simulated router software"):
                raise SystemExit("%s: show version gave an unexpected output" % tool.name)
            per_command = [timed(tool.command) for _ in range(commands)]
            configure = [timed(tool.configure) for _ in range(configs)]
            tool.close()
            if number == 0:
                continue  # a warm-up round: imports, first key exchange, page cache
            figures[tool.name]["connect"].append(connect)
            if per_command:
                figures[tool.name]["command"].append(statistics.median(per_command))
            if configure:
                figures[tool.name]["configure"].append(statistics.median(configure))
    return figures, floors


def report(figures: Dict[str, Dict[str, List[float]]], ssh_alone: List[float]) -> None:
    rounds = len(figures["tessel"]["connect"])
    for title, summary in (("median of %d rounds" % rounds, statistics.median),
                           ("best of %d rounds" % rounds, min)):
        base = {what: summary(values) for what, values in figures["tessel"].items() if values}
        print("%-15s  %22s  %22s  %22s   (%s)" % ("tool", "connect+login+enable",
                                                 "show version", "10 config lines", title))
        for name, values in figures.items():
            cells = []
            for what, unit, scale in (("connect", "s", 1.0), ("command", "ms", 1e3),
                                      ("configure", "ms", 1e3)):
                if not values[what]:
                    cells.append("%22s" % "-")
                    continue
                value = summary(values[what])
                ratio = "" if name == "tessel" else " (%.2fx)" % (value / base[what])
                cells.append("%10.3f %-2s%10s" % (value * scale, unit, ratio))
            print("%-15s  %s" % (name, "  ".join(cells)))
        print("%-15s  %10.3f s" % ("ssh alone", summary(ssh_alone)))
        print()
    print("(Nx) = the tool's time / tessel's time. 'ssh alone': the ssh client logging in and "
          "answering enable,\nwith no library: the floor under every connect time.")
    print()
    connects = {name: values["connect"] for name, values in figures.items()}
    # The same round's figures side by side: what the machine's load adds cancels out.
    gaps = [tessel_time - alone for tessel_time, alone in zip(connects["tessel"], ssh_alone)]
    print("tessel (ssh) connect - ssh alone, same round: median %+.1f ms, mean %+.1f ms"
          % (statistics.median(gaps) * 1e3, statistics.mean(gaps) * 1e3))
    peers = [name for name in connects if not name.startswith("tessel")]
    if peers and "tessel-asyncssh" in connects:
        for title, summary in (("median", statistics.median), ("best", min)):
            best = {name: summary(values) for name, values in connects.items()}
            fastest = min(peers, key=lambda name: best[name])
            print("fastest peer (%s) / tessel-asyncssh connect, %s: %.2fx"
                  % (fastest, title, best[fastest] / best["tessel-asyncssh"]))


def ssh_alone(server: servers.SshServer, known_hosts: str) -> float:
    """The ssh client by itself: log in with the password, answer enable, see R1#."""
    import pexpect

    from tessel.transports import ssh_argv

    argv = ssh_argv(server.host, port=server.port, username=server.users["sim"],
                    known_hosts=known_hosts)
    started = time.perf_counter()
    child = pexpect.spawn(argv[0], argv[1:], encoding="utf-8", timeout=10)
    child.delaybeforesend = None  # pexpect's own pauses are not the client's
    child.delayafterread = None
    child.expect("assword:")
    child.sendline(server.password)
    child.expect("R1>")
    child.sendline("enable")
    child.expect("assword:")
    child.sendline(ENABLE_PASSWORD)
    child.expect("R1#")
    elapsed = time.perf_counter() - started
    child.close(force=True)
    return elapsed


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=15, help="rounds (default: 15)")
    parser.add_argument("--commands", type=int, default=20,
                        help="show version commands per round (default: 20; 0: none)")
    parser.add_argument("--configs", type=int, default=5,
                        help="10-line configurations per round (default: 5; 0: none)")
    args = parser.parse_args(argv)
    try:
        # No banner: the peers take its prompt-like lines for prompts.
        server = servers.SshServer(banner=False).start()
    except servers.Unavailable as err:
        print("cannot run: %s" % err, file=sys.stderr)
        return 1
    try:
        with tempfile.TemporaryDirectory() as scratch:
            known_hosts = server.known_hosts(os.path.join(scratch, "known_hosts"))
            tools: List[Tool] = [Tessel(server, known_hosts)]
            for module, cls in (("asyncssh", TesselAsyncssh), ("scrapli.cli", Scrapli),
                                ("netmiko", Netmiko)):
                if installed(module):
                    tools.append(cls(server, known_hosts))
                else:
                    print("(%s is not installed: not measured)" % cls.name)
            report(*measure(tools, args.rounds, args.commands, args.configs,
                            lambda: ssh_alone(server, known_hosts)))
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
