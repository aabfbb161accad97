"""Local servers the remote-store tests read and write: an S3 endpoint (moto's) and an HTTP server.

Both listen on a free loopback port the system picks, run on threads of the
test process and stop when the fixture ends; nothing leaves the machine.
"""

import contextlib
import functools
import http.server
import threading


@contextlib.contextmanager
def s3_endpoint(monkeypatch):
    """moto's S3 server on a free loopback port, with the environment a user sets (AWS_*, the
    endpoint included) pointing at it; yields the endpoint's URL. One for a whole session:
    fsspec keeps its file systems by their options, which do not hold the endpoint the
    environment gives, so one kept from an earlier server would call a closed port."""
    from moto.server import ThreadedMotoServer

    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    try:
        host, port = server.get_host_and_port()
        endpoint = f"http://{host}:{port}"
        for name, value in {
            "AWS_ACCESS_KEY_ID": "testing",
            "AWS_SECRET_ACCESS_KEY": "testing",
            "AWS_DEFAULT_REGION": "us-east-1",
            "AWS_ENDPOINT_URL": endpoint,
        }.items():
            monkeypatch.setenv(name, value)
        for name in ("AWS_PROFILE", "AWS_SESSION_TOKEN", "AWS_CONFIG_FILE", "AWS_SHARED_CREDENTIALS_FILE"):
            monkeypatch.delenv(name, raising=False)
        yield endpoint
    finally:
        server.stop()


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@contextlib.contextmanager
def http_server(folder):
    """Python's HTTP server for the files in ``folder`` on a free loopback port; yields its URL."""
    handler = functools.partial(_QuietHandler, directory=str(folder))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}"
    finally:
        server.shutdown()
        server.server_close()
        thread.join()
