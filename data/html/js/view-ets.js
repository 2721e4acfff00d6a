// ETS import: choose a project archive; the manager reads it (asking for the password of a
// protected project) and the view shows the group addresses in the project's address style, the
// devices by area and line, and the device objects linked to the chosen group address. A data point
// type that a group address takes from a linked object names that object. The group addresses
// export as CSV in ETS's own layout, to a file or into the working project.
(function (VX) {
  'use strict';

  const el = VX.el;
  const MAX_ROWS = 1500;
  const MAX_DEVICES = 3000;
  const OPEN_ALL_BELOW = 400;
  const COLUMNS = 6;
  const LINK_COLUMNS = 4;

  let ui = null;
  let path = '';
  let result = null;
  let tree = null;
  let selected = null;
  let filterText = '';
  let expanded = {};

  const PROGRESS_CB = VX.desk.callback('etsProgress', onProgress);
  const DONE_CB = VX.desk.callback('etsDone', onDone);

  function count(n, one, many) {
    return n + ' ' + (n === 1 ? one : many);
  }

  function parse(text) {
    try {
      return JSON.parse(String(text));
    } catch (e) {
      return null;
    }
  }

  function onProgress(text) {
    const p = parse(text);
    if (!p || !ui) return;
    ui.progress.set(100 * (Number(p.fraction) || 0), String(p.stage || ''));
  }

  function onDone(text) {
    const r = parse(text);
    ui.progress.reset();
    ui.progress.hidden = true;
    if (!r) { fail('The manager gave no readable answer to the import.'); return; }
    if (r.status === 'needsPassword' || r.status === 'wrongPassword') {
      ui.passwordRow.hidden = false;
      ui.password.value = '';
      ui.password.focus();
      VX.setStatus(ui.status, r.status === 'wrongPassword' ? 'error' : 'info', r.message || 'This project is password-protected.');
      return;
    }
    if (r.status === 'cancelled') { VX.setStatus(ui.status, 'info', 'The import was cancelled.'); return; }
    if (r.status !== 'ok') { fail(r.message || 'The project could not be read.'); return; }
    ui.passwordRow.hidden = true;
    useResult(r);
  }

  function fail(text) {
    result = null;
    tree = null;
    selected = null;
    renderAll();
    VX.setStatus(ui.status, 'error', text);
  }

  function useResult(r) {
    result = r;
    tree = VX.etsGroupTree(r);
    selected = null;
    expanded = {};
    const all = r.groupAddresses.length <= OPEN_ALL_BELOW;
    r.groupRanges.forEach((range, i) => { expanded[i] = all; });
    renderAll();
    const skipped = r.skipped.length;
    VX.setStatus(ui.status, r.groupAddresses.length || r.deviceCount ? 'ok' : 'info',
      count(r.groupAddresses.length, 'group address', 'group addresses') + ' and ' + count(r.deviceCount, 'device', 'devices') + ' read from ' + VX.baseName(path) +
      (skipped ? ', ' + skipped + ' skipped (see below).' : '.'));
  }

  // ---- Group addresses ----------------------------------------------------------------------
  function matches(ga, f) {
    return (ga.address + ' ' + ga.name + ' ' + ga.description + ' ' + ga.dpt + ' ' + VX.etsDptName(ga.dpt) + ' ' + VX.etsDptSource(ga) + ' ' + ga.range)
      .toLowerCase().indexOf(f) >= 0;
  }

  function gaRow(ga, depth) {
    const name = [el('span', { text: ga.name || '(no name)' })];
    if (ga.secure) name.push(el('span', { class: 'badge badge-secure', text: 'secure', title: 'The project holds a security key for this group address.' }));
    const source = VX.etsDptSource(ga);
    return el('tr', {
      class: 'ga-row' + (ga === selected ? ' selected' : ''),
      onclick: () => { selected = ga; renderTable(); renderLinks(); }
    }, [
      el('td', { class: 'mono', style: 'padding-left:' + (6 + 14 * depth) + 'px', text: ga.address }),
      el('td', {}, name),
      el('td', { class: 'mono' + (source ? ' dpt-inferred' : ''), text: ga.dpt || '—', title: source }),
      el('td', {}, [
        el('span', { text: VX.etsDptName(ga.dpt) || (ga.dpt ? '' : 'no data point type set') }),
        source ? el('div', { class: 'muted small dpt-source', text: source }) : null
      ]),
      el('td', { text: VX.etsDptUnit(ga.dpt) }),
      el('td', { class: 'num', text: ga.links.length ? String(ga.links.length) : '' })
    ]);
  }

  function rangeRow(node, index, depth) {
    const open = !!expanded[index];
    return el('tr', {
      class: 'ga-range',
      onclick: () => { expanded[index] = !open; renderTable(); }
    }, [
      el('td', { class: 'mono', style: 'padding-left:' + (6 + 14 * depth) + 'px' }, [el('span', { class: 'twisty', text: open ? '▾ ' : '▸ ' }), node.range.address]),
      el('td', { colspan: String(COLUMNS - 1), class: 'strong', text: node.range.name || '(no name)' })
    ]);
  }

  function renderTable() {
    const body = VX.clear(ui.table.body);
    if (!result) { VX.emptyRow(body, COLUMNS, 'No project loaded.'); VX.setText(ui.count, ''); return; }
    const fragment = document.createDocumentFragment();
    let rows = 0;
    const total = result.groupAddresses.length;
    const f = filterText.toLowerCase();
    if (f) {
      const list = result.groupAddresses.filter((ga) => matches(ga, f));
      list.slice(0, MAX_ROWS).forEach((ga) => fragment.appendChild(gaRow(ga, 0)));
      if (list.length > MAX_ROWS) fragment.appendChild(el('tr', { class: 'more' }, [el('td', { colspan: String(COLUMNS), class: 'muted', text: '… and ' + (list.length - MAX_ROWS) + ' more; narrow the filter.' })]));
      if (!list.length) VX.emptyRow(body, COLUMNS, 'No group address matches the filter.');
      VX.setText(ui.count, list.length + ' of ' + total + ' group addresses');
    } else {
      const walk = (node, depth) => {
        if (rows >= MAX_ROWS) return;
        const index = node.index;
        fragment.appendChild(rangeRow(node, index, depth));
        rows++;
        if (!expanded[index]) return;
        node.addresses.forEach((ga) => { if (rows < MAX_ROWS) { fragment.appendChild(gaRow(ga, depth + 1)); rows++; } });
        node.children.forEach((c) => walk(c, depth + 1));
      };
      tree.roots.forEach((n) => walk(n, 0));
      tree.loose.forEach((ga) => { if (rows < MAX_ROWS) { fragment.appendChild(gaRow(ga, 0)); rows++; } });
      if (rows >= MAX_ROWS) fragment.appendChild(el('tr', { class: 'more' }, [el('td', { colspan: String(COLUMNS), class: 'muted', text: 'More rows than shown at once; close some ranges or use the filter.' })]));
      if (!total && !result.groupRanges.length) VX.emptyRow(body, COLUMNS, 'The project defines no group address.');
      VX.setText(ui.count, count(total, 'group address', 'group addresses'));
    }
    body.appendChild(fragment);
  }

  function renderLinks() {
    const box = VX.clear(ui.linkInfo);
    const body = VX.clear(ui.links.body);
    if (!selected) {
      VX.emptyRow(body, LINK_COLUMNS, 'No group address chosen.');
      return;
    }
    const g = selected;
    const props = [['Address', g.address], ['Name', g.name], ['Description', g.description], ['Comment', g.comment],
      ['Range', g.range], ['Data point type', g.dpt ? [g.dpt, VX.etsDptName(g.dpt)].filter((t) => t).join(' ') : ''],
      ['Unit', VX.etsDptUnit(g.dpt)], ['Type source', g.dpt ? VX.etsDptSource(g) || 'the address\'s own' : ''],
      ['Security', g.secure ? 'secure (key in the project)' : 'plain']];
    box.appendChild(el('dl', { class: 'props' }, [].concat.apply([], props.filter((p) => p[1]).map((p) => [el('dt', { text: p[0] }), el('dd', { text: p[1] })]))));
    if (!g.links.length) { VX.emptyRow(body, LINK_COLUMNS, 'No device object is linked to this group address.'); return; }
    g.links.forEach((l) => body.appendChild(el('tr', {}, [
      el('td', { class: 'mono', text: l.device || '—', title: l.deviceName }),
      el('td', { class: 'num', text: l.number >= 0 ? String(l.number) : '—' }),
      el('td', { title: l.deviceName }, [
        el('span', { text: [l.name, l.function].filter((t) => t).join(' — ') }),
        l.dpt ? el('div', { class: 'muted', text: [l.dpt, VX.etsDptName(l.dpt), VX.etsDptUnit(l.dpt)].filter((t) => t).join(' ') }) : null
      ]),
      el('td', { class: 'muted', text: l.send ? 'sends' : 'listens' })
    ])));
  }

  // ---- Devices ------------------------------------------------------------------------------
  function deviceItem(d) {
    return el('li', {}, [
      el('span', { class: 'mono', text: (d.address || '—') + ' ' }),
      el('span', { text: d.name || '(no name)' }),
      d.product ? el('span', { class: 'muted', text: ' — ' + d.product }) : null
    ]);
  }

  function renderDevices() {
    const list = VX.clear(ui.devices);
    if (!result) { VX.setText(ui.deviceCount, 'No project loaded.'); return; }
    let shown = 0;
    result.areas.forEach((area) => {
      const lines = el('ul', { class: 'topo' });
      area.lines.forEach((line) => {
        const devices = el('ul', { class: 'topo' });
        line.devices.forEach((d) => { if (shown++ < MAX_DEVICES) devices.appendChild(deviceItem(d)); });
        lines.appendChild(el('li', {}, [el('span', { class: 'mono strong', text: line.address + ' ' }), el('span', { text: line.name }), devices]));
      });
      list.appendChild(el('li', {}, [el('span', { class: 'mono strong', text: area.address + ' ' }), el('span', { class: 'strong', text: area.name }), lines]));
    });
    if (result.unassignedDevices.length) {
      const devices = el('ul', { class: 'topo' });
      result.unassignedDevices.forEach((d) => { if (shown++ < MAX_DEVICES) devices.appendChild(deviceItem(d)); });
      list.appendChild(el('li', {}, [el('span', { class: 'strong', text: 'Not in the topology' }), devices]));
    }
    if (shown > MAX_DEVICES) list.appendChild(el('li', { class: 'muted', text: '… and ' + (shown - MAX_DEVICES) + ' more devices' }));
    VX.setText(ui.deviceCount, count(result.deviceCount, 'device', 'devices'));
  }

  function renderProject() {
    const p = result ? result.project : null;
    VX.setText(ui.projectName, p ? p.name || p.id : '—');
    VX.setText(ui.etsVersion, p ? p.etsVersion || '—' : '—');
    VX.setText(ui.style, p ? { ThreeLevel: 'three levels (main/middle/sub)', TwoLevel: 'two levels (main/sub)', Free: 'free (plain numbers)' }[p.groupAddressStyle] || p.groupAddressStyle : '—');
    VX.setText(ui.protection, p ? (p.protected ? 'password-protected' : 'not protected') : '—');
    ui.exportButton.disabled = !result;
    ui.saveButton.disabled = !result;
  }

  function renderSkipped() {
    const skipped = result ? result.skipped : [];
    const list = VX.clear(ui.skipped);
    ui.skippedPanel.hidden = !skipped.length;
    skipped.slice(0, 200).forEach((s) => list.appendChild(el('li', {}, [el('span', { class: 'strong', text: s.what }), el('span', { text: ' — ' + s.why })])));
    if (skipped.length > 200) list.appendChild(el('li', { class: 'muted', text: '… and ' + (skipped.length - 200) + ' more' }));
  }

  function renderEntries(names) {
    const list = VX.clear(ui.entries);
    names.slice(0, 400).forEach((n) => list.appendChild(el('li', { class: 'mono', text: n })));
    if (names.length > 400) list.appendChild(el('li', { class: 'muted', text: '… and ' + (names.length - 400) + ' more entries' }));
    VX.setText(ui.entryCount, names.length + ' entries');
  }

  function renderAll() {
    renderProject();
    renderTable();
    renderLinks();
    renderDevices();
    renderSkipped();
  }

  // ---- Actions ------------------------------------------------------------------------------
  function startImport(password) {
    ui.progress.hidden = false;
    ui.progress.set(0, 'Opening the archive');
    VX.setStatus(ui.status, 'busy', 'Reading ' + VX.baseName(path) + '…');
    const r = VX.desk.tryCall('ETSProject_import', path, password || '', PROGRESS_CB, DONE_CB);
    if (!r.ok) { ui.progress.hidden = true; fail(r.error); }
  }

  function load(file) {
    path = String(file);
    VX.setText(ui.file, path);
    ui.passwordRow.hidden = true;
    ui.password.value = '';
    result = null;
    tree = null;
    selected = null;
    renderAll();
    const listing = VX.desk.tryCall('ETSProject_fileList', path);
    const names = listing.ok ? VX.etsAnalyseEntries(listing.value).names : [];
    renderEntries(names);
    if (listing.ok && !names.length) {
      fail('The file could not be opened as an ETS project archive: it is not a zip archive, it is damaged, or it is empty.');
      return;
    }
    startImport('');
  }

  function openWithPassword() {
    const password = ui.password.value;
    // The field is emptied at once: the password is not kept in the page.
    ui.password.value = '';
    if (!password) { VX.setStatus(ui.status, 'error', 'Enter the project password.'); return; }
    startImport(password);
  }

  function choose() {
    const r = VX.desk.tryCall('getOpenFileName', 'Open an ETS project', '', 'ETS projects (*.knxproj *.zip);;All files (*)');
    if (!r.ok) { VX.setStatus(ui.status, 'error', r.error); return; }
    if (!r.value) { VX.setStatus(ui.status, 'info', 'No file chosen.'); return; }
    load(String(r.value));
  }

  function csvName() {
    return VX.etsFileName(result.project.name || result.project.id) + ' group addresses.csv';
  }

  function exportCsv() {
    if (!result) return;
    const r = VX.desk.tryCall('getSaveFileName', 'Export group addresses', csvName(), 'CSV files (*.csv)');
    if (!r.ok) { VX.setStatus(ui.status, 'error', r.error); return; }
    if (!r.value) { VX.setStatus(ui.status, 'info', 'Export cancelled.'); return; }
    const w = VX.desk.tryCall('writeFileAbsolute', String(r.value), VX.etsGroupAddressCsv(result));
    if (!w.ok || !w.value) { VX.setStatus(ui.status, 'error', w.ok ? 'The file ' + r.value + ' could not be written.' : w.error); return; }
    VX.setStatus(ui.status, 'ok', 'Exported ' + result.groupAddresses.length + ' group addresses to ' + r.value + '.');
  }

  // Files under data/project/assets/ travel inside the project file when the project is saved.
  function saveIntoProject() {
    if (!result) return;
    const target = '../project/assets/ets/' + csvName();
    const w = VX.desk.tryCall('writeFile', target, VX.etsGroupAddressCsv(result));
    if (!w.ok || !w.value) { VX.setStatus(ui.status, 'error', w.ok ? 'The group addresses could not be written into the project folder.' : w.error); return; }
    VX.setStatus(ui.status, 'ok', 'Saved into the project as assets/ets/' + csvName() + '; it is kept in the project file when the project is saved.');
  }

  VX.registerView({
    id: 'ets',
    title: 'ETS import',
    subtitle: 'Read an ETS project export (.knxproj): group addresses, devices and their links.',
    build(root) {
      ui = {};
      ui.file = el('span', { class: 'mono small', text: 'no file chosen' });
      ui.projectName = el('span', { class: 'strong', text: '—' });
      ui.etsVersion = el('span', { text: '—' });
      ui.style = el('span', { text: '—' });
      ui.protection = el('span', { text: '—' });
      ui.status = VX.statusLine();
      ui.progress = VX.progressBar();
      ui.progress.hidden = true;
      ui.password = VX.input({ type: 'password', class: 'input ets-password', autocomplete: 'off', placeholder: 'Project password', 'aria-label': 'Project password' });
      VX.onEnter([ui.password], openWithPassword);
      ui.passwordRow = VX.row([ui.password, VX.button('Open', openWithPassword, 'primary')]);
      ui.passwordRow.hidden = true;
      ui.exportButton = VX.button('Export CSV…', exportCsv);
      ui.saveButton = VX.button('Save into project', saveIntoProject);
      ui.entries = el('ul', { class: 'entry-list' });
      ui.entryCount = el('span', { class: 'muted small' });
      ui.filter = VX.input({ type: 'search', placeholder: 'Filter', 'aria-label': 'Filter group addresses' });
      ui.filter.addEventListener('input', VX.debounce(() => { filterText = ui.filter.value.trim(); renderTable(); }, 150));
      ui.count = el('span', { class: 'muted' });
      ui.table = VX.table(['Address', 'Name', 'DPT', 'Data point type', 'Unit', 'Links'], 'ga-table');
      ui.linkInfo = el('div');
      ui.links = VX.table(['Device', 'No.', 'Name', ''], 'link-table');
      ui.devices = el('ul', { class: 'topo topo-root' });
      ui.deviceCount = el('span', { class: 'muted small' });
      ui.skipped = el('ul', { class: 'log-list' });
      ui.skippedPanel = VX.panel('Skipped', [ui.skipped]);
      ui.skippedPanel.hidden = true;
      root.appendChild(VX.panel('', [
        VX.row([VX.button('Choose archive…', choose, 'primary'), ui.file, ui.exportButton, ui.saveButton]),
        el('dl', { class: 'props props-wide' }, [
          el('dt', { text: 'Project' }), el('dd', {}, [ui.projectName]),
          el('dt', { text: 'ETS version' }), el('dd', {}, [ui.etsVersion]),
          el('dt', { text: 'Address style' }), el('dd', {}, [ui.style]),
          el('dt', { text: 'Protection' }), el('dd', {}, [ui.protection])
        ]),
        ui.passwordRow,
        ui.progress,
        ui.status
      ]));
      root.appendChild(el('div', { class: 'columns' }, [
        el('div', { class: 'col' }, [
          VX.panel('Group addresses', [VX.row([ui.filter, ui.count]), el('div', { class: 'scroll-box tall' }, [ui.table.table])], 'panel-fill'),
          ui.skippedPanel,
          VX.panel('Archive entries', [ui.entryCount, el('div', { class: 'scroll-box' }, [ui.entries])])
        ]),
        el('div', { class: 'col col-side' }, [
          VX.panel('Linked objects', [ui.linkInfo, ui.links.table]),
          VX.panel('Devices', [ui.deviceCount, el('div', { class: 'scroll-box' }, [ui.devices])])
        ])
      ]));
      renderAll();
    }
  });

  VX.testing.provide('ets', { load, openWithPassword, csv: () => (result ? VX.etsGroupAddressCsv(result) : '') });
})(window.VX = window.VX || {});
