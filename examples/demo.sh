#!/usr/bin/env bash
# The main job of tarnd on the bundled example configuration, in a sandbox under the build tree:
# start the daemon, raise one event by a kernel uevent and one by a kernel log line, and show the
# dump directories it made and its log.
#
#   demo.sh TARND_BINARY EXAMPLE_CONF CONFIG_PATH DATA_PATH TRIGGER_BINARY
#
# CONFIG_PATH and DATA_PATH are the paths the daemon was built with (the demo preset points
# both into build/demo/sandbox). Sending a uevent and writing to /dev/kmsg need root; without
# it only the start-up is shown.

# The conditions below are called through wait_until.
# shellcheck disable=SC2317
set -u

if [ $# -ne 5 ]; then
    echo "usage: $0 TARND_BINARY EXAMPLE_CONF CONFIG_PATH DATA_PATH TRIGGER_BINARY" >&2
    exit 2
fi
tarnd=$1
example=$2
config=$3
sandbox=$4
trigger=$5

if [ "$config" = /system/vendor/etc/tarndebug.conf ] || [ "$sandbox" = /data ]; then
    echo "demo: this build reads the device paths; configure it with the demo preset:" >&2
    echo "      cmake --workflow --preset demo" >&2
    exit 2
fi
if [ ! -x "$tarnd" ] || [ ! -x "$trigger" ] || [ ! -r "$example" ]; then
    echo "demo: missing $tarnd, $trigger or $example" >&2
    exit 2
fi

dumps=$sandbox/dumps
log=$sandbox/tarnd.log
# The kernel log keeps earlier runs' lines, and the uevent group reaches every listener: the
# key word and the uevent value are new in every run.
token="$(date +%s)_$$_${RANDOM}"
uevent_value="tarnd_demo_$token"
key_word="tarnd-demo-key-$token"

# The first event with a uevent hint, and preferably another event with a key word, so that the
# two dumps get two directories even within the same second.
uevent_event=$(sed -n 's/^event\.\([^.]*\)\.uevent=.*/\1/p' "$example" | head -n 1)
key_event=$(sed -n 's/^event\.\([^.]*\)\.key_word=.*/\1/p' "$example" | grep -vxF "$uevent_event" |
    head -n 1)
if [ -z "$key_event" ]; then
    key_event=$(sed -n 's/^event\.\([^.]*\)\.key_word=.*/\1/p' "$example" | head -n 1)
fi
if [ -z "$uevent_event" ] || [ -z "$key_event" ]; then
    echo "demo: $example names no event with a uevent hint and one with a key word" >&2
    exit 1
fi

mkdir -p "$sandbox" "$(dirname "$config")" || exit 1
rm -rf -- "$dumps" "$log"

# The example with the dump root in the sandbox, no free-space floor (the sandbox's file system
# is whatever the build tree is on), the kernel log detector on and the logcat detector off (on
# the host it would read nothing but the daemon's own log). The run's uevent value and key word
# go in before the first line that copies events into a group or a monitor, since copies are
# taken at that line.
awk -v dumps="$dumps" -v ue="$uevent_event" -v uv="$uevent_value" \
    -v ke="$key_event" -v kw="$key_word" '
    /^global\.(log_dump_path|min_free_space|kmsg_grep|logcat_grep)=/ { next }
    !added && /^(evtgroup|monitor)\./ {
        print "// Added by demo.sh for this run."
        print "event." ue ".uevent=" uv
        print "event." ke ".key_word=" kw
        print "ghandler.demo_env.dump=env | grep ^TARND_UEVENT_ | sort > uevent.txt"
        print "ghandler.demo_env.level=0"
        print "ghandler.demo_env.on=1"
        added = 1
    }
    { print }
    END {
        if (!added) {
            print "event." ue ".uevent=" uv
            print "event." ke ".key_word=" kw
        }
        print "global.log_dump_path=" dumps
        print "global.min_free_space=0"
        print "global.kmsg_grep=1"
        print "global.logcat_grep=0"
    }' "$example" >"$config" || exit 1

echo "== configuration $config (from $example)"
echo "   uevent: TARND_EVENT=$uevent_value raises $uevent_event"
echo "   kernel log key word: $key_word raises $key_event"

"$tarnd" 2>"$log" &
pid=$!
stop_daemon() {
    if [ -n "${pid:-}" ] && kill -0 "$pid" 2>/dev/null; then
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
    pid=
}
trap stop_daemon EXIT

# Polls a condition every tenth of a second for up to $1 seconds.
wait_until() {
    local limit=$(($1 * 10))
    shift
    local i
    for ((i = 0; i < limit; ++i)); do
        if "$@"; then return 0; fi
        if ! kill -0 "$pid" 2>/dev/null; then return 1; fi
        sleep 0.1
    done
    "$@"
}

started() { grep -q -e "TARN debug service started" -e "No monitor is enabled" \
    -e "Failed to" "$log"; }

# The monitor thread has bound its uevent socket when one of the daemon's sockets is listed
# as a NETLINK_KOBJECT_UEVENT (15) socket.
uevent_socket_bound() {
    local fd link inode
    for fd in "/proc/$pid/fd"/*; do
        link=$(readlink "$fd") || continue
        case $link in socket:\[*\]) ;; *) continue ;; esac
        inode=${link#socket:[}
        inode=${inode%]}
        if awk -v inode="$inode" '$2 == 15 && $NF == inode { found = 1 } END { exit !found }' \
            /proc/net/netlink; then
            return 0
        fi
    done
    return 1
}

count_lines() { grep -c -F -e "$1" "$log"; }

# A dump is complete when its file list has been logged.
dumps_done() {
    local wanted=$1
    [ "$(count_lines "Dump event $uevent_event to ")" -ge 1 ] || return 1
    if [ "$key_event" = "$uevent_event" ]; then
        [ "$(count_lines "Dump event $key_event to ")" -ge 2 ] || return 1
    else
        [ "$(count_lines "Dump event $key_event to ")" -ge 1 ] || return 1
    fi
    [ "$(count_lines "Filelist: ")" -ge "$(count_lines "Dump event ")" ] &&
        [ "$(count_lines "Filelist: ")" -ge "$wanted" ]
}

wait_until 20 started
if ! grep -q "TARN debug service started" "$log"; then
    echo "== the daemon did not start up; its log:"
    cat "$log"
    exit 1
fi

status=0
if [ "$(id -u)" -ne 0 ]; then
    echo "== not root: sending a uevent and writing to /dev/kmsg need root; start-up only"
else
    if ! wait_until 20 uevent_socket_bound; then
        echo "demo: the monitor thread did not bind its uevent socket" >&2
    fi
    echo "== sending a uevent with TARND_EVENT=$uevent_value"
    "$trigger" "$uevent_value" || echo "demo: could not send the uevent" >&2
    if [ "$key_event" = "$uevent_event" ]; then
        # The same event twice in one second would share one directory.
        wait_until 30 grep -q -F "Receive uevent, dump log for event: $uevent_event" "$log"
        sleep 1
    fi
    echo "== writing a kernel log line with the key word $key_word"
    echo "tarnd demo: $key_word" >/dev/kmsg || echo "demo: cannot write to /dev/kmsg" >&2
    wait_until 60 dumps_done 2
    # A driver's own uevent, as the kernel sends it when a device coredump appears: the example's
    # devcoredump event matches it, and its commands find the device path in their environment
    # (uevent.txt). On a host there is no coredump under /sys, so devcoredump.bin stays empty.
    coredump=/devices/virtual/devcoredump/devcd$$
    echo "== sending a device coredump uevent: add@$coredump"
    "$trigger" --uevent add "$coredump" SUBSYSTEM=devcoredump ||
        echo "demo: could not send the uevent" >&2
    wait_until 30 grep -q -F "Uevent add@$coredump matches event devcoredump" "$log"
    wait_until 30 dumps_done 3
    wanted_dirs=3
fi

echo
echo "== dump directories under $dumps"
dirs=0
if [ -d "$dumps" ]; then
    for dir in "$dumps"/*_????????_??????; do
        [ -d "$dir" ] || continue
        dirs=$((dirs + 1))
        echo "$dir:"
        # shellcheck disable=SC2012
        ls -l -- "$dir" | sed 's/^/    /'
        [ -s "$dir/uevent.txt" ] && sed 's/^/    uevent.txt: /' "$dir/uevent.txt"
    done
fi
[ "$dirs" -gt 0 ] || echo "    (none)"

stop_daemon
echo
echo "== daemon log ($log)"
cat "$log"
echo
if [ "$(id -u)" -eq 0 ] && [ "$dirs" -lt "${wanted_dirs:-2}" ]; then
    echo "== FAILED: $dirs dump directories, expected at least ${wanted_dirs:-2}"
    status=1
else
    echo "== done: $dirs dump directories"
fi
exit $status
