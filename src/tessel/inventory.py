"""Inventories of devices: Nornir's simple inventory files, credentials and host filters.

The files are read as Nornir's ``SimpleInventory`` reads them, so that the
same ``hosts.yaml``, ``groups.yaml`` and ``defaults.yaml`` serve Nornir and
``tessel run`` unchanged:

* a host or group has ``hostname``, ``port``, ``username``, ``password``,
  ``platform``, ``groups`` (names of parent groups), ``data`` (free fields)
  and ``connection_options`` (per connection name: the same five
  attributes and ``extras``); ``defaults.yaml`` has all of these but
  ``groups``;
* an attribute the host does not set comes from its groups, searched depth
  first in the order they are listed (a group before its own parents, each
  group once), then from the defaults;
* ``data`` is merged key by key in the same order;
* connection options are merged field by field: the host's own, then each
  of its groups as that group resolves them (its parents and the defaults
  included), then the defaults; an ``extras`` mapping is taken whole from
  the first place that sets it, and a field still unset falls back to the
  host's own attribute. The ``tessel`` options' extras are keyword
  arguments of ``tessel.connect``; those that name a connection parameter
  (``host``, ``port``, ``username``, ``password``, ``platform``) take its
  place (:func:`with_extras`).

A host whose ``hostname`` is unset anywhere is reached by its name.

Filters (``Inventory.filter``) select hosts by name, group, platform,
hostname or data field; :data:`FILTER_SYNTAX` documents the expression.
"""
import fnmatch
import functools
import os
import re
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import (Any, Callable, Dict, Iterable, Iterator, List, Mapping, Optional, Sequence,
                    Tuple, Union)

from tessel.core.errors import TesselError

#: The name under which tessel's own connection options are read (also the Nornir plugin name).
CONNECTION_NAME = "tessel"

#: Attributes that hosts inherit from their groups and the defaults.
ATTRIBUTES = ("hostname", "port", "username", "password", "platform")
_HOST_KEYS = frozenset(ATTRIBUTES + ("groups", "data", "connection_options"))
_DEFAULTS_KEYS = _HOST_KEYS - {"groups"}
_OPTION_KEYS = frozenset(ATTRIBUTES + ("extras",))

#: Environment variables that fill in credentials the inventory leaves unset.
USERNAME_VARIABLE = "TESSEL_USERNAME"
PASSWORD_VARIABLE = "TESSEL_PASSWORD"
#: Prefix of the variables that fill in secrets: TESSEL_SECRET_ENABLE_PASSWORD -> enable_password.
SECRET_VARIABLE_PREFIX = "TESSEL_SECRET_"

FILTER_SYNTAX = """\
A filter is one or more terms separated by blanks; a host is selected when
every term holds. Several --filter options add more terms.

  FIELD=VALUE[,VALUE...]    the field matches one of the values
  FIELD!=VALUE[,VALUE...]   the field matches none of them

FIELD is name, group (a group the host belongs to, also through a parent
group), platform, hostname, or data.KEY (a data field, inherited as Nornir
does; data.KEY.SUB looks into nested mappings). A VALUE may hold the
wildcards * ? [...]; names compare case-sensitively. A missing data field
matches no value. Booleans read as true/false, numbers as written.

Examples: "group=core"   "name=edge-*,lab-1 data.site!=london"   "data.role=spine"
"""


class InventoryError(TesselError):
    """An inventory file is missing or malformed, or a filter expression is wrong."""


@dataclass
class ConnectionOptions:
    """The parameters of one connection kind (for tessel: those of ``tessel.connect``)."""

    hostname: Optional[str] = None
    port: Optional[int] = None
    username: Optional[str] = None
    password: Optional[str] = field(default=None, repr=False)
    platform: Optional[str] = None
    extras: Optional[Dict[str, Any]] = None


@dataclass
class Host:
    """One device, with every inherited attribute already resolved.

    ``groups`` are the groups the host names; ``all_groups`` adds their
    parents, in the order attributes are looked up. ``connection_options``
    holds the resolved options per connection name (see
    :meth:`connection_parameters` for the values a connection uses).
    """

    name: str
    hostname: Optional[str] = None
    port: Optional[int] = None
    username: Optional[str] = None
    password: Optional[str] = field(default=None, repr=False)
    platform: Optional[str] = None
    groups: List[str] = field(default_factory=list)
    all_groups: List[str] = field(default_factory=list)
    data: Dict[str, Any] = field(default_factory=dict)
    connection_options: Dict[str, ConnectionOptions] = field(default_factory=dict, repr=False)

    @property
    def address(self) -> str:
        """What to connect to: the hostname, or the name when no hostname is set."""
        return self.hostname or self.name

    def connection_parameters(self, connection: str = CONNECTION_NAME) -> ConnectionOptions:
        """The options of ``connection``, each unset field taken from the host itself.

        For tessel's own connection, the keywords of ``tessel.connect`` in the
        extras that name a connection parameter take its place (see
        :func:`with_extras`).
        """
        options = self.connection_options.get(connection) or ConnectionOptions()
        params = ConnectionOptions(
            hostname=options.hostname if options.hostname is not None else self.hostname,
            port=options.port if options.port is not None else self.port,
            username=options.username if options.username is not None else self.username,
            password=options.password if options.password is not None else self.password,
            platform=options.platform if options.platform is not None else self.platform,
            extras=dict(options.extras or {}),
        )
        return with_extras(params) if connection == CONNECTION_NAME else params

    def secret_values(self) -> List[str]:
        """Every secret this host's connection uses: its password and its secrets' values
        (as texts; values that are neither text nor whole numbers are never sent)."""
        params = self.connection_parameters()
        secrets = (params.extras or {}).get("secrets") or {}
        found = [params.password] + (list(secrets.values()) if isinstance(secrets, Mapping)
                                     else [])
        return [str(v) for v in found if isinstance(v, (str, int)) and not isinstance(v, bool)
                and v != ""]

    def belongs_to(self, group: str) -> bool:
        return group in self.all_groups


#: Keywords of ``tessel.connect`` that are also connection parameters, with the parameter each
#: sets (``host`` is the address; the keyword ``hostname`` is the device's prompt hostname).
CONNECT_PARAMETERS = {"host": "hostname", "port": "port", "username": "username",
                      "password": "password", "platform": "platform"}


def with_extras(options: ConnectionOptions) -> ConnectionOptions:
    """``options`` where the extras' keywords that name a connection parameter (``host``,
    ``port``, ``username``, ``password``, ``platform``) are moved into it, in place of the
    parameter's value: the extras are applied last, as Nornir's connection plugins apply
    theirs. A keyword set to null leaves the parameter as it is."""
    extras = dict(options.extras or {})
    moved = {field: extras.pop(key) for key, field in CONNECT_PARAMETERS.items() if key in extras}
    return replace(options, extras=extras,
                   **{field: value for field, value in moved.items() if value is not None})


class Inventory:
    """Hosts in the order of the hosts file, with the groups and defaults they came from."""

    def __init__(self, hosts: Iterable[Host], groups: Optional[Mapping[str, Any]] = None,
                 defaults: Optional[Mapping[str, Any]] = None,
                 warnings: Sequence[str] = ()) -> None:
        self.hosts: Dict[str, Host] = {}
        for host in hosts:
            self.hosts[host.name] = host
        self.groups: Dict[str, Any] = dict(groups or {})
        self.defaults: Dict[str, Any] = dict(defaults or {})
        #: Things in the files that were ignored (unknown keys), one line each.
        self.warnings: List[str] = list(warnings)

    def __len__(self) -> int:
        return len(self.hosts)

    def __iter__(self) -> Iterator[Host]:
        return iter(self.hosts.values())

    def __getitem__(self, name: str) -> Host:
        return self.hosts[name]

    def __contains__(self, name: object) -> bool:
        return name in self.hosts

    def __repr__(self) -> str:
        return "Inventory(%d hosts)" % len(self.hosts)

    def _with(self, hosts: Iterable[Host]) -> "Inventory":
        return Inventory(hosts, self.groups, self.defaults, self.warnings)

    def filter(self, expression: Union[str, Sequence[str], Callable[[Host], bool], None] = None,
               **fields: Any) -> "Inventory":
        """The hosts that match: a filter expression (or several), a predicate, or fields.

        ``inventory.filter("group=core data.site=lon*")``,
        ``inventory.filter(lambda h: h.port == 22)``, ``inventory.filter(site="lon")``
        (keyword arguments compare data fields, as Nornir's ``F`` does, plus
        ``name``, ``group``, ``platform`` and ``hostname``).
        """
        predicates: List[Callable[[Host], bool]] = []
        if callable(expression):
            predicates.append(expression)
        elif isinstance(expression, str):
            predicates.append(parse_filter(expression))
        elif expression is not None:
            predicates.extend(parse_filter(e) for e in expression)
        for key, value in fields.items():
            target = key if key in _FILTER_FIELDS else "data." + key
            predicates.append(_term(target, False, [_as_text(value)], glob=False))
        return self._with(h for h in self if all(p(h) for p in predicates))

    def with_credentials(self, username: Optional[str] = None, password: Optional[str] = None,
                         secrets: Optional[Mapping[str, str]] = None) -> "Inventory":
        """A copy where these fill in what the inventory leaves unset for the tessel connection.

        A value the files give (on the host, a group, the defaults or their
        ``connection_options``) is kept.
        """
        return self._with(_fill_credentials(h, username, password, secrets or {}) for h in self)

    def with_environment(self, environ: Optional[Mapping[str, str]] = None) -> "Inventory":
        """Fills in credentials from TESSEL_USERNAME, TESSEL_PASSWORD and TESSEL_SECRET_<KEY>."""
        return self.with_credentials(*environment_credentials(environ))


def environment_credentials(environ: Optional[Mapping[str, str]] = None
                            ) -> Tuple[Optional[str], Optional[str], Dict[str, str]]:
    """The username, password and secrets that TESSEL_USERNAME, TESSEL_PASSWORD and
    TESSEL_SECRET_<KEY> give (an empty variable gives nothing); secrets by lower-case key."""
    env = os.environ if environ is None else environ
    secrets = {k[len(SECRET_VARIABLE_PREFIX):].lower(): v for k, v in env.items()
               if k.startswith(SECRET_VARIABLE_PREFIX) and len(k) > len(SECRET_VARIABLE_PREFIX)
               and v}
    return env.get(USERNAME_VARIABLE) or None, env.get(PASSWORD_VARIABLE) or None, secrets


# -- reading the files ---------------------------------------------------------------------

HOSTS_FILE, GROUPS_FILE, DEFAULTS_FILE = "hosts.yaml", "groups.yaml", "defaults.yaml"


def load(path: Union[str, "os.PathLike[str]"], group_file: Optional[str] = None,
         defaults_file: Optional[str] = None) -> Inventory:
    """Reads an inventory.

    ``path`` is a directory holding ``hosts.yaml`` (and optionally
    ``groups.yaml`` and ``defaults.yaml``), a hosts file (the other two are
    looked for beside it), or a Nornir configuration file whose
    ``inventory.options`` name the three files (relative paths taken from
    the current directory, as Nornir does). Missing group and defaults
    files are empty, as in Nornir.
    """
    where = Path(path).expanduser()
    if where.is_dir():
        host_path = where / HOSTS_FILE
        groups_path = where / GROUPS_FILE
        defaults_path = where / DEFAULTS_FILE
    elif where.is_file():
        top = _read_yaml(where)
        if isinstance(top, dict) and isinstance(top.get("inventory"), dict):
            options = top["inventory"].get("options") or {}
            host_path = Path(options.get("host_file", HOSTS_FILE)).expanduser()
            groups_path = Path(options.get("group_file", GROUPS_FILE)).expanduser()
            defaults_path = Path(options.get("defaults_file", DEFAULTS_FILE)).expanduser()
        else:
            host_path = where
            groups_path = where.parent / GROUPS_FILE
            defaults_path = where.parent / DEFAULTS_FILE
    else:
        raise InventoryError("no inventory at %s: give a directory with %s, or the hosts file"
                             % (where, HOSTS_FILE))
    if group_file is not None:
        groups_path = Path(group_file).expanduser()
    if defaults_file is not None:
        defaults_path = Path(defaults_file).expanduser()
    if not host_path.is_file():
        raise InventoryError("no hosts file at %s" % host_path)
    return from_dicts(
        _mapping(_read_yaml(host_path), host_path),
        _mapping(_read_yaml(groups_path), groups_path) if groups_path.is_file() else {},
        _mapping(_read_yaml(defaults_path), defaults_path) if defaults_path.is_file() else {},
        sources=(str(host_path), str(groups_path), str(defaults_path)))


def from_dicts(hosts: Mapping[str, Any], groups: Optional[Mapping[str, Any]] = None,
               defaults: Optional[Mapping[str, Any]] = None,
               sources: Tuple[str, str, str] = (HOSTS_FILE, GROUPS_FILE, DEFAULTS_FILE)
               ) -> Inventory:
    """An inventory from the contents of the three files, as mappings."""
    groups = dict(groups or {})
    defaults = dict(defaults or {})
    host_source, group_source, defaults_source = sources
    warnings: List[str] = []
    for name, entry in groups.items():
        _check_entry(entry, "group %s" % name, group_source, _HOST_KEYS, warnings)
    _check_entry(defaults, "defaults", defaults_source, _DEFAULTS_KEYS, warnings)
    for name, entry in hosts.items():
        _check_entry(entry, "host %s" % name, host_source, _HOST_KEYS, warnings)

    def parents(entry: Mapping[str, Any], where: str, source: str) -> List[str]:
        names = entry.get("groups") or []
        if not isinstance(names, list) or not all(isinstance(n, str) for n in names):
            raise InventoryError("%s: %s: groups must be a list of group names" % (source, where))
        for n in names:
            if n not in groups:
                raise InventoryError("%s: %s names the unknown group %r" % (source, where, n))
        return list(names)

    group_parents = {name: parents(entry or {}, "group %s" % name, group_source)
                     for name, entry in groups.items()}

    def extended(names: Sequence[str], seen: Tuple[str, ...]) -> List[str]:
        # Depth first, a group before its parents, each group once.
        order: List[str] = []
        for name in names:
            if name in seen:
                raise InventoryError("%s: group %s is its own parent (%s)"
                                     % (group_source, name, " -> ".join(seen + (name,))))
            if name not in order:
                order.append(name)
            for parent in extended(group_parents[name], seen + (name,)):
                if parent not in order:
                    order.append(parent)
        return order

    resolved = []
    for name, entry in hosts.items():
        entry = entry or {}
        own_groups = parents(entry, "host %s" % name, host_source)
        chain = [entry] + [groups[g] or {} for g in extended(own_groups, ())] + [defaults]
        host = Host(name=str(name), groups=own_groups, all_groups=extended(own_groups, ()))
        for attribute in ATTRIBUTES:
            setattr(host, attribute, _first(chain, attribute))
        host.port = _port(host.port, "host %s" % name, host_source)
        host.data = {}
        for element in chain:
            for key, value in (element.get("data") or {}).items():
                host.data.setdefault(key, value)
        host.connection_options = _connection_options(entry, own_groups, groups, group_parents,
                                                      defaults, "host %s" % name, host_source)
        resolved.append(host)
    return Inventory(resolved, groups, defaults, warnings)


def _connection_options(entry: Mapping[str, Any], own_groups: Sequence[str],
                        groups: Mapping[str, Any], group_parents: Mapping[str, List[str]],
                        defaults: Mapping[str, Any], where: str,
                        source: str) -> Dict[str, ConnectionOptions]:
    names = set((entry.get("connection_options") or {}).keys())
    names.update((defaults.get("connection_options") or {}).keys())
    for group in groups.values():
        names.update(((group or {}).get("connection_options") or {}).keys())
    result = {}
    for connection in sorted(names):
        merged = _merge_options(entry, own_groups, groups, group_parents, defaults, connection)
        merged.port = _port(merged.port, where, source)
        result[connection] = merged
    return result


def _merge_options(entry: Mapping[str, Any], own_groups: Sequence[str],
                   groups: Mapping[str, Any], group_parents: Mapping[str, List[str]],
                   defaults: Mapping[str, Any], connection: str) -> ConnectionOptions:
    # Field by field: the element's own options, then each of its groups as that group
    # resolves them (its parents and the defaults included), then the defaults. So a
    # field the defaults set wins over a group listed after the first one, as in Nornir.
    merged = _options((entry.get("connection_options") or {}).get(connection))
    for group in own_groups:
        _fill(merged, _merge_options(groups[group] or {}, group_parents[group], groups,
                                     group_parents, defaults, connection))
    _fill(merged, (defaults.get("connection_options") or {}).get(connection))
    return merged


def _options(raw: Any) -> ConnectionOptions:
    if raw is None:
        return ConnectionOptions()
    if isinstance(raw, ConnectionOptions):
        return replace(raw)
    if not isinstance(raw, Mapping):
        raise InventoryError("connection options must be a mapping, not %s" % type(raw).__name__)
    extras = raw.get("extras")
    if extras is not None and not isinstance(extras, Mapping):
        raise InventoryError("connection option extras must be a mapping")
    return ConnectionOptions(hostname=raw.get("hostname"), port=raw.get("port"),
                             username=raw.get("username"), password=raw.get("password"),
                             platform=raw.get("platform"),
                             extras=dict(extras) if extras is not None else None)


def _fill(target: ConnectionOptions, source: Any) -> None:
    options = _options(source)
    for name in ATTRIBUTES + ("extras",):
        if getattr(target, name) is None:
            setattr(target, name, getattr(options, name))


def _first(chain: Sequence[Mapping[str, Any]], attribute: str) -> Any:
    for element in chain:
        value = element.get(attribute)
        if value is not None:
            return value
    return None


def _port(value: Any, where: str, source: str) -> Optional[int]:
    if value is None:
        return None
    if isinstance(value, bool):
        raise InventoryError("%s: %s: port must be a number, not %r" % (source, where, value))
    try:
        port = int(value)
    except (TypeError, ValueError):
        raise InventoryError("%s: %s: port must be a number, not %r"
                             % (source, where, value)) from None
    if not 0 < port < 65536:
        raise InventoryError("%s: %s: port %d is out of range" % (source, where, port))
    return port


def _check_entry(entry: Any, where: str, source: str, allowed: frozenset,  # type: ignore[type-arg]
                 warnings: List[str]) -> None:
    if entry is None:
        return
    if not isinstance(entry, Mapping):
        raise InventoryError("%s: %s must be a mapping of attributes, not %s"
                             % (source, where, type(entry).__name__))
    for key in entry:
        if key not in allowed:
            warnings.append("%s: %s: unknown key %r ignored" % (source, where, key))
    data = entry.get("data")
    if data is not None and not isinstance(data, Mapping):
        raise InventoryError("%s: %s: data must be a mapping" % (source, where))
    options = entry.get("connection_options")
    if options is None:
        return
    if not isinstance(options, Mapping):
        raise InventoryError("%s: %s: connection_options must be a mapping" % (source, where))
    for connection, value in options.items():
        if value is None:
            continue
        if not isinstance(value, Mapping):
            raise InventoryError("%s: %s: connection_options.%s must be a mapping"
                                 % (source, where, connection))
        for key in value:
            if key not in _OPTION_KEYS:
                warnings.append("%s: %s: connection_options.%s: unknown key %r ignored"
                                % (source, where, connection, key))
        extras = value.get("extras")
        if extras is not None and not isinstance(extras, Mapping):
            raise InventoryError("%s: %s: connection_options.%s.extras must be a mapping"
                                 % (source, where, connection))


#: Keys whose plain YAML scalars are read as the text written (``password: 0123`` is "0123").
_TEXT_KEYS = frozenset({"username", "password"})
_TEXT_TAGS = frozenset("tag:yaml.org,2002:%s" % t for t in ("int", "float", "bool", "timestamp"))


@functools.lru_cache(maxsize=None)
def _loader() -> Any:
    """YAML's safe loader, but for credentials: a username, password or secret written as a
    plain number, date or yes/no is the text as written, not a value YAML made of it (0123
    would be the number 83, 1.50 the number 1.5, yes the value true)."""
    import yaml

    def as_text(node: Any) -> None:
        if isinstance(node, yaml.ScalarNode) and node.style is None and node.tag in _TEXT_TAGS:
            node.tag = "tag:yaml.org,2002:str"

    class Loader(yaml.SafeLoader):
        def construct_mapping(self, node: Any, deep: bool = False) -> Any:
            if isinstance(node, yaml.MappingNode):
                for key, value in node.value:
                    name = key.value if isinstance(key, yaml.ScalarNode) else None
                    if name in _TEXT_KEYS:
                        as_text(value)
                    elif name == "secrets" and isinstance(value, yaml.MappingNode):
                        for _, secret in value.value:
                            as_text(secret)
            return super().construct_mapping(node, deep)

    return Loader


def _read_yaml(path: Path) -> Any:
    import yaml

    try:
        with open(path, encoding="utf-8") as handle:
            return yaml.load(handle, Loader=_loader())
    except OSError as err:
        raise InventoryError("cannot read %s: %s" % (path, err.strerror or err)) from None
    except yaml.YAMLError as err:
        where = getattr(err, "problem_mark", None)
        line = " line %d" % (where.line + 1) if where is not None else ""
        problem = getattr(err, "problem", None) or str(err).split("\n")[0]
        raise InventoryError("%s:%s: not valid YAML: %s" % (path, line, problem)) from None


def _mapping(content: Any, path: Path) -> Dict[str, Any]:
    if content is None:
        return {}
    if not isinstance(content, dict):
        raise InventoryError("%s must hold a mapping of names to attributes, not %s"
                             % (path, type(content).__name__))
    return {str(k): v for k, v in content.items()}


# -- credentials ---------------------------------------------------------------------------

def _fill_credentials(host: Host, username: Optional[str], password: Optional[str],
                      secrets: Mapping[str, str]) -> Host:
    params = host.connection_parameters()
    options = replace(host.connection_options.get(CONNECTION_NAME) or ConnectionOptions())
    if params.username is None and username is not None:
        options.username = username
    if params.password is None and password is not None:
        options.password = password
    if secrets:
        extras = dict(options.extras or {})
        current = dict(extras.get("secrets") or {})
        for key, value in secrets.items():
            current.setdefault(key, value)
        extras["secrets"] = current
        options.extras = extras
    connection_options = dict(host.connection_options)
    connection_options[CONNECTION_NAME] = options
    return replace(host, connection_options=connection_options)


# -- filters -------------------------------------------------------------------------------

_FILTER_FIELDS = ("name", "group", "platform", "hostname")
_TERM = re.compile(r"^(?P<field>[A-Za-z_][\w.-]*)(?P<op>!=|=)(?P<values>.*)$", re.DOTALL)


def parse_filter(expression: str) -> Callable[[Host], bool]:
    """A predicate over hosts from a filter expression (see :data:`FILTER_SYNTAX`)."""
    terms = expression.split()
    if not terms:
        raise InventoryError("empty filter: give terms such as group=core or name=r1,r2")
    predicates = []
    for term in terms:
        match = _TERM.match(term)
        if match is None:
            raise InventoryError("filter term %r is not FIELD=VALUE or FIELD!=VALUE" % term)
        name = match.group("field")
        if name not in _FILTER_FIELDS and not (name.startswith("data.") and len(name) > 5):
            raise InventoryError("unknown filter field %r: use %s or data.KEY"
                                 % (name, ", ".join(_FILTER_FIELDS)))
        values = match.group("values").split(",")
        if not all(values):
            raise InventoryError("filter term %r has an empty value" % term)
        predicates.append(_term(name, match.group("op") == "!=", values, glob=True))

    def matches(host: Host) -> bool:
        return all(p(host) for p in predicates)

    return matches


def _term(name: str, negate: bool, values: Sequence[str], glob: bool) -> Callable[[Host], bool]:
    def same(text: str, value: str) -> bool:
        return fnmatch.fnmatchcase(text, value) if glob else text == value

    def matches(host: Host) -> bool:
        found = any(same(text, v) for text in _field_texts(host, name) for v in values)
        return found != negate

    return matches


def _field_texts(host: Host, name: str) -> List[str]:
    if name == "group":
        return list(host.all_groups)
    if name in ("name", "platform", "hostname"):
        attribute = getattr(host, name)
        return [] if attribute is None else [_as_text(attribute)]
    value: Any = host.data
    for key in name[len("data."):].split("."):
        if not isinstance(value, Mapping) or key not in value:
            return []
        value = value[key]
    if isinstance(value, (list, tuple, set)):
        return [_as_text(v) for v in value]
    return [] if value is None else [_as_text(value)]


def _as_text(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)
