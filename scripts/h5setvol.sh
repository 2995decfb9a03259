#!/bin/sh
# Sets the volume or the mute state of the PulseAudio streams (sink inputs) that one process
# plays, the streams whose application.process.id is PID. h5redir starts it from the host
# application's directory with the host's process id:
#   h5setvol.sh PID set-sink-input-volume N%
#   h5setvol.sh PID set-sink-input-mute toggle|false|true|1|0
# Exits 0 when it set every stream of the process, or the process plays none. Exits 1 when no
# PulseAudio server answers or a stream could not be set, 2 on bad arguments; each with one line
# on stderr.
set -u

me=h5setvol.sh

usage() {
    echo "usage: $me PID set-sink-input-volume N% | $me PID set-sink-input-mute toggle|false|true|1|0" >&2
    exit 2
}

[ $# -eq 3 ] || usage
pid=$1
command=$2
value=$3
case $pid in
'' | *[!0-9]*) usage ;;
esac
case $command in
set-sink-input-volume)
    percent=${value%\%}
    case $value:$percent in
    *%:?*) ;;
    *) usage ;;
    esac
    case $percent in
    *[!0-9]*) usage ;;
    esac
    ;;
set-sink-input-mute)
    case $value in
    toggle | false | true | 1 | 0) ;;
    *) usage ;;
    esac
    ;;
*) usage ;;
esac

# pactl translates its listing; the parsing below reads the untranslated one.
if ! inputs=$(LC_ALL=C pactl list sink-inputs 2>/dev/null); then
    echo "$me: no PulseAudio server answered" >&2
    exit 1
fi

# The index of every sink input whose process id property is exactly PID.
indexes=$(printf '%s\n' "$inputs" | awk -v pid="$pid" '
    /^Sink Input #[0-9]+$/ { index_ = substr($3, 2) }
    $1 == "application.process.id" && $2 == "=" && $3 == "\"" pid "\"" { print index_ }
')

failed=""
for index in $indexes; do
    # A stream can end between the listing and this call; it is then reported, not retried.
    LC_ALL=C pactl "$command" "$index" "$value" 2>/dev/null || failed="$failed $index"
done
if [ -n "$failed" ]; then
    echo "$me: could not $command $value on sink input(s)$failed of process $pid" >&2
    exit 1
fi
exit 0
