"""qnvnet against the simulator on 127.0.0.1 (port in QNV_DEVSIM_PORT; the
program in QNV_DEVSIM for a second, misbehaving device)."""

import os
import re
import socket
import subprocess
import sys

import pytest

import qnvnet

PORT = int(os.environ["QNV_DEVSIM_PORT"])


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_login_failures_are_typed():
    with pytest.raises(qnvnet.AuthenticationError) as e:
        qnvnet.Device("127.0.0.1", PORT, "admin", "wrong")
    assert e.value.code == -30 and e.value.detail == 1
    with pytest.raises(qnvnet.AddressError):
        qnvnet.Device("no.such.host", PORT)
    with pytest.raises(qnvnet.QnvConnectionError) as e:
        qnvnet.Device("127.0.0.1", free_port())
    assert "refused" in str(e.value)


def test_device_calls_and_logout():
    with qnvnet.Device("127.0.0.1", PORT) as dev:
        assert qnvnet.version() == (1, 0)
        assert len(dev.config_get(13)) > 0
        rules = bytes(range(16))
        dev.rules_upload(rules)
        assert dev.rules_download()[:16] == rules
        dev.rules_enabled = True
        assert dev.rules_enabled
        dev.ptz_move(1, 2, 3, 4)
        with pytest.raises(qnvnet.DeviceError) as e:
            dev.config_get(0)  # code 0 of every class is unsupported
        assert e.value.detail > 0
    with pytest.raises(qnvnet.NotFoundError):
        dev.config_get(13)


def test_live_frames_callback_recording_snapshot(tmp_path):
    seen = []
    with qnvnet.Device("127.0.0.1", PORT) as dev, dev.live(on_frame=seen.append) as ch:
        frames = list(ch.frames(count=20))
        assert len(frames) == 20 and all(f.kind in (0, 1, 2) for f in frames)
        with ch.record(tmp_path / "sub" / "clip.dat") as rec:
            assert rec.id == 1
            for _ in ch.frames(count=60):
                pass
        assert (tmp_path / "sub" / "clip.dat").stat().st_size > 0
        ch.set_prerecord(2000)
        with ch.record(tmp_path / "a.dat") as first:
            second = first.rollover(tmp_path / "b.dat")
            for _ in ch.frames(count=60):
                pass
            second.close()
        assert (tmp_path / "b.dat").stat().st_size > 0
        assert (tmp_path / "sub" / "clip.idx").stat().st_size % 40 == 0
        with pytest.raises(qnvnet.RecordingError) as e:
            ch.record(tmp_path / "sub" / "clip.dat" / "x.dat")
        assert "Not a directory" in e.value.text
        if qnvnet.decoder_available():
            ch.snapshot(tmp_path / "now.png")
            assert (tmp_path / "now.png").read_bytes()[:4] == b"\x89PNG"
    assert len(seen) >= 140


def test_disconnect_ends_the_events():
    sim = subprocess.Popen([os.environ["QNV_DEVSIM"], "--port", "0", "--synthetic", "--fault",
                            "5:1:close"], stdout=subprocess.PIPE, text=True)
    try:
        port = int(re.search(r"127\.0\.0\.1:(\d+)", sim.stdout.readline()).group(1))
        with qnvnet.Device("127.0.0.1", port) as dev:
            with pytest.raises(qnvnet.QnvError):
                dev.ptz_move(1, 0, 0, 0)
            events = list(dev.events(timeout=5))
            assert [e.kind for e in events] == ["disconnect"]
            assert events[0].loss.reason == qnvnet.LOST_BROKEN_CONNECTION
            assert events[0].loss.handle == 0
    finally:
        sim.terminate()
        sim.wait()


def test_player_found_beside_the_real_library_file(tmp_path):
    # The SDK reached through a symlink in another folder still finds the
    # player beside its real file.
    real = os.path.realpath(qnvnet._native.lib._name)
    link = tmp_path / "libQNVNetSdk.so.1"
    link.symlink_to(real)
    env = dict(os.environ, QNVNET_LIBRARY=str(link))
    out = subprocess.run([sys.executable, "-c", "import qnvnet; print(qnvnet.decoder_available())"],
                         env=env, capture_output=True, text=True, check=True).stdout
    assert out.strip() == "True"


def test_stalled_stream_ends_frames_with_its_reason():
    sim = subprocess.Popen([os.environ["QNV_DEVSIM"], "--port", "0", "--synthetic", "--size",
                            "320x240", "--freeze-after", "2", "--freeze", "stream"],
                           stdout=subprocess.PIPE, text=True)
    try:
        port = int(re.search(r"127\.0\.0\.1:(\d+)", sim.stdout.readline()).group(1))
        with qnvnet.Device("127.0.0.1", port) as dev, dev.live() as ch:
            with pytest.raises(ValueError):
                ch.set_stall_timeout(0.05)
            ch.set_stall_timeout(0.5)
            assert ch.loss() is None
            frames = []
            with pytest.raises(qnvnet.QnvConnectionError) as e:
                for frame in ch.frames(timeout=10):
                    frames.append(frame)
            assert "stream stalled" in str(e.value)
            loss = ch.loss()
            assert loss.reason == qnvnet.LOST_STREAM_STALLED and loss.handle == ch.handle
            assert loss.detail == 500
            events = list(dev.events(timeout=1))
            assert [ev.kind for ev in events] == ["stream-lost"]
            assert events[0].port == port + 2 and events[0].loss == loss
            # Pictures, not frames: parameter sets come in frames of their own.
            pictures = [f for f in frames if f.is_picture]
            assert 0 < len(pictures) < len(frames)
            assert pictures[0].nal_type in (1, 5)
            assert any(f.is_key_picture for f in pictures)
            assert not any(f.is_key_picture for f in frames if not f.is_picture)
            dev.ptz_move(1, 0, 0, 0)  # the session stays
    finally:
        sim.terminate()
        sim.wait()
