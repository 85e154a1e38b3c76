"""The device access layer: dialogs and the pty device handle."""
