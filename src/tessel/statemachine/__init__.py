"""The device state machine and its transition engines."""
