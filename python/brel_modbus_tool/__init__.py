"""The brel-modbus console command."""
