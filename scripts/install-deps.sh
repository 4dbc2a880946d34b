#!/usr/bin/env bash
# Installs, with apt-get, whatever the named build configurations need and this
# machine lacks (Debian 12). Idempotent: when everything is there it installs
# nothing and does not touch the network. Needs root (or sudo) only when it
# has something to install.
#
#   scripts/install-deps.sh [demo|native|sanitize|tsan|arm|ppc|package|abi ...]   (default: all)
set -euo pipefail

configs=("$@")
[ ${#configs[@]} -gt 0 ] || configs=(native sanitize tsan arm ppc package abi)

# Clang's sanitizer runtime is packaged per Clang release.
clang_rt_package() {
    local major=14
    if command -v clang++ >/dev/null 2>&1; then
        major=$(clang++ -dumpversion | cut -d. -f1)
    fi
    echo "libclang-rt-${major}-dev"
}

packages=(cmake ninja-build g++)
for config in "${configs[@]}"; do
    # Every configuration but the demo builds the tests.
    [ "$config" = demo ] || packages+=(googletest)
    case "$config" in
        demo) packages+=(nlohmann-json3-dev libcli11-dev) ;;  # the native tree holds korvo
        # The wire tool's tests feed it what xxd and hexdump (bsdextrautils) write;
        # Wireshark's tshark (with capinfos, editcap, mergecap) judges the
        # tracer's traces and the dissector; the tracer's tests run pss-trace
        # in busybox's shell as on a device; valgrind runs the demo under a
        # fault plan whose completion never comes. pandoc makes the manual
        # pages, which man-db (man, lexgrog) and groff check.
        native) packages+=(libbenchmark-dev nlohmann-json3-dev libcli11-dev xxd bsdextrautils tshark busybox
            valgrind pandoc man-db groff-base) ;;
        sanitize) packages+=(clang nlohmann-json3-dev libcli11-dev xxd bsdextrautils tshark busybox) ;;
        tsan) packages+=(clang nlohmann-json3-dev libcli11-dev xxd bsdextrautils tshark busybox) ;;
        # The simulated service reads JSON answers and fault plans in every
        # build: the cross toolchains reach the host's header-only nlohmann-json.
        arm) packages+=(g++-arm-linux-gnueabihf qemu-user nlohmann-json3-dev tshark busybox) ;;
        ppc) packages+=(g++-powerpc-linux-gnu qemu-user nlohmann-json3-dev tshark busybox) ;;
        # Installed trees and their consumers, natively (korvo included) and
        # for ARM; the armhf Debian packages (dpkg-architecture, of dpkg-dev,
        # names the target's architecture); tshark counts the installed
        # tracer's packets and loads the installed dissector; the packages
        # carry the manual pages (pandoc) and lintian judges them; mmdebstrap
        # makes the fresh root they are installed in.
        package) packages+=(libbenchmark-dev nlohmann-json3-dev libcli11-dev g++-arm-linux-gnueabihf
            qemu-user pkg-config dpkg-dev file tshark pandoc man-db lintian mmdebstrap) ;;
        abi) packages+=(g++-arm-linux-gnueabihf nlohmann-json3-dev abigail-tools) ;;  # the tree configures whole
        *)
            echo "install-deps: unknown configuration '$config'" >&2
            exit 2
            ;;
    esac
done
# Known only once clang is there; asked again after the first install.
needs_clang_rt=0
for config in "${configs[@]}"; do
    case "$config" in sanitize | tsan) needs_clang_rt=1 ;; esac
done

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q '^install ok installed$'; }

missing_of() {
    local p
    for p in "$@"; do
        installed "$p" || echo "$p"
    done | sort -u
}

apt_install() {
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null 2>&1; then
            sudo=(sudo)
        else
            echo "install-deps: missing packages ($*) and not root; install them as root" >&2
            exit 1
        fi
    fi
    echo "install-deps: installing with apt-get as root: $*"
    if [ -z "${PSS_APT_UPDATED:-}" ]; then
        "${sudo[@]}" apt-get update -q
        export PSS_APT_UPDATED=1
    fi
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@"
}

mapfile -t missing < <(missing_of "${packages[@]}")
if [ ${#missing[@]} -gt 0 ]; then
    apt_install "${missing[@]}"
fi
if [ "$needs_clang_rt" = 1 ]; then
    mapfile -t missing < <(missing_of "$(clang_rt_package)")
    if [ ${#missing[@]} -gt 0 ]; then
        apt_install "${missing[@]}"
    fi
fi
echo "install-deps: all packages needed for ${configs[*]} are present"
