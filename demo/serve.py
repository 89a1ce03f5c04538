#!/usr/bin/env python3
"""Serves a folder over plain HTTP on loopback, spreading each file over about two seconds so
the launcher's progress bar can be seen moving during the demo download.

Usage: serve.py ROOT PORT
"""
import functools
import http.server
import sys
import time

SPREAD_SECONDS = 2.0
STEPS = 50


class SlowHandler(http.server.SimpleHTTPRequestHandler):
    def copyfile(self, source, outputfile):
        data = source.read()
        step = max(1, -(-len(data) // STEPS))
        for start in range(0, len(data), step):
            outputfile.write(data[start:start + step])
            outputfile.flush()
            time.sleep(SPREAD_SECONDS / STEPS)

    def log_message(self, format, *args):
        sys.stderr.write("demo server: " + format % args + "\n")


def main():
    root, port = sys.argv[1], int(sys.argv[2])
    handler = functools.partial(SlowHandler, directory=root)
    with http.server.ThreadingHTTPServer(("127.0.0.1", port), handler) as server:
        server.serve_forever()


if __name__ == "__main__":
    main()
