"""The brel-modbus command's entry point: says in one line what to install when the
command's own libraries (rich; tomli on 3.10) are missing, then hands over to cli.main."""

from __future__ import annotations

import sys
from collections.abc import Sequence

# The libraries that only the command imports: they come with the [cli] extra.
COMMAND_LIBRARIES = ("rich", "tomli")
INSTALL_HINT = "pip install 'brel_modbus[cli]'"
MISSING_STATUS = 3   # neither a Modbus failure (1) nor bad arguments (2)


def main(argv: Sequence[str] | None = None) -> int:
    try:
        from brel_modbus_tool.cli import main as cli_main
    except ModuleNotFoundError as exc:
        if (exc.name or "").split(".")[0] not in COMMAND_LIBRARIES:
            raise
        print(f"brel-modbus: the command needs {exc.name}, which is not installed: {INSTALL_HINT}",
              file=sys.stderr)
        return MISSING_STATUS
    return cli_main(argv)
