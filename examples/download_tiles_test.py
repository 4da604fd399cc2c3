#!/usr/bin/env python3
"""Runs download_tiles against an in-process HTTP server on 127.0.0.1.

The server picks its own free port, serves a few tiles with distinct bytes and
answers 404 for one more. After each run the cache folder is read with plain
file reads: exactly the served tiles must be stored, byte for byte, and
nothing of the 404 answer.
"""
import http.server
import os
import random
import shutil
import subprocess
import sys
import threading

SERVED = {
    (3, 1, 2): None,
    (3, 1, 3): None,
    (3, 5, 7): None,
    (12, 1500, 2100): None,   # a second block and level
    (7, 40, 41): None,        # large: arrives in many chunks
}
MISSING = (3, 2, 2)
NOT_FOUND_BODY = b"<html>no such tile</html>"


def make_tiles():
    rnd = random.Random(7)
    for key in SERVED:
        size = 300_000 if key == (7, 40, 41) else 100 + rnd.randrange(2000)
        marker = ("tile %d/%d/%d|" % key).encode()
        SERVED[key] = marker + bytes(rnd.randrange(256) for _ in range(size))


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        parts = self.path.strip("/").split("/")
        body, code = NOT_FOUND_BODY, 404
        if len(parts) == 4 and parts[0] == "tiles" and parts[3].endswith(".png"):
            try:
                key = (int(parts[1]), int(parts[2]), int(parts[3][:-4]))
            except ValueError:
                key = None
            if key in SERVED:
                body, code = SERVED[key], 200
        self.send_response(code)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def cache_files(root):
    out = []
    for folder, _, names in os.walk(root):
        for name in names:
            with open(os.path.join(folder, name), "rb") as f:
                out.append((os.path.relpath(os.path.join(folder, name), root), f.read()))
    return out


def run(exe, base, cache, compact):
    shutil.rmtree(cache, ignore_errors=True)
    os.makedirs(cache)
    tiles = ["%d/%d/%d" % k for k in list(SERVED) + [MISSING]]
    cmd = [exe] + (["--compact"] if compact else []) + [base, cache] + tiles
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=50)
    lines = set(proc.stdout.splitlines())
    errors = []
    if proc.returncode != 0:
        errors.append("exit %d: %s" % (proc.returncode, proc.stderr))
    for key in SERVED:
        addr = "%d/%d/%d" % key
        for want in ("cached " + addr, "exists %s yes" % addr):
            if want not in lines:
                errors.append("missing line: " + want)
    addr = "%d/%d/%d" % MISSING
    for want in ("missing %s 404" % addr, "exists %s no" % addr):
        if want not in lines:
            errors.append("missing line: " + want)

    files = cache_files(cache)
    for name, data in files:
        if NOT_FOUND_BODY in data:
            errors.append("404 body stored in " + name)
    if compact:
        bundles = [d for n, d in files if n.endswith(".bundle")]
        for key, data in SERVED.items():
            if not any(data in b for b in bundles):
                errors.append("tile %r not in any bundle" % (key,))
    else:
        # One file per tile: the stored files are exactly the served tiles.
        stored = sorted(d for _, d in files)
        if stored != sorted(SERVED.values()):
            errors.append("Original cache holds %d files, expected exactly the %d served tiles"
                          % (len(stored), len(SERVED)))
    return errors, proc.stdout


def main():
    exe, work = sys.argv[1], sys.argv[2]
    make_tiles()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    base = "http://127.0.0.1:%d/tiles" % server.server_address[1]
    failed = False
    try:
        for compact in (False, True):
            errors, out = run(exe, base, os.path.join(work, "compact" if compact else "original"),
                              compact)
            layout = "Compact" if compact else "Original"
            if errors:
                failed = True
                print("%s layout FAILED:\n  %s\noutput:\n%s" % (layout, "\n  ".join(errors), out))
            else:
                print("%s layout: ok" % layout)
    finally:
        server.shutdown()
        server.server_close()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
