"""Shared pieces of the end-to-end suite: run_tool, the certificates, the stand-in server and raw
TLS clients for it. support.py reads the binaries and port under test from the environment."""
import contextlib
import os
import pathlib
import socket
import shutil
import ssl
import subprocess
import threading
import time
import types

import pytest

import support
from support import PORT, SERVER, TOOL

SANITIZED = bool(os.environ.get("TOVRIN_SANITIZE"))


def pytest_sessionstart(session):
    if not os.access(TOOL, os.X_OK):
        pytest.exit(f"tool under test not found or not executable: {TOOL}", returncode=2)


def show(out, err):
    return f"\nstdout: {out!r}\nstderr: {err!r}"


def run_tool(args=(), stdin=b"", env=None, timeout=60, preexec=None, stdin_fd=None):
    """One run of TOOL in a clean environment plus env, stdin fed through a pipe unless stdin_fd is
    given: (returncode, stdout, stderr, usage). usage holds vm_hwm_kib and vm_peak_kib, the tool's
    peak RSS and address space polled from /proc (ru_maxrss would count the forking Python's)."""
    proc = subprocess.Popen([TOOL, *args], env=support.clean_env(**(env or {})), preexec_fn=preexec,
                            stdin=subprocess.PIPE if stdin_fd is None else stdin_fd,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    peaks = {}

    def poll():  # both are high-water marks, so the last reading before exit is the peak
        while proc.returncode is None:
            with contextlib.suppress(OSError, KeyError), open(f"/proc/{proc.pid}/status") as f:
                fields = dict(line.split(":", 1) for line in f)
                peaks.update({k: int(fields[k].split()[0]) for k in ("VmHWM", "VmPeak")})
            time.sleep(0.01)

    poller = threading.Thread(target=poll, daemon=True)
    poller.start()
    try:
        out, err = proc.communicate(None if stdin_fd is not None else stdin, timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        pytest.fail(f"tool still running after {timeout} s, killed" + show(out, err))
    finally:
        poller.join(5)
    return proc.returncode, out, err, types.SimpleNamespace(vm_hwm_kib=peaks.get("VmHWM", 0),
                                                            vm_peak_kib=peaks.get("VmPeak", 0))


@pytest.fixture(scope="session", autouse=True)
def stop_leftover_servers():
    yield
    for proc in Server.started:
        proc.terminate()
        with contextlib.suppress(subprocess.TimeoutExpired):
            proc.wait(60)


@pytest.fixture(scope="session")
def certs(tmp_path_factory):
    """Leaves are (cert, key): good, wrong_host, expired, self_signed from our CA (ca_dir, ca_pem),
    other_ca from another CA (other_ca_dir); our CA without its hash name in unhashed_dir."""
    d = tmp_path_factory.mktemp("certs")
    ns = types.SimpleNamespace(ca_pem=str(d / "ca" / "ca.pem"), empty_dir=str(d / "empty"),
                               missing_dir=str(d / "missing"), unhashed_dir=str(d / "unhashed"))
    ns.ca_dir, *ns.good = support.make_certs(d)
    ns.other_ca_dir, *ns.other_ca = support.make_certs(d / "other", "tovrin-other-ca")
    ns.wrong_host = support.leaf(d, "wrong_host", san="subjectAltName=DNS:wrong.invalid")
    ns.expired = support.leaf(d, "expired", days=-1)  # notAfter a day before notBefore: x509 cannot backdate
    ns.self_signed = support.leaf(d, "self_signed", signer="-key self_signed.key")
    os.mkdir(ns.empty_dir)
    os.mkdir(ns.unhashed_dir)
    shutil.copy(ns.ca_pem, ns.unhashed_dir)
    return ns


class Server:
    """One tovrin-report-server process; its log is next to the spool."""
    started = []  # stopped at the end of the session, whatever a test left running

    def __init__(self, certs, spool, listen=f"localhost:{PORT}"):
        self.certs, self.spool, self.listen = certs, pathlib.Path(spool), listen
        self.log = self.spool.with_name(self.spool.name + ".log")

    def start(self, *extra):
        mark = self.log.stat().st_size if self.log.exists() else 0
        with open(self.log, "ab") as log:
            self.proc = subprocess.Popen(
                [SERVER, "--cert", self.certs.good[0], "--key", self.certs.good[1], "--listen", self.listen,
                 "--spool", str(self.spool), *extra], stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        Server.started.append(self.proc)
        deadline = time.monotonic() + (30 if SANITIZED else 10)
        while b"listening on" not in self.log.read_bytes()[mark:]:
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.proc.kill()
                pytest.fail(f"server did not start: {self.log.read_bytes()!r}")
            time.sleep(0.02)

    def stop(self):
        self.proc.terminate()
        rc = self.proc.wait(60)
        assert rc == 0, f"server exit {rc}: {self.log.read_bytes()!r}"

    def take(self):
        """Every report in the spool, bodies still being received too, removed: {name: content}."""
        files = {str(p.relative_to(self.spool)): p.read_bytes() for p in self.spool.glob("**/*") if p.is_file()}
        for name in files:
            (self.spool / name).unlink()
        return files

    def temporaries(self):
        """Bodies nginx is receiving, in the spool's hidden incoming folder."""
        return [p.name for p in self.spool.glob(".incoming-*/*")]


def tls(certs, port=PORT):
    ctx = ssl.create_default_context(cafile=certs.ca_pem)
    return ctx.wrap_socket(socket.create_connection(("127.0.0.1", port), timeout=30), server_hostname="localhost")


def put_head(target="/report/", headers=("Transfer-Encoding: chunked",), method="PUT"):
    lines = [f"{method} {target} HTTP/1.1", "Host: localhost", *headers, "", ""]
    return "\r\n".join(lines).encode()
