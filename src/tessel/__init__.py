"""tessel: drive the command-line sessions of network devices."""
import logging

__version__ = "0.1.0"

logging.getLogger("tessel").addHandler(logging.NullHandler())
