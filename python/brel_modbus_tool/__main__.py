"""``python -m brel_modbus_tool``: the brel-modbus command."""

from brel_modbus_tool.start import main

raise SystemExit(main())
