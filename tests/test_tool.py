"""The installed tool driven as a caller would, against a scripted TLS server."""
import contextlib
import hashlib
import os
import resource
import threading
import time

import pytest

from scripted_server import ScriptedServer
from support import PORT, SANITIZED, run_tool, show

USAGE = b"Usage: tovrin-report [--ca-path dir]\n"
INVALID, ERROR, ECHO = b"Invalid response from server: ", b"<one clean error line>\n", b"<the reply echoed>"
PATTERN = bytes(range(256)) * 256  # 64 KiB holding every byte value
ARGS = ("--ca-path", "DIR")
_, GONE = os.pipe()
os.close(_)  # GONE: a pipe whose reader is gone


@pytest.fixture(scope="module")
def scripted(certs):
    srv = ScriptedServer(PORT, certs.good)
    yield srv
    srv.stop()


def run(scripted, certs, args=ARGS, script=None, **kw):
    scripted.script(**(script or {}))
    result = run_tool([a.replace("DIR", certs.ca_dir) for a in args], **kw)
    scripted.settle()
    return result


def assert_out(rc, out, err, expected):
    """stdout as expected, ERROR standing for one clean error line; exit 1 unless it is empty."""
    if expected.startswith(ERROR):
        first, _, out = out.partition(b"\n")
        assert first and all(32 <= c < 127 for c in first), "error text missing or not clean" + show(out, err)
    assert (rc, out, err) == (int(expected != b""), expected.removeprefix(ERROR), b""), show(out, err)


def assert_request(scripted, body):
    """One chunked PUT /report/ over HTTP/1.1 that waited for 100 Continue, the body whole."""
    assert len(scripted.requests) == 1, scripted.requests
    req = scripted.requests[0]
    assert (req.method, req.target, req.alpn, req.headers.get_all("content-length")) == ("PUT", "/report/", None, None)
    assert (req.headers.get_all("transfer-encoding"), req.headers.get_all("expect")) == (["chunked"], ["100-continue"])
    assert (req.complete, req.length, req.hash.hexdigest()) == (True, len(body), hashlib.sha256(body).hexdigest())


@pytest.mark.parametrize("args, cert, env, body, outcome", [
    pytest.param(["--Ca-Path", "DIR"], "good", {}, b"", "delivered", id="option-name-in-mixed-case-empty-report"),
    pytest.param(["--ca-path", "DIR"], "good", {}, PATTERN, "delivered", id="every-byte-value-64KiB-sent-unchanged"),
    pytest.param(["--ca-path", ""], "good", {}, b"report", "untrusted", id="empty-dir-argument-is-a-dir-not-usage"),
    pytest.param([], "good", {}, b"report", "untrusted", id="no-arguments-trust-only-default-dir"),
    pytest.param(["--ca-path"], "good", {}, b"report", "usage", id="option-without-value"),
    pytest.param(["--ca-path=DIR"], "good", {}, b"report", "usage", id="option-joined-with-equals"),
    pytest.param(["--ca-dir", "DIR"], "good", {}, b"report", "usage", id="other-option-with-value"),
    pytest.param(["DIR", "--ca-path"], "good", {}, b"report", "usage", id="value-before-option"),
    pytest.param(["--ca-path", "DIR", "extra"], "good", {}, b"report", "usage", id="three-arguments"),
    # Only the named CA directory is trusted.
    pytest.param(["--ca-path", "missing_dir"], "good", {}, b"report", "untrusted", id="dir-missing"),
    pytest.param(["--ca-path", "other_ca_dir"], "good", {}, b"report", "untrusted", id="dir-of-another-ca"),
    pytest.param(["--ca-path", "unhashed_dir"], "good", {}, b"report", "untrusted", id="ca-not-under-hash-name"),
    pytest.param(["--ca-path", "DIR"], "wrong_host", {}, b"report", "untrusted", id="cert-for-another-host"),
    pytest.param(["--ca-path", "DIR"], "expired", {}, b"report", "untrusted", id="cert-expired"),
    pytest.param(["--ca-path", "DIR"], "self_signed", {}, b"report", "untrusted", id="cert-self-signed"),
    pytest.param(["--ca-path", "empty_dir"], "good", {"SSL_CERT_FILE": "ca_pem"}, b"report", "untrusted",
                 id="SSL_CERT_FILE-ignored"),
    pytest.param(["--ca-path", "empty_dir"], "good", {"SSL_CERT_DIR": "ca_dir"}, b"report", "untrusted",
                 id="SSL_CERT_DIR-ignored"),
    pytest.param(ARGS, "good", {"HTTPS_PROXY": "http://127.0.0.1:1"}, b"report", "unsent", id="HTTPS_PROXY-honoured"),
    pytest.param(ARGS, "good", {"https_proxy": "https://localhost:PORT"}, b"report", "untrusted",
                 id="https-proxy-certificate-not-checked-against-DIR"),
])
def test_command_line_and_trust(scripted, certs, args, cert, env, body, outcome):
    args = [getattr(certs, a, a) for a in args]
    env = {k: getattr(certs, v, v.replace("PORT", str(PORT))) for k, v in env.items()}
    rc, out, err, _ = run(scripted, certs, args, dict(cert_key=getattr(certs, cert)), stdin=body, env=env)
    if outcome == "usage":
        assert (rc, out, err, scripted.requests) == (1, USAGE, b"", []), show(out, err)
    elif outcome in ("untrusted", "unsent"):
        assert_out(rc, out, err, ERROR + INVALID + b"\n")
        assert scripted.requests == []
    else:
        assert_out(rc, out, err, b"")
        assert_request(scripted, body)


@pytest.mark.parametrize("script, size, expected", [
    pytest.param(dict(body=[b"O", b"K", b" later"]), 6, b"", id="OK-split-across-blocks"),
    pytest.param(dict(body=[b"oK"]), 6, ECHO, id="oK"),
    pytest.param(dict(body=[b"O"]), 6, ECHO, id="only-O"),
    pytest.param(dict(body=[b" OK"]), 6, ECHO, id="OK-after-space"),
    pytest.param(dict(body=[]), 6, ECHO, id="empty-reply"),
    pytest.param(dict(body=[b"NO\x00pe\r\n", b"\xff\x00", b"\r\nend\n"]), 6, ECHO, id="binary-reply-in-pieces-echoed"),
    pytest.param(dict(status=500), 6, b"", id="status-500-with-OK-is-delivered"),
    pytest.param(dict(status=307), 6, b"", id="status-307-with-OK-is-delivered"),
    pytest.param(dict(status=500, body=[b"<html><body>\n<h1>500</h1>\r\n", b"Internal error\n</body></html>"]), 6,
                 ECHO, id="status-500-page-echoed-whole"),
    pytest.param(dict(mode="close_without_reply"), 6, ERROR + INVALID + b"\n", id="closed-without-reply"),
    pytest.param(dict(mode="cut_reply"), 6, ERROR, id="reply-cut-after-OK-error-only"),
    pytest.param(dict(mode="close_mid_upload", cut_after=1 << 20), 8 << 20, ERROR + INVALID + b"\n",
                 id="reset-mid-upload"),
])
def test_verdict_is_the_reply_body_after_any_error(scripted, certs, script, size, expected):
    if expected == ECHO:  # the reply, whole, on the invalid line
        expected = INVALID + b"".join(script["body"]) + b"\n"
    assert_out(*run(scripted, certs, script=script, stdin=(PATTERN * 128)[:size])[:3], expected)


def test_stdin_read_error_is_not_end_of_input(scripted, certs, tmp_path):
    fd = os.open(tmp_path, os.O_RDONLY)
    try:
        assert_out(*run(scripted, certs, stdin=fd)[:3],
                   b"Cannot read the report from standard input: Is a directory\n" + INVALID + b"\n")
    finally:
        os.close(fd)
    assert not any(r.complete for r in scripted.requests)


def test_piped_report_is_waited_for_and_streamed_in_flat_memory(scripted, certs):
    """256 MiB through a non-blocking pipe that is empty at first (EAGAIN) and whenever the tool
    outpaces the writer."""
    body, (r, w) = PATTERN * 4096, os.pipe()
    os.set_blocking(r, False)

    def feed():
        time.sleep(0.2)
        with contextlib.suppress(BrokenPipeError), open(w, "wb") as f:
            f.write(body)

    feeder = threading.Thread(target=feed, daemon=True)
    feeder.start()
    try:
        rc, out, err, peaks = run(scripted, certs, stdin=r)
    finally:
        os.close(r)  # lets the feeder see a broken pipe should the tool stop reading
        feeder.join(30)
    assert_out(rc, out, err, b"")
    assert_request(scripted, body)
    if not SANITIZED:
        small = run(scripted, certs, stdin=b"report")[3]
        assert peaks["VmHWM"] - small["VmHWM"] <= 1024, (peaks, small)


@pytest.mark.parametrize("args, at_start, reply, rc, body", [
    pytest.param(ARGS, lambda: os.close(0), b"OK", 1, None, id="fd0-closed-is-no-report-not-an-empty-one"),
    pytest.param(ARGS, lambda: os.dup2(os.open(os.devnull, os.O_RDONLY), 0), b"OK", 0, b"", id="dev-null-empty-report"),
    pytest.param(ARGS, lambda: os.close(2), b"OK", 0, b"report", id="fd2-closed-delivers"),
    pytest.param(ARGS, lambda: os.close(1), b"NO", 1, b"report", id="fd1-closed-rejected-nothing-leaks"),
    pytest.param(["--bogus"], lambda: os.dup2(GONE, 1), b"NO", 1, None, id="stdout-gone-usage-exit-1-not-sigpipe"),
    pytest.param(ARGS, lambda: os.dup2(GONE, 1), b"NO", 1, b"report", id="stdout-gone-invalid-exit-1-not-sigpipe"),
])
def test_standard_descriptors_at_start(scripted, certs, args, at_start, reply, rc, body):
    got, out, err, _ = run(scripted, certs, args, dict(body=[reply]), stdin=b"report", preexec=at_start)
    assert got == rc, show(out, err)
    if body is None:
        assert not any(r.complete for r in scripted.requests), scripted.requests
    else:
        assert_request(scripted, body)
        assert scripted.requests[0].after == b"", scripted.requests[0].after


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves more address space than any useful limit")
def test_reply_beyond_memory_fails_cleanly(scripted, certs):
    limit = (run(scripted, certs, stdin=b"report")[3]["VmPeak"] << 10) + (96 << 20)
    rc, out, err, _ = run(scripted, certs, script=dict(body=[b"OK"] + [PATTERN * 16] * ((limit >> 20) + 64), pause=0),
                          stdin=b"report", preexec=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
    assert_out(rc, out, err, ERROR)


def test_http_1_1_is_pinned_when_server_offers_h2_and_answers_early(scripted, certs):
    rc, out, err, _ = run(scripted, certs, script=dict(alpn=["h2", "http/1.1"], mode="answer_early"),
                          stdin=PATTERN * 16)
    assert scripted.requests[0].alpn == "http/1.1" and (rc, out) == (0, b""), show(out, err)


@pytest.mark.skipif(SANITIZED, reason="memcheck runs on the release build")
@pytest.mark.parametrize("cert, expected", [("good", b""), ("wrong_host", ERROR + INVALID + b"\n")],
                         ids=["delivered", "untrusted"])
def test_no_memory_error_or_leak_under_memcheck(scripted, certs, cert, expected):
    memcheck = ["valgrind", "-q", "--error-exitcode=99", "--leak-check=full"]
    assert_out(*run(scripted, certs, script=dict(cert_key=getattr(certs, cert)), stdin=b"report", under=memcheck)[:3],
               expected)
