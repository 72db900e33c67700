"""The web page in Debian's headless chromium against the real recorder."""

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
