#!/usr/bin/env bash
# The demo: builds the native configuration into $PSS_BUILD_ROOT/native
# (default: build/native) with what a Debian 12 C++ machine has (GCC, CMake,
# Ninja; the wire tool's JSON and command-line libraries are installed with
# apt-get when missing) and runs the demo clients against the in-process loopback middleware:
# the C one (pss_demo), then the C++ one through the header-only layer
# (pss_demo_cpp).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=${PSS_BUILD_ROOT:-$root/build}/native

if [ ! -f "$root/examples/CMakeLists.txt" ]; then
    echo "demo: the demo client (examples/, target pss_demo) is not part of this tree yet" >&2
    exit 1
fi
# The native tree also builds the wire tool korvo, which the simulated service
# uses for JSON answers: its two header-only libraries come from Debian.
"$root/scripts/install-deps.sh" demo
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++
for target in pss_demo pss_demo_cpp; do
    if ! cmake --build "$dir" --target "$target"; then
        echo "demo: building the target $target failed" >&2
        exit 1
    fi
done
for target in pss_demo pss_demo_cpp; do
    # Not the copies staged by cpack, which belong to an installed layout.
    demo=$(find "$dir" -path "$dir/_CPack_Packages" -prune -o -type f -name "$target" -perm -u+x -print | head -n 1)
    if [ -z "$demo" ]; then
        echo "demo: target $target built no executable named $target" >&2
        exit 1
    fi
    echo "==== $target ===="
    "$demo" "$@"
done
