"""A small HTTP server for the remote-reading tests: serves one file with
range requests, a strong ETag and If-Match, and fails requests on purpose.

    fault_server.py FILE PORT_FILE [SECONDS]

It listens on a free loopback port, writes the port number to PORT_FILE, and
stops by itself after SECONDS (default 60). The path of a request names how
to answer it (one server serves every case, as Python starts slowly):
    /ok           answer every request
    /every-third  answer 503 to two requests out of three
    /always-503   answer 503 to every request
    /drop         close the connection without an answer, every other request
    /no-range     ignore Range and send the whole file with 200
    /no-if-match  answer every request, ignoring If-Match (as some caches do)
GET /stats/NAME answers {"requests": N}, the requests seen at /NAME so far.
"""
import http.server
import json
import os
import re
import sys
import threading

path, port_file = sys.argv[1], sys.argv[2]
seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 60.0
lock = threading.Lock()
counts = {}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body go out in two writes; without this each answer waits
    # for a delayed acknowledgement.
    disable_nagle_algorithm = True

    def log_message(self, *args):
        pass

    def send(self, status, body=b"", headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        if self.path.startswith("/stats/"):
            with lock:
                body = json.dumps({"requests": counts.get(self.path[7:], 0)}).encode()
            return self.send(200, body)
        mode = self.path[1:]
        with lock:
            counts[mode] = n = counts.get(mode, 0) + 1
        if mode == "every-third" and n % 3 != 0 or mode == "always-503":
            return self.send(503, b"busy")
        if mode == "drop" and n % 2 == 1:
            self.close_connection = True
            self.connection.shutdown(2)
            return
        with open(path, "rb") as f:
            data = f.read()
        etag = '"v-%d"' % len(data)
        match = self.headers.get("If-Match")
        if match is not None and match != etag and mode != "no-if-match":
            return self.send(412, b"", [("ETag", etag)])
        wanted = re.fullmatch(r"bytes=(\d+)-(\d+)", self.headers.get("Range", ""))
        if mode == "no-range" or not wanted:
            return self.send(200, data, [("ETag", etag)])
        first, last = int(wanted.group(1)), int(wanted.group(2))
        if first >= len(data):
            return self.send(416, b"", [("Content-Range", "bytes */%d" % len(data))])
        last = min(last, len(data) - 1)
        self.send(206, data[first:last + 1],
                  [("ETag", etag), ("Content-Range", "bytes %d-%d/%d" % (first, last, len(data)))])


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
threading.Timer(seconds, server.shutdown).start()
with open(port_file + ".tmp", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(port_file + ".tmp", port_file)
server.serve_forever()
