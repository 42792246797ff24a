#!/usr/bin/env python3
"""Checks that schema_compare classifies each kind of schema change correctly."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import schema_compare  # noqa: E402

BASE = """\
# comment lines are ignored
file ray.proto
  package kyt.pb.common
  syntax proto3
  import uuid.proto
  option java_package: "com.quandel.larch.protobuf.common"
  message kyt.pb.common.Ray
    field index = 3 int32
    field ray_config_uuid = 6 kyt.pb.common.UUID oneof RayConfigReference
    field ray_config_index = 7 int32 oneof RayConfigReference
    field noise_dbm = 8 repeated double packed
    field thresholds = 9 map<string, float>
    message kyt.pb.common.Ray.Part
      field start = 1 double
    enum kyt.pb.common.Ray.Kind
      value UNKNOWN = 0
      value FIRST = 1
      value SECOND = 2
file uuid.proto
  package kyt.pb.common
  syntax proto3
  option java_package: "com.quandel.larch.protobuf.common"
  message kyt.pb.common.UUID
    field least_significant_bits = 1 sint64
  message kyt.pb.common.Identifier
    field name = 1 string
"""


def diff(*replacements):
    text = BASE
    for old, new in replacements:
        assert old in text, old
        text = text.replace(old, new, 1)
    return schema_compare.compare(schema_compare.Schema(BASE), schema_compare.Schema(text))


def lines(found):
    return [f"{kind}: {text}" for kind, text in found]


class SchemaCompareTest(unittest.TestCase):
    def test_identical_schemas_have_no_difference(self):
        self.assertEqual(diff(), [])
        self.assertEqual(diff(("# comment lines are ignored", "# another comment")), [])

    def test_field_changes_are_breaking(self):
        self.assertEqual(lines(diff(("index = 3", "index = 4"))),
                         ["breaking: kyt.pb.common.Ray.index: number 3 -> 4"])
        self.assertEqual(lines(diff(("field index = 3", "field ray_index = 3"))),
                         ["breaking: kyt.pb.common.Ray.index: renamed to ray_index (number 3)"])
        self.assertEqual(lines(diff(("index = 3 int32", "index = 3 int64"))),
                         ["breaking: kyt.pb.common.Ray.index: type int32 -> int64"])
        self.assertEqual(lines(diff(("index = 3 int32", "index = 3 repeated int32 packed"))),
                         ["breaking: kyt.pb.common.Ray.index: label singular -> repeated",
                          "breaking: kyt.pb.common.Ray.index: packing unpacked -> packed"])
        self.assertEqual(lines(diff(("8 repeated double packed", "8 repeated double"))),
                         ["breaking: kyt.pb.common.Ray.noise_dbm: packing packed -> unpacked"])
        self.assertEqual(lines(diff(("7 int32 oneof RayConfigReference", "7 int32"))),
                         ["breaking: kyt.pb.common.Ray.ray_config_index: "
                          "oneof RayConfigReference -> none"])
        self.assertEqual(lines(diff(("map<string, float>", "map<string, double>"))),
                         ["breaking: kyt.pb.common.Ray.thresholds: "
                          "type map<string, float> -> map<string, double>"])
        self.assertEqual(lines(diff(("    field index = 3 int32\n", ""))),
                         ["breaking: removed field kyt.pb.common.Ray.index = 3 int32"])
        self.assertEqual(
            lines(diff(("    field index = 3 int32\n", ""),
                       ("    field noise_dbm", "    field index = 3 int32\n    field noise_dbm"))),
            ["breaking: kyt.pb.common.Ray: field declaration order "
             "index, ray_config_uuid, ray_config_index, noise_dbm, thresholds -> "
             "ray_config_uuid, ray_config_index, index, noise_dbm, thresholds"])

    def test_enum_value_changes_are_breaking(self):
        self.assertEqual(lines(diff(("SECOND = 2", "SECOND = 3"))),
                         ["breaking: kyt.pb.common.Ray.Kind.SECOND: number 2 -> 3"])
        self.assertEqual(lines(diff(("value FIRST = 1", "value FIRTS = 1"))),
                         ["breaking: kyt.pb.common.Ray.Kind.FIRST: renamed to FIRTS (number 1)"])
        self.assertEqual(lines(diff(("      value SECOND = 2\n", ""))),
                         ["breaking: removed enum value kyt.pb.common.Ray.Kind.SECOND = 2"])

    def test_removals_and_file_changes_are_breaking(self):
        # A removed message is one line, not one per field or nested type.
        self.assertEqual(
            lines(diff(("    message kyt.pb.common.Ray.Part\n      field start = 1 double\n", ""))),
            ["breaking: removed message kyt.pb.common.Ray.Part (ray.proto)"])
        uuid_file = BASE[BASE.index("file uuid.proto"):]
        self.assertEqual(lines(diff((uuid_file, ""))),
                         ["breaking: removed file uuid.proto (kyt.pb.common.UUID, kyt.pb.common.Identifier)"])
        self.assertEqual(lines(diff(("  import uuid.proto\n", ""))),
                         ["breaking: ray.proto: removed import uuid.proto"])
        self.assertEqual(lines(diff(("common\"\n  message kyt.pb.common.Ray", "other\"\n"
                                     "  message kyt.pb.common.Ray"))),
                         ['breaking: ray.proto: removed option java_package: '
                          '"com.quandel.larch.protobuf.common"',
                          'breaking: ray.proto: added option java_package: '
                          '"com.quandel.larch.protobuf.other"'])
        moved = lines(diff(("    message kyt.pb.common.Ray.Part\n      field start = 1 double\n", ""),
                           ("field least_significant_bits = 1 sint64\n",
                            "field least_significant_bits = 1 sint64\n"
                            "  message kyt.pb.common.Ray.Part\n    field start = 1 double\n")))
        self.assertIn("breaking: kyt.pb.common.Ray.Part: moved from ray.proto to uuid.proto", moved)

    def test_additions_are_compatible(self):
        self.assertEqual(
            lines(diff(("    message kyt.pb.common.Ray.Part",
                        "    field gain_db = 12 double\n    message kyt.pb.common.Ray.Part"),
                       ("      value SECOND = 2\n", "      value SECOND = 2\n      value THIRD = 3\n"),
                       ("  import uuid.proto\n", "  import uuid.proto\n  import time.proto\n"))),
            ["compatible: ray.proto: added import time.proto",
             "compatible: added field kyt.pb.common.Ray.gain_db = 12 double",
             "compatible: added enum value kyt.pb.common.Ray.Kind.THIRD = 3"])
        self.assertEqual(
            lines(diff(("file uuid.proto", "file time.proto\n  package kyt.pb.common\n"
                        "  syntax proto3\n  message kyt.pb.common.TimeSpan\n"
                        "    message kyt.pb.common.TimeSpan.Inner\nfile uuid.proto"),
                       ("    field start = 1 double\n", "    field start = 1 double\n"
                        "    message kyt.pb.common.Ray.Extra\n"))),
            ["compatible: added file time.proto (kyt.pb.common.TimeSpan)",
             "compatible: added message kyt.pb.common.Ray.Extra (ray.proto)"])

    def test_other_differences_are_reported(self):
        identifier = "  message kyt.pb.common.Identifier\n    field name = 1 string\n"
        found = diff((identifier, ""), ("  message kyt.pb.common.UUID", identifier.rstrip("\n") +
                                         "\n  message kyt.pb.common.UUID"))
        self.assertEqual([kind for kind, _ in found], ["other"])

    def test_exit_status_tells_breaking_from_out_of_date(self):
        directory = os.path.dirname(os.path.abspath(__file__))
        base = os.path.join(directory, "..", "schema-baseline.txt")
        if not os.path.exists(base):
            self.skipTest("no baseline")
        with open(base, encoding="utf-8") as f:
            text = f.read()
        cases = [(text, 0), (text.replace("field index = 3 int32", "field index = 4 int32", 1), 1),
                 (text.replace("field index = 3 int32", "field index = 3 int32\n"
                               "    field extra_index = 99 int32", 1), 2),
                 ]
        for live, expected in cases:
            with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
                f.write(live)
            try:
                with open(os.devnull, "w") as sink:
                    saved, sys.stdout = sys.stdout, sink
                    try:
                        status = schema_compare.main(["schema_compare.py", base, f.name])
                    finally:
                        sys.stdout = saved
            finally:
                os.unlink(f.name)
            self.assertEqual(status, expected)


if __name__ == "__main__":
    unittest.main()
