#!/usr/bin/env bash
# The test command: installs what is missing (cross compilers, qemu-user,
# Clang and its sanitizer runtime, via apt-get as root), then builds every
# configuration into $PSS_BUILD_ROOT/<config> (default: build/) with Ninja and
# runs its whole test suite with ctest. Stops at the first configuration that
# fails and ends with one summary line per configuration.
#
#   scripts/run-tests.sh [native|sanitize|tsan|arm|ppc ...]   (default: all)
#
#   native    GCC, the benchmarks compiled too
#   sanitize  Clang with AddressSanitizer and UndefinedBehaviorSanitizer, fuzz targets
#   tsan      Clang with ThreadSanitizer
#   arm       cross-built for arm-linux-gnueabihf (the target), run under qemu-arm
#   ppc       cross-built for powerpc-linux-gnu (32-bit big-endian), run under qemu-ppc
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_root=${PSS_BUILD_ROOT:-$root/build}
all_configs=(native sanitize tsan arm ppc)

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

cmake_args_of() {
    case "$1" in
        native) echo "-DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ -DPSS_BUILD_BENCH=ON" ;;
        sanitize) echo "-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DPSS_SANITIZE=address,undefined -DPSS_BUILD_FUZZ=ON" ;;
        tsan) echo "-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DPSS_SANITIZE=thread" ;;
        arm) echo "-DCMAKE_TOOLCHAIN_FILE=$root/cmake/toolchains/arm-linux-gnueabihf.cmake" ;;
        ppc) echo "-DCMAKE_TOOLCHAIN_FILE=$root/cmake/toolchains/powerpc-linux-gnu.cmake" ;;
    esac
}

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

for config in "${configs[@]}"; do
    dir="$build_root/$config"
    log="$dir/ctest.log"
    start=$SECONDS
    echo
    echo "==== $config: configure and build in $dir ===="
    # shellcheck disable=SC2046  # the arguments are meant to split
    if ! cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(cmake_args_of "$config") ||
        ! cmake --build "$dir"; then
        summary+=("$(printf '%-9s FAILED to build (%ds)' "$config" $((SECONDS - start)))")
        print_summary
        exit 1
    fi
    echo "==== $config: ctest ===="
    status=0
    (cd "$dir" && ctest --output-on-failure -j2 --timeout 600) 2>&1 | tee "$log" || status=$?
    result=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
    [ -n "$result" ] || result="no test result"
    if [ "$status" -ne 0 ] || ! grep -qE 'out of [1-9]' <<<"$result"; then
        summary+=("$(printf '%-9s FAILED: %s (%ds)' "$config" "$result" $((SECONDS - start)))")
        print_summary
        exit 1
    fi
    summary+=("$(printf '%-9s ok: %s (%ds)' "$config" "$result" $((SECONDS - start)))")
done

print_summary
echo "all configurations passed: ${configs[*]}"
