"""The installed tool driven as a caller would, against a scripted TLS server."""
import contextlib
import hashlib
import os
import resource
import subprocess
import threading
import time

import pytest

from conftest import PORT, SANITIZED, TOOL, run_tool, show
import support
from scripted_server import ScriptedServer

USAGE = b"Usage: tovrin-report [--ca-path dir]\n"
INVALID = b"Invalid response from server: "
PATTERN = bytes(range(256)) * 256  # 64 KiB holding every byte value


def pattern(size):
    return (PATTERN * (size // len(PATTERN) + 1))[:size]


@pytest.fixture(scope="module")
def server(certs):
    srv = ScriptedServer(PORT, certs.good)
    yield srv
    srv.stop()


def run(server, args, **kw):
    result = run_tool(args, **kw)
    server.settle()
    return result


def assert_failed(rc, out, err, reply=b""):
    """Exit 1; stdout: one clean error line, then the invalid line unless reply is None."""
    msg = show(out, err)
    assert rc == 1, msg
    first, _, rest = out.partition(b"\n")
    assert first and all(32 <= c < 127 for c in first), "error text missing or not clean" + msg
    assert rest == (b"" if reply is None else INVALID + reply + b"\n"), msg


def assert_delivered(rc, out, err):
    assert (rc, out) == (0, b""), show(out, err)


def assert_request(server, length, sha256):
    assert len(server.requests) == 1, server.requests
    req = server.requests[0]
    assert (req.method, req.target, req.alpn) == ("PUT", "/report/", None)
    assert (req.header("transfer-encoding"), req.header("content-length")) == (["chunked"], [])
    assert req.header("expect") == ["100-continue"]
    assert (req.complete, req.length, req.hash.hexdigest()) == (True, length, sha256)


def assert_outcome(server, outcome, rc, out, err):
    """delivered: b"report" sent as asked; untrusted: the server's certificate refused, nothing sent."""
    if outcome == "delivered":
        assert_delivered(rc, out, err)
        assert_request(server, *sent(b"report"))
    else:
        assert_failed(rc, out, err)
        assert server.requests == []


def sent(body):
    return len(body), hashlib.sha256(body).hexdigest()


def run_piped(server, args, size, pieces, pause, nonblocking=False):
    """Runs the tool on a pipe fed `size` bytes in `pieces` writes: (run's result, sha256 written)."""
    r, w = os.pipe()
    os.set_blocking(r, not nonblocking)
    h = hashlib.sha256()

    def writer():
        left = size
        with contextlib.suppress(BrokenPipeError), open(w, "wb", buffering=0) as f:
            while left:
                piece = PATTERN[:min(left, max(1, size // pieces), len(PATTERN))]
                f.write(piece)
                h.update(piece)
                left -= len(piece)
                time.sleep(pause)

    t = threading.Thread(target=writer, daemon=True)
    t.start()
    try:
        result = run(server, args, stdin_fd=r)
    finally:
        os.close(r)  # lets the writer see a broken pipe should the tool stop reading
        t.join(30)
    return result, h.hexdigest()


@pytest.mark.parametrize("args, outcome", [
    pytest.param(["--CA-PATH", "DIR"], "delivered", id="option-name-in-upper-case"),
    pytest.param(["--Ca-Path", "DIR"], "delivered", id="option-name-in-mixed-case"),
    pytest.param(["--ca-path", ""], "untrusted", id="empty-dir-argument-is-a-dir-not-usage"),
    pytest.param([], "untrusted", id="no-arguments-trust-only-default-dir"),
    pytest.param(["--ca-path"], "usage", id="option-without-value"),
    pytest.param(["--ca-path=DIR"], "usage", id="option-joined-with-equals"),
    pytest.param(["--ca-dir", "DIR"], "usage", id="other-option-with-value"),
    pytest.param(["DIR", "--ca-path"], "usage", id="value-before-option"),
    pytest.param(["--ca-path", "DIR", "extra"], "usage", id="three-arguments"),
])
def test_command_line(server, certs, args, outcome):
    server.script()
    rc, out, err, _ = run(server, [a.replace("DIR", certs.ca_dir) for a in args], stdin=b"report")
    if outcome == "usage":
        assert (rc, out, err) == (1, USAGE, b""), show(out, err)
        assert server.accepted == []
    else:
        assert_outcome(server, outcome, rc, out, err)


@pytest.mark.parametrize("status, pieces, delivered", [
    pytest.param(200, [b"OK"], True, id="OK"),
    pytest.param(200, [b"O", b"K", b" later"], True, id="OK-split-across-blocks"),
    pytest.param(200, [b"oK"], False, id="oK"),
    pytest.param(200, [b"O"], False, id="only-O"),
    pytest.param(200, [b" OK"], False, id="OK-after-space"),
    pytest.param(200, [], False, id="empty-reply"),
    pytest.param(200, [b"NO\x00pe\r\n", b"\xff\x00", b"\r\nend\n"], False, id="binary-reply-in-pieces-echoed-exactly"),
    pytest.param(500, [b"OK"], True, id="status-500-with-OK-is-delivered"),
    pytest.param(500, [b"<html><body>\n<h1>500</h1>\r\n", b"Internal error\n</body></html>"], False,
                 id="status-500-page-echoed-whole"),
])
def test_verdict_is_the_reply_body(server, certs, status, pieces, delivered):
    server.script(status=status, body=pieces)
    rc, out, err, _ = run(server, ["--ca-path", certs.ca_dir], stdin=b"report")
    expected = (0, b"") if delivered else (1, INVALID + b"".join(pieces) + b"\n")
    assert (rc, out, err) == (*expected, b""), show(out, err)


@pytest.mark.parametrize("size", [
    pytest.param(0, id="empty-report"),
    pytest.param(len(PATTERN), id="every-byte-value-64KiB"),
])
def test_report_is_sent_unchanged_in_one_chunked_put(server, certs, size):
    server.script()
    body = pattern(size)
    rc, out, err, _ = run(server, ["--ca-path", certs.ca_dir], stdin=body)
    assert_delivered(rc, out, err)
    assert_request(server, *sent(body))


def test_large_report_is_streamed_in_flat_memory(server, certs):
    peaks = {}
    # The short run is paced so that the polled peak sees it in full flow.
    for size, pieces, pause in ((1 << 20, 16, 0.02), (256 << 20, 4096, 0)):
        server.script()
        (rc, out, err, usage), digest = run_piped(server, ["--ca-path", certs.ca_dir], size, pieces, pause)
        assert_delivered(rc, out, err)
        assert_request(server, size, digest)
        peaks[size] = usage.vm_hwm_kib
    if not SANITIZED:
        assert peaks[256 << 20] - peaks[1 << 20] <= 1024, peaks


@pytest.mark.parametrize("ca_dir, cert, env", [
    pytest.param("ca_dir", "good", {}, id="positive-control-good-cert-good-dir"),
    pytest.param("missing_dir", "good", {}, id="dir-missing"),
    pytest.param("other_ca_dir", "good", {}, id="dir-of-another-ca"),
    pytest.param("unhashed_dir", "good", {}, id="ca-not-under-hash-name"),
    pytest.param("ca_dir", "wrong_host", {}, id="cert-for-another-host"),
    pytest.param("ca_dir", "expired", {}, id="cert-expired"),
    pytest.param("ca_dir", "self_signed", {}, id="cert-self-signed"),
    pytest.param("empty_dir", "good", {"SSL_CERT_FILE": "ca_pem"}, id="SSL_CERT_FILE-ignored"),
    pytest.param("empty_dir", "good", {"SSL_CERT_DIR": "ca_dir"}, id="SSL_CERT_DIR-ignored"),
])
def test_only_the_named_ca_dir_is_trusted(server, certs, ca_dir, cert, env):
    server.script(cert_key=getattr(certs, cert))
    env = {k: getattr(certs, v) for k, v in env.items()}
    rc, out, err, _ = run(server, ["--ca-path", getattr(certs, ca_dir)], stdin=b"report", env=env)
    assert_outcome(server, "delivered" if (ca_dir, cert) == ("ca_dir", "good") else "untrusted", rc, out, err)


@pytest.mark.parametrize("script, size, reply", [
    pytest.param(dict(mode="close_without_reply"), 6, b"", id="closed-without-reply"),
    pytest.param(dict(mode="cut_reply"), 6, None, id="reply-cut-after-OK-error-only"),
    pytest.param(dict(mode="refuse"), 6, b"", id="connection-refused"),
    pytest.param(dict(mode="close_mid_upload", cut_after=1 << 20), 8 << 20, b"", id="reset-mid-upload"),
])
def test_failed_transfer_prints_error_then_judges_reply(server, certs, script, size, reply):
    server.script(**script)
    rc, out, err, _ = run(server, ["--ca-path", certs.ca_dir], stdin=pattern(size))
    assert_failed(rc, out, err, reply)


# Mended faults: each row fails on a tool without its mend.

def test_stdin_read_error_is_not_end_of_input(server, certs, tmp_path):
    server.script()
    fd = os.open(tmp_path, os.O_RDONLY)
    try:
        rc, out, err, _ = run(server, ["--ca-path", certs.ca_dir], stdin_fd=fd)
    finally:
        os.close(fd)
    assert_failed(rc, out, err)
    assert not any(r.complete for r in server.requests)


def test_non_blocking_stdin_is_waited_for(server, certs):
    server.script()
    (rc, out, err, _), digest = run_piped(server, ["--ca-path", certs.ca_dir], 200000, 4, 0.3, nonblocking=True)
    assert_delivered(rc, out, err)
    assert_request(server, 200000, digest)


@pytest.mark.parametrize("closed, reply, body", [
    pytest.param(0, b"OK", b"", id="fd0-closed-sends-empty-report"),
    pytest.param(2, b"OK", b"report", id="fd2-closed-delivers"),
    pytest.param(1, b"NO", b"report", id="fd1-closed-rejected-nothing-leaks-into-connection"),
])
def test_closed_standard_descriptor_at_start(server, certs, closed, reply, body):
    server.script(body=[reply])
    rc, out, err, _ = run(server, ["--ca-path", certs.ca_dir], stdin=b"report", timeout=20,
                          preexec=lambda: os.close(closed))
    assert rc == (0 if reply == b"OK" else 1), show(out, err)
    assert_request(server, *sent(body))
    assert server.requests[0].after == b"", server.requests[0].after


@pytest.mark.parametrize("args", [
    pytest.param(["--bogus"], id="usage-line"),
    pytest.param(["--ca-path", "DIR"], id="invalid-response-line"),
])
def test_stdout_reader_gone_is_exit_1_not_sigpipe(server, certs, args):
    server.script(body=[b"NO"])
    r, w = os.pipe()
    os.close(r)
    try:
        proc = subprocess.run([TOOL, *[a.replace("DIR", certs.ca_dir) for a in args]], env=support.clean_env(),
                              stdin=subprocess.DEVNULL, stdout=w, stderr=subprocess.PIPE, timeout=20)
    finally:
        os.close(w)
    server.settle()
    assert proc.returncode == 1, proc.stderr


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves more address space than any useful limit")
def test_reply_beyond_memory_fails_cleanly(server, certs):
    server.script()
    *_, usage = run(server, ["--ca-path", certs.ca_dir], stdin=b"report")
    limit = (usage.vm_peak_kib << 10) + (96 << 20)
    server.script(body=[b"OK"] + [PATTERN * 16] * ((limit >> 20) + 64), pause=0)
    rc, out, err, _ = run(server, ["--ca-path", certs.ca_dir], stdin=b"report",
                          preexec=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
    assert_failed(rc, out, err, reply=None)


def test_http_1_1_is_pinned_when_server_offers_h2_and_answers_early(server, certs):
    server.script(alpn=["h2", "http/1.1"], mode="answer_early")
    rc, out, err, _ = run(server, ["--ca-path", certs.ca_dir], stdin=pattern(1 << 20), timeout=20)
    assert server.alpns == ["http/1.1"], show(out, err)
    assert_delivered(rc, out, err)
