"""The loopback test server that the transfer tests, the updater tests and the
soak test rely on: what it serves, the faults it injects, and its clean-up."""
import gzip
import http.client
import os
import socket
import ssl

import pytest

import http_server
from conftest import wait_for
from http_server import HttpServer


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    root = tmp_path_factory.mktemp("root")
    (root / "hello.txt").write_bytes(b"hello\n")
    (root / "sub").mkdir()
    (root / "sub" / "data.bin").write_bytes(bytes(range(256)) * 1000)
    (root / "sub" / "escape").symlink_to("/etc/passwd")
    with HttpServer(root) as srv:
        yield srv


def request(srv, method, path, body=None, headers=None, timeout=10):
    conn = http.client.HTTPConnection("127.0.0.1", srv.port, timeout=timeout)
    try:
        conn.request(method, path, body=body, headers=headers or {})
        resp = conn.getresponse()
        return resp.status, dict(resp.getheaders()), resp.read()
    finally:
        conn.close()


def test_serves_files_and_logs_every_request(server):
    before = len(server.requests())
    assert request(server, "GET", "/hello.txt")[::2] == (200, b"hello\n")
    assert request(server, "GET", "/sub/data.bin")[2] == bytes(range(256)) * 1000
    status, headers, body = request(server, "HEAD", "/hello.txt")
    assert (status, headers["Content-Length"], body) == (200, "6", b"")
    assert request(server, "GET", "/hello.txt?v=2")[0] == 200
    assert server.requests()[before:] == [
        ("GET", "/hello.txt", 200), ("GET", "/sub/data.bin", 200),
        ("HEAD", "/hello.txt", 200), ("GET", "/hello.txt?v=2", 200)]


@pytest.mark.parametrize("path", ["/missing", "/sub", "/sub/", "/../../etc/passwd",
                                  "/sub/escape", "/%2e%2e/%2e%2e/etc/passwd",
                                  "/_/unknown"])
def test_anything_else_is_404_with_a_body(server, path):
    status, _, body = request(server, "GET", path)
    assert (status, body) == (404, http_server.NOT_FOUND_BODY)


def test_reserved_paths(server):
    status, headers, _ = request(server, "GET", "/_/redirect?to=/hello.txt")
    assert (status, headers["Location"]) == (302, "/hello.txt")
    status, headers, _ = request(server, "GET", "/_/redirect-loop")
    assert (status, headers["Location"]) == (302, "/_/redirect-loop")
    assert request(server, "GET", "/_/zeros")[2] == http_server.ZEROS_BODY
    assert request(server, "GET", "/_/status?code=503")[::2] == (503, b"status 503\n")
    assert request(server, "POST", "/_/echo", body=b"a\0b")[2] == b"a\0b"
    assert b"X-Probe: 1" in request(server, "GET", "/_/headers", headers={"X-Probe": "1"})[2]


def test_gzip_only_when_accepted(server):
    _, headers, body = request(server, "GET", "/_/gzip", headers={"Accept-Encoding": "gzip"})
    assert headers["Content-Encoding"] == "gzip"
    assert gzip.decompress(body) == http_server.GZIP_TEXT
    _, headers, body = request(server, "GET", "/_/gzip")
    assert "Content-Encoding" not in headers
    assert body == http_server.GZIP_TEXT


@pytest.mark.parametrize("query,codings,body", [
    ("coding=gzip", ["gzip"], gzip.compress(http_server.ENCODED_TEXT, mtime=0)),
    ("coding=X-Gzip", ["X-Gzip"], gzip.compress(http_server.ENCODED_TEXT, mtime=0)),
    ("coding=identity&coding=gzip", ["identity", "gzip"], http_server.ENCODED_TEXT),
    ("coding=br", ["br"], http_server.ENCODED_TEXT),
    ("", [], http_server.ENCODED_TEXT),
], ids=["gzip", "x-gzip", "two lines", "br", "none"])
def test_encoded_whatever_the_request_accepts(server, query, codings, body):
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
    try:
        conn.request("GET", "/_/encoded?" + query, headers={"Accept-Encoding": "identity"})
        resp = conn.getresponse()
        got_codings = resp.msg.get_all("Content-Encoding") or []
        got_body = resp.read()
    finally:
        conn.close()
    assert (got_codings, got_body) == (codings, body)


def raw_get(srv, path, timeout=10):
    """Everything the server sends for a GET, and how the connection ended."""
    with socket.create_connection(("127.0.0.1", srv.port), timeout=timeout) as sock:
        sock.sendall(b"GET %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n" % path.encode())
        data = b""
        try:
            while True:
                chunk = sock.recv(65536)
                if not chunk:
                    return data, "closed"
                data += chunk
        except ConnectionResetError:
            return data, "reset"
        except socket.timeout:
            return data, "timeout"


def announced_and_received(data):
    head, _, body = data.partition(b"\r\n\r\n")
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            return int(line.split(b":")[1]), len(body)
    return None, len(body)


def test_injected_faults_on_reserved_paths(server):
    data, end = raw_get(server, "/_/truncated")
    assert end == "closed"
    assert announced_and_received(data) == (http_server.TRUNCATED_LENGTH, http_server.TRUNCATED_SENT)

    data, end = raw_get(server, "/_/reset")
    assert end == "reset"

    assert raw_get(server, "/_/drop") == (b"", "reset")

    data, end = raw_get(server, "/_/stall?seconds=3", timeout=0.5)
    assert end == "timeout" and data.startswith(b"HTTP/1.1 200")
    assert announced_and_received(data) == (len(http_server.STALL_BODY), 0)


def test_behaviour_files_change_a_published_file(server):
    name = "sub/data.bin"
    content = bytes(range(256)) * 1000
    try:
        server.behave(name, "status 500")
        assert request(server, "GET", "/" + name)[::2] == (500, b"status 500\n")

        server.behave(name, "truncate")
        data, end = raw_get(server, "/" + name)
        assert end == "closed"
        assert announced_and_received(data) == (len(content), len(content) // 2)

        server.behave(name, "reset")
        assert raw_get(server, "/" + name)[1] == "reset"

        server.behave(name, "stall 3")
        data, end = raw_get(server, "/" + name, timeout=0.5)
        assert end == "timeout" and announced_and_received(data) == (len(content), 0)

        server.behave(name, "corrupt")
        body = request(server, "GET", "/" + name)[2]
        assert len(body) == len(content) and body != content
        assert sum(a != b for a, b in zip(body, content)) == 1

        server.behave(name, "length 1000000000")
        data, end = raw_get(server, "/" + name)
        assert end == "closed" and announced_and_received(data) == (1000000000, len(content))

        server.behave(name, "length 1000")
        data, end = raw_get(server, "/" + name)
        assert announced_and_received(data) == (1000, 1000)

        server.behave(name, "chunked")
        status, headers, body = request(server, "GET", "/" + name)
        assert headers.get("Transfer-Encoding") == "chunked" and "Content-Length" not in headers
        assert (status, body) == (200, content)

        server.behave(name, "chunked hold 3")  # the whole body, but not its end
        data, end = raw_get(server, "/" + name, timeout=0.5)
        assert end == "timeout" and not data.endswith(b"\r\n0\r\n\r\n")
        assert content[-1000:] + b"\r\n" in data

        for coding, sent in (("gzip", gzip.compress(content, mtime=0)), ("Identity", content)):
            server.behave(name, "encoding " + coding)
            status, headers, body = request(server, "GET", "/" + name,
                                            headers={"Range": "bytes=10-"})
            assert (status, headers["Content-Encoding"], body) == (200, coding, sent)

        server.behave(name, "redirect file:///x/y")
        status, headers, _ = request(server, "GET", "/" + name)
        assert (status, headers["Location"]) == (302, "file:///x/y")
    finally:
        server.behave(name, None)
    assert request(server, "GET", "/" + name)[2] == content


DATA = bytes(range(256)) * 1000  # sub/data.bin


@pytest.mark.parametrize("behaviour,range_header,if_range,status,content_range,body", [
    (None, "bytes=1000-", None, 206, "bytes 1000-255999/256000", DATA[1000:]),
    (None, "bytes=10-19", None, 206, "bytes 10-19/256000", DATA[10:20]),
    (None, "bytes=255999-", None, 206, "bytes 255999-255999/256000", DATA[-1:]),
    (None, "bytes=256000-", None, 416, "bytes */256000", b""),
    (None, "bytes=0-1,5-9", None, 200, None, DATA),
    (None, "bytes=-10", None, 200, None, DATA),
    (None, "bytes=1000-", "etag", 206, "bytes 1000-255999/256000", DATA[1000:]),
    (None, "bytes=1000-", "date", 206, "bytes 1000-255999/256000", DATA[1000:]),
    (None, "bytes=1000-", '"other"', 200, None, DATA),
    ("norange", "bytes=1000-", None, 200, None, DATA),
    ("liar", "bytes=1000-", None, 206, "bytes 0-255999/256000", DATA),
    ("truncate", "bytes=1000-", None, 206, "bytes 1000-255999/256000", None),
], ids=lambda v: "%d-bytes" % len(v) if isinstance(v, bytes) else None)
def test_ranges_and_validators(server, behaviour, range_header, if_range, status,
                               content_range, body):
    name = "sub/data.bin"
    _, plain, _ = request(server, "HEAD", "/" + name)
    headers = {"Range": range_header}
    if if_range is not None:
        headers["If-Range"] = {"etag": plain["ETag"], "date": plain["Last-Modified"]}.get(
            if_range, if_range)
    try:
        server.behave(name, behaviour)
        if behaviour == "truncate":
            conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
            conn.request("GET", "/" + name, headers=headers)
            resp = conn.getresponse()
            assert (resp.status, resp.getheader("Content-Range")) == (status, content_range)
            with pytest.raises(http.client.IncompleteRead):
                resp.read()
            conn.close()
            return
        got_status, got, got_body = request(server, "GET", "/" + name, headers=headers)
    finally:
        server.behave(name, None)
    assert (got_status, got.get("Content-Range"), got_body) == (status, content_range, body)
    if status in (200, 206):
        assert (got["ETag"], got["Last-Modified"]) == (plain["ETag"], plain["Last-Modified"])
    log = server.transfers()[-1]
    assert (log.status, log.range) == (status, range_header)
    if status != 416:
        # The server logs what it sent once the body is out, which may be
        # just after the client has read it.
        sent = wait_for(lambda: server.transfers()[-1].sent, what="the sent line")
        assert sent == len(body)


def test_throttle_paces_the_body_and_logs_what_was_sent(server):
    """A client that leaves after a few pieces of a throttled body: the server
    stops sending and logs the bytes that went out, far fewer than the file."""
    name = "sub/data.bin"
    server.behave(name, "throttle 100000")
    try:
        with socket.create_connection(("127.0.0.1", server.port), timeout=10) as sock:
            sock.sendall(b"GET /%s HTTP/1.1\r\nHost: x\r\n\r\n" % name.encode())
            received = 0
            while received < 20000:
                received += len(sock.recv(65536))
    finally:
        server.behave(name, None)
    sent = wait_for(lambda: server.transfers()[-1].sent, what="the sent line")
    assert received - 1024 <= sent < len(DATA) // 2  # received counts the headers too


def test_https_with_a_self_signed_certificate(tmp_path):
    (tmp_path / "f.txt").write_bytes(b"secret\n")
    with HttpServer(tmp_path, tls=True) as srv:
        assert srv.url("/f.txt").startswith("https://127.0.0.1:")
        context = ssl.create_default_context(cafile=os.path.join(srv.workdir, "cert.pem"))
        conn = http.client.HTTPSConnection("127.0.0.1", srv.port, context=context, timeout=10)
        conn.request("GET", "/f.txt")
        assert conn.getresponse().read() == b"secret\n"
        conn.close()


def test_stop_ends_the_process_even_after_a_failure(tmp_path):
    srv = HttpServer(tmp_path)
    with pytest.raises(RuntimeError):
        with srv:
            proc, workdir = srv.proc, srv.workdir
            raise RuntimeError("test failed")
    assert proc.poll() is not None
    assert not os.path.exists(workdir)
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", srv.port), timeout=2).close()
