#!/usr/bin/env python3
"""A small update server for tests and trials: serves a folder under /monitor/ on 127.0.0.1.

Files are sent as they are; a directory is answered with the web-server style index that the
program download reads (CR LF line ends, <hr> left unclosed); anything else is 404. The port is
picked by the system unless --port is given; the first line printed is "listening on HOST:PORT".
Stops on SIGTERM or SIGINT.
"""
import argparse
import email.utils
import html
import http.server
import os
import signal
import sys
import time
import urllib.parse

PREFIX = "/monitor/"


def index_page(url_path, folder):
    lines = ['<html><head><title>Index of %s</title></head><body>' % html.escape(url_path),
             '<h1>Index of %s</h1><hr><pre><a href="../">../</a>' % html.escape(url_path)]
    for name in sorted(os.listdir(folder)):
        full = os.path.join(folder, name)
        stamp = time.strftime("%d-%b-%Y %H:%M", time.gmtime(os.path.getmtime(full)))
        if os.path.isdir(full):
            shown, size = name + "/", "-"
        else:
            shown, size = name, str(os.path.getsize(full))
        link = '<a href="%s">%s</a>' % (urllib.parse.quote(shown), html.escape(shown))
        lines.append(link + " " * max(1, 51 - len(shown)) + stamp + size.rjust(20))
    lines.append("</pre><hr></body></html>")
    return ("\r\n".join(lines) + "\r\n").encode("utf-8")


class Handler(http.server.BaseHTTPRequestHandler):
    root = "."

    def log_message(self, fmt, *args):
        sys.stderr.write("listing server: %s\n" % (fmt % args))

    def do_GET(self):
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
        if not path.startswith(PREFIX):
            return self.send_error(404)
        relative = os.path.normpath(path[len(PREFIX):] or ".")
        if relative.startswith("..") or os.path.isabs(relative):
            return self.send_error(404)
        target = os.path.join(self.root, relative)
        if os.path.isdir(target):
            if not path.endswith("/"):
                return self.send_error(404)
            body, kind = index_page(path, target), "text/html"
        elif os.path.isfile(target):
            with open(target, "rb") as f:
                body = f.read()
            kind = "application/octet-stream"
        else:
            return self.send_error(404)
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Last-Modified", email.utils.formatdate(usegmt=True))
        self.end_headers()
        self.wfile.write(body)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("folder", help="folder served under /monitor/")
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()
    Handler.root = os.path.abspath(args.folder)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print("listening on 127.0.0.1:%d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except (KeyboardInterrupt, SystemExit):
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
