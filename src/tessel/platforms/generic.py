"""The example platform, a small router with disable, enable, config and interface modes.

It is defined by the data file ``tessel/platforms/data/generic.yaml``, the
model to copy when writing a platform; this module gives it a class name that
can be imported and subclassed::

    from tessel.eal.spawn import Spawn
    from tessel.platforms.generic import GenericRouter
    from tessel.utils import AttributeDict

    context = AttributeDict(enable_password="lab")
    with Spawn(["python", "-m", "tessel.sim.router"], context=context) as spawn:
        router = GenericRouter(learn_hostname=True)
        router.go_to("any", spawn, context=context)      # find out where the device is
        router.go_to("config", spawn, context=context)   # disable -> enable -> config

The context fields it uses: ``enable_password`` (asked by ``enable``) and
``interface`` (the interface that the config -> config_if path enters;
``Loopback0`` when absent).
"""
import os

from tessel.platforms.datafile import DataPlatform, read_platform

#: The file that defines the platform.
DEFINITION_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data",
                               "generic.yaml")


class GenericRouter(DataPlatform):
    """A router command line: disable (R1>), enable (R1#), config (R1(config)#), config_if."""

    definition = read_platform(DEFINITION_FILE)
