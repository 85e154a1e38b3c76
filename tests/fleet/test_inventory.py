"""Inventories: Nornir's simple inventory files resolved as Nornir does, filters, credentials."""
import textwrap

import pytest

from tessel.inventory import InventoryError, from_dicts, load, parse_filter

HOSTS = """
r1:
  hostname: 10.0.0.1
  groups: [edge, lab]
  data: {site: lon, role: leaf}
r2:
  port: 2222
  platform: own-platform
  groups: [lab, edge]
  connection_options:
    tessel: {username: conn-user, extras: {transport: telnet}}
r3:
  groups: [core]
  data: {site: par, tags: [a, b], nested: {rack: 4}, managed: false}
  connection_options:
    tessel: {platform: from-options}
r4: {}
"""
GROUPS = """
base:
  username: base-user
  data: {role: base-role, tier: 1}
  connection_options:
    tessel: {port: 2200, extras: {transport: command, command: [sim]}}
edge:
  groups: [base]
  password: edge-pass
  data: {role: edge-role}
lab:
  platform: lab-platform
  username: lab-user
  port: 2300
  connection_options:
    tessel: {password: lab-options-pass, hostname: lab-host}
core:
  groups: [edge]
  data: {tier: 0}
"""
DEFAULTS = """
platform: generic
username: default-user
password: default-pass
data: {site: default-site, owner: noc}
connection_options:
  tessel: {username: default-options-user}
"""


@pytest.fixture
def inventory_dir(tmp_path):
    for name, text in (("hosts.yaml", HOSTS), ("groups.yaml", GROUPS),
                       ("defaults.yaml", DEFAULTS)):
        (tmp_path / name).write_text(textwrap.dedent(text))
    return tmp_path


def test_every_attribute_resolves_as_nornir_resolves_it(inventory_dir):
    nornir_simple = pytest.importorskip("nornir.plugins.inventory.simple")
    theirs = nornir_simple.SimpleInventory(
        str(inventory_dir / "hosts.yaml"), str(inventory_dir / "groups.yaml"),
        str(inventory_dir / "defaults.yaml")).load()
    ours = load(inventory_dir)
    assert list(ours.hosts) == list(theirs.hosts)
    for name, expected in theirs.hosts.items():
        host = ours[name]
        for attribute in ("hostname", "port", "username", "password", "platform"):
            assert getattr(host, attribute) == getattr(expected, attribute), (name, attribute)
        assert host.data == expected.extended_data(), name
        assert host.all_groups == [g.name for g in expected.extended_groups()], name
        params = host.connection_parameters("tessel")
        reference = expected.get_connection_parameters("tessel")
        for attribute in ("hostname", "port", "username", "password", "platform", "extras"):
            assert getattr(params, attribute) == getattr(reference, attribute), (name, attribute)


@pytest.mark.parametrize("where", ["dir", "hosts-file", "nornir-config"])
def test_inventory_is_found_from_a_directory_a_hosts_file_or_a_nornir_config(
        inventory_dir, tmp_path_factory, monkeypatch, where):
    if where == "dir":
        path = inventory_dir
    elif where == "hosts-file":
        path = inventory_dir / "hosts.yaml"
    else:
        other = tmp_path_factory.mktemp("elsewhere")
        monkeypatch.chdir(inventory_dir)
        path = other / "config.yaml"
        path.write_text("inventory:\n  plugin: SimpleInventory\n  options:\n"
                        "    host_file: hosts.yaml\n    group_file: groups.yaml\n")
    inventory = load(path)
    assert [h.name for h in inventory] == ["r1", "r2", "r3", "r4"]
    assert inventory["r1"].password == "edge-pass"
    # The config above names no defaults file: Nornir's default name, from the current directory.
    assert inventory["r4"].platform == "generic"


@pytest.mark.parametrize("expression, selected", [
    ("name=r1", ["r1"]),
    ("name=r1,r3", ["r1", "r3"]),
    ("name=r*", ["r1", "r2", "r3", "r4"]),
    ("name!=r1,r2", ["r3", "r4"]),
    ("group=edge", ["r1", "r2", "r3"]),          # r3 through core -> edge
    ("group=base", ["r1", "r2", "r3"]),
    ("group!=lab", ["r3", "r4"]),
    ("data.site=lon", ["r1"]),
    ("data.site=default-site", ["r2", "r4"]),    # inherited from the defaults
    ("data.role=edge-role", ["r2", "r3"]),
    ("data.tags=b", ["r3"]),                     # any element of a list
    ("data.nested.rack=4", ["r3"]),
    ("data.managed=false", ["r3"]),
    ("data.missing=x", []),
    ("data.missing!=x", ["r1", "r2", "r3", "r4"]),
    ("platform=own-*", ["r2"]),
    ("hostname=10.0.0.*", ["r1"]),
    ("group=lab data.site!=lon", ["r2"]),
])
def test_filter_selects_hosts(inventory_dir, expression, selected):
    assert [h.name for h in load(inventory_dir).filter(expression)] == selected


def test_filter_keywords_compare_data_fields_exactly(inventory_dir):
    inventory = load(inventory_dir)
    assert [h.name for h in inventory.filter(site="lon")] == ["r1"]
    assert [h.name for h in inventory.filter(site="l*")] == []
    assert [h.name for h in inventory.filter(["group=edge", "name!=r1"], tier=0)] == ["r3"]


@pytest.mark.parametrize("expression, message", [
    ("", "empty filter"),
    ("group", "not FIELD=VALUE"),
    ("colour=red", "unknown filter field 'colour'"),
    ("name=r1,", "empty value"),
    ("data.=x", "unknown filter field"),
])
def test_bad_filter_is_one_clear_error(expression, message):
    with pytest.raises(InventoryError, match=message):
        parse_filter(expression)


@pytest.mark.parametrize("hosts, groups, message", [
    ({"r1": {"groups": ["nope"]}}, {}, "r1 names the unknown group 'nope'"),
    ({"r1": {"groups": "edge"}}, {"edge": {}}, "groups must be a list"),
    ({"r1": {"groups": ["a"]}}, {"a": {"groups": ["b"]}, "b": {"groups": ["a"]}},
     "its own parent"),
    ({"r1": {"port": "ssh"}}, {}, "port must be a number"),
    ({"r1": {"port": 70000}}, {}, "out of range"),
    ({"r1": ["not", "a", "mapping"]}, {}, "must be a mapping"),
    ({"r1": {"data": [1]}}, {}, "data must be a mapping"),
    ({"r1": {"connection_options": {"tessel": {"extras": [1]}}}}, {}, "extras must be a mapping"),
])
def test_malformed_inventory_is_one_clear_error(hosts, groups, message):
    with pytest.raises(InventoryError, match=message):
        from_dicts(hosts, groups)


@pytest.mark.parametrize("text, message", [
    ("r1: [unclosed", "not valid YAML"),
    ("- r1\n- r2\n", "must hold a mapping"),
])
def test_unreadable_hosts_file_names_the_file(tmp_path, text, message):
    (tmp_path / "hosts.yaml").write_text(text)
    with pytest.raises(InventoryError, match=message) as caught:
        load(tmp_path)
    assert "hosts.yaml" in str(caught.value)


def test_unknown_keys_are_kept_as_warnings_not_errors():
    inventory = from_dicts({"r1": {"hostnmae": "x", "connection_options": {
        "tessel": {"extra": {}}}}})
    assert any("'hostnmae'" in w for w in inventory.warnings)
    assert any("'extra'" in w for w in inventory.warnings)


@pytest.mark.parametrize("host, defaults, expected", [
    ({}, {}, ("env-user", "env-pass")),
    ({"username": "u", "password": "p"}, {}, ("u", "p")),
    ({"connection_options": {"tessel": {"username": "cu", "password": "cp"}}}, {}, ("cu", "cp")),
    ({"password": "p"}, {}, ("env-user", "p")),
    ({}, {"password": "d"}, ("env-user", "d")),
])
def test_environment_fills_only_unset_credentials(host, defaults, expected):
    inventory = from_dicts({"r": host}, {}, defaults).with_environment(
        {"TESSEL_USERNAME": "env-user", "TESSEL_PASSWORD": "env-pass"})
    params = inventory["r"].connection_parameters()
    assert (params.username, params.password) == expected


def test_secrets_from_the_environment_join_the_inventory_secrets():
    inventory = from_dicts({"r1": {"connection_options": {"tessel": {"extras": {
        "secrets": {"enable_password": "from-file"}}}}}, "r2": {}}).with_environment(
        {"TESSEL_SECRET_ENABLE_PASSWORD": "from-env", "TESSEL_SECRET_TOKEN": "t"})
    assert inventory["r1"].connection_parameters().extras["secrets"] == {
        "enable_password": "from-file", "token": "t"}
    assert inventory["r2"].connection_parameters().extras["secrets"] == {
        "enable_password": "from-env", "token": "t"}
    assert sorted(inventory["r2"].secret_values()) == ["from-env", "t"]


def test_password_stays_out_of_the_host_repr(inventory_dir):
    assert "edge-pass" not in repr(load(inventory_dir)["r1"])


def test_credentials_in_yaml_are_read_as_written(tmp_path):
    (tmp_path / "hosts.yaml").write_text(textwrap.dedent("""
        r1:
          username: yes
          password: 0123
          port: 0x16
          data: {serial: 0123}
          connection_options:
            tessel:
              extras: {secrets: {enable_password: 1.50, token: 2001-01-01}, timeout: 5}
        r2: {password: 1234, groups: [lab]}
        """))
    (tmp_path / "groups.yaml").write_text("lab: {username: 007}\n")
    inventory = load(tmp_path)
    params = inventory["r1"].connection_parameters()
    assert (params.username, params.password, params.port) == ("yes", "0123", 22)
    assert params.extras == {"secrets": {"enable_password": "1.50", "token": "2001-01-01"},
                             "timeout": 5}
    assert inventory["r1"].data == {"serial": 83}  # data stays as YAML reads it
    assert (inventory["r2"].username, inventory["r2"].password) == ("007", "1234")
