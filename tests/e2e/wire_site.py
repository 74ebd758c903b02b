#!/usr/bin/python3
"""A test site for the sandbox, over plain HTTP or TLS: answers every GET on ADDRESS:PORT with
one line, "Tamrin test site over http|tls for NAME" (NAME: the request's Host). With --tls,
CERT and KEY are its certificate and key; with --delay, it waits MS milliseconds before each
answer, as a server that far away would. Each connection has a thread of its own, so a client
that stalls holds up no one else; with --serial, the listening thread serves one connection
after the other (for benchmarks: a hand-over between Python threads costs milliseconds).
Prints "ready" once it listens; runs until killed.

Usage: wire_site.py ADDRESS PORT [--delay MS] [--tls CERT KEY] [--serial]
"""
import argparse
import http.server
import ssl
import time


class Page(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        if self.server.delay:
            time.sleep(self.server.delay)
        host = self.headers.get("Host", "").split(":")[0]
        body = f"Tamrin test site over {self.server.scheme} for {host}\n".encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)
        self.close_connection = True

    def log_message(self, format, *args):
        pass  # quiet: the callers print what matters


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    serial = False

    def process_request(self, request, client_address):
        if not self.serial:
            return super().process_request(request, client_address)
        self.finish_request(request, client_address)
        self.shutdown_request(request)

    def __init__(self, address, delay, context):
        super().__init__(address, Page)
        self.delay = delay
        self.context = context
        self.scheme = "tls" if context else "http"

    # The handshake runs in the request's own thread (unless serial), so a client that never
    # finishes it (a refused flow) holds up no one else.
    def get_request(self):
        connection, peer = self.socket.accept()
        if self.context is None:
            return connection, peer
        return self.context.wrap_socket(connection, server_side=True,
                                        do_handshake_on_connect=False), peer

    def finish_request(self, request, client_address):
        if self.context is not None:
            try:
                request.do_handshake()
            except (ssl.SSLError, OSError):
                return
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        pass  # a client gone mid-request is what the scenarios provoke


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("address")
    parser.add_argument("port", type=int)
    parser.add_argument("--delay", type=float, default=0, metavar="MS")
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--serial", action="store_true")
    arguments = parser.parse_args()
    context = None
    if arguments.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*arguments.tls)
    server = Server((arguments.address, arguments.port), arguments.delay / 1000, context)
    server.serial = arguments.serial
    print("ready", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
