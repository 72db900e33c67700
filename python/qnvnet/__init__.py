"""qnvnet: Python access to QNVNetSdk, the client library for networked
video-analytics cameras and encoders, over its C interface (qnvnet.h).

    import qnvnet

    with qnvnet.Device("127.0.0.1", 9000, "admin", "admin") as dev:
        info = dev.config_get(13)
        with dev.live() as channel:
            for frame in channel.frames(count=25):
                print(frame.kind, len(frame.payload))
            channel.snapshot("now.jpg")

Every failure raises a qnvnet.QnvError subclass (see qnvnet.errors) with the
result code and the library's reason. The library is started on the first
Device and stopped when the interpreter exits.

Callbacks (a channel's frame callback, the frames and events iterators) are
fed on the library's threads. The library names the device session, not the
channel, with each frame: every open channel of one Device sees the frames of
all that Device's channels, so open one channel per Device when they must
stay apart.
"""

import atexit
import collections
import ctypes
import os
import queue
import threading
import time

from . import _native
from ._native import lib as _lib
from .errors import (AddressError, AuthenticationError, CaptureError, DeviceError,
                     FirmwareError, LimitError, NotFoundError, ProtocolError, QnvConnectionError,
                     QnvError, QnvTimeoutError, RecordingError, check)

__all__ = [
    "Device", "LiveChannel", "Recording", "Frame", "Event", "version", "decoder_available",
    "QnvError", "DeviceError", "AuthenticationError", "QnvConnectionError", "QnvTimeoutError",
    "AddressError", "NotFoundError", "LimitError", "RecordingError", "CaptureError",
    "FirmwareError", "ProtocolError",
]

__version__ = "1.0.0"

# The frame header layout, as QNVNET_FRAME_* in qnvnet.h.
FRAME_HEADER_SIZE = 40
FRAME_KIND_OFFSET = 35
FRAME_KEY = 1
FRAME_P = 2
# A get reads at most this much: the library's replies carry at most 4,096 bytes.
_GET_CAPACITY = 4096


def version():
    """The library's version as (major, minor)."""
    v = ctypes.c_uint32()
    check("version", _lib.qnvnet_version(ctypes.byref(v)))
    return (v.value >> 24, (v.value >> 16) & 0xFF)


def decoder_available():
    """True when the player library is loaded, so frames are decoded and
    snapshots can be written."""
    a = ctypes.c_int32()
    check("decoder_available", _lib.qnvnet_decoder_available(ctypes.byref(a)))
    return bool(a.value)


class Frame:
    """One stream frame: the 40-byte header and the H.264 payload."""

    __slots__ = ("data",)

    def __init__(self, data):
        self.data = data

    @property
    def header(self):
        return self.data[:FRAME_HEADER_SIZE]

    @property
    def payload(self):
        return self.data[FRAME_HEADER_SIZE:]

    @property
    def kind(self):
        """1 key frame, 2 P frame, 0 other."""
        return self.data[FRAME_KIND_OFFSET] if len(self.data) > FRAME_KIND_OFFSET else 0

    @property
    def is_key(self):
        return self.kind == FRAME_KEY

    def __len__(self):
        return len(self.data)

    def __repr__(self):
        return "Frame(kind=%d, %d bytes)" % (self.kind, len(self.data))


Event = collections.namedtuple("Event", "kind value body device_ip port")
Event.__doc__ = """A device event: kind "message" (value, body bytes) or
"disconnect" (the command connection failed; the session is gone)."""


class _Dispatch:
    """Routes the library's callbacks to the Python objects of each session.
    One instance; its lock guards the tables, never a call into the host."""

    def __init__(self):
        self.lock = threading.Lock()
        self.channels = {}  # client id -> set of LiveChannel
        self.devices = {}  # client id -> Device
        # Kept alive here: the library calls them until the process ends.
        self.on_message = _native.MESSAGE_CB(self._message)
        self.on_stream = _native.STREAM_CB(self._stream)
        self.on_disconnect = _native.DISCONNECT_CB(self._disconnect)
        self.started = False

    def start(self):
        with self.lock:
            if self.started:
                return
            self.started = True
        _lib.qnvnet_set_message_callback(self.on_message, None)
        _lib.qnvnet_set_stream_callback(self.on_stream, None)
        _lib.qnvnet_set_disconnect_callback(self.on_disconnect, None)
        check("init", _lib.qnvnet_init())
        atexit.register(self.stop)

    def stop(self):
        _lib.qnvnet_set_message_callback(_native.MESSAGE_CB(), None)
        _lib.qnvnet_set_stream_callback(_native.STREAM_CB(), None)
        _lib.qnvnet_set_disconnect_callback(_native.DISCONNECT_CB(), None)
        _lib.qnvnet_uninit()

    def _stream(self, user, client_id, ip, port, frame, length):
        with self.lock:
            targets = list(self.channels.get(client_id, ()))
        if not targets:
            return
        data = ctypes.string_at(frame, length)
        for channel in targets:
            channel._deliver(Frame(data))

    def _message(self, user, client_id, ip, port, value, body, length):
        with self.lock:
            device = self.devices.get(client_id)
        if device is not None:
            data = ctypes.string_at(body, length) if length > 0 else b""
            device._event(Event("message", value, data, (ip or b"").decode(), port))

    def _disconnect(self, user, client_id, ip, port):
        with self.lock:
            device = self.devices.get(client_id)
        if device is not None:
            device._event(Event("disconnect", 0, b"", (ip or b"").decode(), port))


_dispatch = _Dispatch()


def _get(operation, fn, *args):
    buffer = ctypes.create_string_buffer(_GET_CAPACITY)
    length = ctypes.c_int32(_GET_CAPACITY)
    check(operation, fn(*args, buffer, ctypes.byref(length)))
    return buffer.raw[:min(max(length.value, 0), _GET_CAPACITY)]


def _path(path):
    return os.fsencode(path)


class Device:
    """A logged-in device session; a context manager that logs out on exit.
    Methods may be called from any thread."""

    def __init__(self, host, port=9000, user="admin", password="admin", event_queue=1024):
        _dispatch.start()
        self.host, self.port = host, port
        self._events = queue.Queue(maxsize=event_queue)
        cid = ctypes.c_uint32()
        check("login to %s:%d" % (host, port),
              _lib.qnvnet_login(ctypes.byref(cid), host.encode(), port, user.encode(),
                                password.encode()))
        self.client_id = cid.value
        with _dispatch.lock:
            _dispatch.devices[self.client_id] = self

    def close(self):
        """Closes the session's channels and recordings and logs out."""
        if self.client_id is None:
            return
        with _dispatch.lock:
            _dispatch.devices.pop(self.client_id, None)
            channels = _dispatch.channels.pop(self.client_id, set())
        for channel in channels:
            channel._finish()
        _lib.qnvnet_logout(self.client_id)
        self.client_id = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _id(self):
        if self.client_id is None:
            raise NotFoundError("device", -30, _native.REASON_NOT_FOUND, 0, "logged out")
        return self.client_id

    # Configuration and commands.
    def config_get(self, selector):
        return _get("config get %d" % selector, _lib.qnvnet_config_get, self._id(), selector)

    def config_set(self, selector, data):
        check("config set %d" % selector,
              _lib.qnvnet_config_set(self._id(), selector, data, len(data)))

    def system_command(self, selector, data=b""):
        check("system command %d" % selector,
              _lib.qnvnet_system_command(self._id(), selector, data or None, len(data)))

    # PTZ.
    def ptz_move(self, v1, v2, v3, v4):
        check("ptz move", _lib.qnvnet_ptz_move(self._id(), v1, v2, v3, v4))

    def ptz_preset(self, v1, v2):
        check("ptz preset", _lib.qnvnet_ptz_preset(self._id(), v1, v2))

    def ptz_get_param(self, selector):
        return _get("ptz get %d" % selector, _lib.qnvnet_ptz_get_param, self._id(), selector)

    # Analysis rules and algorithm parameters.
    def rules_download(self):
        return _get("rules download", _lib.qnvnet_rules_download, self._id())

    def rules_upload(self, data):
        check("rules upload", _lib.qnvnet_rules_upload(self._id(), data, len(data)))

    @property
    def rules_enabled(self):
        on = ctypes.c_int32()
        check("rules state", _lib.qnvnet_rules_state(self._id(), ctypes.byref(on)))
        return bool(on.value)

    @rules_enabled.setter
    def rules_enabled(self, on):
        check("rules enable", _lib.qnvnet_rules_enable(self._id(), 1 if on else 0))

    def algorithm_get(self, selector):
        return _get("algorithm get %d" % selector, _lib.qnvnet_algorithm_get, self._id(),
                    selector)

    def algorithm_set(self, selector, data):
        check("algorithm set %d" % selector,
              _lib.qnvnet_algorithm_set(self._id(), selector, data, len(data)))

    # Firmware.
    def firmware_upload(self, path):
        check("firmware upload", _lib.qnvnet_firmware_upload(self._id(), _path(path)))

    def firmware_start(self):
        check("firmware start", _lib.qnvnet_firmware_start(self._id()))

    # Live video.
    def live(self, on_frame=None, queue_size=256):
        """Opens a live channel (no window). Frames reach on_frame(frame) on
        the channel's receive thread, and the frames() iterator."""
        return LiveChannel(self, on_frame, queue_size)

    # Events.
    def _event(self, event):
        try:
            self._events.put_nowait(event)
        except queue.Full:
            pass  # the host is not reading; the oldest stay, newer ones are dropped

    def events(self, timeout=None):
        """Yields the device's events (Event) as they come; stops after a
        disconnect, or when none came for timeout seconds (None: waits)."""
        while True:
            try:
                event = self._events.get(timeout=timeout)
            except queue.Empty:
                return
            yield event
            if event.kind == "disconnect":
                return


class LiveChannel:
    """An open live channel; a context manager that closes it."""

    def __init__(self, device, on_frame=None, queue_size=256):
        self.device = device
        self.on_frame = on_frame
        self.dropped = 0
        self._queue = queue.Queue(maxsize=queue_size)
        self._closed = False
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

    def _deliver(self, frame):
        callback = self.on_frame
        if callback is not None:
            callback(frame)
        try:
            self._queue.put_nowait(frame)
        except queue.Full:
            self.dropped += 1

    def _finish(self):
        with _dispatch.lock:
            channels = _dispatch.channels.get(self.device.client_id)
            if channels is not None:
                channels.discard(self)
        self._closed = True
        try:
            self._queue.put_nowait(None)  # wakes a waiting iterator
        except queue.Full:
            pass

    def close(self):
        if self._closed:
            return
        self._finish()
        _lib.qnvnet_live_close(self.handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def frames(self, count=None, timeout=10.0):
        """Yields frames as they arrive, count of them (None: until the
        channel closes). Raises QnvTimeoutError when none came for timeout
        seconds."""
        n = 0
        while count is None or n < count:
            try:
                frame = self._queue.get(timeout=timeout)
            except queue.Empty:
                raise QnvTimeoutError("live frames", -24, _native.REASON_NO_ANSWER, 0,
                                      "no frame within %g s" % timeout) from None
            if frame is None:
                return
            n += 1
            yield frame

    def __iter__(self):
        return self.frames()

    def pause(self):
        check("live pause", _lib.qnvnet_live_pause(self.handle))

    def play(self):
        check("live play", _lib.qnvnet_live_play(self.handle))

    def snapshot(self, path, wait=5.0):
        """Writes the latest picture to path (.jpg/.jpeg, .png, .bmp),
        retrying until wait seconds passed while no picture is decoded yet."""
        deadline = time.monotonic() + wait
        while True:
            code = _lib.qnvnet_live_capture(self.handle, _path(path))
            if code != -80 or time.monotonic() >= deadline:
                check("snapshot %s" % path, code)
                return
            time.sleep(0.1)

    def record(self, path):
        """Starts a recording into path (and path's .idx index)."""
        return Recording(self, path)

    def set_prerecord(self, milliseconds, max_bytes=0):
        """Keeps at least the last milliseconds of video (0: the default
        stretch) within max_bytes (0: 16 MiB) for each new recording."""
        check("set pre-record",
              _lib.qnvnet_live_set_prerecord(self.handle, milliseconds, max_bytes))


class Recording:
    """A running recording; a context manager that ends it."""

    def __init__(self, channel, path, rid=None):
        self.channel = channel
        self.path = path
        if rid is None:
            out = ctypes.c_uint32()
            check("record %s" % path,
                  _lib.qnvnet_record_open(channel.handle, _path(path), ctypes.byref(out)))
            rid = out.value
        self.id = rid
        self._open = True

    def rollover(self, new_path):
        """Hands over to a new recording into new_path at the next key frame:
        this one then ends with complete files. Returns the new Recording."""
        out = ctypes.c_uint32()
        check("rollover to %s" % new_path,
              _lib.qnvnet_record_rollover(self.channel.handle, self.id, _path(new_path),
                                          ctypes.byref(out)))
        self._open = False  # it ends by itself at the hand-over
        return Recording(self.channel, new_path, out.value)

    def close(self):
        if self._open:
            self._open = False
            check("record close", _lib.qnvnet_record_close(self.channel.handle, self.id))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
