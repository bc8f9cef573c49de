"""--scheduler against peers that are not a usable Dask scheduler: each is refused with one
line, within its timeout, before any program is read."""

import contextlib
import socket
import subprocess
import sys
import threading

import pytest

from corvane.circuit.cluster import connect_scheduler

PROGRAM = 'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[2];\nh q[0];\ncx q[0],q[1];\n'


@contextlib.contextmanager
def loopback_server(answer):
    """A server on a free loopback port; ``answer(connection)`` serves each connection
    (None: connections are left in the backlog, accepted by the system and never read)."""
    server = socket.create_server(("127.0.0.1", 0))
    stop = threading.Event()

    def serve():
        server.settimeout(0.1)
        while not stop.is_set():
            try:
                connection, _ = server.accept()
            except TimeoutError:
                continue
            with connection, contextlib.suppress(OSError):  # the client may be gone
                answer(connection)

    thread = threading.Thread(target=serve, daemon=True)
    if answer is not None:
        thread.start()
    try:
        yield f"tcp://127.0.0.1:{server.getsockname()[1]}"
    finally:
        stop.set()
        if answer is not None:
            thread.join()
        server.close()


def http(connection):
    connection.settimeout(2)
    with contextlib.suppress(OSError):
        connection.recv(4096)  # a probe that waits sends nothing: answer anyway
    connection.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n")


def http_at_once(connection):
    connection.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n")


def huge_length(connection):
    connection.sendall((1 << 62).to_bytes(8, "little"))


def torn_greeting(connection):
    connection.sendall((100).to_bytes(8, "little") + b"\x01")


@contextlib.contextmanager
def scheduler_without_workers():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=0, processes=False, protocol="tcp", dashboard_address=":0"
    ) as cluster:
        yield cluster.scheduler_address


@contextlib.contextmanager
def closed_port():
    with loopback_server(None) as address:
        pass
    yield address


PEERS = {
    "silent": (lambda: loopback_server(None), "no Dask greeting within 1 s"),
    "http": (lambda: loopback_server(http), "no Dask greeting within 1 s"),
    "http at once": (lambda: loopback_server(http_at_once), "answers HTTP, not Dask"),
    "closes": (lambda: loopback_server(lambda c: None), "closed the connection"),
    "huge length": (lambda: loopback_server(huge_length), "does not speak Dask's protocol"),
    "torn greeting": (lambda: loopback_server(torn_greeting), "in the middle of its greeting"),
    "refused": (closed_port, "refused"),
    "no workers": (scheduler_without_workers, "has no worker after 1 s"),
}


@pytest.mark.parametrize("peer", PEERS)
def test_unusable_scheduler_is_refused_in_one_line_before_any_work(peer, tmp_path):
    pytest.importorskip("distributed")
    serve, words = PEERS[peer]
    (tmp_path / "in.qasm").write_text(PROGRAM)
    with serve() as address:
        done = subprocess.run(
            [sys.executable, "-m", "corvane.circuit", "transpile", tmp_path / "in.qasm"]
            + ["-o", tmp_path / "out", "--compress", "--scheduler", address]
            + ["--scheduler-timeout", "1"],
            capture_output=True,
            text=True,
            timeout=60,
        )
    assert done.returncode == 2
    assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr
    assert f"cannot use the Dask scheduler at {address}: " in done.stderr and words in done.stderr
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize(
    "address", ["notaurl", "tcp://host", "http://host:8786", "host:0", "host:65536", "", "tcp://"]
)
def test_malformed_address_is_refused(address):
    with pytest.raises(ValueError, match="tcp://HOST:PORT"):
        connect_scheduler(address, 1)


@pytest.mark.parametrize(
    "timeout, error",
    [
        (0, ValueError),
        (-1.0, ValueError),
        (float("nan"), ValueError),
        (float("inf"), ValueError),
        ("5", TypeError),
        (True, TypeError),
    ],
)
def test_nonsense_timeout_is_refused(timeout, error):
    with pytest.raises(error, match="timeout"):
        connect_scheduler("tcp://127.0.0.1:8786", timeout)
