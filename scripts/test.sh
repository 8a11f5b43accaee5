#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the CTest suite in a
# Release build (which also builds the benchmarks), the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, the suites whose tests
# start threads under ThreadSanitizer, and each fuzz target over its seed
# corpus. Every stage runs even when an earlier one failed; the end is one
# line per stage (test cases or fuzz targets passed, failed, skipped, and the
# minutes the stage took), the minutes of the whole run, then
# "total: N passed, N failed, N skipped". A skipped test is never counted as
# passed. Exits non-zero when anything failed.
#
# Build trees are kept (build/, build-asan/, build-tsan/), so a second run
# only rebuilds what changed. Compiled objects also go to a compiler cache
# outside the clone (ccache, in $QV_CCACHE_DIR, by default
# ~/.cache/quorvane-ccache, capped at 8 GB), with paths taken relative to the
# clone: a fresh clone anywhere on the same machine compiles only what
# changed since the cache was filled.
#
# One clang tree (build-asan/) serves the sanitized suite and the fuzz
# targets: the libraries are compiled once, with the fuzzer's coverage hooks,
# and linked into both.
#
# The main stage runs every case in a process of its own (CTest). The
# sanitizer stages run each test binary in a few processes that share its
# cases out (scripts/run_suites.py), the costliest first: there a process's
# start and exit cost more than most cases. A case that crashes or hangs its
# process is failed by name and the rest run on in a fresh one.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/deps.sh
. scripts/fuzz_limits.sh

jobs=$(nproc)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
summary=$work/summary
run_start=$SECONDS

minutes() { awk -v s="$1" 'BEGIN { printf "%.1f", s / 60 }'; }

echo "=== packages"
pkg_start=$SECONDS
if ! qv_install_missing "${QV_BUILD_PKGS[@]}" "${QV_TEST_PKGS[@]}" "${QV_GUI_PKGS[@]}"; then
    echo "setup: the packages could not be installed"
    echo "total: 0 passed, 1 failed, 0 skipped"
    exit 1
fi
pkg_minutes=$(minutes $((SECONDS - pkg_start)))
qv_ccache_env

# Test binaries whose tests start threads: ThreadSanitizer runs all their
# cases. A new suite with threads adds its binary here.
tsan_suites=(test_n_hash test_n_log test_n_network test_n_str test_n_network_tls test_n_network_blocking test_n_common test_client_net test_client_session test_client_authed test_n_network_engine test_n_reactor test_n_network_scale)
tsan_suites+=(test_client_account test_client_transfer test_worker test_worker_cmd test_worker_e2e test_worker_poison test_server_load)

# One line per stage: NAME: P passed, F failed, S skipped (WHAT; TIMES)
stage_line() { echo "$1: $3 passed, $4 failed, $5 skipped ($2; $6)" >> "$summary"; }

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

# run_ctest NAME BUILD_DIR BUILD_MINUTES [ctest options...]: runs the tests,
# adds the stage line. Twice as many tests as cores run at once: many of them
# wait on peers and servers, and none may depend on the machine being idle.
run_ctest() {
    local name=$1 dir=$2 build_minutes=$3
    shift 3
    echo "=== $name: tests"
    local junit=$work/$name.xml start=$SECONDS
    ctest --test-dir "$dir" --output-on-failure -j "$((2 * jobs))" --timeout 900 --no-tests=error \
        --output-junit "$junit" "$@"
    local counts
    counts=$(junit_counts "$junit")
    read -r p f s <<< "$counts"
    if [ "$((p + f + s))" -eq 0 ]; then f=1; fi  # no test ran: that is a failure
    stage_line "$name" "test cases" "$p" "$f" "$s" "build $build_minutes min, tests $(minutes $((SECONDS - start))) min"
}

# run_suites NAME BUILD_DIR BUILD_MINUTES [-R REGEX]: as run_ctest, a few
# processes per test binary; the main stage's per-case times (CTest's cost
# data) order and split the work.
run_suites() {
    local name=$1 dir=$2 build_minutes=$3
    shift 3
    echo "=== $name: tests"
    local counts=$work/$name.counts start=$SECONDS p=0 f=0 s=0
    /usr/bin/python3 "$root/scripts/run_suites.py" "$dir" "$((2 * jobs))" "$counts" \
        --cost "$root/build/Testing/Temporary/CTestCostData.txt" "$@"
    read -r p f s < "$counts" || f=1
    if [ "$((p + f + s))" -eq 0 ]; then f=1; fi  # no test ran: that is a failure
    stage_line "$name" "test cases" "$p" "$f" "$s" "build $build_minutes min, tests $(minutes $((SECONDS - start))) min"
}

# configure_build NAME BUILD_DIR TARGETS CMAKE_OPTIONS...: 0 when built; the
# build's minutes in $built_minutes.
configure_build() {
    local name=$1 dir=$2 targets=$3 start=$SECONDS rc=0
    shift 3
    echo "=== $name: configure and build ($dir)"
    if ! cmake -S "$root" -B "$dir" -G Ninja "${QV_CCACHE_CMAKE[@]}" "$@" >/dev/null; then
        rc=1
    elif [ -n "$targets" ]; then
        # shellcheck disable=SC2086  # a list of target names
        cmake --build "$dir" -j "$jobs" --target $targets || rc=1
    else
        cmake --build "$dir" -j "$jobs" || rc=1
    fi
    built_minutes=$(minutes $((SECONDS - start)))
    return $rc
}

# A stage whose build failed runs nothing and counts as one failure.
build_failed() {
    echo "$1: build FAILED" >&2
    stage_line "$1" "$2" 0 1 0 "build $built_minutes min"
}

# The main stage is a Release build: the tests run at full size, the
# benchmarks are built (and only here), and GCC's -O3 warnings are errors.
if configure_build main "$root/build" "" -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=ON -DQV_BENCH=ON; then
    run_ctest main "$root/build" "$built_minutes"
else
    build_failed main "test cases"
fi

asan_built=0
if configure_build asan+ubsan "$root/build-asan" "" "${QV_SAN_FLAGS[@]}" -DQV_FUZZ=ON -DQV_TESTS=ON; then
    asan_built=1
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_suites asan+ubsan "$root/build-asan" "$built_minutes"
else
    build_failed asan+ubsan "test cases"
fi

if configure_build tsan "$root/build-tsan" "${tsan_suites[*]}" "${QV_SAN_FLAGS[@]}" -DQV_TSAN=ON -DQV_TESTS=ON; then
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
        run_suites tsan "$root/build-tsan" "$built_minutes" -R "^($(IFS='|'; echo "${tsan_suites[*]}"))\\."
else
    build_failed tsan "test cases"
fi

# Fuzz targets, built in the sanitizer tree: every directory under
# fuzz/corpus is a target. One target per core at a time replays its seeds,
# then runs briefly from a copy of its corpus with a fixed seed (so that CI
# stays repeatable), its own length limit and its own number of runs. Their
# scratch files go to memory where the machine has it: a target that opens a
# database per input would otherwise wait on the disk's syncs.
fuzz_tmp=$work
if [ -d /dev/shm ] && [ -w /dev/shm ]; then fuzz_tmp=$(mktemp -d /dev/shm/qv-fuzz.XXXXXX); fi
trap 'rm -rf "$work" "$fuzz_tmp"' EXIT
fuzz_one() {
    local target=$1 bin="$root/build-asan/fuzz/$1" corpus="$root/fuzz/corpus/$1"
    local out=$work/fuzz-$target scratch=$fuzz_tmp/$target start=$SECONDS
    mkdir -p "$out" "$scratch/corpus" "$scratch/tmp"
    if [ ! -x "$bin" ]; then
        echo "fuzz: $target has a corpus but no binary" > "$out/result"
    else
        cp "$corpus"/* "$scratch/corpus"/
        if TMPDIR=$scratch/tmp "$bin" "$corpus"/* >/dev/null 2>"$out/replay.log" &&
           TMPDIR=$scratch/tmp "$bin" -seed=1 -runs="$(qv_fuzz_runs "$target")" -max_len="$(qv_fuzz_max_len "$target")" \
               "$scratch/corpus" >/dev/null 2>"$out/run.log"; then
            echo ok > "$out/result"
        else
            { echo "fuzz: $target FAILED"; tail -n 40 "$out/replay.log" "$out/run.log"; } > "$out/result"
        fi
    fi
    echo "$((SECONDS - start)) $target" > "$out/seconds"
    rm -rf "$scratch"
}
if [ "$asan_built" -eq 1 ]; then
    echo "=== fuzz: every target over its corpus, $jobs at a time"
    fuzz_start=$SECONDS
    export -f fuzz_one qv_fuzz_max_len qv_fuzz_runs
    export root work fuzz_tmp
    targets=$(cd "$root/fuzz/corpus" && ls -d -- */ | tr -d /)
    echo "$targets" | xargs -P "$jobs" -I{} bash -c 'fuzz_one "$1"' _ {}
    fuzz_ok=0
    fuzz_failed=0
    for target in $targets; do
        result=$work/fuzz-$target/result
        if [ "$(cat "$result" 2>/dev/null)" = ok ]; then
            fuzz_ok=$((fuzz_ok + 1))
        else
            cat "$result" >&2 2>/dev/null || echo "fuzz: $target left no result" >&2
            fuzz_failed=$((fuzz_failed + 1))
        fi
    done
    echo "fuzz: the slowest targets (seconds):" $(cat "$work"/fuzz-*/seconds 2>/dev/null | sort -rn | head -n 5)
    stage_line fuzz "fuzz targets" "$fuzz_ok" "$fuzz_failed" 0 "$(minutes $((SECONDS - fuzz_start))) min, built with asan+ubsan"
else
    stage_line fuzz "fuzz targets" 0 1 0 "not run: the asan+ubsan tree did not build"
fi

echo "=== summary"
cat "$summary"
echo "minutes: packages $pkg_minutes, whole run $(minutes $((SECONDS - run_start))) on $jobs cores"
# One closing line over every stage: test cases of each suite plus fuzz targets.
read -r total_passed total_failed total_skipped < <(awk '
    { p += $2; f += $4; s += $6 }
    END { print p + 0, f + 0, s + 0 }' "$summary")
echo "total: $total_passed passed, $total_failed failed, $total_skipped skipped"
[ "$total_failed" -eq 0 ]
