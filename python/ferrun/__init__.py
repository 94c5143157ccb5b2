"""Command and monitor a linear motor actuator over Modbus RTU.

The SDK is one import away: ``from ferrun import Actuator, Bus, MotorMode`` gives every
public name of the compiled module ``_ferrun`` (which stays importable as it is for existing
programs). The package adds a launcher for the virtual actuator
(:func:`ferrun.virtual_actuator`) and the ``ferrun`` command.
"""

from _ferrun import *  # noqa: F401,F403
# "X as X": a typed package re-exports only what it says it does.
from ferrun.virtual import VirtualActuatorError as VirtualActuatorError
from ferrun.virtual import sim_binary as sim_binary
from ferrun.virtual import virtual_actuator as virtual_actuator
