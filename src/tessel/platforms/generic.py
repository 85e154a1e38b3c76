"""The example platform: a small router with disable, enable, config and interface modes.

This is the model to copy when writing a platform. A platform is a subclass
of ``StateMachine`` whose ``create()`` registers:

1. the states, each a name and the prompt pattern(s) that recognise it, with
   ``%N`` where the hostname stands in the prompt;
2. the paths, each a command that moves the device from one state to a
   neighbouring one, with the dialog of questions it may ask on the way;
3. the default statements: answers to questions that may appear during any
   state change.

Use it like this::

    from tessel.eal.spawn import Spawn
    from tessel.platforms.generic import GenericRouter
    from tessel.utils import AttributeDict

    context = AttributeDict(enable_password="lab")
    with Spawn(["ssh", "admin@r1"], context=context) as spawn:
        router = GenericRouter(learn_hostname=True)
        router.go_to("any", spawn, context=context)      # find out where the device is
        router.go_to("config", spawn, context=context)   # disable -> enable -> config

The context fields it uses: ``enable_password`` (asked by ``enable``) and
``interface`` (the interface that the config -> config_if path enters;
``Loopback0`` when absent).
"""
from typing import Any, Mapping, Optional

from tessel.eal.dialogs import Dialog, Statement
from tessel.platforms.base import ConnectCommand, Pager
from tessel.statemachine.statemachine import State, StateMachine

#: Prompt patterns. ``^`` and ``$`` match at line boundaries when the engines
#: search the output; ``\s*`` allows for a blank after the prompt.
DISABLE_PROMPT = r"^%N>\s*$"
ENABLE_PROMPT = r"^%N#\s*$"
CONFIG_PROMPT = r"^%N\(config\)#\s*$"
CONFIG_IF_PROMPT = r"^%N\(config-if\)#\s*$"

#: The interface entered by the config -> config_if path when the context names none.
DEFAULT_INTERFACE = "Loopback0"


def enter_interface(spawn: Any, context: Optional[Mapping[str, Any]] = None) -> None:
    """Path command config -> config_if: enters the context's interface.

    A command can be a callable when the text to send depends on the
    connection: it is called with the spawn handle and the context.
    """
    interface = (context or {}).get("interface") or DEFAULT_INTERFACE
    spawn.sendline("interface %s" % interface)


def password_dialog() -> Dialog:
    """What ``enable`` asks: the password, answered from the context's enable_password.

    ``loop_continue=True``: after answering, the engine keeps waiting for the
    prompt that tells whether the password was accepted.
    """
    return Dialog([
        Statement(pattern=r"[Pp]assword:\s*$", action="{enable_password}", loop_continue=True),
    ])


class GenericRouter(StateMachine):
    """A router command line: disable (R1>), enable (R1#), config (R1(config)#), config_if."""

    #: Paging off right after login, so long output comes in one piece.
    connect_commands = (ConnectCommand("disable", "terminal length 0"),)
    #: What the device shows between pages when paging is on.
    pager = Pager(expect=r"--More--", send=" ")
    #: Lines that mark a command as refused.
    failure_patterns = (r"^% ?Invalid input", r"^% ?Incomplete command", r"^% ?Ambiguous command",
                        r"^% ?Unknown command")
    config_state = "config"

    def create(self) -> None:
        # States. With hostname learning ``%N#`` also matches ``R1(config)#``:
        # the engines then pick the state whose pattern explains more of the
        # prompt, but detect_state takes the first registered state that
        # matches, so the longer prompts are registered before enable.
        disable = State("disable", DISABLE_PROMPT)
        config_if = State("config_if", CONFIG_IF_PROMPT)
        config = State("config", CONFIG_PROMPT)
        enable = State("enable", ENABLE_PROMPT)
        for state in (disable, config_if, config, enable):
            self.add_state(state)

        # Paths: one command per neighbouring pair, both ways where the
        # device allows it. Routes over several hops are found by the machine.
        self.create_path(disable, enable, "enable", password_dialog())
        self.create_path(enable, disable, "disable")
        self.create_path(enable, config, "configure terminal")
        self.create_path(config, enable, "end")
        self.create_path(config, config_if, enter_interface)
        self.create_path(config_if, config, "exit")
        self.create_path(config_if, enable, "end")

        # Default statements: questions that may come up during any state
        # change, answered so the change can go on.
        self.add_default_statements([
            Statement(pattern=r"\[confirm\]\s*$", action=lambda spawn: spawn.sendline(),
                      loop_continue=True, continue_timer=False),
            Statement(pattern=r"Press RETURN to get started", action=lambda spawn: spawn.sendline(),
                      loop_continue=True),
        ])
