// Files and plug-ins: folders and files on the server, copying a local file there, installing a
// plug-in archive step by step.
(function (VX) {
  'use strict';

  const el = VX.el;

  let ui = null;
  let copyJob = null; // {kind: 'copy'|'plugin', local, remote}

  function requireConnection(line) {
    if (VX.session.state === 'connected') return true;
    VX.setStatus(line, 'error', 'Not connected: connect to a server first.');
    return false;
  }

  function serverPath() {
    const path = ui.path.value.trim();
    if (!path) {
      VX.setStatus(ui.fsStatus, 'error', 'Enter a path on the server.');
      ui.path.focus();
      return '';
    }
    if (/[\u0000-\u001f]/.test(path)) {
      VX.setStatus(ui.fsStatus, 'error', 'The path contains control characters.');
      return '';
    }
    return path;
  }

  function logFs(text, kind) {
    ui.fsLog.insertBefore(el('li', { class: 'log-' + (kind || 'info') }, [
      el('span', { class: 'tl-time', text: VX.timeText().substring(0, 8) }), el('span', { text })
    ]), ui.fsLog.firstChild);
    while (ui.fsLog.childNodes.length > 30) ui.fsLog.removeChild(ui.fsLog.lastChild);
  }

  // ---- Folders and files -------------------------------------------------------------------
  // The server's result (err and info) decides: err 0 is shown as done, anything else in red with
  // the server's reason.
  function fileRequest(slot, path, what, title, timeout) {
    VX.desk.request({
      slot, args: [path], what, timeout, accept: VX.desk.accept.result,
      done(result) {
        const text = result.ok ? title + ' ' + path + ': ' + (result.value.info || 'done') : title + ' ' + path + ' failed: ' + result.text;
        VX.setStatus(ui.fsStatus, result.ok ? 'ok' : 'error', text);
        logFs(text, result.ok ? 'ok' : 'error');
      }
    });
  }

  function createFolder() {
    const path = serverPath();
    if (!path || !requireConnection(ui.fsStatus)) return;
    VX.setStatus(ui.fsStatus, 'busy', 'Creating ' + path + '…');
    logFs('Create folder ' + path);
    fileRequest('VYXCreateFolder', path, 'the creation of the folder ' + path, 'Create folder', 'folder');
  }

  function deleteItem(kind) {
    const path = serverPath();
    if (!path || !requireConnection(ui.fsStatus)) return;
    const slot = kind === 'folder' ? 'VYXDeleteFolder' : 'VYXDeleteFile';
    VX.confirm('Delete ' + kind + '?', 'Delete the ' + kind + ' "' + path + '" on the server ' + VX.session.host +
      (kind === 'folder' ? ' with everything in it' : '') + '? This cannot be undone.', 'Delete', () => {
      VX.setStatus(ui.fsStatus, 'busy', 'Deleting ' + path + '…');
      logFs('Delete ' + kind + ' ' + path);
      fileRequest(slot, path, 'the deletion of ' + path, 'Delete ' + kind, kind === 'folder' ? 'folder' : 'fileDelete');
    }, true);
  }

  // There is no listing request in the protocol: the folder is listed with a command line, whose
  // answer is the long format of the server's ls (GNU or BusyBox). It waits for nothing else: a
  // console command still running does not hold it up.
  let listRequest = null;

  function listFolder() {
    const path = serverPath();
    if (!path || !requireConnection(ui.fsStatus)) return;
    if (listRequest) listRequest.cancel();
    VX.setText(ui.listing, 'waiting for the server…');
    ui.listing.hidden = false;
    ui.listTable.table.hidden = true;
    VX.setStatus(ui.fsStatus, 'busy', 'Listing ' + path + '…');
    const request = VX.desk.request({
      slot: 'VYXConsole', args: ['ls -la ' + VX.shellQuote(path)], what: 'the listing of ' + path,
      timeout: 'listing', accept: VX.desk.accept.status,
      done(result) {
        if (listRequest === request) listRequest = null;
        if (result.outcome === 'cancelled') return;
        const parsed = result.ok ? VX.parseLongListing(result.value) : null;
        if (!parsed || !parsed.entries.length) {
          VX.setText(ui.listing, result.text === '' ? '(empty answer)' : result.text);
          VX.setStatus(ui.fsStatus, 'error', 'Listing failed: ' + (result.text || 'the server sent no listing') + '');
          return;
        }
        showListing(path, parsed);
      }
    });
    listRequest = request;
  }

  // Names, dates and link targets come from the server: they go into the page as text only.
  function showListing(path, parsed) {
    const entries = VX.listingEntries(parsed);
    const body = VX.clear(ui.listTable.body);
    if (!entries.length) VX.emptyRow(body, 4, 'The folder is empty.');
    entries.forEach((e) => {
      const full = VX.joinPath(path, e.name);
      const name = e.type === 'folder'
        ? el('a', { href: '#', class: 'entry-open mono', text: e.name + '/', title: 'List ' + full,
          onclick: (ev) => { ev.preventDefault(); openPath(full); } })
        : el('a', { href: '#', class: 'entry-use mono', text: e.name, title: 'Put ' + full + ' in the path field',
          onclick: (ev) => { ev.preventDefault(); ui.path.value = full; ui.path.focus(); } });
      body.appendChild(el('tr', { 'data-name': e.name, title: e.mode + ' ' + e.owner + ' ' + e.group }, [
        el('td', {}, [name]),
        el('td', { class: 'num', text: e.size === null || e.type === 'folder' ? '' : VX.formatBytes(e.size) }),
        el('td', { class: 'mono', text: e.date }),
        el('td', { text: VX.entryTypeText(e) })
      ]));
    });
    ui.listTable.table.hidden = false;
    showCrumbs(path);
    const extra = parsed.other.length ? parsed.other.join('\n') : '';
    VX.setText(ui.listing, extra);
    ui.listing.hidden = !extra;
    const folders = entries.filter((e) => e.type === 'folder').length;
    VX.setStatus(ui.fsStatus, 'ok', 'Listing of ' + (path === '.' ? 'the server folder' : path) + ': ' + folders + (folders === 1 ? ' folder, ' : ' folders, ') +
      (entries.length - folders) + (entries.length - folders === 1 ? ' file.' : ' files.'));
  }

  // The folder shown, as steps back up: each step lists its folder.
  function showCrumbs(path) {
    const box = VX.clear(ui.crumbs);
    const crumbs = VX.pathCrumbs(path);
    crumbs.forEach((c, i) => {
      if (i > 0) box.appendChild(el('span', { class: 'crumb-sep', text: '/' }));
      box.appendChild(i === crumbs.length - 1
        ? el('span', { class: 'crumb crumb-here mono', text: c.label })
        : el('a', { href: '#', class: 'crumb mono', text: c.label, title: 'List ' + c.path,
          onclick: (ev) => { ev.preventDefault(); openPath(c.path); } }));
    });
  }

  function openPath(path) {
    ui.path.value = path;
    listFolder();
  }

  function listParent() {
    const path = ui.path.value.trim();
    ui.path.value = path ? VX.parentPath(path) : '.';
    listFolder();
  }

  // ---- Copy and plug-in (both report through the copy callback) -----------------------------
  function setStep(status) {
    const items = ui.pluginSteps.childNodes;
    const index = VX.PLUGIN_STEPS.indexOf(status);
    Array.prototype.forEach.call(items, (li, i) => {
      li.className = i < index ? 'done' : i === index ? (status === 'install complete' ? 'done' : 'active') : '';
    });
  }

  function resetSteps() {
    VX.clear(ui.pluginSteps);
    VX.PLUGIN_STEP_WORDS.forEach((s) => ui.pluginSteps.appendChild(el('li', { text: s })));
  }

  function onCopyStatus(answer) {
    const d = VX.describeCopy(answer);
    if (!d || !copyJob) return;
    const job = copyJob;
    job.started = true;
    const bar = job.kind === 'plugin' ? ui.pluginBar : ui.copyBar;
    const line = job.kind === 'plugin' ? ui.pluginStatus : ui.copyStatus;
    if (job.kind === 'plugin') setStep(d.status);
    if (d.status === 'copy in progress') {
      job.size = d.total;
      job.done = d.done;
      job.percent = d.percent;
      if (!job.eta) job.eta = new VX.Eta(Date.now());
      bar.set(d.percent, VX.progressWithEta(job.eta, d.done, d.total, d.percent, Date.now()), 'busy');
    } else if (d.status === 'error') {
      // stopped where it was: the bar keeps what the server confirmed, in red
      bar.set(job.percent || 0, job.size ? VX.progressText(job.done || 0, job.size, job.percent || 0) : 'Stopped', 'error');
    } else {
      // the later steps carry no sizes: keep showing the file size once known
      bar.set(d.percent, job.size ? VX.progressText(job.size, job.size, 100) : '', d.failed ? 'error' : d.ended ? 'ok' : 'busy');
    }
    VX.setStatus(line, d.failed ? 'error' : d.ended ? 'ok' : 'busy', d.message);
    if (d.status === 'complete' || d.status === 'MD5 Error') {
      // The end status carries the local file's digest, hashed for the comparison: not hashed again.
      const r = VX.parseAnswer(answer);
      const md5 = r && VX.isMd5(r.md5) ? String(r.md5) : '';
      VX.setText(job.kind === 'plugin' ? ui.pluginMd5 : ui.copyMd5, (md5 || '—') +
        (d.failed ? ' (differs from the server\'s copy)' : ' (verified on the server)'));
    }
    if (job.kind === 'copy' && d.ended) finishCopy();
    if (job.kind === 'plugin') {
      if (d.failed) finishCopy();
      else if (d.status === 'complete') {
        // The archive is on the server: what follows are command lines, not blocks to stop.
        ui.pluginCancel.disabled = true;
        unpackPlugin(job);
      }
    }
  }
  const COPY_CB = VX.desk.callback('copyStatus', onCopyStatus);

  const INSTALLED_CB = VX.desk.callback('pluginInstalled', () => {
    setStep('install complete');
    ui.pluginBar.set(100, '', 'ok');
    VX.setStatus(ui.pluginStatus, 'ok', 'Install complete: the plug-in is installed and the logic process restarted.');
    finishCopy();
  });

  function finishCopy() {
    copyJob = null;
    ui.copyButton.disabled = false;
    ui.installButton.disabled = false;
    ui.copyCancel.disabled = true;
    ui.pluginCancel.disabled = true;
  }

  // Stops the sending of the file (or of the plug-in's archive); its end comes as the copy's error.
  function cancelCopy() {
    if (!copyJob) return;
    const line = copyJob.kind === 'plugin' ? ui.pluginStatus : ui.copyStatus;
    const r = VX.desk.tryCall('VYXCancelCopy');
    if (!r.ok) { VX.setStatus(line, 'error', r.error); return; }
    ui.copyCancel.disabled = true;
    ui.pluginCancel.disabled = true;
    VX.setStatus(line, 'busy', 'Cancelling the copy…');
  }

  function unpackPlugin(job) {
    VX.setStatus(ui.pluginStatus, 'busy', 'Unpacking the archive on the server into ' + job.remote + '…');
    const command = 'tar -xzf plugin.tar.gz -C ' + VX.shellQuote(job.remote);
    VX.desk.request({
      slot: 'VYXConsole', args: [command], what: 'the unpacking of the plug-in', timeout: 'pluginUnpack',
      accept: VX.desk.accept.status,
      done(result) {
        if (copyJob !== job) return; // this install already ended
        // tar reports its failures as "tar: ..."
        if (!result.ok || /^tar: /.test(result.value)) {
          VX.setStatus(ui.pluginStatus, 'error', 'Unpacking failed: ' + result.text);
          finishCopy();
          return;
        }
        const r = VX.desk.tryCall('VYXPluginExtracted', result.value);
        if (!r.ok) { VX.setStatus(ui.pluginStatus, 'error', r.error); finishCopy(); }
      }
    });
  }

  function chooseLocal(input, title, filter) {
    const r = VX.desk.tryCall('getOpenFileName', title, '', filter);
    if (!r.ok) { VX.notify('error', r.error); return; }
    if (r.value) {
      input.value = String(r.value);
      if (input === ui.localFile && !ui.remoteName.value) ui.remoteName.value = VX.baseName(r.value);
    }
  }

  function copy() {
    const local = ui.localFile.value.trim();
    const remote = ui.remoteName.value.trim() || VX.baseName(local);
    if (!local) { VX.setStatus(ui.copyStatus, 'error', 'Choose the local file to copy.'); return; }
    if (!requireConnection(ui.copyStatus)) return;
    if (copyJob) { VX.setStatus(ui.copyStatus, 'error', 'Another copy is running.'); return; }
    const r = VX.desk.tryCall('VYXCopyFile', local, remote, COPY_CB);
    if (!r.ok) { VX.setStatus(ui.copyStatus, 'error', r.error); return; }
    if (!r.value) { VX.setStatus(ui.copyStatus, 'error', 'The copy did not start: the local file cannot be read or is larger than 2 GiB, or the connection is not ready.'); return; }
    copyJob = { kind: 'copy', local, remote };
    ui.copyButton.disabled = true;
    ui.installButton.disabled = true;
    ui.copyCancel.disabled = false;
    VX.setText(ui.copyMd5, '—');
    ui.copyBar.set(0, 'Creating ' + remote + ' on the server…', 'busy');
    VX.setStatus(ui.copyStatus, 'busy', 'Copying ' + local + ' to ' + remote + '…');
  }

  function install() {
    const archive = ui.pluginFile.value.trim();
    const target = ui.pluginPath.value.trim();
    if (!archive) { VX.setStatus(ui.pluginStatus, 'error', 'Choose the plug-in archive (.tar.gz).'); return; }
    if (!target) { VX.setStatus(ui.pluginStatus, 'error', 'Enter the folder on the server to unpack into.'); return; }
    if (!requireConnection(ui.pluginStatus)) return;
    if (copyJob) { VX.setStatus(ui.pluginStatus, 'error', 'A copy is running.'); return; }
    VX.confirm('Install plug-in?', 'Install ' + VX.baseName(archive) + ' on ' + VX.session.host + ' into ' + target +
      '? The server\'s logic process will be restarted.', 'Install', () => {
      const r = VX.desk.tryCall('VYXInstallPlugin', archive, target, COPY_CB, INSTALLED_CB);
      if (!r.ok) { VX.setStatus(ui.pluginStatus, 'error', r.error); return; }
      copyJob = { kind: 'plugin', local: archive, remote: target };
      ui.copyButton.disabled = true;
      ui.installButton.disabled = true;
      ui.pluginCancel.disabled = false;
      resetSteps();
      VX.setText(ui.pluginMd5, '—');
      ui.pluginBar.set(0, 'Starting…', 'busy');
      VX.setStatus(ui.pluginStatus, 'busy', 'Copying the archive to the server…');
      // The watchdog of this install only: a later install has its own.
      const job = copyJob;
      setTimeout(() => {
        if (copyJob === job && !job.started) {
          VX.setStatus(ui.pluginStatus, 'error', 'The copy did not start: the archive cannot be read, or the connection is not ready.');
          finishCopy();
        }
      }, VX.desk.TIMEOUTS.pluginStart);
    });
  }

  VX.bus.on('session-lost', (lost) => {
    if (!ui) return;
    if (copyJob) {
      const job = copyJob;
      const bar = job.kind === 'plugin' ? ui.pluginBar : ui.copyBar;
      bar.set(job.percent || 0, 'Interrupted', 'error');
      VX.setStatus(job.kind === 'plugin' ? ui.pluginStatus : ui.copyStatus, 'error',
        'Interrupted: the ' + (job.kind === 'plugin' ? 'plug-in install' : 'copy') + ' did not end, ' + lost.reason + '.');
      finishCopy();
    }
  });

  VX.registerView({
    id: 'files',
    title: 'Files and plug-ins',
    subtitle: 'Work on the server\'s file system and install plug-in archives.',
    build(root) {
      ui = {};
      ui.path = VX.input({ placeholder: 'e.g. logic/plugins/new-folder' });
      ui.fsStatus = VX.statusLine();
      ui.fsLog = el('ol', { class: 'log-list' });
      ui.listing = el('pre', { class: 'listing', hidden: true });
      ui.listTable = VX.table(['Name', 'Size', 'Modified', 'Type'], 'table-listing');
      ui.listTable.table.hidden = true;
      // The breadcrumb is the table's caption: it goes away with the table when a listing fails.
      ui.crumbs = el('caption', { class: 'crumbs', 'aria-label': 'Folder shown' });
      ui.listTable.table.insertBefore(ui.crumbs, ui.listTable.table.firstChild);
      ui.localFile = VX.input({ placeholder: 'local file' });
      ui.remoteName = VX.input({ placeholder: 'name on the server' });
      ui.copyButton = VX.button('Copy to server', copy, 'primary');
      ui.copyCancel = VX.button('Cancel', cancelCopy, 'ghost', { title: 'Stop sending the file; the server keeps the part it has' });
      ui.copyCancel.disabled = true;
      ui.copyBar = VX.progressBar();
      ui.copyStatus = VX.statusLine();
      ui.copyMd5 = el('span', { class: 'mono' });
      ui.pluginFile = VX.input({ placeholder: 'plug-in archive (.tar.gz)' });
      ui.pluginPath = VX.input({ value: 'logic/' });
      ui.installButton = VX.button('Install plug-in', install, 'primary');
      ui.pluginCancel = VX.button('Cancel', cancelCopy, 'ghost', { title: 'Stop sending the archive; nothing is installed' });
      ui.pluginCancel.disabled = true;
      ui.pluginBar = VX.progressBar();
      ui.pluginStatus = VX.statusLine();
      ui.pluginMd5 = el('span', { class: 'mono' });
      ui.pluginSteps = el('ol', { class: 'steps steps-track' });
      VX.onEnter([ui.path], createFolder);

      root.appendChild(el('div', { class: 'columns' }, [
        el('div', { class: 'col' }, [
          VX.panel('Folders and files on the server', [
            VX.row([VX.field('Server path', ui.path, 'Relative to the server\'s own folder (the folder its program works in): "." is that ' +
              'folder, "logic/plugins" a folder inside it.')], 'row-fields'),
            VX.row([
              VX.button('List', listFolder),
              VX.button('Up', listParent, '', { title: 'List the folder above' }),
              VX.button('Create folder', createFolder, 'primary'),
              VX.button('Delete folder…', () => deleteItem('folder'), 'danger'),
              VX.button('Delete file…', () => deleteItem('file'), 'danger')
            ]),
            ui.fsStatus,
            el('div', { class: 'scroll-box' }, [ui.listTable.table]),
            ui.listing,
            ui.fsLog
          ]),
          VX.panel('Copy a local file to the server', [
            VX.row([VX.field('Local file', ui.localFile), VX.button('Browse…', () => chooseLocal(ui.localFile, 'Choose a file to copy', 'All files (*)'))], 'row-fields row-end'),
            VX.row([VX.field('Name on the server', ui.remoteName)], 'row-fields'),
            VX.row([ui.copyButton, ui.copyCancel]),
            ui.copyBar,
            ui.copyStatus,
            el('dl', { class: 'props' }, [el('dt', { text: 'Local MD5' }), el('dd', {}, [ui.copyMd5])])
          ])
        ]),
        el('div', { class: 'col' }, [
          VX.panel('Install a plug-in', [
            VX.row([VX.field('Archive', ui.pluginFile), VX.button('Browse…', () => chooseLocal(ui.pluginFile, 'Choose a plug-in archive', 'Plug-in archives (*.tar.gz *.tgz);;All files (*)'))], 'row-fields row-end'),
            VX.row([VX.field('Unpack into (server folder)', ui.pluginPath)], 'row-fields'),
            VX.row([ui.installButton, ui.pluginCancel]),
            ui.pluginBar,
            ui.pluginStatus,
            ui.pluginSteps,
            el('dl', { class: 'props' }, [el('dt', { text: 'Archive MD5' }), el('dd', {}, [ui.pluginMd5])])
          ])
        ])
      ]));
      ui.copyBar.reset();
      ui.pluginBar.reset();
      resetSteps();
    }
  });
})(window.VX = window.VX || {});
