#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the CTest suite, the
# same suite under AddressSanitizer and UndefinedBehaviorSanitizer, the suites
# with threads under ThreadSanitizer, and each fuzz target over its seed
# corpus. Exits non-zero on any failure.
# Build trees are kept (build/, build-asan/, build-tsan/, build-fuzz/), so a second run only
# rebuilds what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/deps.sh
qv_install_missing "${QV_BUILD_PKGS[@]}" "${QV_TEST_PKGS[@]}"

jobs=$(nproc)
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT

run_suite() {  # run_suite NAME BUILD_DIR [cmake options...]
    local name=$1 dir=$2
    shift 2
    echo "=== $name: configure and build ($dir)"
    cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    echo "=== $name: tests"
    local log
    log=$(mktemp)
    local rc
    set +e
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 900 --no-tests=error 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    set -e
    grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | sed "s/^/$name: /" >> "$summary" || true
    rm -f "$log"
    return "$rc"
}

run_suite "main" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_TESTS=ON -DQV_BENCH=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite "asan+ubsan" "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON -DQV_TESTS=ON -DQV_BENCH=OFF

# Suites whose locks and threads ThreadSanitizer should see.
tsan_suites=(test_n_network test_n_network_tls test_n_network_blocking test_n_network_engine test_n_reactor test_n_network_scale)
echo "=== tsan: configure and build ($root/build-tsan)"
cmake -S "$root" -B "$root/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQV_TSAN=ON -DQV_TESTS=ON -DQV_BENCH=OFF >/dev/null
cmake --build "$root/build-tsan" -j "$jobs" --target "${tsan_suites[@]}"
echo "=== tsan: tests"
tsan_regex="^($(IFS='|'; echo "${tsan_suites[*]}"))\\."
tsan_log=$(mktemp)
set +e
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir "$root/build-tsan" --output-on-failure -j "$jobs" --timeout 900 --no-tests=error -R "$tsan_regex" 2>&1 | tee "$tsan_log"
rc=${PIPESTATUS[0]}
set -e
grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$tsan_log" | sed "s/^/tsan: /" >> "$summary" || true
rm -f "$tsan_log"
[ "$rc" -eq 0 ]

echo "=== fuzz: build ($root/build-fuzz)"
cmake -S "$root" -B "$root/build-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQV_FUZZ=ON -DQV_TESTS=OFF >/dev/null
cmake --build "$root/build-fuzz" -j "$jobs"
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
    # Replay every seed, then a short run from a copy of the corpus with a
    # fixed seed so that CI stays repeatable.
    scratch=$(mktemp -d)
    cp "$corpus"* "$scratch"/
    if "$bin" "$corpus"* >/dev/null 2>&1 && \
       "$bin" -seed=1 -runs=20000 -max_len=65536 "$scratch" >/dev/null 2>"$scratch.log"; then
        fuzz_ok=$((fuzz_ok + 1))
    else
        echo "fuzz: $target FAILED" >&2
        tail -40 "$scratch.log" >&2 || true
        fuzz_failed=$((fuzz_failed + 1))
    fi
    rm -rf "$scratch" "$scratch.log"
done
echo "fuzz: $fuzz_ok passed, $fuzz_failed failed" >> "$summary"

echo "=== summary"
cat "$summary"
# One closing line over every stage: test cases of each suite run plus fuzz targets.
read -r total_passed total_failed < <(awk '
    /tests passed, [0-9]+ tests failed out of/ { n = $(NF); f = $(NF-5); p += n - f; q += f }
    /^fuzz: / { p += $2; q += $4 }
    END { print p + 0, q + 0 }' "$summary")
echo "total: $total_passed passed, $total_failed failed"
[ "$fuzz_failed" -eq 0 ] && [ "$total_failed" -eq 0 ]
