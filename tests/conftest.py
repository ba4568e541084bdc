"""Shared pieces of the end-to-end suite.

Module constants
  TOOL, SERVER  installed tool and stand-in server (env TOVRIN_REPORT,
                TOVRIN_REPORT_SERVER; default under build/test/stage/bin)
  PORT          port baked into the tool under test (env TOVRIN_TEST_PORT);
                the tool always sends to https://localhost:PORT/report/
  SANITIZED     true when the tool is an ASan/UBSan build (env TOVRIN_SANITIZE)

Fixture
  certs         (session) namespace of paths made with the openssl CLI:
                ca_pem, other_ca_pem; (cert, key) pairs good, wrong_host,
                expired, self_signed, other_ca; directories ca_dir (our CA,
                hashed), other_ca_dir, unhashed_dir (our CA as ca.pem only),
                empty_dir, and missing_dir (does not exist)

Helpers
  run_tool(args=(), stdin=b"", env=None, timeout=60, preexec=None, stdin_fd=None)
                -> (returncode, stdout, stderr, rusage) of one run of TOOL.
                rusage is os.wait4's, plus vm_hwm_kib and vm_peak_kib: the
                tool's own peak RSS and address-space size, polled from /proc
                (ru_maxrss also counts the forking Python process's, which
                execve carries over).
                stdin is fed through a pipe, unless stdin_fd (an fd the caller
                prepared) is given. env holds overrides of a clean environment
                without proxy or CA variables (a value None removes a name).
                returncode is negative for a signal. Fails the test on timeout.
  show(out, err) -> text for assertion messages.
"""
import os
import pathlib
import subprocess
import threading
import time
import types

import pytest

REPO = pathlib.Path(__file__).resolve().parent.parent
STAGE = REPO / "build" / "test" / "stage" / "bin"
TOOL = os.environ.get("TOVRIN_REPORT", str(STAGE / "tovrin-report"))
SERVER = os.environ.get("TOVRIN_REPORT_SERVER", str(STAGE / "tovrin-report-server"))
PORT = int(os.environ.get("TOVRIN_TEST_PORT", "18443"))
SANITIZED = bool(os.environ.get("TOVRIN_SANITIZE"))

# Anything that could route the request elsewhere or widen the trusted CAs.
_DROPPED = {"http_proxy", "https_proxy", "all_proxy", "no_proxy",
            "SSL_CERT_FILE", "SSL_CERT_DIR", "CURL_CA_BUNDLE", "CURL_HOME"}


def pytest_sessionstart(session):
    if not os.access(TOOL, os.X_OK):
        pytest.exit(f"tool under test not found or not executable: {TOOL}", returncode=2)


def show(out, err):
    return f"\nstdout: {out!r}\nstderr: {err!r}"


def _clean_env(overrides):
    env = {k: v for k, v in os.environ.items() if k.lower() not in _DROPPED and k not in _DROPPED}
    for k, v in (overrides or {}).items():
        if v is None:
            env.pop(k, None)
        else:
            env[k] = v
    return env


def _drain(stream, sink):
    sink.append(stream.read())


def run_tool(args=(), stdin=b"", env=None, timeout=60, preexec=None, stdin_fd=None):
    proc = subprocess.Popen(
        [TOOL, *args], env=_clean_env(env), preexec_fn=preexec,
        stdin=subprocess.PIPE if stdin_fd is None else stdin_fd,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = [], []
    threads = [threading.Thread(target=_drain, args=(proc.stdout, out), daemon=True),
               threading.Thread(target=_drain, args=(proc.stderr, err), daemon=True)]
    if stdin_fd is None:
        threads.append(threading.Thread(target=_feed, args=(proc.stdin, stdin), daemon=True))
    for t in threads:
        t.start()
    deadline = time.monotonic() + timeout
    peaks = {}
    while True:
        peaks = _vm_peaks_kib(proc.pid) or peaks
        pid, status, rusage = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            break
        if time.monotonic() > deadline:
            proc.kill()
            os.wait4(proc.pid, 0)
            proc.returncode = -9
            for t in threads:
                t.join(5)
            pytest.fail(f"tool still running after {timeout} s, killed" + show(b"".join(out), b"".join(err)))
        time.sleep(0.01)
    proc.returncode = os.waitstatus_to_exitcode(status)
    for t in threads:
        t.join(10)
    usage = types.SimpleNamespace(vm_hwm_kib=peaks.get("VmHWM", 0), vm_peak_kib=peaks.get("VmPeak", 0),
                                  **{k: getattr(rusage, k) for k in dir(rusage) if k.startswith("ru_")})
    return proc.returncode, b"".join(out), b"".join(err), usage


def _vm_peaks_kib(pid):
    """Both are high-water marks, so the last reading before exit is the peak."""
    try:
        with open(f"/proc/{pid}/status") as f:
            fields = dict(line.split(":", 1) for line in f)
        return {k: int(fields[k].split()[0]) for k in ("VmHWM", "VmPeak")}
    except (OSError, KeyError):
        return None


def _feed(pipe, data):
    try:
        pipe.write(data)
        pipe.close()
    except BrokenPipeError:
        pass


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


@pytest.fixture(scope="session")
def certs(tmp_path_factory):
    d = tmp_path_factory.mktemp("certs")
    run = lambda *a: _openssl(*a, cwd=d)
    san = "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1"
    for ca in ("ca", "other_ca"):
        run("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", f"{ca}.key", "-out", f"{ca}.pem", "-days", "30", "-subj", f"/CN=tovrin test {ca}",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")

    def leaf(name, ext, ca="ca"):
        run("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", f"{name}.key", "-out", f"{name}.csr", "-subj", "/CN=localhost")
        (d / f"{name}.ext").write_text(ext + "\n")
        if ca is None:
            run("x509", "-req", "-in", f"{name}.csr", "-key", f"{name}.key", "-out", f"{name}.pem",
                "-days", "30", "-extfile", f"{name}.ext")
        else:
            run("x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.pem", "-CAkey", f"{ca}.key",
                "-CAcreateserial", "-out", f"{name}.pem", "-days", "30", "-extfile", f"{name}.ext")
        return (str(d / f"{name}.pem"), str(d / f"{name}.key"))

    ns = types.SimpleNamespace(ca_pem=str(d / "ca.pem"), other_ca_pem=str(d / "other_ca.pem"))
    ns.good = leaf("good", san)
    ns.wrong_host = leaf("wrong_host", "subjectAltName=DNS:wrong.invalid")
    ns.self_signed = leaf("self_signed", san, ca=None)
    ns.other_ca = leaf("other_ca_leaf", san, ca="other_ca")

    # x509 -req cannot backdate on OpenSSL 3.0; the ca command can.
    (d / "index.txt").write_text("")
    (d / "ca.cnf").write_text(
        "[ca]\ndefault_ca=test\n[test]\ndatabase=index.txt\nnew_certs_dir=.\nserial=ca.srl\n"
        "default_md=sha256\npolicy=any\ncopy_extensions=none\n[any]\ncommonName=supplied\n")
    run("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
        "-keyout", "expired.key", "-out", "expired.csr", "-subj", "/CN=localhost")
    (d / "expired.ext").write_text(san + "\n")
    run("ca", "-batch", "-config", "ca.cnf", "-cert", "ca.pem", "-keyfile", "ca.key", "-notext",
        "-in", "expired.csr", "-out", "expired.pem", "-extfile", "expired.ext",
        "-startdate", "20200101000000Z", "-enddate", "20200201000000Z")
    ns.expired = (str(d / "expired.pem"), str(d / "expired.key"))

    for name, pem in (("ca_dir", "ca.pem"), ("other_ca_dir", "other_ca.pem"), ("unhashed_dir", "ca.pem")):
        sub = d / name
        sub.mkdir()
        (sub / "ca.pem").write_bytes((d / pem).read_bytes())
        if name != "unhashed_dir":
            run("rehash", str(sub))
        setattr(ns, name, str(sub))
    (d / "empty_dir").mkdir()
    ns.empty_dir = str(d / "empty_dir")
    ns.missing_dir = str(d / "missing_dir")
    return ns
