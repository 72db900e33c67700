"""The package refuses arguments it cannot pass on unchanged: TypeError or
ValueError naming the argument, before anything reaches the device (the
simulator on 127.0.0.1, port in QNV_DEVSIM_PORT)."""

import inspect
import os

import pytest

import qnvnet

PORT = int(os.environ["QNV_DEVSIM_PORT"])


@pytest.fixture(scope="module")
def dev():
    with qnvnet.Device("127.0.0.1", PORT) as d:
        yield d


def refused(error, name, call, *args, **kwargs):
    with pytest.raises(error) as e:
        call(*args, **kwargs)
    assert name in str(e.value), str(e.value)


def test_login_arguments():
    refused(TypeError, "host", qnvnet.Device, b"127.0.0.1", PORT)
    refused(ValueError, "host", qnvnet.Device, "127.0.0.1\x00junk", PORT)
    refused(ValueError, "port", qnvnet.Device, "127.0.0.1", PORT + 65536)
    refused(ValueError, "port", qnvnet.Device, "127.0.0.1", -1)
    refused(TypeError, "port", qnvnet.Device, "127.0.0.1", str(PORT))
    refused(TypeError, "port", qnvnet.Device, "127.0.0.1", True)
    refused(ValueError, "user", qnvnet.Device, "127.0.0.1", PORT, "a" * 17)
    refused(ValueError, "password", qnvnet.Device, "127.0.0.1", PORT, "admin", "pw\x00")
    refused(TypeError, "password", qnvnet.Device, "127.0.0.1", PORT, "admin", None)
    refused(TypeError, "on_event", qnvnet.Device, "127.0.0.1", PORT, on_event=5)
    refused(ValueError, "event_queue", qnvnet.Device, "127.0.0.1", PORT, event_queue=0)


def test_host_names_resolve_as_qnvctl_does():
    with qnvnet.Device("localhost", PORT) as d:
        assert d.address == "127.0.0.1" and d.host == "localhost"
        assert len(d.config_get(13)) > 0
    with pytest.raises(qnvnet.AddressError) as e:
        qnvnet.Device("no-such-host.invalid", PORT)
    assert "no-such-host.invalid" in str(e.value) and e.value.code == -30


def test_device_call_arguments(dev):
    refused(TypeError, "data", dev.config_set, 31, "abcd")
    refused(TypeError, "data", dev.rules_upload, "abcd")
    refused(TypeError, "data", dev.algorithm_set, 1, [1, 2])
    refused(TypeError, "data", dev.system_command, 1, 7)
    refused(ValueError, "data", dev.config_set, 31, bytes(qnvnet.MAX_PAYLOAD + 1))
    refused(ValueError, "selector", dev.config_get, 13 + 2**32)
    refused(ValueError, "selector", dev.config_get, -1)
    refused(TypeError, "selector", dev.config_get, 13.0)
    refused(TypeError, "selector", dev.algorithm_get, "1")
    refused(ValueError, "selector", dev.ptz_get_param, 2**32)
    refused(ValueError, "v4", dev.ptz_move, 1, 2, 3, 4 + 2**32)
    refused(ValueError, "v2", dev.ptz_preset, 1, -2)
    refused(TypeError, "rules_enabled", setattr, dev, "rules_enabled", "yes")
    refused(ValueError, "path", dev.firmware_upload, "/tmp/fw\x00.bin")
    refused(TypeError, "path", dev.firmware_upload, 5)
    refused(TypeError, "on_frame", dev.live, on_frame="print")
    refused(ValueError, "timeout", dev.events, timeout=-1)
    # Accepted forms: every bytes-like payload, and the session still answers.
    dev.config_set(31, bytearray(b"\x01\x02\x03\x04"))
    dev.rules_upload(memoryview(bytes(range(16))))
    assert dev.rules_download()[:16] == bytes(range(16))
    dev.ptz_move(0, 0, 0, 2**32 - 1)


def test_channel_and_recording_arguments(dev, tmp_path):
    with dev.live() as ch:
        refused(ValueError, "milliseconds", ch.set_prerecord, -1)
        refused(ValueError, "max_bytes", ch.set_prerecord, 1000, 2**32)
        refused(ValueError, "seconds", ch.set_stall_timeout, -0.5)
        refused(ValueError, "seconds", ch.set_stall_timeout, 0.05)
        refused(TypeError, "seconds", ch.set_stall_timeout, "1")
        refused(ValueError, "path", ch.record, str(tmp_path / "a\x00.dat"))
        refused(TypeError, "path", ch.snapshot, None)
        refused(ValueError, "wait", ch.snapshot, str(tmp_path / "x.jpg"), -1)
        refused(ValueError, "count", ch.frames, count=-1)
        refused(TypeError, "timeout", ch.frames, timeout="1")
        with ch.record(tmp_path / "r.dat") as rec:
            refused(ValueError, "new_path", rec.rollover, b"")
        assert not list(tmp_path.glob("a*"))


def test_every_public_name_is_documented():
    undocumented = []
    for name in qnvnet.__all__:
        obj = getattr(qnvnet, name)
        if inspect.isclass(obj) or inspect.isfunction(obj):
            if not (obj.__doc__ or "").strip():
                undocumented.append(name)
        if inspect.isclass(obj) and obj.__module__.startswith("qnvnet"):
            for member, value in vars(obj).items():
                if member.startswith("_"):
                    continue
                if callable(value) or isinstance(value, property):
                    if not (getattr(value, "__doc__", "") or "").strip():
                        undocumented.append(name + "." + member)
    assert undocumented == []
