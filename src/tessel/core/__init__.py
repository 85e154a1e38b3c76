"""Core definitions shared by every part of tessel."""
