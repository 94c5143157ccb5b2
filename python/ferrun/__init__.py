"""Command and monitor a linear motor actuator over Modbus RTU.

The compiled SDK lives in the extension module ``_ferrun``; this package adds a launcher for
the virtual actuator (:func:`ferrun.virtual_actuator`) and the ``ferrun`` command.
"""

from ferrun.virtual import VirtualActuatorError, sim_binary, virtual_actuator

__all__ = ["VirtualActuatorError", "sim_binary", "virtual_actuator"]
