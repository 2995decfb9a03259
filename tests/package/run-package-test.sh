#!/bin/sh
# The library as a host developer gets it, both ways the README gives: installed into a prefix with
# `cmake --install` and used with exactly the settings the README names, and as the Debian packages
# of scripts/package, installed on this machine and used with no settings at all. Each way builds
# examples/minimal-host out of tree with find_package and with pkg-config, and each host must
# print the library's reply to one create request. Packages not installed before are removed again.
#   run-package-test.sh BUILD_DIR SOURCE_DIR STANDIN_DIR
set -eu
build_dir=$1
source_dir=$2
standin_dir=$3

sudo=$([ "$(id -u)" -eq 0 ] || echo sudo)
work=$(mktemp -d)
installed=""
apt_get() { $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 -y -qq "$@"; }
cleanup() {
    # shellcheck disable=SC2086
    [ -z "$installed" ] || apt_get purge $installed >/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# The library ends firefox while players run: the stand-ins keep the real free and pkill out of
# reach. free reports 4 GiB available.
echo 4096 >"$work/free.seq"
run_host() {
    PATH="$standin_dir:$PATH" H5TEST_DIR="$work" QT_QPA_PLATFORM=offscreen \
        "$2" --check >"$work/host.out" 2>"$work/host.log" ||
        fail "$1 host failed: $(cat "$work/host.out" "$work/host.log")"
    grep -qxF 'client -> server [113] {"commandId":3,"data":true,"id":7}' "$work/host.out" ||
        fail "$1 host saw no reply: $(cat "$work/host.out")"
    echo "$1 host: answered"
}

# build_hosts NAME [CMAKE_ARGS...]
build_hosts() {
    name=$1
    shift
    cmake -S "$source_dir/examples/minimal-host" -B "$work/$name-cmake" -G Ninja "$@" >/dev/null
    cmake --build "$work/$name-cmake" >/dev/null
    run_host "$name find_package" "$work/$name-cmake/h5redir-minimal-host"
    # Qt is built with reduced relocations, so its users compile position-independent code; like
    # Qt's own .pc files, h5redir.pc leaves that flag to the host.
    # shellcheck disable=SC2046
    g++ -std=c++17 -fPIC "$source_dir/examples/minimal-host/main.cpp" -o "$work/$name-pc" \
        $(pkg-config --cflags --libs h5redir)
    run_host "$name pkg-config" "$work/$name-pc"
}

unset CMAKE_PREFIX_PATH PKG_CONFIG_PATH LD_LIBRARY_PATH

prefix="$work/prefix"
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
[ "$(readlink "$prefix/lib/libh5redir.so.1")" = libh5redir.so.1.0.0 ] || fail "SONAME link missing"
[ "$(readlink "$prefix/lib/libh5redir.so")" = libh5redir.so.1 ] || fail "development link missing"
readelf -d "$prefix/lib/libh5redir.so.1.0.0" | grep -q 'SONAME.*\[libh5redir.so.1\]' || fail "wrong SONAME"
(
    export PKG_CONFIG_PATH="$prefix/lib/pkgconfig" LD_LIBRARY_PATH="$prefix/lib"
    build_hosts prefix -DCMAKE_PREFIX_PATH="$prefix"
)

debs="$build_dir/packages"
DEB_BUILD_OPTIONS="nocheck noautodbgsym" "$source_dir/scripts/package" "$debs" \
    >"$work/package.log" 2>&1 || fail "scripts/package: $(tail -n 40 "$work/package.log")"
set --
for package in libh5redir1 libh5redir-dev h5redir-examples; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
        installed="$installed $package"
    set -- "$@" "$debs/${package}"_*.deb
done
apt_get install --reinstall --no-install-recommends "$@" >"$work/apt.log" 2>&1 ||
    fail "installing the packages: $(cat "$work/apt.log")"

for header in /usr/include/h5redir/*.h; do
    # shellcheck disable=SC2046
    echo "#include <h5redir/$(basename "$header")>" |
        g++ -std=c++17 -fPIC -fsyntax-only -x c++ - $(pkg-config --cflags h5redir) ||
        fail "installed header $header does not compile on its own"
done
build_hosts packaged
[ -x /usr/libexec/h5redir/h5setvol.sh ] || fail "no volume script beside the packaged host"
for example in h5redir-host h5redir-agent; do
    QT_QPA_PLATFORM=offscreen "$example" --help >/dev/null || fail "$example --help failed"
done
echo "packaged examples: h5redir-host and h5redir-agent start"
