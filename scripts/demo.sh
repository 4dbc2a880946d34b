#!/usr/bin/env bash
# The demo: builds the native configuration into $PSS_BUILD_ROOT/native
# (default: build/native) with what a Debian 12 C++ machine has (GCC, CMake,
# Ninja) and runs the demo client against the in-process loopback middleware.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=${PSS_BUILD_ROOT:-$root/build}/native

if [ ! -f "$root/examples/CMakeLists.txt" ]; then
    echo "demo: the demo client (examples/, target pss_demo) is not part of this tree yet" >&2
    exit 1
fi
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++
if ! cmake --build "$dir" --target pss_demo; then
    echo "demo: building the target pss_demo failed" >&2
    exit 1
fi
# Not the copies staged by cpack, which belong to an installed layout.
demo=$(find "$dir" -path "$dir/_CPack_Packages" -prune -o -type f -name pss_demo -perm -u+x -print | head -n 1)
if [ -z "$demo" ]; then
    echo "demo: target pss_demo built no executable named pss_demo" >&2
    exit 1
fi
exec "$demo" "$@"
