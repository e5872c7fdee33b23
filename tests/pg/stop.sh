#!/usr/bin/env bash
# Stops the private PostgreSQL server of start.sh and removes its folder.
set -uo pipefail
dir=${1:?usage: stop.sh DIR}
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V -r | head -1)
if [ -n "$bin" ] && [ -f "$dir/data/postmaster.pid" ]; then
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u nobody -- "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
  else
    "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
  fi
fi
rm -rf "$dir"
