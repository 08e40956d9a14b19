#!/usr/bin/python3
"""Counts the tests of one CTest run, for the test command's summary.

Usage: test-results.py CTEST-JUNIT-FILE GTEST-RESULTS-FOLDER

A CTest run counts its entries, and one entry may be a whole GoogleTest binary whose skipped
tests CTest never sees. Each such entry leaves GTEST-RESULTS-FOLDER/ENTRY.xml (CMake's
tarn_add_gtest); its tests are counted one by one. An entry without that file (a script, or a
binary that crashed or hung before writing it) counts as one test, as CTest judged it.

Prints "counts PASSED FAILED SKIPPED RETRIES" on the first line, then one line
"skipped: ENTRY TEST: REASON" for each test that did not run. RETRIES counts the process starts
that the Windows-build tests tried again (each one recorded as a "start_retry_N" property).
"""

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


def main(junit_file, results_folder):
    passed, failed, retries = 0, 0, 0
    skipped = []
    for name, verdict, reason in entry_verdicts(junit_file):
        results_file = os.path.join(results_folder, name + ".xml")
        cases = None
        if verdict != "skipped" and os.path.isfile(results_file):
            try:
                cases = count_cases(results_file)
            except ET.ParseError:
                pass  # cut off as it was written: the entry counts as CTest judged it
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


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
