"""Simulated devices for tests and demos."""
