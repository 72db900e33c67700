#!/usr/bin/env bash
# with-devsim.sh DEVSIM COMMAND...: runs COMMAND with a simulated device on
# 127.0.0.1 (a free port, given to COMMAND as QNV_DEVSIM_PORT, and its
# process id as QNV_DEVSIM_PID); the device is stopped when COMMAND ends, and
# COMMAND's status is the script's.
set -euo pipefail
devsim=$1
shift
out=$(mktemp)
"$devsim" --port 0 --duration 600 >"$out" 2>&1 &
pid=$!
trap 'kill -CONT "$pid" 2>/dev/null || true; kill "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true; rm -f "$out"' EXIT
for _ in $(seq 100); do
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\),.*/\1/p' "$out")
  [ -n "$port" ] && break
  kill -0 "$pid" 2>/dev/null || { cat "$out" >&2; exit 1; }
  sleep 0.1
done
[ -n "$port" ] || { echo "with-devsim: the simulator did not start" >&2; exit 1; }
export QNV_DEVSIM_PORT=$port QNV_DEVSIM=$devsim QNV_DEVSIM_PID=$pid
"$@"
