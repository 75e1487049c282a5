"""RTClient against a fake real-time server on 127.0.0.1: framing, handlers, connection
life cycle, failures and their reports."""
import itertools
import os
import queue
import resource
import threading
import time

import numpy as np
import pytest

from zelpyx.zelpy.zelpy import RTClient, RTClientMessageType

WAIT = 20.0  # upper bound of every wait; the tests normally take milliseconds


@pytest.fixture
def reports(monkeypatch):
    """The exceptions that listener threads passed to the threading exception hook."""
    caught = []
    monkeypatch.setattr(threading, "excepthook", lambda args: caught.append(args.exc_value))
    return caught


@pytest.fixture
def server(fake_server):
    with fake_server.FakeServer() as running:
        yield running


@pytest.fixture
def client(server):
    client = RTClient("127.0.0.1", server.port)
    yield client
    client.disconnect()


class Received:
    """Records handler calls: ("data", index, name, first x) and ("analog", index, text)."""

    def __init__(self, client):
        self.calls = queue.Queue()
        client.register_handler(RTClientMessageType.DATA, self.data)
        client.register_handler(RTClientMessageType.ANALOG_DATA, self.analog)

    def data(self, index, data_set):
        first_x = data_set.data(0).get_values(["x"])["x"][0] if data_set.num_data() else None
        self.calls.put(("data", index, data_set.file_name(), first_x))

    def analog(self, index, text):
        self.calls.put(("analog", index, text))

    def take(self, count):
        return [self.calls.get(timeout=WAIT) for _ in range(count)]

    def nothing_more(self, wait=0.2):
        time.sleep(wait)
        return self.calls.empty()


@pytest.fixture
def received(client):
    return Received(client)


@pytest.fixture
def image(encoder):
    """image(first_x, points=6): a data-set file image of one area whose x starts at first_x."""
    def make(first_x, points=6):
        x = (first_x + np.arange(points) % 1000).astype(np.float32)
        area = encoder.encode_area(1, points, [("x", "x [pixel]", encoder.PIXEL_COORDINATE, x)])
        return encoder.encode_data_set([area])
    return make


def connect(client, server):
    client.connect()
    return server.accept()


def wait_for_listener(client):
    client.thread.join(WAIT)
    assert not client.thread.is_alive()


def data_call(index, first_x):
    return ("data", index, f"data_{index:05d}_0.out", first_x)


# ---------------------------------------------------------------- framing

def test_frames_split_at_every_byte(client, server, received, image, fake_server):
    frames = [fake_server.frame(fake_server.DATA_SET, image(5)),
              fake_server.frame(fake_server.ANALOG_DATA, '{"a": "é"}'.encode())]
    connection = connect(client, server)
    expected = []
    for split in range(1, max(len(frame) for frame in frames)):
        for frame in frames:
            if split < len(frame):
                connection.sendall(frame[:split])
                time.sleep(0.0005)
                connection.sendall(frame[split:])
                data_sets = sum(call[0] == "data" for call in expected)
                expected.append(data_call(data_sets, 5) if frame is frames[0]
                                else ("analog", data_sets, '{"a": "é"}'))
    # One frame byte by byte.
    for byte in frames[0]:
        connection.sendall(bytes([byte]))
    expected.append(data_call(sum(call[0] == "data" for call in expected), 5))
    assert received.take(len(expected)) == expected
    assert received.nothing_more()


def test_bursts_of_frames_in_order(client, server, received, image, fake_server):
    burst, expected = [], []
    data_sets = 0
    for k in range(300):
        if k % 3:
            burst.append(fake_server.frame(fake_server.DATA_SET, image(k)))
            expected.append(data_call(data_sets, k))
            data_sets += 1
        else:
            burst.append(fake_server.frame(fake_server.ANALOG_DATA, str(k).encode()))
            expected.append(("analog", data_sets, str(k)))
    connection = connect(client, server)
    connection.sendall(b"".join(burst))
    assert received.take(len(expected)) == expected
    assert client.running


def test_a_100_mb_frame(client, server, image, fake_server, reports):
    points = 25_000_000
    big = image(0, points)
    assert len(big) > 100_000_000
    values = queue.Queue()
    client.register_handler(RTClientMessageType.DATA,
                            lambda index, data_set: values.put((index, data_set.data(0).get_values(["x"])["x"])))
    connection = connect(client, server)
    sender = fake_server.send_in_background(connection, fake_server.frame(fake_server.DATA_SET, big)
                                            + fake_server.frame(fake_server.DATA_SET, image(7)))
    index, x = values.get(timeout=WAIT)
    assert index == 0 and x.size == points
    assert np.array_equal(x, (np.arange(points) % 1000).astype(np.float32))
    assert values.get(timeout=WAIT)[1][0] == 7
    sender.join(WAIT)
    assert reports == []


def kernel_socket_buffers():
    """The largest receive plus send buffer that TCP sockets may grow to, in bytes."""
    try:
        return sum(int(open(f"/proc/sys/net/ipv4/tcp_{kind}").read().split()[2]) for kind in ("rmem", "wmem"))
    except OSError:
        return 64 << 20


def test_slow_handler_holds_back_the_server(client, server, fake_server, image):
    release, calls = threading.Event(), queue.Queue()

    def slow(index, data_set):
        release.wait(WAIT)
        calls.put(index)

    client.register_handler(RTClientMessageType.DATA, slow)
    megabyte = fake_server.frame(fake_server.DATA_SET, image(1, 250_000))
    # More than the socket buffers of both ends can take.
    frames = 2 * (kernel_socket_buffers() >> 20) + 16
    connection = connect(client, server)
    sender = fake_server.send_in_background(connection, megabyte, frames)
    time.sleep(0.5)
    # The client reads no further while its handler runs: the server cannot get its data out.
    assert sender.is_alive()
    release.set()
    assert [calls.get(timeout=WAIT) for _ in range(frames)] == list(range(frames))
    sender.join(WAIT)
    assert not sender.is_alive()


def test_payloads_across_the_growth_of_the_buffer(client, server, fake_server, reports):
    texts = queue.Queue()
    client.register_handler(RTClientMessageType.ANALOG_DATA, lambda index, text: texts.put(text))
    # Around the first capacity (64 KiB) and its doublings, up and down again.
    lengths = [0, 1, 65535, 65536, 65537, 3 * 65536 + 5, (1 << 20) + 7, 65536, 131073, 3]
    letters = np.random.default_rng(5)
    payloads = [letters.integers(ord("a"), ord("z") + 1, size=length, dtype=np.uint8).tobytes() for length in lengths]
    connection = connect(client, server)
    fake_server.send_pieces_in_background(connection, [fake_server.frame(fake_server.ANALOG_DATA, payload)
                                                       for payload in payloads])
    for payload in payloads:
        assert texts.get(timeout=WAIT) == payload.decode()
    assert reports == [] and client.running


MiB = 1 << 20


@pytest.mark.parametrize("kind, report", [
    ("announced", None),
    ("refused", "Unknown message type, exiting."),
    ("ignored", "Error from server: done"),
    ("random", None),
])
def test_memory_follows_the_bytes_that_arrive(client, server, fake_server, reports, peak_memory, kind, report):
    connection = connect(client, server)
    with peak_memory() as peak:
        sender = fake_server.send_pieces_in_background(connection, fake_server.hostile_stream(kind))
        sender.join(WAIT)
        client.thread.join(WAIT if report else 0.3)
        client.disconnect()
    assert peak.rise < 32 * MiB
    assert [str(error) for error in reports] == ([report] if report else [])


def test_a_buffer_beyond_the_kept_size_is_released_after_its_frame(client, server, fake_server, reports,
                                                                   resident_memory):
    lengths, resident = queue.Queue(), queue.Queue()

    def analog(index, text):
        if text == "next":
            resident.put(resident_memory())
        else:
            lengths.put(len(text))

    client.register_handler(RTClientMessageType.ANALOG_DATA, analog)
    connection = connect(client, server)
    before = resident_memory()
    large = 257 * MiB  # beyond the 256 MiB that the client keeps for the next frames
    fake_server.send_pieces_in_background(connection, itertools.chain(
        [fake_server.frame_header(fake_server.ANALOG_DATA, large)], itertools.repeat(b"a" * MiB, 257),
        [fake_server.frame(fake_server.ANALOG_DATA, b"next")]))
    assert lengths.get(timeout=WAIT) == large
    assert resident.get(timeout=WAIT) - before < 64 * MiB
    assert reports == []


# ---------------------------------------------------------------- handlers

def test_handler_keys_and_counting(client, server, image, fake_server, reports):
    calls = queue.Queue()
    client.register_handler(0, lambda *args: calls.put(("int key",) + args))
    client.register_handler(RTClientMessageType.ANALOG_DATA, lambda *args: calls.put(("first",) + args))
    client.register_handler(RTClientMessageType.ANALOG_DATA, lambda *args: calls.put(("analog",) + args))
    connection = connect(client, server)
    # No DATA handler yet: the data sets still count. No analog handler needed for junk.
    connection.sendall(fake_server.frame(fake_server.DATA_SET, image(1)) * 2
                       + fake_server.frame(fake_server.ANALOG_DATA, b"")
                       + fake_server.frame(fake_server.ANALOG_DATA, b"{}"))
    assert [calls.get(timeout=WAIT) for _ in range(2)] == [("analog", 2, ""), ("analog", 2, "{}")]
    client.register_handler(RTClientMessageType.DATA,
                            lambda index, data_set: calls.put(("data", index, data_set.file_name())))
    del client.handlers[RTClientMessageType.ANALOG_DATA]
    connection.sendall(fake_server.frame(fake_server.ANALOG_DATA, b"\xff\xfe")
                       + fake_server.frame(fake_server.DATA_SET, image(1)))
    assert calls.get(timeout=WAIT) == ("data", 2, "data_00002_0.out")
    time.sleep(0.1)
    assert calls.empty() and reports == [] and client.running


@pytest.mark.parametrize("stream, error, message", [
    (lambda s, image: s.frame(7, b"abc"), Exception, "Unknown message type, exiting."),
    (lambda s, image: s.frame(1, b""), Exception, "Unknown message type, exiting."),
    (lambda s, image: s.frame(s.SERVER_ERROR, b"disk full"), Exception, "Error from server: disk full"),
    (lambda s, image: s.frame(s.SERVER_ERROR, b"bad \xff text"), Exception, "Error from server: bad \ufffd text"),
    (lambda s, image: s.frame(s.SERVER_ERROR), Exception, "Error from server: "),
    (lambda s, image: s.frame(s.DATA_SET, b""), ValueError, "Unable to decode memory buffer"),
    (lambda s, image: s.frame(s.DATA_SET, image(1)[:-3]), ValueError, "Unable to decode memory buffer"),
    (lambda s, image: s.frame(s.ANALOG_DATA, b"\xff"), UnicodeDecodeError, "invalid start byte"),
    (lambda s, image: s.frame_header(s.DATA_SET, 2**31), ValueError,
     "Frame of 2147483648 bytes received; at most 2147483647 bytes are accepted."),
    (lambda s, image: s.frame_header(s.ANALOG_DATA, 2**32 - 1), ValueError, "Frame of 4294967295 bytes"),
])
def test_bad_frames_end_the_connection_with_one_report(client, server, received, image, fake_server,
                                                       reports, stream, error, message):
    connection = connect(client, server)
    connection.sendall(fake_server.frame(fake_server.DATA_SET, image(1)) + stream(fake_server, image)
                       + fake_server.frame(fake_server.ANALOG_DATA, b"late"))
    wait_for_listener(client)
    assert received.take(1) == [data_call(0, 1)]
    assert received.nothing_more(0)
    assert len(reports) == 1 and type(reports[0]) is error and message in str(reports[0])
    assert (client.running, client.socket) == (False, None)
    with pytest.raises(ConnectionError, match="^Real time client is not connected.$"):
        client.request_start_data_streaming()


def test_unknown_type_is_reported_once_its_payload_has_come(client, server, fake_server, reports):
    connection = connect(client, server)
    whole = fake_server.frame(9, b"0123456789")
    connection.sendall(whole[:12])
    time.sleep(0.2)
    assert client.thread.is_alive() and reports == []
    connection.sendall(whole[12:])
    wait_for_listener(client)
    assert [str(report) for report in reports] == ["Unknown message type, exiting."]


def test_handler_error_ends_the_listener(client, server, image, fake_server, reports):
    def failing(index, text):
        raise RuntimeError("handler failed")

    client.register_handler(RTClientMessageType.ANALOG_DATA, failing)
    connection = connect(client, server)
    connection.sendall(fake_server.frame(fake_server.ANALOG_DATA, b"{}") * 3)
    wait_for_listener(client)
    assert [str(report) for report in reports] == ["handler failed"]
    assert not client.running


# ---------------------------------------------------------------- connection life cycle

def test_requests_send_one_byte_commands(client, server):
    connection = connect(client, server)
    client.request_start_data_streaming()
    client.request_analog_data_while_streaming()
    client.request_stop_data_streaming()
    commands = b""
    while len(commands) < 3:
        commands += connection.recv(3)
    assert commands == b"SAP"


def test_not_connected(server, fake_server):
    client = RTClient("127.0.0.1", server.port)
    requests = (client.request_start_data_streaming, client.request_stop_data_streaming,
                client.request_analog_data_while_streaming)

    def refused():
        for request in requests:
            with pytest.raises(ConnectionError, match="^Real time client is not connected.$"):
                request()

    refused()
    client.disconnect()
    client.disconnect()
    with client as entered:
        assert entered is client and not client.running
        entered.connect()
        server.accept()
        assert client.running
    assert (client.running, client.socket, client.thread) == (False, None, None)
    refused()
    with pytest.raises(KeyError):
        with client:
            raise KeyError("inside")


def test_connect_twice_keeps_the_connection(client, server):
    connect(client, server)
    first = (client.socket, client.thread)
    client.connect()
    assert (client.socket, client.thread) == first


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def test_failed_connect_closes_its_socket(server):
    port = server.port
    server.close()
    client = RTClient("127.0.0.1", port)
    before = open_descriptors()
    for _ in range(3):
        with pytest.raises(ConnectionRefusedError):
            client.connect()
    assert open_descriptors() == before
    assert (client.running, client.socket, client.thread) == (False, None, None)
    with pytest.raises(ConnectionError):
        client.request_start_data_streaming()


def test_server_closing_ends_the_listener_quietly(client, server, received, image, fake_server, reports):
    connection = connect(client, server)
    data = fake_server.frame(fake_server.DATA_SET, image(3))
    connection.sendall(data + data[:20])
    connection.close()
    wait_for_listener(client)
    assert received.take(1) == [data_call(0, 3)] and received.nothing_more(0)
    assert reports == [] and (client.running, client.socket) == (False, None)
    with pytest.raises(ConnectionError):
        client.request_stop_data_streaming()


def test_server_reset_is_reported(client, server, fake_server, reports):
    connection = connect(client, server)
    client.request_start_data_streaming()  # unread data makes the close a reset
    time.sleep(0.05)
    fake_server.reset(connection)
    wait_for_listener(client)
    assert len(reports) == 1 and isinstance(reports[0], ConnectionResetError)
    assert not client.running


def test_reconnect_starts_afresh(client, server, received, image, fake_server, reports):
    data = fake_server.frame(fake_server.DATA_SET, image(1))
    old = connect(client, server)
    old.sendall(data * 2 + data[:30])
    assert received.take(2) == [data_call(0, 1), data_call(1, 1)]
    old_listener = client.thread
    client.disconnect()
    assert not old_listener.is_alive()
    new = connect(client, server)
    new.sendall(fake_server.frame(fake_server.DATA_SET, image(2)))
    assert received.take(1) == [data_call(0, 2)]
    assert client.thread is not old_listener and reports == []


def test_disconnect_during_a_large_frame_is_quiet(client, server, fake_server, reports):
    connection = connect(client, server)
    connection.sendall(fake_server.frame_header(fake_server.DATA_SET, 50_000_000) + bytes(1_000_000))
    time.sleep(0.1)
    listener = client.thread
    client.disconnect()
    assert not listener.is_alive() and reports == []


def test_disconnect_from_a_handler(client, server, image, fake_server, reports):
    calls = queue.Queue()

    def stop_at_once(index, data_set):
        client.disconnect()
        calls.put(index)

    client.register_handler(RTClientMessageType.DATA, stop_at_once)
    connection = connect(client, server)
    listener = client.thread
    connection.sendall(fake_server.frame(fake_server.DATA_SET, image(1)) * 3)
    assert calls.get(timeout=WAIT) == 0
    listener.join(WAIT)
    assert not listener.is_alive() and calls.empty() and reports == []
    assert (client.running, client.socket, client.thread) == (False, None, None)


def test_a_handler_sending_while_the_client_disconnects(client, server, image, fake_server, reports):
    in_handler, outcome = threading.Event(), queue.Queue()

    def request_later(index, data_set):
        in_handler.set()
        deadline = time.monotonic() + WAIT
        while client.socket is not None and time.monotonic() < deadline:
            time.sleep(0.001)
        try:
            client.request_stop_data_streaming()
            outcome.put("sent")
        except ConnectionError as error:
            outcome.put(str(error))

    client.register_handler(RTClientMessageType.DATA, request_later)
    connection = connect(client, server)
    connection.sendall(fake_server.frame(fake_server.DATA_SET, image(1)))
    assert in_handler.wait(WAIT)
    disconnecting = threading.Thread(target=client.disconnect, daemon=True)
    disconnecting.start()
    disconnecting.join(WAIT)
    assert not disconnecting.is_alive()
    assert outcome.get(timeout=WAIT) == "Real time client is not connected."
    assert reports == []


def test_an_idle_connection_costs_no_processor(client, server):
    connect(client, server)
    time.sleep(0.1)
    start_cpu, start = time.process_time(), time.monotonic()
    time.sleep(1.0)
    used = (time.process_time() - start_cpu) / (time.monotonic() - start)
    assert used < 0.1
    assert client.running


@pytest.mark.parametrize("arguments, message", [
    ({"ip": None}, "Argument 'ip' has incorrect type"),
    ({"port": "20020"}, "Argument 'port' has incorrect type"),
])
def test_constructor_arguments(arguments, message):
    with pytest.raises(TypeError, match=message):
        RTClient(**arguments)
    client = RTClient(port=20021.9)
    assert (client.ip, client.port, client.handlers, client.running, client.socket, client.thread) == (
        "localhost", 20021, {}, False, None, None)


def test_dispatch_of_bytes_payloads(client, received, image):
    dispatch = client._RTClient__process_data
    assert dispatch(image(4), 3, 7) == 8
    assert dispatch(b"{}", 6.9, 8) == 8
    assert received.take(2) == [data_call(7, 4), ("analog", 8, "{}")]
    with pytest.raises(Exception, match="^Unknown message type, exiting.$"):
        dispatch(b"", 2, 0)


def test_a_failed_send_is_a_connection_error(client, server):
    class Broken:
        def send(self, data):
            raise OSError(9, "Bad file descriptor")

    connect(client, server)
    connected = client.socket
    client.socket = Broken()
    with pytest.raises(ConnectionError, match="Bad file descriptor") as raised:
        client.request_start_data_streaming()
    assert isinstance(raised.value.__context__, OSError)
    client.socket = connected


def test_descriptors_above_the_select_limit(client, server, received, image, fake_server):
    # select() cannot watch descriptors from 1024 on; the client must not depend on it.
    limits = resource.getrlimit(resource.RLIMIT_NOFILE)
    if limits[0] < 1200:
        resource.setrlimit(resource.RLIMIT_NOFILE, (1200, limits[1]))
    held = []
    try:
        while open_descriptors() < 1100:
            held.append(os.open(os.devnull, os.O_RDONLY))
        connection = connect(client, server)
        assert client.socket.fileno() >= 1024
        connection.sendall(fake_server.frame(fake_server.DATA_SET, image(9)))
        assert received.take(1) == [data_call(0, 9)]
    finally:
        for descriptor in held:
            os.close(descriptor)
        resource.setrlimit(resource.RLIMIT_NOFILE, limits)


def test_methods_are_defined_in_their_order():
    assert [name for name, value in RTClient.__dict__.items() if callable(value)] == [
        "__init__", "_RTClient__cleanup", "__enter__", "__exit__", "_RTClient__listen", "_RTClient__process_data",
        "register_handler", "connect", "disconnect", "request_start_data_streaming", "request_stop_data_streaming",
        "request_analog_data_while_streaming"]
