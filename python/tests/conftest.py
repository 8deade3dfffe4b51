"""Where the tests find the project's programs and files.

CTest passes BF_TEST and BINMAT_TOOL; run by hand, the tests look in the dev build.
"""

import http.server
import os
import re
import subprocess
import threading
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def _program(variable, default):
    path = Path(os.environ.get(variable, ROOT / "build" / "dev" / default))
    if not path.is_file():
        pytest.skip(f"{path} is not built: build the dev preset or set {variable}")
    return path


@pytest.fixture(scope="session")
def binmat_tool():
    return _program("BINMAT_TOOL", "binmat")


@pytest.fixture(scope="session")
def fuzz_inputs():
    """Every input the fuzzers keep: their seeds and the findings kept as regressions."""
    return sorted(p for p in (ROOT / "fuzz").glob("*/*/*") if p.is_file())


@pytest.fixture(scope="session")
def canonical(tmp_path_factory):
    """The directory holding binary1, binary2 and binary3 as the generator writes them."""
    generator = _program("BF_TEST", "bf_test")
    directory = tmp_path_factory.mktemp("canonical")
    subprocess.run([generator], cwd=directory, check=True, capture_output=True, timeout=60)
    return directory


class _RangeHandler(http.server.BaseHTTPRequestHandler):
    """Serves the files of the server's directory, honouring Range as object stores do, and
    records every request's range (None for the whole file)."""

    def log_message(self, *args):
        pass

    def _file(self):
        path = self.server.directory / self.path.lstrip("/")
        return path if path.is_file() else None

    def do_HEAD(self):
        path = self._file()
        if path is None:
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Length", str(path.stat().st_size))
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("ETag", f'"{path.stat().st_mtime_ns}-{path.stat().st_ino}"')
        self.end_headers()

    def do_GET(self):
        path = self._file()
        if path is None:
            self.send_error(404)
            return
        data = path.read_bytes()
        wanted = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", ""))
        if wanted is None:
            self.server.requests.append((self.path, None))
            self.send_response(200)
            body = data
        else:
            first = int(wanted[1])
            last = min(int(wanted[2]) if wanted[2] else len(data) - 1, len(data) - 1)
            self.server.requests.append((self.path, (first, last + 1)))
            body = data[first : last + 1]
            self.send_response(206)
            self.send_header("Content-Range", f"bytes {first}-{last}/{len(data)}")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Accept-Ranges", "bytes")
        self.end_headers()
        self.wfile.write(body)


@pytest.fixture
def http_server(tmp_path):
    """A local HTTP server over a directory of its own: (directory, base URL, requests made)."""
    directory = tmp_path / "served"
    directory.mkdir()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _RangeHandler)
    server.directory = directory
    server.requests = []
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield directory, f"http://127.0.0.1:{server.server_port}", server.requests
    finally:
        server.shutdown()
        server.server_close()
