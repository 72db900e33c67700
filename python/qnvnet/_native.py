"""Loads libQNVNetSdk.so and declares the C interface (qnvnet.h) for ctypes."""

import ctypes
import importlib
import os
from typing import Dict, Iterator, List, Tuple

# Kinds of failure reason, as in qnvnet.h.
REASON_NONE = 0
REASON_DEVICE_REFUSED = 1
REASON_BAD_CREDENTIALS = 2
REASON_NO_ANSWER = 3
REASON_CONNECTION_REFUSED = 4
REASON_BAD_ADDRESS = 5
REASON_NETWORK = 6
REASON_SYSTEM = 7
REASON_BAD_ARGUMENT = 8
REASON_NOT_FOUND = 9
REASON_LIMIT = 10
REASON_PROTOCOL = 11
REASON_IN_CALLBACK = 12

# Result codes the package looks at, as QNVNET_E_* in qnvnet.h.
E_FIRMWARE = -1
E_SEND = -21
E_NO_REPLY = -24
E_NO_SESSION = -30
E_NO_CHANNEL = -41
E_SAVE_OPEN = -61
E_CAPTURE = -80
E_BAD_ARGUMENT = -90
E_IN_CALLBACK = -91

# Why a session or a channel was lost, as QNVNET_LOST_* in qnvnet.h.
LOST_NONE = 0
LOST_BROKEN_CONNECTION = 1
LOST_NO_KEEPALIVE_ANSWER = 2
LOST_STREAM_STALLED = 3
LOST_MALFORMED_MESSAGE = 4

_u32, _i32, _u16, _p = ctypes.c_uint32, ctypes.c_int32, ctypes.c_uint16, ctypes.c_void_p
_str = ctypes.c_char_p


class LOSS(ctypes.Structure):
    """qnvnet_loss."""
    reason: int
    client_id: int
    handle: int
    detail: int
    _fields_ = [("reason", _i32), ("client_id", _u32), ("handle", _u32), ("detail", _i32)]


class NAL_INFO(ctypes.Structure):
    """qnvnet_nal_info."""
    type: int
    slice_type: int
    starts_picture: int
    key_picture: int
    _fields_ = [("type", _i32), ("slice_type", _i32), ("starts_picture", _i32),
                ("key_picture", _i32)]


MESSAGE_CB = ctypes.CFUNCTYPE(None, _p, _u32, _str, _u16, _u16, ctypes.POINTER(ctypes.c_uint8), _i32)
STREAM_CB = ctypes.CFUNCTYPE(None, _p, _u32, _str, _u16, ctypes.POINTER(ctypes.c_uint8), _i32)
DISCONNECT_CB = ctypes.CFUNCTYPE(None, _p, _u32, _str, _u16)

_PROTOTYPES: Dict[str, Tuple[object, List[object]]] = {
    "qnvnet_strerror": (_str, [_i32]),
    "qnvnet_last_error_reason": (_i32, []),
    "qnvnet_last_error_detail": (_i32, []),
    "qnvnet_last_error_text": (_str, []),
    "qnvnet_set_message_callback": (_i32, [MESSAGE_CB, _p]),
    "qnvnet_set_stream_callback": (_i32, [STREAM_CB, _p]),
    "qnvnet_set_disconnect_callback": (_i32, [DISCONNECT_CB, _p]),
    "qnvnet_version": (_i32, [ctypes.POINTER(_u32)]),
    "qnvnet_decoder_available": (_i32, [ctypes.POINTER(_i32)]),
    "qnvnet_init": (_i32, []),
    "qnvnet_uninit": (_i32, []),
    "qnvnet_login": (_i32, [ctypes.POINTER(_u32), _str, _u16, _str, _str]),
    "qnvnet_logout": (_i32, [_u32]),
    "qnvnet_live_open": (_i32, [ctypes.POINTER(_u32), _u32, _p]),
    "qnvnet_live_close": (_i32, [_u32]),
    "qnvnet_live_pause": (_i32, [_u32]),
    "qnvnet_live_play": (_i32, [_u32]),
    "qnvnet_live_capture": (_i32, [_u32, _str]),
    "qnvnet_record_open": (_i32, [_u32, _str, ctypes.POINTER(_u32)]),
    "qnvnet_record_close": (_i32, [_u32, _u32]),
    "qnvnet_record_rollover": (_i32, [_u32, _u32, _str, ctypes.POINTER(_u32)]),
    "qnvnet_live_set_prerecord": (_i32, [_u32, _u32, _u32]),
    "qnvnet_live_set_stall_timeout": (_i32, [_u32, _u32]),
    "qnvnet_live_loss_reason": (_i32, [_u32, ctypes.POINTER(LOSS)]),
    "qnvnet_session_loss_reason": (_i32, [_u32, ctypes.POINTER(LOSS)]),
    "qnvnet_message_drops": (_i32, [_u32, ctypes.POINTER(ctypes.c_uint64)]),
    "qnvnet_disconnect_reason": (_i32, [ctypes.POINTER(LOSS)]),
    "qnvnet_loss_text": (_str, [_i32]),
    "qnvnet_frame_nal": (_i32, [_p, _i32, ctypes.POINTER(NAL_INFO)]),
    "qnvnet_ptz_move": (_i32, [_u32, _u32, _u32, _u32, _u32]),
    "qnvnet_ptz_preset": (_i32, [_u32, _u32, _u32]),
    "qnvnet_ptz_get_param": (_i32, [_u32, _u32, _p, ctypes.POINTER(_i32)]),
    "qnvnet_config_get": (_i32, [_u32, _u32, _p, ctypes.POINTER(_i32)]),
    "qnvnet_config_set": (_i32, [_u32, _u32, _p, _i32]),
    "qnvnet_system_command": (_i32, [_u32, _u32, _p, _i32]),
    "qnvnet_firmware_upload": (_i32, [_u32, _str]),
    "qnvnet_firmware_start": (_i32, [_u32]),
    "qnvnet_rules_download": (_i32, [_u32, _p, ctypes.POINTER(_i32)]),
    "qnvnet_rules_upload": (_i32, [_u32, _p, _i32]),
    "qnvnet_rules_enable": (_i32, [_u32, _i32]),
    "qnvnet_rules_state": (_i32, [_u32, ctypes.POINTER(_i32)]),
    "qnvnet_algorithm_get": (_i32, [_u32, _u32, _p, ctypes.POINTER(_i32)]),
    "qnvnet_algorithm_set": (_i32, [_u32, _u32, _p, _i32]),
}


def _candidates() -> Iterator[str]:
    """Where the library may be: $QNVNET_LIBRARY, the place recorded when the
    package was built or installed, then the dynamic loader's search."""
    env = os.environ.get("QNVNET_LIBRARY")
    if env:
        yield env
    try:
        # Written by the build and by the install (absent from the sources).
        location = importlib.import_module(__name__.rsplit(".", 1)[0] + "._location")
        path = str(getattr(location, "LIBRARY"))
        if not os.path.isabs(path):
            path = os.path.normpath(os.path.join(os.path.dirname(__file__), path))
        yield path
    except ImportError:
        pass
    yield "libQNVNetSdk.so.1"


def load() -> ctypes.CDLL:
    """Loads the library and declares every function's prototype."""
    errors: List[str] = []
    for path in _candidates():
        try:
            lib = ctypes.CDLL(path)
            break
        except OSError as e:
            errors.append(str(e))
    else:
        raise ImportError("libQNVNetSdk.so.1 could not be loaded (set QNVNET_LIBRARY to its "
                          "path, or add its folder to ldconfig): " + "; ".join(errors))
    for name, (restype, argtypes) in _PROTOTYPES.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


lib = load()
