#!/usr/bin/env python3
"""A factory MES stand-in for tests: Python's standard library only.

    mes_standin.py DIR [--tls CERT KEY]

Listens on 127.0.0.1 on a port the system picks and writes DIR/standin.json:
{"port": N, "closed_port": M} (M: a port nothing listens on), then serves
until it is killed. Each request is answered from DIR/script.json, read
anew every time (the test rewrites it whenever it likes), keyed by the
request's "PrimaryIdentifier" (else "*"); a missing entry is a confirm:

    {"84600017": {"do": "reject", "reason": "on hold"},
     "84600018": {"do": "status", "status": 500},
     "84600019": {"do": "malformed"},
     "84600020": {"do": "redirect"},
     "84600021": {"do": "confirm", "delay_ms": 3000},
     "84600022": {"do": "close"}}

An entry under "@check-in" or "@check-out" (the same form) is for that
request alone and comes first: {"@check-out": {"*": {"do": "status",
"status": 500}}} fails every check-out and confirms every check-in.
"confirm" and "reject" answer 200 with a ValidateUnitsResponse naming the
unit; a check-out is answered 200 unless scripted. Every request is appended
to DIR/requests.jsonl as {"path", "headers", "body"} before it is answered.
"""
import http.server
import json
import os
import socket
import ssl
import sys
import threading
import time


def answer_body(serial, passed, reason):
    result = {"Result": "Passed" if passed else "Failed", "Message": reason}
    return json.dumps({
        "Result": {"Result": "Success", "ResultCode": 0, "Message": None},
        "PrimaryResult": result,
        "ValidationResults": [dict(result, UnitIdentifier=serial, PositionNumber=0)],
    }).encode()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Answers at once, and one request a connection: Wine's WinHTTP sends a
    # request's headers and body in two writes, and on a connection kept
    # open the second waits for this side's delayed acknowledgement of the
    # first (Nagle's algorithm): 44 ms a check-in instead of 3 (measured).
    disable_nagle_algorithm = True
    lock = threading.Lock()

    def log_message(self, *args):
        pass

    def setup(self):
        self.accepted = time.time()  # one request a connection: when it was asked
        super().setup()

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length)
        text = raw.decode("utf-8", "replace")
        with Handler.lock:
            with open(os.path.join(self.server.dir, "requests.jsonl"), "a", encoding="utf-8") as f:
                f.write(json.dumps({"path": self.path, "headers": dict(self.headers.items()),
                                    "body": text,
                                    # when its connection was, in s since 1970 (bench_mes)
                                    "accepted": self.accepted}) + "\n")
        try:
            serial = str(json.loads(text).get("PrimaryIdentifier") or "*")
        except ValueError:
            serial = "*"
        try:
            with open(os.path.join(self.server.dir, "script.json"), encoding="utf-8") as f:
                script = json.load(f)
        except (OSError, ValueError):
            script = {}
        kind = "@check-in" if self.path.endswith("/check-in") else "@check-out"
        scoped = script.get(kind, {})
        step = scoped.get(serial, scoped.get("*", script.get(serial, script.get("*", {}))))
        time.sleep(step.get("delay_ms", 0) / 1000.0)
        what = step.get("do", "confirm")
        if what == "close":
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        if what == "redirect":
            self.reply(302, b"{}", [("Location", "/elsewhere")])
        elif what == "status":
            self.reply(step.get("status", 500), step.get("body", "server error").encode())
        elif what == "malformed":
            self.reply(200, step.get("body", '{"Result": {"Result": "Succ').encode())
        elif self.path.endswith("/check-in"):
            self.reply(200, answer_body(serial, what == "confirm", step.get("reason")))
        else:
            self.reply(200, b"{}")

    def reply(self, status, body, headers=()):
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)
        self.close_connection = True


def main():
    folder = sys.argv[1]
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.dir = folder
    if len(sys.argv) == 5 and sys.argv[2] == "--tls":
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(sys.argv[3], sys.argv[4])
        server.socket = ctx.wrap_socket(server.socket, server_side=True)
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        closed = s.getsockname()[1]
    info = os.path.join(folder, "standin.json")
    with open(info + ".tmp", "w") as f:
        json.dump({"port": server.server_address[1], "closed_port": closed}, f)
    os.replace(info + ".tmp", info)
    server.serve_forever()


if __name__ == "__main__":
    main()
