#!/usr/bin/env bash
# scripts/fuzz.sh TARGET SECONDS: a longer fuzzing campaign for one target.
# New inputs that raise coverage are kept in build-fuzz/campaign/TARGET; seeds
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
qv_install_missing "${QV_BUILD_PKGS[@]}" "${QV_GUI_PKGS[@]}" clang libclang-rt-14-dev
cmake -S "$root" -B "$root/build-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQV_FUZZ=ON -DQV_TESTS=OFF >/dev/null
cmake --build "$root/build-fuzz" -j "$(nproc)" --target "$target" >/dev/null
work="$root/build-fuzz/campaign/$target"
mkdir -p "$work"
exec "$root/build-fuzz/fuzz/$target" -max_total_time="$seconds" -max_len="$(qv_fuzz_max_len "$target")" \
    -artifact_prefix="$work/" "$work" "$root/fuzz/corpus/$target"
