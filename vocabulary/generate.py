#!/usr/bin/env python3
"""Writes the vocabulary tables for C++ and Python from vocabulary.json.

usage: generate.py vocabulary.json --cpp OUT.inc | --python OUT.py
"""
import json
import sys


def cpp_string(text):
    return json.dumps(text)  # a JSON string is a valid C++ string literal here


def write_cpp(v, out):
    pol = {"H": "kH", "V": "kV", "": "kAll"}
    lines = ["// Generated from vocabulary/vocabulary.json; do not edit.", ""]
    lines.append("const Quantity kQuantities[] = {")
    for q in v["quantities"]:
        lines.append("    {%s, pb::%s, %s, pb::%s, %s}," % (
            cpp_string(q["name"]), q["type"], pol[q["pol"]], q["unit"],
            cpp_string(q["standard_name"])))
    lines += ["};", "", "const Alias kAliases[] = {"]
    for standard_name, quantity in v["standard_name_aliases"]:
        lines.append("    {%s, %s}," % (cpp_string(standard_name), cpp_string(quantity)))
    lines += ["};", "", "const UnitName kUnits[] = {"]
    for u in v["units"]:
        for text in [u["text"]] + u.get("also", []):
            lines.append("    {pb::%s, %s}," % (u["unit"], cpp_string(text)))
    lines += ["};", "", "const ModeName kSweepModes[] = {"]
    for m in v["sweep_modes"]:
        for text in [m["text"]] + m.get("also", []):
            lines.append("    {SweepConfig::%s, %s}," % (m["type"], cpp_string(text)))
    lines += ["};", "", "const NativeName kNativeNames[] = {"]
    for n in v["native_names"]:
        lines.append("    {%s, %s, %s}," % (cpp_string(n["format"]), cpp_string(n["name"]),
                                          cpp_string(n["quantity"])))
    # An empty array is not valid C++: end with a row no lookup matches.
    lines += ["    {\"\", \"\", \"\"},", "};", ""]
    out.write("\n".join(lines))


def write_python(v, out):
    out.write('"""The project\'s vocabulary, generated from vocabulary/vocabulary.json."""\n\n')
    tables = {
        "UNITS": {u["unit"]: u["text"] for u in v["units"]},
        "UNIT_SPELLINGS": {t: u["unit"] for u in v["units"] for t in [u["text"]] + u.get("also", [])
                           if t},
        "TYPE_SUFFIX_UNITS": [tuple(p) for p in v["type_suffix_units"]],
        "QUANTITIES": {q["name"]: q for q in v["quantities"]},
        "STANDARD_NAME_ALIASES": dict(v["standard_name_aliases"]),
        "SWEEP_MODES": {m["type"]: m["text"] for m in v["sweep_modes"]},
        "SWEEP_MODE_SPELLINGS": {t: m["type"] for m in v["sweep_modes"]
                                 for t in [m["text"]] + m.get("also", [])},
        "NATIVE_NAMES": {(n["format"], n["name"]): n["quantity"] for n in v["native_names"]},
    }
    for name, value in tables.items():
        out.write("%s = %r\n" % (name, value))


def main(argv):
    if len(argv) != 4 or argv[2] not in ("--cpp", "--python"):
        sys.exit(__doc__)
    with open(argv[1], encoding="utf-8") as f:
        vocabulary = json.load(f)
    with open(argv[3], "w", encoding="utf-8") as out:
        (write_cpp if argv[2] == "--cpp" else write_python)(vocabulary, out)


if __name__ == "__main__":
    main(sys.argv)
