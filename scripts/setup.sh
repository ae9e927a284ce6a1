# Shared by the scripts beside it: installs what the build needs when it is
# missing (apt-get on Debian and Ubuntu), then configures and builds.
# Sourced, not run.

set -eu
root=$(cd "$(dirname "$0")/.." && pwd)

# Debian 12 has no EPICS Base: there the source package is built, and its
# build dependencies met, without the IOC (a build profile of debian/control).
case "$(cut -d. -f1 /etc/debian_version 2>/dev/null || true)" in
11 | 12) export DEB_BUILD_PROFILES="${DEB_BUILD_PROFILES:+$DEB_BUILD_PROFILES }pkg.torvan-configurator.noepics" ;;
esac
# with_epics: true where the IOC is built
with_epics() {
    case " ${DEB_BUILD_PROFILES:-} " in
    *" pkg.torvan-configurator.noepics "*) return 1 ;;
    esac
}

# install_packages [package...]: what debian/control says the build needs
# (apt-get build-dep on the source tree), and the packages named
install_packages() {
    if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
        command -v cmake >/dev/null && return 0
        echo "setup: not a Debian/Ubuntu system: install CMake, a C++17 compiler and Qt >= 6.4 (Widgets, SerialPort), then run this again" >&2
        exit 1
    fi
    build_deps_met=no
    command -v dpkg-checkbuilddeps >/dev/null \
        && (cd "$root" && dpkg-checkbuilddeps >/dev/null 2>&1) && build_deps_met=yes
    missing=""
    for package in "$@"; do
        dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' \
            || missing="$missing $package"
    done
    [ "$build_deps_met" = yes ] && [ -z "$missing" ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        as_root=""
    elif command -v sudo >/dev/null; then
        as_root="sudo"
    else
        echo "setup: missing packages; as root, run: apt-get build-dep $root && apt-get install$missing" >&2
        exit 1
    fi
    # Each step fails the script even where the caller runs this in an && list.
    $as_root apt-get update -qq || exit 1
    if [ "$build_deps_met" = no ]; then
        echo "setup: installing the build dependencies in debian/control"
        DEBIAN_FRONTEND=noninteractive $as_root apt-get build-dep -y -qq --no-install-recommends "$root" >/dev/null \
            || exit 1
    fi
    if [ -n "$missing" ]; then
        echo "setup: installing$missing"
        DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y -qq --no-install-recommends $missing >/dev/null \
            || exit 1
    fi
}

# debian_mirror: DEBIAN_MIRROR, else the host's own Debian mirror, so a root made
# with debootstrap comes from where the host's packages do
debian_mirror() {
    mirror=${DEBIAN_MIRROR:-$(sed -n 's/^URIs: *\([^ ]*debian\)$/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)}
    [ -n "$mirror" ] || mirror=$(sed -n 's/^deb \[*[^]]*\]* *\(http[^ ]*debian\) .*/\1/p' /etc/apt/sources.list 2>/dev/null | head -n 1)
    [ -n "$mirror" ] || { echo "setup: no Debian mirror found in the host's apt sources; set DEBIAN_MIRROR" >&2; exit 1; }
    echo "$mirror"
}

# minbase_tarball SUITE: a minimal Debian root of SUITE (debootstrap's minbase)
# as a tarball, made once and kept in the machine's cache ($TORVAN_CACHE,
# /var/cache/torvan-configurator by default); piuparts and autopkgtest start
# each run from it. Prints its path. Needs root and debootstrap.
minbase_tarball() {
    cache=${TORVAN_CACHE:-/var/cache/torvan-configurator}
    tarball=$cache/minbase-$1.tar.gz
    if [ ! -s "$tarball" ]; then
        mkdir -p "$cache"
        (
            flock 8
            [ -s "$tarball" ] && exit 0
            echo "setup: making a minimal $1 root in $tarball (once)" >&2
            rm -rf "$tarball.root" "$tarball.new"
            debootstrap --variant=minbase "$1" "$tarball.root" "$(debian_mirror)" >"$tarball.log" 2>&1 \
                || { tail -n 5 "$tarball.log" >&2; echo "setup: debootstrap failed; see $tarball.log" >&2; exit 1; }
            tar -C "$tarball.root" -czf "$tarball.new" .
            rm -rf "$tarball.root"
            mv "$tarball.new" "$tarball"
        ) 8>"$tarball.lock" || exit 1
    fi
    echo "$tarball"
}

# project_version: the version the top CMakeLists.txt gives the project
project_version() {
    sed -n 's/^project(TorvanConfigurator VERSION \([0-9.]*\)$/\1/p' "$root/CMakeLists.txt"
}

# build PRESET [cmake option...]: configure and build one of CMakePresets.json's
# builds (only $targets, if set)
build() {
    preset=$1
    shift
    (cd "$root" && cmake --preset "$preset" "$@" >/dev/null \
        && cmake --build --preset "$preset" --parallel "$(nproc 2>/dev/null || echo 2)" \
            ${targets:+--target $targets})
}
