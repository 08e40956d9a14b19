#!/usr/bin/env bash
# Runs CTest over entries with known outcomes (a sample GoogleTest binary as tarn_add_gtest runs
# it, scripts, a skip, a crash, a missing program, GoogleTest entries that leave no results of
# their own) and checks what test-results.py counts.
set -euo pipefail
results_script=$1
sample=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

gtest() { # ENTRY FILTER: the sample as one CTest entry that leaves its results
    echo "add_test($1 \"$sample\" --gtest_brief=1 --gtest_filter=$2" \
        "--gtest_output=xml:$work/test-results/$1.xml)"
}
{
    gtest sample 'Sample.Passes:Sample.IsSkipped:Sample.RetriesAStart'
    gtest sample_failing 'Sample.Passes:Sample.Fails'
    # Exit code 0 with no results of its own, beside the file of an earlier run where it passed.
    gtest exits_part_way 'Sample.Passes:Sample.ExitsPartWay'
    gtest matches_nothing 'No.SuchTest'
    gtest hangs 'Sample.Hangs'
    echo 'set_tests_properties(hangs PROPERTIES TIMEOUT 1)'
    # Its tests pass, then the process fails (as a leak report at exit does).
    echo "add_test(fails_after_its_tests sh -c \"'$sample' --gtest_filter=Sample.Passes" \
        "--gtest_output=xml:$work/test-results/fails_after_its_tests.xml; exit 1\")"
    echo 'add_test(script_passes sh -c "exit 0")'
    echo 'add_test(script_skips sh -c "exit 77")'
    echo 'set_tests_properties(script_skips PROPERTIES SKIP_RETURN_CODE 77)'
    echo 'add_test(crashes sh -c "kill -SEGV \$\$")'
    echo 'add_test(missing /no/such/program)'
} >"$work/CTestTestfile.cmake"

mkdir "$work/test-results"
"$sample" --gtest_filter=Sample.Passes --gtest_output=xml:"$work/test-results/exits_part_way.xml" \
    >/dev/null
touch -d '1 hour ago' "$work/test-results/exits_part_way.xml"

(cd "$work" && ctest --show-only=json-v1 >"$work/list.json")
(cd "$work" && ctest --output-junit "$work/entries.xml" >"$work/ctest.log" 2>&1) || true
actual=$(python3 "$results_script" "$work/list.json" "$work/entries.xml" "$work/test-results")
expected="counts 5 7 2 1
skipped: sample Sample.IsSkipped: code page 932 is not installed
skipped: script_skips (the whole entry): SKIP_RETURN_CODE=77
failed: exits_part_way: left no results file of this run (the one there is older)
failed: matches_nothing: ran no test
failed: hangs: left no results file"
if [ "$actual" != "$expected" ]; then
    echo "test-results.py counted:"
    echo "$actual"
    echo "expected:"
    echo "$expected"
    echo "CTest's run:"
    cat "$work/ctest.log"
    exit 1
fi
echo "the count is right"
