#!/usr/bin/env bash
# The test command: installs what is missing (cross compilers, qemu-user,
# Clang and its sanitizer runtime, abigail-tools..., via apt-get as root), then
# builds every configuration of CMakePresets.json into $PSS_BUILD_ROOT/<config>
# (default: build/) with Ninja and runs its whole test suite with ctest; then
# the two checks of what ships. Stops at the first configuration or check that
# fails and ends with one summary line for each.
#
#   scripts/run-tests.sh [native|sanitize|tsan|arm|ppc|package|abi ...]   (default: all)
#
#   native    GCC, the benchmarks compiled too
#   sanitize  Clang with AddressSanitizer and UndefinedBehaviorSanitizer, fuzz targets
#   tsan      Clang with ThreadSanitizer
#   arm       cross-built for arm-linux-gnueabihf (the target), run under qemu-arm
#   ppc       cross-built for powerpc-linux-gnu (32-bit big-endian), run under qemu-ppc
#   package   scripts/check-package.sh: install components into empty prefixes,
#             consumers (CMake, pkg-config) natively and for ARM, the Debian
#             packages of both architectures, lintian, apt on a fresh root
#   abi       scripts/check-abi.sh: the ARM library's ABI against abi/
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_root=${PSS_BUILD_ROOT:-$root/build}
mkdir -p "$build_root"
# Absolute, as ctest runs from the tree (where the presets are) and the checks
# build into the same root.
build_root=$(cd "$build_root" && pwd)
export PSS_BUILD_ROOT=$build_root
all_configs=(native sanitize tsan arm ppc package abi)

configs=("$@")
[ ${#configs[@]} -gt 0 ] || configs=("${all_configs[@]}")
for config in "${configs[@]}"; do
    case " ${all_configs[*]} " in
        *" $config "*) ;;
        *)
            echo "run-tests: unknown configuration '$config' (known: ${all_configs[*]})" >&2
            exit 2
            ;;
    esac
done

"$root/scripts/install-deps.sh" "${configs[@]}"

# Sanitizer reports end the process with a failure; stack traces symbolised.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

summary=()
print_summary() {
    echo
    echo "==== summary ===="
    local line
    for line in "${summary[@]}"; do
        echo "$line"
    done
}

# check <config> <script>: one of the checks of what ships.
check() {
    local config=$1 start=$SECONDS
    echo
    echo "==== $config: $2 ===="
    if ! "$root/$2"; then
        summary+=("$(printf '%-9s FAILED: %s (%ds)' "$config" "$2" $((SECONDS - start)))")
        print_summary
        exit 1
    fi
    summary+=("$(printf '%-9s ok: %s (%ds)' "$config" "$2" $((SECONDS - start)))")
}

for config in "${configs[@]}"; do
    case "$config" in
        package)
            check package scripts/check-package.sh
            continue
            ;;
        abi)
            check abi scripts/check-abi.sh
            continue
            ;;
    esac
    dir="$build_root/$config"
    log="$dir/ctest.log"
    start=$SECONDS
    echo
    echo "==== $config: configure (preset $config) and build in $dir ===="
    if ! cmake -S "$root" --preset "$config" -B "$dir" || ! cmake --build "$dir"; then
        summary+=("$(printf '%-9s FAILED to build (%ds)' "$config" $((SECONDS - start)))")
        print_summary
        exit 1
    fi
    echo "==== $config: ctest ===="
    # ctest's exit status is the verdict: a failed test, or no test at all, fails.
    if ! (cd "$root" && ctest --preset "$config" --test-dir "$dir" --no-tests=error) 2>&1 |
        tee "$log"; then
        summary+=("$(printf '%-9s FAILED: ctest, see %s (%ds)' "$config" "$log" $((SECONDS - start)))")
        print_summary
        exit 1
    fi
    summary+=("$(printf '%-9s ok: ctest (%ds)' "$config" $((SECONDS - start)))")
done

print_summary
echo "all configurations passed: ${configs[*]}"
