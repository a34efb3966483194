#!/usr/bin/env python3
"""A local KMS for the demo: signs PKCS#10 requests with a CA of its own, made at start.

POST /request or /renew with a PEM certificate request (Content-Type application/pkcs10) is
answered 200 with the PEM certificate; anything else 400. It listens on 127.0.0.1 only, prints
"PORT <n>" on its first output line and keeps its CA in the folder given as its argument.
"""
import http.server
import os
import subprocess
import sys
import tempfile

MAX_REQUEST_BYTES = 64 * 1024


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Handler(http.server.BaseHTTPRequestHandler):
    ca_folder = ""

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        if self.path not in ("/request", "/renew") or not 0 < length <= MAX_REQUEST_BYTES:
            self.send_error(400)
            return
        with tempfile.TemporaryDirectory() as work:
            csr, cert = os.path.join(work, "request.pem"), os.path.join(work, "cert.pem")
            with open(csr, "wb") as out:
                out.write(self.rfile.read(length))
            try:
                openssl("x509", "-req", "-in", csr, "-CA", os.path.join(self.ca_folder, "ca.pem"),
                        "-CAkey", os.path.join(self.ca_folder, "ca.key"), "-CAcreateserial",
                        "-CAserial", os.path.join(self.ca_folder, "ca.srl"), "-days", "30", "-out", cert)
            except subprocess.CalledProcessError:
                self.send_error(400)
                return
            with open(cert, "rb") as issued:
                body = issued.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/x-pem-file")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        print(f"issued a certificate for {self.path}", flush=True)

    def log_message(self, *args):
        pass


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "30",
            "-subj", "/CN=Demo KMS CA", "-keyout", os.path.join(folder, "ca.key"), "-out",
            os.path.join(folder, "ca.pem"))
    Handler.ca_folder = folder
    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    print(f"PORT {server.server_address[1]}", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
