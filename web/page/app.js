// The switcher's web page: one WebSocket to the server, the whole state on connect and only
// changes after. A tile shows what the switcher reported, never what was asked for. Every
// name is set as text (textContent), never as markup.
'use strict';

const $ = (id) => document.getElementById(id);
const el = (tag, cls, text) => {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
};

// Writes only what differs: a burst rewrites every tile, and every write costs the browser a
// style and layout pass over the grid.
const setText = (e, text) => { if (e.textContent !== text) e.textContent = text; };
const setAttr = (e, name, value) => { if (e.getAttribute(name) !== value) e.setAttribute(name, value); };
const setDisabled = (e, off) => { if (e.disabled !== off) e.disabled = off; };

const kFirstRetryMs = 500;
const kMaxRetryMs = 15000;
const kPendingMs = 3000;   // a tile waits this long for the switcher's report
const kMessageMs = 6000;

const S = {
  open: false,
  link: { state: 'down', reason: '' },
  device: { model: '', version: '', inputs: 256, outputs: 256 },
  readOnly: false,
  routes: [],                 // [video, audio] per output, null = not reported
  names: { inputs: [], outputs: [] },
  presets: [],
  protects: new Map(),        // output -> { shown, label } of its protect's holder
  you: '',                    // this page's label: its own protects are told apart
  name: '',                   // the bridge's, so that two bridges' tabs are told apart
};
const ui = {
  tiles: [],
  cols: 0,
  focus: 0,                   // index of the tile that takes the grid's Tab stop
  selected: new Set(),
  picked: null,               // the input chosen in take mode
  pending: new Map(),         // output -> timer
  requests: new Map(),        // id -> { what, outputs }
  renaming: null,             // { kind, number }
  protectBlocked: false,      // another holds one of the selected outputs
};

let ws = null;
let nextId = 1;
let retryMs = kFirstRetryMs;
let retryTimer = null;
let countdown = null;

// ---- names and texts ------------------------------------------------------------------

const inputName = (n) => (n >= 1 ? S.names.inputs[n - 1] || '' : '');
const outputName = (n) => S.names.outputs[n - 1] || '';
const labelOf = (n, name) => (name ? `${n} ${name}` : String(n));
const signal = () => document.querySelector('input[name="signal"]:checked').value;
const canSend = () => S.open && S.link.state === 'ready' && !S.readOnly;
const canEdit = () => S.open && !S.readOnly;

function describeSignal(v) {
  if (v === null) return 'not reported';
  if (v === 0) return 'closed';
  return 'input ' + labelOf(v, inputName(v));
}

// The output's protect: null when free, else { shown, mine }.
function protectOf(o) {
  const p = S.protects.get(o);
  return p ? { shown: p.shown, mine: p.label === S.you } : null;
}

function describeProtect(o) {
  const p = protectOf(o);
  return !p ? '' : p.mine ? 'protected by you' : `protected by ${p.shown}`;
}

function describeRoute(o) {
  const [v, a] = S.routes[o - 1] || [null, null];
  if (v === 0 && a === 0) return 'closed';
  if (v === a) return v === null ? 'route not reported yet' : `video and audio from ${describeSignal(v)}`;
  return `video from ${describeSignal(v)}, audio from ${describeSignal(a)}`;
}

function say(text, error) {
  const box = $('messages');
  const p = el('p', error ? 'error' : '', text);
  box.appendChild(p);
  while (box.children.length > 3) box.firstChild.remove();
  setTimeout(() => p.remove(), kMessageMs);
}

// ---- the connection -------------------------------------------------------------------

function setConnection(text, retry) {
  $('connection').hidden = !text;
  $('connection-text').textContent = text || '';
  $('retry').hidden = !retry;
}

function scheduleRetry() {
  clearTimeout(retryTimer);
  clearInterval(countdown);
  const due = Date.now() + retryMs;
  const show = () => {
    const s = Math.max(1, Math.ceil((due - Date.now()) / 1000));
    setConnection(`Connection to the server lost. Reconnecting in ${s} s\u2026`, true);
  };
  show();
  countdown = setInterval(show, 1000);
  retryTimer = setTimeout(connect, retryMs);
  retryMs = Math.min(retryMs * 2, kMaxRetryMs);
}

async function connect() {
  clearTimeout(retryTimer);
  clearInterval(countdown);
  if (ws) return;
  setConnection(S.open ? '' : 'Connecting\u2026', false);
  let session;
  try {
    const r = await fetch('session', { cache: 'no-store' });
    session = await r.json();
  } catch (e) {
    return scheduleRetry();
  }
  if (session.password && !session.session) return askPassword();
  const socket = new WebSocket((location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/ws');
  ws = socket;
  socket.onmessage = (e) => {
    let m;
    try { m = JSON.parse(e.data); } catch (err) { return; }
    receive(m);
  };
  socket.onclose = () => {
    if (ws !== socket) return;
    ws = null;
    S.open = false;
    for (const o of [...ui.pending.keys()]) settle(o);
    ui.requests.clear();
    refreshControls();
    scheduleRetry();
  };
}

function request(body, what, outputs) {
  if (!ws || ws.readyState !== WebSocket.OPEN) return say('Not connected to the server.', true);
  const id = nextId++;
  ui.requests.set(id, { what, outputs: outputs || [] });
  ws.send(JSON.stringify({ id, ...body }));
  for (const o of outputs || []) {
    clearTimeout(ui.pending.get(o));
    ui.pending.set(o, setTimeout(() => settle(o), kPendingMs));
    ui.tiles[o - 1]?.classList.add('pending');
  }
  return id;
}

function settle(o) {
  clearTimeout(ui.pending.get(o));
  ui.pending.delete(o);
  ui.tiles[o - 1]?.classList.remove('pending');
}

function receive(m) {
  if (m.type === 'state') {
    const resized = m.device.outputs !== S.device.outputs || m.device.inputs !== S.device.inputs || !ui.tiles.length;
    Object.assign(S, { link: m.link, device: m.device, readOnly: m.readOnly, routes: m.routes,
                       names: m.names, presets: m.presets, open: true, you: m.you || '', name: m.name || '',
                       protects: new Map((m.protects || []).map(([o, shown, label]) => [o, { shown, label }])) });
    retryMs = kFirstRetryMs;
    setConnection('', false);
    if (resized) buildGrid();
    else for (let o = 1; o <= S.device.outputs; ++o) renderTile(o);
    buildInputs();
    renderPresets();
    renderName();
    renderLink();
    renderPanel();
  } else if (m.type === 'change') {
    if (m.link) { S.link = m.link; renderLink(); }
    if (m.presets) { S.presets = m.presets; renderPresets(); }
    if (m.names) {
      S.names = m.names;
      for (let o = 1; o <= S.device.outputs; ++o) renderTile(o);
      buildInputs();
      renderPanel();
    }
    for (const [o, v, a] of m.routes || []) {
      S.routes[o - 1] = [v, a];
      settle(o);
      renderTile(o);
    }
    if (m.routes) markCurrent();
    for (const [o, shown, label] of m.protects || []) {
      if (label) S.protects.set(o, { shown, label });
      else S.protects.delete(o);
      renderTile(o);
    }
    if (m.protects) renderPanel();
  } else if (m.type === 'error') {
    const r = ui.requests.get(m.id);
    ui.requests.delete(m.id);
    if (r) r.outputs.forEach(settle);
    say(r ? `${r.what}: ${m.reason}` : m.reason, true);
  } else if (m.type === 'done') {
    const r = ui.requests.get(m.id);
    ui.requests.delete(m.id);
    if (r && r.done) r.done();
  }
  refreshControls();
}

// ---- the grid -------------------------------------------------------------------------

function buildGrid() {
  const grid = $('grid');
  ui.tiles = [];
  ui.selected.clear();
  ui.focus = 0;
  for (let o = 1; o <= S.device.outputs; ++o) {
    const t = el('div', 'tile');
    t.setAttribute('role', 'gridcell');
    t.tabIndex = o === 1 ? 0 : -1;
    t.dataset.output = o;
    t.setAttribute('aria-selected', 'false');
    const out = el('div', 'out');
    out.append(el('b', '', String(o)), el('span', 'out-name'));
    const lock = el('div', 'lock');
    lock.hidden = true;
    lock.append(lockIcon(), el('span', 'holder'));
    t.append(out, el('div', 'src'), el('div', 'src-name'), el('div', 'aud'), lock);
    ui.tiles.push(t);
  }
  ui.cols = 0;
  grid.replaceChildren();
  grid.setAttribute('aria-rowcount', '0');
  layoutRows();
  for (let o = 1; o <= S.device.outputs; ++o) renderTile(o);
}

// The grid's rows follow the columns the page's width gives, so arrow keys and a screen
// reader see the rows the eye sees.
function layoutRows() {
  const grid = $('grid');
  const cols = Math.max(1, getComputedStyle(grid).gridTemplateColumns.split(' ').filter(Boolean).length);
  if (cols === ui.cols && grid.children.length) return;
  const focused = document.activeElement;
  ui.cols = cols;
  const rows = [];
  for (let i = 0; i < ui.tiles.length; i += cols) {
    const row = el('div', 'row');
    row.setAttribute('role', 'row');
    row.setAttribute('aria-rowindex', String(rows.length + 1));
    row.append(...ui.tiles.slice(i, i + cols));
    rows.push(row);
  }
  grid.replaceChildren(...rows);
  grid.setAttribute('aria-rowcount', String(rows.length));
  grid.setAttribute('aria-colcount', String(cols));
  if (focused && focused.classList.contains('tile')) focused.focus();
}

// A padlock drawn as SVG: no font needs to have the glyph.
function lockIcon() {
  const ns = 'http://www.w3.org/2000/svg';
  const svg = document.createElementNS(ns, 'svg');
  svg.setAttribute('viewBox', '0 0 10 12');
  svg.setAttribute('aria-hidden', 'true');
  const shackle = document.createElementNS(ns, 'path');
  shackle.setAttribute('d', 'M2.5 5.5V3.5a2.5 2.5 0 0 1 5 0v2');
  shackle.setAttribute('fill', 'none');
  shackle.setAttribute('stroke', 'currentColor');
  shackle.setAttribute('stroke-width', '1.6');
  const body = document.createElementNS(ns, 'rect');
  body.setAttribute('x', '0.5');
  body.setAttribute('y', '5');
  body.setAttribute('width', '9');
  body.setAttribute('height', '6.5');
  body.setAttribute('rx', '1');
  body.setAttribute('fill', 'currentColor');
  svg.append(shackle, body);
  return svg;
}

function renderTile(o) {
  const t = ui.tiles[o - 1];
  if (!t) return;
  const [v, a] = S.routes[o - 1] || [null, null];
  const name = outputName(o);
  const [out, src, srcName, aud, lock] = t.children;
  const p = protectOf(o);
  t.classList.toggle('protected', p !== null);
  t.classList.toggle('mine', p !== null && p.mine);
  if (lock.hidden !== !p) lock.hidden = !p;
  setText(lock.lastChild, !p ? '' : p.mine ? 'You' : p.shown);
  setText(out.lastChild, name);
  t.classList.toggle('closed', v === 0 && a === 0);
  t.classList.toggle('unknown', v === null);
  setText(src, v === null ? '?' : v === 0 ? (a === 0 ? 'Closed' : 'Video closed') : String(v));
  setText(srcName, v === null ? 'Not reported' : v > 0 ? inputName(v) : '');
  setText(aud, a === v ? '' : a === null ? 'Audio ?' : a === 0 ? 'Audio closed' : `Audio ${labelOf(a, inputName(a))}`);
  const held = describeProtect(o);
  const label = `Output ${labelOf(o, name)}: ${describeRoute(o)}${held ? `; ${held}` : ''}`;
  setAttr(t, 'aria-label', label);
  if (t.title !== label) t.title = label;
}

function moveFocus(index) {
  index = Math.max(0, Math.min(ui.tiles.length - 1, index));
  ui.tiles[ui.focus].tabIndex = -1;
  ui.focus = index;
  ui.tiles[index].tabIndex = 0;
  ui.tiles[index].focus();
}

function gridKey(e) {
  const t = e.target.closest('.tile');
  if (!t) return;
  const i = Number(t.dataset.output) - 1;
  const c = ui.cols;
  const moves = {
    ArrowRight: i + 1, ArrowLeft: i - 1, ArrowDown: i + c, ArrowUp: i - c,
    Home: e.ctrlKey ? 0 : i - (i % c), End: e.ctrlKey ? ui.tiles.length - 1 : i - (i % c) + c - 1,
    PageDown: i + 4 * c, PageUp: i - 4 * c,
  };
  if (e.key in moves) {
    e.preventDefault();
    moveFocus(moves[e.key]);
  } else if (e.key === 'Enter' || e.key === ' ') {
    e.preventDefault();
    choose(i + 1);
  } else if (e.key === 'Escape') {
    clearSelection();
  }
}

function choose(o) {
  const take = $('take-mode').checked;
  if (take) {
    if (ui.selected.has(o)) ui.selected.delete(o);
    else ui.selected.add(o);
  } else {
    const only = ui.selected.size === 1 && ui.selected.has(o);
    ui.selected.clear();
    if (!only) ui.selected.add(o);
  }
  ui.renaming = null;
  for (const t of ui.tiles) t.setAttribute('aria-selected', String(ui.selected.has(Number(t.dataset.output))));
  moveFocus(o - 1);
  renderPanel();
}

function clearSelection() {
  ui.selected.clear();
  ui.picked = null;
  ui.renaming = null;
  for (const t of ui.tiles) t.setAttribute('aria-selected', 'false');
  renderPanel();
  if (ui.tiles[ui.focus]) ui.tiles[ui.focus].focus();
}

// ---- the input list and the panel -------------------------------------------------------

function buildInputs() {
  const list = $('inputs');
  const items = [];
  for (let n = 1; n <= S.device.inputs; ++n) {
    const li = el('li');
    li.dataset.input = n;
    if (ui.renaming && ui.renaming.kind === 'input' && ui.renaming.number === n) {
      li.append(renameForm('input', n));
    } else {
      const pick = el('button', 'pick control');
      pick.type = 'button';
      pick.dataset.input = n;
      pick.append(el('span', 'n', String(n)), el('span', 'name', inputName(n)), el('span', 'current'));
      pick.setAttribute('aria-label', `Input ${labelOf(n, inputName(n))}`);
      li.append(pick);
      if (n <= S.names.inputs.length) {
        const rename = el('button', 'small edit', '\u270e');
        rename.type = 'button';
        rename.dataset.rename = n;
        rename.setAttribute('aria-label', `Rename input ${n}`);
        li.append(rename);
      }
    }
    items.push(li);
  }
  list.replaceChildren(...items);
  applyFilter();
  markCurrent();
}

function applyFilter() {
  const q = $('filter').value.trim().toLowerCase();
  for (const li of $('inputs').children) {
    const n = Number(li.dataset.input);
    li.hidden = q !== '' && !String(n).startsWith(q) && !inputName(n).toLowerCase().includes(q);
  }
}

// The input that feeds the selected output is marked in the list; the picked one in take mode.
function markCurrent() {
  const only = ui.selected.size === 1 ? [...ui.selected][0] : 0;
  const [v, a] = only ? S.routes[only - 1] || [null, null] : [null, null];
  const take = $('take-mode').checked;
  for (const b of $('inputs').querySelectorAll('.pick')) {
    const n = Number(b.dataset.input);
    const mark = n === v && n === a ? 'AV' : n === v ? 'Video' : n === a ? 'Audio' : '';
    setText(b.lastChild, mark ? `now: ${mark}` : '');
    setAttr(b, 'aria-pressed', String(take && ui.picked === n));
    setAttr(b, 'aria-label', `Input ${labelOf(n, inputName(n))}${mark ? `, feeds this output (${mark})` : ''}`);
  }
}

function renderPanel() {
  const panel = $('panel');
  const take = $('take-mode').checked;
  panel.hidden = ui.selected.size === 0;
  const list = [...ui.selected].sort((x, y) => x - y);
  if (list.length === 1) $('panel-title').textContent = `Output ${labelOf(list[0], outputName(list[0]))}`;
  else $('panel-title').textContent = `${list.length} outputs: ${list.join(', ')}`;
  $('rename-output').hidden = list.length !== 1;
  const box = $('rename-output-box');
  const editing = ui.renaming && ui.renaming.kind === 'output';
  box.hidden = !editing;
  if (editing) box.replaceChildren(renameForm('output', ui.renaming.number));
  renderProtect(list);
  $('take').hidden = !take;
  $('close-outputs').textContent = list.length > 1 ? 'Close outputs' : 'Close output';
  markCurrent();
  refreshControls();
}

// The selected outputs' protect: who holds them, and the button that takes or ends them.
function renderProtect(list) {
  const others = list.map((o) => [o, protectOf(o)]).filter(([, p]) => p && !p.mine);
  const mine = list.length > 0 && list.every((o) => protectOf(o)?.mine);
  const button = $('protect');
  setText(button, mine ? 'Release' : 'Protect');
  button.dataset.op = mine ? 'release' : 'protect';
  ui.protectBlocked = others.length > 0;
  const note = $('protect-note');
  let text = '';
  if (others.length === 1 && list.length === 1) text = `Protected by ${others[0][1].shown}: routes from this page are refused.`;
  else if (others.length) text = `${others.length === 1 ? `Output ${others[0][0]} is` : `${others.length} outputs are`} protected by others: routes to ${others.length === 1 ? 'it' : 'them'} are refused.`;
  else if (mine) text = list.length === 1 ? 'Protected by you: only this page may route it.' : 'Protected by you.';
  note.hidden = !text;
  setText(note, text);
}

function protectSelected() {
  const outputs = [...ui.selected].sort((x, y) => x - y);
  if (!outputs.length) return;
  const op = $('protect').dataset.op === 'release' ? 'release' : 'protect';
  const what = `${op === 'release' ? 'Release' : 'Protect'} ${outputs.length === 1 ? `output ${outputs[0]}` : `${outputs.length} outputs`}`;
  request({ op, outputs }, what);
}

function renameForm(kind, number) {
  const form = el('form', 'rename');
  const field = el('input');
  field.value = kind === 'input' ? inputName(number) : outputName(number);
  field.maxLength = 64;
  field.setAttribute('aria-label', `New name of ${kind} ${number}`);
  const save = el('button', 'small primary', 'Save');
  save.type = 'submit';
  const cancel = el('button', 'small', 'Cancel');
  cancel.type = 'button';
  const stop = () => {
    ui.renaming = null;
    if (kind === 'input') buildInputs();
    renderPanel();
  };
  cancel.addEventListener('click', stop);
  field.addEventListener('keydown', (e) => { if (e.key === 'Escape') { e.stopPropagation(); stop(); } });
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    const id = request({ op: 'rename', kind, number, name: field.value }, `Rename ${kind} ${number}`);
    if (id) ui.requests.get(id).done = stop;
  });
  form.append(field, save, cancel);
  setTimeout(() => field.focus(), 0);
  return form;
}

function routeTo(input) {
  const outputs = [...ui.selected].sort((x, y) => x - y);
  if (!outputs.length) return;
  const sig = signal();
  const what = outputs.length === 1 ? `Output ${outputs[0]}` : `${outputs.length} outputs`;
  request({ op: 'route', input, outputs, signal: sig }, what, outputs);
}

function closeSelected() {
  const outputs = [...ui.selected].sort((x, y) => x - y);
  if (!outputs.length) return;
  const sig = signal();
  const what = outputs.length === 1 ? `Close output ${outputs[0]}` : `Close ${outputs.length} outputs`;
  if (sig === 'B') request({ op: 'close', outputs }, what, outputs);
  else request({ op: 'route', input: 0, outputs, signal: sig }, what, outputs);
}

// ---- presets, link, controls ------------------------------------------------------------

function renderPresets() {
  const box = $('presets');
  const buttons = S.presets.map((p) => {
    const b = el('button', 'control preset', p.name);
    b.type = 'button';
    b.dataset.preset = p.id;
    return b;
  });
  if (!buttons.length) buttons.push(el('p', 'none', 'No presets.'));
  box.replaceChildren(...buttons);
}

const kLinkWords = {
  ready: 'Link up', identifying: 'Identifying the switcher', opening: 'Opening the link',
  down: 'Link down', lost: 'Link lost',
};

function renderName() {
  const title = S.name ? `${S.name} \u00b7 Switcher` : 'Switcher';
  if (document.title !== title) document.title = title;
  const e = $('name');
  setText(e, S.name);
  e.hidden = !S.name;
}

function renderLink() {
  const d = S.device;
  const size = `${d.inputs} inputs, ${d.outputs} outputs`;
  $('device').textContent = (d.model ? `${d.model}${d.version ? ' ' + d.version : ''} \u00b7 ` : '') + size +
                            (S.readOnly ? ' \u00b7 read only' : '');
  const state = S.link.state;
  const link = $('link');
  link.textContent = kLinkWords[state] || state;
  link.className = 'link ' + (state === 'ready' ? 'ready' : state === 'opening' || state === 'identifying' ? 'busy' : '');
  const banner = $('banner');
  banner.hidden = state === 'ready';
  const reason = S.link.reason ? `: ${S.link.reason}` : '';
  banner.textContent = `${kLinkWords[state] || state}${reason}. Nothing can be sent to the switcher now.`;
}

function refreshControls() {
  document.body.classList.toggle('offline', !S.open);
  const send = canSend();
  const edit = canEdit();
  for (const b of document.querySelectorAll('.control')) setDisabled(b, !send);
  for (const b of document.querySelectorAll('.edit, #rename-output')) setDisabled(b, !edit);
  setDisabled($('protect'), !edit || ui.protectBlocked);
  setDisabled($('save'), !edit);
  setDisabled($('take'), !send || ui.picked === null || ui.selected.size === 0);
  for (const r of document.querySelectorAll('input[name="signal"], #take-mode')) setDisabled(r, S.readOnly);
}

// ---- password -------------------------------------------------------------------------

function askPassword() {
  setConnection('', false);
  const d = $('login');
  if (!d.open) d.showModal();
  $('password').focus();
}

async function login(e) {
  e.preventDefault();
  const error = $('login-error');
  error.textContent = '';
  let r;
  try {
    r = await fetch('login', { method: 'POST', body: $('password').value, headers: { 'Content-Type': 'text/plain' } });
  } catch (err) {
    error.textContent = 'The server cannot be reached.';
    return;
  }
  if (r.ok) {
    $('password').value = '';
    $('login').close();
    connect();
    return;
  }
  let text = 'Wrong password.';
  try { text = (await r.json()).message || text; } catch (err) { /* keep the plain text */ }
  error.textContent = text;
}

// ---- wiring ---------------------------------------------------------------------------

function wire() {
  const grid = $('grid');
  grid.addEventListener('click', (e) => {
    const t = e.target.closest('.tile');
    if (t) choose(Number(t.dataset.output));
  });
  grid.addEventListener('keydown', gridKey);
  new ResizeObserver(() => layoutRows()).observe(grid);
  $('inputs').addEventListener('click', (e) => {
    const rename = e.target.closest('[data-rename]');
    if (rename) {
      ui.renaming = { kind: 'input', number: Number(rename.dataset.rename) };
      buildInputs();
      return;
    }
    const pick = e.target.closest('.pick');
    if (!pick || pick.disabled) return;
    const n = Number(pick.dataset.input);
    if ($('take-mode').checked) {
      ui.picked = ui.picked === n ? null : n;
      markCurrent();
      refreshControls();
    } else {
      routeTo(n);
    }
  });
  $('filter').addEventListener('input', applyFilter);
  $('take').addEventListener('click', () => {
    if (ui.picked === null) return;
    routeTo(ui.picked);
    clearSelection();
  });
  $('close-outputs').addEventListener('click', closeSelected);
  $('protect').addEventListener('click', protectSelected);
  $('panel-close').addEventListener('click', clearSelection);
  $('rename-output').addEventListener('click', () => {
    ui.renaming = { kind: 'output', number: [...ui.selected][0] };
    renderPanel();
  });
  $('take-mode').addEventListener('change', () => {
    ui.picked = null;
    $('grid').setAttribute('aria-multiselectable', String($('take-mode').checked));
    if (!$('take-mode').checked && ui.selected.size > 1) clearSelection();
    else renderPanel();
  });
  $('panel').addEventListener('keydown', (e) => { if (e.key === 'Escape') clearSelection(); });
  $('presets').addEventListener('click', (e) => {
    const b = e.target.closest('[data-preset]');
    if (b) request({ op: 'preset', preset: b.dataset.preset }, `Preset ${b.textContent}`);
  });
  $('save').addEventListener('click', () => {
    const id = request({ op: 'save' }, 'Save routing as preset');
    if (id) ui.requests.get(id).done = () => say('Routing saved as a preset.');
  });
  $('retry').addEventListener('click', () => { retryMs = kFirstRetryMs; connect(); });
  $('login-form').addEventListener('submit', login);
  $('login').addEventListener('cancel', (e) => e.preventDefault());
}

// A page the browser keeps in its back-forward cache would keep its socket, and one of the
// server's MaxClients slots, open; it lets go and reconnects when shown again.
window.addEventListener('pagehide', (e) => { if (e.persisted && ws) ws.close(); });
window.addEventListener('pageshow', (e) => { if (e.persisted) { retryMs = kFirstRetryMs; connect(); } });

wire();
buildGrid();
buildInputs();
renderPresets();
renderLink();
refreshControls();
connect();
