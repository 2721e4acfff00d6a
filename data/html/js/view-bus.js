// Bus: Zephron commands, the raw bus message switch, and a monitor of everything the server pushes
// (bus feedback, parameter updates, logic channel, debug texts).
(function (VX) {
  'use strict';

  const el = VX.el;
  // The monitor keeps the last RING_SIZE records (older ones are dropped and counted) and shows
  // the newest SHOW of those that match the filter.
  const RING_SIZE = 10000;
  const SHOW = 500;
  // Drawn at most this often while records stream in.
  const DRAW_MS = 250;
  const ring = new Array(RING_SIZE);
  let head = 0;       // where the next record goes
  let held = 0;       // records in the ring
  let received = 0;   // records since the last clear
  let textsDropped = 0; // broadcast and bus texts the manager dropped before they reached the page
  let ui = null;
  let visible = false;
  let paused = false;
  let filterText = '';
  let missed = 0;
  let drawTimer = null;
  let drawnAt = 0;

  function matches(r) {
    if (!filterText) return true;
    const f = filterText.toLowerCase();
    return (r.source + ' ' + r.id + ' ' + r.text).toLowerCase().indexOf(f) >= 0;
  }

  // The records held, oldest first.
  function heldRecords() {
    const out = [];
    for (let i = 0; i < held; i++) out.push(ring[(head - held + i + RING_SIZE) % RING_SIZE]);
    return out;
  }

  function rowOf(r) {
    return el('tr', { class: 'src-' + r.source }, [
      el('td', { class: 'mono', text: VX.timeText(new Date(r.time)) }),
      el('td', { text: r.source }),
      el('td', { class: 'mono', text: r.id }),
      el('td', { class: 'mono wrap', text: r.text })
    ]);
  }

  function render() {
    if (drawTimer) { clearTimeout(drawTimer); drawTimer = null; }
    if (!ui) return;
    drawnAt = Date.now();
    const body = VX.clear(ui.table.body);
    const list = [];
    // newest first, stopping at SHOW matches
    for (let i = 0; i < held && list.length < SHOW; i++) {
      const r = ring[(head - 1 - i + RING_SIZE) % RING_SIZE];
      if (matches(r)) list.push(r);
    }
    if (!list.length) VX.emptyRow(body, 4, held ? 'Nothing matches the filter.' : 'Nothing received yet.');
    const fragment = document.createDocumentFragment();
    list.forEach((r) => fragment.appendChild(rowOf(r)));
    body.appendChild(fragment);
    missed = 0;
    updateCount();
  }

  function updateCount() {
    const dropped = received - held;
    VX.setText(ui.count, VX.groupedNumber(received) + ' received' +
      (dropped > 0 ? ', the last ' + VX.groupedNumber(held) + ' kept' : '') +
      (paused && missed ? ', ' + VX.groupedNumber(missed) + ' new while paused' : '') +
      (textsDropped ? '; ' + VX.groupedNumber(textsDropped) + ' texts dropped by the manager (it could not keep up)' : ''));
  }

  function drawSoon() {
    if (!ui || !visible || drawTimer) return;
    const wait = DRAW_MS - (Date.now() - drawnAt);
    if (wait <= 0) render();
    else drawTimer = setTimeout(render, wait);
  }

  function add(source, id, text) {
    put({ time: Date.now(), source, id: id === undefined ? '' : String(id), text: String(text === undefined ? '' : text) });
  }

  // A parameter record keeps the update itself; its text is made when it is shown or exported.
  function ParameterRecord(time, p) {
    this.time = time;
    this.update = p;
    this.id = String(p.ParameterID);
  }
  ParameterRecord.prototype.source = 'parameter';
  Object.defineProperty(ParameterRecord.prototype, 'text', {
    get() {
      const p = this.update;
      const n = Number(p.changes);
      return (p.frameScope ? p.frameScope + ': ' : '') + p.value + (n > 1 ? '  (latest of ' + n + ' changes)' : '');
    }
  });

  function put(r) {
    ring[head] = r;
    head = (head + 1) % RING_SIZE;
    if (held < RING_SIZE) held++;
    received++;
    if (!ui) return;
    if (paused) { missed++; return; }
    drawSoon();
  }

  function clear() {
    head = 0;
    held = 0;
    received = 0;
    for (let i = 0; i < RING_SIZE; i++) ring[i] = undefined;
    render();
  }

  VX.bus.on('feedback', (text) => add('bus', '', text));
  VX.bus.on('parameters', (batch) => {
    const now = Date.now();
    for (let i = 0; i < batch.length; i++) if (batch[i]) put(new ParameterRecord(now, batch[i]));
  });
  VX.bus.on('logic', (p) => add('logic', p.ParameterID, (p.frameScope ? p.frameScope + ': ' : '') + p.value));
  VX.bus.on('debug', (text) => add('debug', '', text));
  VX.bus.on('texts-dropped', (n) => { textsDropped = n; if (ui) updateCount(); });
  // answers that arrived when no request of the page was waiting for them
  VX.bus.on('operation-unclaimed', (text) => add('answer', '', text));

  function send() {
    const text = ui.command.value;
    if (text.trim() === '') { VX.setStatus(ui.sendStatus, 'error', 'Enter a command to send.'); return; }
    if (VX.utf8Length(text) > 65000) { VX.setStatus(ui.sendStatus, 'error', 'The command is too long.'); return; }
    if (VX.session.state !== 'connected') { VX.setStatus(ui.sendStatus, 'error', 'Not connected: the command was not sent.'); return; }
    const r = VX.desk.tryCall('VYXZephronCommand', text);
    if (!r.ok) { VX.setStatus(ui.sendStatus, 'error', r.error); return; }
    add('sent', '', text);
    VX.setStatus(ui.sendStatus, 'ok', 'Sent at ' + VX.timeText().substring(0, 8) + '.');
    ui.command.select();
  }

  function setRaw() {
    const on = ui.raw.checked;
    if (VX.session.state !== 'connected') {
      ui.raw.checked = !on;
      VX.setStatus(ui.sendStatus, 'error', 'Not connected: raw bus messages cannot be switched.');
      return;
    }
    const r = VX.desk.tryCall('VYXEnableBusDebug', on ? 'true' : 'false');
    if (!r.ok) { ui.raw.checked = !on; VX.setStatus(ui.sendStatus, 'error', r.error); return; }
    VX.setStatus(ui.sendStatus, 'ok', 'Raw bus messages ' + (on ? 'switched on.' : 'switched off.'));
  }

  function exportCsv() {
    // Everything the monitor holds (that matches the filter), oldest first.
    const list = heldRecords().filter(matches);
    if (!list.length) { VX.notify('info', 'Nothing to export.'); return; }
    const r = VX.desk.tryCall('getSaveFileName', 'Export the monitor', '', 'CSV files (*.csv)');
    if (!r.ok) { VX.notify('error', r.error); return; }
    let path = String(r.value || '');
    if (!path) return;
    if (!/\.csv$/i.test(path)) path += '.csv';
    const csv = VX.toCsv(['time', 'source', 'id', 'text'], list.map((x) => [new Date(x.time).toISOString(), x.source, x.id, x.text]));
    const w = VX.desk.tryCall('writeFileAbsolute', path, csv);
    if (!w.ok || w.value === false) VX.notify('error', w.ok ? 'The file ' + path + ' could not be written.' : w.error);
    else VX.notify('ok', list.length + ' rows exported to ' + path + '.');
  }

  VX.registerView({
    id: 'bus',
    title: 'Bus',
    subtitle: 'Send Zephron commands and watch what the server pushes.',
    build(root) {
      ui = {};
      ui.command = VX.input({ class: 'input mono', placeholder: 'Zephron command text', 'aria-label': 'Zephron command' });
      VX.onEnter([ui.command], send);
      ui.raw = el('input', { type: 'checkbox', id: 'raw-bus', onchange: setRaw });
      ui.sendStatus = VX.statusLine();
      ui.filter = VX.input({ type: 'search', placeholder: 'Filter', 'aria-label': 'Filter the monitor' });
      ui.filter.addEventListener('input', VX.debounce(() => { filterText = ui.filter.value.trim(); render(); }, 100));
      ui.pause = VX.button('Pause', () => {
        paused = !paused;
        VX.setText(ui.pause, paused ? 'Resume' : 'Pause');
        ui.pause.classList.toggle('btn-active', paused);
        if (!paused) render(); else updateCount();
      });
      ui.count = el('span', { class: 'muted' });
      ui.table = VX.table(['Time', 'Source', 'ID', 'Content'], 'table-monitor');
      root.appendChild(VX.panel('Send', [
        VX.row([ui.command, VX.button('Send', send, 'primary'),
          el('label', { class: 'check', for: 'raw-bus' }, [ui.raw, ' Raw bus messages'])], 'console-bar'),
        ui.sendStatus
      ]));
      root.appendChild(VX.panel('Monitor', [
        VX.row([ui.filter, ui.pause, VX.button('Clear', clear, 'ghost'),
          VX.button('Export CSV…', exportCsv), ui.count]),
        el('div', { class: 'scroll-box tall monitor' }, [ui.table.table])
      ], 'panel-fill'));
      render();
    },
    onShow() { visible = true; render(); },
    onHide() { visible = false; }
  });

  VX.testing.provide('monitor', { add, get records() { return heldRecords(); }, RING_SIZE });
  // A new session of the server starts with raw bus messages off: the switch the page shows is
  // sent to it again.
  VX.bus.on('connected', () => {
    if (!ui || !ui.raw.checked) return;
    const r = VX.desk.tryCall('VYXEnableBusDebug', 'true');
    VX.setStatus(ui.sendStatus, r.ok ? 'ok' : 'error', r.ok ? 'Raw bus messages switched on again for the new session.' : r.error);
  });
})(window.VX = window.VX || {});
