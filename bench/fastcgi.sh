#!/usr/bin/env bash
# fastcgi.sh: braxel's FastCGI workers behind nginx against php-fpm (opcache
# on, as many workers) behind the same nginx, and against braxel as a CGI
# program behind nginx and fcgiwrap, on three equivalent pages:
#   hello  a hello-world page
#   table  a 200-row table from SQLite
#   page   a 40 KB page from a template with two includes and a tag of its
#          own (a PHP function) called for each of 50 rows
# wrk loads each page with 2, 8 and 32 connections for a fixed time; the
# table shows requests per second and the 99th percentile of the latency.
# bench/setup.sh installs php-fpm and wrk. Everything runs from a scratch
# folder, on free ports and sockets of its own, and is stopped at the end.
# Usage: bench/fastcgi.sh [build-folder or path/to/braxel] [seconds per run]
set -euo pipefail

bin=$(realpath "${1:-build}")
[ -d "$bin" ] && bin="$bin/braxel"
seconds=${2:-10}
workers=${WORKERS:-4}
for tool in nginx php-fpm8.2 fcgiwrap wrk sqlite3 spawn-fcgi; do
  command -v "$tool" > /dev/null || { echo "fastcgi.sh: $tool is missing (bench/setup.sh)"; exit 1; }
done

work=$(mktemp -d)
chmod 755 "$work"
pids=()
cleanup() {
  # fcgiwrap's own children do not end with it: each is stopped by its id.
  local pid children=()
  for pid in "${pids[@]}"; do
    children+=($(cat "/proc/$pid/task/$pid/children" 2> /dev/null || true))
  done
  for pid in "${pids[@]}" "${children[@]}"; do kill -TERM "$pid" 2> /dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2> /dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# ---- The pages ---------------------------------------------------------------

app=$work/app php=$work/php run=$work/run
mkdir -p "$app/hf" "$php" "$run"
chmod 777 "$run"
cp "$bin" "$app/bench"
sqlite3 "$app/bench.db" <<'SQL'
create table items(id integer primary key, name text, price real);
with recursive n(i) as (select 1 union all select i + 1 from n where i < 200)
insert into items select i, 'item number ' || i, i * 1.25 from n;
SQL
cp "$app/bench.db" "$php/bench.db"
printf 'dbname=bench.db\noptconn=T\ntimelimit=0\n' > "$app/.braxel"

# The same text in both: filler paragraphs around 50 rows of the tag, 40 KB.
filler=$(for i in $(seq 1 72); do
  printf '<p>Paragraph %d of the filler text: the quick brown fox jumps over the lazy dog, and the lazy dog sleeps on while the page grows by another line of plain text that the template writes as it stands.</p>\n' "$i"
done)
printf '<html><head><title>Bench</title></head><body>\n%s\n' "$filler" > "$app/head.brx"
cp "$app/head.brx" "$php/head.php"
printf '%s\n</body></html>\n' "$filler" > "$app/foot.brx"
cp "$app/foot.brx" "$php/foot.php"

echo 'Hello, world!' > "$app/hf/hello.brx"
printf '<?php echo "Hello, world!\\n";\n' > "$php/hello.php"

cat > "$app/hf/table.brx" <<'BRX'
<table>
<dbquery q>select id, name, price from items order by id<db row><tr><td><? q.id></td><td><? q.name></td><td><? q.price></td></tr>
</db></table>
BRX
cat > "$php/table.php" <<'PHP'
<table>
<?php
$db = new SQLite3(__DIR__ . '/bench.db', SQLITE3_OPEN_READONLY);
$rows = $db->query('select id, name, price from items order by id');
while ($r = $rows->fetchArray(SQLITE3_ASSOC)) {
  echo '<tr><td>', htmlspecialchars($r['id']), '</td><td>', htmlspecialchars($r['name']),
       '</td><td>', sprintf('%f', $r['price']), "</td></tr>\n";
}
?></table>
PHP

cat > "$app/hf/page.brx" <<'BRX'
<include head.brx><def row n name><div class="row"><span class="n"><? n></span> <b><? name></b>: a row of the report with a few words of text around its fields, <? n * 3> units, and a note that says nothing at all</div>
</def><let i = 1><while i <= 50><row n=i name="entry " + i><let i = i + 1></while><include foot.brx>
BRX
cat > "$php/page.php" <<'PHP'
<?php include __DIR__ . '/head.php';
function row($n, $name) {
  echo '<div class="row"><span class="n">', htmlspecialchars($n), '</span> <b>', htmlspecialchars($name),
       '</b>: a row of the report with a few words of text around its fields, ', $n * 3,
       " units, and a note that says nothing at all</div>\n";
}
for ($i = 1; $i <= 50; $i++) row($i, "entry " . $i);
include __DIR__ . '/foot.php';
PHP
chmod -R a+rX "$work"

# ---- The servers -----------------------------------------------------------

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
as_root=$([ "$(id -u)" -eq 0 ] && echo yes || echo no)
user=$(id -un) group=$(id -gn)

BRAXEL_FCGI_CHILDREN=$workers spawn-fcgi -n -s "$run/braxel.sock" -M 0666 -d "$app" -- "$app/bench" \
  > "$work/braxel.out" 2>&1 &
pids+=($!)

cat > "$work/fpm.conf" <<EOF
[global]
pid = $work/fpm.pid
error_log = $work/fpm.log
daemonize = no
[bench]
user = $user
group = $group
listen = $run/php.sock
listen.mode = 0666
pm = static
pm.max_children = $workers
EOF
fpm_root=()
[ "$as_root" = yes ] && fpm_root=(-R)
php-fpm8.2 "${fpm_root[@]}" -F -y "$work/fpm.conf" -d opcache.enable=1 -d opcache.enable_cli=0 \
  > "$work/fpm.out" 2>&1 &
pids+=($!)

fcgiwrap -s "unix:$run/fcgiwrap.sock" -c "$workers" > "$work/fcgiwrap.out" 2>&1 &
pids+=($!)

params() {
  for p in QUERY_STRING:query_string REQUEST_METHOD:request_method CONTENT_TYPE:content_type \
           CONTENT_LENGTH:content_length SCRIPT_NAME:fastcgi_script_name SERVER_PROTOCOL:server_protocol \
           REMOTE_ADDR:remote_addr SERVER_PORT:server_port SERVER_NAME:server_name; do
    echo "        fastcgi_param ${p%%:*} \$${p#*:};"
  done
}
cat > "$work/nginx.conf" <<EOF
$([ "$as_root" = yes ] && echo "user $user $group;")
worker_processes 1;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path $work/client_body;
    fastcgi_temp_path $work/fastcgi;
    proxy_temp_path $work/proxy;
    uwsgi_temp_path $work/uwsgi;
    scgi_temp_path $work/scgi;
    server {
        listen 127.0.0.1:$port;
        root $php;
        location = /fcgi/bench {
            fastcgi_pass unix:$run/braxel.sock;
$(params)
        }
        location = /cgi/bench {
            fastcgi_pass unix:$run/fcgiwrap.sock;
            fastcgi_param SCRIPT_FILENAME $app/bench;
$(params)
        }
        location ~ \.php\$ {
            fastcgi_pass unix:$run/php.sock;
            fastcgi_param SCRIPT_FILENAME \$document_root\$fastcgi_script_name;
$(params)
        }
    }
}
EOF
nginx -p "$work" -c "$work/nginx.conf" -g 'daemon off;' > "$work/nginx.out" 2>&1 &
pids+=($!)

url() {
  case $1 in
    braxel) echo "http://127.0.0.1:$port/fcgi/bench?braxel=$2.brx" ;;
    cgi) echo "http://127.0.0.1:$port/cgi/bench?braxel=$2.brx" ;;
    php) echo "http://127.0.0.1:$port/$2.php" ;;
  esac
}
for i in $(seq 100); do
  if [ -S "$run/braxel.sock" ] && [ -S "$run/php.sock" ] && [ -S "$run/fcgiwrap.sock" ] &&
     curl -sf "$(url php hello)" > /dev/null 2>&1; then break; fi
  sleep 0.1
done
chmod 666 "$run/fcgiwrap.sock"

# The pages answer, and the page sizes match.
for page in hello table page; do
  for server in braxel php cgi; do
    size=$(curl -sf "$(url $server $page)" | wc -c) || { echo "fastcgi.sh: $server $page fails"; exit 1; }
    printf -v "size_${server}_$page" '%s' "$size"
  done
done
# Templates are settled for the cache once they are two seconds old.
sleep 2

# ---- The runs --------------------------------------------------------------

# "requests per second|p99 latency" of one wrk run
measure() {
  local out rps p99
  out=$(wrk -t "$(( $2 < 2 ? $2 : 2 ))" -c "$2" -d "${seconds}s" --latency "$1")
  rps=$(awk '/^Requests\/sec:/ {printf "%.0f", $2}' <<< "$out")
  p99=$(awk '$1 == "99%" {print $2}' <<< "$out")
  if grep -q 'Non-2xx\|Socket errors' <<< "$out"; then p99="$p99!"; fi
  echo "$rps|$p99"
}

printf 'nginx, %d workers each, wrk %ds per run (! marks errors or non-2xx answers)\n' "$workers" "$seconds"
printf '%-6s %5s | %17s | %17s | %17s | %6s %6s\n' page conns "braxel FastCGI" "php-fpm+opcache" "braxel CGI" \
  "vs php" "vs CGI"
for page in hello table page; do
  for conns in 2 8 32; do
    IFS='|' read -r b_rps b_p99 <<< "$(measure "$(url braxel $page)" $conns)"
    IFS='|' read -r p_rps p_p99 <<< "$(measure "$(url php $page)" $conns)"
    IFS='|' read -r c_rps c_p99 <<< "$(measure "$(url cgi $page)" $conns)"
    printf '%-6s %5d | %7s/s %7s | %7s/s %7s | %7s/s %7s | %5.2fx %5.1fx\n' "$page" "$conns" \
      "$b_rps" "$b_p99" "$p_rps" "$p_p99" "$c_rps" "$c_p99" \
      "$(awk -v a="$b_rps" -v b="$p_rps" 'BEGIN {print b ? a / b : 0}')" \
      "$(awk -v a="$b_rps" -v b="$c_rps" 'BEGIN {print b ? a / b : 0}')"
  done
done
eval "printf 'page sizes in bytes (braxel / php): hello %s / %s, table %s / %s, page %s / %s\n' \
  \$size_braxel_hello \$size_php_hello \$size_braxel_table \$size_php_table \$size_braxel_page \$size_php_page"
