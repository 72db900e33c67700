"""Exceptions: every failed call raises a QnvError subclass that carries the
library's result code, the kind of reason, its detail number (a device's
result or errno) and the library's text."""

from . import _native as n


class QnvError(Exception):
    """A failed library call: code (int), reason (QNVNET_REASON_* number),
    detail (device result or errno, or 0) and text."""

    def __init__(self, operation, code, reason=0, detail=0, text=""):
        self.operation = operation
        self.code = code
        self.reason = reason
        self.detail = detail
        self.text = text
        name = n.lib.qnvnet_strerror(code).decode()
        message = "%s failed: %s (%d)" % (operation, name, code)
        if text:
            message += ": " + text
        super().__init__(message)


class DeviceError(QnvError):
    """The device refused the request; detail is its result code."""


class AuthenticationError(DeviceError):
    """The device refused the user name or password."""


class QnvConnectionError(QnvError, ConnectionError):
    """The device could not be reached or the connection failed."""


class QnvTimeoutError(QnvConnectionError, TimeoutError):
    """The device did not answer in time."""


class AddressError(QnvError, ValueError):
    """The address is not a dotted IPv4 address."""


class NotFoundError(QnvError, LookupError):
    """No such session, channel or recording."""


class LimitError(QnvError):
    """A fixed limit (sessions, channels, recordings) is reached."""


class RecordingError(QnvError):
    """The recording's files could not be opened."""


class CaptureError(QnvError):
    """No snapshot was written."""


class FirmwareError(QnvError):
    """The firmware image could not be read or was refused."""


class ProtocolError(QnvError):
    """The device's reply broke the protocol."""


_BY_REASON = {
    n.REASON_BAD_CREDENTIALS: AuthenticationError,
    n.REASON_NO_ANSWER: QnvTimeoutError,
    n.REASON_CONNECTION_REFUSED: QnvConnectionError,
    n.REASON_NETWORK: QnvConnectionError,
    n.REASON_BAD_ADDRESS: AddressError,
    n.REASON_NOT_FOUND: NotFoundError,
    n.REASON_LIMIT: LimitError,
    n.REASON_PROTOCOL: ProtocolError,
}
_BY_CODE = {-1: FirmwareError, -61: RecordingError, -80: CaptureError, -24: QnvTimeoutError,
            -21: QnvConnectionError}


def check(operation, code):
    """Raises the matching QnvError for a non-zero code, reading the calling
    thread's reason right away."""
    if code == 0:
        return
    reason = n.lib.qnvnet_last_error_reason()
    detail = n.lib.qnvnet_last_error_detail()
    text = n.lib.qnvnet_last_error_text().decode(errors="replace")
    if code == -90:
        raise ValueError("%s: %s" % (operation, text))
    cls = _BY_REASON.get(reason) or _BY_CODE.get(code)
    if cls is None:
        cls = DeviceError if code > 0 or reason == n.REASON_DEVICE_REFUSED else QnvError
    raise cls(operation, code, reason, detail, text)
