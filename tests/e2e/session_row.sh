#!/usr/bin/env bash
# Copies sessions between files and the database that keeps sessions
# (sessionstore=database), so that the session cases can read and damage
# the stored bytes the same way whatever the store:
#   session_row.sh STORE WHERE get NAME PATH
#   session_row.sh STORE WHERE put NAME PATH [NAME PATH ...]
# STORE WHERE: sqlite and the database file, or postgres and the folder of
# the server's socket.
# get writes the bytes of the row NAME to PATH, or removes PATH when there is
# no such row; put stores the bytes of each PATH as the row NAME, or deletes
# the row when PATH does not exist (all in one call of the database's
# client). Names are plain words.
set -euo pipefail
kind=$1 where=$2 op=$3
shift 3

run() {
  if [ $kind = sqlite ]; then sqlite3 -bail "$where"
  else psql -q -X -A -t -h "$where" -U braxel -d braxel_test -v ON_ERROR_STOP=1; fi
}

case $op in
get)
  name=$1 path=$2
  rm -f "$path"
  if [ $kind = sqlite ] && [ ! -f "$where" ]; then exit 0; fi
  if [ $kind = sqlite ]; then hex="hex(data)"; else hex="encode(data, 'hex')"; fi
  # "x" before the bytes tells an empty session from no row.
  row=$(run <<< "select 'x' || $hex from braxel_session where name = '$name';")
  if [ -n "$row" ]; then xxd -r -p <<< "${row#x}" > "$path"; fi ;;
put)
  while [ $# -gt 0 ]; do
    name=$1 path=$2
    shift 2
    if [ -f "$path" ]; then
      hex=$(od -An -v -tx1 "$path" | tr -d ' \n')
      if [ $kind = sqlite ]; then bytes="x'$hex'"; else bytes="decode('$hex', 'hex')"; fi
      echo "insert into braxel_session (name, appkey, client, data) values ('$name', '', '', $bytes)
            on conflict (name) do update set data = excluded.data;"
    else
      echo "delete from braxel_session where name = '$name';"
    fi
  done | run ;;
*)
  echo "usage: session_row.sh sqlite|postgres WHERE get NAME PATH | put NAME PATH ..." >&2
  exit 2 ;;
esac
