#!/usr/bin/env bash
# `make run`: the window with COM1 and COM2 attached to the virtual device (marlune-device), for trying
# the program without hardware. The device runs in the background while the window is open and
# is stopped when it closes.
#
#   scripts/run-with-device.sh BUILD_DIR [options for the window...]
#
# DEVICE_ARGS adds options for the device (see marlune-device --help), e.g.
# DEVICE_ARGS="--baud 0" for a line as fast as possible, or DEVICE_ARGS="--play FILE".
set -euo pipefail

build_dir=${1:?usage: $0 BUILD_DIR [options for the window...]}
shift
root=$(cd "$(dirname "$0")/.." && pwd)
device_bin=$build_dir/src/device/marlune-device
app_bin=$build_dir/src/app/marlune
store=$root/build/device-store
log=$root/build/device.log

mkdir -p "$store"
rm -f "$log"
# The device's lines go to the terminal and to the log, where its first line names the device.
# By default the line runs at the speed chosen in the window.
# shellcheck disable=SC2086 # DEVICE_ARGS is a list of options
# tee outlives a Ctrl-C to the whole group, so the device's last lines still reach the log.
"$device_bin" --store "$store" --baud auto ${DEVICE_ARGS:-} \
  > >(trap '' INT TERM HUP; exec tee "$log") &
device_pid=$!
app_pid=
stop_all() {
  if [[ -n $app_pid ]]; then
    kill -TERM "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
  fi
  kill -TERM "$device_pid" 2>/dev/null || true
  wait "$device_pid" 2>/dev/null || true
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

device=
for _ in $(seq 100); do
  if [[ -s $log ]] && IFS= read -r first < "$log" && [[ $first == device\ * ]]; then
    device=${first#device }
    break
  fi
  if ! kill -0 "$device_pid" 2>/dev/null; then
    echo "marlune-device did not start." >&2
    exit 1
  fi
  sleep 0.1
done
if [[ -z $device ]]; then
  echo "marlune-device did not name its device in time." >&2
  exit 1
fi

cat <<MESSAGE
Virtual device on $device, attached to COM1 and COM2. It stores each file the window sends in
  $store
and plays the last one back after "Receive File" (wait a second). Its line runs at the
speed chosen under "Baud". Its events are shown here and kept in $log.
MESSAGE

# Both port numbers, so the device answers whichever port the window has selected. The window
# runs as a job of ours, so that a stop of this script ends it too.
"$app_bin" --com1 "$device" --com2 "$device" "$@" &
app_pid=$!
status=0
wait "$app_pid" || status=$?
app_pid=
exit "$status"
