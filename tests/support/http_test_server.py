#!/usr/bin/env python3
"""HTTP server for the launcher's tests (standard library only).

Listens on 127.0.0.1 on a free port and prints "PORT <n>" as its first line.
With --tls <certificate> <key> (PEM files) it also serves the same answers
over TLS on a second free port, printed as "TLS_PORT <n>" on the next line.
Serves until it is killed or its standard input is closed.

Every answer is chosen by the query parameters of the request, on any path:

  file=<absolute path>   the body is that file, sent in 64 KiB chunks
  size=<n>               the body is n pseudo-random bytes (seed=<s>, default 1)
  zip_start=1            with size=: the bytes start as a zip archive does (PK\3\4)
  status=<code>          the status code (default 200); without file/size the
                         body is a short HTML page
  etag=<value>           sends "ETag: <value>" verbatim
  length=0               no Content-Length: the body ends when the connection closes
  lie=<n>                sends "Content-Length: n" whatever the body
  drop_after=<k>         closes the connection after k body bytes
  stall=<seconds>        waits that long after the headers, before the body
  stall_after=<k>        with stall=: waits after k body bytes instead
  stall_headers=<s>      waits that long before sending the headers
  redirect=<path?query>  answers 302 with that Location (an absolute http:// or
                         https:// URL is sent as it is)
  auth=1                 answers 401 with WWW-Authenticate: Basic realm="x"
  throttle=<bytes/s>     paces the body
  hold=<name>            waits before the headers until GET /__release?name=<name>
                         (requests that arrive after the release are not held)
  last_modified=<date>   sends "Last-Modified: <date>" verbatim
  content_type=<value>   sends "Content-Type: <value>" instead of the usual one
  retry_after=<value>    sends "Retry-After: <value>" verbatim with answers >= 400
  no_ranges=1            ignores Range: always the whole body, 200
  no_conditional=1       ignores If-None-Match
  unframed_206=1         a 206 carries no Content-Length: its part ends when the
                         connection closes
  proxy_auth=<scheme>    acts as a proxy that wants credentials: answers 407 with
                         "Proxy-Authenticate: <scheme> ..." (Basic or Digest)
                         unless the request's Proxy-Authorization uses that scheme

Conditional and range requests, for file= and size= bodies:

  If-None-Match          naming the ETag (or "*"): 304, no body
  Range: bytes=<a>-[<b>] 206 with Content-Range and that part of the body; 416
                         when <a> lies at or past the end; the whole body (200)
                         when an If-Range names another ETag or date

Per-attempt answers: key=<name> numbers the requests that carry it (0, 1, ...):

  drop_first=<n>         the first n requests of the key close the connection
                         mid-body: after drop_after=<k> body bytes of their own
                         (default: half of what they would send)
  status_first=<code>    the first request of the key (the first status_times=<n>)
                         answers that status
  etag_first=<value>     the first request of the key gets that ETag instead of etag=
  file_first=<path>      the first request of the key is served that file instead of file=

As a proxy for plain http (http_proxy naming this server), a request for an
absolute URL is answered by its query like any other. A tunnel (CONNECT
<host>:<port>, what https through a proxy asks for) is never opened: the
answer is the status that the host's first label names ("status-403.test"
gives 403; 407 comes with "Proxy-Authenticate: Basic"), 403 for other hosts.

A path that ends in ".minisig" is the detached signature of the file=
archive: <file>.minisig, served plainly (404 when there is none); the other
parameters are not applied to it, but for these. With key=, it is the
signature of the file the key's latest archive request was served.

  sig_delay=<seconds>    the signature is answered that much later
  sig_status_first=<code> the first signature request of the key answers that status

Every connection is closed after its answer.

GET /__stats answers a JSON array with one object per request, in the order
of arrival: {"path", "query", "bytes_sent", "client_closed", "done", "held",
"range", "if_range", "status", "tls", "user_agent", "proxy_authorization"}. bytes_sent counts only what send()
accepted; client_closed tells whether the client hung up before the answer was
complete; "held" is true while the request waits for its release; "range",
"if_range", "user_agent" and "proxy_authorization" are the request's
headers ("" when absent); a tunnel's record has its <host>:<port> as path; "status" is the status
sent (0 before the headers). GET /__reset forgets them (and the releases and
the key counts).
"""

import http.server
import json
import os
import random
import socket
import ssl
import sys
import threading
import time
import urllib.parse

CHUNK = 64 * 1024

_records = []
_records_lock = threading.Lock()
_holds = {}  # name -> threading.Event, set once released
_key_counts = {}  # key= value -> requests seen with it
_key_files = {}  # key= value -> the file its latest archive request was served


def _hold(name):
    with _records_lock:
        return _holds.setdefault(name, threading.Event())


def _ordinal(key):
    """How many requests with this key came before this one."""
    with _records_lock:
        count = _key_counts.get(key, 0)
        _key_counts[key] = count + 1
        return count


def _new_record(path, query, headers, tls):
    record = {"path": path, "query": query, "bytes_sent": 0,
              "client_closed": False, "done": False, "held": False,
              "range": headers.get("Range", ""), "if_range": headers.get("If-Range", ""),
              "status": 0, "tls": tls, "user_agent": headers.get("User-Agent", ""),
              "proxy_authorization": headers.get("Proxy-Authorization", "")}
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


def _file_chunks_from(path, start):
    with open(path, "rb") as source:
        source.seek(start)
        while True:
            chunk = source.read(CHUNK)
            if not chunk:
                return
            yield chunk


ZIP_START = b"PK\x03\x04"


def _random_chunks(size, seed, start=0, zip_start=False):
    """The same bytes for a seed however they are asked for, from byte start on."""
    generator = random.Random(seed)
    produced = 0
    while produced < size:
        count = min(CHUNK, size - produced)
        chunk = generator.randbytes(count)
        if zip_start and produced == 0:
            chunk = (ZIP_START + chunk[len(ZIP_START):])[:count]
        if produced + count > start:
            yield chunk[max(0, start - produced):]
        produced += count


UNSATISFIABLE = "unsatisfiable"

PROXY_CHALLENGES = {
    "basic": 'Basic realm="proxy"',
    "digest": 'Digest realm="proxy", nonce="6c61756e63686572", qop="auth", algorithm=MD5',
}


def _byte_range(header, length):
    """(first, last) of "bytes=a-" or "bytes=a-b"; None when it is not one of
    those (the header is ignored), UNSATISFIABLE when a lies past the end."""
    if not header.startswith("bytes="):
        return None
    first, dash, last = header[len("bytes="):].strip().partition("-")
    if not dash or not first.isdigit() or (last and not last.isdigit()):
        return None
    first = int(first)
    last = min(int(last), length - 1) if last else length - 1
    if first >= length:
        return UNSATISFIABLE
    return (first, last) if first <= last else None


def _names_etag(if_none_match, etag):
    tags = [tag.strip() for tag in if_none_match.split(",")]
    return "*" in tags or etag in tags


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

    def do_CONNECT(self):
        self.close_connection = True
        record = _new_record(self.path, "", self.headers, self.server.tls)
        label = self.path.split(".", 1)[0]
        status = int(label[len("status-"):]) if label.startswith("status-") and label[7:].isdigit() else 403
        self.send_response(status)
        if status == 407:
            self.send_header("Proxy-Authenticate", 'Basic realm="proxy"')
        self.send_header("Content-Length", "0")
        self.send_header("Connection", "close")
        self.end_headers()
        _update(record, status=status, done=True)

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
                _key_counts.clear()
                _key_files.clear()
            self._send_plain(200, b"[]", "application/json")
            return
        if parts.path == "/__release":
            name = dict(urllib.parse.parse_qsl(parts.query)).get("name", "")
            _hold(name).set()
            self._send_plain(200, b"[]", "application/json")
            return

        record = _new_record(parts.path, parts.query, self.headers, self.server.tls)
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

    def _signature_params(self, params):
        """The answer to a signature request: its file, or a status."""
        key = params.get("key")
        with _records_lock:
            archive = _key_files.get(key, params["file"]) if key is not None else params["file"]
        if "sig_delay" in params:
            time.sleep(float(params["sig_delay"]))
        if "sig_status_first" in params and key is not None and _ordinal(key + "#signature") == 0:
            return {"status": params["sig_status_first"]}
        signature = archive + ".minisig"
        return {"file": signature} if os.path.exists(signature) else {"status": "404"}

    def _answer_test_request(self, record, parts, with_body):
        params = dict(urllib.parse.parse_qsl(parts.query, keep_blank_values=True))
        if parts.path.endswith(".minisig") and "file" in params:
            params = self._signature_params(params)
        ordinal = _ordinal(params["key"]) if "key" in params else None
        if "file_first" in params and ordinal == 0:
            params["file"] = params["file_first"]
        if "key" in params and "file" in params:
            with _records_lock:
                _key_files[params["key"]] = params["file"]

        if "hold" in params:
            released = _hold(params["hold"])
            _update(record, held=True)
            released.wait()
            _update(record, held=False)
        if "stall_headers" in params:
            time.sleep(float(params["stall_headers"]))

        status = int(params.get("status", "200"))
        error_page = False
        if "status_first" in params and ordinal is not None and ordinal < int(params.get("status_times", "1")):
            status = int(params["status_first"])
            error_page = True
        etag = params.get("etag")
        if "etag_first" in params and ordinal == 0:
            etag = params["etag_first"]
        drop_after = int(params["drop_after"]) if "drop_after" in params else None
        if "drop_first" in params:
            dropping = ordinal is not None and ordinal < int(params["drop_first"])
            drop_after = (drop_after if drop_after is not None else -1) if dropping else None

        headers = []
        content_type = "application/octet-stream"
        if "redirect" in params:
            status = 302
            location = params["redirect"]
            if not location.startswith(("/", "http://", "https://")):
                location = "/" + location
            headers.append(("Location", location))
        elif params.get("auth") == "1":
            status = 401
            headers.append(("WWW-Authenticate", 'Basic realm="x"'))
        elif "proxy_auth" in params and not self._carries_proxy_credentials(params["proxy_auth"]):
            status = 407
            headers.append(("Proxy-Authenticate", PROXY_CHALLENGES[params["proxy_auth"].lower()]))

        has_body = ("file" in params or "size" in params) and status not in (302, 401, 407) and not error_page
        if "file" in params and has_body:
            length = os.path.getsize(params["file"])
        elif "size" in params and has_body:
            length = int(params["size"])
        start = 0
        if has_body and status == 200:
            last_modified = params.get("last_modified")
            if (etag is not None and params.get("no_conditional") != "1"
                    and _names_etag(self.headers.get("If-None-Match", ""), etag)):
                status = 304
            elif record["range"] and params.get("no_ranges") != "1":
                if_range = record["if_range"]
                if not if_range or if_range in (etag, last_modified):
                    byte_range = _byte_range(record["range"], length)
                    if byte_range == UNSATISFIABLE:
                        status = 416
                        headers.append(("Content-Range", "bytes */%d" % length))
                    elif byte_range is not None:
                        status = 206
                        start, last = byte_range
                        headers.append(("Content-Range", "bytes %d-%d/%d" % (start, last, length)))
                        length = last - start + 1
        if status in (304, 416):
            has_body = False

        if "file" in params and has_body:
            chunks = _file_chunks_from(params["file"], start)
        elif "size" in params and has_body:
            chunks = _random_chunks(start + length, int(params.get("seed", "1")), start, params.get("zip_start") == "1")
        elif status == 304:
            length = 0
            chunks = iter([])
        else:
            page = ("<html><body><h1>%d</h1></body></html>\n" % status).encode()
            length = len(page)
            chunks = iter([page])
            content_type = "text/html"
        if drop_after == -1:
            drop_after = length // 2

        if etag is not None:
            headers.append(("ETag", etag))
        if "last_modified" in params:
            headers.append(("Last-Modified", params["last_modified"]))
        if "retry_after" in params and status >= 400:
            headers.append(("Retry-After", params["retry_after"]))
        if "lie" in params:
            headers.append(("Content-Length", params["lie"]))
        elif params.get("length") != "0" and status != 304 and not (status == 206 and "unframed_206" in params):
            headers.append(("Content-Length", str(length)))

        self.send_response(status)
        _update(record, status=status)
        if status != 304:
            self.send_header("Content-Type", params.get("content_type", content_type))
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()  # flushes the headers to the socket
        if not with_body:
            return

        stall = float(params["stall"]) if "stall" in params else None
        stall_after = int(params["stall_after"]) if "stall_after" in params else 0
        throttle = int(params["throttle"]) if "throttle" in params else None
        stalled = False
        sent = 0
        # Paced like a link of that rate: each piece leaves when the link
        # would have carried the bytes before it, so the server's own delays
        # do not add up into a slower link.
        paced_from = time.monotonic()
        paced_bytes = 0

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
                    paced_from, paced_bytes = time.monotonic(), 0
                    continue
                sent += self._send(record, piece)
                view = view[len(piece):]
                if throttle:
                    paced_bytes += len(piece)
                    ahead = paced_from + paced_bytes / throttle - time.monotonic()
                    if ahead > 0:
                        time.sleep(ahead)
        if drop_after is not None and sent >= drop_after:
            self._hang_up()

    def _carries_proxy_credentials(self, scheme):
        credentials = self.headers.get("Proxy-Authorization", "")
        return credentials.lower().startswith(scheme.lower() + " ")

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
    tls = False

    def handle_error(self, request, client_address):
        pass  # a client that hung up or refused the certificate: nothing to report


class TlsServer(Server):
    tls = True

    def __init__(self, address, handler, context):
        self.context = context
        super().__init__(address, handler)

    def finish_request(self, request, client_address):
        # The handshake runs in the request's own thread, so that a client
        # that never completes it holds up nobody else.
        connection = self.context.wrap_socket(request, server_side=True)
        try:
            super().finish_request(connection, client_address)
        finally:
            try:
                connection.close()
            except OSError:
                pass


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
    if len(sys.argv) == 4 and sys.argv[1] == "--tls":
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[2], sys.argv[3])
        tls_server = TlsServer(("127.0.0.1", 0), Handler, context)
        print("TLS_PORT %d" % tls_server.server_address[1], flush=True)
        threading.Thread(target=tls_server.serve_forever, daemon=True).start()
    threading.Thread(target=_exit_when_stdin_closes, daemon=True).start()
    server.serve_forever()


if __name__ == "__main__":
    main()
