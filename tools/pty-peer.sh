#!/bin/sh
# sh tools/pty-peer.sh start|stop <state-dir> <wine-prefix>: starts or stops the pty peer
# (tools/pty_peer.py) that stands behind COM21 of the test prefix. CTest runs it as the fixture of
# the serial-port tests; the tests find its control port in <state-dir>/pty_peer.info.
set -eu
action=$1
dir=$2
prefix=${WINEPREFIX:-$3}
pidfile="$dir/pty_peer.pid"
stop_peer() {
  if [ -f "$pidfile" ]; then
    kill "$(cat "$pidfile")" 2>/dev/null || true
    rm -f "$pidfile"
  fi
}
case "$action" in
start)
  stop_peer
  rm -f "$dir/pty_peer.info"
  mkdir -p "$prefix/dosdevices"
  # Output to a file and stdin from /dev/null, or the background process would hold CTest's pipe.
  setsid python3 "$(dirname "$0")/pty_peer.py" --link "$prefix/dosdevices/com21" --com COM21 \
    --info "$dir/pty_peer.info" --lines "$(dirname "$dir")/ptymodem-lines" --seconds 900 \
    >"$dir/pty_peer.log" 2>&1 </dev/null &
  echo $! >"$pidfile"
  i=0
  while [ ! -s "$dir/pty_peer.info" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
  if [ ! -s "$dir/pty_peer.info" ]; then
    echo "the pty peer did not start:" >&2
    cat "$dir/pty_peer.log" >&2
    exit 1
  fi
  echo "pty peer: $(cat "$dir/pty_peer.info")"
  ;;
stop)
  stop_peer
  ;;
*)
  echo "usage: pty-peer.sh start|stop <state-dir> <wine-prefix>" >&2
  exit 2
  ;;
esac
