#!/usr/bin/env bash
# The demo: builds the native configuration (preset native, without the
# benchmarks) into $PSS_BUILD_ROOT/native (default: build/native) with what a
# Debian 12 C++ machine has (GCC, CMake, Ninja; the wire tool's JSON and
# command-line libraries are installed with apt-get when missing) and runs the
# demo clients against the in-process loopback middleware: the C one
# (pss_demo), then the C++ one through the header-only layer (pss_demo_cpp).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=${PSS_BUILD_ROOT:-$root/build}/native

# The native tree also builds the wire tool korvo, which the simulated service
# uses for JSON answers: its two header-only libraries come from Debian.
"$root/scripts/install-deps.sh" demo
cmake -S "$root" --preset native -B "$dir" -DPSS_BUILD_BENCH=OFF
cmake --build "$dir" --target pss_demo pss_demo_cpp
for demo in pss_demo pss_demo_cpp; do
    echo "==== $demo ===="
    "$dir/examples/$demo" "$@"
done
