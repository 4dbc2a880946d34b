#!/usr/bin/env bash
# The library as its users get it, checked from installed trees, never from
# the build tree:
#   - each install component (runtime, dev, sim, trace, tools) into an empty
#     prefix gives exactly its files, nothing of sim in the plain library
#     directory, and the installed .so keeps its SONAME and carries no
#     RUNPATH; the installed tracer needs nothing but the C library;
#   - the installed demo runs from where it lies, natively and under qemu-arm,
#     and the installed pss-trace traces it with the installed tracer: a
#     pcapng file of its 60 packets, as capinfos counts them;
#   - natively, the tools component and its Debian package carry pss-trace,
#     korvo and the Wireshark dissector, the dissector in the folder where
#     tshark looks for Lua plugins of all users, and tshark loads it; the
#     package does not depend on another of this project's, so it installs
#     alone;
#   - natively, the client tests/package/client.c built by an outside CMake
#     project (find_package ... COMPONENTS sim) and by a plain compiler line
#     (pkg-config) runs a call against the simulated service; asking for
#     the next major version fails;
#   - for ARM (preset arm-release), the same CMake project links and runs
#     under qemu-arm; the armhf Debian packages are built, hold an ARM library
#     and say Architecture: armhf; unpacked into a scratch sysroot beside
#     stand-ins for the device's middleware, a pkg-config compiler line
#     without the sim part links against them and runs under qemu-arm.
#   - every program of the native and the ARM installed tree starts from it
#     with nothing else set;
#   - the five packages of each architecture (the manual pages made here):
#     lintian reports no error or warning and no override without a reason;
#     on a fresh Debian 12 root (scripts/fresh-root.sh, tests/package/
#     fresh_install.sh) the host's tools package installs alone with apt, its
#     korvo, pss-trace, dissector and pages work, the whole host set installs,
#     traces its demo and is purged, and the armhf set installs by multiarch.
# Builds into $PSS_BUILD_ROOT/{native,arm-release} (default: build/), works in
# $PSS_BUILD_ROOT/package.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_root=${PSS_BUILD_ROOT:-$root/build}
stage=$build_root/package
client=$root/tests/package/client.c
consumer=$root/tests/package/consumer
arm_sysroot=/usr/arm-linux-gnueabihf

fail() {
    echo "check-package: FAILED: $*" >&2
    exit 1
}
step() { echo "-- $*"; }

# build <preset> <target>...: configures (output shown only on failure) and builds.
build() {
    local preset=$1 dir=$build_root/$1 log
    shift
    log=$(mktemp)
    # The packages carry the manual pages: made here, whatever the tree had.
    cmake -S "$root" --preset "$preset" -B "$dir" -DPSS_MANPAGES=ON >"$log" 2>&1 || {
        cat "$log"
        rm -f "$log"
        fail "configuring preset $preset"
    }
    rm -f "$log"
    cmake --build "$dir" --target "$@" || fail "building $* in $dir"
}

libdir_of() { sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$1/CMakeCache.txt"; }
# The project's version, as CMake knows it (project VERSION).
version_of() { sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$1/CMakeCache.txt"; }

# expect_files <prefix> <relative path>...: the prefix holds exactly these.
expect_files() {
    local prefix=$1
    shift
    local want got
    want=$(printf '%s\n' "$@" | sort)
    got=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort)
    [ "$want" = "$got" ] || fail "files in $prefix differ (< expected, > installed):
$(diff <(echo "$want") <(echo "$got") | grep '^[<>]')"
}

# check_components <build dir> <readelf> <machine>: each component alone into
# an empty prefix, then all three into $stage/<name of build dir>.
check_components() {
    local dir=$1 readelf=$2 machine=$3 name lib c
    name=$(basename "$dir")
    local L
    L=$(libdir_of "$dir")
    local cm=$L/cmake/PatchSdkServiceAgent sim=$L/patch_sdk_service_agent/sim
    local dev=(include/patch_sdk_service_agent.h include/patch_sdk_service_agent_methods.h
        include/patch_sdk_service_agent.hpp
        "$cm/PatchSdkServiceAgentConfig.cmake" "$cm/PatchSdkServiceAgentConfigVersion.cmake"
        "$cm/PatchSdkServiceAgentTargets.cmake" "$cm/PatchSdkServiceAgentTargets-relwithdebinfo.cmake"
        "$L/pkgconfig/patch_sdk_service_agent.pc" share/man/man3/libpatch_sdk_service_agent.3.gz)
    for c in runtime dev sim trace tools; do
        step "$name: component $c into an empty prefix"
        cmake --install "$dir" --component "$c" --prefix "$stage/$name-$c" >/dev/null ||
            fail "installing component $c of $dir"
    done
    expect_files "$stage/$name-runtime" "$L/libpatch_sdk_service_agent.so"
    expect_files "$stage/$name-dev" "${dev[@]}"
    expect_files "$stage/$name-sim" "$sim/libvandrikelm.so" "$sim/libsecmem.so" "$sim/pss_demo" \
        "$cm/PatchSdkServiceAgentSimTargets.cmake" "$cm/PatchSdkServiceAgentSimTargets-relwithdebinfo.cmake" \
        "$L/pkgconfig/patch_sdk_service_agent_sim.pc" share/man/man7/pss-simulated-service.7.gz
    expect_files "$stage/$name-trace" "$L/patch_sdk_service_agent/libpatch_sdk_service_trace.so"
    local tools=(bin/pss-trace share/man/man1/pss-trace.1.gz share/man/man5/pss-trace-format.5.gz)
    # The wire tool and the dissector it generates are built for the host only.
    [ "$name" != native ] ||
        tools+=(bin/korvo "$L/wireshark/plugins/patch_sdk_service.lua" share/man/man1/korvo.1.gz)
    expect_files "$stage/$name-tools" "${tools[@]}"
    local needed
    needed=$("$readelf" -d "$stage/$name-trace/$L/patch_sdk_service_agent/libpatch_sdk_service_trace.so" |
        grep NEEDED)
    [ "$(wc -l <<<"$needed")" = 1 ] && grep -q 'libc\.so\.6' <<<"$needed" ||
        fail "the tracer needs more than the C library: $needed"

    lib=$stage/$name-runtime/$L/libpatch_sdk_service_agent.so
    local header dynamic
    header=$("$readelf" -h "$lib")
    dynamic=$("$readelf" -d "$lib")
    grep -q "Machine:.*$machine" <<<"$header" || fail "$lib is not built for $machine"
    grep -q '(SONAME) *Library soname: \[libpatch_sdk_service_agent.so\]' <<<"$dynamic" ||
        fail "$lib: SONAME is not libpatch_sdk_service_agent.so"
    ! grep -E '\((RUNPATH|RPATH)\)' <<<"$dynamic" || fail "$lib carries a RUNPATH"
    step "$name: $L/libpatch_sdk_service_agent.so: $machine, SONAME kept, no RUNPATH"

    for c in runtime dev sim trace tools; do
        cmake --install "$dir" --component "$c" --prefix "$stage/$name" >/dev/null
    done
}

# check_programs_start <prefix> <runner>...: every program of an installed tree
# starts from it with nothing else set (env -i: no LD_LIBRARY_PATH, no PATH
# into a build tree). For each ELF program the dynamic loader lists what it
# loads without running it (LD_TRACE_LOADED_OBJECTS, through <runner>: nothing
# natively, qemu-arm -L <sysroot> for ARM); pss-trace must find the tracer of
# its own tree.
check_programs_start() {
    local prefix=$1 program loaded count=0
    shift
    while IFS= read -r program; do
        if [ "$(head -c 4 "$program" | od -An -c | tr -d ' ')" = '177ELF' ]; then
            if [ $# -gt 0 ]; then
                loaded=$(env -i QEMU_SET_ENV=LD_TRACE_LOADED_OBJECTS=1 "$@" "$program" 2>&1) ||
                    fail "$program does not start from its tree: $loaded"
            else
                loaded=$(env -i LD_TRACE_LOADED_OBJECTS=1 "$program" 2>&1) ||
                    fail "$program does not start from its tree: $loaded"
            fi
            ! grep -q 'not found' <<<"$loaded" || fail "$program does not start from its tree:
$loaded"
        fi
        count=$((count + 1))
    done < <(find "$prefix" -type f -perm -u+x ! -name '*.so' | sort)
    [ "$count" -gt 0 ] || fail "no programs in $prefix"
    loaded=$(env -i "$prefix/bin/pss-trace" -o "$stage/start.pcapng" -- /usr/bin/env 2>/dev/null |
        sed -n 's/^LD_PRELOAD=//p')
    [ -n "$loaded" ] && [ "$(realpath "$loaded")" = "$prefix/$L/patch_sdk_service_agent/libpatch_sdk_service_trace.so" ] ||
        fail "the installed pss-trace preloads '$loaded', not the tracer of its tree"
    step "$(basename "$prefix"): $count programs start from the installed tree with nothing else set"
}

# consumer_cmake <name> <cmake args>...: configures and builds the outside project.
consumer_cmake() {
    local name=$1
    shift
    cmake -S "$consumer" -B "$stage/consumer-$name" -G Ninja "$@" >"$stage/consumer-$name.log" 2>&1 || {
        cat "$stage/consumer-$name.log"
        fail "configuring the CMake consumer ($name)"
    }
    cmake --build "$stage/consumer-$name" || fail "building the CMake consumer ($name)"
}

rm -rf "$stage"
mkdir -p "$stage"

# ---- native ----------------------------------------------------------------
build native patch_sdk_service_agent vandrikelm secmem pss_demo patch_sdk_service_trace korvo_cli \
    pss_dissector pss_manpages
# The host's machine, as readelf names it.
check_components "$build_root/native" readelf "$(readelf -h /bin/sh | sed -n 's/.*Machine: *//p')"
prefix=$stage/native
L=$(libdir_of "$build_root/native")
version=$(version_of "$build_root/native")
[ -n "$version" ] || fail "no project version in $build_root/native/CMakeCache.txt"
major=${version%%.*}

check_programs_start "$prefix"
env -i "$prefix/bin/korvo" --help >/dev/null || fail "the installed korvo --help, with nothing else set"

step "native: the tools package: pss-trace, korvo, and the built dissector where tshark looks for it"
plugins=$L/wireshark/plugins
cmp "$stage/native-tools/$plugins/patch_sdk_service.lua" "$build_root/native/tools/korvo/patch_sdk_service.lua" ||
    fail "the installed dissector is not the one the build generated"
global=$(tshark -G folders 2>/dev/null | sed -n 's/^Global Lua Plugins:[[:space:]]*//p')
[ "$global" = "/usr/$plugins" ] ||
    fail "tshark's global Lua plugin folder is '$global', the package installs into /usr/$plugins"
fields=$(tshark -G fields -X lua_script:"$stage/native-tools/$plugins/patch_sdk_service.lua" 2>/dev/null)
grep -q $'\tpss.call\t' <<<"$fields" || fail "tshark does not load the installed dissector"
(cd "$build_root/native" && cpack -G DEB -B "$stage/deb-native") >"$stage/cpack-native.log" 2>&1 || {
    cat "$stage/cpack-native.log"
    fail "cpack in $build_root/native"
}
tools_deb=$(ls "$stage"/deb-native/patch-sdk-service-agent-tools_*.deb)
tools_files=$(dpkg-deb --contents "$tools_deb")
for f in usr/bin/pss-trace usr/bin/korvo "usr/$plugins/patch_sdk_service.lua" usr/share/man/man1/korvo.1.gz; do
    grep -q " \./$f\$" <<<"$tools_files" || fail "$tools_deb does not carry /$f"
done
# korvo and the dissector work without the tracer, so that the package
# installs alone; pss-trace wants it.
grep -q "^patch-sdk-service-agent-trace (= $version)" <<<"$(dpkg-deb --field "$tools_deb" Recommends)" ||
    fail "$tools_deb does not recommend the tracer's package of its version"
! dpkg-deb --field "$tools_deb" Depends | grep -q patch-sdk-service-agent ||
    fail "$tools_deb depends on a package of this project: it would not install alone"

step "native: the installed demo finds the agent and the stand-ins from where it lies"
"$prefix/$L/patch_sdk_service_agent/sim/pss_demo" >"$stage/demo-native.log" 2>&1 || {
    tail -n 20 "$stage/demo-native.log"
    fail "the installed demo (native)"
}
tail -n 1 "$stage/demo-native.log"

# trace_packets <trace>: packets as capinfos counts them.
trace_packets() { capinfos -T -r -c "$1" | cut -f2; }

step "native: the installed pss-trace traces the installed demo"
"$prefix/bin/pss-trace" -o "$stage/demo-native.pcapng" -- \
    "$prefix/$L/patch_sdk_service_agent/sim/pss_demo" >/dev/null || fail "the traced demo (native)"
[ "$(trace_packets "$stage/demo-native.pcapng")" = 60 ] || fail "the native demo's trace"

step "native: CMake consumer (find_package PatchSdkServiceAgent $major COMPONENTS sim)"
consumer_cmake native -DCMAKE_PREFIX_PATH="$prefix" -DPSS_WANTED_VERSION="$major"
"$stage/consumer-native/pss_consumer" || fail "the CMake consumer's call"

next=$((major + 1))
step "native: CMake consumer asking for version $next must not find version $version"
if cmake -S "$consumer" -B "$stage/consumer-v$next" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DPSS_WANTED_VERSION=$next >"$stage/consumer-v$next.log" 2>&1; then
    fail "find_package(PatchSdkServiceAgent $next) accepted version $version"
fi
grep -q "compatible with requested version \"$next\"" "$stage/consumer-v$next.log" ||
    fail "version $next refused, but not for its version: $(cat "$stage/consumer-v$next.log")"

step "native: pkg-config --cflags --libs patch_sdk_service_agent patch_sdk_service_agent_sim"
flags=$(PKG_CONFIG_LIBDIR=$prefix/$L/pkgconfig pkg-config --cflags --libs \
    patch_sdk_service_agent patch_sdk_service_agent_sim) || fail "pkg-config (native)"
echo "   $flags"
# shellcheck disable=SC2086  # the flags are meant to split
gcc -std=c99 -Wall -Wextra -Werror -o "$stage/pkgconfig-native" "$client" $flags ||
    fail "compiling with pkg-config's flags (native)"
"$stage/pkgconfig-native" || fail "the pkg-config consumer's call"

# ---- ARM -------------------------------------------------------------------
build arm-release all
check_components "$build_root/arm-release" arm-linux-gnueabihf-readelf ARM
prefix=$stage/arm-release
L=$(libdir_of "$build_root/arm-release")

check_programs_start "$prefix" qemu-arm -L "$arm_sysroot"

step "arm: the installed demo under qemu-arm"
qemu-arm -L "$arm_sysroot" "$prefix/$L/patch_sdk_service_agent/sim/pss_demo" >"$stage/demo-arm.log" 2>&1 || {
    tail -n 20 "$stage/demo-arm.log"
    fail "the installed demo (arm)"
}
tail -n 1 "$stage/demo-arm.log"

step "arm: the installed pss-trace, the ARM tracer preloaded in qemu-arm's guest"
"$prefix/bin/pss-trace" -o "$stage/demo-arm.pcapng" -- qemu-arm -L "$arm_sysroot" \
    "$prefix/$L/patch_sdk_service_agent/sim/pss_demo" >/dev/null || fail "the traced demo (arm)"
[ "$(trace_packets "$stage/demo-arm.pcapng")" = 60 ] || fail "the ARM demo's trace"

step "arm: CMake consumer, cross-built, run under qemu-arm"
consumer_cmake arm -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/arm-linux-gnueabihf.cmake" \
    -DPatchSdkServiceAgent_DIR="$prefix/$L/cmake/PatchSdkServiceAgent"
qemu-arm -L "$arm_sysroot" "$stage/consumer-arm/pss_consumer" || fail "the ARM CMake consumer's call"

step "arm: Debian packages (cpack -G DEB)"
(cd "$build_root/arm-release" && cpack -G DEB -B "$stage/deb") >"$stage/cpack.log" 2>&1 || {
    cat "$stage/cpack.log"
    fail "cpack in $build_root/arm-release"
}
runtime_deb=$stage/deb/libpatch-sdk-service-agent1_${version}_armhf.deb
dev_deb=$stage/deb/libpatch-sdk-service-agent-dev_${version}_armhf.deb
[ -f "$runtime_deb" ] && [ -f "$dev_deb" ] || fail "packages missing: $(ls "$stage/deb")"
dpkg-deb --info "$runtime_deb"
dpkg-deb --contents "$runtime_deb"
[ "$(dpkg-deb --field "$runtime_deb" Architecture)" = armhf ] || fail "$runtime_deb is not Architecture: armhf"
[ "$(dpkg-deb --field "$dev_deb" Depends)" = "libpatch-sdk-service-agent1 (= $version)" ] ||
    fail "$dev_deb does not depend on the runtime package of its version"
sysroot=$stage/sysroot
dpkg-deb --extract "$runtime_deb" "$sysroot"
dpkg-deb --extract "$dev_deb" "$sysroot"
lib=$sysroot/usr/$L/libpatch_sdk_service_agent.so
[ -f "$lib" ] || fail "$runtime_deb has no /usr/$L/libpatch_sdk_service_agent.so"
kind=$(file "$lib")
echo "$kind"
grep -q 'ELF 32-bit LSB shared object, ARM' <<<"$kind" || fail "$lib is not an ARM library"

step "arm: pkg-config against the packages unpacked into a sysroot, without the sim part"
# The device's own middleware and memcpy_s/memset_s, played by the stand-ins.
cp "$prefix/$L/patch_sdk_service_agent/sim/"lib*.so "$sysroot/usr/$L/"
flags=$(PKG_CONFIG_SYSROOT_DIR=$sysroot PKG_CONFIG_LIBDIR=$sysroot/usr/$L/pkgconfig \
    pkg-config --cflags --libs patch_sdk_service_agent) || fail "pkg-config (arm)"
echo "   $flags"
# shellcheck disable=SC2086
arm-linux-gnueabihf-gcc -std=c99 -Wall -Wextra -Werror -o "$stage/pkgconfig-arm" "$client" $flags \
    -Wl,-rpath-link,"$sysroot/usr/$L" -lsecmem || fail "compiling with pkg-config's flags (arm)"
LD_LIBRARY_PATH=$sysroot/usr/$L qemu-arm -L "$arm_sysroot" "$stage/pkgconfig-arm" ||
    fail "the ARM pkg-config consumer's call"

# ---- every package ----------------------------------------------------------
debs=("$stage"/deb-native/*.deb "$stage"/deb/*.deb)
host_arch=$(dpkg --print-architecture)
for a in "$host_arch" armhf; do
    n=$(printf '%s\n' "${debs[@]}" | grep -c "_${a}\.deb\$")
    [ "$n" = 5 ] || fail "$n $a packages, not one for each of the five components"
done

step "lintian: ${#debs[@]} packages, no error or warning; an override only with its reason"
# -I: also the hints that an override no longer matches (unused-override,
# mismatched-override), so that none outlives what it was for. Overridden
# tags come as O: lines, each after the N: lines of its reason.
lintian --tag-display-limit 0 --show-overrides -I "${debs[@]}" >"$stage/lintian.log" 2>&1 ||
    { cat "$stage/lintian.log"; fail "lintian failed"; }
grep -E '^[EW]: ' "$stage/lintian.log" && fail "lintian reports errors or warnings (above)"
grep -E '^[A-Z]: .*(unused|mismatched)-override' "$stage/lintian.log" && fail "lintian: an override matches nothing (above)"
awk '/^O: / && prev !~ /^N: / { print; bad = 1 } { prev = $0 } END { exit bad }' "$stage/lintian.log" ||
    fail "lintian: an override without a reason (above)"
grep '^O: ' "$stage/lintian.log" | sed 's/^/   /'

step "a fresh Debian 12 root: apt-get install of the $host_arch packages, then of the armhf ones"
puts=()
for f in "${debs[@]}" "$stage/demo-native.pcapng" "$root/tests/package/fresh_install.sh"; do
    puts+=(--put "$f")
done
start=$SECONDS
"$root/scripts/fresh-root.sh" "${puts[@]}" -- sh /put/fresh_install.sh "$host_arch" armhf \
    >"$stage/fresh-root.log" 2>&1 || {
    tail -n 30 "$stage/fresh-root.log"
    fail "installing the packages on a fresh Debian 12 root (see $stage/fresh-root.log)"
}
grep '^-- fresh root' "$stage/fresh-root.log" | sed 's/^/   /'
echo "   ($((SECONDS - start)) s)"

echo "check-package: all checks passed"
