#!/usr/bin/env bash
# tvk serve against nginx serving the same tiles as static files.
#
# 4,096 tiles of 20,000 bytes (level 6 of a Web Mercator grid, 64 x 64) are
# written once as an ArcGIS exploded cache, copied with `tvk copy` into a
# Compact V1, a CompactV2 and an Original cache, and written as static files
# z/x/y.png for nginx (sendfile on, 2 workers, access log off). For each
# layout wrk (2 threads, 32 connections, random tiles) drives nginx and then
# tvk serve for DURATION seconds each; the script prints requests per second,
# p99 latency and the ratios. Then it sends 1,000,000 requests to tvk serve
# (Compact V1) and prints its resident memory before and after.
#   BUILD_DIR  build folder holding tools/tvk (default: build)
#   DURATION   seconds per wrk run (default 10)
#   REQUESTS   requests of the memory run (default 1000000; 0 skips it)
#   THREADS    tvk serve worker threads (default: one per core)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
DURATION=${DURATION:-10}
REQUESTS=${REQUESTS:-1000000}
tvk=$(realpath "$BUILD_DIR/tools/tvk")
for tool in wrk nginx; do
  command -v "$tool" >/dev/null || { echo "needs $tool (./scripts/deps installs it)"; exit 1; }
done
[ -x "$tvk" ] || { echo "build the tool first: cmake --build $BUILD_DIR --target tvk_cli"; exit 1; }

work=$(mktemp -d)
chmod 755 "$work"  # nginx's workers run as an unprivileged user
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

wait_port() {
  for _ in $(seq 100); do
    (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "nothing listens on port $1"; exit 1
}

echo "== making 4,096 tiles of 20,000 bytes (level 6, 64 x 64)"
level=6
"$tvk" create "$work/exploded" --crs EPSG:3857 --levels 0-$level --layout arcgis-exploded \
  --arcgis >/dev/null
python3 - "$work" $level <<'PY'
# Random bytes behind a PNG signature, so both servers say image/png.
import os, sys
work, level = sys.argv[1], int(sys.argv[2])
for row in range(64):
    folder = f"{work}/exploded/_alllayers/L{level:02d}/R{row:08x}"
    os.makedirs(folder, exist_ok=True)
    for col in range(64):
        data = b"\x89PNG\r\n\x1a\n" + os.urandom(20000 - 8)
        with open(f"{folder}/C{col:08x}.png", "wb") as f:
            f.write(data)
        os.makedirs(f"{work}/static/{level}/{col}", exist_ok=True)
        with open(f"{work}/static/{level}/{col}/{row}.png", "wb") as f:
            f.write(data)
PY
for layout in compact compact-v2 original; do
  "$tvk" create "$work/$layout" --crs EPSG:3857 --levels 0-$level --layout $layout >/dev/null
  "$tvk" copy "$work/exploded" "$work/$layout" >/dev/null
done
chmod -R a+rX "$work"

cat >"$work/random.lua" <<'LUA'
-- Random tiles of level 6 below the path prefix given after "--".
local counter = 0
function setup(thread)
  thread:set("seed", counter)
  counter = counter + 1
end
function init(args)
  prefix = args[1] or ""
  math.randomseed(os.time() * 1000 + seed)
end
function request()
  return wrk.format("GET", prefix .. "/6/" .. math.random(0, 63) .. "/" .. math.random(0, 63) .. ".png")
end
LUA

nginx_port=$(free_port)
mkdir -p "$work/nginx/logs" "$work/nginx/tmp"
cat >"$work/nginx/nginx.conf" <<CONF
worker_processes 2;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 1000000;
  types { image/png png; }
  client_body_temp_path $work/nginx/tmp;
  proxy_temp_path $work/nginx/tmp;
  fastcgi_temp_path $work/nginx/tmp;
  uwsgi_temp_path $work/nginx/tmp;
  scgi_temp_path $work/nginx/tmp;
  server { listen 127.0.0.1:$nginx_port; root $work/static; }
}
CONF

# wrk's summary: requests/s and p99 in milliseconds.
run_wrk() {
  local out
  out=$(wrk -t2 -c32 -d"${DURATION}s" --latency -s "$work/random.lua" "$1" -- "$2")
  if grep -q "Non-2xx" <<<"$out"; then echo "wrong statuses: $out" >&2; exit 1; fi
  local rps p99
  rps=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
  p99=$(awk '$1 == "99%" {v=$2; if (v ~ /us$/) {sub(/us/,"",v); v=v/1000} else if (v ~ /ms$/) {sub(/ms/,"",v)} else if (v ~ /s$/) {sub(/s/,"",v); v=v*1000}; print v}' <<<"$out")
  echo "$rps $p99"
}

nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" &
pids+=($!)
wait_port "$nginx_port"

printf '\n%-12s %14s %10s %14s %10s %8s %10s\n' layout "nginx req/s" "p99 ms" "tvk req/s" "p99 ms" ratio "p99 ratio"
for layout in compact compact-v2 original; do
  port=$(free_port)
  "$tvk" serve "$work/$layout" --name t --port "$port" ${THREADS:+--threads $THREADS} >/dev/null &
  serve=$!
  pids+=($serve)
  wait_port "$port"
  read -r n_rps n_p99 < <(run_wrk "http://127.0.0.1:$nginx_port" "")
  read -r t_rps t_p99 < <(run_wrk "http://127.0.0.1:$port" "/t")
  kill "$serve"; wait "$serve" || true
  printf '%-12s %14.0f %10.2f %14.0f %10.2f %8.2f %10.2f\n' "$layout" "$n_rps" "$n_p99" "$t_rps" "$t_p99" \
    "$(echo "$t_rps / $n_rps" | bc -l)" "$(echo "$t_p99 / $n_p99" | bc -l)"
done

if [ "$REQUESTS" -gt 0 ]; then
  port=$(free_port)
  "$tvk" serve "$work/compact" --name t --port "$port" ${THREADS:+--threads $THREADS} >/dev/null &
  serve=$!
  pids+=($serve)
  wait_port "$port"
  rss() { awk '/VmRSS/ {print $2}' "/proc/$serve/status"; }
  # Warm up first: the first requests map the bundle and grow the buffers.
  wrk -t2 -c32 -d2s -s "$work/random.lua" "http://127.0.0.1:$port" -- /t >/dev/null
  before=$(rss)
  sent=0
  while [ "$sent" -lt "$REQUESTS" ]; do
    n=$(wrk -t2 -c32 -d5s -s "$work/random.lua" "http://127.0.0.1:$port" -- /t |
        awk '/requests in/ {print $1}')
    sent=$((sent + n))
  done
  after=$(rss)
  echo
  echo "memory: $sent requests to tvk serve (compact): RSS ${before} kB after warm-up, ${after} kB at the end ($(( (after - before) / 1024 )) MB more)"
fi
