#!/usr/bin/python3
"""Counts the tests of one CTest run, for the test command's summary.

Usage: test-results.py CTEST-LIST CTEST-JUNIT-FILE GTEST-RESULTS-FOLDER

A CTest run counts its entries, and one entry may be a whole GoogleTest binary whose skipped
tests CTest never sees. Each such entry (CMake's tarn_add_gtest: its command asks GoogleTest for
an XML file) leaves GTEST-RESULTS-FOLDER/ENTRY.xml; its tests are counted one by one. Any other
entry (a script) counts as one test, as CTest judged it.

CTEST-LIST is what `ctest --show-only=json-v1` wrote just before the run: it tells which
entries are GoogleTest entries, and its time when the run began. A GoogleTest entry counts as
one failure, whatever CTest judged, when it left no results file written since the list (it
ended part-way, even with exit code 0, or crashed, or hung; a file left from an earlier run is
not its own), or one that cannot be read, or one with no test in it (a filter that matched
nothing).

Prints "counts PASSED FAILED SKIPPED RETRIES" on the first line, then one line
"skipped: ENTRY TEST: REASON" for each test that did not run, then one line
"failed: ENTRY: REASON" for each GoogleTest entry counted as failed for want of its results.
RETRIES counts the process starts that the Windows-build tests tried again (each one recorded
as a "start_retry_N" property).
"""

import json
import os
import sys
import xml.etree.ElementTree as ET


def entry_verdicts(junit_file):
    """(name, verdict, reason) for each CTest entry; verdict is passed, failed or skipped."""
    for case in ET.parse(junit_file).getroot().iter("testcase"):
        name = case.get("name")
        status = case.get("status")
        if status == "run":
            yield name, "passed", ""
        elif status == "disabled":
            yield name, "skipped", "disabled"
        elif status == "notrun":
            # CTest counts a skip by return code or output as not run, but a program it could
            # not start as a failure.
            message = (case.find("skipped").get("message", "")
                       if case.find("skipped") is not None else "")
            if message.startswith("SKIP_"):
                yield name, "skipped", message
            else:
                yield name, "failed", message
        else:
            yield name, "failed", ""


def skip_reason(element):
    # GoogleTest writes "FILE:LINE", then the message given to GTEST_SKIP.
    lines = (element.get("message") or "").splitlines()[1:]
    reason = " ".join(line.strip() for line in lines if line.strip())
    return reason or "no reason given"


def gtest_entries(ctest_list):
    """The names of the entries whose command asks GoogleTest for its XML results."""
    with open(ctest_list) as listing:
        tests = json.load(listing).get("tests", [])
    return {test["name"] for test in tests
            if any("--gtest_output=xml:" in argument for argument in test.get("command", []))}


def count_cases(results_file):
    """(passed, failed, [(test, reason) skipped], retries) from one GoogleTest XML file."""
    root = ET.parse(results_file).getroot()
    passed, failed, skipped = 0, 0, []
    retries = sum(1 for prop in root.iter("property")
                  if (prop.get("name") or "").startswith("start_retry_"))
    for case in root.iter("testcase"):
        test = f"{case.get('classname')}.{case.get('name')}"
        if case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        elif case.get("result") == "skipped" or case.find("skipped") is not None:
            element = case.find("skipped")
            skipped.append((test, "no reason given" if element is None else skip_reason(element)))
        elif case.get("result") == "suppressed" or case.get("status") == "notrun":
            skipped.append((test, "disabled"))
        else:
            passed += 1
    return passed, failed, skipped, retries


def fresh_cases(results_file, run_began):
    """count_cases() of a results file this run wrote, or the reason there is none."""
    try:
        if os.stat(results_file).st_mtime_ns < run_began:
            return None, "left no results file of this run (the one there is older)"
        cases = count_cases(results_file)
    except FileNotFoundError:
        return None, "left no results file"
    except ET.ParseError:
        return None, "left a results file that cannot be read"
    passed, failed, skipped, _ = cases
    if passed + failed + len(skipped) == 0:
        return None, "ran no test"
    return cases, ""


def main(ctest_list, junit_file, results_folder):
    gtest = gtest_entries(ctest_list)
    run_began = os.stat(ctest_list).st_mtime_ns
    passed, failed, retries = 0, 0, 0
    skipped, unfinished = [], []
    for name, verdict, reason in entry_verdicts(junit_file):
        cases = None
        if verdict != "skipped" and name in gtest:
            cases, why = fresh_cases(os.path.join(results_folder, name + ".xml"), run_began)
            if cases is None:
                unfinished.append((name, why))
                verdict = "failed"
        if cases:
            p, f, s, r = cases
            # The entry failed after its tests did (a sanitizer report at exit, say): that
            # failure is counted too.
            if verdict == "failed" and f == 0:
                f = 1
            passed, failed, retries = passed + p, failed + f, retries + r
            skipped += [(name, test, why) for test, why in s]
        elif verdict == "passed":
            passed += 1
        elif verdict == "failed":
            failed += 1
        else:
            skipped.append((name, "(the whole entry)", reason))
    print(f"counts {passed} {failed} {len(skipped)} {retries}")
    for name, test, why in skipped:
        print(f"skipped: {name} {test}: {why}")
    for name, why in unfinished:
        print(f"failed: {name}: {why}")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
