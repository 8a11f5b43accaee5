# Sourced by the other scripts: installs, with apt-get, the Debian packages
# that are missing, and nothing when all are present; and points the builds
# at the compiler cache.

# Packages every build needs.
QV_BUILD_PKGS=(g++ cmake ninja-build pkg-config ccache libssl-dev zlib1g-dev liblz4-dev libsqlite3-dev iproute2)
# What the tests, the sanitizer build, the fuzz targets and the benchmarks need
# beyond that: the test framework, clang's libFuzzer and sanitizer runtimes,
# and the real peers the tests start (a syslog receiver, Python for the
# independent cross-checks, Go and Perl with Debian's MurmurHash3 packages for
# the hash differential; the Go checker is built from the package's source
# directory, nothing is downloaded).
QV_TEST_PKGS=(libgtest-dev libbenchmark-dev clang libclang-rt-14-dev busybox python3 python3-nacl openssl gnutls-bin socat strace libsqlite3-dev golang-go golang-github-twmb-murmur3-dev libdigest-murmurhash3-pureperl-perl faketime python3-cryptography nginx-light iproute2 python3-lz4 lz4 coreutils sox libsox-fmt-base adwaita-icon-theme cmark-gfm libcmark-gfm-dev libcmark-gfm-extensions-dev iperf3)
# Packages that install a system service: the tests start their own
# instances, so the machine's copy must not run.
QV_SERVICE_PKGS=(nginx iperf3)

# What the GUI toolkit builds against and what its tests drive: Allegro and
# its add-ons, cJSON, the QR encoder, Xlib, a private X server with a window
# manager, X clients for input, clipboard, windows and QR codes, ImageMagick
# for screenshots, giflib and the DejaVu fonts.
QV_GUI_PKGS=(liballegro5-dev liballegro-ttf5-dev liballegro-image5-dev liballegro-audio5-dev liballegro-acodec5-dev liballegro-dialog5-dev libcjson-dev libqrcodegen-dev libqrcodegencpp-dev libx11-dev xvfb xauth xdotool xclip xsel openbox x11-utils wmctrl zbar-tools imagemagick libgif-dev fonts-dejavu-core fonts-dejavu-extra)

qv_install_missing() {
    local missing=() p
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$p")
        fi
    done
    if ((${#missing[@]})); then
        echo "Installing: ${missing[*]}"
        if [ "$(id -u)" -ne 0 ]; then
            echo "error: missing packages (${missing[*]}) and not running as root" >&2
            return 1
        fi
        apt-get update -qq || return 1
        # No service starts during the install (invoke-rc.d asks policy-rc.d;
        # 101 means "not allowed"); one we brought in stays stopped and
        # disabled afterwards, also on a machine with systemd.
        local policy=/usr/sbin/policy-rc.d own_policy=0 rc=0
        if [ ! -e "$policy" ]; then
            printf '#!/bin/sh\nexit 101\n' > "$policy" && chmod 755 "$policy" && own_policy=1
        fi
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" || rc=1
        if [ "$own_policy" -eq 1 ]; then rm -f "$policy"; fi
        qv_quiet_services
        return $rc
    fi
}

qv_quiet_services() {
    local s
    for s in "${QV_SERVICE_PKGS[@]}"; do
        if [ -d /run/systemd/system ] && command -v systemctl >/dev/null; then
            systemctl disable --now "$s" >/dev/null 2>&1 || true
        elif [ -x "/etc/init.d/$s" ]; then
            "/etc/init.d/$s" stop >/dev/null 2>&1 || true
            update-rc.d "$s" disable >/dev/null 2>&1 || true
        fi
    done
}

# The compiler cache: outside the clone, capped, shared by every clone of
# this user. Paths under the clone are hashed relative to it, so a clone in
# another folder hits what this one filled.
qv_ccache_env() {
    export CCACHE_DIR=${QV_CCACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvane-ccache}
    export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=${QV_CCACHE_SIZE:-8G}
    # The tests' precompiled header is made afresh in every tree, so its time
    # stamp is always new: the cache must hash its content, not refuse it.
    export CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
    QV_CCACHE_CMAKE=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
}

# The sanitizer trees (test.sh's asan+ubsan and tsan stages, fuzz.sh's
# campaigns): clang, the libraries at -O1 so that the suites run at a
# fraction of the unoptimised time, and line tables for the reports.
QV_SAN_FLAGS=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_C_FLAGS_DEBUG=-O1 -gline-tables-only" "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -gline-tables-only"
              -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQV_BENCH=OFF)
