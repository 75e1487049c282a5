# The client of a correlation application's real-time server.
#
# The server sends frames: message type and payload length as unsigned 32-bit
# integers in the machine's byte order, then the payload. The client sends one-byte
# commands. One daemon listener thread per connection reads the frames and calls the
# registered handlers.
from cpython.bytearray cimport PyByteArray_Resize
from libc.stdint cimport uint32_t

# Wire codes of the frames.
cdef enum:
    _FRAME_SERVER_ERROR = 0
    _FRAME_DATA_SET = 3
    _FRAME_ANALOG_DATA = 6

# How long the listener waits for data before it looks at its stop flag again.
cdef double _POLL_SECONDS = 0.1

cdef str _NOT_CONNECTED = "Real time client is not connected."


class RTClientMessageType(Enum):
    DATA = 0
    ANALOG_DATA = 1


cdef bint _read_into(object connection, object stop, object view) except -1:
    """Fills view from the socket; False when the peer closed it or the client stops.

    Each read waits at most the socket's timeout, so that the stop flag is looked at
    while nothing arrives. Socket errors after the client began to stop end the
    reading quietly.
    """
    cdef Py_ssize_t filled = 0
    cdef Py_ssize_t size = len(view)
    while filled < size:
        if stop.is_set():
            return False
        try:
            count = connection.recv_into(view[filled:])
        except socket.timeout:
            continue
        except OSError:
            if stop.is_set():
                return False
            raise
        if count == 0:
            return False
        filled += count
    return True


cdef object _decode_data_set(object image, str name):
    """A new ZelDataSet decoded from a data-set file image held by any buffer."""
    cdef const unsigned char[::1] view = image
    cdef ZelDataSet data_set = ZelDataSet()
    data_set._decode(<const char*>&view[0] if view.shape[0] else NULL, view.shape[0], name)
    return data_set


# A frame's payload is received into a buffer that starts at this size and doubles
# as bytes arrive, up to the length the header announced: memory follows what has
# come, not what a header claims.
cdef Py_ssize_t _FIRST_CAPACITY = 1 << 16
# A buffer up to this size serves the next frames too, so that a stream of large
# data sets (160 MB each is common) does not fault fresh memory in for every frame;
# a larger one is released after its frame.
cdef Py_ssize_t _KEPT_CAPACITY = 256 << 20


cdef bint _receive_payload(object connection, object stop, bytearray buffer, Py_ssize_t length) except -1:
    """Receives the next length bytes into the front of buffer, growing it as they come.

    False when the peer closed the connection or the client stops first.
    """
    cdef Py_ssize_t filled = 0
    cdef Py_ssize_t end
    while True:
        end = min(length, len(buffer))
        with memoryview(buffer)[filled:end] as space:
            if not _read_into(connection, stop, space):
                return False
        filled = end
        if filled == length:
            return True
        # Uninitialised growth: pages are touched only as the socket fills them.
        PyByteArray_Resize(buffer, min(length, 2 * len(buffer)))


cdef bint _discard_payload(object connection, object stop, bytearray buffer, Py_ssize_t length) except -1:
    """Reads the next length bytes through buffer without keeping them; False as above."""
    cdef Py_ssize_t step
    while length > 0:
        step = min(length, len(buffer))
        with memoryview(buffer)[:step] as space:
            if not _read_into(connection, stop, space):
                return False
        length -= step
    return True


cdef bint _payload_wanted(object client, uint32_t message_type):
    """Whether the dispatch of a frame of this type needs its payload.

    A type the dispatch refuses and analog data without a handler need none; the
    handlers are looked at as the frame begins, so one registered meanwhile takes
    the frames that begin after it.
    """
    if message_type == _FRAME_DATA_SET or message_type == _FRAME_SERVER_ERROR:
        return True
    return message_type == _FRAME_ANALOG_DATA and RTClientMessageType.ANALOG_DATA in client.handlers


cdef _receive_frames(object client, object connection, object stop):
    """Reads and dispatches frames until the connection closes or the client stops.

    Payloads are received straight from the socket into one buffer per connection,
    which grows as bytes arrive; payloads the dispatch would not use are read
    through it and dropped.
    """
    header = bytearray(8)
    header_view = memoryview(header)
    buffer = bytearray(_FIRST_CAPACITY)
    cdef const unsigned char* fields
    cdef uint32_t message_type, length
    data_set_i = 0
    while _read_into(connection, stop, header_view):
        fields = header
        memcpy(&message_type, fields, 4)
        memcpy(&length, fields + 4, 4)
        # The decoder takes images below 2 GiB; nothing longer is a frame of this protocol.
        if length > INT_MAX:
            raise ValueError(f"Frame of {length} bytes received; at most {INT_MAX} bytes are accepted.")
        if not _payload_wanted(client, message_type):
            if not _discard_payload(connection, stop, buffer, length):
                return
            if message_type != _FRAME_ANALOG_DATA:
                # The dispatch refuses the type whatever the payload held.
                client._RTClient__process_data(b"", message_type, data_set_i)
            continue
        if not _receive_payload(connection, stop, buffer, length):
            return
        with memoryview(buffer)[:length] as payload:
            data_set_i = client._RTClient__process_data(payload, message_type, data_set_i)
        if len(buffer) > _KEPT_CAPACITY:
            buffer = bytearray(_FIRST_CAPACITY)


cdef _send_command(object client, bytes command):
    with client._lock:
        connection = client.socket
        if connection is None or not client.running:
            raise ConnectionError(_NOT_CONNECTED)
        try:
            connection.send(command)
        except OSError as error:
            raise ConnectionError(f"Real time client could not send its request: {error}")


class RTClient:
    """Implements a real time server client.

        This class is used to connect to a Zel-3D/Zel-2D instance working in realtime mode and forward the
        desired data to any connected handlers.
    """

    def __init__(self, ip: str = "localhost", port: int = 20020):
        """Initializes the instance from a supported source.

        Args:
            ip: IP address to connect Zel-3D/Zel-2D instance working in realtime mode.
            port: port to connect to Zel-3D/Zel-2D instance working in realtime mode.
        """
        self.ip = ip
        self.port = port
        self.handlers = {}
        self.running = False
        self.socket = None
        self.thread = None
        # Guards running, socket and thread between the script's threads and the listener.
        self._lock = threading.Lock()
        # The stop flag of the current connection's listener.
        self._stop = None

    def __cleanup(self, connection):
        with self._lock:
            if self.socket is connection:
                self.running = False
                self.socket = None
        connection.close()

    def __enter__(self):
        return self

    def __exit__(self, type, value, traceback):
        self.disconnect()

    def __listen(self, connection, stop):
        try:
            _receive_frames(self, connection, stop)
        finally:
            self.__cleanup(connection)

    def __process_data(self, message: bytes | str, message_type: int, data_set_i: int) -> int:
        if message_type == _FRAME_DATA_SET:
            data_set = _decode_data_set(message, f"data_{data_set_i:05d}_0.out")
            handlers = self.handlers
            if RTClientMessageType.DATA in handlers:
                handlers[RTClientMessageType.DATA](data_set_i, data_set)
            return data_set_i + 1
        if message_type == _FRAME_ANALOG_DATA:
            handlers = self.handlers
            if RTClientMessageType.ANALOG_DATA in handlers:
                handlers[RTClientMessageType.ANALOG_DATA](data_set_i, str(message, "utf-8"))
            return data_set_i
        if message_type == _FRAME_SERVER_ERROR:
            raise Exception("Error from server: {}".format(str(message, "utf-8", "replace")))
        raise Exception("Unknown message type, exiting.")

    def register_handler(self, message_type: RTClientMessageType, handler: Callable) -> None:
        """Register handler for different message type.

        Usage example:
            client.register_handler(RTClientMessageType.DATA,
                                    lambda data_i, cs_data_set: print(f"Received data: {data_i}"))

        Args:
            message_type: Message type to handle.
            handle: Function to handle the specified message type.
        """
        self.handlers[message_type] = handler

    def connect(self) -> None:
        """Connects to the server."""
        with self._lock:
            if self.running:
                return
        connection = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            connection.connect((self.ip, self.port))
            # Reads wait at most this long before the listener looks at its stop flag; the
            # socket's own wait, unlike select, takes descriptors of any number.
            connection.settimeout(_POLL_SECONDS)
        except BaseException:
            connection.close()
            raise
        with self._lock:
            if self.running:
                # Another thread connected meanwhile.
                connection.close()
                return
            stop = threading.Event()
            listener = threading.Thread(target=self.__listen, args=(connection, stop), daemon=True)
            self.socket = connection
            self.running = True
            self.thread = listener
            self._stop = stop
            listener.start()

    def disconnect(self) -> None:
        """Disconnects from the server."""
        with self._lock:
            connection, listener, stop = self.socket, self.thread, self._stop
            self.running = False
            self.socket = None
            self.thread = None
            self._stop = None
            if stop is not None:
                stop.set()
            if connection is not None:
                try:
                    connection.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass  # the peer closed the connection already
        # A handler that disconnects runs on the listener, which closes its socket as it ends.
        if listener is None or listener is threading.current_thread():
            return
        listener.join()
        if connection is not None:
            connection.close()

    def request_start_data_streaming(self) -> None:
        """Request start streaming ZelDataSet files."""
        _send_command(self, b"S")

    def request_stop_data_streaming(self) -> None:
        """Request stop streaming ZelDataSet files."""
        _send_command(self, b"P")

    def request_analog_data_while_streaming(self) -> None:
        """Request streaming analog data (in JSON format) along with data files."""
        _send_command(self, b"A")
