"""Platforms: state machines of device families. generic is the example to copy."""
