#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the CTest suite, the
# same suite under AddressSanitizer and UndefinedBehaviorSanitizer, the suites
# whose tests start threads under ThreadSanitizer, and each fuzz target over
# its seed corpus. Every stage runs even when an earlier one failed; the end
# is one line per stage (test cases or fuzz targets passed, failed, skipped),
# then "total: N passed, N failed, N skipped". A skipped test is never counted
# as passed. Exits non-zero when anything failed.
# Build trees are kept (build/, build-asan/, build-tsan/, build-fuzz/), so a
# second run only rebuilds what changed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/deps.sh
. scripts/fuzz_limits.sh
if ! qv_install_missing "${QV_BUILD_PKGS[@]}" "${QV_TEST_PKGS[@]}" "${QV_GUI_PKGS[@]}"; then
    echo "setup: the packages could not be installed"
    echo "total: 0 passed, 1 failed"
    exit 1
fi

# Test binaries whose tests start threads: ThreadSanitizer runs all their
# cases. A new suite with threads adds its binary here.
tsan_suites=(test_n_hash test_n_log test_n_network test_n_str test_n_network_tls test_n_network_blocking test_n_common test_client_net test_client_session test_client_authed test_n_network_engine test_n_reactor test_n_network_scale)
tsan_suites+=(test_client_account test_client_transfer test_worker test_worker_cmd test_worker_e2e)

jobs=$(nproc)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
summary=$work/summary

# One line per stage: NAME: P passed, F failed, S skipped (WHAT)
stage_line() { echo "$1: $3 passed, $4 failed, $5 skipped ($2)" >> "$summary"; }

# Counts of a CTest JUnit file: "passed failed skipped". A test skips only
# when it said so (GTEST_SKIP) or is disabled; one that did not run for
# another reason (its binary is missing) has failed. The names of skipped
# tests and their reasons go to standard output.
junit_counts() {
    /usr/bin/python3 - "$1" <<'PY'
import sys
import xml.etree.ElementTree as ET
passed = failed = skipped = 0
try:
    cases = list(ET.parse(sys.argv[1]).getroot().iter("testcase"))
except (OSError, ET.ParseError):
    cases = []
for tc in cases:
    status, skip = tc.get("status"), tc.find("skipped")
    if status == "run":
        passed += 1
    elif status == "disabled" or (skip is not None and skip.get("message") == "SKIP_REGULAR_EXPRESSION_MATCHED"):
        skipped += 1
        lines = (tc.findtext("system-out") or "").splitlines()
        # GoogleTest prints "FILE:LINE: Skipped", then the reason
        why = [lines[i + 1].strip() for i in range(len(lines) - 1) if lines[i].endswith(": Skipped")]
        print("skipped:", tc.get("name"), "-", why[0] if why else "(no reason given)", file=sys.stderr)
    else:
        failed += 1
print(passed, failed, skipped)
PY
}

# run_ctest NAME BUILD_DIR [ctest options...]: runs the tests, adds the stage line.
run_ctest() {
    local name=$1 dir=$2
    shift 2
    echo "=== $name: tests"
    local junit=$work/$name.xml
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 900 --no-tests=error \
        --output-junit "$junit" "$@"
    local counts
    counts=$(junit_counts "$junit")
    read -r p f s <<< "$counts"
    if [ "$((p + f + s))" -eq 0 ]; then f=1; fi  # no test ran: that is a failure
    stage_line "$name" "test cases" "$p" "$f" "$s"
}

# configure_build NAME BUILD_DIR TARGETS CMAKE_OPTIONS...: 0 when built
configure_build() {
    local name=$1 dir=$2 targets=$3
    shift 3
    echo "=== $name: configure and build ($dir)"
    cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null || return 1
    if [ -n "$targets" ]; then
        # shellcheck disable=SC2086  # a list of target names
        cmake --build "$dir" -j "$jobs" --target $targets
    else
        cmake --build "$dir" -j "$jobs"
    fi
}

# A stage whose build failed runs nothing and counts as one failure.
build_failed() {
    echo "$1: build FAILED" >&2
    stage_line "$1" "$2" 0 1 0
}

if configure_build main "$root/build" "" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_TESTS=ON -DQV_BENCH=ON; then
    run_ctest main "$root/build"
else
    build_failed main "test cases"
fi

if configure_build asan+ubsan "$root/build-asan" "" -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON -DQV_TESTS=ON -DQV_BENCH=OFF; then
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_ctest asan+ubsan "$root/build-asan"
else
    build_failed asan+ubsan "test cases"
fi

if configure_build tsan "$root/build-tsan" "${tsan_suites[*]}" -DCMAKE_BUILD_TYPE=Debug -DQV_TSAN=ON -DQV_TESTS=ON -DQV_BENCH=OFF; then
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
        run_ctest tsan "$root/build-tsan" -R "^($(IFS='|'; echo "${tsan_suites[*]}"))\\."
else
    build_failed tsan "test cases"
fi

# Fuzz targets: every directory under fuzz/corpus is a target. Each replays
# its seeds, then runs briefly from a copy of its corpus with a fixed seed (so
# that CI stays repeatable) and its own length limit.
if configure_build fuzz "$root/build-fuzz" "" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQV_FUZZ=ON -DQV_TESTS=OFF; then
    fuzz_ok=0
    fuzz_failed=0
    for corpus in "$root"/fuzz/corpus/*/; do
        target=$(basename "$corpus")
        bin="$root/build-fuzz/fuzz/$target"
        if [ ! -x "$bin" ]; then
            echo "fuzz: $target has a corpus but no binary" >&2
            fuzz_failed=$((fuzz_failed + 1))
            continue
        fi
        echo "=== fuzz: $target over its corpus"
        scratch=$work/fuzz-$target
        mkdir -p "$scratch/corpus"
        cp "$corpus"* "$scratch/corpus"/
        if TMPDIR=$scratch "$bin" "$corpus"* >/dev/null 2>"$scratch/replay.log" &&
           TMPDIR=$scratch "$bin" -seed=1 -runs=20000 -max_len="$(qv_fuzz_max_len "$target")" \
               "$scratch/corpus" >/dev/null 2>"$scratch/run.log"; then
            fuzz_ok=$((fuzz_ok + 1))
        else
            echo "fuzz: $target FAILED" >&2
            tail -40 "$scratch/replay.log" "$scratch/run.log" >&2
            fuzz_failed=$((fuzz_failed + 1))
        fi
        rm -rf "$scratch"
    done
    stage_line fuzz "fuzz targets" "$fuzz_ok" "$fuzz_failed" 0
else
    build_failed fuzz "fuzz targets"
fi

echo "=== summary"
cat "$summary"
# One closing line over every stage: test cases of each suite plus fuzz targets.
read -r total_passed total_failed total_skipped < <(awk '
    { p += $2; f += $4; s += $6 }
    END { print p + 0, f + 0, s + 0 }' "$summary")
echo "total: $total_passed passed, $total_failed failed, $total_skipped skipped"
[ "$total_failed" -eq 0 ]
