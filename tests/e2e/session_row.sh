#!/usr/bin/env bash
# Copies a session between a file and the database that keeps sessions
# (sessionstore=database), so that the session cases can read and damage
# the stored bytes the same way whatever the store:
#   session_row.sh sqlite FILE get|put NAME PATH
#   session_row.sh postgres SOCKETDIR get|put NAME PATH
# get writes the bytes of the row NAME to PATH, or removes PATH when there is
# no such row; put stores the bytes of PATH as the row NAME, or deletes the
# row when PATH does not exist. Names are plain words.
set -euo pipefail
kind=$1 where=$2 op=$3 name=$4 path=$5

sqlite() { sqlite3 -bail "$where" "$1"; }
postgres() {
  psql -q -X -A -t -h "$where" -U braxel -d braxel_test -v ON_ERROR_STOP=1 \
    -v name="$name" -v hex="${hex:-}"
}

case $kind/$op in
sqlite/get)
  rm -f "$path"
  if [ -f "$where" ]; then
    sqlite "select writefile('$path', data) from braxel_session where name = '$name'" > /dev/null
  fi ;;
sqlite/put)
  if [ -f "$path" ]; then
    sqlite "insert into braxel_session (name, appkey, client, data) values ('$name', '', '', readfile('$path'))
            on conflict (name) do update set data = excluded.data"
  else
    sqlite "delete from braxel_session where name = '$name'"
  fi ;;
postgres/get)
  rm -f "$path"
  # "x" before the bytes tells an empty session from no row.
  row=$(postgres <<< "select 'x' || encode(data, 'hex') from braxel_session where name = :'name'")
  if [ -n "$row" ]; then xxd -r -p <<< "${row#x}" > "$path"; fi ;;
postgres/put)
  if [ -f "$path" ]; then
    hex=$(od -An -v -tx1 "$path" | tr -d ' \n')
    postgres <<< "insert into braxel_session (name, appkey, client, data)
                  values (:'name', '', '', decode(:'hex', 'hex'))
                  on conflict (name) do update set data = excluded.data"
  else
    postgres <<< "delete from braxel_session where name = :'name'"
  fi ;;
*)
  echo "usage: session_row.sh sqlite|postgres WHERE get|put NAME PATH" >&2
  exit 2 ;;
esac
