// Backup and restore: download the server's configuration database to a local file or into the
// vault, upload a local file in its place after saying what that will do, and compare the server's
// database MD5 with the local file's.
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
  let vaultCopies = [];

  function busy(on) {
    ui.vaultBackup.disabled = on;
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

  // The MD5 of a local file, hashed by the manager off its window's thread (a big file takes
  // seconds); then(md5) runs with '' when the file cannot be read, and not at all when a newer
  // hash replaced this one.
  const LOCAL_MD5_TIMEOUT_MS = 30 * 60 * 1000;
  let hashRequest = null;
  let hashing = null; // the hash whose answer is awaited
  function acceptFileMd5(answer) {
    const v = VX.vaultAnswer(answer);
    if (v && VX.isMd5(v.md5)) return { ok: true, value: String(v.md5).toLowerCase() };
    return { ok: false, text: v && v.error ? String(v.error) : 'The manager gave no MD5 for the file.' };
  }
  const MD5_PROGRESS_CB = VX.desk.callback('localMd5Progress', (answer) => {
    const p = VX.vaultAnswer(answer);
    if (!ui || !hashing || !p) return;
    const size = Number(p.size) || 0;
    const bytes = Number(p.bytes) || 0;
    VX.setStatus(ui.md5Status, 'busy', 'Computing the MD5 of ' + VX.baseName(localPath) + ': ' +
      VX.progressText(bytes, size, size > 0 ? bytes * 100 / size : 0));
  });
  function computeLocalMd5(path, then) {
    // A finished request ignores the cancel.
    if (hashRequest) hashRequest.cancel();
    const mine = {};
    hashing = mine;
    localPath = path;
    localMd5 = '';
    showMd5();
    VX.setStatus(ui.md5Status, 'busy', 'Computing the MD5 of ' + VX.baseName(path) + '…');
    hashRequest = VX.desk.request({
      slot: 'MD5Async', args: [path, MD5_PROGRESS_CB], what: 'the MD5 of ' + path, timeout: LOCAL_MD5_TIMEOUT_MS,
      needsConnection: false, accept: acceptFileMd5,
      done(result) {
        if (result.outcome === 'cancelled' || hashing !== mine) return;
        hashing = null;
        if (!ui) return;
        localMd5 = result.ok ? result.value : '';
        showMd5();
        VX.setStatus(ui.md5Status, result.ok ? 'ok' : 'error', result.ok ? 'MD5 of ' + VX.baseName(path) + ' computed.' : result.text);
        if (then) then(localMd5);
      }
    });
  }

  // A transfer's end record carries the digest of the file it wrote or sent: it is not read again.
  function takeEndRecordMd5(path, d) {
    if (hashRequest) hashRequest.cancel();
    hashing = null;
    localPath = path;
    localMd5 = VX.isMd5(d.clientMd5) ? d.clientMd5.toLowerCase() : '';
    showMd5();
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
    hideLogicStart();
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
    // An earlier restore's plan says nothing about this download.
    VX.setStatus(ui.plan, '', '');
    begin('download', 'VYXDownload', path);
  }

  function upload() {
    const r = VX.desk.tryCall('getOpenFileName', 'Choose the configuration to upload', '', FILTER);
    if (!r.ok) { VX.setStatus(ui.status, 'error', r.error); return; }
    const path = String(r.value || '');
    if (!path) { VX.setStatus(ui.status, 'info', 'Upload cancelled: no file chosen.'); return; }
    restoreFrom(path);
  }

  // ---- Vault -------------------------------------------------------------------------------
  function refreshVault() {
    if (!ui) return;
    const s = VX.session;
    const body = VX.clear(ui.vaultTable.body);
    if (!s.host) {
      vaultCopies = [];
      VX.setText(ui.vaultFolder, 'Connect to a server to see its backups.');
      VX.emptyRow(body, 7, 'No server chosen.');
      return;
    }
    const r = VX.desk.tryCall('vaultList', s.host, String(s.port));
    const answer = r.ok ? VX.vaultAnswer(r.value) : null;
    vaultCopies = answer && Array.isArray(answer.copies) ? answer.copies : [];
    VX.setText(ui.vaultFolder, answer ? answer.folder : r.error);
    VX.setStatus(ui.vaultAttention, answer && answer.attention ? 'error' : '',
      answer && answer.attention ? VX.vaultAttentionText(answer.attention) : '');
    if (!vaultCopies.length) {
      VX.emptyRow(body, 7, 'No backup of ' + s.host + ':' + s.port + ' in the vault yet.');
      return;
    }
    const now = Date.now() / 1000;
    vaultCopies.forEach((c) => {
      body.appendChild(el('tr', {}, [
        el('td', { text: VX.dateTimeText(c.time * 1000), title: c.utc }),
        el('td', { text: VX.vaultAgeText(now - c.time) }),
        el('td', { text: VX.sizeText(c.size) }),
        el('td', { class: 'mono', text: String(c.md5).substring(0, 12) + '…', title: c.md5 }),
        el('td', { class: 'mono', text: c.version || '—' }),
        el('td', { class: c.verified ? 'status-ok' : 'status-error', text: VX.vaultCheckText(c) }),
        el('td', { class: 'actions' }, [VX.button('Restore', () => restoreFrom(c.path), 'small')])
      ]));
    });
  }

  // Downloads into the vault; `then` runs after the copy is in the vault and verified.
  function backupToVault(then) {
    if (transfer) return;
    const s = VX.session;
    if (s.state !== 'connected') { VX.setStatus(ui.status, 'error', 'Not connected: connect to a server first.'); return; }
    if (!then) VX.setStatus(ui.plan, '', '');
    const r = VX.desk.tryCall('vaultPartPath', s.host, String(s.port));
    const a = r.ok ? VX.vaultAnswer(r.value) : null;
    if (!a || !a.path) { VX.setStatus(ui.status, 'error', 'The vault cannot take a backup: ' + (a ? a.error : r.error)); return; }
    begin('download', 'VYXDownload', a.path);
    if (transfer) transfer.vault = { site: s.name || s.host + ':' + s.port, host: s.host, port: String(s.port), then: then || null };
  }

  // The end of a download into the vault: the copy goes in (hashed again), or the part goes.
  function finishVaultDownload(vault, d) {
    if (d.error) {
      VX.desk.tryCall('vaultDiscard', d.clientFile || '');
      if (vault.then) VX.setStatus(ui.plan, 'error', 'The backup failed, so the restore was not started.');
      return;
    }
    const request = { site: vault.site, host: vault.host, port: vault.port, part: d.clientFile, md5: d.serverMd5,
      version: serverVersion(), keep: VX.vaultKeep() };
    const r = VX.desk.tryCall('vaultAdd', JSON.stringify(request), VAULT_CB);
    if (!r.ok) { VX.setStatus(ui.status, 'error', r.error); return; }
    pendingVault = vault;
    busy(true);
  }
  let pendingVault = null;
  // The connected server's version, for the copy's row ('' when it has not said or this manager
  // cannot ask).
  function serverVersion() {
    const r = VX.desk.tryCall('VYXServerVersion');
    return r.ok && typeof r.value === 'string' ? r.value : '';
  }
  const VAULT_CB = VX.desk.callback('vaultAdded', (answer) => {
    const a = VX.vaultAnswer(answer);
    const vault = pendingVault;
    pendingVault = null;
    busy(false);
    if (!ui) return;
    if (!a || !a.ok) {
      VX.setStatus(ui.status, 'error', 'The backup could not be kept in the vault: ' + (a ? a.error : 'no answer'));
      if (vault && vault.then) VX.setStatus(ui.plan, 'error', 'The backup failed, so the restore was not started.');
      refreshVault();
      return;
    }
    if (a.copy.suspect) {
      // The server's database as it is, and no backup: kept to be looked at, not counted.
      VX.setStatus(ui.status, 'error', 'Kept in the vault as a suspect copy: ' + a.copy.file + ' (' + VX.sizeText(a.copy.size) +
        ') matches the server, but ' + a.copy.suspect + '. It does not count as a backup; the last verified copy stays.');
    } else {
      VX.setStatus(ui.status, 'ok', 'Backed up to the vault: ' + a.copy.file + ' (' + VX.sizeText(a.copy.size) + ', MD5 verified).');
    }
    refreshVault();
    VX.bus.emit('vault', a.copy);
    // A restore waits for the copy of what the server has, whatever that is.
    if (vault && vault.then) vault.then(a.copy);
  });

  // Retention hashes every verified copy of the site again: the manager does it off its window's
  // thread and answers when done.
  function applyRetention() {
    const n = Number(ui.keep.value);
    if (!Number.isInteger(n) || n < 0 || n > 10000) { VX.setStatus(ui.vaultStatus, 'error', 'Keep a number of copies from 0 (all) to 10000.'); return; }
    VX.setVaultKeep(n);
    const s = VX.session;
    if (!n || !s.host) { VX.setStatus(ui.vaultStatus, 'ok', n ? 'Kept: the last ' + n + ' copies per site.' : 'Every copy is kept.'); return; }
    VX.setStatus(ui.vaultStatus, 'busy', 'Checking the copies of ' + s.host + ':' + s.port + ' before removing any…');
    VX.desk.request({
      slot: 'vaultPrune', args: [s.host, String(s.port), n], what: 'the retention', timeout: LOCAL_MD5_TIMEOUT_MS,
      needsConnection: false, accept: (answer) => {
        const a = VX.vaultAnswer(answer);
        return a && !a.error && a.removed !== undefined ? { ok: true, value: a } : { ok: false, text: a && a.error ? String(a.error) : 'no answer' };
      },
      done(result) {
        if (!ui) return;
        if (!result.ok) { VX.setStatus(ui.vaultStatus, 'error', 'Retention failed: ' + result.text); return; }
        VX.setStatus(ui.vaultStatus, 'ok', 'Kept the last ' + n + ' copies (and the newest verified one); ' + result.value.removed + ' removed.');
        refreshVault();
      }
    });
  }

  // ---- Compare before restore --------------------------------------------------------------
  function serverName() {
    const s = VX.session;
    return s.name ? s.name + ' (' + s.host + ':' + s.port + ')' : s.host + ':' + s.port;
  }

  // Asks for a confirmation naming the server, without comparing first (kept for automated
  // drivers of the upload itself).
  function uploadFrom(path) {
    computeLocalMd5(path, (md5) => confirmUpload(path, md5));
  }

  function confirmUpload(path, md5) {
    if (!md5) { VX.setStatus(ui.status, 'error', 'The file ' + path + ' cannot be read.'); return; }
    if (md5 === EMPTY_MD5) { VX.setStatus(ui.status, 'error', 'The file ' + path + ' is empty: an empty database cannot be uploaded.'); return; }
    if (VX.session.state !== 'connected') { VX.setStatus(ui.status, 'error', 'Not connected: connect to a server first.'); return; }
    VX.confirm('Replace the server configuration?',
      'The configuration database of ' + serverName() + ' will be replaced by ' + path +
      '. The server\'s logic process is stopped just before the file is sent. This cannot be undone: back it up first if unsure.',
      'Upload and replace', () => begin('upload', 'VYXUpload', path), true);
  }

  // The file, the live database (by MD5) and the newest vault copy decide what is offered: what
  // the restore buttons and the file dialog lead to.
  function restoreFrom(path) {
    if (transfer || pendingVault) return;
    VX.setStatus(ui.plan, 'busy', 'Computing the MD5 of ' + VX.baseName(path) + '…');
    computeLocalMd5(path, (md5) => planRestore(path, md5));
  }

  function planRestore(path, md5) {
    if (transfer || pendingVault) return;
    if (!md5) { VX.setStatus(ui.plan, '', ''); VX.setStatus(ui.status, 'error', 'The file ' + path + ' cannot be read.'); return; }
    if (md5 === EMPTY_MD5) { VX.setStatus(ui.plan, '', ''); VX.setStatus(ui.status, 'error', 'The file ' + path + ' is empty: an empty database cannot be uploaded.'); return; }
    if (VX.session.state !== 'connected') { VX.setStatus(ui.plan, '', ''); VX.setStatus(ui.status, 'error', 'Not connected: connect to a server first.'); return; }
    VX.setStatus(ui.plan, 'busy', 'Comparing ' + VX.baseName(path) + ' with the server\'s database and the vault…');
    VX.desk.request({
      slot: 'VYXDatabaseMD5', what: 'the database MD5 query', timeout: 'databaseMd5', accept: VX.desk.accept.md5,
      done(result) {
        if (!ui) return;
        if (result.outcome === 'offline' || result.outcome === 'cancelled') {
          VX.setStatus(ui.plan, 'error', 'The restore was not started: ' + result.text);
          return;
        }
        // An unreadable answer leaves the live database unknown, which the plan treats as not
        // backed up.
        if (result.ok) serverMd5 = result.value;
        showMd5();
        refreshVault();
        offerRestore(path, md5, result.ok ? result.value : '');
      }
    });
  }

  function offerRestore(path, md5, live) {
    const plan = VX.restorePlan(md5, live, vaultCopies[0] || null, VX.baseName(path));
    if (!plan.send) {
      // The bar and steps of an earlier transfer would read as this restore's outcome.
      ui.bar.reset();
      VX.clear(ui.steps);
      VX.setText(ui.details, '');
      VX.setStatus(ui.plan, 'ok', plan.text);
      VX.setStatus(ui.status, 'info', 'Nothing sent: the server already has this database.');
      return;
    }
    VX.setStatus(ui.plan, plan.backupFirst ? 'error' : 'info', plan.text);
    const title = 'Restore ' + VX.baseName(path) + ' on ' + serverName() + '?';
    const text = plan.text + ' The server\'s logic process is stopped just before the file is sent.';
    const restore = () => begin('upload', 'VYXUpload', path);
    if (!plan.backupFirst) {
      VX.confirm(title, text, 'Upload and replace', restore, true);
      return;
    }
    const dialog = VX.confirm(title, text, 'Back up, then restore', () => {
      VX.setStatus(ui.plan, 'busy', 'Backing up the server\'s database first; the restore follows when the copy is verified.');
      backupToVault(() => {
        VX.setStatus(ui.plan, 'busy', 'Backed up; now restoring ' + VX.baseName(path) + '.');
        restore();
      });
    }, false);
    const buttons = dialog.overlay.querySelector('.dialog-buttons');
    buttons.insertBefore(VX.button('Upload and replace', () => { dialog.close(); restore(); }, 'danger'), buttons.lastChild);
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
    const vault = transfer.vault || null;
    if (!d.ended) {
      VX.setStatus(ui.status, 'busy', d.message);
      showMd5();
      return;
    }
    clearTimeout(stallTimer);
    VX.setStatus(ui.status, d.error ? 'error' : 'ok', d.message);
    // A failed download leaves no file behind: there is no local MD5 to show for it. A vault copy
    // is shown in the vault's list instead.
    if (transfer.path && !vault && !(d.error && d.kind === 'download')) takeEndRecordMd5(transfer.path, d);
    else showMd5();
    transfer = null;
    busy(false);
    if (vault) finishVaultDownload(vault, d);
    else if (d.kind === 'upload' && ui.plan.textContent) VX.setStatus(ui.plan, d.error ? 'error' : 'ok', d.error ? 'The restore failed: ' + d.message : 'Restored.');
    if (d.logicStopped) offerLogicStart();
  }

  // ---- The server's logic after a failed restore --------------------------------------------
  // The restore stopped the logic just before its first block and then failed: the building runs
  // without its logic until it is started again.
  function offerLogicStart() {
    VX.setStatus(ui.logic, 'error', 'The server\'s logic process was stopped for this restore and is not running now.');
    ui.startLogic.hidden = false;
    ui.startLogic.disabled = false;
  }

  function hideLogicStart() {
    VX.setStatus(ui.logic, '', '');
    ui.startLogic.hidden = true;
  }

  function startLogic() {
    const r = VX.desk.tryCall('VYXStartLogic', LOGIC_CB);
    if (!r.ok) { VX.setStatus(ui.logic, 'error', r.error); return; }
    ui.startLogic.disabled = true;
    VX.setStatus(ui.logic, 'busy', 'Starting the server\'s logic process…');
  }

  const LOGIC_CB = VX.desk.callback('logicStarted', (answer) => {
    if (!ui) return;
    const a = VX.vaultAnswer(answer);
    const status = a && a.status !== undefined ? String(a.status) : String(answer || '');
    if (/^(Not connected|Connection lost)/.test(status)) {
      VX.setStatus(ui.logic, 'error', 'The logic was not started: ' + status);
      ui.startLogic.disabled = false;
      return;
    }
    ui.startLogic.hidden = true;
    VX.setStatus(ui.logic, 'ok', 'Start of the server\'s logic process sent; the server answered: ' + status);
  });

  VX.bus.on('transfer', onTransfer);
  VX.testing.provide('backup', { downloadTo, uploadFrom, restoreFrom, askServerMd5, backupToVault, refreshVault, startLogic });
  VX.bus.on('connected', () => refreshVault());
  VX.bus.on('session-lost', (lost) => {
    if (!ui) return;
    // What the server's database is, is known again only when the next session asks.
    serverMd5 = '';
    if (!/^(Interrupted|Connection lost|Not connected)/.test(ui.md5Status.textContent)) VX.setStatus(ui.md5Status, '', '');
    showMd5();
    // A copy on its way into the vault still goes in; the restore that was to follow it does not.
    if (pendingVault && pendingVault.then) {
      pendingVault.then = null;
      VX.setStatus(ui.plan, 'error', 'The restore was not started: ' + lost.reason + '.');
    }
    if (!transfer) return;
    const kind = transfer.kind;
    transfer = null;
    clearTimeout(stallTimer);
    busy(false);
    ui.bar.set(0, 'Interrupted', 'error');
    VX.setStatus(ui.status, 'error', 'Interrupted: the ' + kind + ' did not end, ' + lost.reason + '.');
  });

  VX.registerView({
    onShow() { refreshVault(); },
    id: 'backup',
    title: 'Backup and restore',
    subtitle: 'Back up the server\'s configuration database into the vault or a file, or restore a saved one.',
    build(root) {
      ui = {};
      ui.vaultBackup = VX.button('Back up to the vault', () => backupToVault(null), 'primary');
      ui.download = VX.button('Download backup…', download);
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
      ui.plan = VX.statusLine();
      ui.logic = VX.statusLine();
      ui.startLogic = VX.button('Start the logic again', startLogic, 'primary', { hidden: true, title: 'Start the server\'s logic process, which the failed restore stopped' });
      ui.vaultTable = VX.table(['Date', 'Age', 'Size', 'MD5', 'Server version', 'Check', '']);
      ui.vaultFolder = el('span', { class: 'mono small' });
      ui.vaultStatus = VX.statusLine();
      ui.vaultAttention = VX.statusLine();
      ui.keep = VX.input({ value: String(VX.vaultKeep()), class: 'input input-port', inputmode: 'numeric' });
      root.appendChild(el('div', { class: 'columns' }, [
        el('div', { class: 'col' }, [
          VX.panel('Transfer', [
            VX.row([ui.vaultBackup, ui.download, ui.upload, ui.cancel]),
            ui.bar,
            ui.status,
            ui.plan,
            VX.row([ui.logic, ui.startLogic]),
            el('h3', { class: 'sub', text: 'Steps' }),
            ui.steps,
            ui.details
          ]),
          VX.panel('Vault', [
            el('p', { class: 'small' }, ['Folder: ', ui.vaultFolder]),
            ui.vaultAttention,
            el('div', { class: 'scroll-box' }, [ui.vaultTable.table]),
            VX.row([VX.field('Keep the last (0 = all)', ui.keep), VX.button('Apply retention', applyRetention)], 'row-fields'),
            ui.vaultStatus
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
      refreshVault();
    }
  });
})(window.VX = window.VX || {});
