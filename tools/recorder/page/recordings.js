// The recordings view: a camera's day (or hour, 10 minutes, a minute) as a
// bar of recorded spans and event marks, in the browser's time zone or UTC;
// a click plays from that moment (the server makes fragmented MP4 of a
// minute at a time from the segments on the fly, and the pieces run on in one
// Media Source Extensions buffer), steps and jumps move through it, and a
// marked range is exported as the MP4 qnv-export would write.
'use strict';

// Playback: media time t shows capture time origin + t (the first piece's
// key picture); `next` is where the next piece starts; a piece is fetched
// while less than `ahead` s are buffered ahead, and what lies `behind` s
// back is removed, so the buffer holds a few pieces at most.
const rec = {camera: '', start: 0, seconds: 86400, playFrom: 0, markIn: 0, markOut: 0,
             timeline: null, piece: 60, ahead: 20, behind: 30,
             session: 0, source: null, buffer: null, origin: 0, next: 0, fetching: false, empty: 0};

function recUtc() { return document.getElementById('rec-utc').checked; }

function recFormat(us, withDate) {
  const options = {hour: '2-digit', minute: '2-digit', second: '2-digit', hour12: false};
  if (withDate) Object.assign(options, {year: 'numeric', month: '2-digit', day: '2-digit'});
  if (recUtc()) options.timeZone = 'UTC';
  return new Date(us / 1000).toLocaleString(undefined, options) + (recUtc() ? ' UTC' : '');
}

// Midnight of the chosen day, local or UTC, in microseconds.
function recDayStart() {
  const value = document.getElementById('rec-day').value;
  const [y, m, d] = value.split('-').map(Number);
  const ms = recUtc() ? Date.UTC(y, m - 1, d) : new Date(y, m - 1, d).getTime();
  return ms * 1000;
}

async function recLoad() {
  if (!rec.camera) return;
  const from = rec.start, to = rec.start + rec.seconds * 1e6;
  const t = await api('/api/timeline?camera=' + encodeURIComponent(rec.camera) + '&from=' + from + '&to=' + to);
  rec.timeline = t;
  const bar = document.getElementById('timeline');
  const x = (us) => (100 * (us - from) / (to - from)).toFixed(4) + '%';
  const w = (a, b) => (100 * (b - a) / (to - from)).toFixed(4) + '%';
  bar.querySelector('.spans').replaceChildren(...t.spans.map((s) => {
    const e = el('div', {className: 'span', title: recFormat(s.from, false) + ' - ' + recFormat(s.to, false)});
    e.style.left = x(s.from);
    e.style.width = w(s.from, s.to);
    e.dataset.from = s.from;
    e.dataset.to = s.to;
    return e;
  }));
  const rule = document.getElementById('ev-rule').value;
  const events = t.events.filter((e) => rule === '' || e.rule === Number(rule));
  bar.querySelector('.marks').replaceChildren(...events.map((e) => {
    const m = el('div', {className: 'mark', title: 'rule ' + e.rule + ' at ' + recFormat(e.time, false)});
    m.style.left = x(e.time);
    m.dataset.time = e.time;
    return m;
  }));
  document.getElementById('rec-range').textContent = recFormat(from, true) + ' - ' + recFormat(to, true);
  const ticks = document.getElementById('ticks');
  const step = rec.seconds / 6;
  ticks.replaceChildren(...[0, 1, 2, 3, 4, 5, 6].map((i) => {
    const s = el('span', {textContent: recFormat(from + i * step * 1e6, false)});
    s.style.left = (100 * i / 6) + '%';
    return s;
  }));
  const listed = rec.camera + JSON.stringify(events);
  if (listed === rec.listed) {
    recShowCursor();
    return;
  }
  rec.listed = listed;
  document.querySelector('#events tbody').replaceChildren(...events.map((e) => {
    const row = el('tr', {},
      el('td', {textContent: recFormat(e.time, true)}),
      el('td', {textContent: rec.camera}),
      el('td', {textContent: String(e.rule)}),
      el('td', {}, el('img', {alt: '', loading: 'lazy',
        src: '/api/thumbnail?camera=' + encodeURIComponent(rec.camera) + '&time=' + e.time})));
    row.addEventListener('click', () => recPlay(e.time - 2e6));
    return row;
  }));
  recShowCursor();
}

function recShowCursor() {
  const bar = document.getElementById('timeline');
  const video = document.getElementById('playback');
  const from = rec.start, to = rec.start + rec.seconds * 1e6;
  const now = recNow();
  const cursor = bar.querySelector('.cursor');
  cursor.style.display = now >= from && now < to ? 'block' : 'none';
  cursor.style.left = (100 * (now - from) / (to - from)) + '%';
  const sel = bar.querySelector('.selection');
  if (rec.markIn && rec.markOut > rec.markIn) {
    sel.style.display = 'block';
    sel.style.left = (100 * (rec.markIn - from) / (to - from)) + '%';
    sel.style.width = (100 * (rec.markOut - rec.markIn) / (to - from)) + '%';
  } else {
    sel.style.display = 'none';
  }
  document.getElementById('play-time').textContent = now ? recFormat(now, true) : '';
}

// The capture time shown now, in microseconds (0: nothing plays).
function recNow() {
  const video = document.getElementById('playback');
  return rec.origin ? rec.origin + video.currentTime * 1e6 : rec.playFrom;
}

// Plays from a moment, piece after piece.
function recPlay(us) {
  const video = document.getElementById('playback');
  const session = ++rec.session;
  clearTimeout(rec.retry);
  Object.assign(rec, {playFrom: Math.round(us), origin: 0, fetching: false, empty: 0, buffer: null});
  rec.next = rec.playFrom;
  video.dataset.from = rec.playFrom;
  delete video.dataset.origin;
  rec.source = new MediaSource();
  video.src = URL.createObjectURL(rec.source);
  rec.source.addEventListener('sourceopen', () => {
    URL.revokeObjectURL(video.src);
    recFetchAhead(session);
  }, {once: true});
}

function recBufferedEnd(video) {
  const r = video.buffered;
  return r.length ? r.end(r.length - 1) : 0;
}

// One change of the source buffer, finished.
function recUpdate(buffer, change) {
  return new Promise((resolve, reject) => {
    const done = (event) => {
      buffer.removeEventListener('updateend', done);
      buffer.removeEventListener('error', done);
      if (event.type === 'error') reject(new Error('the browser cannot play this video'));
      else resolve();
    };
    buffer.addEventListener('updateend', done);
    buffer.addEventListener('error', done);
    try {
      change();
    } catch (e) {
      buffer.removeEventListener('updateend', done);
      buffer.removeEventListener('error', done);
      reject(e);
    }
  });
}

// A piece placed at its key picture's time, after what lies well behind
// the playing position is removed (more of it when the buffer is full).
async function recAppend(video, data, offset) {
  const b = rec.buffer;
  const trim = async (keep) => {
    const behind = video.currentTime - keep;
    if (b.buffered.length && b.buffered.start(0) < behind) await recUpdate(b, () => b.remove(0, behind));
  };
  await trim(rec.behind);
  b.timestampOffset = offset;
  try {
    await recUpdate(b, () => b.appendBuffer(data));
  } catch (e) {
    if (e.name !== 'QuotaExceededError') throw e;
    await trim(2);
    await recUpdate(b, () => b.appendBuffer(data));
  }
}

// Fetches and appends the next piece when little is left ahead.
async function recFetchAhead(session) {
  const video = document.getElementById('playback');
  if (session !== rec.session || rec.fetching || !rec.source || rec.source.readyState !== 'open') return;
  if (rec.buffer && recBufferedEnd(video) - video.currentTime > rec.ahead) return;
  rec.fetching = true;
  const from = rec.next, to = from + rec.piece * 1e6;
  let response = null, data = null;
  try {
    response = await fetch('/api/play?camera=' + encodeURIComponent(rec.camera) + '&from=' + from +
                           '&to=' + to + '&fragmented=1');
    if (response.status === 401) {
      location.href = '/login.html';
      return;
    }
    if (response.ok) data = await response.arrayBuffer();
  } catch (e) {
    data = null;  // tried again below
  }
  if (session !== rec.session) return;
  const key = data ? Number(response.headers.get('X-Key-Us')) : 0;
  const end = data ? Number(response.headers.get('X-End-Us')) : 0;
  if (!data || !(end > from)) {
    // Nothing from `from` on in this piece: a hole in the recording (the
    // piece after it follows) or its end (asked again a little later,
    // for a while).
    rec.fetching = false;
    if (++rec.empty > 30) {
      if (rec.source.readyState === 'open' && !(rec.buffer && rec.buffer.updating)) rec.source.endOfStream();
      return;
    }
    if (to < Date.now() * 1000) {
      rec.next = to;
      recFetchAhead(session);
    } else {
      rec.retry = setTimeout(() => recFetchAhead(session), 2000);
    }
    return;
  }
  const first = !rec.buffer;
  try {
    if (first) {
      // The server names the piece's type with its codecs.
      rec.buffer = rec.source.addSourceBuffer(response.headers.get('Content-Type'));
      rec.origin = key;
      video.dataset.origin = key;
    }
    await recAppend(video, data, (key - rec.origin) / 1e6);
  } catch (e) {
    if (session === rec.session) document.getElementById('play-time').textContent = 'cannot play: ' + e.message;
    return;
  }
  if (session !== rec.session) return;
  if (first) {
    video.currentTime = Math.max(0, (rec.playFrom - rec.origin) / 1e6);
    video.play().catch(() => {});
  }
  rec.next = end;
  rec.empty = 0;
  rec.fetching = false;
  recFetchAhead(session);
}

// Stalled where nothing was recorded between two pieces: on to what follows.
function recSkipHole(video) {
  const r = video.buffered, t = video.currentTime;
  for (let i = 0; i < r.length; i++) {
    if (r.start(i) <= t && t < r.end(i) - 0.1) return;
  }
  for (let i = 0; i < r.length; i++) {
    if (r.start(i) > t) {
      video.currentTime = r.start(i);
      return;
    }
  }
}

function recZoom(seconds, centre) {
  rec.seconds = seconds;
  const day = recDayStart();
  if (seconds >= 86400) {
    rec.start = day;
  } else {
    rec.start = Math.max(day, Math.round(centre - seconds * 5e5));
  }
  recLoad();
}

async function recExport() {
  const state = document.getElementById('export-state');
  if (!(rec.markOut > rec.markIn)) {
    state.textContent = 'mark in and out first';
    return;
  }
  state.textContent = 'exporting...';
  const job = await api('/api/exports', {method: 'POST', headers: {'Content-Type': 'application/json'},
    body: JSON.stringify({camera: rec.camera, from: rec.markIn, to: rec.markOut})});
  // The server stops the work and removes what it had made.
  const cancel = document.getElementById('export-cancel');
  let cancelled = false;
  cancel.hidden = false;
  cancel.onclick = async () => {
    cancelled = true;
    cancel.hidden = true;
    await api('/api/exports/' + job.id, {method: 'DELETE'}).catch(() => {});
    state.textContent = 'export cancelled';
  };
  try {
    await recFollowExport(job, state, () => cancelled);
  } finally {
    cancel.hidden = true;
  }
}

async function recFollowExport(job, state, cancelled) {
  for (;;) {
    const s = await api('/api/exports/' + job.id);
    if (cancelled()) return;
    if (s.error) { state.textContent = 'export failed: ' + s.error; return; }
    if (s.ready) {
      state.textContent = 'ready: ' + bytes(s.bytes);
      const a = el('a', {href: '/api/exports/' + job.id + '/file', download: rec.camera + '.mp4'});
      document.body.append(a);
      a.click();
      a.remove();
      return;
    }
    state.textContent = 'exporting: segment ' + s.done + ' of ' + (s.total || '?');
    await new Promise((r) => setTimeout(r, 300));
  }
}

function recInit(cameras) {
  const select = document.getElementById('rec-camera');
  if (!select.options.length) {
    for (const c of cameras) select.append(el('option', {value: c.name, textContent: c.name}));
    rec.camera = select.value;
    const today = new Date();
    document.getElementById('rec-day').value = today.getFullYear() + '-' +
      String(today.getMonth() + 1).padStart(2, '0') + '-' + String(today.getDate()).padStart(2, '0');
    rec.start = recDayStart();
    select.addEventListener('change', () => { rec.camera = select.value; recLoad(); });
    document.getElementById('rec-day').addEventListener('change', () => recZoom(86400));
    document.getElementById('rec-utc').addEventListener('change', () => recZoom(rec.seconds, rec.start + rec.seconds * 5e5));
    document.getElementById('ev-rule').addEventListener('input', recLoad);
    for (const b of document.querySelectorAll('[data-zoom]')) {
      b.addEventListener('click', () => {
        const video = document.getElementById('playback');
        const spans = rec.timeline ? rec.timeline.spans : [];
        // Around what plays, else around the latest recording.
        const centre = rec.playFrom ? recNow()
          : spans.length ? spans[spans.length - 1].to : rec.start + rec.seconds * 5e5;
        recZoom(Number(b.dataset.zoom), centre);
      });
    }
    document.getElementById('rec-back').addEventListener('click', () => { rec.start -= rec.seconds * 1e6; recLoad(); });
    document.getElementById('rec-next').addEventListener('click', () => { rec.start += rec.seconds * 1e6; recLoad(); });
    document.getElementById('timeline').addEventListener('click', (event) => {
      const box = event.currentTarget.getBoundingClientRect();
      const us = rec.start + (event.clientX - box.left) / box.width * rec.seconds * 1e6;
      recPlay(us);
    });
    const video = document.getElementById('playback');
    video.addEventListener('timeupdate', () => {
      recShowCursor();
      recFetchAhead(rec.session);
    });
    video.addEventListener('waiting', () => {
      recSkipHole(video);
      recFetchAhead(rec.session);
    });
    // Within what is buffered a move is a seek; beyond it, playback anew.
    const move = (seconds) => {
      const t = video.currentTime + seconds, r = video.buffered;
      for (let i = 0; i < r.length; i++) {
        if (r.start(i) <= t && t < r.end(i)) {
          video.currentTime = t;
          return;
        }
      }
      recPlay(recNow() + seconds * 1e6);
    };
    document.getElementById('step-back').addEventListener('click', () => { video.pause(); move(-0.04); });
    document.getElementById('step-fwd').addEventListener('click', () => { video.pause(); move(0.04); });
    document.getElementById('jump-back').addEventListener('click', () => move(-10));
    document.getElementById('jump-fwd').addEventListener('click', () => move(10));
    document.getElementById('mark-in').addEventListener('click', () => { rec.markIn = recNow(); recShowCursor(); });
    document.getElementById('mark-out').addEventListener('click', () => { rec.markOut = recNow(); recShowCursor(); });
    document.getElementById('export').addEventListener('click', recExport);
  }
  recLoad();
}
