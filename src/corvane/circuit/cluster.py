"""The connection to a Dask scheduler, checked before any work is handed to it.

``connect_scheduler(address, timeout)`` returns a ``distributed.Client`` only
for a scheduler that answers as one and has a worker, each within ``timeout``
seconds; everything else is refused with a one-line message. The peer is first
probed with a plain socket: Dask's own connection would wait forever on a peer
that accepts and never answers, and reads an HTTP server's "HTTP/1.1" reply as
the length of a message (about 3 EiB, which it then tries to allocate).
"""

import contextlib
import logging
import math
import re
import socket
import struct
import time

__all__ = ["DEFAULT_TIMEOUT", "connect_scheduler"]

# Seconds to wait for the scheduler's greeting and for its first worker. A
# scheduler on the local network greets within milliseconds and a LocalCluster
# starts its workers in about a second on the shared development machine, so a
# few seconds separate a slow scheduler from one that will never answer.
DEFAULT_TIMEOUT = 5.0

# tcp://HOST:PORT or HOST:PORT; HOST a name, an IPv4 address or a bracketed IPv6 one.
_ADDRESS = re.compile(r"(?:tcp://)?(?P<host>\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9_.-]+):(?P<port>\d{1,5})")

# A Dask scheduler greets each connection with one message: an 8-byte length,
# then the frame count, the frame lengths and the frames. Its greeting is a few
# hundred bytes of handshake information (distributed 2026.11); the bounds leave
# room for growth and refuse a stream that is something else.
_LENGTH = struct.Struct("<Q")
_MAX_GREETING = 1 << 20
_MAX_GREETING_FRAMES = 64


def _host_and_port(address):
    if not isinstance(address, str):
        raise TypeError(f"the scheduler address must be a str, got {type(address).__name__}")
    match = _ADDRESS.fullmatch(address.strip())
    if not match or not 0 < int(match["port"]) < 65536:
        raise ValueError(
            f"{address!r} is not a Dask scheduler address: give tcp://HOST:PORT, "
            "such as tcp://scheduler-host:8786"
        )
    return match["host"], int(match["port"])


def _check_timeout(timeout):
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds, got {type(timeout).__name__}")
    if not (math.isfinite(timeout) and timeout > 0):
        raise ValueError(f"timeout must be a positive finite number of seconds, got {timeout!r}")


def _receive(sock, size, deadline):
    """``size`` bytes from ``sock`` by ``deadline``, or None when the peer closes first."""
    data = bytearray()
    while len(data) < size:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise TimeoutError
        sock.settimeout(remaining)
        chunk = sock.recv(min(size - len(data), 65536))
        if not chunk:
            return None
        data += chunk
    return bytes(data)


def _greeting_problem(sock, deadline):
    """Why the peer on ``sock`` is not a Dask scheduler, or None when its greeting is one's."""
    head = _receive(sock, _LENGTH.size, deadline)
    if head is None:
        return "it closed the connection without a word"
    if head.startswith(b"HTTP/"):
        return "it answers HTTP, not Dask"
    (length,) = _LENGTH.unpack(head)
    if not _LENGTH.size <= length <= _MAX_GREETING:
        return "it does not speak Dask's protocol"
    body = _receive(sock, length, deadline)
    if body is None:
        return "it closed the connection in the middle of its greeting"
    (frames,) = _LENGTH.unpack_from(body)
    header = _LENGTH.size * (1 + frames)
    if not 1 <= frames <= _MAX_GREETING_FRAMES or header > length:
        return "it does not speak Dask's protocol"
    sizes = struct.unpack_from(f"<{frames}Q", body, _LENGTH.size)
    if header + sum(sizes) != length:
        return "it does not speak Dask's protocol"
    return None


def _probe(host, port, address, timeout):
    """Refuse, with a ConnectionError, a peer that does not greet as a Dask scheduler."""
    deadline = time.monotonic() + timeout
    try:
        with socket.create_connection((host, port), timeout=timeout) as sock:
            problem = _greeting_problem(sock, deadline)
    except TimeoutError:
        problem = f"no Dask greeting within {timeout:g} s"
    except OSError as err:
        problem = err.strerror or str(err)
    if problem is not None:
        raise ConnectionError(f"cannot use the Dask scheduler at {address}: {problem}")


def connect_scheduler(address, timeout=DEFAULT_TIMEOUT):
    """A ``distributed.Client`` of the scheduler at ``address``, checked within ``timeout`` s.

    The scheduler must greet as a Dask scheduler and have at least one worker
    within ``timeout`` seconds each; a scheduler without workers is refused
    after that wait rather than waited on without end.

    Args:
        address (str): ``tcp://HOST:PORT`` (or ``HOST:PORT``).
        timeout (float): seconds for each step: the greeting, Dask's connection
            and the first worker.

    Returns:
        distributed.Client: connected; close it when done.

    Raises:
        TypeError, ValueError: a malformed address or timeout.
        ConnectionError: no scheduler answers there, the peer is not one, or it
            has no worker; the message is one line, naming the address.
        ImportError: ``distributed`` is not installed.
    """
    host, port = _host_and_port(address)
    _check_timeout(timeout)
    import distributed

    _probe(host.strip("[]"), port, address, timeout)
    # The greeting was a scheduler's; what can still fail is logged by Dask as
    # well as raised, and the raised error is the one this function words.
    quiet = logging.getLogger("distributed")
    level = quiet.level
    quiet.setLevel(logging.CRITICAL)
    client = None
    try:
        client = distributed.Client(f"tcp://{host}:{port}", timeout=timeout)
        client.wait_for_workers(1, timeout=timeout)
    except Exception as err:  # Dask's errors: OSError, TimeoutError, CommClosedError, ...
        if client is not None:
            with contextlib.suppress(Exception):
                client.close()
        if isinstance(err, TimeoutError) and client is not None:
            problem = f"it has no worker after {timeout:g} s (start one: dask worker {address})"
        else:
            problem = f"{type(err).__name__}: {err}".splitlines()[0]
        raise ConnectionError(f"cannot use the Dask scheduler at {address}: {problem}") from None
    finally:
        quiet.setLevel(level)
    return client
