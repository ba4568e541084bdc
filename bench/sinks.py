"""What the clients upload to: a plain nginx sink that reads and drops the body, the stand-in
server (nginx and our commit step, spool on tmpfs), and a recording sink that checks a client
sends the whole chunked body even when the reply comes early."""
import os
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time

import support

NGINX_CONF = """{user}daemon off;
worker_processes 1;
pid {w}/nginx.pid;
error_log {w}/nginx-error.log;
events {{ worker_connections 64; }}
http {{
  client_body_temp_path {w}/nginx-body;
  proxy_temp_path {w}/nginx-proxy;
  fastcgi_temp_path {w}/nginx-fastcgi;
  uwsgi_temp_path {w}/nginx-uwsgi;
  scgi_temp_path {w}/nginx-scgi;
  # Written when the request ends: for a discarded body, after its last chunk.
  log_format bench '$msec $status';
  server {{
    listen 127.0.0.1:{port} ssl;
    ssl_certificate {cert};
    ssl_certificate_key {key};
    # nginx 1.22 leaves TLS 1.3 out by default.
    ssl_protocols TLSv1.2 TLSv1.3;
    access_log {w}/nginx-access.log bench;
    location = /report/ {{ client_max_body_size 0; {body} }}
  }}
  server {{ listen unix:{w}/ok.sock; access_log off; return 200 "OK\\n"; }}
}}
"""
DISCARD = 'return 200 "OK\\n";'
# As the stand-in server takes a body, without our commit step: into a file, then a reply.
STORE = """client_body_in_file_only clean; client_body_temp_path {w}/stored;
      proxy_pass_request_body off; proxy_set_header Content-Length 0; proxy_pass http://unix:{w}/ok.sock:/;"""


def start(cmd, port, pidfile=None, **kw):
    """Start a sink and wait until it accepts; its pid goes where bench/run's clean-up looks."""
    if support.accepts(port):
        sys.exit(f"something already listens on port {port}")
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, **kw)
    proc.pidfile = pidfile
    if pidfile:
        with open(pidfile, "w") as f:
            f.write(str(proc.pid))
    if not support.wait_until(lambda: proc.poll() is not None or support.accepts(port), 10) \
            or proc.poll() is not None:
        sys.exit(f"{cmd[0]} did not start on port {port}")
    return proc


def stop(proc):
    """Stop a sink: its CPU seconds, with those of the children it reaped (nginx's workers)."""
    if proc.poll() is not None:
        return None
    proc.send_signal(signal.SIGTERM)
    for _ in range(3000):
        pid, _, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            break
        time.sleep(0.01)
    else:
        proc.kill()
        _, _, usage = os.wait4(proc.pid, 0)
    proc.returncode = 0  # reaped here, not by Popen
    if proc.pidfile:
        os.unlink(proc.pidfile)
    return usage.ru_utime + usage.ru_stime


class Nginx:
    def __init__(self, work, port, cert, key, store=False):
        self.log, self.lines = os.path.join(work, "nginx-access.log"), 0
        open(self.log, "w").close()
        conf = os.path.join(work, "nginx.conf")
        with open(conf, "w") as f:
            # As root the workers would be nobody, who cannot write in the scratch directory.
            user = "user root;\n" if store and os.geteuid() == 0 else ""
            f.write(NGINX_CONF.format(w=work, port=port, cert=cert, key=key, user=user,
                                      body=(STORE if store else DISCARD).format(w=work)))
        self.proc = start(["nginx", "-p", work, "-c", conf], port, stderr=subprocess.DEVNULL)

    def next_entry(self, seconds=10):
        """The access-log line of the request just made: (end time, status)."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            with open(self.log) as f:
                lines = f.read().splitlines()
            if len(lines) > self.lines:
                self.lines += 1
                msec, status = lines[self.lines - 1].split()
                return float(msec), status
            time.sleep(0.001)
        return None, None

    def probe(self, port, ca_pem):
        """nginx answers 100-continue, reads a chunked body to its last chunk and only then ends
        the request, leaving the connection ready for the next: so it reads every body whole."""
        ctx = ssl.create_default_context(cafile=ca_pem)
        sock = ctx.wrap_socket(socket.create_connection(("127.0.0.1", port), timeout=10),
                               server_hostname="localhost")
        head = b"PUT /report/ HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n"
        sock.sendall(head + b"Expect: 100-continue\r\n\r\n")
        assert sock.recv(4096).startswith(b"HTTP/1.1 100 Continue\r\n")
        chunk = b"%x\r\n" % (64 << 10) + os.urandom(64 << 10) + b"\r\n"
        for _ in range(64):
            sock.sendall(chunk)
        time.sleep(0.5)
        with open(self.log) as f:
            assert len(f.read().splitlines()) == self.lines, "nginx ended the request before the last chunk"
        sent = time.time()
        sock.sendall(b"0\r\n\r\n")
        end, status = self.next_entry()
        assert status == "200" and end >= sent - 0.002, (end, status, sent)
        sock.sendall(head + b"\r\n2\r\nok\r\n0\r\n\r\n")
        data = b""
        while data.count(b"OK\n") < 2:
            more = sock.recv(4096)
            assert more, data
            data += more
        sock.close()
        assert self.next_entry()[1] == "200"


class Server(support.Server):
    """tovrin-report-server on 127.0.0.1:port, spool in work/spool; its pid in work/server.pid for
    bench/run's clean-up."""

    def __init__(self, binary, work, port, cert, key, max_bytes=2 << 30):
        super().__init__((cert, key), os.path.join(work, "spool"), "--max-bytes", str(max_bytes),
                         listen=f"127.0.0.1:{port}", binary=binary)
        self.start()
        self.proc.pidfile = os.path.join(work, "server.pid")
        with open(self.proc.pidfile, "w") as f:
            f.write(str(self.proc.pid))

    def reports(self):
        return sorted(n for n in os.listdir(self.spool) if not n.startswith("."))

    def clear(self):
        for name in self.reports():
            os.unlink(os.path.join(self.spool, name))

    def problems(self):
        """nginx's warnings and errors in the server's log (its error_log is at warn)."""
        with open(self.log, errors="replace") as f:
            return [line.rstrip() for line in f if any(f"[{w}]" in line for w in
                                                       ("warn", "error", "crit", "alert", "emerg"))]


class RecordingSink(threading.Thread):
    """Answers 200 "OK" right after 100 Continue, as nginx does, then reads the chunked body;
    a client that stops sending when the early reply arrives leaves out the last chunk."""

    def __init__(self, port, cert, key):
        super().__init__(daemon=True)
        self.ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.ctx.load_cert_chain(cert, key)
        self.listener = socket.create_server(("127.0.0.1", port))
        self.listener.settimeout(30)
        self.body_bytes, self.last_chunk = 0, False

    def run(self):
        conn, _ = self.listener.accept()
        with self.ctx.wrap_socket(conn, server_side=True) as tls:
            tls.settimeout(30)
            f = tls.makefile("rb")
            while f.readline() not in (b"\r\n", b""):
                pass
            tls.sendall(b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nOK\n")
            try:
                for data in support.read_chunked(f):
                    self.body_bytes += len(data)
                self.last_chunk = True
            except EOFError:
                pass


def sends_whole_body(cmd, env, port, cert, key, report):
    sink = RecordingSink(port, cert, key)
    sink.start()
    with open(report, "rb") as stdin:
        subprocess.run(cmd, stdin=stdin, capture_output=True, timeout=60, env=env)
    sink.join(30)
    sink.listener.close()
    return sink.last_chunk and sink.body_bytes == os.path.getsize(report)
