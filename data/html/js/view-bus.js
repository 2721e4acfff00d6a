// Bus: Zephron commands, the raw bus message switch, and a monitor of everything the server pushes
// (bus feedback, parameter updates, logic channel, debug texts).
(function (VX) {
  'use strict';

  const el = VX.el;
  const KEEP = 5000;
  const SHOW = 500;
  const records = [];
  let ui = null;
  let paused = false;
  let filterText = '';
  let missed = 0;

  function matches(r) {
    if (!filterText) return true;
    const f = filterText.toLowerCase();
    return (r.source + ' ' + r.id + ' ' + r.text).toLowerCase().indexOf(f) >= 0;
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
    if (!ui) return;
    const body = VX.clear(ui.table.body);
    const list = records.filter(matches).slice(-SHOW);
    if (!list.length) VX.emptyRow(body, 4, records.length ? 'Nothing matches the filter.' : 'Nothing received yet.');
    const fragment = document.createDocumentFragment();
    list.reverse().forEach((r) => fragment.appendChild(rowOf(r)));
    body.appendChild(fragment);
    missed = 0;
    updateCount();
  }

  function updateCount() {
    VX.setText(ui.count, records.length + ' received' + (paused && missed ? ', ' + missed + ' new while paused' : ''));
  }

  function add(source, id, text) {
    const r = { time: Date.now(), source, id: id === undefined ? '' : String(id), text: String(text === undefined ? '' : text) };
    records.push(r);
    if (records.length > KEEP) records.splice(0, records.length - KEEP);
    if (!ui) return;
    if (paused) { missed++; updateCount(); return; }
    if (!matches(r)) { updateCount(); return; }
    const body = ui.table.body;
    if (body.firstChild && body.firstChild.className === 'empty') VX.clear(body);
    body.insertBefore(rowOf(r), body.firstChild);
    while (body.childNodes.length > SHOW) body.removeChild(body.lastChild);
    updateCount();
  }

  VX.bus.on('feedback', (text) => add('bus', '', text));
  VX.bus.on('parameter', (p) => add('parameter', p.ParameterID, (p.frameScope ? p.frameScope + ': ' : '') + p.value));
  VX.bus.on('logic', (p) => add('logic', p.ParameterID, (p.frameScope ? p.frameScope + ': ' : '') + p.value));
  VX.bus.on('debug', (text) => add('debug', '', text));
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
    const list = records.filter(matches);
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
      ui.filter.addEventListener('input', VX.debounce(() => { filterText = ui.filter.value.trim(); render(); }, 150));
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
        VX.row([ui.filter, ui.pause, VX.button('Clear', () => { records.length = 0; render(); }, 'ghost'),
          VX.button('Export CSV…', exportCsv), ui.count]),
        el('div', { class: 'scroll-box tall monitor' }, [ui.table.table])
      ], 'panel-fill'));
      render();
    }
  });

  VX.testing.provide('monitor', { add, records });
  // A new session of the server starts with raw bus messages off: the switch the page shows is
  // sent to it again.
  VX.bus.on('connected', () => {
    if (!ui || !ui.raw.checked) return;
    const r = VX.desk.tryCall('VYXEnableBusDebug', 'true');
    VX.setStatus(ui.sendStatus, r.ok ? 'ok' : 'error', r.ok ? 'Raw bus messages switched on again for the new session.' : r.error);
  });
})(window.VX = window.VX || {});
