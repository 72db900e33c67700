"""Exceptions: every failed call raises a QnvError subclass that carries the
library's result code, the kind of reason, its detail number (a device's
result or errno) and the library's text."""

from typing import Dict, Type

from . import _native as n


class QnvError(Exception):
    """A failed library call: code (int), reason (QNVNET_REASON_* number),
    detail (device result or errno, or 0) and text."""

    def __init__(self, operation: str, code: int, reason: int = 0, detail: int = 0,
                 text: str = "") -> None:
        self.operation = operation
        self.code = code
        self.reason = reason
        self.detail = detail
        self.text = text
        name = bytes(n.lib.qnvnet_strerror(code)).decode()
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


class InCallbackError(QnvError, RuntimeError):
    """A call no callback may make (the library's start or end) came from
    inside a callback."""


_BY_REASON: Dict[int, Type[QnvError]] = {
    n.REASON_BAD_CREDENTIALS: AuthenticationError,
    n.REASON_NO_ANSWER: QnvTimeoutError,
    n.REASON_CONNECTION_REFUSED: QnvConnectionError,
    n.REASON_NETWORK: QnvConnectionError,
    n.REASON_BAD_ADDRESS: AddressError,
    n.REASON_NOT_FOUND: NotFoundError,
    n.REASON_LIMIT: LimitError,
    n.REASON_PROTOCOL: ProtocolError,
    n.REASON_IN_CALLBACK: InCallbackError,
}
_BY_CODE: Dict[int, Type[QnvError]] = {
    n.E_FIRMWARE: FirmwareError, n.E_SAVE_OPEN: RecordingError, n.E_CAPTURE: CaptureError,
    n.E_NO_REPLY: QnvTimeoutError, n.E_SEND: QnvConnectionError,
    n.E_IN_CALLBACK: InCallbackError}


def check(operation: str, code: int) -> None:
    """Raises the matching QnvError for a non-zero code, reading the calling
    thread's reason right away; ValueError for the library's bad-argument
    code (the package checks arguments first, so this is a value only the
    library knows to be out of range)."""
    if code == 0:
        return
    reason = int(n.lib.qnvnet_last_error_reason())
    detail = int(n.lib.qnvnet_last_error_detail())
    text = bytes(n.lib.qnvnet_last_error_text()).decode(errors="replace")
    if code == n.E_BAD_ARGUMENT:
        raise ValueError("%s: %s" % (operation, text))
    cls = _BY_REASON.get(reason) or _BY_CODE.get(code)
    if cls is None:
        cls = DeviceError if code > 0 or reason == n.REASON_DEVICE_REFUSED else QnvError
    raise cls(operation, code, reason, detail, text)
