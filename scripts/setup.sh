# Shared by scripts/start and scripts/test: installs what the build needs when
# it is missing, then configures and builds into build/.
# Sourced, not run: it sets $build for the caller.

set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"

packages="cmake g++ ninja-build pkg-config qt6-base-dev qt6-base-dev-tools qt6-serialport-dev libgl-dev"

missing_packages() {
    for package in $packages; do
        dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' \
            || printf '%s ' "$package"
    done
}

if command -v dpkg-query >/dev/null && command -v apt-get >/dev/null; then
    missing=$(missing_packages)
    if [ -n "$missing" ]; then
        if [ "$(id -u)" -eq 0 ]; then
            as_root=""
        elif command -v sudo >/dev/null; then
            as_root="sudo"
        else
            echo "setup: missing packages: $missing; install them as root (apt-get install $missing)" >&2
            exit 1
        fi
        echo "setup: installing $missing"
        $as_root apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y -qq --no-install-recommends $missing >/dev/null
    fi
elif ! command -v cmake >/dev/null; then
    echo "setup: not a Debian/Ubuntu system: install CMake, a C++17 compiler and Qt >= 6.4 (Widgets, SerialPort), then run this again" >&2
    exit 1
fi

generator=""
command -v ninja >/dev/null && generator="-G Ninja"
[ -f "$build/CMakeCache.txt" ] && generator=""
cmake -S "$root" -B "$build" $generator -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" >/dev/null
cmake --build "$build" --parallel "$(nproc 2>/dev/null || echo 2)"
