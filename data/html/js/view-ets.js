// ETS import: choose a project archive, list its entries, read its project XML and show the group
// addresses with their names and data point types, with what was skipped and why.
(function (VX) {
  'use strict';

  const el = VX.el;
  let ui = null;
  let rows = [];
  let filterText = '';

  function renderEntries(names) {
    const list = VX.clear(ui.entries);
    names.slice(0, 400).forEach((n) => list.appendChild(el('li', { class: 'mono', text: n })));
    if (names.length > 400) list.appendChild(el('li', { class: 'muted', text: '… and ' + (names.length - 400) + ' more entries' }));
    VX.setText(ui.entryCount, names.length + ' entries');
  }

  function renderSkipped(skipped) {
    const list = VX.clear(ui.skipped);
    ui.skippedPanel.hidden = !skipped.length;
    skipped.slice(0, 200).forEach((s) => list.appendChild(el('li', {}, [el('span', { class: 'strong', text: s.what }), el('span', { text: ' — ' + s.why })])));
    if (skipped.length > 200) list.appendChild(el('li', { class: 'muted', text: '… and ' + (skipped.length - 200) + ' more' }));
  }

  function renderTable() {
    const body = VX.clear(ui.table.body);
    const f = filterText.toLowerCase();
    const list = rows.filter((g) => !f || (g.address + ' ' + g.name + ' ' + g.dpt + ' ' + g.dptName + ' ' + g.range).toLowerCase().indexOf(f) >= 0);
    if (!list.length) VX.emptyRow(body, 5, rows.length ? 'No group address matches the filter.' : 'No group address loaded.');
    const fragment = document.createDocumentFragment();
    list.forEach((g) => fragment.appendChild(el('tr', {}, [
      el('td', { class: 'mono', text: g.address }),
      el('td', { text: g.name || '(no name)' }),
      el('td', { class: 'mono', text: g.dpt || '—', title: g.note || null }),
      el('td', { text: g.dptName || (g.dpt ? '' : 'no data point type set') }),
      el('td', { class: 'muted', text: g.range })
    ])));
    body.appendChild(fragment);
    VX.setText(ui.count, rows.length ? list.length + ' of ' + rows.length + ' group addresses' : '');
  }

  function fail(text) {
    rows = [];
    renderTable();
    VX.setStatus(ui.status, 'error', text);
  }

  function load(path) {
    VX.setText(ui.file, path);
    rows = [];
    renderSkipped([]);
    VX.clear(ui.entries);
    VX.setText(ui.projectName, '—');
    const listing = VX.desk.tryCall('ETSProject_fileList', path);
    if (!listing.ok) { fail(listing.error); return; }
    const a = VX.etsAnalyseEntries(listing.value);
    renderEntries(a.names);
    if (!a.names.length) {
      fail('The file could not be opened as an ETS project archive: it is not a zip archive, it is damaged, or it is empty.');
      return;
    }
    if (!a.projects.length) {
      if (a.encrypted.length) {
        fail('This project is password-protected: its data is in the encrypted inner archive ' + a.encrypted.join(', ') +
          ', which cannot be read here. Export the project from ETS without a password and import that file.');
      } else {
        fail('No project was found in this archive (no P-xxxx/0.xml entry). Is it an ETS project export (.knxproj)?');
      }
      return;
    }
    const skipped = [];
    a.projects.slice(1).forEach((p) => skipped.push({ what: p.id, why: 'the archive holds more than one project; only ' + a.projects[0].id + ' is shown' }));
    a.encrypted.forEach((e) => skipped.push({ what: e, why: 'password-protected inner archive' }));
    const project = a.projects[0];
    if (project.infoEntry) {
      const info = VX.desk.tryCall('ETSProject_readFile', path, project.infoEntry);
      VX.setText(ui.projectName, (info.ok && VX.etsProjectName(info.value)) || project.id);
    } else {
      VX.setText(ui.projectName, project.id);
    }
    if (!project.dataEntry) {
      fail('The project ' + project.id + ' has no 0.xml entry with its group addresses.');
      renderSkipped(skipped);
      return;
    }
    VX.setStatus(ui.status, 'busy', 'Reading ' + project.dataEntry + '…');
    // let the status paint before the (synchronous) read of a possibly large entry
    setTimeout(() => {
      const xml = VX.desk.tryCall('ETSProject_readFile', path, project.dataEntry);
      if (!xml.ok) { fail(xml.error); return; }
      if (!xml.value) { fail('The entry ' + project.dataEntry + ' could not be read from the archive (damaged or encrypted entry).'); renderSkipped(skipped); return; }
      const parsed = VX.etsParseProjectXml(xml.value);
      if (!parsed.ok) { fail('The project XML ' + project.dataEntry + ' could not be read: ' + parsed.error + '.'); renderSkipped(skipped); return; }
      rows = parsed.groupAddresses;
      renderSkipped(skipped.concat(parsed.skipped));
      renderTable();
      VX.setStatus(ui.status, rows.length ? 'ok' : 'info', rows.length
        ? rows.length + ' group addresses read from ' + project.dataEntry + (parsed.skipped.length ? ', ' + parsed.skipped.length + ' skipped (see below).' : '.')
        : 'The project defines no group address.');
    }, 20);
  }

  function choose() {
    const r = VX.desk.tryCall('getOpenFileName', 'Open an ETS project', '', 'ETS projects (*.knxproj *.zip);;All files (*)');
    if (!r.ok) { VX.setStatus(ui.status, 'error', r.error); return; }
    if (!r.value) { VX.setStatus(ui.status, 'info', 'No file chosen.'); return; }
    load(String(r.value));
  }

  VX.registerView({
    id: 'ets',
    title: 'ETS import',
    subtitle: 'Read the group addresses of an ETS project export (.knxproj).',
    build(root) {
      ui = {};
      ui.file = el('span', { class: 'mono small', text: 'no file chosen' });
      ui.projectName = el('span', { class: 'strong', text: '—' });
      ui.status = VX.statusLine();
      ui.entries = el('ul', { class: 'entry-list' });
      ui.entryCount = el('span', { class: 'muted small' });
      ui.filter = VX.input({ type: 'search', placeholder: 'Filter', 'aria-label': 'Filter group addresses' });
      ui.filter.addEventListener('input', VX.debounce(() => { filterText = ui.filter.value.trim(); renderTable(); }, 150));
      ui.count = el('span', { class: 'muted' });
      ui.table = VX.table(['Address', 'Name', 'DPT', 'Data point type', 'Range']);
      ui.skipped = el('ul', { class: 'log-list' });
      ui.skippedPanel = VX.panel('Skipped', [ui.skipped]);
      ui.skippedPanel.hidden = true;
      root.appendChild(VX.panel('', [
        VX.row([VX.button('Choose archive…', choose, 'primary'), ui.file]),
        el('dl', { class: 'props props-wide' }, [el('dt', { text: 'Project' }), el('dd', {}, [ui.projectName])]),
        ui.status
      ]));
      root.appendChild(el('div', { class: 'columns' }, [
        el('div', { class: 'col' }, [
          VX.panel('Group addresses', [VX.row([ui.filter, ui.count]), el('div', { class: 'scroll-box tall' }, [ui.table.table])], 'panel-fill'),
          ui.skippedPanel
        ]),
        el('div', { class: 'col col-side' }, [VX.panel('Archive entries', [ui.entryCount, el('div', { class: 'scroll-box tall' }, [ui.entries])])])
      ]));
      renderTable();
    }
  });

  VX.etsView = { load };
})(window.VX = window.VX || {});
