"""Shared test configuration."""

import brel_modbus


def pytest_report_header(config):
    return f"brel_modbus from {brel_modbus.__file__}"
