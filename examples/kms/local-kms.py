#!/usr/bin/env python3
"""A local KMS: signs PKCS#10 requests with a CA of its own, made at start.

POST /request or /renew (any path) with a PEM certificate request (Content-Type
application/pkcs10) is answered 200 with the PEM certificate. It listens on 127.0.0.1 only, prints
"PORT <n>" as its first line of output and keeps everything in the folder given as its argument:
ca.pem and ca.key, a "paths" file listing each request's path, and an optional "mode" file, read
at every request, that makes it misbehave for tests:
  good      the certificate for the request's key (also when there is no mode file)
  garbage   200 with a body that is no certificate
  error500  500
  otherkey  200 with a CA-signed certificate for a key of its own
  silent    reads the request and never answers
"""
import http.server
import os
import subprocess
import sys
import tempfile
import time

MAX_REQUEST_BYTES = 64 * 1024


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Handler(http.server.BaseHTTPRequestHandler):
    folder = ""

    def file(self, name):
        return os.path.join(self.folder, name)

    def mode(self):
        try:
            with open(self.file("mode"), encoding="ascii") as text:
                return text.read().strip()
        except OSError:
            return "good"

    def sign(self, request, certificate):
        openssl("x509", "-req", "-in", request, "-CA", self.file("ca.pem"), "-CAkey", self.file("ca.key"),
                "-CAcreateserial", "-CAserial", self.file("ca.srl"), "-days", "30", "-out", certificate)

    def answer(self, status, body):
        self.send_response(status)
        self.send_header("Content-Type", "application/x-pem-file")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        if not 0 < length <= MAX_REQUEST_BYTES:
            self.send_error(400)
            return
        body = self.rfile.read(length)
        with open(self.file("paths"), "a", encoding="utf-8") as paths:
            paths.write(self.path + "\n")
        mode = self.mode()
        if mode == "silent":
            time.sleep(3600)
            return
        if mode == "error500":
            self.send_error(500)
            return
        if mode == "garbage":
            self.answer(200, b"this is no certificate\n")
            return
        with tempfile.TemporaryDirectory() as work:
            request, certificate = os.path.join(work, "request.pem"), os.path.join(work, "cert.pem")
            with open(request, "wb") as out:
                out.write(body)
            try:
                self.sign(self.file("other.csr") if mode == "otherkey" else request, certificate)
            except subprocess.CalledProcessError:
                self.send_error(400)
                return
            with open(certificate, "rb") as issued:
                self.answer(200, issued.read())

    def log_message(self, *args):
        pass


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    curve = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    openssl("req", "-x509", *curve, "-days", "30", "-subj", "/CN=Local KMS CA", "-keyout",
            os.path.join(folder, "ca.key"), "-out", os.path.join(folder, "ca.pem"))
    openssl("req", "-new", *curve, "-subj", "/CN=Another key", "-keyout", os.path.join(folder, "other.key"), "-out",
            os.path.join(folder, "other.csr"))
    Handler.folder = folder
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print(f"PORT {server.server_address[1]}", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
