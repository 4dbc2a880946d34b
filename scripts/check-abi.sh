#!/usr/bin/env bash
# Holds the ABI of the shipped ARM library to its baseline in abi/: builds
# libpatch_sdk_service_agent.so with the arm-release preset (the shipped code,
# with its debug information, in $PSS_BUILD_ROOT/arm-release), writes its ABI
# with abidw and compares it with the baseline using abidiff. Any change of an
# exported function's signature, a record's size or layout, a member's type or
# offset, or the exported symbol set fails, with abidiff's report.
#
#   scripts/check-abi.sh            compare with the baseline
#   scripts/check-abi.sh --update   rewrite the baseline after a deliberate
#                                   change, so that the change shows in review
#
# The baseline holds no path of the machine that wrote it (no corpus or
# compilation directory, file names without directories), so it compares
# equal wherever the tree is built.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_root=${PSS_BUILD_ROOT:-$root/build}
dir=$build_root/arm-release
baseline=$root/abi/libpatch_sdk_service_agent.abi

update=0
case "${1:-}" in
    "") ;;
    --update) update=1 ;;
    *)
        echo "usage: scripts/check-abi.sh [--update]" >&2
        exit 2
        ;;
esac

# Never passes by skipping: without its tools the check fails and says why.
missing=()
for tool in arm-linux-gnueabihf-gcc:g++-arm-linux-gnueabihf arm-linux-gnueabihf-readelf:binutils-arm-linux-gnueabihf \
    abidw:abigail-tools abidiff:abigail-tools cmake:cmake ninja:ninja-build; do
    command -v "${tool%%:*}" >/dev/null 2>&1 || missing+=("${tool%%:*} (Debian package ${tool#*:})")
done
# Configuring the tree takes the simulated service's JSON library too.
[ -e /usr/include/nlohmann/json.hpp ] || missing+=("nlohmann/json.hpp (Debian package nlohmann-json3-dev)")
if [ ${#missing[@]} -gt 0 ]; then
    echo "check-abi: cannot check the ABI; missing:" >&2
    printf '  %s\n' "${missing[@]}" >&2
    echo "check-abi: scripts/install-deps.sh abi installs them" >&2
    exit 1
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! cmake -S "$root" --preset arm-release -B "$dir" >"$log" 2>&1; then
    cat "$log" >&2
    echo "check-abi: configuring $dir failed" >&2
    exit 1
fi
cmake --build "$dir" --target patch_sdk_service_agent
lib=$dir/agent/libpatch_sdk_service_agent.so
sections=$(arm-linux-gnueabihf-readelf -S "$lib")
if ! grep -q '\.debug_info' <<<"$sections"; then
    echo "check-abi: $lib has no debug information: abidw could not see its types" >&2
    exit 1
fi

current=$dir/libpatch_sdk_service_agent.abi
# Types limited to those of the public headers; ids independent of the order
# of the debug information.
abidw --no-corpus-path --no-comp-dir-path --short-locs --drop-private-types \
    --headers-dir "$root/include" --type-id-style hash --out-file "$current" "$lib"

if [ "$update" = 1 ]; then
    mkdir -p "$(dirname "$baseline")"
    cp "$current" "$baseline"
    echo "check-abi: baseline rewritten: $baseline (review and commit the change)"
    exit 0
fi
if [ ! -f "$baseline" ]; then
    echo "check-abi: no baseline $baseline; write it with scripts/check-abi.sh --update" >&2
    exit 1
fi
status=0
abidiff "$baseline" "$current" >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    cat "$log"
    echo "check-abi: FAILED: the ABI of $lib differs from $baseline (abidiff status $status)." >&2
    echo "check-abi: if the change is deliberate, run scripts/check-abi.sh --update and commit abi/ with it" >&2
    exit 1
fi
symbols=$(grep -c '<elf-symbol ' "$current")
echo "check-abi: ABI unchanged: $symbols exported symbols, every record and prototype as in $baseline"
