"""docs/ARCHITECTURE.md names only files that exist."""

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MAP = ROOT / "docs" / "ARCHITECTURE.md"
NAMED = re.compile(r"`([\w./*-]+\.(?:hpp|cpp|py|pyi|md|\*)|[\w./-]+/)`")


def named_files():
    return sorted(set(NAMED.findall(MAP.read_text(encoding="utf-8"))))


def exists(name):
    if "/" in name.rstrip("/"):
        return any(ROOT.glob(name)) if "*" in name else (ROOT / name).exists()
    # a bare name (or name.*) lives somewhere under src/
    return any(ROOT.joinpath("src").rglob(name.rstrip("/")))


def test_the_map_names_files():
    assert len(named_files()) > 20


def test_every_file_the_map_names_exists():
    missing = [name for name in named_files() if not exists(name)]
    assert missing == []
