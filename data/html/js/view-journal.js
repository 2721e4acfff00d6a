// Journal: every change this manager (or vyxctl --journal) made to a server, with its outcome;
// filtered by site, date and kind, exported as CSV or JSON. The records come from the manager's
// journal file; every text in them (server names, paths, command lines, answers) is shown through
// textContent only.
(function (VX) {
  'use strict';

  const el = VX.el;
  let ui = null;
  let lastError = '';

  const KIND_TEXT = {
    'parameter-write': 'Parameter write',
    'command-line': 'Command line',
    'folder-create': 'Folder created',
    'folder-delete': 'Folder deleted',
    'file-delete': 'File deleted',
    'file-copy': 'File copied',
    'plugin-install': 'Plug-in install',
    'configuration-upload': 'Configuration restore',
    'backup': 'Backup',
    'zephron-command': 'Zephron command',
    'gateway-start': 'Gateway start',
    'gateway-stop': 'Gateway stop'
  };
  const OUTCOME_TEXT = {
    succeeded: 'succeeded',
    failed: 'failed',
    sent: 'sent',
    pending: 'waiting for the answer',
    unknown: 'outcome unknown'
  };

  const DATE = /^\d{4}-\d{2}-\d{2}$/;

  function filter() {
    return {
      site: ui.site.value,
      kind: ui.kind.value,
      from: ui.from.value.trim(),
      to: ui.to.value.trim()
    };
  }

  function checkDates(f) {
    if (f.from && !DATE.test(f.from)) return 'Enter the first day as YYYY-MM-DD.';
    if (f.to && !DATE.test(f.to)) return 'Enter the last day as YYYY-MM-DD.';
    return '';
  }

  function showError(text) {
    lastError = text;
    VX.setText(ui.banner, text ? 'The journal cannot be written: ' + text : '');
    ui.banner.hidden = !text;
  }

  // Told by the manager whenever a record could not be written.
  const WRITE_FAILED_CB = VX.desk.callback('journalWriteFailed', (text) => {
    const t = String(text === undefined || text === null ? '' : text);
    if (ui) showError(t);
    VX.notify('error', 'Journal: ' + t);
  });

  function fillSelect(select, values, texts, allText) {
    const keep = select.value;
    VX.clear(select);
    select.appendChild(el('option', { value: '', text: allText }));
    values.forEach((v) => select.appendChild(el('option', { value: v, text: texts ? texts[v] || v : v })));
    select.value = values.indexOf(keep) >= 0 ? keep : '';
  }

  function argumentsText(args) {
    if (!args || typeof args !== 'object') return '';
    return Object.keys(args).map((k) => k + ' = ' + (typeof args[k] === 'string' ? args[k] : JSON.stringify(args[k]))).join(', ');
  }

  function render(answer) {
    VX.clear(ui.body);
    const entries = answer.entries || [];
    if (!entries.length) VX.emptyRow(ui.body, 7, 'No change recorded' + (ui.site.value || ui.kind.value || ui.from.value || ui.to.value ? ' for this filter.' : ' yet.'));
    entries.forEach((e) => {
      const outcome = String(e.outcome || '');
      ui.body.appendChild(el('tr', { class: 'journal-' + outcome, 'data-id': String(e.id) }, [
        el('td', { class: 'mono', text: VX.dateTimeText(e.time), title: String(e.time || '') }),
        el('td', { text: String(e.site || ''), title: String(e.address || '') }),
        el('td', { text: String(e.user || '') }),
        el('td', { text: KIND_TEXT[e.kind] || String(e.kind || ''), title: String(e.program || '') }),
        el('td', { class: 'wrap mono', text: argumentsText(e.arguments) }),
        el('td', {}, [el('span', { class: 'outcome outcome-' + outcome, text: OUTCOME_TEXT[outcome] || outcome })]),
        el('td', { class: 'journal-result', text: String(e.result || '') })
      ]));
    });
    VX.setText(ui.count, entries.length + (entries.length === 1 ? ' change' : ' changes') + (answer.path ? ' · ' + answer.path : ''));
  }

  function refresh() {
    const f = filter();
    const bad = checkDates(f);
    if (bad) { VX.setStatus(ui.status, 'error', bad); return; }
    const r = VX.desk.tryCall('journalEntries', JSON.stringify(f));
    if (!r.ok) { VX.setStatus(ui.status, 'error', r.error); return; }
    const answer = VX.parseAnswer(r.value);
    if (!answer || typeof answer !== 'object') { VX.setStatus(ui.status, 'error', 'The journal could not be read.'); return; }
    fillSelect(ui.site, answer.sites || [], null, 'Every site');
    if (answer.error) showError(String(answer.error));
    else if (!lastError) showError('');
    render(answer);
    VX.setStatus(ui.status, '', '');
  }

  function exportAs(format) {
    const bad = checkDates(filter());
    if (bad) { VX.setStatus(ui.status, 'error', bad); return; }
    const r = VX.desk.tryCall('getSaveFileName', 'Export the journal', '', format === 'csv' ? 'CSV files (*.csv)' : 'JSON files (*.json)');
    if (!r.ok) { VX.setStatus(ui.status, 'error', r.error); return; }
    let path = String(r.value || '');
    if (!path) return;
    if (!new RegExp('\\.' + format + '$', 'i').test(path)) path += '.' + format;
    exportTo(format, path);
  }

  // The filtered list into `path` (format 'csv' or 'json'), without asking for a file name.
  function exportTo(format, path) {
    const f = filter();
    const bad = checkDates(f);
    if (bad) { VX.setStatus(ui.status, 'error', bad); return; }
    const w = VX.desk.tryCall('journalExport', format, JSON.stringify(f), path);
    if (!w.ok) { VX.setStatus(ui.status, 'error', w.error); return; }
    const answer = VX.parseAnswer(w.value);
    if (answer && answer.error) VX.setStatus(ui.status, 'error', String(answer.error));
    else VX.setStatus(ui.status, 'ok', (answer && answer.count !== undefined ? answer.count + ' changes' : 'The journal') + ' exported to ' + path + '.');
  }

  VX.testing.provide('journal', { refresh: () => refresh(), exportTo: (format, path) => exportTo(format, path) });

  // Records name the saved site of the connection, when it has one.
  VX.bus.on('session', (s) => {
    if (s && s.state === 'connecting') VX.desk.tryCall('journalSetSite', String(s.name || ''));
  });

  VX.registerView({
    id: 'journal',
    title: 'Journal',
    subtitle: 'Every change made to a server, recorded before it was sent, with its outcome.',
    build(root) {
      ui = {};
      ui.site = VX.select([{ value: '', text: 'Every site' }], { 'aria-label': 'Site' });
      const kinds = Object.keys(KIND_TEXT);
      ui.kind = VX.select([{ value: '', text: 'Every kind' }].concat(kinds.map((k) => ({ value: k, text: KIND_TEXT[k] }))), { 'aria-label': 'Kind' });
      ui.from = VX.input({ placeholder: 'YYYY-MM-DD', class: 'input input-date', 'aria-label': 'From' });
      ui.to = VX.input({ placeholder: 'YYYY-MM-DD', class: 'input input-date', 'aria-label': 'To' });
      [ui.site, ui.kind].forEach((s) => s.addEventListener('change', refresh));
      VX.onEnter([ui.from, ui.to], refresh);
      ui.status = VX.statusLine();
      ui.count = el('span', { class: 'muted small' });
      ui.banner = el('div', { class: 'banner banner-warn', role: 'alert', hidden: true });
      const t = VX.table(['Time', 'Site', 'User', 'Action', 'Arguments', 'Outcome', 'Result'], 'table-journal');
      ui.body = t.body;
      root.appendChild(ui.banner);
      root.appendChild(VX.panel('Changes', [
        VX.row([
          VX.field('Site', ui.site), VX.field('Kind', ui.kind), VX.field('From', ui.from), VX.field('To', ui.to),
          VX.button('Show', refresh, 'primary'),
          VX.button('Export CSV', () => exportAs('csv'), ''),
          VX.button('Export JSON', () => exportAs('json'), '')
        ], 'row-fields row-end'),
        ui.status,
        el('p', { class: 'muted small', text: '"Outcome unknown" means the program ended before the server answered: check the server before repeating the change.' }),
        ui.count,
        t.table
      ]));
      VX.desk.tryCall('journalWatch', WRITE_FAILED_CB);
    },
    onShow: refresh
  });
})(window.VX = window.VX || {});
