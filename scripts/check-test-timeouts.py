#!/usr/bin/env python3
"""check-test-timeouts.py CTEST BUILD_DIR MAX_SECONDS: every test of the
build folder has a time limit (TIMEOUT) above 0 and at most MAX_SECONDS,
so that a hang fails its test instead of holding up `make test`. Lists the
tests without one and exits 1 then. Standard library only."""
import json
import subprocess
import sys


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    ctest, build, most = sys.argv[1], sys.argv[2], float(sys.argv[3])
    out = subprocess.run([ctest, "-N", "--show-only=json-v1"], cwd=build, check=True,
                         capture_output=True, text=True).stdout
    tests = json.loads(out).get("tests", [])
    bad = []
    # gtest_discover_tests' stand-in for a test program not built yet
    # fails by itself; it is not a test.
    tests = [t for t in tests if not t["name"].endswith("_NOT_BUILT")]
    for t in tests:
        props = {p["name"]: p["value"] for p in t.get("properties", [])}
        limit = float(props.get("TIMEOUT", 0) or 0)
        if not 0 < limit <= most:
            bad.append(f"{t['name']} (TIMEOUT {props.get('TIMEOUT', 'not set')})")
    print(f"{len(tests)} tests, {len(bad)} without a time limit of at most {most:g} s")
    for b in bad:
        print("  " + b)
    sys.exit(1 if bad or not tests else 0)


main()
