// The recordings view: a camera's day (or hour, 10 minutes, a minute) as a
// bar of recorded spans and event marks, in the browser's time zone or UTC;
// a click plays from that moment (the server makes the MP4 of the next
// minute from the segments on the fly), steps and jumps move through it, and
// a marked range is exported as the MP4 qnv-export would write.
'use strict';

const rec = {camera: '', start: 0, seconds: 86400, playFrom: 0, playTo: 0, markIn: 0, markOut: 0,
             timeline: null, piece: 60};

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
  const now = rec.playFrom ? rec.playFrom + video.currentTime * 1e6 : 0;
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

// Plays from a moment: a piece of rec.piece seconds, then the next.
function recPlay(us, resumeAt = 0) {
  const video = document.getElementById('playback');
  rec.playFrom = Math.round(us);
  rec.playTo = rec.playFrom + rec.piece * 1e6;
  video.src = '/api/play?camera=' + encodeURIComponent(rec.camera) + '&from=' + rec.playFrom + '&to=' + rec.playTo;
  video.dataset.from = rec.playFrom;
  video.currentTime = resumeAt;
  video.play().catch(() => {});
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
        const centre = rec.playFrom ? rec.playFrom + video.currentTime * 1e6
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
    video.addEventListener('timeupdate', recShowCursor);
    video.addEventListener('ended', () => recPlay(rec.playTo));
    const move = (seconds) => {
      const t = video.currentTime + seconds;
      if (t < 0 || t > rec.piece) recPlay(rec.playFrom + t * 1e6); else video.currentTime = t;
    };
    document.getElementById('step-back').addEventListener('click', () => { video.pause(); move(-0.04); });
    document.getElementById('step-fwd').addEventListener('click', () => { video.pause(); move(0.04); });
    document.getElementById('jump-back').addEventListener('click', () => move(-10));
    document.getElementById('jump-fwd').addEventListener('click', () => move(10));
    document.getElementById('mark-in').addEventListener('click', () => { rec.markIn = rec.playFrom + video.currentTime * 1e6; recShowCursor(); });
    document.getElementById('mark-out').addEventListener('click', () => { rec.markOut = rec.playFrom + video.currentTime * 1e6; recShowCursor(); });
    document.getElementById('export').addEventListener('click', recExport);
  }
  recLoad();
}
