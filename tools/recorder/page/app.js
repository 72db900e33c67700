// The page: the live grid (a click shows one camera alone, another click the
// grid again) and the status table, both from the JSON API under /api/.
'use strict';

const state = {csrf: '', view: 'live', cameras: [], single: null, tiles: new Map()};

async function api(path, options = {}) {
  const headers = Object.assign({}, options.headers || {});
  if (options.method && options.method !== 'GET') headers['X-CSRF-Token'] = state.csrf;
  const response = await fetch(path, Object.assign({}, options, {headers}));
  if (response.status === 401) {
    location.href = '/login.html';
    throw new Error('log in first');
  }
  if (!response.ok) throw new Error((await response.json().catch(() => ({}))).error || response.status);
  return response.json();
}

function el(tag, props = {}, ...children) {
  const e = document.createElement(tag);
  Object.assign(e, props);
  for (const c of children) e.append(c);
  return e;
}

function ago(ms) {
  if (!ms) return 'never';
  const s = Math.max(0, (Date.now() - ms) / 1000);
  return s < 60 ? s.toFixed(1) + ' s ago' : new Date(ms).toLocaleString();
}

function bytes(n) {
  const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
  let i = 0;
  while (n >= 1024 && i < units.length - 1) { n /= 1024; i++; }
  return n.toFixed(i ? 1 : 0) + ' ' + units[i];
}

function makeTile(camera) {
  const video = el('video', {muted: true, autoplay: true, playsInline: true});
  video.muted = true;
  const tile = el('div', {className: 'tile'},
    video,
    el('div', {className: 'label'}, el('span', {className: 'dot'}), el('span', {className: 'name', textContent: camera}),
       el('span', {className: 'state'})),
    el('div', {className: 'down'}, el('strong', {className: 'title'}), el('span', {className: 'why'})));
  tile.dataset.camera = camera;
  tile.addEventListener('click', () => {
    state.single = state.single === camera ? null : camera;
    renderGrid();
  });
  video.addEventListener('liveerror', (e) => {
    tile.classList.add('is-down');
    tile.querySelector('.down .title').textContent = 'cannot play';
    tile.querySelector('.down .why').textContent = e.detail;
  });
  return {tile, video, player: null};
}

function renderGrid() {
  const grid = document.getElementById('grid');
  grid.classList.toggle('single', state.single !== null);
  const names = state.cameras.map((c) => c.name);
  for (const [name, t] of state.tiles) {
    if (!names.includes(name)) {
      if (t.player) t.player.close();
      t.tile.remove();
      state.tiles.delete(name);
    }
  }
  for (const c of state.cameras) {
    let t = state.tiles.get(c.name);
    if (!t) {
      t = makeTile(c.name);
      state.tiles.set(c.name, t);
      grid.append(t.tile);
    }
    const shown = state.view === 'live' && (state.single === null || state.single === c.name);
    t.tile.hidden = !shown;
    const down = c.state === 'down' || c.state === 'stopped';
    t.tile.classList.toggle('is-down', down);
    t.tile.querySelector('.dot').className = 'dot st-' + c.state.replace(' ', '-');
    t.tile.querySelector('.state').textContent = c.state;
    t.tile.querySelector('.down .title').textContent = down ? c.state + (c.reason ? ': ' + c.reason : '') : '';
    t.tile.querySelector('.down .why').textContent = down ? (c.reason_text || c.last_error || '') : '';
    t.tile.dataset.state = c.state;
    t.tile.dataset.reason = c.reason || '';
    if (shown && !t.player) t.player = new LivePlayer(t.video, c.name);
    if (!shown && t.player) {
      t.player.close();
      t.player = null;
    }
  }
}

async function renderStatus() {
  const s = await api('/api/status');
  document.getElementById('recorder').textContent =
    'qnv-recorder ' + s.version + ', up ' + Math.round(s.uptime_s) + ' s (since ' +
    new Date(s.started * 1000).toLocaleString() + ')';
  const disk = new Map(((s.storage && s.storage.cameras) || []).map((c) => [c.camera, c]));
  const body = document.querySelector('#cameras tbody');
  body.replaceChildren(...s.cameras.map((c) => {
    const d = disk.get(c.name) || {};
    const keep = [];
    if (d.keep_days) keep.push(d.keep_days + ' days');
    if (d.keep_gb) keep.push(d.keep_gb.toFixed(1) + ' GB');
    return el('tr', {},
      el('td', {textContent: c.name}),
      el('td', {textContent: c.state}),
      el('td', {textContent: c.since ? new Date(c.since * 1000).toLocaleString() : ''}),
      el('td', {className: 'reason', textContent: c.reason ? c.reason + ': ' + (c.reason_text || '') : ''}),
      el('td', {textContent: (c.bitrate_bps / 1e6).toFixed(2) + ' Mbit/s'}),
      el('td', {textContent: ago(c.last_frame_ms)}),
      el('td', {textContent: s.storage ? bytes(d.bytes || 0) : 'live only'}),
      el('td', {textContent: d.oldest ? new Date(d.oldest * 1000).toLocaleString() : ''}),
      el('td', {textContent: keep.join(', ') || (s.storage ? 'no limit' : '')}));
  }));
  document.getElementById('disk').textContent = s.storage
    ? 'Storage ' + s.storage.root + ' (instance ' + s.storage.instance + '): ' + bytes(s.storage.free_bytes) +
      ' free' + (s.storage.disk_full ? ', FULL: recording paused' : '') +
      (s.storage.keep_days ? ', keeping ' + s.storage.keep_days + ' days' : '') +
      (s.storage.keep_gb ? ', at most ' + s.storage.keep_gb + ' GB' : '')
    : 'No [storage]: live only.';
}

async function refresh() {
  try {
    state.cameras = await api('/api/cameras');
    renderGrid();
    if (state.view === 'status') await renderStatus();
    if (state.view === 'recordings') {
      if (!state.recordingsShown) {
        state.recordingsShown = true;
        recInit(state.cameras);
      } else {
        await recLoad();  // today goes on being recorded
      }
    }
  } catch (e) {
    console.warn(e);
  }
}

function show(view) {
  state.view = view;
  state.recordingsShown = false;
  for (const b of document.querySelectorAll('header nav button')) b.classList.toggle('active', b.dataset.view === view);
  for (const s of document.querySelectorAll('main > section')) s.hidden = s.id !== 'view-' + view;
  refresh();
}

async function init() {
  const session = await api('/api/session');
  state.csrf = session.csrf;
  document.getElementById('who').textContent = session.user || '';
  // Without [storage] there is nothing recorded: live and status only.
  document.querySelector('nav button[data-view="recordings"]').hidden = !session.storage;
  const logout = document.getElementById('logout');
  logout.hidden = !session.login;
  logout.addEventListener('click', async () => {
    await api('/api/logout', {method: 'POST'});
    location.href = '/login.html';
  });
  for (const b of document.querySelectorAll('header nav button')) b.addEventListener('click', () => show(b.dataset.view));
  await refresh();
  setInterval(refresh, 2000);
}

init();
