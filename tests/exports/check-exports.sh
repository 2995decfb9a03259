#!/bin/sh
# Fails when the library exports a symbol of its own that belongs to none of its public classes:
# internal helpers (the free-memory reading, the registry lookup, ...) must stay hidden. Qt's
# templates and inline members that a build type happens to emit, and the toolchain's own symbols,
# are not the library's.
#   check-exports.sh LIBRARY
set -eu
lib=$1
symbols=$(nm -D --defined-only "$lib" | c++filt | awk '{ $1 = ""; $2 = ""; sub(/^  /, ""); print }')
# Guards against an empty listing passing for a clean one.
echo "$symbols" | grep -qx 'H5redir::parseSpiceData(void\*, unsigned int)' || {
    echo "check-exports: H5redir::parseSpiceData is not exported by $lib" >&2
    exit 1
}
stray=$(echo "$symbols" \
    | sed -E 's/^(typeinfo|typeinfo name|vtable|guard variable) for //' \
    | grep -Ev '^(H5redir|H5MemoryUtil|H5Socket|H5SocketServer)(::|$)' \
    | grep -Ev '^Q[A-Za-z0-9]*(::|<|$)|^__(odr_)?(asan|ubsan|tsan)' \
    | grep -Evx '__bss_start|_edata|_end|_init|_fini' || true)
if [ -n "$stray" ]; then
    echo "check-exports: $lib exports symbols outside the public classes:" >&2
    echo "$stray" >&2
    exit 1
fi
echo "check-exports: $(echo "$symbols" | wc -l) symbols, all of public classes"
