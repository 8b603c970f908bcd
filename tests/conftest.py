"""Shared test configuration."""

import sys
from pathlib import Path

import brel_modbus

# The simulated slaves of the demo serve the end-to-end tests too.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))


def pytest_report_header(config):
    return f"brel_modbus from {brel_modbus.__file__}"
