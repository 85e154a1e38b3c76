"""Small helpers shared across tessel."""
import re
from typing import Any, Dict

#: Names of context fields whose values are secrets, to be masked in logs and messages.
SECRET_KEY = re.compile(r"pass|secret|community|token", re.IGNORECASE)


def is_secret_key(name: Any) -> bool:
    """True for a context field name such as 'password' or 'enable_secret'."""
    return isinstance(name, str) and SECRET_KEY.search(name) is not None


class AttributeDict(Dict[str, Any]):
    """A dict whose keys can also be read and written as attributes."""

    def __getattr__(self, name: str) -> Any:
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name: str, value: Any) -> None:
        self[name] = value

    def __delattr__(self, name: str) -> None:
        try:
            del self[name]
        except KeyError:
            raise AttributeError(name) from None
