"""Plugins of the whole suite: tessel's own pytest plugin (installed, its pytest11 entry point
loads it; from a source checkout this line does), and pytester for the tests of that plugin."""
pytest_plugins = ["tessel.pytest_plugin", "pytester"]
