#!/bin/sh
# The tracer end to end: programs run under pss-trace (natively, or in the
# emulator given last), their traces read back by trace_check and by
# Wireshark's own capinfos and tshark.
#   trace_run.sh SCENARIO WORK PSS_TRACE TRACE_CHECK PSS_DEMO PSS_DEMO_CPP TRACE_LOAD [EMULATOR...]
# shellcheck disable=SC2086,SC2015,SC2012  # $emu and $shell split on purpose; "a && b || fail"; ls counts plain names
set -eu
scenario=$1 work=$2 pss_trace=$3 check=$4 demo=$5 demo_cpp=$6 load=$7
shift 7
emu=$*  # split on purpose: "qemu-arm -L /usr/arm-linux-gnueabihf"

fail() {
    echo "trace_run $scenario: FAILED: $*" >&2
    exit 1
}
# Packets as Wireshark counts them.
packets() { capinfos -T -r -c "$1" | cut -f2; }
listed() { tshark -r "$1" 2>/dev/null | wc -l | tr -d ' '; }
# The demo's output in an order that does not depend on its threads.
plain_demo() { $emu "$demo" | sort >plain.out || fail "the demo alone"; }
same_output() { sort "$1" | cmp -s - plain.out || fail "the program's output changed under the tracer"; }

rm -rf "$work"
mkdir -p "$work"
cd "$work"

case $scenario in
demo | demo_cpp)
    # 30 calls: 13 of each family but one-way (3), and the damaged answer;
    # the C++ demo makes 16 in all.
    # pss-trace in dash, and in busybox's shell as on a device where there is one.
    if [ "$scenario" = demo ]; then program=$demo families=14,13,3 count=60 shell=dash; else
        program=$demo_cpp families=14,1,1 count=32 shell=sh
        ! command -v busybox >/dev/null || shell="busybox sh"
    fi
    KELM_CAPTURE_DIR=$work/capture $shell "$pss_trace" -o t.pcapng -- $emu "$program" >out ||
        fail "the program failed under the tracer"
    $emu "$check" --capture capture --families $families --refused 1 --cut t.pcapng
    [ "$(packets t.pcapng)" = $count ] && [ "$(listed t.pcapng)" = $count ] ||
        fail "Wireshark's tools do not read $count packets"
    [ "$(stat -c %a t.pcapng)" = 600 ] || fail "the trace is readable by others"
    # Cut inside the last packet (before it the statistics block, 40 bytes).
    head -c $(($(stat -c %s t.pcapng) - 43)) t.pcapng >cut.pcapng
    [ "$(listed cut.pcapng)" = $((count - 1)) ] || fail "tshark does not read a cut trace to its last packet"
    ;;
filter)
    # Two methods, 16 bytes of each image: QueryErrorInfo twice synchronously
    # and once asynchronously, StopPlugin in each family. QueryErrorInfo is
    # answered with no bytes at all, which its decoder refuses three times.
    mkdir answers
    : >answers/QueryErrorInfo.bin
    KELM_SIM_ANSWERS=$work/answers "$pss_trace" -o t.pcapng -m QueryErrorInfo,QOMA_PAT_StopPlugin \
        -s 16 -- $emu "$demo" >out || true  # the demo counts the refusals as failures
    $emu "$check" --families 3,2,1 --refused 3 --cap 16 t.pcapng
    ;;
load)
    # A queue that holds the whole run: a writer starved of CPU loses nothing.
    export PSS_TRACE_QUEUE_KB=16384
    KELM_CAPTURE_DIR=$work/capture "$pss_trace" -o l.pcapng -C 1 -- $emu "$load" 60 >out ||
        fail "trace_load: $(cat out)"
    [ -f l.pcapng1 ] || fail "no second file after 1 MB"
    $emu "$check" --capture capture --families 480,480,480 l.pcapng*
    for f in l.pcapng*; do capinfos "$f" >/dev/null || fail "capinfos refuses $f"; done
    # A ring of two files: the oldest overwritten.
    "$pss_trace" -o r.pcapng -C 1 -W 2 -- $emu "$load" 60 >out || fail "trace_load in a ring"
    [ "$(echo r.pcapng*)" = "r.pcapng0 r.pcapng1" ] || fail "ring files: $(echo r.pcapng*)"
    for f in r.pcapng*; do capinfos "$f" >/dev/null || fail "capinfos refuses $f"; done
    ;;
unwritable)
    plain_demo
    "$pss_trace" -o /dev/null/t.pcapng -- $emu "$demo" >out 2>err || fail "the demo failed"
    same_output out
    [ "$(grep -c 'cannot open /dev/null/t.pcapng' err)" = 1 ] || fail "not reported once: $(cat err)"
    ;;
full)
    # A file size limit of 8 KiB (16 blocks of 512 bytes) for a 36 KB trace.
    plain_demo
    # The limit is the tracer's alone: the demo writes its output to a pipe.
    { (ulimit -f 16 && exec "$pss_trace" -o f.pcapng -- $emu "$demo") 2>err; echo $? >rc; } | cat >out
    [ "$(cat rc)" = 0 ] || fail "the demo failed: $(cat err)"
    same_output out
    [ "$(grep -c 'cannot write' err)" = 1 ] || fail "a full file not reported once: $(cat err)"
    lost=$(sed -n 's/^pss-trace: \([0-9]*\) packets lost.*/\1/p' err)
    [ "${lost:-0}" -gt 0 ] && [ "$(packets f.pcapng)" -gt 0 ] && [ $((lost + $(packets f.pcapng))) = 60 ] ||
        fail "$(packets f.pcapng) packets written and ${lost:-no} counted lost, of 60"
    $emu "$check" --lost-ok f.pcapng
    ;;
fifo)
    # The shell opens the FIFO at once, so that the tracer's writer need not
    # wait for tshark to start; the pipe holds the packets until it reads.
    mkfifo live
    tshark -r - <live >listed.out 2>/dev/null &
    "$pss_trace" -o live -- $emu "$demo" >out || fail "the demo failed"
    wait $!
    [ "$(wc -l <listed.out | tr -d ' ')" = 60 ] || fail "tshark read $(wc -l <listed.out) packets from the FIFO"
    ;;
late)
    # A small queue and a reader that comes only once 300 calls are done (as
    # their captured images show): the packets that found the queue full are
    # lost, and the trace tells how many, in the packets after them and at
    # its end.
    mkfifo live
    (
        i=0
        while [ $i -lt 600 ] && [ "$(ls capture 2>/dev/null | wc -l)" -lt 600 ]; do
            sleep 0.05
            i=$((i + 1))
        done
        exec cat live >late.pcapng
    ) &
    KELM_CAPTURE_DIR=$work/capture PSS_TRACE_QUEUE_KB=64 "$pss_trace" -o live -- $emu "$load" 100 \
        >out 2>err || fail "trace_load: $(cat out)"
    wait $!
    lost=$(sed -n 's/^pss-trace: \([0-9]*\) packets lost.*/\1/p' err)
    [ "${lost:-0}" -gt 0 ] && [ $((lost + $(packets late.pcapng))) = 4800 ] ||
        fail "$(packets late.pcapng) packets written and ${lost:-no} counted lost, of 4800"
    $emu "$check" --lost-ok late.pcapng | grep -q "lost $lost\$" || fail "the trace does not count $lost lost"
    ;;
*) fail "no such scenario" ;;
esac
echo "trace_run $scenario: passed"
