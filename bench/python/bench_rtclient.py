"""Throughput of RTClient over loopback: a fake server streams data-set frames of 160 MB
(one area, 40 million floats) to a client whose handler receives each ZelDataSet. The
server's side sends from a forked process, as a real server would from its own.

Beside it, in the same run:
- a bare socket loop receiving the same stream into one preallocated buffer (recv_into);
- ZelDataSet.load_from_data of the same image alone, the decode that each frame costs.
Peak memory (max RSS) is printed at the end. First, how far the peak resident memory
rises while a client reads each of the fake server's hostile streams.
"""
import importlib.util
import multiprocessing
import queue
import resource
import socket
import threading
import time
from pathlib import Path

import numpy as np

from zelpyx.zelpy.zelpy import RTClient, RTClientMessageType, ZelDataSet

ROOT = Path(__file__).resolve().parents[2]
FRAMES = 8
POINTS = 40_000_000


def load_module(name, path):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def make_image(encoder):
    x = np.arange(POINTS, dtype=np.float32)
    return encoder.encode_data_set([encoder.encode_area(4000, POINTS // 4000, [("x", "x", 0, x)])])


def send_from_process(connection, frame):
    """Sends FRAMES copies of frame on the connection from a forked process."""
    sender = multiprocessing.get_context("fork").Process(
        target=lambda: [connection.sendall(frame) for _ in range(FRAMES)], daemon=True)
    sender.start()
    return sender


def client_seconds(server_module, frame):
    received = queue.Queue()
    with server_module.FakeServer(timeout=60) as server, RTClient("127.0.0.1", server.port) as client:
        client.register_handler(RTClientMessageType.DATA, lambda index, data_set: received.put(index))
        client.connect()
        connection = server.accept()
        start = time.perf_counter()
        sender = send_from_process(connection, frame)
        for _ in range(FRAMES):
            received.get(timeout=60)
        seconds = time.perf_counter() - start
        sender.join(60)
    return seconds


def hostile_peak_rise(server_module, kind):
    """Bytes by which the process's peak resident memory rises while a client reads a hostile stream."""
    with server_module.FakeServer(timeout=60) as server, RTClient("127.0.0.1", server.port) as client:
        client.connect()
        connection = server.accept()
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # the peak starts again from the current size
        start = status_bytes("VmRSS")
        server_module.send_pieces_in_background(connection, server_module.hostile_stream(kind)).join(60)
        client.thread.join(1.0)
        client.disconnect()
    return status_bytes("VmHWM") - start


def status_bytes(field):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith(field + ":"))


def bare_socket_seconds(server_module, frame):
    buffer = memoryview(bytearray(len(frame)))
    with server_module.FakeServer(timeout=60) as server:
        with socket.create_connection(("127.0.0.1", server.port)) as receiver:
            connection = server.accept()
            start = time.perf_counter()
            sender = send_from_process(connection, frame)
            for _ in range(FRAMES):
                filled = 0
                while filled < len(frame):
                    filled += receiver.recv_into(buffer[filled:])
            seconds = time.perf_counter() - start
            sender.join(60)
    return seconds


def main():
    encoder = load_module("make_synthetic", ROOT / "examples" / "make_synthetic.py")
    server_module = load_module("rt_server", ROOT / "tests" / "python" / "rt_server.py")
    threading.excepthook = lambda args: None  # the listener's refusals of hostile streams are expected
    for kind in ("announced", "refused", "ignored", "random"):
        print(f"hostile stream {kind + ':':11s} peak memory rises by {hostile_peak_rise(server_module, kind) / 2**20:7.1f} MiB")
    image = make_image(encoder)
    frame = server_module.frame(server_module.DATA_SET, image)
    total = FRAMES * len(frame)
    print(f"{FRAMES} frames of {len(frame) / 1e6:.0f} MB over 127.0.0.1")
    seconds = min(client_seconds(server_module, frame) for _ in range(3))
    print(f"RTClient, data sets to a handler:    {total / seconds / 1e9:6.2f} GB/s")
    seconds = min(bare_socket_seconds(server_module, frame) for _ in range(3))
    print(f"bare recv_into into one buffer:      {total / seconds / 1e9:6.2f} GB/s")
    seconds = min(timeit_once(lambda: ZelDataSet().load_from_data(image, "data_00000_0.out"))
                  for _ in range(3))
    print(f"load_from_data of one image alone:   {len(image) / seconds / 1e9:6.2f} GB/s")
    print(f"peak memory (max RSS):               {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1e3:6.0f} MB")


def timeit_once(function):
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


if __name__ == "__main__":
    main()
