#!/usr/bin/env python3
"""Compares the schema rendering of the built library with the committed baseline.

    schema_compare.py BASELINE LIVE
    schema_compare.py BASELINE --render PATH-TO-schema_render

Prints every difference, classified:

  breaking:   a field renamed or renumbered, or its type, label, oneof or packing
              changed; a field, message, enum, enum value, file or import removed;
              an enum value renumbered; a message moved to another file; a change
              of declaration order; any change of options, package or syntax.
  compatible: an added field, message, enum, enum value, file or import.

Exit status: 0 when the rendering equals the baseline, 1 when there is a
breaking difference, 2 when the baseline is only out of date (compatible
additions, or differences of order or rendering) and must be updated.
"""

import re
import subprocess
import sys

UPDATE_COMMAND = "cmake --build <build-dir> --target update-schema-baseline"


class Field:
    def __init__(self, line):
        match = re.match(r"field (\S+) = (-?\d+) (.*)$", line)
        if not match:
            raise ValueError("cannot read field line: " + line)
        self.name = match.group(1)
        self.number = int(match.group(2))
        rest = match.group(3)
        self.packed = False
        self.oneof = None
        if rest.startswith("map<"):
            end = rest.index(">")
            self.label, self.type = "map", rest[: end + 1]
            tokens = rest[end + 1 :].split()
        else:
            tokens = rest.split()
            self.label = "singular"
            if tokens[0] in ("repeated", "optional"):
                self.label = tokens.pop(0)
            self.type = tokens.pop(0)
        if tokens and tokens[0] == "packed":
            self.packed = True
            tokens.pop(0)
        if len(tokens) >= 2 and tokens[0] == "oneof":
            self.oneof = tokens[1]
            tokens = tokens[2:]
        self.extra = " ".join(tokens)
        self.text = line

    def describe(self):
        return self.text[len("field ") :]


class Message:
    def __init__(self, name, file, options):
        self.name, self.file, self.options = name, file, options
        self.fields = []
        self.other = []


class Enum:
    def __init__(self, name, file, options):
        self.name, self.file, self.options = name, file, options
        self.values = []  # (name, number, extra)
        self.other = []


class File:
    def __init__(self, name):
        self.name = name
        self.package = None
        self.syntax = None
        self.imports = []
        self.options = []
        self.types = []  # full names of the top-level messages and enums
        self.other = []


class Schema:
    def __init__(self, text):
        self.files, self.messages, self.enums = {}, {}, {}
        self.lines = [l.rstrip() for l in text.splitlines() if l.strip() and not l.startswith("#")]
        stack = []  # stack[depth] = the object declared at that indentation
        for line in self.lines:
            depth = (len(line) - len(line.lstrip(" "))) // 2
            body = line.strip()
            keyword, _, rest = body.partition(" ")
            del stack[depth:]
            parent = stack[-1] if stack else None
            if keyword == "file":
                obj = self.files[rest] = File(rest)
            elif keyword in ("message", "enum"):
                name, _, options = rest.partition(" ")
                file = parent if isinstance(parent, File) else self.files[parent.file]
                if keyword == "message":
                    obj = self.messages[name] = Message(name, file.name, options)
                else:
                    obj = self.enums[name] = Enum(name, file.name, options)
                if isinstance(parent, File):
                    parent.types.append(name)
            elif isinstance(parent, File):
                obj = None
                if keyword == "package":
                    parent.package = rest
                elif keyword == "syntax":
                    parent.syntax = rest
                elif keyword == "import":
                    parent.imports.append(rest)
                elif keyword == "option":
                    parent.options.append(rest)
                else:
                    parent.other.append(body)
            elif isinstance(parent, Message):
                obj = None
                if keyword == "field" and " extends " not in body:
                    parent.fields.append(Field(body))
                else:
                    parent.other.append(body)
            elif isinstance(parent, Enum):
                obj = None
                match = re.match(r"value (\S+) = (-?\d+)(.*)$", body)
                if match:
                    parent.values.append((match.group(1), int(match.group(2)), match.group(3)))
                else:
                    parent.other.append(body)
            else:
                raise ValueError("cannot place line: " + line)
            stack.append(obj)


def parent_name(full_name):
    return full_name.rsplit(".", 1)[0]


def compare_order(owner, kind, old_names, new_names, report):
    """Reports a changed relative order of the entries present on both sides."""
    common = set(old_names) & set(new_names)
    old_order = [n for n in old_names if n in common]
    new_order = [n for n in new_names if n in common]
    if old_order != new_order:
        report("breaking", f"{owner}: {kind} declaration order {', '.join(old_order)}"
               f" -> {', '.join(new_order)}")


def compare_lists(owner, kind, old, new, report, added_class="compatible"):
    for item in old:
        if item not in new:
            report("breaking", f"{owner}: removed {kind} {item}")
    for item in new:
        if item not in old:
            report(added_class, f"{owner}: added {kind} {item}")


def compare_fields(message, old_fields, new_fields, report):
    old_by_name = {f.name: f for f in old_fields}
    new_by_name = {f.name: f for f in new_fields}
    old_by_number = {f.number: f for f in old_fields if f.name not in new_by_name}
    new_by_number = {f.number: f for f in new_fields if f.name not in old_by_name}
    pairs = []  # (old, new) fields that are the same field
    renamed_to = {}
    for old in old_fields:
        new = new_by_name.get(old.name)
        if new is None and old.number in new_by_number:
            new = new_by_number[old.number]
            renamed_to[old.name] = new.name
            report("breaking", f"{message}.{old.name}: renamed to {new.name} (number {old.number})")
        if new is None:
            report("breaking", f"removed field {message}.{old.describe()}")
            continue
        pairs.append((old, new))
    for new in new_fields:
        if new.name not in old_by_name and new.number not in old_by_number:
            report("compatible", f"added field {message}.{new.describe()}")

    def show_label(f):
        return f.type if f.label == "map" else f.label

    for old, new in pairs:
        where = f"{message}.{old.name}"
        if old.number != new.number:
            report("breaking", f"{where}: number {old.number} -> {new.number}")
        if old.label != new.label:
            report("breaking", f"{where}: label {show_label(old)} -> {show_label(new)}")
        elif old.type != new.type:
            report("breaking", f"{where}: type {old.type} -> {new.type}")
        if old.packed != new.packed:
            packing = {True: "packed", False: "unpacked"}
            report("breaking", f"{where}: packing {packing[old.packed]} -> {packing[new.packed]}")
        if old.oneof != new.oneof:
            report("breaking", f"{where}: oneof {old.oneof or 'none'} -> {new.oneof or 'none'}")
        if old.extra != new.extra:
            report("breaking", f"{where}: attributes '{old.extra}' -> '{new.extra}'")
    compare_order(message, "field", [renamed_to.get(f.name, f.name) for f in old_fields],
                  [f.name for f in new_fields], report)


def compare_values(enum, old_values, new_values, report):
    old_by_name = {name: number for name, number, _ in old_values}
    new_by_name = {name: number for name, number, _ in new_values}
    new_unmatched = {number: name for name, number, _ in new_values if name not in old_by_name}
    old_unmatched = {number for name, number, _ in old_values if name not in new_by_name}
    renamed_to = {}
    for name, number, extra in old_values:
        if name in new_by_name:
            if new_by_name[name] != number:
                report("breaking", f"{enum}.{name}: number {number} -> {new_by_name[name]}")
            new_extra = next(e for n, _, e in new_values if n == name)
            if new_extra != extra:
                report("breaking", f"{enum}.{name}: options '{extra}' -> '{new_extra}'")
        elif number in new_unmatched:
            renamed_to[name] = new_unmatched[number]
            report("breaking", f"{enum}.{name}: renamed to {new_unmatched[number]} (number {number})")
        else:
            report("breaking", f"removed enum value {enum}.{name} = {number}")
    for name, number, _ in new_values:
        if name not in old_by_name and number not in old_unmatched:
            report("compatible", f"added enum value {enum}.{name} = {number}")
    compare_order(enum, "value", [renamed_to.get(n, n) for n, _, _ in old_values],
                  [n for n, _, _ in new_values], report)


def compare(old, new):
    """Returns the list of (class, text) differences between two schemas."""
    found = []

    def report(kind, text):
        found.append((kind, text))

    for name, file in old.files.items():
        if name not in new.files:
            report("breaking", f"removed file {name} ({', '.join(file.types)})")
    for name in new.files:
        if name not in old.files:
            report("compatible", f"added file {name} ({', '.join(new.files[name].types)})")
    for name, file in old.files.items():
        if name not in new.files:
            continue
        other = new.files[name]
        if file.package != other.package:
            report("breaking", f"{name}: package {file.package} -> {other.package}")
        if file.syntax != other.syntax:
            report("breaking", f"{name}: syntax {file.syntax} -> {other.syntax}")
        compare_lists(name, "import", file.imports, other.imports, report)
        compare_lists(name, "option", file.options, other.options, report, "breaking")
        compare_lists(name, "declaration", file.other, other.other, report)

    for kind, old_types, new_types in (("message", old.messages, new.messages),
                                       ("enum", old.enums, new.enums)):
        for name, item in old_types.items():
            if name not in new_types:
                # A type that left with its file or its enclosing message is
                # already reported.
                parent = parent_name(name)
                if item.file in new.files and not (parent in old.messages and
                                                   parent not in new.messages):
                    report("breaking", f"removed {kind} {name} ({item.file})")
                continue
            other = new_types[name]
            if item.file != other.file:
                report("breaking", f"{name}: moved from {item.file} to {other.file}")
            if item.options != other.options:
                report("breaking", f"{name}: options '{item.options}' -> '{other.options}'")
            compare_lists(name, "declaration", item.other, other.other, report)
            if kind == "message":
                compare_fields(name, item.fields, other.fields, report)
            else:
                compare_values(name, item.values, other.values, report)
        for name, item in new_types.items():
            if name in old_types:
                continue
            if other_is_new_container(name, item, old, new):
                continue
            report("compatible", f"added {kind} {name} ({item.file})")

    if not found and old.lines != new.lines:
        for index, (a, b) in enumerate(zip(old.lines + [""], new.lines + [""])):
            if a != b:
                report("other", f"line {index + 1} of the rendering: '{a.strip()}' -> '{b.strip()}'"
                       " (order or rendering changed)")
                break
    return found


def other_is_new_container(name, item, old, new):
    """True when a new type came with a new file or a new enclosing message."""
    if item.file not in old.files:
        return True
    parent = parent_name(name)
    return parent in new.messages and parent not in old.messages


def main(argv):
    if len(argv) == 3:
        baseline_path = argv[1]
        with open(argv[2], encoding="utf-8") as f:
            live_text = f.read()
    elif len(argv) == 4 and argv[2] == "--render":
        baseline_path = argv[1]
        live_text = subprocess.run([argv[3]], check=True, capture_output=True, text=True).stdout
    else:
        print(__doc__, file=sys.stderr)
        return 2
    with open(baseline_path, encoding="utf-8") as f:
        baseline = Schema(f.read())
    live = Schema(live_text)
    found = compare(baseline, live)
    for kind, text in found:
        print(f"{kind}: {text}")
    if not found:
        print(f"schema matches the baseline: {len(live.files)} files, {len(live.messages)} messages,"
              f" {len(live.enums)} enums")
        return 0
    if any(kind == "breaking" for kind, _ in found):
        print("\nThe schema breaks compatibility with the baseline: programs and stored data that "
              "use the released names and numbers would no longer read or write it correctly. "
              "Restore the schema. Only a deliberate break, released with a new major version "
              f"and SONAME, may update the baseline: {UPDATE_COMMAND}")
        return 1
    print("\nThe baseline is out of date (no breaking change). Record the new schema with "
          f"'{UPDATE_COMMAND}' and commit compat/schema-baseline.txt with the schema change.")
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
