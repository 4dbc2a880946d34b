#!/bin/sh
# The tracer end to end: programs run under pss-trace (natively, or in the
# emulator given last), their traces read back by trace_check and by
# Wireshark's own capinfos and tshark; where the build has them (PSS_KORVO,
# PSS_DISSECTOR), by korvo and by the dissector too.
#   trace_run.sh SCENARIO WORK PSS_TRACE TRACE_CHECK PSS_DEMO PSS_DEMO_CPP TRACE_LOAD [EMULATOR...]
# Nothing here can hang: every program runs under timeout, and what runs in
# the background is ended when the script ends, however it ends.
# shellcheck disable=SC2086,SC2015,SC2012  # $emu and $shell split on purpose; "a && b || fail"; ls counts plain names
set -eu
scenario=$1 work=$2 pss_trace=$3 check=$4 demo=$5 demo_cpp=$6 load=$7
shift 7
emu=$*  # split on purpose: "qemu-arm -L /usr/arm-linux-gnueabihf"
korvo=${PSS_KORVO:-} dissector=${PSS_DISSECTOR:-}
limit=120  # seconds for any one program

background=''
trap 'for p in $background; do kill "$p" 2>/dev/null || :; done' EXIT
fail() {
    echo "trace_run $scenario: FAILED: $*" >&2
    exit 1
}
bounded() { timeout -k 5 $limit "$@"; }
# In the background, bounded, opening its redirections inside the bound (a
# FIFO nobody writes blocks its opener): later() COMMAND-LINE
later() {
    timeout -k 5 $limit sh -c "$1" &
    background="$background $!"
}
now() { date +%s%N; }
# Packets as Wireshark counts them.
packets() { capinfos -T -r -c "$1" | cut -f2; }
listed() { tshark -r "$1" 2>/dev/null | wc -l | tr -d ' '; }
# The demo's output in an order that does not depend on its threads.
plain_demo() { bounded $emu "$demo" | sort >plain.out || fail "the demo alone"; }
same_output() { sort "$1" | cmp -s - plain.out || fail "the program's output changed under the tracer"; }
traced() {  # FILE PROGRAM ARGS...: PROGRAM under pss-trace, writing FILE
    out=$1
    shift
    bounded "$pss_trace" -o "$out" -- $emu "$@"
}
# Every request of a trace linked to its own answer and back, as the dissector shows it.
linked_both_ways() {
    [ -z "$dissector" ] && return
    tshark -X lua_script:"$dissector" -r "$1" -2 -T fields -e frame.number -e pss.process \
        -e pss.call -e pss.direction -e pss.answer_in -e pss.request_in 2>/dev/null >links.out
    awk -F'\t' '{ n = $1; key[n] = $2 "/" $3; dir[n] = $4; ans[n] = $5; req[n] = $6; last = n }
        END { bad = 0
              for (n = 1; n <= last; n++) {
                  if (dir[n] == 1 && (ans[n] == "" || ans[n] == n || key[ans[n]] != key[n] || req[ans[n]] != n)) bad++
                  if (dir[n] == 2 && req[n] == "") bad++
              }
              exit bad != 0 }' links.out || fail "the dissector links a request to another call's answer in $1"
}

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
    start=$(now)
    KELM_CAPTURE_DIR=$work/capture bounded $shell "$pss_trace" -o t.pcapng -- $emu "$program" >out ||
        fail "the program failed under the tracer"
    $emu "$check" --capture capture --families $families --refused 1 --cut --between "$start" "$(now)" t.pcapng
    [ "$(packets t.pcapng)" = $count ] && [ "$(listed t.pcapng)" = $count ] ||
        fail "Wireshark's tools do not read $count packets"
    [ "$(stat -c %a t.pcapng)" = 600 ] || fail "the trace is readable by others"
    # Cut inside the last packet (before it the statistics block, 40 bytes).
    head -c $(($(stat -c %s t.pcapng) - 43)) t.pcapng >cut.pcapng
    [ "$(listed cut.pcapng)" = $((count - 1)) ] || fail "tshark does not read a cut trace to its last packet"
    linked_both_ways t.pcapng
    ;;
filter)
    # Three methods, 16 bytes of each image: QueryErrorInfo twice synchronously
    # and once asynchronously, StopPlugin in each family, QueryStateInfo once
    # of each call family, its answers cut. QueryErrorInfo is answered with no
    # bytes at all, which its decoder refuses three times.
    mkdir answers
    : >answers/QueryErrorInfo.bin
    KELM_SIM_ANSWERS=$work/answers bounded "$pss_trace" -o t.pcapng \
        -m QueryErrorInfo,QOMA_PAT_StopPlugin,QueryStateInfo -s 16 -- $emu "$demo" >out ||
        true  # the demo counts the refusals as failures
    $emu "$check" --families 4,3,1 --refused 3 --cap 16 t.pcapng
    ;;
load)
    # A queue that holds the whole run: a writer starved of CPU loses nothing.
    # Files of at most a million bytes (tcpdump's -C), statistics block included.
    export PSS_TRACE_QUEUE_KB=16384
    KELM_CAPTURE_DIR=$work/capture bounded "$pss_trace" -o l.pcapng -C 1 -- $emu "$load" 60 >out ||
        fail "trace_load: $(cat out)"
    [ -f l.pcapng1 ] || fail "no second file after 1 MB"
    $emu "$check" --capture capture --families 480,480,480 --file-limit 1000000 l.pcapng*
    for f in l.pcapng*; do capinfos "$f" >/dev/null || fail "capinfos refuses $f"; done
    # A ring of two files: the oldest overwritten.
    bounded "$pss_trace" -o r.pcapng -C 1 -W 2 -- $emu "$load" 60 >out || fail "trace_load in a ring"
    [ "$(echo r.pcapng*)" = "r.pcapng0 r.pcapng1" ] || fail "ring files: $(echo r.pcapng*)"
    for f in r.pcapng*; do capinfos "$f" >/dev/null || fail "capinfos refuses $f"; done
    # Ring names as wide as the largest number: 0 to 9 for ten files, 00 to 10 for eleven.
    bounded "$pss_trace" -o w.pcapng -C 1 -W 10 -- $emu "$load" 2 >out || fail "trace_load, 10 files"
    bounded "$pss_trace" -o v.pcapng -C 1 -W 11 -- $emu "$load" 2 >out || fail "trace_load, 11 files"
    [ "$(echo w.pcapng* v.pcapng*)" = "w.pcapng0 v.pcapng00" ] || fail "ring names: $(echo w.pcapng* v.pcapng*)"
    ;;
unwritable)
    # The tracer itself, as a program started without pss-trace meets it
    # (pss-trace refuses such a file before it starts the program, below):
    # the calls go on untraced and it says so once.
    plain_demo
    lib=${pss_trace%/*}/libpatch_sdk_service_trace.so
    if [ -n "$emu" ]; then
        bounded env PSS_TRACE_FILE=/dev/null/t.pcapng QEMU_SET_ENV=LD_PRELOAD=$lib $emu "$demo" >out 2>err
    else
        bounded env PSS_TRACE_FILE=/dev/null/t.pcapng LD_PRELOAD="$lib" "$demo" >out 2>err
    fi || fail "the demo failed"
    same_output out
    [ "$(grep -c 'cannot open /dev/null/t.pcapng' err)" = 1 ] || fail "not reported once: $(cat err)"
    ;;
options)
    # Every option error is said before the program starts: exit 2, naming
    # the word, and the program (which would leave "ran" behind) never runs.
    # Blanks after commas and another service's Service/Method are taken.
    # In dash, and in busybox's shell as on a device where there is one.
    shells=dash
    ! command -v busybox >/dev/null || shells="dash busybox"
    for shell in $shells; do
        [ "$shell" = dash ] || shell="busybox sh"
        while IFS='|' read -r args said; do
            rm -f ran methods
            rc=0
            eval "bounded $shell \"\$pss_trace\" -o t.pcapng $args -- sh -c ': >ran'" >out 2>err || rc=$?
            [ "$rc" = 2 ] && [ ! -e ran ] && grep -qF -- "$said" err ||
                fail "$shell pss-trace $args: exit $rc, $(cat err)"
        done <<'CASES'
-m NoSuchMethod|'NoSuchMethod' names no method of PatchSdkService
-m queryerrorinfo|'queryerrorinfo' names no method
-m ErrorInfo|'ErrorInfo' names no method
-m 'StopPlugin,QueryErrorInf'|'QueryErrorInf' names no method
-m 'QueryErrorInfo,,StopPlugin'|an empty method name
-m ''|an empty method name
-m 'Query ErrorInfo'|'Query ErrorInfo' holds a blank
-m PatchSdkService/Nope|'PatchSdkService/Nope' names no method
-m Other/|'Other/': another service's method is Service/Method
-s 2147483648|-s needs a number up to 2147483647
-s 12x|-s needs a number, not '12x'
-C 0|-C needs a number of at least 1
-C 99999999999999999999|-C needs a number up to 1000000
-W 3|-W needs -C
-o /dev/null/t.pcapng|no directory /dev/null
-o /|-o / is a directory
CASES
        # What reaches the tracer, seen by a shell preloaded with nothing
        # (an empty library, which ld.so skips): a sanitizer's tracer needs
        # its runtime in the program.
        : >empty.so
        while IFS='|' read -r args taken; do
            eval "bounded $shell \"\$pss_trace\" -l empty.so -o t.pcapng $args -- sh -c 'printf %s \"\$PSS_TRACE_METHODS\" >methods'" \
                >out 2>err || fail "$shell pss-trace $args: $(cat err)"
            [ "$(cat methods)" = "$taken" ] || fail "$shell pss-trace $args gives the tracer '$(cat methods)'"
        done <<'CASES'
-m 'QueryErrorInfo, StopPlugin'|QueryErrorInfo,StopPlugin
-m ' QOMA_PAT_Active ,PAT_HealthCheck,	Other/Other_MMMM'|QOMA_PAT_Active,PAT_HealthCheck,Other/Other_MMMM
CASES
    done
    ;;
full)
    # A file size limit of 8 KiB (16 blocks of 512 bytes) for a 36 KB trace.
    plain_demo
    # The limit is the tracer's alone: the demo writes its output to a pipe.
    { (ulimit -f 16 && exec timeout $limit "$pss_trace" -o f.pcapng -- $emu "$demo") 2>err; echo $? >rc; } | cat >out
    [ "$(cat rc)" = 0 ] || fail "the demo failed: $(cat err)"
    same_output out
    [ "$(grep -c 'cannot write' err)" = 1 ] || fail "a full file not reported once: $(cat err)"
    lost=$(sed -n 's/^pss-trace: \([0-9]*\) packets lost.*/\1/p' err)
    [ "${lost:-0}" -gt 0 ] && [ "$(packets f.pcapng)" -gt 0 ] && [ $((lost + $(packets f.pcapng))) = 60 ] ||
        fail "$(packets f.pcapng) packets written and ${lost:-no} counted lost, of 60"
    $emu "$check" --lost-ok f.pcapng
    ;;
fifo)
    # tshark opens the FIFO at once, so that the tracer's writer need not wait
    # for it to start; the pipe holds the packets until it reads. A program
    # that fails before it calls never opens the FIFO: the reader's bound ends it.
    mkfifo live
    later 'exec tshark -r - <live >listed.out 2>/dev/null'
    reader=$!
    bounded "$pss_trace" -o live -- $emu "$demo" >out || fail "the demo failed"
    wait $reader || fail "tshark did not read the FIFO"
    [ "$(wc -l <listed.out | tr -d ' ')" = 60 ] || fail "tshark read $(wc -l <listed.out) packets from the FIFO"
    ;;
late)
    # A small queue and a reader that comes only once 300 calls are done (as
    # their captured images show): the packets that found the queue full are
    # lost, and the trace tells how many, in the packets after them and at
    # its end.
    mkfifo live
    later 'i=0
        while [ $i -lt 600 ] && [ "$(ls capture 2>/dev/null | wc -l)" -lt 600 ]; do
            sleep 0.05
            i=$((i + 1))
        done
        exec cat live >late.pcapng'
    reader=$!
    KELM_CAPTURE_DIR=$work/capture PSS_TRACE_QUEUE_KB=64 bounded "$pss_trace" -o live -- $emu "$load" 100 \
        >out 2>err || fail "trace_load: $(cat out)"
    wait $reader || fail "the late reader did not finish"
    lost=$(sed -n 's/^pss-trace: \([0-9]*\) packets lost.*/\1/p' err)
    [ "${lost:-0}" -gt 0 ] && [ $((lost + $(packets late.pcapng))) = 4800 ] ||
        fail "$(packets late.pcapng) packets written and ${lost:-no} counted lost, of 4800"
    $emu "$check" --lost-ok late.pcapng | grep -q "lost $lost\$" || fail "the trace does not count $lost lost"
    if [ -n "$korvo" ] && [ -n "$dissector" ]; then
        # Where they were lost: the dissector's expert info and korvo's
        # timeline mark the same packets with the same counts.
        tshark -X lua_script:"$dissector" -r late.pcapng -Y pss.lost -T fields -e _ws.expert.message \
            2>/dev/null | grep -o '[0-9]* packets lost before' | cut -d' ' -f1 >experts.out
        "$korvo" trace --timeline - late.pcapng 2>/dev/null | grep -o '"lost":[0-9]*' | cut -d: -f2 >instants.out
        [ -s experts.out ] && cmp -s experts.out instants.out ||
            fail "the dissector marks losses $(tr '\n' ' ' <experts.out), korvo $(tr '\n' ' ' <instants.out)"
    fi
    ;;
foreign)
    # Another service's call with names of 200 bytes between two of this
    # service's: all three read, listed, shown and replayed.
    traced t.pcapng "$load" foreign >plain.out || fail "trace_load foreign: $(cat plain.out)"
    $emu "$check" --families 3,0,0 t.pcapng
    [ "$(listed t.pcapng)" = 6 ] || fail "tshark does not read 6 packets"
    KELM_SIM_REPLAY=$work/t.pcapng bounded $emu "$load" foreign >replayed.out 2>err || fail "replayed: $(cat err)"
    cmp -s plain.out replayed.out && [ ! -s err ] || fail "the replay differs: $(cat replayed.out err)"
    if [ -n "$korvo" ]; then
        "$korvo" trace t.pcapng >lines.out || fail "korvo trace refuses the trace"
        [ "$(grep -c ' sync ' lines.out)" = 3 ] && grep -q " sync S*/Other_MMMM.* status KELM_ERR_BAD_REQUEST" lines.out ||
            fail "korvo trace lists: $(cat lines.out)"
    fi
    if [ -n "$dissector" ]; then
        [ "$(tshark -X lua_script:"$dissector" -r t.pcapng -Y 'pss.bad_header || _ws.malformed || pss.dissector_fault' 2>/dev/null | wc -l)" = 0 ] ||
            fail "the dissector marks packets malformed"
        linked_both_ways t.pcapng
    fi
    ;;
joined)
    # Two processes' traces in one file, by cat and by mergecap: each process
    # numbers its calls from 1, and every request still pairs with its own answer.
    plain_demo
    traced a.pcapng "$demo" >/dev/null || fail "the demo under the tracer"
    traced b.pcapng "$demo_cpp" >/dev/null || fail "the C++ demo under the tracer"
    # One request's call header damaged in the middle: reported, the rest read and replayed.
    at=$($emu "$check" --request-at 31 a.pcapng)
    cp a.pcapng damaged.pcapng
    printf '\003' | dd of=damaged.pcapng bs=1 seek=$((at + 28)) conv=notrunc 2>/dev/null
    KELM_SIM_REPLAY=$work/damaged.pcapng bounded $emu "$demo" >replayed.out 2>err || true
    same_output replayed.out
    grep -q "damage at byte $at: call header version 3" err || fail "replay does not report the damage: $(cat err)"
    if [ -n "$korvo" ]; then
        ! "$korvo" trace damaged.pcapng >lines.out 2>err && [ "$(wc -l <lines.out)" = 30 ] &&
            grep -q "damage at byte $at: call header version 3" err ||
            fail "korvo trace of a damaged trace: $(cat err)"
    fi
    cat a.pcapng b.pcapng >cat.pcapng
    mergecap -w merged.pcapng a.pcapng b.pcapng || fail "mergecap"
    for joined in cat.pcapng merged.pcapng; do
        [ "$(listed $joined)" = 92 ] || fail "tshark does not read the 92 packets of $joined"
        linked_both_ways $joined
        KELM_SIM_REPLAY=$work/$joined bounded $emu "$demo" >replayed.out 2>err || true  # its damaged answer
        same_output replayed.out
        [ ! -s err ] || fail "replay of $joined reports: $(cat err)"
        if [ -n "$korvo" ]; then
            { "$korvo" trace a.pcapng && "$korvo" trace b.pcapng; } | sort >apart.out
            "$korvo" trace $joined | sort >together.out || fail "korvo trace $joined"
            [ "$(wc -l <together.out)" = 46 ] && cmp -s apart.out together.out ||
                fail "korvo trace pairs $joined unlike its parts"
            # Both damaged answers named, not only the first.
            ! "$korvo" trace --check $joined >/dev/null 2>checked.out &&
                [ "$(grep -c ' answer: QOMA_PAT_ERROR_QUERY_RSP refused at byte 0' checked.out)" = 2 ] ||
                fail "korvo trace --check $joined: $(cat checked.out)"
        fi
    done
    # The demo again, its times moved so that its first request falls inside
    # the other run's first call: the two processes' equal call numbers now
    # interleave, as they do when both run at once, and must pair by process.
    if [ -n "$dissector" ]; then
        traced a2.pcapng "$demo" >/dev/null || fail "the demo under the tracer, again"
        call_times() {
            tshark -X lua_script:"$dissector" -r "$1" -T fields -e frame.time_epoch -e pss.call \
                -e pss.direction 2>/dev/null
        }
        middle=$(call_times a.pcapng | awk -F'\t' '$2 == 1 && $3 == 1 { s = $1 } $2 == 1 && $3 == 2 { e = $1 }
            END { printf "%.6f", (s + e) / 2 }')
        offset=$(call_times a2.pcapng | awk -F'\t' -v m="$middle" 'NR == 1 { printf "%.6f", m - $1 }')
        editcap -t "$offset" a2.pcapng a2moved.pcapng || fail "editcap -t $offset"
        mergecap -w overlapped.pcapng a.pcapng a2moved.pcapng || fail "mergecap of the overlapping runs"
        call_times overlapped.pcapng | awk -F'\t' '$2 == 1 && $3 == 1 { n++ } $2 == 1 && $3 == 2 { exit n != 2 }' ||
            fail "the runs do not overlap: both requests of call 1 should come before its first answer"
        linked_both_ways overlapped.pcapng
        if [ -n "$korvo" ]; then
            { "$korvo" trace a.pcapng && "$korvo" trace a2moved.pcapng; } | sort >apart.out
            "$korvo" trace overlapped.pcapng | sort >together.out || fail "korvo trace overlapped.pcapng"
            [ "$(wc -l <together.out)" = 60 ] && cmp -s apart.out together.out ||
                fail "korvo trace pairs the overlapping runs unlike their parts"
        fi
    fi
    ;;
*) fail "no such scenario" ;;
esac
echo "trace_run $scenario: passed"
