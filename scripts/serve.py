#!/usr/bin/env python3
"""A small static HTTP server for the demonstration and the pair benchmark.

    scripts/serve.py [-b ADDRESS] [-p PORT] [-d DIRECTORY]

Serves the regular files of DIRECTORY (GET and HEAD; "/" lists them). Unlike
`python3 -m http.server`, it makes the TCP segmentation of a file the same on
every transfer, so repeated transfers look alike on the wire:

  - the response header goes out in a segment of its own (cork, write,
    uncork), never merged with the first bytes of the body;
  - the body is handed to the kernel with sendfile() over the whole file
    while the socket stays corked, so every segment but the last is full,
    whatever the pace of the application. Writing the body in 64 KB pieces
    instead ends a piece in a short segment whenever the sender waits for
    the application, and every later segment then starts at another offset
    of the file.

A byte cache that stores chunks at fixed offsets of each packet's payload
matches repeated data best when it arrives with the same alignment, which
is what a server that fills its segments gives it.

Python standard library only.
"""

import argparse
import html
import http.server
import os
import socket
import sys
import urllib.parse


def _cork(sock, on):
    try:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_CORK, 1 if on else 0)
    except (AttributeError, OSError):
        pass  # not Linux or not TCP: plain writes still work


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "quilo-serve/1"
    protocol_version = "HTTP/1.0"  # one response per connection

    def log_message(self, fmt, *args):
        sys.stderr.write("%s %s\n" % (self.address_string(), fmt % args))

    def _resolve(self):
        """The file for the request path, or None; never leaves the root."""
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
        parts = [p for p in path.split("/") if p not in ("", ".")]
        if any(p == ".." or "\0" in p for p in parts):
            return None
        full = os.path.join(self.server.root, *parts)
        real = os.path.realpath(full)
        root = self.server.root
        if real != root and not real.startswith(root + os.sep):
            return None
        return real

    def _send_header_alone(self, code, ctype, length):
        self.send_response(code)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(length))
        self.send_header("Connection", "close")
        # BaseHTTPRequestHandler writes the buffered header in one write;
        # corked around it, the header leaves as one segment on the uncork.
        _cork(self.connection, True)
        self.end_headers()
        self.wfile.flush()
        _cork(self.connection, False)

    def _error(self, code, text):
        body = ("%d %s\n" % (code, text)).encode()
        self._send_header_alone(code, "text/plain", len(body))
        if self.command != "HEAD":
            self.wfile.write(body)

    def _listing(self, directory):
        names = sorted(n for n in os.listdir(directory)
                       if os.path.isfile(os.path.join(directory, n)))
        items = "".join('<li><a href="%s">%s</a></li>\n'
                        % (urllib.parse.quote(n), html.escape(n)) for n in names)
        body = ("<!DOCTYPE html>\n<html><body><ul>\n%s</ul></body></html>\n"
                % items).encode()
        self._send_header_alone(200, "text/html; charset=utf-8", len(body))
        if self.command != "HEAD":
            self.wfile.write(body)

    def do_GET(self):
        path = self._resolve()
        if path is None:
            return self._error(403, "Forbidden")
        if os.path.isdir(path):
            return self._listing(path)
        try:
            f = open(path, "rb")
        except OSError:
            return self._error(404, "Not Found")
        with f:
            size = os.fstat(f.fileno()).st_size
            self._send_header_alone(200, "application/octet-stream", size)
            if self.command == "HEAD":
                return
            sock = self.connection
            _cork(sock, True)
            try:
                offset = 0
                while offset < size:
                    sent = os.sendfile(sock.fileno(), f.fileno(), offset,
                                       min(size - offset, 1 << 30))
                    if sent == 0:
                        break  # the file shrank under us
                    offset += sent
            except (BrokenPipeError, ConnectionResetError):
                return
            finally:
                _cork(sock, False)  # push the last, partial segment

    do_HEAD = do_GET


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("-b", "--bind", default="127.0.0.1")
    ap.add_argument("-p", "--port", type=int, default=8080)
    ap.add_argument("-d", "--directory", default=".")
    args = ap.parse_args()
    srv = Server((args.bind, args.port), Handler)
    srv.root = os.path.realpath(args.directory)
    try:
        srv.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        srv.server_close()


if __name__ == "__main__":
    main()
