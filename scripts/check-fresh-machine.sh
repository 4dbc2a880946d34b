#!/usr/bin/env bash
# The README's first command on a fresh Debian 12 machine: a clean clone of
# the committed tree runs scripts/demo.sh in a minimal root (scripts/fresh-root.sh),
# which must install what it needs itself. Run by CI after the test command.
#
#   scripts/check-fresh-machine.sh [--keep]
#
# The demo's output goes to $PSS_BUILD_ROOT/fresh-machine.log (default
# build/); its last lines are shown when it fails.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_root=${PSS_BUILD_ROOT:-$root/build}
mkdir -p "$build_root"
log=$build_root/fresh-machine.log
start=$SECONDS
"$root/scripts/fresh-root.sh" --clone "$@" -- scripts/demo.sh >"$log" 2>&1
rc=$?
if [ $rc -ne 0 ]; then
    tail -20 "$log" | sed 's/^/    /'
    echo "check-fresh-machine: scripts/demo.sh failed on a fresh Debian 12 root (exit $rc after $((SECONDS - start)) s); see $log" >&2
    exit 1
fi
grep -q '^==== pss_demo_cpp ====' "$log" || { echo "check-fresh-machine: the demo did not run both clients; see $log" >&2; exit 1; }
echo "check-fresh-machine: scripts/demo.sh passed on a fresh Debian 12 root ($((SECONDS - start)) s)"
