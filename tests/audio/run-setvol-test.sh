#!/bin/sh
# The volume script against a real PulseAudio daemon of its own: a null sink, two processes
# playing silence into it, and the script aimed at one of them. The other stream must stay as it
# was, bad arguments must change nothing, and a missing server must fail quietly.
#   run-setvol-test.sh SCRIPT
set -u
script=$1

work=$(mktemp -d)
daemon=""
player=""
other=""
cleanup() {
    for p in $player $other $daemon; do
        kill "$p" 2>/dev/null
    done
    wait
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
die() {
    echo "FAIL: $*" >&2
    [ -f "$work/daemon.log" ] && sed 's/^/  daemon: /' "$work/daemon.log" >&2
    exit 1
}

for tool in pulseaudio pactl pacat; do
    command -v "$tool" >/dev/null || die "$tool is missing (scripts/setup installs it)"
done

# Everything the daemon and its clients keep lives in $work; the explicit server address also
# keeps the clients from spawning a daemon of their own.
mkdir -m 700 "$work/home" "$work/runtime"
export HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" PULSE_RUNTIME_PATH="$work/runtime"
export PULSE_STATE_PATH="$work/home" PULSE_SERVER="unix:$work/native" LC_ALL=C
unset DBUS_SESSION_BUS_ADDRESS DISPLAY

# "mute=no volume=100%,100%" for the sink input of process $1, nothing when it has none.
stream_state() {
    pactl list sink-inputs | awk -v pid="$1" '
        /^Sink Input #/ { mute = ""; volume = "" }
        $1 == "Mute:" { mute = $2 }
        $1 == "Volume:" {
            volume = ""
            for (i = 2; i <= NF; ++i)
                if ($i ~ /^[0-9]+%$/)
                    volume = volume (volume == "" ? "" : ",") $i
        }
        $1 == "application.process.id" && $3 == "\"" pid "\"" {
            print "mute=" mute " volume=" volume
        }
    '
}

# run_script EXPECTED_STATUS ARG... : runs the script, which must print nothing on stdout and
# exactly one line on stderr when it fails.
run_script() {
    want=$1
    shift
    "$script" "$@" >"$work/out" 2>"$work/err"
    status=$?
    [ "$status" -eq "$want" ] || fail "'$*' exited $status, expected $want: $(cat "$work/err")"
    [ -s "$work/out" ] && fail "'$*' printed on stdout: $(cat "$work/out")"
    lines=$(wc -l <"$work/err")
    if [ "$want" -eq 0 ]; then
        [ "$lines" -eq 0 ] || fail "'$*' wrote on stderr: $(cat "$work/err")"
    else
        [ "$lines" -eq 1 ] || fail "'$*' wrote $lines lines on stderr, expected one: $(cat "$work/err")"
    fi
}

expect_state() {
    actual=$(stream_state "$1")
    [ "$actual" = "$2" ] || fail "$3: stream of process $1 is '$actual', expected '$2'"
}

# No server yet: the script fails quietly rather than waiting or spawning one.
run_script 1 "$$" set-sink-input-volume 30%
run_script 1 "$$" set-sink-input-mute toggle

# Bounded even if this script is killed before its trap can run.
timeout 120 pulseaudio -n --daemonize=no --exit-idle-time=-1 --system=false --use-pid-file=false \
    --disallow-exit --log-target=stderr --log-level=warning \
    -L "module-null-sink sink_name=h5null" \
    -L "module-native-protocol-unix auth-anonymous=1 socket=$work/native" \
    2>"$work/daemon.log" &
daemon=$!
tries=0
until pactl info >/dev/null 2>&1; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || die "the PulseAudio daemon did not come up"
    kill -0 "$daemon" 2>/dev/null || die "the PulseAudio daemon ended"
    sleep 0.1
done

# Two players of 90 s of silence each ($! is pacat, the pipeline's last process).
silence=$((44100 * 2 * 2 * 90))
head -c "$silence" /dev/zero | pacat --device=h5null --client-name=h5player 2>"$work/player.log" &
player=$!
head -c "$silence" /dev/zero | pacat --device=h5null --client-name=h5other 2>"$work/other.log" &
other=$!
tries=0
until [ -n "$(stream_state "$player")" ] && [ -n "$(stream_state "$other")" ]; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || die "the players' streams did not appear: $(pactl list sink-inputs)"
    sleep 0.1
done

initial="mute=no volume=100%,100%"
expect_state "$player" "$initial" "before any call"

# Each step: arguments after the pid, then the state the player's stream must show.
while IFS='|' read -r command value expected; do
    run_script 0 "$player" "$command" "$value"
    expect_state "$player" "$expected" "$command $value"
    expect_state "$other" "$initial" "$command $value on another process"
done <<EOF
set-sink-input-volume|30%|mute=no volume=30%,30%
set-sink-input-mute|toggle|mute=yes volume=30%,30%
set-sink-input-mute|false|mute=no volume=30%,30%
set-sink-input-mute|false|mute=no volume=30%,30%
set-sink-input-mute|true|mute=yes volume=30%,30%
set-sink-input-mute|toggle|mute=no volume=30%,30%
set-sink-input-mute|1|mute=yes volume=30%,30%
set-sink-input-mute|0|mute=no volume=30%,30%
set-sink-input-volume|150%|mute=no volume=150%,150%
set-sink-input-volume|0%|mute=no volume=0%,0%
set-sink-input-volume|77%|mute=no volume=77%,77%
EOF

# A process that plays nothing (this shell, or one whose pid is a part of the player's) is no
# error, and nobody else's stream changes.
run_script 0 "$$" set-sink-input-mute toggle
run_script 0 "$$" set-sink-input-volume 5%
run_script 0 "${player%?}" set-sink-input-mute toggle
run_script 0 "${player#?}" set-sink-input-volume 5%
expect_state "$player" "mute=no volume=77%,77%" "calls for a process without streams"
expect_state "$other" "$initial" "calls for a process without streams"

# A volume PulseAudio refuses: the script says so in one line and changes nothing.
run_script 1 "$player" set-sink-input-volume 99999999999%
expect_state "$player" "mute=no volume=77%,77%" "a refused volume"

# Bad arguments are refused before anything is set, even those pactl would take.
while IFS='|' read -r pid command value extra; do
    if [ -n "$extra" ]; then
        run_script 2 "$pid" "$command" "$value" "$extra"
    else
        run_script 2 "$pid" "$command" "$value"
    fi
done <<EOF
$player|set-sink-input-volume|30
$player|set-sink-input-volume|%
$player|set-sink-input-volume|-5%
$player|set-sink-input-volume|+5%
$player|set-sink-input-volume|5%%
$player|set-sink-input-volume|0x10%
$player|set-sink-input-volume|5%;touch x
$player|set-sink-input-volume|0.5
$player|set-sink-input-volume|30%|extra
$player|set-sink-input-mute|yes
$player|set-sink-input-mute|on
$player|set-sink-input-mute|
$player|set-sink-volume|30%
$player|suspend-sink-input|1
$player |set-sink-input-mute|true
-$player|set-sink-input-mute|true
0x1|set-sink-input-mute|true
|set-sink-input-mute|true
EOF
run_script 2
run_script 2 "$player"
run_script 2 "$player" set-sink-input-mute
expect_state "$player" "mute=no volume=77%,77%" "bad arguments"
expect_state "$other" "$initial" "bad arguments"

[ "$failures" -eq 0 ] || exit 1
echo "PASS: h5setvol.sh against PulseAudio $(pactl info | sed -n 's/^Server Version: //p')"
