"""qnvnet against the simulator on 127.0.0.1 (port in QNV_DEVSIM_PORT; the
program in QNV_DEVSIM for a second, misbehaving device)."""

import itertools
import os
import re
import socket
import subprocess
import sys
import threading
import time

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


def start_sim(*args):
    sim = subprocess.Popen([os.environ["QNV_DEVSIM"], "--port", "0", "--synthetic", "--size",
                            "320x240", *args], stdout=subprocess.PIPE, text=True)
    port = int(re.search(r"127\.0\.0\.1:(\d+)", sim.stdout.readline()).group(1))
    return sim, port


def stop_sim(sim):
    sim.terminate()
    sim.wait()


def test_raising_frame_callback_stops_nothing(caplog):
    calls = []

    def broken(frame):
        calls.append(frame)
        raise RuntimeError("host bug")

    with qnvnet.Device("127.0.0.1", PORT) as dev, \
            dev.live(on_frame=broken) as a, dev.live() as b:
        assert len(list(a.frames(count=30, timeout=5))) == 30
        assert len(list(b.frames(count=30, timeout=5))) == 30
        assert a.callback_errors >= 30 and len(calls) == a.callback_errors
        assert b.callback_errors == 0
        assert len(dev.config_get(13)) > 0
    # Logged once for the burst, with the traceback.
    reports = [r for r in caplog.records if r.name == "qnvnet" and "on_frame" in r.getMessage()]
    assert len(reports) == 1 and reports[0].exc_info[0] is RuntimeError


def test_event_callbacks_raise_or_block_and_messages_are_bounded():
    # A device flooding 4 KiB messages on every session.
    sim, port = start_sim("--alarm-interval", "2", "--alarm-burst", "5", "--alarm-size", "4096")
    release = threading.Event()
    seen = []

    def blocked(event):
        seen.append(event)
        release.wait(10)

    def broken(event):
        raise ValueError("host bug")

    try:
        with qnvnet.Device("127.0.0.1", port, on_event=blocked) as slow, \
                qnvnet.Device("127.0.0.1", port, on_event=broken) as other:
            # The message thread is stuck in one callback: the sessions' own
            # messages are dropped beyond the bound and counted, and their
            # calls and video go on.
            deadline = time.monotonic() + 10
            while slow.message_drops() == 0 and time.monotonic() < deadline:
                time.sleep(0.05)
            assert slow.message_drops() > 0
            assert len(slow.config_get(13)) > 0 and len(other.config_get(13)) > 0
            with other.live() as ch:
                assert len(list(ch.frames(count=10, timeout=5))) == 10
            release.set()
            deadline = time.monotonic() + 10
            while other.callback_errors == 0 and time.monotonic() < deadline:
                time.sleep(0.05)
            assert other.callback_errors > 0
            kinds = {e.kind for e in itertools.islice(other.events(timeout=1), 5)}
            assert kinds == {"message"}
            assert seen[0].kind == "message" and len(seen[0].body) == 4096 - 8
    finally:
        release.set()
        stop_sim(sim)
