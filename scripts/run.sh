#!/usr/bin/env bash
# Installs what is missing, builds, and starts the client.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/deps.sh
qv_install_missing "${QV_BUILD_PKGS[@]}"

cmake -S "$root" -B "$root/build-app" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_TESTS=OFF -DQV_BENCH=OFF >/dev/null
cmake --build "$root/build-app" -j "$(nproc)"

client="$root/build-app/src/client/quorvane"
if [ ! -x "$client" ]; then
    echo "The libraries are built, but the client program is not built yet: there is nothing to start."
    exit 0
fi
exec "$client" "$@"
