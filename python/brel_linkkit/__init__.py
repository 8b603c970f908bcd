"""Serial channels for brel_modbus, opened through pyserial."""

from brel_linkkit.channel import SerialChannel, create_serial_instance

__all__ = ["SerialChannel", "create_serial_instance"]
