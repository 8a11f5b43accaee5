# Sourced by the other scripts: installs, with apt-get, the Debian packages
# that are missing, and nothing when all are present.

# Packages every build needs.
QV_BUILD_PKGS=(g++ cmake ninja-build pkg-config libssl-dev zlib1g-dev liblz4-dev libsqlite3-dev)
# What the tests, the sanitizer build, the fuzz targets and the benchmarks need
# beyond that: the test framework, clang's libFuzzer and sanitizer runtimes,
# and the real peers the tests start (a syslog receiver, Python for the
# independent cross-checks, Go and Perl with Debian's MurmurHash3 packages for
# the hash differential; the Go checker is built from the package's source
# directory, nothing is downloaded).
QV_TEST_PKGS=(libgtest-dev libbenchmark-dev clang libclang-rt-14-dev busybox python3 python3-nacl openssl gnutls-bin socat strace libsqlite3-dev golang-go golang-github-twmb-murmur3-dev libdigest-murmurhash3-pureperl-perl faketime python3-cryptography nginx-light iproute2 python3-lz4 lz4 coreutils sox libsox-fmt-base adwaita-icon-theme cmark-gfm libcmark-gfm-dev libcmark-gfm-extensions-dev iperf3)
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
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}
