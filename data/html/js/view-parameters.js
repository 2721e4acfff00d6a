// Parameters: every parameter of the server with its last value, live updates, editing with the
// right value type, and a trend plot of a numeric parameter over the session.
(function (VX) {
  'use strict';

  const el = VX.el;
  // The trend of the selected parameter keeps this many values; every other parameter keeps its
  // last RECENT_MAX, so memory stays bounded with tens of thousands of parameters.
  const HISTORY_MAX = 2000;
  const RECENT_MAX = 32;
  // Rows drawn beyond the visible ones on each side, so that short scrolls need no redraw.
  const OVERSCAN = 40;
  // With a value, scope or time order, the order itself changes with the values: sorted again at
  // most this often.
  const RESORT_MS = 500;
  const params = new Map();
  let ui = null;
  let selected = null;
  let sort = { key: 'id', dir: 1 };
  let filterText = '';
  let loadRequested = false;
  // When the page last asked for the list and its values (0: the list came unasked).
  let loadAskedMs = 0;
  // The values asked for after the server's parameter list: {total, eta, ids, startMs}.
  let loading = null;
  // What the page accounted for: every change the manager reported (merged ones included), the
  // answers to value requests and the changes the server pushed.
  const stats = { changes: 0, updates: 0, answers: 0, pushed: 0 };
  // Loads of the whole list that ended with every value received.
  let completedLoads = 0;

  const SCOPE_TEXT = { Read: 'read', Write: 'write', Response: 'response', Physical: 'physical' };
  const raf = window.requestAnimationFrame ? window.requestAnimationFrame.bind(window) : (f) => setTimeout(f, 16);

  // ---- Values over time: a ring of times and values ------------------------------------------
  function Ring(cap) {
    this.t = new Float64Array(cap);
    this.v = new Float64Array(cap);
    this.cap = cap;
    this.n = 0;
    this.head = 0;
  }
  Ring.prototype.push = function (t, v) {
    this.t[this.head] = t;
    this.v[this.head] = v;
    this.head = (this.head + 1) % this.cap;
    if (this.n < this.cap) this.n++;
  };
  // i-th oldest value held
  Ring.prototype.at = function (i) { return (this.head - this.n + i + this.cap) % this.cap; };
  Ring.prototype.resized = function (cap) {
    const r = new Ring(cap);
    const from = Math.max(0, this.n - cap);
    for (let i = from; i < this.n; i++) { const k = this.at(i); r.push(this.t[k], this.v[k]); }
    return r;
  };

  // ---- The table's model: filtered and sorted list, drawn as a window of rows ----------------
  let list = [];
  let listDirty = true;
  let lastSort = 0;
  let frameWanted = false;
  let trendWanted = false;
  let rowHeight = 0;
  let drawn = { start: 0, end: 0 };
  const changed = new Set();

  function compare(a, b) {
    let r = 0;
    if (sort.key === 'id') r = a.num - b.num || (a.id < b.id ? -1 : a.id > b.id ? 1 : 0);
    else if (sort.key === 'value') {
      const na = Number(a.value), nb = Number(b.value);
      r = VX.isNumericText(a.value) && VX.isNumericText(b.value) ? na - nb : String(a.value).localeCompare(String(b.value));
    } else if (sort.key === 'type') r = a.type.localeCompare(b.type);
    else if (sort.key === 'scope') r = String(a.scope).localeCompare(String(b.scope));
    else if (sort.key === 'time') r = a.time - b.time;
    return r * sort.dir;
  }

  function matches(p, f) {
    return !f || p.id.indexOf(f) >= 0 || p.value.toLowerCase().indexOf(f) >= 0;
  }

  function rebuildList() {
    const f = filterText.toLowerCase();
    const out = [];
    params.forEach((p) => { if (matches(p, f)) out.push(p); });
    out.sort(compare);
    list = out;
    listDirty = false;
    lastSort = Date.now();
  }

  function scheduleFrame() {
    if (frameWanted) return;
    frameWanted = true;
    raf(frame);
  }

  function scheduleTrend() {
    trendWanted = true;
    scheduleFrame();
  }

  function fillRow(tr, p) {
    const c = tr.childNodes;
    c[0].textContent = p.id;
    c[1].textContent = p.value;
    c[1].title = p.value.length > 60 ? p.value.substring(0, 500) : '';
    c[2].textContent = p.type;
    c[2].className = p.typeChosen ? '' : 'guessed';
    c[2].title = p.typeChosen ? 'the type last written' : 'guessed from the value; choose the type when writing';
    c[3].textContent = SCOPE_TEXT[p.scope] || (p.scope ? p.scope : '—');
    c[4].textContent = VX.timeText(new Date(p.time));
  }

  function rowOf(p) {
    const tr = el('tr', { tabindex: '0', 'data-id': p.id, class: selected === p.id ? 'selected' : '' }, [
      el('td', { class: 'mono num' }), el('td', { class: 'value' }), el('td'), el('td'), el('td', { class: 'mono' })
    ]);
    fillRow(tr, p);
    p.row = tr;
    return tr;
  }

  function rowAround(node) {
    for (let n = node; n && n !== ui.table.body; n = n.parentNode)
      if (n.nodeName === 'TR' && n.hasAttribute('data-id')) return n;
    return null;
  }

  function spacer(height) {
    return el('tr', { class: 'spacer', 'aria-hidden': 'true' }, [el('td', { colspan: '5', style: 'height:' + height + 'px' })]);
  }

  // The rows in view (and OVERSCAN either side); everything else is one spacer above and below.
  function visibleRange() {
    const box = ui.box;
    const h = rowHeight || 24;
    const first = Math.floor(box.scrollTop / h);
    const count = Math.ceil((box.clientHeight || 400) / h) + 1;
    return { first, last: Math.min(list.length, first + count) };
  }

  function drawRows(force) {
    const body = ui.table.body;
    const v = visibleRange();
    if (!force && v.first >= drawn.start && v.last <= drawn.end) return false;
    const start = Math.max(0, v.first - OVERSCAN);
    const end = Math.min(list.length, v.last + OVERSCAN);
    const rows = [];
    params.forEach((p) => { if (p.row) p.row = null; });
    VX.clear(body);
    if (!list.length) {
      VX.emptyRow(body, 5, params.size ? 'No parameter matches the filter.' :
        VX.session.state === 'connected' ? 'No parameter received yet.' : 'Connect to a server to see its parameters.');
      drawn = { start: 0, end: 0 };
      return true;
    }
    const h = rowHeight || 24;
    const fragment = document.createDocumentFragment();
    if (start > 0) fragment.appendChild(spacer(start * h));
    for (let i = start; i < end; i++) rows.push(fragment.appendChild(rowOf(list[i])));
    if (end < list.length) fragment.appendChild(spacer((list.length - end) * h));
    body.appendChild(fragment);
    drawn = { start, end };
    if (!rowHeight && rows.length) {
      rowHeight = rows[0].offsetHeight || 24;
      if (start > 0 || end < list.length) return drawRows(true);
    }
    return true;
  }

  function frame() {
    frameWanted = false;
    if (!ui) return;
    const resort = sort.key !== 'id' && sort.key !== 'type' && changed.size && Date.now() - lastSort >= RESORT_MS;
    const rebuilt = listDirty || resort;
    if (rebuilt) rebuildList();
    else if (sort.key !== 'id' && sort.key !== 'type' && changed.size) setTimeout(scheduleFrame, RESORT_MS);
    const redrawn = drawRows(rebuilt);
    if (!redrawn) {
      // Rows already drawn take the new values in place; a changed row flashes.
      changed.forEach((id) => {
        const p = params.get(id);
        if (!p || !p.row) return;
        fillRow(p.row, p);
        // Switching between two equal animations restarts the flash without a forced layout.
        const cls = p.row.classList;
        if (cls.contains('flash')) { cls.remove('flash'); cls.add('flash2'); } else { cls.remove('flash2'); cls.add('flash'); }
      });
    }
    changed.clear();
    updateCount();
    if (trendWanted) {
      trendWanted = false;
      drawTrend();
      if (selected !== null) showSelected();
    }
  }

  function updateCount() {
    VX.setText(ui.count, params.size ? VX.groupedNumber(list.length) + ' of ' + VX.groupedNumber(params.size) + ' parameters' : '');
    if (loadRequested && params.size && /status-busy/.test(ui.status.className))
      VX.setStatus(ui.status, 'ok', 'Values received; changes reported by the server flash their row.');
  }

  function render() {
    if (!ui) return;
    listDirty = true;
    Array.prototype.forEach.call(ui.table.head.childNodes, (th) => {
      const key = th.getAttribute('data-key');
      th.className = 'sortable' + (key === sort.key ? (sort.dir > 0 ? ' sort-asc' : ' sort-desc') : '');
    });
    frame();
  }

  // One change (or several merged by the manager: `changes` says how many) of one parameter.
  function apply(update, now) {
    const id = String(update.ParameterID === undefined ? '' : update.ParameterID);
    if (id === '' || VX.isCommandCode(id)) return;
    const value = update.value === undefined || update.value === null ? '' : String(update.value);
    const n = Number(update.changes);
    const count = isFinite(n) && n >= 1 ? Math.floor(n) : 1;
    const scope = update.frameScope === undefined ? '' : String(update.frameScope);
    // Of the changes merged into this entry, `answers` answered a value request; the others the
    // server pushed on its own.
    const a = Number(update.answers);
    const answers = Math.min(count, isFinite(a) && a > 0 ? Math.floor(a) : scope === 'Response' ? 1 : 0);
    stats.changes += count;
    stats.updates++;
    stats.answers += answers;
    stats.pushed += count - answers;
    let p = params.get(id);
    if (!p) {
      p = { id, num: Number(id), value, type: VX.inferValueType(value), typeChosen: false, scope: '', time: 0,
        history: null, changes: 0, row: null };
      params.set(id, p);
      listDirty = true;
    } else if (!listDirty && filterText && matches(p, filterText.toLowerCase()) !== matches({ id, value }, filterText.toLowerCase())) {
      listDirty = true;
    }
    p.value = value;
    p.scope = scope;
    if (answers > 0) p.answeredMs = now;
    p.time = now;
    p.changes += count;
    if (!p.typeChosen) {
      const guess = VX.inferValueType(value);
      if (!(p.type === 'float' && guess === 'uint')) p.type = guess;
    }
    if (VX.isNumericText(value)) {
      if (!p.history) p.history = new Ring(id === selected ? HISTORY_MAX : RECENT_MAX);
      p.history.push(now, Number(value));
    }
    changed.add(id);
    if (selected === id) trendWanted = true;
  }

  function onParameters(batch) {
    const now = Date.now();
    for (let i = 0; i < batch.length; i++) {
      const u = batch[i];
      if (u && typeof u === 'object') apply(u, now);
    }
    if (ui) scheduleFrame();
  }

  function select(id) {
    const before = params.get(selected);
    if (before && before.history && before.id !== id) before.history = before.history.resized(RECENT_MAX);
    selected = id;
    const p = params.get(id);
    if (p && p.history) p.history = p.history.resized(HISTORY_MAX);
    params.forEach((q) => { if (q.row) q.row.classList.toggle('selected', q.id === id); });
    showSelected();
    drawTrend();
  }

  // Moves the selection one row up or down the list and keeps it in view.
  function step(id, delta) {
    const i = list.findIndex((p) => p.id === id);
    const next = list[i + delta];
    if (i < 0 || !next) return;
    select(next.id);
    const h = rowHeight || 24;
    const top = (i + delta) * h;
    if (top < ui.box.scrollTop) ui.box.scrollTop = top;
    else if (top + h > ui.box.scrollTop + ui.box.clientHeight) ui.box.scrollTop = top + h - ui.box.clientHeight;
    drawRows(false);
    if (next.row) next.row.focus();
  }

  function showSelected() {
    const p = params.get(selected);
    ui.editor.hidden = !p;
    ui.noSelection.hidden = !!p;
    if (!p) return;
    VX.setText(ui.editId, p.id);
    VX.setText(ui.editCurrent, p.value === '' ? '(empty)' : p.value);
    if (document.activeElement !== ui.type) ui.type.value = p.type;
    if (document.activeElement !== ui.value) ui.value.value = p.value;
  }

  function write() {
    const p = params.get(selected);
    if (!p) return;
    const type = ui.type.value;
    const check = VX.validateValue(type, ui.value.value);
    if (!check.ok) {
      VX.setStatus(ui.editStatus, 'error', check.error);
      ui.value.focus();
      return;
    }
    if (VX.session.state !== 'connected') {
      VX.setStatus(ui.editStatus, 'error', 'Not connected: connect to a server before writing a value.');
      return;
    }
    const r = VX.desk.tryCall('sendParameterValue', p.id, type, check.value);
    if (!r.ok) {
      VX.setStatus(ui.editStatus, 'error', r.error);
      return;
    }
    p.type = type;
    p.typeChosen = true;
    VX.setStatus(ui.editStatus, 'ok', 'Sent ' + p.id + ' = ' + check.value + ' as ' + type + '. The row changes when the server reports the new value.');
  }

  function requestAll() {
    const r = VX.desk.tryCall('VYXQueryParametersUID');
    if (!r.ok) {
      VX.setStatus(ui.status, 'error', r.error);
      return;
    }
    if (String(r.value) === 'true') {
      VX.setStatus(ui.status, 'error', 'Not connected: the parameter list cannot be asked for.');
      return;
    }
    loadRequested = true;
    loadAskedMs = Date.now();
    VX.setStatus(ui.status, 'busy', 'Asked the server for its parameters; values arrive one by one.');
  }

  function refreshOne() {
    const p = params.get(selected);
    if (!p) return;
    const r = VX.desk.tryCall('VYXQueryParameterValue', Number(p.id));
    if (!r.ok) VX.setStatus(ui.editStatus, 'error', r.error);
    else if (String(r.value) === 'true') VX.setStatus(ui.editStatus, 'error', 'Not connected.');
    else VX.setStatus(ui.editStatus, 'busy', 'Asked for the value of ' + p.id + '.');
  }

  // ---- Trend -------------------------------------------------------------------------------
  function drawTrend() {
    const canvas = ui.canvas;
    const ctx = canvas.getContext('2d');
    const w = canvas.width, h = canvas.height;
    ctx.clearRect(0, 0, w, h);
    ctx.fillStyle = '#fbfcfd';
    ctx.fillRect(0, 0, w, h);
    const p = params.get(selected);
    const ring = p && p.history ? p.history : null;
    const n = ring ? ring.n : 0;
    ctx.font = '11px sans-serif';
    ctx.fillStyle = '#6b7785';
    if (n < 1) {
      ctx.fillText(p ? 'Parameter ' + p.id + ' has no numeric value yet.' : 'Select a parameter with a numeric value.', 12, h / 2);
      VX.setText(ui.trendInfo, '');
      return;
    }
    const T = (i) => ring.t[ring.at(i)];
    const V = (i) => ring.v[ring.at(i)];
    let min = Infinity, max = -Infinity;
    for (let i = 0; i < n; i++) { const v = V(i); if (v < min) min = v; if (v > max) max = v; }
    if (min === max) { min -= 1; max += 1; }
    const left = 56, right = w - 10, top = 10, bottom = h - 22;
    const t0 = T(0), t1 = Math.max(T(n - 1), t0 + 1000);
    const x = (t) => left + (right - left) * (t - t0) / (t1 - t0);
    const y = (v) => bottom - (bottom - top) * (v - min) / (max - min);
    ctx.strokeStyle = '#dde3ea';
    ctx.lineWidth = 1;
    ctx.textAlign = 'right';
    for (let i = 0; i <= 4; i++) {
      const gy = top + (bottom - top) * i / 4;
      ctx.beginPath(); ctx.moveTo(left, gy + 0.5); ctx.lineTo(right, gy + 0.5); ctx.stroke();
      ctx.fillText(String(Number((max - (max - min) * i / 4).toPrecision(5))), left - 6, gy + 4);
    }
    ctx.textAlign = 'left';
    ctx.fillText(VX.timeText(new Date(t0)).substring(0, 8), left, h - 6);
    ctx.fillText(VX.timeText(new Date(t1)).substring(0, 8), right - 50, h - 6);
    ctx.strokeStyle = '#1f6feb';
    ctx.lineWidth = 2;
    ctx.beginPath();
    for (let i = 0; i < n; i++) {
      // step line: the value holds until the next change
      if (i === 0) ctx.moveTo(x(T(i)), y(V(i)));
      else { ctx.lineTo(x(T(i)), y(V(i - 1))); ctx.lineTo(x(T(i)), y(V(i))); }
    }
    ctx.lineTo(right, y(V(n - 1)));
    ctx.stroke();
    ctx.fillStyle = '#1f6feb';
    if (n <= 300) for (let i = 0; i < n; i++) { ctx.beginPath(); ctx.arc(x(T(i)), y(V(i)), 2.5, 0, Math.PI * 2); ctx.fill(); }
    VX.setText(ui.trendInfo, 'Parameter ' + p.id + ': ' + VX.groupedNumber(n) + ' value' + (n === 1 ? '' : 's') + ' since ' + VX.timeText(new Date(t0)).substring(0, 8) +
      (p.changes > n ? ' (' + VX.groupedNumber(p.changes) + ' changes received)' : ''));
  }

  VX.bus.on('parameters', onParameters);
  // ---- Loading progress ----------------------------------------------------------------------
  function showLoading() {
    if (!ui || !loading) return;
    const got = loading.ids.size;
    const total = loading.total;
    const percent = total ? got * 100 / total : 100;
    if (got >= total) {
      completedLoads++;
      const seconds = ((Date.now() - loading.startMs) / 1000).toFixed(1);
      ui.loadBar.set(100, 'All ' + VX.groupedNumber(total) + ' values received in ' + seconds + ' s.', 'ok');
      loading = null;
      return;
    }
    const secondsLeft = loading.eta.secondsLeft(got, total, Date.now());
    // Seconds up to two minutes ("about 69 s left"), then the coarser words of remainingText.
    const left = secondsLeft !== null && secondsLeft > 0 && secondsLeft < 120 ? 'about ' + secondsLeft + ' s left' : VX.remainingText(secondsLeft);
    ui.loadBar.set(percent, VX.groupedNumber(got) + ' of ' + VX.groupedNumber(total) + ' values' + (left ? ', ' + left : ''), 'busy');
  }
  const showLoadingSoon = VX.throttle(showLoading, 100);

  VX.bus.on('parameter-list', (count) => {
    const startMs = loadAskedMs || Date.now();
    loading = { total: count, ids: new Set(), startMs, eta: new VX.Eta(startMs) };
    // Answers may reach the page before the list does (they come by the batched path): those that
    // came since the values were asked for count, those of an earlier load do not.
    params.forEach((p) => { if (p.answeredMs >= startMs) loading.ids.add(p.id); });
    if (ui) ui.loadBar.hidden = false;
    showLoading();
  });
  // Only the answers to the value requests count: live changes of the same parameters may come
  // sooner.
  VX.bus.on('parameters', (batch) => {
    if (!loading) return;
    for (let i = 0; i < batch.length; i++) if (batch[i] && (batch[i].frameScope === 'Response' || batch[i].answers > 0)) loading.ids.add(String(batch[i].ParameterID));
    showLoadingSoon();
  });

  VX.bus.on('connected', () => {
    params.clear();
    listDirty = true;
    selected = null;
    if (ui) { render(); showSelected(); drawTrend(); requestAll(); }
  });
  // The values still coming belong to the session that ended: the loading stops there, and the
  // next session loads them again.
  VX.bus.on('session-lost', (lost) => {
    loadRequested = false;
    if (!ui) return;
    if (loading) {
      ui.loadBar.set(loading.total ? loading.ids.size * 100 / loading.total : 0,
        'Interrupted: ' + loading.ids.size + ' of ' + loading.total + ' values received', 'error');
      loading = null;
    }
    if (/status-busy/.test(ui.status.className)) VX.setStatus(ui.status, 'error', 'Interrupted: the parameters did not all arrive, ' + lost.reason + '.');
  });
  VX.bus.on('session', (s) => {
    if (!ui || s.state === 'connected') return;
    render();
    if (params.size) VX.setStatus(ui.status, 'info', 'Not connected: the values shown are the last ones received.');
  });

  VX.registerView({
    id: 'parameters',
    title: 'Parameters',
    subtitle: 'All parameters of the connected server. Rows flash when the server reports a change.',
    build(root) {
      ui = {};
      ui.filter = VX.input({ type: 'search', placeholder: 'Filter by id or value', 'aria-label': 'Filter parameters' });
      // Filtered on every key: one pass over the model, drawn in the next frame.
      ui.filter.addEventListener('input', () => { filterText = ui.filter.value.trim(); listDirty = true; scheduleFrame(); });
      ui.count = el('span', { class: 'muted' });
      ui.status = VX.statusLine();
      ui.loadBar = VX.progressBar();
      ui.loadBar.hidden = true;
      ui.table = VX.table(['ID', 'Value', 'Type', 'Last change', 'Time'], 'table-params');
      const keys = ['id', 'value', 'type', 'scope', 'time'];
      Array.prototype.forEach.call(ui.table.head.childNodes, (th, i) => {
        th.setAttribute('data-key', keys[i]);
        th.setAttribute('tabindex', '0');
        th.setAttribute('title', 'Sort');
        const toggle = () => {
          sort = sort.key === keys[i] ? { key: keys[i], dir: -sort.dir } : { key: keys[i], dir: 1 };
          render();
        };
        th.addEventListener('click', toggle);
        th.addEventListener('keydown', (e) => { if (e.keyCode === 13 || e.keyCode === 32) { e.preventDefault(); toggle(); } });
      });
      ui.box = el('div', { class: 'scroll-box tall' }, [ui.table.table]);
      ui.box.addEventListener('scroll', scheduleFrame);
      // One listener for all rows: rows come and go as the list scrolls.
      ui.table.body.addEventListener('click', (e) => {
        const tr = rowAround(e.target);
        if (tr) select(tr.getAttribute('data-id'));
      });
      ui.table.body.addEventListener('keydown', (e) => {
        const tr = rowAround(e.target);
        if (!tr) return;
        const id = tr.getAttribute('data-id');
        if (e.keyCode === 13) { select(id); ui.value.focus(); }
        if (e.keyCode === 40 || e.keyCode === 38) { e.preventDefault(); step(id, e.keyCode === 40 ? 1 : -1); }
      });
      ui.type = VX.select(VX.VALUE_TYPES);
      ui.value = VX.input({ placeholder: 'new value' });
      VX.onEnter([ui.value], write);
      ui.editId = el('span', { class: 'mono strong' });
      ui.editCurrent = el('span', { class: 'mono' });
      ui.editStatus = VX.statusLine();
      ui.editor = el('div', { hidden: true }, [
        el('dl', { class: 'props' }, [el('dt', { text: 'Parameter' }), el('dd', {}, [ui.editId]), el('dt', { text: 'Current value' }), el('dd', {}, [ui.editCurrent])]),
        VX.row([VX.field('Write as', ui.type), VX.field('Value', ui.value)], 'row-fields'),
        VX.row([VX.button('Write value', write, 'primary'), VX.button('Read again', refreshOne)]),
        ui.editStatus
      ]);
      ui.noSelection = el('p', { class: 'muted', text: 'Select a row to edit its value or see its trend.' });
      ui.canvas = el('canvas', { width: '420', height: '170', class: 'trend', 'aria-label': 'Trend of the selected parameter' });
      ui.trendInfo = el('div', { class: 'muted small' });

      root.appendChild(el('div', { class: 'columns' }, [
        el('div', { class: 'col' }, [
          VX.panel('', [
            VX.row([ui.filter, VX.button('Load all parameters', requestAll, 'primary'), ui.count]),
            ui.status,
            ui.loadBar,
            ui.box
          ], 'panel-fill')
        ]),
        el('div', { class: 'col col-narrow' }, [
          VX.panel('Edit', [ui.noSelection, ui.editor]),
          VX.panel('Trend', [ui.canvas, ui.trendInfo])
        ])
      ]));
      render();
      drawTrend();
    },
    onShow() {
      render();
      if (!loadRequested && VX.session.state === 'connected' && params.size === 0) requestAll();
    }
  });

  VX.testing.provide('parameters', { model: params, select, stats, get completedLoads() { return completedLoads; } });
})(window.VX = window.VX || {});
