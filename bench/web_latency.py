#!/usr/bin/env python3
"""Glass-to-browser latency for bench/web-bench: Debian's headless chromium
shows one camera of the recorder's page alone; for every picture it presents
(requestVideoFrameCallback) the page's clock minus the picture's capture time
(the stream's base capture time plus its media time). The first WARMUP s are
left out. Prints p50, p90, p99 and the count, in ms.

usage: web_latency.py URL CAMERA SECONDS [WARMUP]"""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "web"))
from cdp import Browser  # noqa: E402

url, camera, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
warmup = float(sys.argv[4]) if len(sys.argv) > 4 else 3
b = Browser(1280, 760)
try:
    b.goto(url)
    b.wait_for("!!document.querySelector('.tile[data-camera=\"%s\"]')" % camera, 10)
    b.eval("document.querySelector('.tile[data-camera=\"%s\"]').click()" % camera)
    b.wait_for("document.querySelector('.tile[data-camera=\"%s\"] video').dataset.baseUs" % camera, 10)
    b.eval("""(() => {
      const v = document.querySelector('.tile[data-camera="%s"] video');
      window.latencies = [];
      const start = performance.now();
      const each = (now, meta) => {
        if (performance.now() - start > %d) {
          const captured = Number(v.dataset.baseUs) / 1000 + meta.mediaTime * 1000;
          latencies.push(performance.timeOrigin + meta.presentationTime - captured);
        }
        v.requestVideoFrameCallback(each);
      };
      v.requestVideoFrameCallback(each);
    })()""" % (camera, int(warmup * 1000)))
    time.sleep(seconds + warmup)
    values = sorted(b.eval("latencies"))
finally:
    b.close()
if not values:
    sys.exit("no picture was presented")
pick = lambda q: values[min(len(values) - 1, int(q * len(values)))]
print("p50 %.0f ms  p90 %.0f ms  p99 %.0f ms  (%d pictures)" % (pick(0.5), pick(0.9), pick(0.99), len(values)))
