"""Process-control function blocks and process simulators.

Import the block modules directly, e.g. ``from ovelin.algorithm.pidcontrol import PID``.
"""
