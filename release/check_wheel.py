"""Checks a repaired wheel before it is installed anywhere: its platform tag, its files
and its metadata. Usage: check_wheel.py WHEEL. Prints what it checked; exits non-zero
on the first thing missing."""

from __future__ import annotations

import re
import sys
import zipfile
from email.parser import Parser
from pathlib import Path

# Every file that the wheel must carry besides the extension module itself.
REQUIRED = ["brel_modbus.pyi", "brel_modbus-stubs/__init__.pyi", "brel_linkkit/__init__.py",
            "brel_linkkit/channel.py", "brel_linkkit/py.typed"]
OLDEST_GLIBC = (2, 28)   # the newest glibc that the wheel may ask for


def fail(message: str) -> None:
    print(f"check_wheel: {message}", file=sys.stderr)
    raise SystemExit(1)


def glibc_of(platform: str) -> tuple[int, int] | None:
    """The glibc version that a manylinux platform tag promises, or None for another tag."""
    if m := re.fullmatch(r"manylinux_(\d+)_(\d+)_\w+", platform):
        return int(m[1]), int(m[2])
    return {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}.get(platform.split("_")[0])


def main(path: Path, version: str | None = None) -> None:
    python_tag, abi_tag = path.stem.split("-")[-3:-1]
    if version is not None:
        expected = "cp" + version.replace(".", "")
        if (python_tag, abi_tag) != (expected, expected):
            fail(f"tags {python_tag}-{abi_tag}, not {expected}-{expected} (one wheel per CPython version)")
    platforms = path.stem.split("-")[-1].split(".")
    versions = [glibc_of(p) for p in platforms]
    if None in versions or min(v for v in versions if v) > OLDEST_GLIBC:
        fail(f"platform tags {platforms} are not all manylinux of glibc {OLDEST_GLIBC} or older")
    print(f"platform tags: {', '.join(platforms)}")

    with zipfile.ZipFile(path) as wheel:
        names = wheel.namelist()
        modules = [n for n in names if re.fullmatch(r"brel_modbus\.cpython-\d+-[\w-]+\.so", n)]
        if len(modules) != 1:
            fail(f"expected one extension module at the top level, found {modules}")
        if not modules[0].startswith(f"brel_modbus.cpython-{python_tag[2:]}-"):
            fail(f"{modules[0]} is not built for the wheel's {python_tag}")
        for name in REQUIRED:
            if name not in names:
                fail(f"{name} is missing")
        dist_info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
        if f"{dist_info}/licenses/LICENSE" not in names:
            fail("the licence file is missing from the metadata folder")
        metadata = Parser().parsestr(wheel.read(f"{dist_info}/METADATA").decode())
    print(f"files: {modules[0]}, {', '.join(REQUIRED)}, {dist_info}/licenses/LICENSE")

    for field in ("License-Expression", "Requires-Python", "Summary", "Keywords"):
        if not metadata.get(field):
            fail(f"metadata field {field} is empty")
    classifiers = metadata.get_all("Classifier") or []
    for needed in ("Programming Language :: Python :: 3.10", "Programming Language :: Python :: 3.13",
                   "Operating System :: POSIX :: Linux", "Typing :: Typed"):
        if needed not in classifiers:
            fail(f"classifier {needed!r} is missing")
    urls = metadata.get_all("Project-URL") or []
    if not urls:
        fail("no project URLs")
    description = metadata.get_payload()
    if metadata.get("Description-Content-Type") != "text/markdown" or not (isinstance(description, str)
                                                                           and description.strip()):
        fail("the long description is missing or not Markdown")
    print(f"metadata: licence {metadata['License-Expression']}, {len(classifiers)} classifiers, "
          f"{len(urls)} project URLs, requires Python {metadata['Requires-Python']}")


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        fail("usage: check_wheel.py WHEEL [VERSION]")
    main(Path(sys.argv[1]), sys.argv[2] if len(sys.argv) == 3 else None)
