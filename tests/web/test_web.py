"""The web page in Debian's headless chromium against the real recorder."""

import base64
import json
import time

from conftest import log_in

# The picture of a tile's video as the page shows it: how far its pixels
# differ (a uniform picture has none) and a digest to tell two apart.
PICTURE = """(() => {
  const v = document.querySelector('.tile[data-camera="CAMERA"] video');
  if (!v || v.readyState < 2 || !v.videoWidth) return null;
  const c = document.createElement('canvas');
  c.width = 160; c.height = 90;
  const g = c.getContext('2d');
  g.drawImage(v, 0, 0, c.width, c.height);
  const d = g.getImageData(0, 0, c.width, c.height).data;
  let min = 255, max = 0, sum = 0;
  for (let i = 0; i < d.length; i += 4) {
    const y = (d[i] + d[i + 1] + d[i + 2]) / 3;
    min = Math.min(min, y); max = Math.max(max, y); sum = (sum * 31 + d[i] + 7 * d[i + 1]) % 1000000007;
  }
  return {spread: max - min, digest: sum, time: v.currentTime};
})()"""


def test_no_page_stream_or_api_answer_without_login(browser, site):
    browser.goto(site.url + "/")
    assert browser.eval("location.pathname") == "/login.html"
    statuses = json.loads(browser.eval("""(async () => JSON.stringify(await Promise.all(
        ['/api/cameras', '/api/status', '/api/session', '/app.js', '/index.html'].map(
          async (p) => (await fetch(p, {redirect: 'manual'})).status))))()"""))
    assert statuses[:3] == [401, 401, 401]
    assert all(s in (0, 303) for s in statuses[3:]), statuses  # opaque redirects read as 0
    opened = browser.eval("""new Promise((resolve) => {
        const ws = new WebSocket('ws://' + location.host + '/api/live/gate');
        ws.onopen = () => resolve('open'); ws.onerror = () => resolve('refused'); })""")
    assert opened == "refused"


def test_login_then_the_grid_shows_every_camera_live(browser, site):
    log_in(browser, site)
    browser.wait_for("(document.querySelector('.tile[data-camera=\"gate\"] video') || {}).currentTime > 0.3",
                     timeout=10)
    first = browser.eval(PICTURE.replace("CAMERA", "gate"))
    assert first and first["spread"] > 40, first
    time.sleep(2)
    second = browser.eval(PICTURE.replace("CAMERA", "gate"))
    assert second["time"] > first["time"] + 1.0, (first, second)
    assert second["digest"] != first["digest"], "the picture did not change over 2 s"


def test_a_down_camera_shows_its_reason(browser, site):
    log_in(browser, site)
    browser.wait_for("document.querySelector('.tile[data-camera=\"yard\"]').dataset.state === 'down'")
    text = browser.eval("document.querySelector('.tile[data-camera=\"yard\"] .down').innerText")
    assert "refused" in text, text
    assert browser.eval("getComputedStyle(document.querySelector('.tile[data-camera=\"yard\"] .down')).display") == "flex"


def test_a_post_without_the_csrf_token_is_refused(browser, site):
    log_in(browser, site)
    status = browser.eval("fetch('/api/logout', {method: 'POST'}).then((r) => r.status)")
    assert status == 403
    # Still logged in; with the page's token the same request works.
    assert browser.eval("fetch('/api/cameras').then((r) => r.status)") == 200
    status = browser.eval("""fetch('/api/session').then((r) => r.json()).then((s) =>
        fetch('/api/logout', {method: 'POST', headers: {'X-CSRF-Token': s.csrf}})).then((r) => r.status)""")
    assert status == 200
    assert browser.eval("fetch('/api/cameras').then((r) => r.status)") == 401


def test_status_page_lists_state_bitrate_and_disk(browser, site):
    log_in(browser, site)
    browser.eval("document.querySelector('nav button[data-view=\"status\"]').click()")
    browser.wait_for("document.querySelectorAll('#cameras tbody tr').length === 2")
    browser.wait_for("document.querySelector('#cameras tbody').innerText.includes('Mbit/s')")
    status = json.loads(browser.eval("fetch('/api/status').then((r) => r.text())"))
    assert status["version"] and status["uptime_s"] >= 0
    assert status["storage"]["root"] == site.storage
    gate = next(c for c in status["cameras"] if c["name"] == "gate")
    assert gate["bitrate_bps"] > 0 and gate["last_frame_ms"] > 0


PICTURE_US = 40000  # the sample clip's 25 pictures a second

# The picture a video shows, 160x90, as luma values.
LUMA = """(() => {
  const v = document.getElementById('playback');
  const c = document.createElement('canvas');
  c.width = 160; c.height = 90;
  const g = c.getContext('2d');
  g.drawImage(v, 0, 0, c.width, c.height);
  const d = g.getImageData(0, 0, c.width, c.height).data;
  const out = [];
  for (let i = 0; i < d.length; i += 4) out.push(Math.round((d[i] + d[i + 1] + d[i + 2]) / 3));
  return out;
})()"""


def decoded_luma(mp4, offset=0.0, matrix="bt709"):
    """The picture ffmpeg decodes `offset` s into an MP4 (after its edit list), 160x90 luma.
    The clip names no colour matrix: chromium's Media Source Extensions take
    it as BT.709 (ffmpeg would take BT.601), so that is the default here."""
    import subprocess
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", mp4, "-ss", str(offset), "-frames:v", "1",
                          "-vf", "scale=160:90:in_color_matrix=" + matrix, "-f", "rawvideo",
                          "-pix_fmt", "rgb24", "-"],
                         capture_output=True, check=True).stdout
    return [round((raw[i] + raw[i + 1] + raw[i + 2]) / 3) for i in range(0, len(raw), 3)]


def difference(a, b):
    return sum(abs(x - y) for x, y in zip(a, b)) / len(a)


def fetch_bytes(browser, url):
    return base64.b64decode(browser.eval("""fetch(%r).then((r) => r.arrayBuffer()).then((b) => {
        let s = ''; const u = new Uint8Array(b);
        for (let i = 0; i < u.length; i++) s += String.fromCharCode(u[i]);
        return btoa(s); })""" % url))


def nearest_picture(browser, shown, mp4, moment, tmp_path):
    """How far `shown` (the browser's picture at `moment`) is from the first
    picture of mp4 (the time-range export from `moment`: its first picture
    at or after it) or from the one before it (the picture covering the
    moment, which the browser shows), and from mp4's picture 1 s later."""
    before = tmp_path / "before.mp4"
    before.write_bytes(fetch_bytes(browser, "/api/play?camera=gate&from=%d&to=%d"
                                   % (moment - PICTURE_US, moment + 1000000)))
    near = min(difference(shown, decoded_luma(mp4)), difference(shown, decoded_luma(str(before))))
    return near, difference(shown, decoded_luma(mp4, 1.0))


def seek(browser, seconds):
    """Moves the playback video to a media time and waits for its picture."""
    browser.eval("""new Promise((resolve) => { const v = document.getElementById('playback');
        v.addEventListener('seeked', resolve, {once: true}); v.currentTime = %r; })""" % seconds)
    time.sleep(0.3)


def test_timeline_plays_the_time_clicked_and_exports_it(browser, site, tmp_path):
    log_in(browser, site)
    browser.eval("document.querySelector('nav button[data-view=\"recordings\"]').click()")
    # Today's spans and an alarm the simulated camera raised.
    browser.wait_for("document.querySelectorAll('#timeline .span').length > 0 && "
                     "document.querySelectorAll('#timeline .mark').length > 0", timeout=20)
    # The event list shows the alarm with a picture.
    browser.wait_for("[...document.querySelectorAll('#events img')].some((i) => i.complete && i.naturalWidth === 320)",
                     timeout=15)
    browser.eval("document.querySelector('[data-zoom=\"600\"]').click()")
    browser.wait_for("document.querySelectorAll('#timeline .span').length > 0")
    time.sleep(3)  # a few seconds more are recorded past the point clicked
    # A click in the middle of the first span plays from that moment.
    clicked = browser.eval("""(() => {
        const s = document.querySelector('#timeline .span');
        const r = s.getBoundingClientRect();
        document.getElementById('timeline').dispatchEvent(new MouseEvent('click',
            {clientX: r.left + r.width / 2, clientY: r.top + 5, bubbles: true}));
        return Number(document.getElementById('playback').dataset.from); })()""")
    spans = browser.eval("[...document.querySelectorAll('#timeline .span')].map((s) => [Number(s.dataset.from), Number(s.dataset.to)])")
    assert any(a <= clicked < b for a, b in spans), (clicked, spans)
    browser.wait_for("document.getElementById('playback').readyState >= 2", timeout=10)
    browser.eval("document.getElementById('playback').pause()")
    # Media time 0 is the key picture at or before the moment clicked.
    start = browser.eval("""(() => { const v = document.getElementById('playback');
        return (Number(v.dataset.from) - Number(v.dataset.origin)) / 1e6; })()""")
    assert 0 <= start < 10, start
    seek(browser, start)
    shown = browser.eval(LUMA)

    # Mark in at that moment, out 2 s later, export: the page's download.
    browser.eval("document.getElementById('mark-in').click()")
    seek(browser, start + 2)
    browser.eval("document.getElementById('mark-out').click()")
    browser.eval("window.downloads = []; HTMLAnchorElement.prototype.click = function () { downloads.push(this.href); }")
    browser.eval("document.getElementById('export').click()")
    browser.wait_for("downloads.length === 1", timeout=20)
    assert browser.eval("document.getElementById('export-state').textContent").startswith("ready")
    assert browser.eval("document.getElementById('export-cancel').hidden")
    export = tmp_path / "export.mp4"
    export.write_bytes(fetch_bytes(browser, browser.eval("downloads[0]")))
    # The picture shown at the clicked time is the export's first one, and
    # not the one a second later (the clip moves).
    first, later = nearest_picture(browser, shown, str(export), round(browser.eval("rec.markIn")),
                                   tmp_path)
    assert first < 6, first
    assert later > first + 3

    # An export cancelled as soon as its Cancel button shows: no download,
    # the page says so and the button goes.
    browser.eval("""new Promise((resolve) => {
        const cancel = document.getElementById('export-cancel');
        new MutationObserver((changes, observer) => {
            if (!cancel.hidden) { observer.disconnect(); cancel.click(); resolve(); }
        }).observe(cancel, {attributes: true});
        document.getElementById('export').click(); })""")
    browser.wait_for("document.getElementById('export-state').textContent === 'export cancelled'",
                     timeout=10)
    time.sleep(1)
    assert browser.eval("downloads.length") == 1
    assert browser.eval("document.getElementById('export-cancel').hidden")


def test_playback_runs_on_across_pieces_without_a_pause(browser, site, tmp_path):
    """Pieces of 12 s here (a minute on the page) so that a boundary comes
    soon: playing across it, the video never waits, the picture after it is
    that of its time, and what lies well behind is dropped."""
    log_in(browser, site)
    browser.eval("document.querySelector('nav button[data-view=\"recordings\"]').click()")
    # About 25 s recorded in one stretch to play through.
    latest = """fetch('/api/timeline?camera=gate&from=' + (Date.now() - 3600e3) * 1000 + '&to=' +
        (Date.now() + 60e3) * 1000).then((r) => r.json()).then((t) => {
          const s = t.spans[t.spans.length - 1];
          return s && s.to - s.from > 25e6 ? s.to : 0; })"""
    end = browser.wait_for(latest, timeout=40)
    start_us = end - 21700000  # between key pictures
    browser.eval("Object.assign(rec, {piece: 12, ahead: 6, behind: 5})")
    browser.eval("""performance.clearResourceTimings(); window.waits = []; window.lowest = 4;
        const v = document.getElementById('playback');
        v.addEventListener('waiting', () => waits.push(v.currentTime));
        setInterval(() => { if (window.watching) lowest = Math.min(lowest, v.readyState); }, 20);
        recPlay(%d)""" % start_us)
    browser.wait_for("document.getElementById('playback').dataset.origin", timeout=10)
    origin = int(browser.eval("document.getElementById('playback').dataset.origin"))
    begin = (start_us - origin) / 1e6
    boundary = begin + 12  # within a picture of the first piece's end
    browser.wait_for("document.getElementById('playback').currentTime > %r" % (begin + 0.5), timeout=10)
    browser.eval("window.watching = true; waits.length = 0")
    browser.wait_for("document.getElementById('playback').currentTime > %r" % (boundary + 2), timeout=25)
    browser.eval("window.watching = false")
    assert browser.eval("waits") == []
    assert browser.eval("lowest") >= 3  # HAVE_FUTURE_DATA throughout
    pieces = browser.eval("performance.getEntriesByType('resource').filter((e) => "
                          "e.name.includes('/api/play') && e.name.includes('fragmented=1')).length")
    assert pieces >= 2, pieces
    # What lay more than 5 s behind was removed.
    assert browser.eval("document.getElementById('playback').buffered.start(0)") > begin

    # The picture after the boundary is that of its time.
    browser.eval("document.getElementById('playback').pause()")
    at = browser.eval("document.getElementById('playback').currentTime")
    assert at > boundary
    seek(browser, at)
    shown = browser.eval(LUMA)
    moment = origin + round(at * 1e6)
    clip = tmp_path / "moment.mp4"
    clip.write_bytes(fetch_bytes(browser, "/api/play?camera=gate&from=%d&to=%d"
                                 % (moment, moment + 2000000)))
    first, later = nearest_picture(browser, shown, str(clip), moment, tmp_path)
    assert first < 6, first
    assert later > first + 3
