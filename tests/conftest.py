"""Fixtures of the end-to-end suite; the helpers are in support.py."""
import datetime
import os
import shutil
import subprocess
import types

import pytest
import trustme

import support


def pytest_sessionfinish(session):
    for proc in support.Server.running:
        proc.kill()  # a server that failed half-way
        proc.wait()


def pytest_report_header(config):
    return f"tovrin: against {support.versions()}"


def pytest_sessionstart(session):
    if not os.access(support.TOOL, os.X_OK):
        pytest.exit(f"tool under test not found or not executable: {support.TOOL}", returncode=2)


@pytest.fixture(scope="session")
def certs(tmp_path_factory):
    """good (cert, key) from our CA (ca_dir, ca_pem); other_ca_dir of another CA; our CA without its
    hash name in unhashed_dir; wrong_host, expired, self_signed."""
    d, ca = tmp_path_factory.mktemp("certs"), trustme.CA()
    ns = types.SimpleNamespace(ca_pem=f"{d}/ca/ca.pem", empty_dir=f"{d}/empty", missing_dir=f"{d}/missing",
                               unhashed_dir=f"{d}/unhashed", self_signed=(f"{d}/self.pem", f"{d}/self.key"))
    ns.wrong_host = support.write_leaf(ca.issue_cert("wrong.invalid"), d, "wrong_host")
    past = datetime.datetime(2000, 1, 1)
    ns.expired = support.write_leaf(ca.issue_cert(*support.HOSTS, not_after=past), d, "expired")
    # trustme makes no self-signed leaf
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost", "-keyout", f"{d}/self.key", "-out", f"{d}/self.pem"],
                   check=True)
    ns.ca_dir, *ns.good = support.make_certs(d, ca=ca)
    ns.other_ca_dir, *_ = support.make_certs(d / "other")
    os.mkdir(ns.empty_dir)
    os.mkdir(ns.unhashed_dir)
    shutil.copy(ns.ca_pem, ns.unhashed_dir)
    return ns


@pytest.fixture(scope="module")
def server(certs, tmp_path_factory):
    """The stand-in server on the tool's port, reports up to 4 MiB."""
    srv = support.Server(certs.good, tmp_path_factory.mktemp("server") / "spool", "--max-bytes", str(4 << 20))
    srv.start()
    yield srv
    srv.stop()
