#!/usr/bin/env python3
"""An independent property-list implementation for the cross-check test.

  crosscheck.py check FILE   reads FILE (written by us) and compares it with EXPECTED
  crosscheck.py write FILE   writes EXPECTED for us to read
"""
import datetime
import plistlib
import sys

EXPECTED = {
    "ascii": "plain",
    "unicode": "Gr\u00fc\u00dfe \u65e5\u672c \U0001F600 <&>",
    "int32": [2**31 - 1, -2**31, 2**31, -2**31 - 1],
    "int64": [2**63 - 1, -2**63],
    "zero": 0,
    "real": 2.5,
    "yes": True,
    "no": False,
    "data": bytes([0, 1, 0x7F, 0x80, 0xFF]) * 20,
    "date": datetime.datetime(2009, 2, 13, 23, 31, 30),
    "nested": {"inner": [{"deep": ["x", {}]}, []], "empty": {}},
}


def main():
    mode, path = sys.argv[1], sys.argv[2]
    if mode == "write":
        with open(path, "wb") as f:
            plistlib.dump(EXPECTED, f, fmt=plistlib.FMT_XML)
        return 0
    with open(path, "rb") as f:
        got = plistlib.load(f)
    if got != EXPECTED:
        for key in EXPECTED:
            if got.get(key) != EXPECTED[key]:
                print(f"mismatch at {key!r}: {got.get(key)!r} != {EXPECTED[key]!r}")
        print("keys:", sorted(got))
        return 1
    return 0


sys.exit(main())
