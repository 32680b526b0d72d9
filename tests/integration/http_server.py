#!/usr/bin/python3
"""A small HTTP(S) server on 127.0.0.1 for the tests and benchmarks.

Run as a script:

    http_server.py --root DIR --port-file FILE [--port N] [--log FILE]
                   [--tls-cert CERT --tls-key KEY | --self-signed DIR]

It binds 127.0.0.1 only (port 0, a free port, by default), writes the chosen
port to the port file once it listens (a temporary name renamed into place, so
a reader never sees half a number), and serves until it is killed. With
--tls-cert/--tls-key it speaks HTTPS; --self-signed DIR first makes a
self-signed certificate for 127.0.0.1 in DIR with the openssl command.

Published files: GET (and HEAD) of a path serves the file under the root
(application/octet-stream), with an ETag (from the file's modification time
and size) and a Last-Modified date. A missing file, a directory or a path
leading out of the root is answered 404 with NOT_FOUND_BODY.

Ranges: a GET with "Range: bytes=A-" or "bytes=A-B" (one range) is answered
206 with "Content-Range: bytes A-B/SIZE" and those bytes; a range starting at
or beyond the end is answered 416 with "Content-Range: bytes */SIZE". With
If-Range, the range is honoured only when the value equals the file's ETag or
Last-Modified date; otherwise the whole file comes with 200. Anything else in
Range (several ranges, suffix ranges, other units) is ignored: 200.

Request log: with --log, one line per request is appended, as
"METHOD<TAB>PATH?QUERY<TAB>STATUS<TAB>RANGE<TAB>ID", written when the status is
sent (so a stalled response is already logged while it stalls); RANGE is the
request's Range header or "-", ID a serial number. Once the body of a
published file has been sent, or the connection broke, a second line
"=<TAB>ID<TAB>BYTES" tells how many body bytes went into the socket.

Behaviour of a published file: when the root holds "<file>.behaviour" beside
"<file>", its first line changes how "<file>" is served (the control file is
read on every request, so a test can change it between requests). The line
holds one or more of these words, each with its number where it takes one:
    stall N     headers, then nothing for N seconds, then the whole file
    reset       headers, part of the body, then a TCP reset
    truncate    headers, part of the body, then a normal close
    status N    status N with the body "status N\n" instead of the file
    corrupt     the file with its middle byte inverted
    throttle N  the body at N bytes per second at most
    norange     Range is ignored: always 200 and the whole file
    liar        a Range is answered 206 with "Content-Range: bytes 0-..." and
                the whole file, whatever start was asked for
    length N    Content-Length N whatever the size; min(N, size) bytes of
                the file follow, then the connection is closed
    chunked     no Content-Length: the body in chunks (Transfer-Encoding)
    hold N      after the body, N seconds of nothing before it ends (the
                last chunk or the close)
    encoding C  "Content-Encoding: C" and the whole file, gzip-compressed (time
                0) when C is gzip or x-gzip (in any case), as it is otherwise;
                ranges are ignored
    redirect U  302 to U, taken as it stands (another path, or a URL of any
                scheme)
An unknown word or an empty line serves the file as usual.

Reserved paths under /_/ (never clash with published files):
    /_/redirect?to=PATH   302 to PATH (default /)
    /_/redirect-loop      302 to itself, forever
    /_/stall?seconds=N    headers, N seconds of nothing, then STALL_BODY
    /_/zeros              ZEROS_BODY (every byte value, NULs inside)
    /_/gzip               GZIP_TEXT gzip-encoded with Content-Encoding: gzip
                          when the request accepts gzip, plain otherwise
    /_/encoded?coding=C   ENCODED_TEXT with one Content-Encoding line for each
                          coding given (none without one), whatever the
                          request accepts; gzip-compressed (time 0) when the
                          first coding is gzip or x-gzip (in any case)
    /_/reset              headers announcing RESET_LENGTH bytes, part of them,
                          then a TCP reset (SO_LINGER 0); any method
    /_/drop               no response: a TCP reset right after the request
                          headers (a POST body is left unread); any method
    /_/truncated          headers announcing TRUNCATED_LENGTH bytes, fewer
                          bytes, then a normal close
    /_/status?code=N      status N with the body "status N\n"
    /_/echo               POST: the request body, as received
    /_/headers            any method: the request line and headers as text

In Python, HttpServer runs the script as a subprocess (see its docstring) and
make_self_signed_cert makes a certificate with openssl.
"""
import argparse
import collections
import email.utils
import gzip
import http.server
import os
import posixpath
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

NOT_FOUND_BODY = b"<html><body><h1>404 Not Found</h1></body></html>\n"
STALL_BODY = b"stalled body\n"
ZEROS_BODY = bytes(range(256)) * 4
GZIP_TEXT = b"gzip-encoded body, decoded by the client\n" * 64
ENCODED_TEXT = b"a body sent in an encoding, whatever was asked\n" * 64
RESET_LENGTH = 4 * 1024 * 1024
TRUNCATED_LENGTH = 100000
TRUNCATED_SENT = 40000

Request = collections.namedtuple("Request", "method path status")
# One response as logged: the Range asked for ("-": none) and the body bytes
# sent (None while still sending or for a response without a logged body).
Transfer = collections.namedtuple("Transfer", "method path status range sent")

RESERVED = "/_/"
BEHAVIOUR_SUFFIX = ".behaviour"
# Behaviour words whose value is a text, taken as it stands.
TEXT_WORDS = ("encoding", "redirect")


def gzip_coding(coding):
    return coding.lower() in ("gzip", "x-gzip")


def status_body(code):
    return b"status %d\n" % code


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def version_string(self):
        return "loopback-test-server"

    # --- plumbing -------------------------------------------------------

    def log_request(self, code="-", size="-"):
        if isinstance(code, http.HTTPStatus):
            code = code.value
        self.request_id = self.server.next_id()
        headers = getattr(self, "headers", None)
        self.server.write_log("%s\t%s\t%s\t%s\t%d\n" % (
            self.command, self.path, code, headers.get("Range", "-") if headers else "-",
            self.request_id))

    def log_sent(self, count):
        self.server.write_log("=\t%d\t%d\n" % (self.request_id, count))

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    def send_body(self, code, body, content_type="text/plain", extra=()):
        self.send_response(code)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def send_head(self, code, length, content_type="application/octet-stream", extra=()):
        self.send_response(code)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(length))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()

    def reset_connection(self):
        """Closes the connection with a TCP reset instead of a FIN."""
        self.close_connection = True
        sock = self.connection
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            # detach: the buffered reader and writer still refer to the socket
            # object, which would otherwise delay the close and shut it down
            # gracefully first.
            os.close(sock.detach())
        except OSError:
            pass

    def split_path(self):
        parsed = urllib.parse.urlsplit(self.path)
        return parsed.path, urllib.parse.parse_qs(parsed.query)

    def read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        chunks = []
        while length > 0:
            chunk = self.rfile.read(min(length, 1 << 20))
            if not chunk:
                break
            chunks.append(chunk)
            length -= len(chunk)
        return b"".join(chunks)

    # --- methods --------------------------------------------------------

    def do_GET(self):
        self.dispatch()

    def do_HEAD(self):
        self.dispatch()

    def do_POST(self):
        self.dispatch()

    def dispatch(self):
        path, query = self.split_path()
        if path.startswith(RESERVED):
            self.reserved(path[len(RESERVED):], query)
        elif self.command == "POST":
            self.read_body()
            self.send_body(405, status_body(405))
        else:
            self.serve_file(path)

    # --- reserved paths -------------------------------------------------

    def reserved(self, name, query):
        def arg(key, default):
            return query.get(key, [default])[0]

        if name == "redirect":
            self.redirect(arg("to", "/"))
        elif name == "redirect-loop":
            self.redirect(self.path)
        elif name == "stall":
            self.send_head(200, len(STALL_BODY), "text/plain")
            time.sleep(float(arg("seconds", "5")))
            if self.command != "HEAD":
                self.wfile.write(STALL_BODY)
        elif name == "zeros":
            self.send_body(200, ZEROS_BODY, "application/octet-stream")
        elif name == "gzip":
            if "gzip" in (self.headers.get("Accept-Encoding") or ""):
                self.send_body(200, gzip.compress(GZIP_TEXT), extra=[("Content-Encoding", "gzip")])
            else:
                self.send_body(200, GZIP_TEXT)
        elif name == "encoded":
            codings = query.get("coding", [])
            body = ENCODED_TEXT
            if codings and gzip_coding(codings[0]):
                body = gzip.compress(body, mtime=0)
            self.send_body(200, body, extra=[("Content-Encoding", c) for c in codings])
        elif name == "reset":
            self.send_head(200, RESET_LENGTH)
            self.wfile.write(b"r" * (64 * 1024))
            self.reset_connection()
        elif name == "drop":
            self.reset_connection()
        elif name == "truncated":
            self.close_connection = True
            self.send_head(200, TRUNCATED_LENGTH)
            self.wfile.write(b"t" * TRUNCATED_SENT)
        elif name == "status":
            self.send_body(int(arg("code", "200")), status_body(int(arg("code", "200"))))
        elif name == "echo" and self.command == "POST":
            self.send_body(200, self.read_body(), "application/octet-stream")
        elif name == "headers":
            if self.command == "POST":
                self.read_body()
            text = self.requestline + "\n" + str(self.headers)
            self.send_body(200, text.encode("latin-1"))
        else:
            self.not_found()

    def redirect(self, target):
        self.send_response(302)
        self.send_header("Location", target)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def not_found(self):
        self.send_body(404, NOT_FOUND_BODY, "text/html")

    # --- published files ------------------------------------------------

    def local_path(self, path):
        """The file under the root for a URL path, or None."""
        path = posixpath.normpath(urllib.parse.unquote(path))
        if not path.startswith("/") or "\0" in path:
            return None
        full = os.path.join(self.server.root, path.lstrip("/"))
        real = os.path.realpath(full)
        if real != self.server.root and not real.startswith(self.server.root + os.sep):
            return None
        return full if os.path.isfile(real) else None

    def behaviour(self, full):
        """The words of the file's behaviour line: {word: number or None}."""
        try:
            with open(full + BEHAVIOUR_SUFFIX, encoding="utf-8") as f:
                words = f.readline().split()
        except OSError:
            return {}
        result = {}
        i = 0
        while i < len(words):
            word = words[i]
            value = words[i + 1] if i + 1 < len(words) else None
            if word in TEXT_WORDS:
                result[word] = value
                i += 1
            elif any(c.isalpha() for c in word):
                result[word] = None if value is None or any(c.isalpha() for c in value) \
                    else value
            i += 1
        return result

    def requested_range(self, size, etag, modified):
        """(first, last) of a usable single Range, "unsatisfiable", or None
        for a whole-file reply."""
        value = self.headers.get("Range")
        if self.command != "GET" or not value or not value.startswith("bytes="):
            return None
        wanted = value[len("bytes="):].strip()
        if "," in wanted or "-" not in wanted:
            return None
        first, _, last = wanted.partition("-")
        if not first.isdigit() or (last and not last.isdigit()):
            return None
        if_range = self.headers.get("If-Range")
        if if_range is not None and if_range not in (etag, modified):
            return None
        first = int(first)
        last = min(int(last), size - 1) if last else size - 1
        if first >= size:
            return "unsatisfiable"
        if last < first:
            return None
        return first, last

    def serve_file(self, path):
        full = self.local_path(path)
        if full is None:
            self.not_found()
            return
        how = self.behaviour(full)
        if "status" in how:
            code = int(how["status"] or 500)
            self.send_body(code, status_body(code))
            return
        if how.get("redirect"):
            self.redirect(how["redirect"])
            return
        try:
            f = open(full, "rb")
        except OSError:
            self.not_found()
            return
        with f:
            st = os.fstat(f.fileno())
            size = st.st_size
            etag = '"%x-%x"' % (st.st_mtime_ns, size)
            modified = email.utils.formatdate(st.st_mtime, usegmt=True)
            validators = [("ETag", etag), ("Last-Modified", modified), ("Accept-Ranges", "bytes")]
            if how.get("encoding"):
                body = f.read()
                if gzip_coding(how["encoding"]):
                    body = gzip.compress(body, mtime=0)
                self.send_body(200, body, "application/octet-stream",
                               extra=validators + [("Content-Encoding", how["encoding"])])
                return
            wanted = None if "norange" in how else self.requested_range(size, etag, modified)
            if wanted == "unsatisfiable":
                self.send_body(416, b"", extra=[("Content-Range", "bytes */%d" % size)])
                return
            first, count, status, extra = 0, size, 200, validators
            if "liar" in how and wanted is not None:
                status, extra = 206, validators + [
                    ("Content-Range", "bytes 0-%d/%d" % (size - 1, size))]
            elif wanted is not None:
                first, count = wanted[0], wanted[1] - wanted[0] + 1
                status, extra = 206, validators + [
                    ("Content-Range", "bytes %d-%d/%d" % (wanted[0], wanted[1], size))]
            announced = count
            if how.get("length"):
                announced = int(how["length"])
                count = min(count, announced)
            chunked = "chunked" in how
            self.send_response(status)
            self.send_header("Content-Type", "application/octet-stream")
            if chunked:
                self.send_header("Transfer-Encoding", "chunked")
            else:
                self.send_header("Content-Length", str(announced))
            for name, value in extra:
                self.send_header(name, value)
            self.end_headers()
            if self.command == "HEAD":
                return
            if "stall" in how:
                time.sleep(float(how["stall"] or 5))
            cut = "reset" in how or "truncate" in how
            if cut:
                count //= 2
            rate = int(how["throttle"]) if how.get("throttle") else 0
            corrupt_at = size // 2 if "corrupt" in how and size > 0 else None
            sent = self.send_file_body(f, first, count, rate, corrupt_at, chunked)
            self.log_sent(sent)
            if how.get("hold"):
                time.sleep(float(how["hold"]))
            if "reset" in how:
                self.reset_connection()
            elif cut or count < announced:
                self.close_connection = True
            elif chunked:
                try:
                    self.wfile.write(b"0\r\n\r\n")
                except OSError:
                    self.close_connection = True

    def send_file_body(self, f, first, count, rate, corrupt_at, chunked=False):
        """Sends count bytes of f from first on, at most rate bytes per
        second (0: no limit), with the byte at corrupt_at inverted, each piece
        a chunk when chunked (without the last one); returns the bytes of the
        file that went into the socket."""
        sent = 0
        piece = max(rate // 20, 1) if rate else 1 << 20
        start = time.monotonic()
        plain = rate == 0 and corrupt_at is None and not chunked and \
            not isinstance(self.connection, ssl.SSLSocket)
        try:
            while sent < count:
                if plain:
                    n = os.sendfile(self.connection.fileno(), f.fileno(), first + sent,
                                    min(piece, count - sent))
                    if n == 0:
                        break
                    sent += n
                    continue
                f.seek(first + sent)
                data = bytearray(f.read(min(piece, count - sent)))
                if not data:
                    break
                if corrupt_at is not None and first + sent <= corrupt_at < first + sent + len(data):
                    data[corrupt_at - first - sent] ^= 0xFF
                if chunked:
                    self.wfile.write(b"%x\r\n" % len(data) + bytes(data) + b"\r\n")
                else:
                    self.wfile.write(bytes(data))
                sent += len(data)
                if rate:
                    delay = start + sent / rate - time.monotonic()
                    if delay > 0:
                        time.sleep(delay)
        except OSError:
            self.close_connection = True
        return sent


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False

    def __init__(self, address, root, log_path, tls_context):
        self.root = os.path.realpath(root)
        self.log_lock = threading.Lock()
        self.log_file = open(log_path, "a", encoding="utf-8") if log_path else None
        self.tls_context = tls_context
        self.id_lock = threading.Lock()
        self.last_id = 0
        super().__init__(address, Handler)

    def next_id(self):
        with self.id_lock:
            self.last_id += 1
            return self.last_id

    def get_request(self):
        sock, address = super().get_request()
        if self.tls_context is not None:
            # The handshake runs in the request's thread, so a client that
            # never completes it holds up nothing else.
            sock = self.tls_context.wrap_socket(sock, server_side=True,
                                                do_handshake_on_connect=False)
        return sock, address

    def write_log(self, line):
        if self.log_file is None:
            return
        with self.log_lock:
            self.log_file.write(line)
            self.log_file.flush()

    def handle_error(self, request, client_address):
        # Clients that give up or break connections are what the tests do.
        pass


def make_self_signed_cert(directory):
    """Makes cert.pem and key.pem for 127.0.0.1 in directory with openssl;
    returns their paths."""
    cert = os.path.join(directory, "cert.pem")
    key = os.path.join(directory, "key.pem")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
         "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
         "-days", "2", "-keyout", key, "-out", cert],
        check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE)
    return cert, key


def write_atomically(path, data):
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=directory, prefix=".tmp-")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def main(argv=None):
    parser = argparse.ArgumentParser(description="loopback HTTP(S) test server")
    parser.add_argument("--root", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--log")
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    parser.add_argument("--self-signed", metavar="DIR")
    args = parser.parse_args(argv)

    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    cert, key = args.tls_cert, args.tls_key
    if args.self_signed:
        cert, key = make_self_signed_cert(args.self_signed)
    context = None
    if cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)

    server = Server(("127.0.0.1", args.port), args.root, args.log, context)
    write_atomically(args.port_file, b"%d\n" % server.server_address[1])
    server.serve_forever()


class HttpServer:
    """Runs this module as a server subprocess for a test.

        with HttpServer(root) as server:        # or HttpServer(root, tls=True)
            fetch(server.url("/file"))
            assert server.requests()[-1].status == 200

    stop() (and leaving the with block) kills the process by its pid and
    waits for it. The port file, log and certificate live in a private
    temporary directory, removed by stop().
    """

    def __init__(self, root, tls=False, start_timeout=20.0, wrap=()):
        self.root = str(root)
        self.tls = tls
        # A command that runs the server, as "unshare --net ..." to serve in a
        # network namespace of its own; it must exec the server, whose pid
        # stop() kills.
        self.wrap = list(wrap)
        self.start_timeout = start_timeout
        self.proc = None
        self.port = None
        self.workdir = None

    @property
    def scheme(self):
        return "https" if self.tls else "http"

    @property
    def log_path(self):
        return os.path.join(self.workdir, "requests.log")

    def start(self):
        self.workdir = tempfile.mkdtemp(prefix="http-server-")
        port_file = os.path.join(self.workdir, "port")
        argv = self.wrap + [sys.executable, os.path.abspath(__file__), "--root", self.root,
                "--port-file", port_file, "--log", self.log_path]
        if self.tls:
            argv += ["--self-signed", self.workdir]
        stderr_path = os.path.join(self.workdir, "stderr")
        with open(stderr_path, "wb") as stderr:
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=stderr)
        deadline = time.monotonic() + self.start_timeout
        while True:
            try:
                with open(port_file, encoding="ascii") as f:
                    self.port = int(f.read())
                return self
            except (OSError, ValueError):
                pass
            if self.proc.poll() is not None or time.monotonic() > deadline:
                with open(stderr_path, encoding="utf-8", errors="replace") as f:
                    err = f.read()
                self.stop()
                raise RuntimeError("test HTTP server did not start: " + err)
            time.sleep(0.01)

    def stop(self):
        if self.proc is not None:
            if self.proc.poll() is None:
                try:
                    os.kill(self.proc.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            self.proc.wait()
            self.proc = None
        if self.workdir is not None:
            for name in os.listdir(self.workdir):
                os.unlink(os.path.join(self.workdir, name))
            os.rmdir(self.workdir)
            self.workdir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    def url(self, path):
        if not path.startswith("/"):
            path = "/" + path
        return "%s://127.0.0.1:%d%s" % (self.scheme, self.port, path)

    def requests(self):
        """The requests served so far, as Request(method, path, status)."""
        try:
            with open(self.log_path, encoding="utf-8") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        return [Request(t.method, t.path, t.status) for t in self.transfers()]

    def transfers(self):
        """The requests served so far, as Transfer(method, path, status,
        range, sent)."""
        try:
            with open(self.log_path, encoding="utf-8") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        result, index = [], {}
        for line in lines:
            fields = line.split("\t")
            if fields[0] == "=":
                i = index.get(fields[1])
                if i is not None:
                    result[i] = result[i]._replace(sent=int(fields[2]))
                continue
            method, path, status, rng, rid = fields
            index[rid] = len(result)
            result.append(Transfer(method, path, int(status) if status.isdigit() else status,
                                   rng, None))
        return result

    def publish(self, name, data):
        """Writes a file under the root (temporary name, then rename)."""
        path = os.path.join(self.root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        write_atomically(path, data)
        return path

    def behave(self, name, behaviour):
        """Makes the published file name behave specially ("stall 3",
        "reset", "truncate", "status 500", "corrupt", "throttle 1000000",
        "norange", "liar", "length 1000", "chunked", "hold 5",
        "encoding gzip", "redirect ftp://127.0.0.1:21/x", or several words:
        "throttle 1000000 norange"); None restores it."""
        path = os.path.join(self.root, name + BEHAVIOUR_SUFFIX)
        if behaviour is None:
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass
        else:
            write_atomically(path, behaviour.encode("utf-8") + b"\n")


if __name__ == "__main__":
    main()
