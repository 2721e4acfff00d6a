// Fleet: the saved sites side by side, with their reachability (a TCP connect, no login), the
// server version last seen and the age of their newest backup; several sites are backed up into
// the vault at once, each on a connection of its own, with per-site progress and a summary.
(function (VX) {
  'use strict';

  const el = VX.el;
  const store = new VX.SiteStore(window.localStorage || null);
  const PROBE_EVERY_MS = 5 * 60 * 1000;

  let ui = null;
  let rows = [];        // {site, key, reach, newest, check, password, progress, note, reachCell}
  let running = null;   // {indexes: row index per request index}
  let probeTimer = null;
  const reachOf = {};   // site key -> the last probe's answer (rows are rebuilt on every render)
  const overviewOf = {}; // host:port -> the vault's newest copies of the site, as last read

  function siteList() {
    return store.list();
  }

  function addressOf(host, port) {
    return String(host).trim().toLowerCase() + ':' + String(port).trim();
  }

  function reachElement(reach) {
    return reach === null ? el('span', { class: 'muted', text: 'not checked' })
      : reach.reachable ? el('span', { class: 'status-ok', text: 'reachable (' + reach.ms + ' ms)' })
      : el('span', { class: 'status-error', text: 'not reachable: ' + reach.reason });
  }

  // The vault is read by the manager off its window's thread (one index read per site); the view
  // is drawn again when it answers, and then(…) runs.
  let overviewThen = [];
  function refreshOverview(then) {
    if (then) overviewThen.push(then);
    const sites = siteList().map((s) => ({ host: s.host, port: s.port }));
    const r = VX.desk.tryCall('vaultOverview', JSON.stringify(sites), OVERVIEW_CB);
    if (!r.ok) {
      // Without the manager nothing answers: what waits for the vault goes on without it.
      const waiting = overviewThen;
      overviewThen = [];
      waiting.forEach((fn) => fn());
    }
  }
  const OVERVIEW_CB = VX.desk.callback('fleetOverview', (answer) => {
    const overview = VX.vaultAnswer(answer);
    if (Array.isArray(overview)) overview.forEach((info) => { if (info) overviewOf[addressOf(info.host, info.port)] = info; });
    const waiting = overviewThen;
    overviewThen = [];
    if (ui) render();
    waiting.forEach((fn) => fn());
  });

  function render() {
    const body = VX.clear(ui.table.body);
    const sites = siteList();
    const old = {};
    rows.forEach((r) => { old[r.key] = r; });
    rows = sites.map((site) => {
      const key = VX.SiteStore.keyOf(site);
      const was = old[key];
      const info = overviewOf[addressOf(site.host, site.port)] || null;
      const password = was ? was.password : VX.input({ type: 'password', class: 'input input-port', placeholder: 'password', 'aria-label': 'Password of ' + (site.name || site.host) });
      password.placeholder = site.rememberPassword ? 'remembered' : 'password';
      return {
        site, key,
        reach: reachOf[key] || null,
        newest: info && info.newest ? info.newest : null,
        newestVerified: info && info.newestVerified ? info.newestVerified : null,
        attention: info && info.attention ? String(info.attention) : '',
        count: info ? info.count || 0 : 0,
        check: el('input', { type: 'checkbox', checked: was ? was.check.checked : true, 'aria-label': 'Select ' + (site.name || site.host) }),
        password,
        progress: was ? was.progress : el('span', { class: 'small' }),
        note: was ? was.note : ''
      };
    });
    if (!rows.length) {
      VX.emptyRow(body, 8, 'No saved site. Sites are saved on the Servers view when a connection succeeds.');
      return;
    }
    const maxAge = VX.fleetMaxAgeDays() * 86400;
    const now = Date.now() / 1000;
    rows.forEach((r) => {
      let backup;
      const copies = ' (' + r.count + (r.count === 1 ? ' copy' : ' copies') + ')';
      if (!r.newest) {
        backup = el('span', { class: 'status-error', text: 'no backup' });
      } else if (r.attention) {
        // Flagged: what is wrong first, then how old the last copy is that counts.
        const last = r.newestVerified;
        backup = el('span', { class: 'status-error', title: r.newest.utc + ', MD5 ' + r.newest.md5,
          text: 'needs a look: ' + r.attention + ' — ' + (last ? 'last verified backup ' + VX.vaultAgeText(now - last.time) + (now - last.time < 60 ? '' : ' old') : 'no verified backup') + copies });
      } else {
        const age = now - r.newest.time;
        const tooOld = age > maxAge;
        backup = el('span', { class: tooOld ? 'status-error' : 'status-ok',
          title: r.newest.utc + ', MD5 ' + r.newest.md5 + (r.newest.verified ? ', verified' : ''),
          text: (age < 60 ? 'just now' : VX.vaultAgeText(age) + ' old') + (tooOld ? ' — older than ' + VX.fleetMaxAgeDays() + ' days' : '') + copies });
      }
      r.reachCell = el('td', {}, [reachElement(r.reach)]);
      body.appendChild(el('tr', { 'data-key': r.key }, [
        el('td', {}, [r.check]),
        el('td', { text: r.site.name || '—' }),
        el('td', { class: 'mono', text: r.site.host + ':' + r.site.port }),
        r.reachCell,
        el('td', { class: 'mono', text: r.newest && r.newest.version ? r.newest.version : '—' }),
        el('td', {}, [backup]),
        el('td', {}, [r.password]),
        el('td', {}, [r.progress])
      ]));
    });
  }

  // Each probe answers to a callback of its own, so that nothing of an earlier probe can be taken
  // for this one's; its answers carry the generation the manager gave it in the first one, and each
  // lands only on the site it names.
  let pendingProbe = null;
  let probeCount = 0;
  function probe() {
    if (!ui || !rows.length) return;
    const asked = rows.map((x) => ({ key: x.key, address: addressOf(x.site.host, x.site.port) }));
    const name = 'fleetProbed' + (++probeCount);
    // A probe still running is replaced: its late answers (those already on their way) land on
    // nothing; its callback goes with its last one.
    if (pendingProbe) {
      const old = pendingProbe.name;
      window.vyxCb[old] = (answer) => {
        const a = VX.vaultAnswer(answer);
        if (a && a.done) delete window.vyxCb[old];
      };
    }
    const mine = { asked, left: asked.length, generation: null, name };
    pendingProbe = mine;
    const cb = VX.desk.callback(name, (answer) => onProbeAnswer(mine, answer));
    const r = VX.desk.tryCall('fleetProbe', JSON.stringify(rows.map((x) => ({ host: x.site.host, port: x.site.port }))), cb);
    if (!r.ok) { pendingProbe = null; VX.setStatus(ui.status, 'error', r.error); return; }
    VX.setStatus(ui.probeStatus, 'busy', 'Checking ' + asked.length + (asked.length === 1 ? ' site…' : ' sites…'));
  }

  function onProbeAnswer(p, answer) {
    const a = VX.vaultAnswer(answer);
    if (!a || !ui) return;
    if (p.generation === null) {
      // The first answer says which generation this probe is.
      p.generation = a.generation;
      return;
    }
    if (a.generation !== p.generation) return;
    if (a.done) {
      // Nothing more comes to this probe's callback.
      delete window.vyxCb[p.name];
      return;
    }
    if (p !== pendingProbe) return;
    const asked = p.asked[a.index];
    if (!asked || asked.address !== addressOf(a.host, a.port)) return;
    const reach = { reachable: !!a.reachable, ms: Number(a.ms) || 0, reason: String(a.reason || '') };
    reachOf[asked.key] = reach;
    // Only the site's own cell changes: a probe of many sites redraws nothing else.
    const row = rows.filter((x) => x.key === asked.key)[0];
    if (row && row.reachCell) {
      VX.clear(row.reachCell);
      row.reachCell.appendChild(reachElement(reach));
    }
    if (--p.left <= 0) {
      const down = p.asked.filter((x) => reachOf[x.key] && !reachOf[x.key].reachable).length;
      VX.setStatus(ui.probeStatus, down ? 'error' : 'ok', 'Checked at ' + VX.timeText().substring(0, 8) + ': ' +
        (down ? down + ' of ' + p.asked.length + ' not reachable.' : 'all reachable.'));
      pendingProbe = null;
    }
  }

  // The passwords of the chosen sites: typed, or else remembered in the keyring; then go(passwords),
  // or the reason one could not be read.
  function passwordsOf(chosen, go) {
    const passwords = chosen.map((r) => r.password.value);
    const asked = chosen.map((r, i) => i).filter((i) => !passwords[i] && chosen[i].site.rememberPassword);
    let left = asked.length;
    let failed = '';
    if (!left) { go(passwords); return; }
    asked.forEach((i) => {
      VX.keyringCall('rememberedPassword', [chosen[i].key], (a) => {
        if (a.status === 'ok' && a.found) passwords[i] = String(a.password || '');
        else if (!failed) failed = (chosen[i].site.name || chosen[i].site.host) + ': ' + (a.status === 'ok' ? 'no password in the keyring' : a.error);
        if (--left === 0) go(passwords, failed);
      });
    });
  }

  function backupSelected() {
    if (running) return;
    const chosen = rows.filter((r) => r.check.checked);
    if (!chosen.length) { VX.setStatus(ui.status, 'error', 'Select the sites to back up first.'); return; }
    running = { chosen };
    ui.backupButton.disabled = true;
    passwordsOf(chosen, (passwords, failed) => {
      running = null;
      ui.backupButton.disabled = false;
      if (failed) { VX.setStatus(ui.status, 'error', 'The remembered password could not be read: ' + failed); return; }
      startBackup(chosen, passwords);
    });
  }

  function startBackup(chosen, passwords) {
    const request = {
      sites: chosen.map((r, i) => ({ name: r.site.name || r.site.host + ':' + r.site.port, host: r.site.host, port: r.site.port,
        user: r.site.user || 'admin', password: passwords[i] })),
      parallel: Number(ui.parallel.value) || 3,
      keep: VX.vaultKeep(),
      timeout: 15
    };
    const r = VX.desk.tryCall('fleetBackup', JSON.stringify(request), BACKUP_CB);
    if (!r.ok) { VX.setStatus(ui.status, 'error', r.error); return; }
    if (r.value === false || String(r.value) === 'false') { VX.setStatus(ui.status, 'error', 'A fleet backup is already running.'); return; }
    running = { chosen };
    chosen.forEach((x) => { VX.setText(x.progress, 'waiting'); x.progress.className = 'small'; });
    ui.backupButton.disabled = true;
    VX.clear(ui.failures);
    VX.setStatus(ui.status, 'busy', 'Backing up ' + chosen.length + (chosen.length === 1 ? ' site' : ' sites') + ', ' + request.parallel + ' at a time…');
  }

  const PHASES = { connecting: 'connecting…', downloading: 'downloading', done: 'backed up', failed: 'failed' };
  const BACKUP_CB = VX.desk.callback('fleetBackedUp', (answer) => {
    const a = VX.vaultAnswer(answer);
    if (!a || !running || !ui) return;
    if (!a.done) {
      const row = running.chosen[a.index];
      if (!row) return;
      const pct = Math.round((Number(a.fraction) || 0) * 100);
      VX.setText(row.progress, (PHASES[a.phase] || String(a.phase)) + (a.phase === 'downloading' ? ' ' + pct + ' %' : ''));
      row.progress.className = 'small' + (a.phase === 'done' ? ' status-ok' : a.phase === 'failed' ? ' status-error' : '');
      return;
    }
    const results = Array.isArray(a.results) ? a.results : [];
    const failed = results.filter((x) => !x.ok);
    results.forEach((x) => {
      const row = running.chosen[x.index];
      if (!row) return;
      VX.setText(row.progress, x.ok ? 'backed up in ' + Number(x.seconds).toFixed(1) + ' s' : 'failed: ' + x.reason);
      row.progress.className = 'small ' + (x.ok ? 'status-ok' : 'status-error');
    });
    failed.forEach((x) => ui.failures.appendChild(el('li', { text: String(x.name) + ': ' + String(x.reason) })));
    VX.setStatus(ui.status, failed.length ? 'error' : 'ok', (results.length - failed.length) + ' of ' + results.length +
      ' sites backed up.' + (failed.length ? ' Failed: ' + failed.map((x) => x.name).join(', ') + '.' : ''));
    running = null;
    ui.backupButton.disabled = false;
    refreshOverview();
    VX.bus.emit('vault', null);
  });

  VX.testing.provide('fleet', { probe, backupSelected, render, refreshOverview });

  VX.registerView({
    id: 'fleet',
    title: 'Fleet',
    subtitle: 'The saved sites at a glance: reachable or not, server version, and how old their newest backup is.',
    build(root) {
      ui = {};
      ui.table = VX.table(['', 'Site', 'Address', 'Reachability', 'Server version', 'Newest backup', 'Password', 'Progress']);
      ui.probeButton = VX.button('Check reachability', probe);
      ui.backupButton = VX.button('Back up selected', backupSelected, 'primary');
      ui.parallel = VX.input({ value: '3', class: 'input input-port', inputmode: 'numeric', 'aria-label': 'Sites at a time' });
      ui.maxAge = VX.input({ value: String(VX.fleetMaxAgeDays()), class: 'input input-port', inputmode: 'numeric' });
      ui.maxAge.addEventListener('change', () => {
        const n = Number(ui.maxAge.value);
        if (Number.isInteger(n) && n >= 1 && n <= 3650) { VX.setFleetMaxAgeDays(n); render(); }
        else ui.maxAge.value = String(VX.fleetMaxAgeDays());
      });
      ui.status = VX.statusLine();
      ui.probeStatus = VX.statusLine();
      ui.failures = el('ul', { class: 'steps' });
      root.appendChild(VX.panel('Sites', [
        VX.row([ui.probeButton, ui.backupButton, VX.field('Sites at a time', ui.parallel), VX.field('Mark backups older than (days)', ui.maxAge)], 'row-fields'),
        ui.probeStatus,
        el('div', { class: 'scroll-box' }, [ui.table.table]),
        ui.status,
        ui.failures,
        el('p', { class: 'small muted', text: 'A password typed here is used for this backup only; a site whose password is remembered (Servers, Connect) takes it from the desktop\'s keyring. Each site is backed up on a connection of its own into the vault.' })
      ]));
      render();
    },
    onShow() {
      render();
      // The sites are checked once the vault's view of them is drawn.
      refreshOverview(probe);
      if (!probeTimer) probeTimer = setInterval(() => { if (VX.currentView && VX.currentView() === 'fleet') probe(); }, PROBE_EVERY_MS);
    }
  });
})(window.VX = window.VX || {});
