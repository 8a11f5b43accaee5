#!/usr/bin/env bash
# Installs what is missing, builds, starts a local server when none listens on
# 127.0.0.1:7420 and then the client; the server it started is stopped when
# the client exits. Until the client program exists, the server runs in the
# foreground.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/deps.sh
qv_install_missing "${QV_BUILD_PKGS[@]}" "${QV_GUI_PKGS[@]}"
qv_ccache_env

# The libraries, the server and (once it exists) the client; no tests, no
# benchmarks.
cmake -S "$root" -B "$root/build-app" -G Ninja "${QV_CCACHE_CMAKE[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQV_TESTS=OFF -DQV_BENCH=OFF >/dev/null
cmake --build "$root/build-app" -j "$(nproc)"

server="$root/build-app/src/server/quorvane-server"
client="$root/build-app/src/client/quorvane"
data="${XDG_DATA_HOME:-$HOME/.local/share}/quorvane-server"
# Asks the kernel for a listening socket instead of connecting: a connection
# that closes before its handshake would be a fault in the server's log.
listening() { [ -n "$(ss -Hltn 'sport = :7420' 2>/dev/null)" ]; }

if [ ! -x "$client" ]; then
    if listening; then
        echo "A server already listens on 127.0.0.1:7420, and the client program is not built yet: there is nothing to start."
        exit 0
    fi
    echo "The client program is not built yet; running the server in the foreground (data in $data). Stop it with Ctrl-C."
    exec "$server" --data "$data" --listen 127.0.0.1:7420
fi

server_pid=
if ! listening; then
    "$server" --data "$data" --listen 127.0.0.1:7420 &
    server_pid=$!
    trap 'kill -TERM "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true' EXIT
    for _ in $(seq 100); do listening && break; sleep 0.1; done
fi
"$client" "$@"
