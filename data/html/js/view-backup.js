// Backup and restore: download the server's configuration database to a local file, upload a local
// file in its place, and compare the server's database MD5 with the local file's.
(function (VX) {
  'use strict';

  const el = VX.el;
  const FILTER = 'Configuration database (*.db *.sqlite *.cfg);;All files (*)';
  const EMPTY_MD5 = 'd41d8cd98f00b204e9800998ecf8427e';
  const STALL_MS = 60000;

  let ui = null;
  let transfer = null; // {kind, path, last}
  let stallTimer = null;
  let serverMd5 = '';
  let localMd5 = '';
  let localPath = '';

  function busy(on) {
    ui.download.disabled = on;
    ui.upload.disabled = on;
    ui.cancel.hidden = !on;
    ui.cancel.disabled = false;
    ui.askMd5.disabled = on || !!md5Request;
  }

  function showMd5() {
    VX.setText(ui.serverMd5, serverMd5 || '—');
    VX.setText(ui.localMd5, localMd5 || '—');
    VX.setText(ui.localFile, localPath || 'no file chosen');
    if (serverMd5 && localMd5) {
      const same = serverMd5.toLowerCase() === localMd5.toLowerCase();
      VX.setStatus(ui.md5Compare, same ? 'ok' : 'info', same
        ? 'The local file is the same as the server\'s database.'
        : 'The local file differs from the server\'s database.');
    } else {
      VX.setStatus(ui.md5Compare, '', '');
    }
  }

  function computeLocalMd5(path) {
    const r = VX.desk.tryCall('MD5', path);
    localPath = path;
    localMd5 = r.ok ? String(r.value || '') : '';
    showMd5();
    if (r.ok && !localMd5) VX.notify('error', 'The file ' + path + ' could not be read to compute its MD5.');
    return localMd5;
  }

  let md5Request = null;

  // The field is emptied first: only what the server answers to this request can fill it.
  function askServerMd5() {
    if (transfer || md5Request) return;
    serverMd5 = '';
    showMd5();
    VX.setStatus(ui.md5Status, 'busy', 'Asking the server for its database MD5…');
    ui.askMd5.disabled = true;
    md5Request = VX.desk.request({
      slot: 'VYXDatabaseMD5', what: 'the database MD5 query', timeout: 'databaseMd5', accept: VX.desk.accept.md5,
      done(result) {
        md5Request = null;
        if (ui) ui.askMd5.disabled = !!transfer;
        if (result.ok) serverMd5 = result.value;
        VX.setStatus(ui.md5Status, result.ok ? 'ok' : 'error', result.ok ? 'Server answered.' : result.text);
        showMd5();
      }
    });
  }

  function watchStall() {
    if (stallTimer) clearTimeout(stallTimer);
    const ms = VX.desk.TIMEOUTS.transferStall;
    stallTimer = setTimeout(() => {
      if (transfer) VX.setStatus(ui.status, 'error', 'No progress from the server for ' + Math.round(ms / 1000) + ' s. The transfer may be stuck: Cancel ends it.');
    }, ms);
  }

  function begin(kind, slot, path) {
    const r = VX.desk.tryCall(slot, path, VX.desk.TRANSFER_CB);
    if (!r.ok) { VX.setStatus(ui.status, 'error', r.error); return; }
    if (String(r.value) === 'Not Ready') {
      VX.setStatus(ui.status, 'error', 'Not connected: connect to a server first.');
      return;
    }
    transfer = { kind, path, eta: new VX.Eta(Date.now()) };
    busy(true);
    ui.bar.set(0, 'Starting…', 'busy');
    VX.setStatus(ui.status, 'busy', kind === 'download' ? 'Downloading to ' + path : 'Uploading ' + path);
    VX.clear(ui.steps);
    VX.setText(ui.details, '');
    watchStall();
  }

  // The transfer ends through the library's stop, which sends its end record like any other end.
  function cancelTransfer() {
    if (!transfer) return;
    const r = VX.desk.tryCall('VYXStopTransfer');
    if (!r.ok) { VX.setStatus(ui.status, 'error', r.error); return; }
    ui.cancel.disabled = true;
    VX.setStatus(ui.status, 'busy', 'Cancelling the ' + transfer.kind + '…');
  }

  function download() {
    const r = VX.desk.tryCall('getSaveFileName', 'Save the server configuration', '', FILTER);
    if (!r.ok) { VX.setStatus(ui.status, 'error', r.error); return; }
    const path = String(r.value || '');
    if (!path) { VX.setStatus(ui.status, 'info', 'Download cancelled: no file chosen.'); return; }
    downloadTo(path);
  }

  function downloadTo(path) {
    begin('download', 'VYXDownload', path);
  }

  function upload() {
    const r = VX.desk.tryCall('getOpenFileName', 'Choose the configuration to upload', '', FILTER);
    if (!r.ok) { VX.setStatus(ui.status, 'error', r.error); return; }
    const path = String(r.value || '');
    if (!path) { VX.setStatus(ui.status, 'info', 'Upload cancelled: no file chosen.'); return; }
    uploadFrom(path);
  }

  // Asks for a confirmation naming the server before anything is sent.
  function uploadFrom(path) {
    const md5 = computeLocalMd5(path);
    if (!md5) { VX.setStatus(ui.status, 'error', 'The file ' + path + ' cannot be read.'); return; }
    if (md5 === EMPTY_MD5) { VX.setStatus(ui.status, 'error', 'The file ' + path + ' is empty: an empty database cannot be uploaded.'); return; }
    if (VX.session.state !== 'connected') { VX.setStatus(ui.status, 'error', 'Not connected: connect to a server first.'); return; }
    const s = VX.session;
    const server = (s.name ? s.name + ' (' + s.host + ':' + s.port + ')' : s.host + ':' + s.port);
    VX.confirm('Replace the server configuration?',
      'The configuration database of ' + server + ' will be replaced by ' + path +
      '. The server stops its logic process first. This cannot be undone: download a backup first if unsure.',
      'Upload and replace', () => begin('upload', 'VYXUpload', path), true);
  }

  function onTransfer(report) {
    const d = VX.describeTransfer(report);
    // Reports of a transfer this view no longer waits for (the session ended) are dropped.
    if (!d || !ui || !transfer) return;
    watchStall();
    const amount = d.ended ? VX.progressText(d.done, d.total, d.percent) : VX.progressWithEta(transfer.eta, d.done, d.total, d.percent, Date.now());
    // "Sending 1.2 MiB of 3.0 MiB (40 %)": the step in words; the library's own text goes to the
    // details line.
    const caption = d.nothingToDo ? d.message : d.ended ? amount : (d.step ? d.step + ' ' : '') + amount;
    ui.bar.set(d.percent, caption, d.ended ? (d.error ? 'error' : 'ok') : 'busy');
    const step = d.ended ? d.message : d.step;
    if (step && (!ui.steps.lastChild || ui.steps.lastChild.textContent !== step)) {
      ui.steps.appendChild(el('li', { text: step }));
      while (ui.steps.childNodes.length > 12) ui.steps.removeChild(ui.steps.firstChild);
    }
    VX.setText(ui.details, d.info ? 'Details: ' + d.info : '');
    // Only an ended transfer says what the server's database is: the one received, or the one sent.
    if (d.ended && d.ok) {
      const md5 = d.kind === 'upload' && !d.nothingToDo ? d.clientMd5 : d.serverMd5;
      serverMd5 = VX.isMd5(md5) ? md5.toLowerCase() : '';
    } else if (d.ended) {
      serverMd5 = '';
    }
    if (!d.ended) {
      VX.setStatus(ui.status, 'busy', d.message);
      showMd5();
      return;
    }
    clearTimeout(stallTimer);
    VX.setStatus(ui.status, d.error ? 'error' : 'ok', d.message);
    // A failed download leaves no file behind: there is no local MD5 to show for it.
    if (transfer.path && !(d.error && d.kind === 'download')) computeLocalMd5(transfer.path);
    else showMd5();
    transfer = null;
    busy(false);
  }

  VX.bus.on('transfer', onTransfer);
  VX.testing.provide('backup', { downloadTo, uploadFrom, askServerMd5 });
  VX.bus.on('session-lost', (lost) => {
    if (!ui) return;
    // What the server's database is, is known again only when the next session asks.
    serverMd5 = '';
    if (!/^(Interrupted|Connection lost|Not connected)/.test(ui.md5Status.textContent)) VX.setStatus(ui.md5Status, '', '');
    showMd5();
    if (!transfer) return;
    const kind = transfer.kind;
    transfer = null;
    clearTimeout(stallTimer);
    busy(false);
    ui.bar.set(0, 'Interrupted', 'error');
    VX.setStatus(ui.status, 'error', 'Interrupted: the ' + kind + ' did not end, ' + lost.reason + '.');
  });

  VX.registerView({
    id: 'backup',
    title: 'Backup and restore',
    subtitle: 'Download the server\'s configuration database to a file, or replace it with a saved one.',
    build(root) {
      ui = {};
      ui.download = VX.button('Download backup…', download, 'primary');
      ui.upload = VX.button('Upload and restore…', upload, 'danger');
      ui.cancel = VX.button('Cancel', cancelTransfer, '', { hidden: true, title: 'Stop the transfer (the server keeps its database)' });
      ui.askMd5 = VX.button('Ask the server', askServerMd5);
      ui.bar = VX.progressBar();
      ui.status = VX.statusLine();
      ui.steps = el('ol', { class: 'steps' });
      ui.details = el('p', { class: 'muted small mono' });
      ui.serverMd5 = el('span', { class: 'mono' });
      ui.localMd5 = el('span', { class: 'mono' });
      ui.localFile = el('span', { class: 'mono small' });
      ui.md5Status = VX.statusLine();
      ui.md5Compare = VX.statusLine();
      root.appendChild(el('div', { class: 'columns' }, [
        el('div', { class: 'col' }, [
          VX.panel('Transfer', [
            VX.row([ui.download, ui.upload, ui.cancel]),
            ui.bar,
            ui.status,
            el('h3', { class: 'sub', text: 'Steps' }),
            ui.steps,
            ui.details
          ])
        ]),
        el('div', { class: 'col col-narrow' }, [
          VX.panel('Database MD5', [
            el('dl', { class: 'props' }, [
              el('dt', { text: 'Server database' }), el('dd', {}, [ui.serverMd5]),
              el('dt', { text: 'Local file' }), el('dd', {}, [ui.localMd5]),
              el('dt', { text: 'File' }), el('dd', {}, [ui.localFile])
            ]),
            VX.row([ui.askMd5, VX.button('MD5 of a local file…', () => {
              const r = VX.desk.tryCall('getOpenFileName', 'Choose a local database', '', FILTER);
              if (!r.ok) VX.setStatus(ui.md5Status, 'error', r.error);
              else if (r.value) computeLocalMd5(String(r.value));
            })]),
            ui.md5Status,
            ui.md5Compare
          ])
        ])
      ]));
      ui.bar.reset();
      showMd5();
    }
  });
})(window.VX = window.VX || {});
