#!/usr/bin/env bash
# scripts/fuzz.sh TARGET SECONDS: a longer fuzzing campaign for one target,
# built in the sanitizer tree that test.sh's asan+ubsan stage uses.
# New inputs that raise coverage are kept in build-asan/campaign/TARGET; seeds
# worth keeping can be copied to fuzz/corpus/TARGET by hand.
set -euo pipefail
if [ $# -ne 2 ]; then
    echo "usage: scripts/fuzz.sh TARGET SECONDS" >&2
    exit 2
fi
target=$1
seconds=$2
cd "$(dirname "$0")/.."
root=$PWD
. scripts/deps.sh
. scripts/fuzz_limits.sh
qv_install_missing "${QV_BUILD_PKGS[@]}" "${QV_TEST_PKGS[@]}" "${QV_GUI_PKGS[@]}"
qv_ccache_env
cmake -S "$root" -B "$root/build-asan" -G Ninja "${QV_CCACHE_CMAKE[@]}" "${QV_SAN_FLAGS[@]}" -DQV_FUZZ=ON -DQV_TESTS=ON >/dev/null
cmake --build "$root/build-asan" -j "$(nproc)" --target "$target" >/dev/null
work="$root/build-asan/campaign/$target"
mkdir -p "$work"
exec "$root/build-asan/fuzz/$target" -max_total_time="$seconds" -max_len="$(qv_fuzz_max_len "$target")" \
    -artifact_prefix="$work/" "$work" "$root/fuzz/corpus/$target"
