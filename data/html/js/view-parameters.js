// Parameters: every parameter of the server with its last value, live updates, editing with the
// right value type, and a trend plot of a numeric parameter over the session.
(function (VX) {
  'use strict';

  const el = VX.el;
  const HISTORY_MAX = 2000;
  const params = new Map();
  let ui = null;
  let selected = null;
  let sort = { key: 'id', dir: 1 };
  let filterText = '';
  let loadRequested = false;
  // The values asked for after the server's parameter list: {total, eta, ids, startMs}.
  let loading = null;

  const SCOPE_TEXT = { Read: 'read', Write: 'write', Response: 'response', Physical: 'physical' };

  function compare(a, b) {
    let r = 0;
    if (sort.key === 'id') r = Number(a.id) - Number(b.id) || (a.id < b.id ? -1 : a.id > b.id ? 1 : 0);
    else if (sort.key === 'value') {
      const na = Number(a.value), nb = Number(b.value);
      r = VX.isNumericText(a.value) && VX.isNumericText(b.value) ? na - nb : String(a.value).localeCompare(String(b.value));
    } else if (sort.key === 'type') r = a.type.localeCompare(b.type);
    else if (sort.key === 'scope') r = String(a.scope).localeCompare(String(b.scope));
    else if (sort.key === 'time') r = a.time - b.time;
    return r * sort.dir;
  }

  function matches(p) {
    if (!filterText) return true;
    const f = filterText.toLowerCase();
    return p.id.toLowerCase().indexOf(f) >= 0 || String(p.value).toLowerCase().indexOf(f) >= 0;
  }

  function cellsOf(p) {
    return [
      el('td', { class: 'mono num', text: p.id }),
      el('td', { class: 'value', text: p.value, title: String(p.value).length > 60 ? String(p.value).substring(0, 500) : null }),
      el('td', { class: p.typeChosen ? '' : 'guessed', text: p.type, title: p.typeChosen ? 'the type last written' : 'guessed from the value; choose the type when writing' }),
      el('td', { text: SCOPE_TEXT[p.scope] || (p.scope ? p.scope : '—') }),
      el('td', { class: 'mono', text: VX.timeText(new Date(p.time)) })
    ];
  }

  function rowOf(p) {
    const tr = el('tr', { tabindex: '0', 'data-id': p.id, class: selected === p.id ? 'selected' : '' }, cellsOf(p));
    tr.addEventListener('click', () => select(p.id));
    tr.addEventListener('keydown', (e) => {
      if (e.keyCode === 13) { select(p.id); ui.value.focus(); }
      if (e.keyCode === 40 && tr.nextSibling) { e.preventDefault(); tr.nextSibling.focus(); }
      if (e.keyCode === 38 && tr.previousSibling) { e.preventDefault(); tr.previousSibling.focus(); }
    });
    p.row = tr;
    return tr;
  }

  function render() {
    if (!ui) return;
    const body = VX.clear(ui.table.body);
    const list = Array.from(params.values()).filter(matches).sort(compare);
    params.forEach((p) => { p.row = null; });
    if (!list.length) {
      VX.emptyRow(body, 5, params.size ? 'No parameter matches the filter.' :
        VX.session.state === 'connected' ? 'No parameter received yet.' : 'Connect to a server to see its parameters.');
    }
    const fragment = document.createDocumentFragment();
    list.forEach((p) => fragment.appendChild(rowOf(p)));
    body.appendChild(fragment);
    VX.setText(ui.count, params.size ? list.length + ' of ' + params.size + ' parameters' : '');
    if (loadRequested && params.size && /status-busy/.test(ui.status.className))
      VX.setStatus(ui.status, 'ok', 'Values received; changes reported by the server flash their row.');
    Array.prototype.forEach.call(ui.table.head.childNodes, (th) => {
      const key = th.getAttribute('data-key');
      th.className = 'sortable' + (key === sort.key ? (sort.dir > 0 ? ' sort-asc' : ' sort-desc') : '');
    });
  }
  const renderSoon = VX.throttle(render, 150);

  function flash(tr) {
    tr.classList.remove('flash');
    void tr.offsetWidth; // restart the animation
    tr.classList.add('flash');
    setTimeout(() => tr.classList.remove('flash'), 1300);
  }

  function onParameter(update) {
    const id = String(update.ParameterID === undefined ? '' : update.ParameterID);
    if (id === '' || VX.isCommandCode(id)) return;
    const value = update.value === undefined || update.value === null ? '' : String(update.value);
    let p = params.get(id);
    const isNew = !p;
    if (isNew) {
      p = { id, value, type: VX.inferValueType(value), typeChosen: false, scope: '', time: 0, history: [], row: null };
      params.set(id, p);
    }
    p.value = value;
    p.scope = update.frameScope === undefined ? '' : String(update.frameScope);
    p.time = Date.now();
    if (!p.typeChosen) {
      const guess = VX.inferValueType(value);
      if (!(p.type === 'float' && guess === 'uint')) p.type = guess;
    }
    if (VX.isNumericText(value)) {
      p.history.push({ t: p.time, v: Number(value) });
      if (p.history.length > HISTORY_MAX) p.history.splice(0, p.history.length - HISTORY_MAX);
    }
    if (!ui) return;
    if (isNew || !p.row || !matches(p) || sort.key !== 'id') {
      renderSoon();
    } else {
      const cells = cellsOf(p);
      VX.clear(p.row);
      cells.forEach((c) => p.row.appendChild(c));
      flash(p.row);
    }
    if (selected === id) {
      showSelected();
      drawTrend();
    }
  }

  function select(id) {
    selected = id;
    params.forEach((p) => { if (p.row) p.row.classList.toggle('selected', p.id === id); });
    showSelected();
    drawTrend();
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
    const pts = p ? p.history : [];
    ctx.font = '11px sans-serif';
    ctx.fillStyle = '#6b7785';
    if (pts.length < 1) {
      ctx.fillText(p ? 'Parameter ' + p.id + ' has no numeric value yet.' : 'Select a parameter with a numeric value.', 12, h / 2);
      VX.setText(ui.trendInfo, '');
      return;
    }
    let min = Infinity, max = -Infinity;
    pts.forEach((q) => { if (q.v < min) min = q.v; if (q.v > max) max = q.v; });
    if (min === max) { min -= 1; max += 1; }
    const left = 56, right = w - 10, top = 10, bottom = h - 22;
    const t0 = pts[0].t, t1 = Math.max(pts[pts.length - 1].t, t0 + 1000);
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
    pts.forEach((q, i) => {
      // step line: the value holds until the next change
      if (i === 0) ctx.moveTo(x(q.t), y(q.v));
      else { ctx.lineTo(x(q.t), y(pts[i - 1].v)); ctx.lineTo(x(q.t), y(q.v)); }
    });
    ctx.lineTo(right, y(pts[pts.length - 1].v));
    ctx.stroke();
    ctx.fillStyle = '#1f6feb';
    pts.forEach((q) => { ctx.beginPath(); ctx.arc(x(q.t), y(q.v), 2.5, 0, Math.PI * 2); ctx.fill(); });
    VX.setText(ui.trendInfo, 'Parameter ' + p.id + ': ' + pts.length + ' value' + (pts.length === 1 ? '' : 's') + ' since ' + VX.timeText(new Date(t0)).substring(0, 8));
  }

  VX.bus.on('parameter', onParameter);
  // ---- Loading progress ----------------------------------------------------------------------
  function showLoading() {
    if (!ui || !loading) return;
    const got = loading.ids.size;
    const total = loading.total;
    const percent = total ? got * 100 / total : 100;
    if (got >= total) {
      const seconds = ((Date.now() - loading.startMs) / 1000).toFixed(1);
      ui.loadBar.set(100, 'All ' + total + ' values received in ' + seconds + ' s.', 'ok');
      loading = null;
      return;
    }
    const left = VX.remainingText(loading.eta.secondsLeft(got, total, Date.now()));
    ui.loadBar.set(percent, got + ' of ' + total + ' values (' + Math.floor(percent) + ' %)' + (left ? ', ' + left : ''), 'busy');
  }
  const showLoadingSoon = VX.throttle(showLoading, 100);

  VX.bus.on('parameter-list', (count) => {
    loading = { total: count, ids: new Set(), startMs: Date.now(), eta: new VX.Eta(Date.now()) };
    if (ui) ui.loadBar.hidden = false;
    showLoading();
  });
  VX.bus.on('parameter', (update) => {
    if (!loading) return;
    loading.ids.add(String(update.ParameterID));
    showLoadingSoon();
  });

  VX.bus.on('connected', () => {
    params.clear();
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
      ui.filter.addEventListener('input', VX.debounce(() => { filterText = ui.filter.value.trim(); render(); }, 150));
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
            el('div', { class: 'scroll-box tall' }, [ui.table.table])
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
      if (!loadRequested && VX.session.state === 'connected' && params.size === 0) requestAll();
    }
  });

  VX.testing.provide('parameters', { model: params, select });
})(window.VX = window.VX || {});
