"""A fake real-time server on the loopback interface, for the RTClient tests and benchmark.

It listens on 127.0.0.1 at a free port; `accept` hands out the server side of the
next connection. Every socket operation has a timeout, so nothing waits for ever.
"""
import itertools
import socket
import struct
import sys
import threading

import numpy as np

DATA_SET, ANALOG_DATA, SERVER_ERROR = 3, 6, 0

_HEADER = struct.Struct(("<" if sys.byteorder == "little" else ">") + "II")


def frame_header(message_type, length):
    return _HEADER.pack(message_type, length)


def frame(message_type, payload=b""):
    """One frame: type and payload length in the machine's byte order, then the payload."""
    return frame_header(message_type, len(payload)) + payload


_MiB = 1 << 20


def hostile_stream(kind):
    """The byte strings, none above 1 MiB, that a hostile server sends:
    - "announced": a data-set header announcing 2^31 - 1 bytes, and nothing more;
    - "refused" / "ignored": 256 MiB of type 5 / of analog data, then a server error "done";
    - "random": 64 MiB of random bytes whose first header announces 1.4 GB of an unknown type.
    """
    if kind == "announced":
        return [frame_header(DATA_SET, 2**31 - 1)]
    if kind in ("refused", "ignored"):
        message_type = 5 if kind == "refused" else ANALOG_DATA
        return itertools.chain([frame_header(message_type, 256 * _MiB)], itertools.repeat(bytes(_MiB), 256),
                               [frame(SERVER_ERROR, b"done")])
    random = np.random.default_rng(8)
    return (random.bytes(_MiB) for _ in range(64))


class FakeServer:
    def __init__(self, timeout=20.0):
        self.timeout = timeout
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(timeout)
        self.port = self.listener.getsockname()[1]
        self.connections = []

    def accept(self):
        connection, _ = self.listener.accept()
        connection.settimeout(self.timeout)
        connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.connections.append(connection)
        return connection

    def close(self):
        for connection in self.connections:
            connection.close()
        self.listener.close()

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()


def reset(connection):
    """Closes the connection with a reset instead of an orderly shutdown."""
    connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    connection.close()


def send_in_background(connection, data, repeat=1):
    """Starts sending data, repeat times, on a daemon thread; the socket's timeout bounds it."""
    return send_pieces_in_background(connection, itertools.repeat(data, repeat))


def send_pieces_in_background(connection, pieces):
    """Starts sending the byte strings of an iterable, in order, on a daemon thread."""
    def send():
        try:
            for piece in pieces:
                connection.sendall(piece)
        except OSError:
            pass  # the test closed the connection or the client went away
    sender = threading.Thread(target=send, daemon=True)
    sender.start()
    return sender
