#!/bin/sh
# How fast tshark reads a call trace with the Wireshark dissector: a trace of
# 100,000 calls from eight threads (trace_load under pss-trace), read by
# tshark without the plugin and with it; packets per second of the whole run
# (wall time, tshark's own start included), the best of three runs, since
# the machine is shared. A benchmark to run by hand, not a test.
#   bench/dissector_bench.sh [BUILD [PLUGIN...]]
# BUILD is a native build tree (default build/native) with pss-trace,
# trace_load and the dissector; each PLUGIN (default: BUILD's) is timed, so
# that two versions of the dissector compare on the same trace.
set -eu
build=${1:-build/native}
[ $# -gt 0 ] && shift
[ $# -gt 0 ] || set -- "$build/tools/korvo/patch_sdk_service.lua"
for f in "$build/trace/pss-trace" "$build/tests/trace/trace_load" "$@"; do
    [ -e "$f" ] || { echo "dissector_bench: no $f (cmake --build $build)" >&2; exit 2; }
done
if tshark -G plugins 2>/dev/null | grep -q patch_sdk_service; then
    echo "dissector_bench: a patch_sdk_service plugin is installed: 'without the plugin' would load it" >&2
    exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trace=$work/t.pcapng
# 4167 rounds of three calls on each of eight threads: 100,008 calls.
PSS_TRACE_QUEUE_KB=65536 "$build/trace/pss-trace" -o "$trace" -- "$build/tests/trace/trace_load" 4167 >/dev/null
packets=$(capinfos -T -r -c "$trace" | cut -f2)
echo "trace: $packets packets, $(($(wc -c <"$trace") / 1000000)) MB"

now() { date +%s%N; }
# best LABEL PACKETS TSHARK-ARGS...: the best of three runs.
best() {
    label=$1 count=$2
    shift 2
    least=''
    for _ in 1 2 3; do
        start=$(now)
        if ! tshark "$@" >/dev/null 2>&1; then
            printf '%-44s failed (tshark %s)\n' "$label" "$*"
            return
        fi
        took=$(($(now) - start))
        [ -n "$least" ] && [ "$least" -le "$took" ] || least=$took
    done
    awk -v l="$label" -v n="$count" -v t="$least" \
        'BEGIN { printf "%-44s %8.2f s %9.0f packets/s\n", l, t / 1e9, n / (t / 1e9) }'
}

best "tshark -r, no plugin" "$packets" -r "$trace"
for plugin in "$@"; do
    echo "$plugin:"
    best "  tshark -r" "$packets" -X "lua_script:$plugin" -r "$trace"
    best "  tshark -r -Y 'pss.status != 0'" "$packets" -X "lua_script:$plugin" -r "$trace" -Y 'pss.status != 0'
    best "  tshark -q -z pss,srt" "$packets" -X "lua_script:$plugin" -q -r "$trace" -z pss,srt
    # The whole tree of every packet: what a tree costs in Lua.
    best "  tshark -r -V, the first 10,000 packets" 10000 -X "lua_script:$plugin" -r "$trace" -V -c 10000
done
