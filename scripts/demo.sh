#!/usr/bin/env bash
# The demo: builds what the demo clients need of the native configuration
# (preset native, without the tests and benchmarks) into $PSS_BUILD_ROOT/native
# (default: build/native), installing with apt-get what a Debian 12 machine
# lacks for it (GCC, CMake, Ninja, the wire tool's JSON and command-line
# libraries), and runs the
# demo clients against the in-process loopback middleware: the C one
# (pss_demo), then the C++ one through the header-only layer (pss_demo_cpp).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=${PSS_BUILD_ROOT:-$root/build}/native

# The native tree also holds the wire tool korvo, whose JSON form the simulated
# service uses for JSON answers: its two header-only libraries come from Debian.
# The test folders need more (tshark, GoogleTest): the test command builds them.
"$root/scripts/install-deps.sh" demo
cmake -S "$root" --preset native -B "$dir" -DPSS_BUILD_TESTS=OFF -DPSS_BUILD_BENCH=OFF
cmake --build "$dir" --target pss_demo pss_demo_cpp
for demo in pss_demo pss_demo_cpp; do
    echo "==== $demo ===="
    "$dir/examples/$demo" "$@"
done
