"""Make the reference from the stub: docs/api.md, and src/modbus/member_texts.inc (the runtime docstrings).

The stub stubs/brel_modbus.pyi is the one source of the reference texts. This script reads it with
`ast` and writes:

- docs/api.md: one section per class, each member with its signature and docstring;
- src/modbus/member_texts.inc: the same docstrings as C++ strings (rows of the tables in
  src/modbus/member_docs.cpp), which the class builder gives to
  every member that has no docstring of its own in its member table (members whose docstring is
  fixed keep it: they are listed in KEPT below and left out), and the stub's annotations, shown
  only, for the members that came after the documented interface.

The documented interface fixes the module and its first classes as the interpreter sees them: the
module and ModbusStatic, SlaveException, Master and FixMaster have no docstring at run time, and
the annotations of their members and of ModbusTCPMaster's first members are exactly those of their
member tables. Those are listed in DOCUMENTED below: the stub's texts reach no class docstring and
no annotation of theirs (the stub and docs/api.md still document them in full).

Run `python tools/make_reference.py` after changing the stub; `--check` only reports whether both
files are current (exit 1 when not).
"""

from __future__ import annotations

import argparse
import ast
import re
import sys
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "stubs" / "brel_modbus.pyi"
API = ROOT / "docs" / "api.md"
MEMBER_TEXTS = ROOT / "src" / "modbus" / "member_texts.inc"

# Members whose runtime docstring is fixed: their member tables carry it, the stub may say more.
KEPT = {
    ("ModbusStatic", "decode_values"), ("ModbusStatic", "encode_values"),
    ("Master", "read_register"), ("Master", "read_registers"), ("Master", "read_input_register"),
    ("Master", "read_input_registers"), ("FixMaster", "read_registers"),
    ("ModbusTCPMaster", ""), ("TCPSlaveException", ""),
    ("Poller", ""), ("Poller", "add"), ("Poller", "plan"), ("Poller", "poll"), ("Poller", "run"),
}
# The classes whose runtime docstring is fixed as None (MODULE: the module's), and the members whose
# runtime annotations are fixed: the stub gives them neither (their member docstrings it does give).
DOCLESS = {"", "ModbusStatic", "SlaveException", "Master", "FixMaster"}
DOCUMENTED = {
    "ModbusStatic": {"split_register", "compound_register", "calculate_crc", "crc_is_right"},
    "SlaveException": {"__init__", "__str__", "__repr__"},
    "Master": {
        "__init__", "serial", "last_command_sent", "last_feedback_received", "last_command_sent_hex",
        "last_feedback_received_hex", "close", "__enter__", "__exit__", "timeout", "write_register",
        "write_registers", "send_write_register_request", "send_write_registers_request", "write_coil",
        "send_write_coil_request", "read_register", "read_registers", "read_input_register", "read_input_registers",
        "read_int16", "read_uint16", "write_int16", "write_uint16", "read_uint32", "read_int32", "read_float",
        "read_multi_uint32", "read_multi_int32", "read_multi_float", "write_int32", "write_uint32", "write_float",
        "write_multi_int32", "write_multi_uint32", "write_multi_float", "send_read_registers_request",
        "send_read_input_registers_request", "read_coil", "read_coils", "read_input_coils", "send_read_coils_request",
        "send_read_input_coils_request",
    },
    "FixMaster": {
        "__init__", "master", "serial", "last_command_sent", "last_feedback_received", "last_command_sent_hex",
        "last_feedback_received_hex", "station", "close", "__enter__", "__exit__", "timeout",
        "send_write_coil_request", "send_write_registers_request", "send_write_register_request",
        "send_read_coils_request", "send_read_registers_request", "write_register", "write_registers", "write_coil",
        "read_register", "read_registers", "read_coil", "read_coils", "read_int32", "read_uint32", "read_float",
        "write_int32", "write_uint32", "read_int16", "read_uint16", "write_int16", "write_uint16",
    },
    "ModbusTCPMaster": {
        "__init__", "socket", "close", "__enter__", "__exit__", "timeout", "station", "last_command_sent",
        "last_feedback_received", "last_command_sent_hex", "last_feedback_received_hex", "protocol",
        "construct_header", "construct_whole_query_command", "construct_read_registers_command",
        "construct_read_coils_command", "read_coils", "read_registers", "read_register",
        "construct_write_registers_command", "write_registers", "write_register", "construct_write_coil_command",
        "write_coil",
    },
}
# Members that are the same object as another member of their class: the runtime shows the docstring
# of the member they repeat.
ALIASES = {
    ("Master", "read_uint16"): "read_register", ("Master", "write_int16"): "write_register",
    ("Master", "write_uint16"): "write_register",
    ("ModbusTCPMaster", "read_uint16"): "read_register", ("ModbusTCPMaster", "write_int16"): "write_register",
    ("ModbusTCPMaster", "write_uint16"): "write_register",
    ("SlaveException", "__repr__"): "__str__",
    ("AsyncModbusTCPMaster", "read_uint16"): "read_register",
    ("AsyncModbusTCPMaster", "write_int16"): "write_register",
    ("AsyncModbusTCPMaster", "write_uint16"): "write_register", ("AsyncModbusTCPMaster", "aclose"): "close",
    ("AsyncMaster", "read_uint16"): "read_register", ("AsyncMaster", "write_int16"): "write_register",
    ("AsyncMaster", "write_uint16"): "write_register", ("AsyncMaster", "aclose"): "close",
}
# Private members: not in the stub, documented at run time only.
PRIVATE = {
    ("Master", "_Master__read_int32"): "Read one 32-bit value (sign 'i', 'I' or 'f') from two holding registers.",
    ("Master", "_Master__read_multi_int32"): "Read count 32-bit values (sign 'i', 'I' or 'f') in one request.",
    ("Master", "_Master__write_int32"): "Write one 32-bit value (sign 'i', 'I' or 'f') to two holding registers.",
    ("Master", "_Master__write_multi_int32"): "Write 32-bit values (sign 'i', 'I' or 'f') in one request.",
    ("Master", "_Master__send_read_xx_registers_request"): "Send a register read request with function code code.",
    ("Master", "_Master__read_xx_coils"): "Read count coils (code 1) or discrete inputs (code 2).",
    ("Master", "_Master__send_read_xx_coils_request"): "Send a coil (code 1) or discrete input (code 2) read request.",
    ("Master", "_Master__read"): "Read up to size bytes from the channel, waiting at most the time-out.",
    ("Master", "_Master__feedback_assistant"): "Read and check the answer of station of normal_msg_len bytes.",
    ("Master", "_Master__check_crc"): "Raise ValueError when message (an answer of station) has a CRC error.",
}
MODULE = ""   # the owner name of the module's docstring; "" as key is a class's own docstring
# A member whose stub docstring is only "As Class.member." has that member's text: the stub says
# it once, docs/api.md and the runtime give it whole on every class.
SAME_AS = re.compile(r"As ([A-Za-z_]\w*)\.([A-Za-z_]\w*)\.")


@dataclass
class Member:
    name: str
    signature: str
    doc: str | None
    kind: str   # "method", "static method", "property", "attribute"


@dataclass
class ClassDoc:
    name: str
    bases: list[str]
    doc: str | None
    members: list[Member] = field(default_factory=list)


def signature_of(node: ast.FunctionDef | ast.AsyncFunctionDef) -> str:
    args = ast.unparse(node.args)
    returns = f" -> {ast.unparse(node.returns)}" if node.returns else ""
    return f"{node.name}({args}){returns}"


def decorators(node: ast.FunctionDef | ast.AsyncFunctionDef) -> list[str]:
    return [ast.unparse(d) for d in node.decorator_list]


def body_members(body: list[ast.stmt]) -> list[Member]:
    members: list[Member] = []
    for index, node in enumerate(body):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):   # a coroutine member too
            marks = decorators(node)
            if any(m.endswith(".setter") for m in marks):
                continue
            kind = "property" if "property" in marks else "static method" if "staticmethod" in marks else "method"
            signature = signature_of(node)
            if kind == "property":
                signature = f"{node.name}: {ast.unparse(node.returns)}" if node.returns else node.name
            members.append(Member(node.name, signature, ast.get_docstring(node), kind))
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            following = body[index + 1] if index + 1 < len(body) else None
            doc = None
            if (isinstance(following, ast.Expr) and isinstance(following.value, ast.Constant)
                    and isinstance(following.value.value, str)):
                doc = following.value.value
            members.append(Member(node.target.id, f"{node.target.id}: {ast.unparse(node.annotation)}", doc,
                                  "attribute"))
    return members


def share_texts(classes: list[ClassDoc]) -> None:
    """Gives each member whose docstring is "As Class.member." the text of that member."""
    texts = {(cls.name, m.name): m.doc for cls in classes for m in cls.members}
    for cls in classes:
        for m in cls.members:
            same = SAME_AS.fullmatch(m.doc or "")
            if not same:
                continue
            text = texts.get((same[1], same[2]))
            if not text or SAME_AS.fullmatch(text):
                raise ValueError(f"{cls.name}.{m.name}: {same[1]}.{same[2]} has no text of its own")
            m.doc = text


def read_stub(path: Path = STUB) -> tuple[str | None, list[ClassDoc], list[Member]]:
    """The module docstring, the public classes and the public module-level names of the stub."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    classes = [ClassDoc(node.name, [ast.unparse(b) for b in node.bases], ast.get_docstring(node),
                        body_members(node.body))
               for node in tree.body if isinstance(node, ast.ClassDef) and not node.name.startswith("_")]
    share_texts(classes)
    names = [m for m in body_members(tree.body) if not m.name.startswith("_") or m.name == "__version__"]
    return ast.get_docstring(tree), classes, names


def markdown(doc: str) -> str:
    """A docstring as Markdown that keeps its lines: a line followed by another ends with a hard break."""
    lines = doc.split("\n")
    return "\n".join(line + "\\" if line and i + 1 < len(lines) and lines[i + 1] else line
                     for i, line in enumerate(lines))


def make_api(module_doc: str | None, classes: list[ClassDoc], names: list[Member]) -> str:
    out = ["# brel_modbus API reference", "",
           "<!-- Made by tools/make_reference.py from stubs/brel_modbus.pyi: edit the stub, then run the script. -->",
           ""]
    if module_doc:
        out += [markdown(module_doc), ""]
    out += ["Contents: " + ", ".join(f"[{c.name}](#{c.name.lower()})" for c in classes) + ", [module names]"
            "(#module-names).", ""]
    for cls in classes:
        bases = f"({', '.join(cls.bases)})" if cls.bases else ""
        out += [f"## {cls.name}", "", "```python", f"class {cls.name}{bases}", "```", ""]
        if cls.doc:
            out += [markdown(cls.doc), ""]
        for m in cls.members:
            out += [f"### {cls.name}.{m.name}", "", f"*{m.kind}*", "", "```python", m.signature, "```", ""]
            if m.doc:
                out += [markdown(m.doc), ""]
    out += ["## Module names", ""]
    for m in names:
        out += [f"### {m.name}", "", "```python", m.signature, "```", ""]
        if m.doc:
            out += [markdown(m.doc), ""]
    out += ["### array, struct", "", "The standard modules `array` and `struct`, as the module imports them.", "",
            "### create_serial_instance", "",
            "`brel_linkkit.create_serial_instance(port, baudrate, timeout, **kwargs)`, looked up by `Master` at each "
            "construction: replace `brel_modbus.create_serial_instance` to give masters another channel.", ""]
    return "\n".join(out).rstrip("\n") + "\n"


def runtime_docs(module_doc: str | None, classes: list[ClassDoc],
                 names: list[Member] = ()) -> list[tuple[str, str, str]]:
    """(owner, key, text) for every docstring the runtime takes from the stub: the module's
    functions' under the module's owner name."""
    rows = []
    if module_doc and MODULE not in DOCLESS:
        rows.append((MODULE, "", module_doc))
    rows += [(MODULE, m.name, m.doc) for m in names if m.kind == "method" and m.doc]
    for cls in classes:
        if cls.doc and (cls.name, "") not in KEPT and cls.name not in DOCLESS:
            rows.append((cls.name, "", cls.doc))
        for m in cls.members:
            key = (cls.name, m.name)
            if m.doc and m.kind != "attribute" and key not in KEPT and key not in ALIASES:
                rows.append((cls.name, m.name, m.doc))
    rows += [(owner, key, text) for (owner, key), text in PRIVATE.items()]
    return rows


def runtime_annotations(classes: list[ClassDoc], tree: ast.Module) -> list[tuple[str, str, str, str]]:
    """(owner, key, parameter, "~text") for every annotation of the stub's public members; "return" is the result.

    The members of DOCUMENTED are left out: their annotations are their member tables' only."""
    rows = []
    for node in tree.body:
        if not isinstance(node, ast.ClassDef) or node.name.startswith("_"):
            continue
        for f in node.body:
            if not isinstance(f, (ast.FunctionDef, ast.AsyncFunctionDef)) or f.name in DOCUMENTED.get(node.name, ()):
                continue
            for a in [*f.args.posonlyargs, *f.args.args, *f.args.kwonlyargs]:
                if a.annotation is not None and a.arg != "self":
                    rows.append((node.name, f.name, a.arg, "~" + ast.unparse(a.annotation)))
            if f.returns is not None and not any(ast.unparse(d).endswith(".setter") for d in f.decorator_list):
                rows.append((node.name, f.name, "return", "~" + ast.unparse(f.returns)))
    return rows


def c_string(text: str, indent: str) -> list[str]:
    """A C++ string literal, one source line per line of text."""
    lines = text.split("\n")
    out = []
    for i, line in enumerate(lines):
        piece = line.replace("\\", "\\\\").replace('"', '\\"') + ("\\n" if i < len(lines) - 1 else "")
        out.append(f'{indent}"{piece}"')
    return out


def make_member_texts(rows: list[tuple[str, str, str]], annotations: list[tuple[str, str, str, str]]) -> str:
    """The rows of the two tables in src/modbus/member_docs.cpp, which includes this file once for
    each: data only."""
    out = [
        "// The reference texts and shown-only annotations: rows of the two tables of member_docs.cpp.",
        "// Made by tools/make_reference.py from stubs/brel_modbus.pyi: edit the stub, then run the script.",
        "// clang-format off",
        "#if defined(BREL_REFERENCE_TEXTS)",
    ]
    for owner, key, text in rows:
        out.append(f'    {{"{owner}", "{key}",')
        out += c_string(text, "     ")
        out[-1] += "},"
    out.append("#elif defined(BREL_REFERENCE_ANNOTATIONS)")
    for owner, key, param, text in annotations:
        out.append(f'    {{"{owner}", "{key}", "{param}", "{text}"}},')
    out += ["#endif", "// clang-format on"]
    return "\n".join(out) + "\n"


def outputs() -> dict[Path, str]:
    module_doc, classes, names = read_stub()
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    return {API: make_api(module_doc, classes, names),
            MEMBER_TEXTS: make_member_texts(runtime_docs(module_doc, classes, names),
                                          runtime_annotations(classes, tree))}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="only report whether the files are current")
    args = parser.parse_args(argv)
    stale = [path for path, text in outputs().items()
             if not path.exists() or path.read_text(encoding="utf-8") != text]
    if args.check:
        for path in stale:
            print(f"{path.relative_to(ROOT)} is out of date: run python tools/make_reference.py", file=sys.stderr)
        return 1 if stale else 0
    for path, text in outputs().items():
        path.write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
