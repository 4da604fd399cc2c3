#!/usr/bin/env bash
# Seeding speed against the ceiling the server sets.
#
# 4,096 small PNG tiles (level 6 of Web Mercator, its whole 64 x 64 grid)
# are served as static files by nginx on a free loopback port, with its own
# configuration in a temporary folder; nginx is stopped at the end. In the
# same run:
#   - `wrk` with 8 connections asks for the same URLs round and round for
#     WRK_SECONDS: the most requests per second this server gives;
#   - `tvk seed --concurrency 8` fills a fresh Compact V1 cache from them,
#     RUNS times; the seed's own rate (tiles over the time of its run) and
#     the rate over the whole command (process start included) are printed.
# Then the ratio of the median seed rate to wrk's rate.
#
#   TVK          the tool (default: build/tools/tvk)
#   WRK_SECONDS  how long wrk runs (default 10)
#   RUNS         seeds to run (default 3)
set -euo pipefail
cd "$(dirname "$0")/.."
TVK=${TVK:-build/tools/tvk}
WRK_SECONDS=${WRK_SECONDS:-10}
RUNS=${RUNS:-3}
for tool in nginx wrk python3 "$TVK"; do
  command -v "$tool" > /dev/null || { echo "missing: $tool (./scripts/deps, then build tvk_cli)" >&2; exit 2; }
done
NGINX=$(command -v nginx)

work=$(mktemp -d)
nginx_pid=""
cleanup() {
  if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2> /dev/null || true; wait "$nginx_pid" 2> /dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
# nginx's workers may run as another user: they must be able to read the tiles.
chmod 755 "$work"

python3 - "$work/tiles" <<'EOF'
import os, struct, sys, zlib
root = sys.argv[1]
def png(r, g, b):
    raw = b"".join(b"\x00" + bytes((r, g, b)) * 256 for _ in range(256))
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 256, 256, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))
for x in range(64):
    os.makedirs(os.path.join(root, "6", str(x)))
    for y in range(64):
        with open(os.path.join(root, "6", str(x), "%d.png" % y), "wb") as f:
            f.write(png(x * 4, y * 4, 128))
EOF
chmod -R a+rX "$work/tiles"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/temp"
cat > "$work/nginx.conf" <<EOF
worker_processes auto;
daemon off;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nodelay on;
  keepalive_requests 1000000;
  client_body_temp_path $work/temp/client;
  proxy_temp_path $work/temp/proxy;
  fastcgi_temp_path $work/temp/fastcgi;
  uwsgi_temp_path $work/temp/uwsgi;
  scgi_temp_path $work/temp/scgi;
  types { image/png png; }
  server {
    listen 127.0.0.1:$port;
    root $work/tiles;
  }
}
EOF
"$NGINX" -p "$work" -c "$work/nginx.conf" &
nginx_pid=$!
for _ in $(seq 100); do
  curl -sf -o /dev/null "http://127.0.0.1:$port/6/0/0.png" && break
  sleep 0.05
done
curl -sf -o /dev/null "http://127.0.0.1:$port/6/63/63.png" || { echo "nginx did not come up" >&2; cat "$work/error.log" >&2; exit 1; }

# wrk: the same 4,096 URLs in turn on every connection.
cat > "$work/urls.lua" <<'EOF'
local n = 0
request = function()
  local i = n % 4096
  n = n + 1
  return wrk.format("GET", "/6/" .. (i % 64) .. "/" .. math.floor(i / 64) .. ".png")
end
EOF
wrk_out=$(wrk -t2 -c8 -d"${WRK_SECONDS}s" -s "$work/urls.lua" "http://127.0.0.1:$port/")
wrk_rate=$(awk '/^Requests\/sec:/ { print $2 }' <<< "$wrk_out")
echo "wrk, 8 connections, ${WRK_SECONDS} s: $wrk_rate requests/s"

rates=()
for run in $(seq "$RUNS"); do
  cache="$work/cache$run"
  "$TVK" create "$cache" --crs EPSG:3857 --levels 0-6 --layout compact > /dev/null
  start=$(date +%s.%N)
  out=$("$TVK" seed "$cache" "http://127.0.0.1:$port/{z}/{x}/{y}.png" --levels 6 --concurrency 8 2> /dev/null)
  end=$(date +%s.%N)
  stored=$(sed -n 's/^stored \([0-9]*\) tiles.*/\1/p' <<< "$out")
  [ "$stored" = 4096 ] || { echo "seed run $run stored '$stored' tiles, not 4096: $out" >&2; exit 1; }
  own=$(sed -n 's/.* in \([0-9.]*\) s (\([0-9]*\) tiles\/s).*/\2/p' <<< "$out")
  wall=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.0f", 4096 / (e - s) }')
  echo "tvk seed run $run: $own tiles/s (its own timing), $wall tiles/s (whole command)"
  rates+=("$own")
done
median=$(printf '%s\n' "${rates[@]}" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
awk -v s="$median" -v w="$wrk_rate" \
  'BEGIN { printf "median tvk seed: %d tiles/s; ratio to wrk: %.2f (target 0.50)\n", s, s / w }'
