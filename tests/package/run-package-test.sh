#!/bin/sh
# Installs the built library into a fresh prefix and builds the minimal host against it out of
# tree, the two ways a user would: CMake's find_package and pkg-config. Each host must feed one
# create request and see the library's reply. Also checks that every installed header compiles
# on its own and that the library exports nothing but its public classes.
#   run-package-test.sh BUILD_DIR SOURCE_DIR STANDIN_DIR
set -eu
build_dir=$1
source_dir=$2
standin_dir=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
lib="$prefix/lib/libh5redir.so.1.0.0"
[ -f "$lib" ] || fail "library not installed at $lib"
[ "$(readlink "$prefix/lib/libh5redir.so.1")" = libh5redir.so.1.0.0 ] || fail "SONAME link missing"
[ "$(readlink "$prefix/lib/libh5redir.so")" = libh5redir.so.1 ] || fail "development link missing"
readelf -d "$lib" | grep -q 'SONAME.*\[libh5redir.so.1\]' || fail "wrong SONAME"

internal=$(nm -DC --defined-only "$lib" |
    grep -v -E ' (H5redir|H5MemoryUtil|H5SocketServer|H5Socket)::| (typeinfo|typeinfo name|vtable) for (H5redir|H5MemoryUtil|H5SocketServer|H5Socket)$| (__bss_start|_edata|_end)$' || true)
[ -z "$internal" ] || fail "library exports internal symbols: $internal"

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
cflags=$(pkg-config --cflags h5redir)
for header in "$prefix"/include/h5redir/*.h; do
    name=$(basename "$header")
    echo "#include <h5redir/$name>" | g++ -std=c++17 -fsyntax-only -x c++ - $cflags ||
        fail "installed header $name does not compile on its own"
done

# The library ends firefox while players run: the stand-ins keep the real free and pkill out
# of reach.
export PATH="$standin_dir:$PATH" H5TEST_DIR="$work" QT_QPA_PLATFORM=offscreen
echo 4096 >"$work/free.seq" # MiB available, as the stand-in free reports it
expected='client -> server [113] {"commandId":3,"data":true,"id":7}'

cmake -S "$source_dir/examples/minimal-host" -B "$work/cmake-host" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-host" >/dev/null
"$work/cmake-host/h5redir-minimal-host" --check >"$work/cmake.out" 2>"$work/cmake.log" ||
    fail "find_package host failed: $(cat "$work/cmake.out" "$work/cmake.log")"
grep -qxF "$expected" "$work/cmake.out" || fail "find_package host saw no reply: $(cat "$work/cmake.out")"
echo "find_package host: $(grep -F 'client -> server' "$work/cmake.out")"

g++ -std=c++17 "$source_dir/examples/minimal-host/main.cpp" -o "$work/pc-host" \
    $cflags $(pkg-config --libs h5redir) -Wl,-rpath,"$prefix/lib"
"$work/pc-host" --check >"$work/pc.out" 2>"$work/pc.log" ||
    fail "pkg-config host failed: $(cat "$work/pc.out" "$work/pc.log")"
grep -qxF "$expected" "$work/pc.out" || fail "pkg-config host saw no reply: $(cat "$work/pc.out")"
echo "pkg-config host: $(grep -F 'client -> server' "$work/pc.out")"
