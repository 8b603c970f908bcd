"""Serial channels for brel_modbus, opened through pyserial."""

from brel_linkkit.channel import SerialChannel, SerialEchoError, create_serial_instance

__all__ = ["SerialChannel", "SerialEchoError", "create_serial_instance"]
