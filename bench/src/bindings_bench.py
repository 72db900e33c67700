"""The events path of the Python binding (and the library under it) as a
host runs it, against qnv-devsim processes on 127.0.0.1.

flood: a device floods 4 KiB device messages on the session while the host's
message callback takes 20 ms per message and the host keeps calling
config_get on that session. Prints the process's RSS before and during the
flood (target: flat, under 50 MB above the idle figure), the messages
delivered and dropped, and the config_get times.

sleepy: a message callback that sleeps 1 s on one session, while four other
sessions each stream one channel and the host calls config_get on them in a
loop. Prints each channel's frame rate and the calls' times (target: frames
keep flowing, calls under 0.5 s).

Run by bench/bindings-bench, which points PYTHONPATH at an installed
package."""

import argparse
import os
import re
import statistics
import subprocess
import sys
import threading
import time
from typing import List, Tuple

import qnvnet


def rss_mb() -> float:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


def start_sim(devsim: str, *args: str) -> Tuple[subprocess.Popen, int]:
    sim = subprocess.Popen([devsim, "--port", "0", "--synthetic", *args],
                           stdout=subprocess.PIPE, text=True)
    assert sim.stdout is not None
    port = int(re.search(r"127\.0\.0\.1:(\d+)", sim.stdout.readline()).group(1))
    return sim, port


def summary(times: List[float]) -> str:
    if not times:
        return "none"
    ordered = sorted(times)
    p99 = ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]
    return "n %d p50 %.1f ms p99 %.1f ms max %.1f ms" % (
        len(ordered), statistics.median(ordered) * 1e3, p99 * 1e3, ordered[-1] * 1e3)


def flood(devsim: str, seconds: int) -> None:
    quiet, quiet_port = start_sim(devsim)
    loud, loud_port = start_sim(devsim, "--alarm-interval", "1", "--alarm-burst", "10",
                                "--alarm-size", "4096")
    delivered = [0]

    def slow(event: qnvnet.Event) -> None:
        delivered[0] += 1
        time.sleep(0.02)

    try:
        with qnvnet.Device("127.0.0.1", quiet_port) as idle:
            for _ in range(20):
                idle.config_get(13)
            time.sleep(2)
            idle_rss = rss_mb()
        samples: List[float] = []
        calls: List[float] = []
        with qnvnet.Device("127.0.0.1", loud_port, on_event=slow, event_queue=16) as dev:
            start = time.monotonic()
            next_sample = start
            slowest = 0.0
            count = 0
            while time.monotonic() - start < seconds:
                t = time.monotonic()
                dev.config_get(13)
                took = time.monotonic() - t
                # Every call's time would grow the list by the MB: keep every
                # 100th, and the slowest.
                slowest = max(slowest, took)
                count += 1
                if count % 100 == 0:
                    calls.append(took)
                if time.monotonic() >= next_sample:
                    samples.append(rss_mb())
                    next_sample += 1.0
            drops = dev.message_drops()
        received_mb = (delivered[0] + drops) * 4096 / 1e6
        step = max(1, len(samples) // 10)
        print("flood: RSS every %d s: %s MB" % (step, " ".join("%.1f" % m for m in samples[::step])))
        print("result flood: idle RSS %.1f MB; during %d s: min %.1f max %.1f last %.1f MB "
              "(max %+.1f MB over idle); messages delivered %d dropped %d (%.0f MB received)"
              % (idle_rss, seconds, min(samples), max(samples), samples[-1],
                 max(samples) - idle_rss, delivered[0], drops, received_mb))
        print("result flood: config_get on the flooding session: %d calls, every 100th: %s; "
              "slowest of all %.1f ms" % (count, summary(calls), slowest * 1e3))
    finally:
        for sim in (quiet, loud):
            sim.terminate()
            sim.wait()


def sleepy(devsim: str, seconds: int) -> None:
    sim, port = start_sim(devsim, "--alarm-interval", "200", "--size", "1280x720")

    def asleep(event: qnvnet.Event) -> None:
        time.sleep(1.0)

    stop = threading.Event()
    try:
        with qnvnet.Device("127.0.0.1", port, on_event=asleep) as slow:
            devices = [qnvnet.Device("127.0.0.1", port) for _ in range(4)]
            counts = [0] * 4
            channels = []
            for i, d in enumerate(devices):
                def count(frame: qnvnet.Frame, i: int = i) -> None:
                    counts[i] += 1
                channels.append(d.live(on_frame=count, queue_size=1))
            times: List[float] = []
            own: List[float] = []

            def caller() -> None:
                while not stop.is_set():
                    for d in devices:
                        t = time.monotonic()
                        d.config_get(13)
                        times.append(time.monotonic() - t)
                    time.sleep(0.05)

            thread = threading.Thread(target=caller)
            thread.start()
            start_counts = list(counts)
            start = time.monotonic()
            gaps = 0
            last = list(counts)
            while time.monotonic() - start < seconds:
                time.sleep(1.0)
                t = time.monotonic()
                slow.config_get(13)
                own.append(time.monotonic() - t)
                now = list(counts)
                gaps += sum(1 for a, b in zip(last, now) if a == b)
                last = now
            stop.set()
            thread.join()
            elapsed = time.monotonic() - start
            rates = ["%.1f" % ((c - s) / elapsed) for c, s in zip(counts, start_counts)]
            print("result sleepy: 1 s message callback; frames/s per channel %s; "
                  "seconds without a frame on a channel: %d" % (" ".join(rates), gaps))
            print("result sleepy: config_get on the 4 other sessions: %s" % summary(times))
            print("result sleepy: config_get on the sleeping callback's own session: %s"
                  % summary(own))
            for ch in channels:
                ch.close()
            for d in devices:
                d.close()
    finally:
        stop.set()
        sim.terminate()
        sim.wait()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--devsim", required=True, help="the qnv-devsim program")
    parser.add_argument("--seconds", type=int, default=30, help="each run's length")
    parser.add_argument("which", nargs="*", default=["flood", "sleepy"])
    args = parser.parse_args()
    print("library %s, package %s" % (qnvnet._native.lib._name, os.path.dirname(qnvnet.__file__)))
    for which in args.which:
        {"flood": flood, "sleepy": sleepy}[which](args.devsim, args.seconds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
