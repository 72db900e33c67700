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

Liveness: a device that stops answering is reported as a "disconnect" event
(with its Loss) 13 to 18 s after it froze; a channel given a stall time-out
(LiveChannel.set_stall_timeout) that receives no frame for that long ends
its frames() with a QnvConnectionError naming the reason, and its Device
gets a "stream-lost" event.
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
    "Device", "LiveChannel", "Recording", "Frame", "Event", "Loss", "version",
    "decoder_available", "LOST_BROKEN_CONNECTION", "LOST_NO_KEEPALIVE_ANSWER",
    "LOST_STREAM_STALLED", "LOST_MALFORMED_MESSAGE",
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

LOST_BROKEN_CONNECTION = _native.LOST_BROKEN_CONNECTION
LOST_NO_KEEPALIVE_ANSWER = _native.LOST_NO_KEEPALIVE_ANSWER
LOST_STREAM_STALLED = _native.LOST_STREAM_STALLED
LOST_MALFORMED_MESSAGE = _native.LOST_MALFORMED_MESSAGE

Loss = collections.namedtuple("Loss", "reason text client_id handle detail")
Loss.__doc__ = """Why a session or a channel was lost: reason (LOST_*), its
text, the session's client id, the channel's handle (0 for a session) and
detail (errno for a broken connection, the time-out in ms for a stall)."""


def _loss(raw):
    if raw.reason == _native.LOST_NONE:
        return None
    return Loss(raw.reason, _lib.qnvnet_loss_text(raw.reason).decode(), raw.client_id,
                raw.handle, raw.detail)


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
        """Byte 35 marks an I slice; parameter sets may carry the mark too.
        Count with nal_type, is_picture and is_key_picture."""
        return self.kind == FRAME_KEY

    def _nal(self):
        info = _native.NAL_INFO()
        _lib.qnvnet_frame_nal(self.data, len(self.data), ctypes.byref(info))
        return info

    @property
    def nal_type(self):
        """The H.264 NAL unit type of the payload, or -1."""
        return self._nal().type

    @property
    def is_picture(self):
        """The frame begins a picture (one per picture a player shows)."""
        return bool(self._nal().starts_picture)

    @property
    def is_key_picture(self):
        """The frame begins a picture a decoder can start at."""
        return bool(self._nal().key_picture)

    def __len__(self):
        return len(self.data)

    def __repr__(self):
        return "Frame(kind=%d, %d bytes)" % (self.kind, len(self.data))


Event = collections.namedtuple("Event", "kind value body device_ip port loss",
                               defaults=(None,))
Event.__doc__ = """A device event: kind "message" (value, body bytes),
"disconnect" (the session was lost and is gone; loss says why) or
"stream-lost" (a channel's stream was lost, its connection broke or it
stalled; loss says why and names the channel's handle; the channel stays open
and silent)."""


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
        raw = _native.LOSS()
        _lib.qnvnet_disconnect_reason(ctypes.byref(raw))  # only here, inside the callback
        loss = _loss(raw)
        with self.lock:
            device = self.devices.get(client_id)
            channels = list(self.channels.get(client_id, ()))
        stream = loss is not None and loss.handle != 0
        if stream:
            for channel in channels:
                if channel.handle == loss.handle:
                    channel._lost(loss)
        if device is not None:
            device._event(Event("stream-lost" if stream else "disconnect", 0, b"",
                                (ip or b"").decode(), port, loss))


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
        self._loss = None
        self.handle = None
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

    def _lost(self, loss):
        self._loss = loss
        try:
            self._queue.put_nowait(None)  # ends a waiting iterator
        except queue.Full:
            pass

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
        seconds, QnvConnectionError when the stream was lost (the reason in
        its text; loss() tells more)."""
        n = 0
        while count is None or n < count:
            try:
                frame = self._queue.get(timeout=timeout)
            except queue.Empty:
                raise QnvTimeoutError("live frames", -24, _native.REASON_NO_ANSWER, 0,
                                      "no frame within %g s" % timeout) from None
            if frame is None:
                if self._loss is not None and not self._closed:
                    raise QnvConnectionError("live frames", -41, _native.REASON_NETWORK,
                                             self._loss.detail, "stream lost: " + self._loss.text)
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

    def set_stall_timeout(self, seconds):
        """Reports the stream as lost when it plays and no frame came for
        seconds (0 turns it off; else 0.1 to 3600): frames() then ends with a
        QnvConnectionError and the Device gets a "stream-lost" event. Never
        while the channel is paused."""
        check("set stall timeout",
              _lib.qnvnet_live_set_stall_timeout(self.handle, int(round(seconds * 1000))))

    def loss(self):
        """Why the stream was lost (a Loss), or None while it is not."""
        raw = _native.LOSS()
        check("live loss reason", _lib.qnvnet_live_loss_reason(self.handle, ctypes.byref(raw)))
        return _loss(raw)

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
