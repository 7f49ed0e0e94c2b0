#!/usr/bin/env python3
"""HTTP server for the launcher's tests (standard library only).

Listens on 127.0.0.1 on a free port and prints "PORT <n>" as its first line.
Serves until it is killed or its standard input is closed.

Every answer is chosen by the query parameters of the request, on any path:

  file=<absolute path>   the body is that file, sent in 64 KiB chunks
  size=<n>               the body is n pseudo-random bytes (seed=<s>, default 1)
  status=<code>          the status code (default 200); without file/size the
                         body is a short HTML page
  etag=<value>           sends "ETag: <value>" verbatim
  length=0               no Content-Length: the body ends when the connection closes
  lie=<n>                sends "Content-Length: n" whatever the body
  drop_after=<k>         closes the connection after k body bytes
  stall=<seconds>        waits that long after the headers, before the body
  stall_after=<k>        with stall=: waits after k body bytes instead
  stall_headers=<s>      waits that long before sending the headers
  redirect=<path?query>  answers 302 with that Location
  auth=1                 answers 401 with WWW-Authenticate: Basic realm="x"
  throttle=<bytes/s>     paces the body
  hold=<name>            waits before the headers until GET /__release?name=<name>
                         (requests that arrive after the release are not held)

Every connection is closed after its answer.

GET /__stats answers a JSON array with one object per request, in the order
of arrival: {"path", "query", "bytes_sent", "client_closed", "done"}.
bytes_sent counts only what send() accepted; client_closed tells whether the
client hung up before the answer was complete; "held" is true while the
request waits for its release. GET /__reset forgets them (and the releases).
"""

import http.server
import json
import os
import random
import socket
import sys
import threading
import time
import urllib.parse

CHUNK = 64 * 1024

_records = []
_records_lock = threading.Lock()
_holds = {}  # name -> threading.Event, set once released


def _hold(name):
    with _records_lock:
        return _holds.setdefault(name, threading.Event())


def _new_record(path, query):
    record = {"path": path, "query": query, "bytes_sent": 0,
              "client_closed": False, "done": False, "held": False}
    with _records_lock:
        _records.append(record)
    return record


def _update(record, **changes):
    with _records_lock:
        record.update(changes)


class ClientGone(Exception):
    pass


def _file_chunks(path):
    with open(path, "rb") as source:
        while True:
            chunk = source.read(CHUNK)
            if not chunk:
                return
            yield chunk


def _random_chunks(size, seed):
    generator = random.Random(seed)
    remaining = size
    while remaining > 0:
        count = min(CHUNK, remaining)
        yield generator.randbytes(count)
        remaining -= count


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "LauncherTestServer"

    def version_string(self):
        return self.server_version

    def log_message(self, format, *args):  # quiet: the tests read /__stats
        pass

    def do_HEAD(self):
        self._answer(with_body=False)

    def do_GET(self):
        self._answer(with_body=True)

    def _answer(self, with_body):
        self.close_connection = True
        parts = urllib.parse.urlsplit(self.path)
        if parts.path == "/__stats":
            with _records_lock:
                payload = json.dumps(_records).encode()
            self._send_plain(200, payload, "application/json")
            return
        if parts.path == "/__reset":
            with _records_lock:
                _records.clear()
                _holds.clear()
            self._send_plain(200, b"[]", "application/json")
            return
        if parts.path == "/__release":
            name = dict(urllib.parse.parse_qsl(parts.query)).get("name", "")
            _hold(name).set()
            self._send_plain(200, b"[]", "application/json")
            return

        record = _new_record(parts.path, parts.query)
        try:
            self._answer_test_request(record, parts, with_body)
        except (ClientGone, ConnectionError, socket.timeout, OSError):
            _update(record, client_closed=True)
        finally:
            _update(record, done=True)

    def _send_plain(self, status, payload, content_type):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(payload)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(payload)

    def _answer_test_request(self, record, parts, with_body):
        params = dict(urllib.parse.parse_qsl(parts.query, keep_blank_values=True))

        if "hold" in params:
            released = _hold(params["hold"])
            _update(record, held=True)
            released.wait()
            _update(record, held=False)
        if "stall_headers" in params:
            time.sleep(float(params["stall_headers"]))

        status = int(params.get("status", "200"))
        headers = []
        content_type = "application/octet-stream"
        if "redirect" in params:
            status = 302
            location = params["redirect"]
            if not location.startswith("/"):
                location = "/" + location
            headers.append(("Location", location))
        elif params.get("auth") == "1":
            status = 401
            headers.append(("WWW-Authenticate", 'Basic realm="x"'))

        if "file" in params and status != 302 and status != 401:
            length = os.path.getsize(params["file"])
            chunks = _file_chunks(params["file"])
        elif "size" in params and status != 302 and status != 401:
            length = int(params["size"])
            chunks = _random_chunks(length, int(params.get("seed", "1")))
        else:
            page = ("<html><body><h1>%d</h1></body></html>\n" % status).encode()
            length = len(page)
            chunks = iter([page])
            content_type = "text/html"

        if "etag" in params:
            headers.append(("ETag", params["etag"]))
        if "lie" in params:
            headers.append(("Content-Length", params["lie"]))
        elif params.get("length") != "0":
            headers.append(("Content-Length", str(length)))

        self.send_response(status)
        self.send_header("Content-Type", content_type)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()  # flushes the headers to the socket
        if not with_body:
            return

        drop_after = int(params["drop_after"]) if "drop_after" in params else None
        stall = float(params["stall"]) if "stall" in params else None
        stall_after = int(params["stall_after"]) if "stall_after" in params else 0
        throttle = int(params["throttle"]) if "throttle" in params else None
        stalled = False
        sent = 0

        if stall is not None and stall_after == 0:
            time.sleep(stall)
            stalled = True

        for chunk in chunks:
            view = memoryview(chunk)
            while view:
                piece = view
                if drop_after is not None:
                    piece = piece[:max(0, drop_after - sent)]
                if stall is not None and not stalled:
                    piece = piece[:max(0, stall_after - sent)]
                if throttle:
                    piece = piece[:max(1, throttle // 10)]
                if len(piece) == 0:
                    if drop_after is not None and sent >= drop_after:
                        self._hang_up()
                        return
                    time.sleep(stall)
                    stalled = True
                    continue
                sent += self._send(record, piece)
                view = view[len(piece):]
                if throttle:
                    time.sleep(len(piece) / throttle)
        if drop_after is not None and sent >= drop_after:
            self._hang_up()

    def _send(self, record, piece):
        """Sends all of piece, counting what the kernel accepted."""
        total = 0
        while total < len(piece):
            try:
                count = self.connection.send(piece[total:])
            except OSError as error:
                raise ClientGone() from error
            if count == 0:
                raise ClientGone()
            total += count
            with _records_lock:
                record["bytes_sent"] += count
        return total

    def _hang_up(self):
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64


def _exit_when_stdin_closes():
    try:
        while sys.stdin.buffer.read(4096):
            pass
    except Exception:
        pass
    os._exit(0)


def main():
    server = Server(("127.0.0.1", 0), Handler)
    print("PORT %d" % server.server_address[1], flush=True)
    threading.Thread(target=_exit_when_stdin_closes, daemon=True).start()
    server.serve_forever()


if __name__ == "__main__":
    main()
