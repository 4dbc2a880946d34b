#!/bin/sh
# The packages as an integrator meets them: run by scripts/check-package.sh as
# root in a fresh minimal Debian 12 root (scripts/fresh-root.sh), with the
# packages, this script and a call trace of the demo in /put/.
#
#   fresh_install.sh ARCH [FOREIGN_ARCH]
#
# ARCH is the root's own architecture:
#   1. the tools package alone installs with apt and every dependency from the
#      distribution; korvo --help works, pss-trace prints its usage, korvo
#      trace reads the trace, tshark finds the dissector without -X and
#      decodes the trace with it, man shows korvo(1), pss-trace(1) and
#      pss-trace-format(5);
#   2. the whole set installs; ldconfig knows the agent (its trigger); the
#      installed pss-trace traces the installed demo, and korvo (which refuses
#      its one damaged answer) and tshark read that trace; man shows the library's and the simulated service's pages;
#   3. the set is purged, and ldconfig forgets the agent.
# FOREIGN_ARCH (armhf) has its packages installed the same way through
# Debian's multiarch, with their dependencies of that architecture from the
# distribution: every package ends installed (its triggers run), pss-trace
# finds the tracer of its architecture, and man shows the pages.
set -eu
arch=$1 foreign=${2:-}
export DEBIAN_FRONTEND=noninteractive
cd /put

step() { echo "-- fresh root: $*"; }
fail() {
    echo "fresh_install: FAILED: $*" >&2
    exit 1
}
apt_get() { apt-get -q -y -o Dpkg::Use-Pty=0 "$@" >>/tmp/apt.log 2>&1 || { tail -n 20 /tmp/apt.log; fail "apt-get $*"; }; }
# lines <count> <what> <command...>: the command's output has that many lines.
lines() {
    want=$1 what=$2
    shift 2
    got=$("$@" | wc -l) || fail "$what: $* failed"
    [ "$got" = "$want" ] || fail "$what: $got lines, not $want"
}
# page <section> <name>: man shows the page, and it is the one named.
page() {
    # Without col(1) man keeps the terminal's overstrike: drop it.
    text=$(MANWIDTH=80 man "$1" "$2" 2>&1 | sed 's/.\x08//g') || fail "man $1 $2: $text"
    printf '%s\n' "$text" | grep -q "^NAME" || fail "man $1 $2 shows no NAME section"
    printf '%s\n' "$text" | grep -q "$2 - " || fail "man $1 $2 shows another page"
}

# multiarch <arch>: the library directory's name, as the C library of that
# architecture lays it out (no dpkg-dev in a minimal root).
multiarch() {
    dpkg -L "libc6:$1" | sed -n 's|^/lib/\([^/]*\)/libc\.so\.6$|\1|p' | grep . || fail "no libc6:$1"
}

apt_get update
step "apt-get install ./patch-sdk-service-agent-tools_*_$arch.deb, alone"
apt_get install ./patch-sdk-service-agent-tools_*_"$arch".deb
korvo --help | grep -q 'korvo(1)' || fail "korvo --help does not name its manual page"
usage=$(pss-trace 2>&1) && fail "pss-trace without arguments succeeded"
printf '%s\n' "$usage" | grep -q '^usage: pss-trace' || fail "pss-trace printed no usage: $usage"
lines 30 "korvo trace of the demo's trace" korvo trace demo-native.pcapng

step "tshark and man-db from the distribution: the dissector without -X, the pages"
apt_get install --no-install-recommends tshark man-db
L=$(multiarch "$arch")
tshark -G plugins 2>/dev/null | grep -q "/usr/lib/$L/wireshark/plugins/patch_sdk_service.lua" ||
    fail "tshark -G plugins does not list the installed dissector"
lines 60 "tshark's pss.call packets of the demo's trace" \
    tshark -r demo-native.pcapng -Y pss.call -T fields -e pss.method
page 1 korvo
page 1 pss-trace
page 5 pss-trace-format

step "apt-get install of the whole $arch set"
apt_get install ./*_"$arch".deb
ldconfig -p | grep -q "=> .*/lib/$L/libpatch_sdk_service_agent.so$" || fail "ldconfig does not know the agent"
pss-trace -o /tmp/demo.pcapng -- "/usr/lib/$L/patch_sdk_service_agent/sim/pss_demo" >/tmp/demo.log 2>&1 ||
    { tail -n 20 /tmp/demo.log; fail "the installed demo under the installed pss-trace"; }
lines 30 "korvo trace of the installed demo's trace" korvo trace /tmp/demo.pcapng
# The demo's last call is answered with a damaged buffer on purpose.
refused=$(korvo trace --check /tmp/demo.pcapng 2>&1 >/dev/null) && fail "korvo trace --check took the damaged answer"
[ "$(printf '%s\n' "$refused" | grep -c 'refused at byte')" = 1 ] ||
    fail "korvo trace --check: not exactly the demo's one damaged answer refused: $refused"
lines 60 "tshark's pss.call packets of the installed demo's trace" \
    tshark -r /tmp/demo.pcapng -Y pss.call -T fields -e pss.method
page 3 libpatch_sdk_service_agent
page 7 pss-simulated-service

step "apt-get purge of the $arch set"
packages=$(for deb in ./*_"$arch".deb; do dpkg-deb --field "$deb" Package; done)
# shellcheck disable=SC2086  # one word per package
apt_get purge $packages
! ldconfig -p | grep -q libpatch_sdk_service_agent || fail "ldconfig still knows the purged agent"

[ -n "$foreign" ] || exit 0
step "apt-get install of the whole $foreign set (multiarch: dependencies of $foreign)"
dpkg --add-architecture "$foreign"
apt_get update
apt_get install ./*_"$foreign".deb
F=$(multiarch "$foreign")
# Installed, not half-configured or waiting for a trigger. (The host's ldconfig
# caches only libraries of its own machine, so its cache cannot show them.)
for deb in ./*_"$foreign".deb; do
    package=$(dpkg-deb --field "$deb" Package)
    [ "$(dpkg-query -W -f='${Status} ${Architecture}' "$package:$foreign")" = "install ok installed $foreign" ] ||
        fail "$package:$foreign is not installed"
done
tracer=$(pss-trace -o /tmp/none.pcapng -- /usr/bin/env 2>/dev/null | sed -n 's/^LD_PRELOAD=//p')
[ "$(realpath "$tracer")" = "/usr/lib/$F/patch_sdk_service_agent/libpatch_sdk_service_trace.so" ] ||
    fail "the $foreign pss-trace preloads '$tracer'"
page 1 pss-trace
page 3 libpatch_sdk_service_agent
step "all checks passed"
