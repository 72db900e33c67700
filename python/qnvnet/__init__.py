"""qnvnet: Python access to QNVNetSdk, the client library for networked
video-analytics cameras and encoders, over its C interface (qnvnet.h).

    import qnvnet

    with qnvnet.Device("camera-1.local", 9000, "admin", "admin") as dev:
        info = dev.config_get(13)
        with dev.live() as channel:
            for frame in channel.frames(count=25):
                print(frame.kind, len(frame.payload))
            channel.snapshot("now.jpg")

Every failure of the library raises a qnvnet.QnvError subclass (see
qnvnet.errors) with the result code and the library's reason. Arguments are
checked before anything is sent: a value of the wrong type raises TypeError,
one out of its range ValueError, each naming the argument. The library is
started on the first Device and stopped when the interpreter exits.

Callbacks (a channel's on_frame, a Device's on_event) run on the library's
threads: on_frame on the channel's receive thread, on_event on the library's
one message thread (device messages) or on the thread that met a loss. An
exception in a callback is logged (logger "qnvnet", once per burst, with its
traceback) and counted; it never stops other callbacks, other channels or the
frames() and events() queues. The library names the device session, not the
channel, with each frame: every open channel of one Device sees the frames of
all that Device's channels, so open one channel per Device when they must
stay apart.

Liveness: a device that stops answering is reported as a "disconnect" event
(with its Loss) 13 to 18 s after it froze; a channel given a stall time-out
(LiveChannel.set_stall_timeout) that receives no frame for that long ends
its frames() with a QnvConnectionError naming the reason, and its Device
gets a "stream-lost" event.
"""

import atexit
import ctypes
import logging
import os
import queue
import threading
import time
from types import TracebackType
from typing import Callable, Dict, Iterator, NamedTuple, Optional, Set, Tuple, Type

from . import _checks
from . import _native
from ._checks import PathArg, Payload
from ._native import lib as _lib
from .errors import (AddressError, AuthenticationError, CaptureError, DeviceError,
                     FirmwareError, InCallbackError, LimitError, NotFoundError, ProtocolError,
                     QnvConnectionError, QnvError, QnvTimeoutError, RecordingError, check)

__all__ = [
    "Device", "LiveChannel", "Recording", "Frame", "Event", "Loss", "version",
    "decoder_available", "LOST_BROKEN_CONNECTION", "LOST_NO_KEEPALIVE_ANSWER",
    "LOST_STREAM_STALLED", "LOST_MALFORMED_MESSAGE", "MAX_PAYLOAD", "MAX_QUEUED_MESSAGES",
    "QnvError", "DeviceError", "AuthenticationError", "QnvConnectionError", "QnvTimeoutError",
    "AddressError", "NotFoundError", "LimitError", "RecordingError", "CaptureError",
    "FirmwareError", "ProtocolError", "InCallbackError",
]

__version__ = "1.0.0"

# The frame header layout, as QNVNET_FRAME_* in qnvnet.h.
FRAME_HEADER_SIZE = 40
FRAME_KIND_OFFSET = 35
FRAME_KEY = 1
FRAME_P = 2
# A get reads at most this much: the library's replies carry at most 4,096 bytes.
_GET_CAPACITY = 4096

MAX_PAYLOAD = _checks.MAX_PAYLOAD
"""The most bytes a set (config_set, rules_upload, ...) sends."""
MAX_QUEUED_MESSAGES = 1024
"""Device messages the library keeps per session while the message callback
is behind; beyond them the oldest are dropped (Device.message_drops)."""

LOST_BROKEN_CONNECTION = _native.LOST_BROKEN_CONNECTION
LOST_NO_KEEPALIVE_ANSWER = _native.LOST_NO_KEEPALIVE_ANSWER
LOST_STREAM_STALLED = _native.LOST_STREAM_STALLED
LOST_MALFORMED_MESSAGE = _native.LOST_MALFORMED_MESSAGE

_log = logging.getLogger("qnvnet")


class Loss(NamedTuple):
    """Why a session or a channel was lost: reason (LOST_*), its text, the
    session's client id, the channel's handle (0 for a session) and detail
    (errno for a broken connection, the time-out in ms for a stall)."""
    reason: int
    text: str
    client_id: int
    handle: int
    detail: int


def _loss(raw: _native.LOSS) -> Optional[Loss]:
    if raw.reason == _native.LOST_NONE:
        return None
    return Loss(raw.reason, bytes(_lib.qnvnet_loss_text(raw.reason)).decode(), raw.client_id,
                raw.handle, raw.detail)


def version() -> Tuple[int, int]:
    """The library's version as (major, minor)."""
    v = ctypes.c_uint32()
    check("version", _lib.qnvnet_version(ctypes.byref(v)))
    return (v.value >> 24, (v.value >> 16) & 0xFF)


def decoder_available() -> bool:
    """True when the player library can be loaded (it is loaded now), so
    frames are decoded and snapshots can be written."""
    a = ctypes.c_int32()
    check("decoder_available", _lib.qnvnet_decoder_available(ctypes.byref(a)))
    return bool(a.value)


class Frame:
    """One stream frame as the library delivers it: the 40-byte header, then
    the H.264 payload."""

    __slots__ = ("data",)

    def __init__(self, data: bytes) -> None:
        self.data = data

    @property
    def header(self) -> bytes:
        """The 40-byte frame header."""
        return self.data[:FRAME_HEADER_SIZE]

    @property
    def payload(self) -> bytes:
        """The H.264 bytes after the header."""
        return self.data[FRAME_HEADER_SIZE:]

    @property
    def kind(self) -> int:
        """The slice probe's mark: 1 key frame, 2 P frame, 0 other."""
        return self.data[FRAME_KIND_OFFSET] if len(self.data) > FRAME_KIND_OFFSET else 0

    @property
    def is_key(self) -> bool:
        """Byte 35 marks an I slice; parameter sets may carry the mark too.
        Count with nal_type, is_picture and is_key_picture."""
        return self.kind == FRAME_KEY

    def _nal(self) -> _native.NAL_INFO:
        info = _native.NAL_INFO()
        _lib.qnvnet_frame_nal(self.data, len(self.data), ctypes.byref(info))
        return info

    @property
    def nal_type(self) -> int:
        """The H.264 NAL unit type of the payload, or -1."""
        return int(self._nal().type)

    @property
    def is_picture(self) -> bool:
        """The frame begins a picture (one per picture a player shows)."""
        return bool(self._nal().starts_picture)

    @property
    def is_key_picture(self) -> bool:
        """The frame begins a picture a decoder can start at."""
        return bool(self._nal().key_picture)

    def __len__(self) -> int:
        return len(self.data)

    def __repr__(self) -> str:
        return "Frame(kind=%d, %d bytes)" % (self.kind, len(self.data))


class Event(NamedTuple):
    """A device event: kind "message" (value, body bytes), "disconnect" (the
    session was lost and is gone; loss says why) or "stream-lost" (a
    channel's stream was lost, its connection broke or it stalled; loss says
    why and names the channel's handle; the channel stays open and silent).
    device_ip and port are the device's as given at login (port + 2 for a
    stream)."""
    kind: str
    value: int
    body: bytes
    device_ip: str
    port: int
    loss: Optional[Loss] = None


FrameCallback = Callable[[Frame], object]
EventCallback = Callable[[Event], object]


class _CallbackErrors:
    """Reports exceptions raised by the host's callbacks: the first of a
    burst with its traceback, then one line per burst with how many followed.
    Any thread."""

    BURST_SECONDS = 5.0

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._last: Dict[object, float] = {}
        self._quiet: Dict[object, int] = {}

    def report(self, where: str, error: BaseException, key: object = None) -> None:
        """Logs error (raised by the callback named where), once per burst of
        the same key (where itself when none is given)."""
        if key is None:
            key = where
        now = time.monotonic()
        with self._lock:
            last = self._last.get(key)
            if last is not None and now - last < self.BURST_SECONDS:
                self._quiet[key] = self._quiet.get(key, 0) + 1
                return
            self._last[key] = now
            quiet = self._quiet.pop(key, 0)
        more = " (%d more since the last report)" % quiet if quiet else ""
        _log.error("%s raised %s%s; it keeps being called", where, type(error).__name__, more,
                   exc_info=(type(error), error, error.__traceback__))


_errors = _CallbackErrors()


class _Dispatch:
    """Routes the library's callbacks to the Python objects of each session.
    One instance; its lock guards the tables, never a call into the host."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.channels: Dict[int, Set["LiveChannel"]] = {}  # client id -> channels
        self.devices: Dict[int, "Device"] = {}  # client id -> Device
        # Kept alive here: the library calls them until the process ends.
        self.on_message = _native.MESSAGE_CB(self._message)
        self.on_stream = _native.STREAM_CB(self._stream)
        self.on_disconnect = _native.DISCONNECT_CB(self._disconnect)
        self.started = False

    def start(self) -> None:
        with self.lock:
            if self.started:
                return
            self.started = True
        _lib.qnvnet_set_message_callback(self.on_message, None)
        _lib.qnvnet_set_stream_callback(self.on_stream, None)
        _lib.qnvnet_set_disconnect_callback(self.on_disconnect, None)
        check("init", _lib.qnvnet_init())
        atexit.register(self.stop)

    def stop(self) -> None:
        # Waits for callbacks in progress (the library's uninit does).
        # Function pointers at address 0: NULL, which unregisters.
        _lib.qnvnet_set_message_callback(_native.MESSAGE_CB(0), None)
        _lib.qnvnet_set_stream_callback(_native.STREAM_CB(0), None)
        _lib.qnvnet_set_disconnect_callback(_native.DISCONNECT_CB(0), None)
        _lib.qnvnet_uninit()

    # The three entry points from the library. Nothing may escape them: each
    # channel's and device's own handling catches what the host raises.
    def _stream(self, user: Optional[int], client_id: int, ip: Optional[bytes], port: int,
                frame: "ctypes._Pointer[ctypes.c_uint8]", length: int) -> None:
        try:
            with self.lock:
                targets = list(self.channels.get(client_id, ()))
            if not targets:
                return
            data = ctypes.string_at(frame, length)
            for channel in targets:
                channel._deliver(Frame(data))
        except BaseException as error:  # noqa: B902 - nothing may reach ctypes
            _errors.report("qnvnet frame dispatch", error)

    def _message(self, user: Optional[int], client_id: int, ip: Optional[bytes], port: int,
                 value: int, body: "ctypes._Pointer[ctypes.c_uint8]", length: int) -> None:
        try:
            with self.lock:
                device = self.devices.get(client_id)
            if device is not None:
                data = ctypes.string_at(body, length) if length > 0 else b""
                device._event(Event("message", value, data, (ip or b"").decode(), port))
        except BaseException as error:  # noqa: B902
            _errors.report("qnvnet message dispatch", error)

    def _disconnect(self, user: Optional[int], client_id: int, ip: Optional[bytes],
                    port: int) -> None:
        try:
            raw = _native.LOSS()
            _lib.qnvnet_disconnect_reason(ctypes.byref(raw))  # only here, inside the callback
            loss = _loss(raw)
            with self.lock:
                device = self.devices.get(client_id)
                channels = list(self.channels.get(client_id, ()))
            stream = loss is not None and loss.handle != 0
            if stream:
                for channel in channels:
                    if loss is not None and channel.handle == loss.handle:
                        channel._lost(loss)
            if device is not None:
                device._event(Event("stream-lost" if stream else "disconnect", 0, b"",
                                    (ip or b"").decode(), port, loss))
        except BaseException as error:  # noqa: B902
            _errors.report("qnvnet disconnect dispatch", error)


_dispatch = _Dispatch()

_GetFunction = Callable[..., int]


def _get(operation: str, fn: _GetFunction, *args: int) -> bytes:
    buffer = ctypes.create_string_buffer(_GET_CAPACITY)
    length = ctypes.c_int32(_GET_CAPACITY)
    check(operation, fn(*args, buffer, ctypes.byref(length)))
    return buffer.raw[:min(max(length.value, 0), _GET_CAPACITY)]


def _callable(name: str, value: object) -> None:
    if value is not None and not callable(value):
        raise TypeError("%s must be callable or None, not %s" % (name, type(value).__name__))


class Device:
    """A logged-in device session; a context manager that logs out on exit.
    Methods may be called from any thread, also from callbacks.

    Device(host, port=9000, user="admin", password="admin", event_queue=1024,
    on_event=None) logs in. host is a dotted IPv4 address or a host name
    (resolved to its first IPv4 address, as qnvctl does); port 1..65533 (the
    device's streams use port + 2); user and password str of at most 16 bytes
    in UTF-8. Events (device messages, losses) go to the events() queue, at
    most event_queue of them (newer ones are dropped and counted in
    events_dropped while it is full), and to on_event(event) when given
    (see the package's text for its threads).

    Raises TypeError or ValueError for a bad argument, AddressError for a host
    that does not resolve, AuthenticationError for refused credentials,
    QnvConnectionError or QnvTimeoutError when the device cannot be reached,
    LimitError when 500 sessions are logged in.

    Attributes: client_id (the library's session id; None once closed),
    host and port as given, address (the IPv4 address host resolved to),
    events_dropped, callback_errors (exceptions on_event raised).
    """

    def __init__(self, host: str, port: int = 9000, user: str = "admin",
                 password: str = "admin", event_queue: int = 1024,
                 on_event: Optional[EventCallback] = None) -> None:
        self.client_id: Optional[int] = None
        _checks.text("host", host)
        _checks.integer("port", port, 1, 65533)
        user_bytes = _checks.text("user", user, _checks.MAX_CREDENTIAL)
        password_bytes = _checks.text("password", password, _checks.MAX_CREDENTIAL)
        _checks.integer("event_queue", event_queue, 1, 1 << 24)
        _callable("on_event", on_event)
        try:
            address = _checks.host_address("host", host)
        except OSError as error:
            raise AddressError("login to %s:%d" % (host, port), _native.E_NO_SESSION,
                               _native.REASON_BAD_ADDRESS, 0,
                               "cannot resolve %r to an IPv4 address: %s" % (host, error)) from None
        _dispatch.start()
        self.host: str = host
        self.address: str = address
        self.port: int = port
        self.on_event: Optional[EventCallback] = on_event
        self.events_dropped: int = 0
        self.callback_errors: int = 0
        self._events: "queue.Queue[Event]" = queue.Queue(maxsize=event_queue)
        cid = ctypes.c_uint32()
        check("login to %s:%d" % (host, port),
              _lib.qnvnet_login(ctypes.byref(cid), address.encode(), port, user_bytes,
                                password_bytes))
        self.client_id = cid.value
        with _dispatch.lock:
            _dispatch.devices[self.client_id] = self

    def close(self) -> None:
        """Closes the session's channels and recordings and logs out. Does
        nothing when already closed."""
        client_id = self.client_id
        if client_id is None:
            return
        with _dispatch.lock:
            _dispatch.devices.pop(client_id, None)
            channels = _dispatch.channels.pop(client_id, set())
        for channel in channels:
            channel._finish()
        _lib.qnvnet_logout(client_id)
        self.client_id = None

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                 trace: Optional[TracebackType]) -> None:
        self.close()

    def __repr__(self) -> str:
        return "Device(%r, %d, client_id=%r)" % (self.host, self.port, self.client_id)

    def _id(self) -> int:
        if self.client_id is None:
            raise NotFoundError("device", _native.E_NO_SESSION, _native.REASON_NOT_FOUND, 0,
                                "logged out")
        return self.client_id

    # Configuration and commands.
    def config_get(self, selector: int) -> bytes:
        """Reads configuration selector (0..2**32-1) and returns the reply's
        bytes. Raises DeviceError when the device refuses it (detail: its
        code), QnvConnectionError/QnvTimeoutError, NotFoundError after
        close()."""
        _checks.integer("selector", selector)
        return _get("config get %d" % selector, _lib.qnvnet_config_get, self._id(), selector)

    def config_set(self, selector: int, data: Payload) -> None:
        """Writes configuration selector with data (bytes, bytearray or
        memoryview, at most MAX_PAYLOAD bytes). Raises as config_get."""
        _checks.integer("selector", selector)
        payload = _checks.payload("data", data)
        check("config set %d" % selector,
              _lib.qnvnet_config_set(self._id(), selector, payload, len(payload)))

    def system_command(self, selector: int, data: Payload = b"") -> None:
        """Sends system command selector with an optional payload (bytes-like,
        at most MAX_PAYLOAD bytes). Raises as config_get."""
        _checks.integer("selector", selector)
        payload = _checks.payload("data", data)
        check("system command %d" % selector,
              _lib.qnvnet_system_command(self._id(), selector, payload or None, len(payload)))

    # PTZ.
    def ptz_move(self, v1: int, v2: int, v3: int, v4: int) -> None:
        """Sends a PTZ move of four device-defined values (each
        0..2**32-1). Raises as config_get."""
        for name, v in (("v1", v1), ("v2", v2), ("v3", v3), ("v4", v4)):
            _checks.integer(name, v)
        check("ptz move", _lib.qnvnet_ptz_move(self._id(), v1, v2, v3, v4))

    def ptz_preset(self, v1: int, v2: int) -> None:
        """Sends a PTZ preset command of two device-defined values (each
        0..2**32-1). Raises as config_get."""
        _checks.integer("v1", v1)
        _checks.integer("v2", v2)
        check("ptz preset", _lib.qnvnet_ptz_preset(self._id(), v1, v2))

    def ptz_get_param(self, selector: int) -> bytes:
        """Reads PTZ parameter selector and returns the reply's bytes.
        Raises as config_get."""
        _checks.integer("selector", selector)
        return _get("ptz get %d" % selector, _lib.qnvnet_ptz_get_param, self._id(), selector)

    # Analysis rules and algorithm parameters.
    def rules_download(self) -> bytes:
        """Returns the device's analysis rules as bytes. Raises as
        config_get."""
        return _get("rules download", _lib.qnvnet_rules_download, self._id())

    def rules_upload(self, data: Payload) -> None:
        """Uploads analysis rules (bytes-like, at most MAX_PAYLOAD bytes).
        Raises as config_set."""
        payload = _checks.payload("data", data)
        check("rules upload", _lib.qnvnet_rules_upload(self._id(), payload, len(payload)))

    @property
    def rules_enabled(self) -> bool:
        """Whether rule processing is on; set it (True or False) to switch
        it. Reading and setting raise as config_get."""
        on = ctypes.c_int32()
        check("rules state", _lib.qnvnet_rules_state(self._id(), ctypes.byref(on)))
        return bool(on.value)

    @rules_enabled.setter
    def rules_enabled(self, on: bool) -> None:
        if not isinstance(on, bool):
            raise TypeError("rules_enabled must be a bool, not %s" % type(on).__name__)
        check("rules enable", _lib.qnvnet_rules_enable(self._id(), 1 if on else 0))

    def algorithm_get(self, selector: int) -> bytes:
        """Reads algorithm parameter selector and returns the reply's bytes.
        Raises as config_get."""
        _checks.integer("selector", selector)
        return _get("algorithm get %d" % selector, _lib.qnvnet_algorithm_get, self._id(),
                    selector)

    def algorithm_set(self, selector: int, data: Payload) -> None:
        """Writes algorithm parameter selector (bytes-like data, at most
        MAX_PAYLOAD bytes). Raises as config_set."""
        _checks.integer("selector", selector)
        payload = _checks.payload("data", data)
        check("algorithm set %d" % selector,
              _lib.qnvnet_algorithm_set(self._id(), selector, payload, len(payload)))

    # Firmware.
    def firmware_upload(self, path: PathArg) -> None:
        """Uploads the firmware image at path (str, bytes or os.PathLike).
        Raises FirmwareError when the file cannot be read (or is not a regular
        file, or is 2 GiB or more) or the device refuses a chunk, and as
        config_get."""
        encoded = _checks.path("path", path)
        check("firmware upload", _lib.qnvnet_firmware_upload(self._id(), encoded))

    def firmware_start(self) -> None:
        """Starts installing the uploaded image and waits for the device's
        answer (up to 180 s, twice when silent). Raises as config_get."""
        check("firmware start", _lib.qnvnet_firmware_start(self._id()))

    # Live video.
    def live(self, on_frame: Optional[FrameCallback] = None,
             queue_size: int = 256) -> "LiveChannel":
        """Opens a live channel without a window and returns it. Frames reach
        on_frame(frame) on the channel's receive thread (an exception there
        is logged and counted, never stops the frames), and the frames()
        iterator (queue_size of them wait at most; newer ones are dropped and
        counted while it is full). Raises LimitError (64 channels),
        QnvConnectionError and as config_get."""
        return LiveChannel(self, on_frame, queue_size)

    # Events.
    def _event(self, event: Event) -> None:
        try:
            self._events.put_nowait(event)
        except queue.Full:
            self.events_dropped += 1  # the host is not reading; the oldest stay
        callback = self.on_event
        if callback is not None:
            try:
                callback(event)
            except Exception as error:
                self.callback_errors += 1
                _errors.report("on_event of %r" % self, error)

    def events(self, timeout: Optional[float] = None) -> Iterator[Event]:
        """Yields the device's events (Event) as they come; stops after a
        disconnect, or when none came for timeout seconds (None: waits)."""
        wait = _checks.optional_number("timeout", timeout, 0.0, 1e9)  # checked at the call
        return self._event_iterator(wait)

    def _event_iterator(self, wait: Optional[float]) -> Iterator[Event]:
        while True:
            try:
                event = self._events.get(timeout=wait)
            except queue.Empty:
                return
            yield event
            if event.kind == "disconnect":
                return

    def message_drops(self) -> int:
        """How many device messages of this session the library dropped since
        the login because the message callback fell behind (it keeps
        MAX_QUEUED_MESSAGES per session). Raises NotFoundError after
        close()."""
        dropped = ctypes.c_uint64()
        check("message drops", _lib.qnvnet_message_drops(self._id(), ctypes.byref(dropped)))
        return int(dropped.value)

    def loss(self) -> Optional[Loss]:
        """Why the session was lost (a Loss), or None while it is not; only
        asked of a session that stays registered (the package's callbacks end
        a lost session, so this is None for a live Device). Raises
        NotFoundError after close()."""
        raw = _native.LOSS()
        check("session loss reason",
              _lib.qnvnet_session_loss_reason(self._id(), ctypes.byref(raw)))
        return _loss(raw)


class LiveChannel:
    """An open live channel (Device.live); a context manager that closes it.
    dropped counts frames the frames() queue had no room for;
    callback_errors the exceptions on_frame raised."""

    def __init__(self, device: Device, on_frame: Optional[FrameCallback] = None,
                 queue_size: int = 256) -> None:
        _callable("on_frame", on_frame)
        _checks.integer("queue_size", queue_size, 1, 1 << 24)
        self.device = device
        self.on_frame: Optional[FrameCallback] = on_frame
        self.dropped = 0
        self.callback_errors = 0
        self._queue: "queue.Queue[Optional[Frame]]" = queue.Queue(maxsize=queue_size)
        self._closed = False
        self._loss: Optional[Loss] = None
        self.handle: int = 0
        cid = device._id()
        with _dispatch.lock:
            _dispatch.channels.setdefault(cid, set()).add(self)
        handle = ctypes.c_uint32()
        try:
            check("live open", _lib.qnvnet_live_open(ctypes.byref(handle), cid, None))
        except QnvError:
            self._finish()
            raise
        self.handle = handle.value

    def __repr__(self) -> str:
        return "LiveChannel(handle=%#x)" % self.handle

    def _deliver(self, frame: Frame) -> None:
        callback = self.on_frame
        if callback is not None:
            try:
                callback(frame)
            except Exception as error:
                self.callback_errors += 1
                # Keyed by the channel, not its text: the first frames may
                # come before live open has returned the handle.
                _errors.report("on_frame of %r" % self, error, key=("on_frame", id(self)))
        try:
            self._queue.put_nowait(frame)
        except queue.Full:
            self.dropped += 1

    def _lost(self, loss: Loss) -> None:
        self._loss = loss
        try:
            self._queue.put_nowait(None)  # ends a waiting iterator
        except queue.Full:
            pass

    def _finish(self) -> None:
        with _dispatch.lock:
            if self.device.client_id is not None:
                channels = _dispatch.channels.get(self.device.client_id)
                if channels is not None:
                    channels.discard(self)
        self._closed = True
        try:
            self._queue.put_nowait(None)  # wakes a waiting iterator
        except queue.Full:
            pass

    def close(self) -> None:
        """Closes the channel and its recordings. Does nothing when already
        closed."""
        if self._closed:
            return
        self._finish()
        _lib.qnvnet_live_close(self.handle)

    def __enter__(self) -> "LiveChannel":
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                 trace: Optional[TracebackType]) -> None:
        self.close()

    def frames(self, count: Optional[int] = None,
               timeout: Optional[float] = 10.0) -> Iterator[Frame]:
        """Yields frames as they arrive, count of them (None: until the
        channel closes). Raises QnvTimeoutError when none came for timeout
        seconds (None: waits), QnvConnectionError when the stream was lost
        (the reason in its text; loss() tells more)."""
        if count is not None:
            _checks.integer("count", count, 0, 1 << 62)
        wait = _checks.optional_number("timeout", timeout, 0.0, 1e9)  # checked at the call
        return self._frame_iterator(count, wait)

    def _frame_iterator(self, count: Optional[int], wait: Optional[float]) -> Iterator[Frame]:
        n = 0
        while count is None or n < count:
            try:
                frame = self._queue.get(timeout=wait)
            except queue.Empty:
                raise QnvTimeoutError("live frames", _native.E_NO_REPLY, _native.REASON_NO_ANSWER,
                                      0, "no frame within %g s" % (wait or 0.0)) from None
            if frame is None:
                if self._loss is not None and not self._closed:
                    raise QnvConnectionError("live frames", _native.E_NO_CHANNEL,
                                             _native.REASON_NETWORK, self._loss.detail,
                                             "stream lost: " + self._loss.text)
                return
            n += 1
            yield frame

    def __iter__(self) -> Iterator[Frame]:
        return self.frames()

    def pause(self) -> None:
        """Asks the device to pause the stream. Raises as Device.config_get."""
        check("live pause", _lib.qnvnet_live_pause(self.handle))

    def play(self) -> None:
        """Asks the device to resume the stream. Raises as Device.config_get."""
        check("live play", _lib.qnvnet_live_play(self.handle))

    def snapshot(self, path: PathArg, wait: float = 5.0) -> None:
        """Writes the latest picture to path (.jpg/.jpeg, .png, .bmp),
        retrying until wait seconds (0..3600) passed while no picture is
        decoded yet. Raises CaptureError when none was written."""
        encoded = _checks.path("path", path)
        seconds = _checks.number("wait", wait, 0.0, 3600.0)
        deadline = time.monotonic() + seconds
        while True:
            code = _lib.qnvnet_live_capture(self.handle, encoded)
            if code != _native.E_CAPTURE or time.monotonic() >= deadline:
                check("snapshot %s" % os.fsdecode(encoded), code)
                return
            time.sleep(0.1)

    def set_stall_timeout(self, seconds: float) -> None:
        """Reports the stream as lost when it plays and no frame came for
        seconds (0 turns it off; else 0.1 to 3600): frames() then ends with a
        QnvConnectionError and the Device gets a "stream-lost" event. Never
        while the channel is paused. Raises ValueError out of range."""
        value = _checks.number("seconds", seconds, 0.0, 3600.0)
        if value != 0 and value < 0.1:
            raise ValueError("seconds must be 0 or in 0.1..3600, not %r" % seconds)
        check("set stall timeout",
              _lib.qnvnet_live_set_stall_timeout(self.handle, int(round(value * 1000))))

    def loss(self) -> Optional[Loss]:
        """Why the stream was lost (a Loss), or None while it is not."""
        raw = _native.LOSS()
        check("live loss reason", _lib.qnvnet_live_loss_reason(self.handle, ctypes.byref(raw)))
        return _loss(raw)

    def record(self, path: PathArg) -> "Recording":
        """Starts a recording into path (and path's .idx index) and returns
        it. Raises RecordingError when its files cannot be opened, LimitError
        with 16 recordings open."""
        return Recording(self, path)

    def set_prerecord(self, milliseconds: int, max_bytes: int = 0) -> None:
        """Keeps at least the last milliseconds of video (0: the default
        stretch) within max_bytes (0: 16 MiB) for each new recording (each
        0..2**32-1). Raises ValueError for values the library refuses."""
        _checks.integer("milliseconds", milliseconds)
        _checks.integer("max_bytes", max_bytes)
        check("set pre-record",
              _lib.qnvnet_live_set_prerecord(self.handle, milliseconds, max_bytes))


class Recording:
    """A running recording (LiveChannel.record); a context manager that ends
    it."""

    def __init__(self, channel: LiveChannel, path: PathArg, rid: Optional[int] = None) -> None:
        encoded = _checks.path("path", path)
        self.channel = channel
        self.path = path
        if rid is None:
            out = ctypes.c_uint32()
            check("record %s" % os.fsdecode(encoded),
                  _lib.qnvnet_record_open(channel.handle, encoded, ctypes.byref(out)))
            rid = out.value
        self.id: int = rid
        self._open = True

    def __repr__(self) -> str:
        return "Recording(%r, id=%d)" % (self.path, self.id)

    def rollover(self, new_path: PathArg) -> "Recording":
        """Hands over to a new recording into new_path at the next key frame:
        this one then ends with complete files. Returns the new Recording.
        Raises RecordingError as record(), NotFoundError when this one has
        ended."""
        encoded = _checks.path("new_path", new_path)
        out = ctypes.c_uint32()
        check("rollover to %s" % os.fsdecode(encoded),
              _lib.qnvnet_record_rollover(self.channel.handle, self.id, encoded,
                                          ctypes.byref(out)))
        self._open = False  # it ends by itself at the hand-over
        return Recording(self.channel, new_path, out.value)

    def close(self) -> None:
        """Ends the recording, its files complete. Does nothing when already
        ended."""
        if self._open:
            self._open = False
            check("record close", _lib.qnvnet_record_close(self.channel.handle, self.id))

    def __enter__(self) -> "Recording":
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                 trace: Optional[TracebackType]) -> None:
        self.close()
