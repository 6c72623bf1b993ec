#!/usr/bin/env bash
# Static files and WebSocket figures of the loopback server, with nginx serving the same files
# the same way (one request per connection) as the peer, measured in the same run.
#   bash bench/server.sh [seconds per wrk run, default 10]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}

bash scripts/install-deps.sh >/dev/null
[ -n "${VELMORA_BENCH_NO_BUILD:-}" ] || bash scripts/build.sh >/dev/null

work=$(mktemp -d /tmp/velmora-bench-XXXXXX)
host_pid=""
nginx_pid=""
cleanup() {
  set +e
  exec 3>&- # the host stops when its standard input closes
  if [ -n "$host_pid" ]; then
    for _ in $(seq 50); do kill -0 "$host_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$host_pid" 2>/dev/null
  fi
  [ -n "$nginx_pid" ] && kill -QUIT "$nginx_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

web=$work/web
mkdir -p "$web/assets" "$work/nginx/tmp"
head -c 2048 /dev/zero | tr '\0' 'h' | sed '1s/^/<!doctype html>/' | head -c 2048 > "$web/index.html"
head -c $((200 * 1024)) /dev/urandom > "$web/assets/asset-200k.bin"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# The module's server in a small host process.
fifo=$work/host-stdin
mkfifo "$fifo"
host_out=$work/host.out
./build/bench/server_bench_host serve "$web" "$(free_port)" <"$fifo" >"$host_out" 2>/dev/null &
host_pid=$!
exec 3>"$fifo"
for _ in $(seq 50); do grep -q '^listening' "$host_out" && break; sleep 0.1; done
ours=$(awk '/^listening/ {print $2}' "$host_out")

peer=$(free_port)
cat > "$work/nginx/nginx.conf" <<NGINX
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
  keepalive_timeout 0;
  types { text/html html; application/octet-stream bin; }
  client_body_temp_path $work/nginx/tmp; proxy_temp_path $work/nginx/tmp; fastcgi_temp_path $work/nginx/tmp;
  uwsgi_temp_path $work/nginx/tmp; scgi_temp_path $work/nginx/tmp;
  server { listen 127.0.0.1:$peer; location /dock/ { alias $web/; } }
}
NGINX
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" &
nginx_pid=$!
sleep 0.5

# wrk: one thread, eight connections, one request per connection on both servers.
measure() { # url -> "requests_per_second p50_ms p99_ms"
  wrk -t1 -c8 -d"${seconds}s" --latency -H 'Connection: close' "$1" | awk '
    /Requests\/sec/ {rps=$2}
    /^ +50%/ {p50=$2} /^ +99%/ {p99=$2}
    function ms(v) { if (v ~ /us$/) return v/1000; if (v ~ /ms$/) return v+0; if (v ~ /s$/) return v*1000; return v }
    END {printf "%.0f %.3f %.3f\n", rps, ms(p50), ms(p99)}'
}

echo "Static files over loopback, one request per connection, ${seconds}s each (wrk -t1 -c8)"
printf '%-26s %12s %10s %10s %14s\n' "" "requests/s" "p50 ms" "p99 ms" "vs nginx"
for file in index.html assets/asset-200k.bin; do
  read -r our_rps our_p50 our_p99 < <(measure "http://127.0.0.1:$ours/dock/$file")
  read -r peer_rps peer_p50 peer_p99 < <(measure "http://127.0.0.1:$peer/dock/$file")
  label=$([ "$file" = index.html ] && echo "2 KiB HTML" || echo "200 KiB asset")
  printf '%-26s %12s %10s %10s %13.2fx\n' "velmora, $label" "$our_rps" "$our_p50" "$our_p99" \
    "$(echo "$our_rps / $peer_rps" | bc -l)"
  printf '%-26s %12s %10s %10s %14s\n' "nginx, $label" "$peer_rps" "$peer_p50" "$peer_p99" "1.00x"
done

echo
echo "WebSocket (in-process host, loopback clients)"
./build/bench/server_bench_host websocket 2>/dev/null
