#!/bin/sh
# The tracer switched from outside: a long-running client (trace_load serve,
# eight threads, every call family) armed, then switched on and off by
# pss-trace from other processes, natively or in the cross build's emulator
# (given last); its traces read back by trace_check and by tshark.
#   control_run.sh SCENARIO WORK PSS_TRACE TRACE_CHECK TRACE_LOAD [EMULATOR...]
# The client says how many calls each of its phases made, and checks every
# answer itself. Nothing here can hang: every program runs under timeout,
# every wait is a bounded loop, and what runs in the background is ended
# when the script ends, however it ends.
# shellcheck disable=SC2086,SC2046,SC2015,SC2154  # $emu, $shell and words split on purpose; "a && b || fail"
set -eu
scenario=$1 work=$2 pss_trace=$3 check=$4 load=$5
shift 5
emu=$*  # split on purpose: "qemu-arm -L /usr/arm-linux-gnueabihf"
limit=120 shell=dash

background=''
trap 'for p in $background; do kill "$p" 2>/dev/null || :; done' EXIT
fail() {
    echo "control_run $scenario: FAILED: $*" >&2
    [ ! -s "$work/client.err" ] || sed 's/^/client: /' "$work/client.err" >&2
    exit 1
}
bounded() { timeout -k 5 $limit "$@"; }
# In the background, bounded: later COMMAND-LINE; $last is its process.
# None keeps the client's command FIFO open.
later() {
    timeout -k 5 $limit sh -c "$1" 5>&- &
    last=$!
    background="$background $last"
}
# Whether COMMAND's count (of lines, say) is more than N: more_than N COMMAND...
more_than() {
    n=$1
    shift
    count=$("$@" 2>/dev/null) || :
    [ "${count:-0}" -gt "$n" ]
}
# Until COMMAND succeeds, a bounded number of times: await WHAT COMMAND...
await() {
    what=$1
    shift
    i=0
    until "$@"; do
        i=$((i + 1))
        [ $i -lt 600 ] || fail "no $what"
        sleep 0.1
    done
}
ctl() { bounded $shell "$pss_trace" "$@"; }
# The status of the client's tracer, one field of it.
status() { ctl status "$pid" | sed -n "s/^$1 //p"; }
# The client, armed, reading its commands from the FIFO cmd (held open here
# as descriptor 5, so that it ends when the script does); its words in
# client.out. start_client [PREFIX...]: what runs pss-trace (setpriv, say).
start_client() {
    mkfifo cmd
    exec 5<>cmd
    later "exec $* $shell '$pss_trace' --armed -- $emu '$load' serve <cmd >client.out 2>client.err"
    client=$last
    await "process id from the client" grep -qs '^pid ' client.out
    pid=$(sed -n 's/^pid //p' client.out)
}
# Sends the client a command and waits for its count: $made, the calls it
# made, none failed.
calls() {
    done_before=$(grep -c '^calls ' client.out || :)
    echo "$1" >&5
    await "answer to '$1'" more_than "$done_before" grep -c '^calls ' client.out
    set -- $(tail -n 1 client.out)
    [ "$4" = 0 ] || fail "the client's calls failed: $*"
    made=$2
}
# The client ends; its control file with it.
end_client() {
    exec 5>&-
    wait "$client" || fail "the client failed: $(cat client.out)"
    [ ! -e "$control" ] || fail "the control file outlives the client"
    # Nothing but what a recording lost, when a reader was slower than the calls.
    ! grep -v '^pss-trace: [0-9]* packets lost (no room in the queue or in the file)$' client.err ||
        fail "the tracer said something"
}
traced_now() { [ "$(status traced)" = "$1" ]; }
state_is() { [ "$(status state)" = "$1" ]; }
checked() { $emu "$check" "$@" >checked.out || fail "trace_check $*: $(cat checked.out)"; }

rm -rf "$work"
mkdir -p "$work"
cd "$work"
# Streams' FIFOs here, so that none is left behind unseen.
export TMPDIR="$work"

case $scenario in
phases | phases_busybox)
    # Off, on, off, on with a method filter, and on once more: each trace
    # holds exactly the calls of its phase, and status counts them.
    if [ "$scenario" = phases_busybox ]; then
        # The device's shell and tools: busybox's applets ahead of the rest.
        mkdir bin
        busybox --install -s "$work/bin"
        PATH=$work/bin:$PATH shell="busybox sh"
    fi
    start_client
    control=/tmp/pss-trace-$(id -u)/$pid
    [ "$(stat -c %a "${control%/*}")" = 700 ] && [ "$(stat -c %a "$control")" = 600 ] ||
        fail "the control file is open to others"
    [ "$(status state)" = armed ] && [ "$(status recording)" = 0 ] || fail "not armed: $(ctl status "$pid")"
    calls 3
    ctl on "$pid" -o a.pcapng
    state_is waiting || fail "on before a call: $(ctl status "$pid")"
    calls 5
    on1=$made
    await "status counting $on1 calls while on" traced_now $on1
    [ "$(status state)" = on ] && [ "$(status seen)" = $on1 ] || fail "status while on: $(ctl status "$pid")"
    ctl off "$pid"
    [ "$(status state)" = off ] && [ "$(status seen)" = $on1 ] && [ "$(status traced)" = $on1 ] &&
        [ "$(status lost)" = 0 ] && [ "$(status file)" = "$work/a.pcapng" ] ||
        fail "status after off: $(ctl status "$pid")"
    calls 2
    ctl on "$pid" -o b.pcapng -m StopPlugin
    calls 4
    on2=$made
    ctl off "$pid"
    [ "$(status seen)" = $on2 ] && [ "$(status traced)" = $((on2 / 3)) ] ||
        fail "status of a filtered recording: $(ctl status "$pid")"
    ctl on "$pid" -o c.pcapng
    calls 1
    on3=$made
    ctl off "$pid"
    # Call numbers go on across recordings.
    third=$((on1 / 3))
    checked --families $third,$third,$third --first 1 --closed a.pcapng
    checked --families 0,0,$((on2 / 3)) --first $((on1 + 1)) --closed b.pcapng
    checked --families $((on3 / 3)),$((on3 / 3)),$((on3 / 3)) --first $((on1 + on2 / 3 + 1)) --closed c.pcapng
    for f in a b c; do
        [ "$(stat -c %a $f.pcapng)" = 600 ] || fail "$f.pcapng is open to others"
        capinfos $f.pcapng >/dev/null || fail "capinfos refuses $f.pcapng"
    done
    ctl off "$pid" 2>off.err && grep -q "is off" off.err || fail "off, again: $(cat off.err)"
    end_client
    ;;
users)
    # Another user can neither switch nor read; root switches a user's
    # process through the process's own mapping, and streams it.
    if [ "$(id -u)" != 0 ] || ! command -v setpriv >/dev/null; then
        echo "control_run users: skipped: needs root and setpriv"
        exit 77
    fi
    as_client="setpriv --reuid=64123 --regid=64123 --clear-groups"
    as_other="setpriv --reuid=64124 --regid=64124 --clear-groups"
    chmod 755 "$work"
    mkdir traces
    chown 64123 traces
    start_client "$as_client"
    control=/tmp/pss-trace-64123/$pid
    [ "$(stat -c '%u %a' "$control")" = "64123 600" ] || fail "the control file: $(ls -l "$control")"
    for command in "on $pid -o $work/traces/x.pcapng" "off $pid" "status $pid"; do
        ! bounded $as_other $shell "$pss_trace" $command 2>other.err && grep -q "is not yours" other.err ||
            fail "another user's $command: $(cat other.err)"
    done
    ! $as_other cat "$control" >/dev/null 2>&1 || fail "another user reads the control file"
    state_is armed || fail "another user changed the state: $(ctl status "$pid")"
    ctl on "$pid" -o traces/x.pcapng
    calls 2
    ctl off "$pid"
    checked --families $((made / 3)),$((made / 3)),$((made / 3)) --closed traces/x.pcapng
    first=$((made + 1))
    [ "$(stat -c '%u %a' traces/x.pcapng)" = "64123 600" ] || fail "the trace: $(ls -l traces/x.pcapng)"
    # The owner switches it too.
    bounded $as_client $shell "$pss_trace" status "$pid" | grep -q '^state off' || fail "the owner's status"
    later "exec $shell '$pss_trace' on $pid -o - >s.pcapng 2>on.err"
    on=$last
    await "a FIFO handed to the client's user" state_is waiting
    calls 1
    ctl off "$pid"
    wait $on || fail "pss-trace on -o - by root: $(cat on.err)"
    checked --families $((made / 3)),$((made / 3)),$((made / 3)) --first $first --closed s.pcapng
    [ -z "$(ls -d pss-trace.* 2>/dev/null)" ] || fail "a stream's directory is left"
    end_client
    ;;
live)
    # pss-trace on PID -o - piped into tshark while calls run, and switched
    # off from another process; then one stopped by SIGTERM; then a program
    # traced from its start to standard output.
    start_client
    control=/tmp/pss-trace-$(id -u)/$pid
    echo busy >&5
    later "exec $shell '$pss_trace' on $pid -o - 2>on.err | tee s.pcapng | tshark -l -r - >listed.out 2>/dev/null"
    reader=$last
    await "packets shown as the calls run" more_than 20 grep -c . listed.out
    state_is on || fail "not on while streaming: $(ctl status "$pid")"
    ctl off "$pid"
    wait $reader || fail "the stream did not end: $(cat on.err)"
    checked --split-counted --closed s.pcapng
    [ "$(capinfos -T -r -c s.pcapng | cut -f2)" = "$(wc -l <listed.out | tr -d ' ')" ] ||
        fail "tshark did not show every packet of the stream"
    later "echo \$\$ >on.pid; exec $shell '$pss_trace' on $pid -o - >t.pcapng 2>on.err"
    on=$last
    await "a second recording" state_is on
    kill -TERM "$(cat on.pid)"
    wait $on || fail "pss-trace on did not end on SIGTERM: $(cat on.err)"
    state_is off || fail "SIGTERM did not switch the process off: $(ctl status "$pid")"
    checked --split-counted --closed t.pcapng
    calls stop
    [ -z "$(ls -d pss-trace.* 2>/dev/null)" ] || fail "a stream's directory is left"
    end_client
    bounded $shell "$pss_trace" -o - -- $emu "$load" 2 2>program.out | tshark -r - >listed.out 2>/dev/null ||
        fail "a program streamed from its start"
    [ "$(wc -l <listed.out | tr -d ' ')" = 96 ] && grep -q "^48 calls, 0 failures" program.out ||
        fail "a program's stream: $(wc -l <listed.out) packets, $(cat program.out)"
    ;;
switching)
    # On and off five times while calls run on eight threads: no call split
    # between recordings or lost uncounted, no call number twice, every
    # answer right.
    start_client
    control=/tmp/pss-trace-$(id -u)/$pid
    echo busy >&5
    for i in 1 2 3 4 5; do
        ctl on "$pid" -o s$i.pcapng
        await "recording $i" state_is on
        ctl off "$pid"
    done
    calls stop
    checked --split-counted --recordings --closed s1.pcapng s2.pcapng s3.pcapng s4.pcapng s5.pcapng
    end_client
    ;;
*) fail "no such scenario" ;;
esac
echo "control_run $scenario: passed"
