// Servers: discovery, saved sites, manual address, login and the connection timeline.
(function (VX) {
  'use strict';

  const el = VX.el;
  const store = new VX.SiteStore(window.localStorage || null);
  const SEARCH_MS = 5000;

  let ui = null;
  let found = [];
  let searching = false;
  let searchTimer = null;
  let lastSearch = 0;
  let lastEntry = null;

  // ---- Discovery ---------------------------------------------------------------------------
  // Anything on the network may answer, and as often as it likes: a search keeps at most
  // MAX_FOUND servers, finds a known one at once, and redraws the table once per tick.
  const MAX_FOUND = 256;
  const RENDER_TICK_MS = 100;
  let foundKeys = {};
  let renderTimer = null;
  let renders = 0;

  function onFound(withAddress, text) {
    const server = VX.parseDiscoveryAnswer(withAddress, text);
    const key = server.address + '\n' + server.text;
    if (foundKeys[key] || found.length >= MAX_FOUND) return;
    foundKeys[key] = true;
    found.push(server);
    if (!renderTimer) renderTimer = setTimeout(() => { renderTimer = null; renderFound(); }, RENDER_TICK_MS);
  }
  const DISCOVER_CB = VX.desk.callback('discovered', onFound);

  function search() {
    const r = VX.desk.tryCall('discover', DISCOVER_CB);
    if (!r.ok) {
      VX.setStatus(ui.searchStatus, 'error', r.error);
      return;
    }
    found = [];
    foundKeys = {};
    searching = true;
    lastSearch = Date.now();
    renderFound();
    VX.setStatus(ui.searchStatus, 'busy', 'Searching the local network…');
    ui.searchButton.disabled = true;
    if (searchTimer) clearTimeout(searchTimer);
    searchTimer = setTimeout(() => {
      searching = false;
      ui.searchButton.disabled = false;
      VX.setStatus(ui.searchStatus, found.length ? 'ok' : 'info', found.length
        ? 'Search finished: ' + found.length + (found.length === 1 ? ' server' : ' servers') + ' found.'
        : 'Search finished: no server answered.');
      renderFound();
    }, SEARCH_MS + 500);
  }

  function renderFound() {
    renders++;
    const body = VX.clear(ui.foundTable.body);
    ui.searchHelp.hidden = searching || found.length > 0 || lastSearch === 0;
    if (ui.sitesTable) renderSites();
    if (!found.length) {
      VX.emptyRow(body, 4, searching ? 'Waiting for answers…' : 'No server found yet.');
      return;
    }
    found.forEach((s) => {
      const other = impostorOf(s);
      body.appendChild(el('tr', other ? { class: 'warn-row' } : {}, [
        el('td', { title: s.text }, [
          s.name || '(no name)',
          other ? el('div', { class: 'small status-error', text: differentServerText(other) }) : null
        ]),
        el('td', { class: 'mono', text: s.address }),
        el('td', { class: 'mono', text: s.port || '18000' }),
        el('td', { class: 'actions' }, [VX.button('Use', () => fill({ host: s.address, port: s.port || '18000', name: s.name }), 'small')])
      ]));
    });
  }

  // ---- Knowing a server again ---------------------------------------------------------------
  // A saved site remembers what identified its server at the first login. A discovery answer with
  // the same name from another address, or with other fields, may be another host collecting the
  // password: the site is marked, and Connect asks first.
  function differentServerText(name) {
    return 'A different server answers as ' + name;
  }

  // The name of the saved server a found one answers in place of, or ''.
  function impostorOf(server) {
    const site = store.list().filter((x) => VX.answersAsAnother(x.identity, server))[0];
    return site ? site.identity.name : '';
  }

  // The name a connection to host:port (as user) would reach in place of a known server, or ''.
  function impostorFor(host, port, user) {
    const key = VX.SiteStore.keyOf({ host, port, user });
    const site = store.list().filter((x) => VX.SiteStore.keyOf(x) === key)[0];
    const against = found.filter((f) => site ? VX.answersAsAnother(site.identity, f)
      : f.address === host && (f.port || '18000') === port && impostorOf(f));
    if (!against.length) return '';
    return site ? site.identity.name : impostorOf(against[0]);
  }

  // ---- Saved sites -------------------------------------------------------------------------
  function renderSites() {
    const body = VX.clear(ui.sitesTable.body);
    const sites = store.list();
    if (!sites.length) {
      VX.emptyRow(body, 5, 'No saved site. Sites are saved when a connection succeeds with "Remember this site" on.');
      return;
    }
    sites.forEach((s) => {
      const key = VX.SiteStore.keyOf(s);
      const other = found.some((f) => VX.answersAsAnother(s.identity, f));
      body.appendChild(el('tr', other ? { class: 'warn-row' } : {}, [
        el('td', {}, [
          s.name || '—',
          s.rememberPassword ? el('span', { class: 'small muted', text: ' · password remembered' }) : null,
          other ? el('div', { class: 'small status-error', text: differentServerText(s.identity.name) }) : null
        ]),
        el('td', { class: 'mono', text: s.host + ':' + s.port }),
        el('td', { text: s.user || '—' }),
        el('td', { text: s.lastConnected ? VX.dateTimeText(s.lastConnected) : 'never' }),
        el('td', { class: 'actions' }, [
          VX.button('Use', () => fill(s), 'small'),
          VX.button('Remove', () => { forgetRemembered(s); store.remove(key); renderSites(); }, 'small ghost', { title: 'Forget this site' })
        ])
      ]));
    });
  }

  function fill(site) {
    ui.host.value = site.host || '';
    ui.port.value = site.port || '18000';
    if (site.user !== undefined) ui.user.value = site.user;
    ui.name.value = site.name || '';
    ui.tunnel.value = site.tunnel || '';
    ui.password.value = '';
    if (keyring.available) ui.rememberPassword.checked = site.rememberPassword === true;
    if (site.rememberPassword) fillRememberedPassword(VX.SiteStore.keyOf(site));
    (ui.user.value ? ui.password : ui.user).focus();
  }

  // ---- Remembered passwords ----------------------------------------------------------------
  // Kept in the desktop's keyring alone, through the manager; every keyring call answers later.
  const keyring = { available: false, reason: '' };

  const KEYRING_CB = VX.desk.callback('keyringStatus', (answer) => {
    const a = VX.parseAnswer(answer) || {};
    keyring.available = a.available === true;
    keyring.reason = String(a.reason || '');
    showKeyring();
  });

  function askKeyring() {
    const r = VX.desk.tryCall('keyringStatus', KEYRING_CB);
    if (!r.ok) {
      keyring.available = false;
      keyring.reason = r.error;
      showKeyring();
    }
  }

  function showKeyring() {
    if (!ui) return;
    ui.rememberPassword.disabled = !keyring.available;
    if (!keyring.available) ui.rememberPassword.checked = false;
    VX.setText(ui.keyringNote, keyring.available ? 'Kept in the desktop\'s keyring only.' : keyring.reason);
    ui.keyringNote.className = 'small keyring-note ' + (keyring.available ? 'muted' : 'status-error');
  }

  let keyringCalls = 0;
  // Calls a keyring slot with a callback of its own; done(answer) gets the parsed answer.
  function keyringCall(slot, args, done) {
    const name = 'keyring' + (++keyringCalls);
    const cb = VX.desk.callback(name, (answer) => {
      delete window.vyxCb[name];
      done(VX.parseAnswer(answer) || { status: 'error', error: 'no answer' });
    });
    const r = VX.desk.tryCall.apply(null, [slot].concat(args, [cb]));
    if (!r.ok) {
      delete window.vyxCb[name];
      done({ status: 'error', error: r.error });
    }
  }
  VX.keyringCall = keyringCall;

  function fillRememberedPassword(key) {
    keyringCall('rememberedPassword', [key], (a) => {
      if (!ui || VX.SiteStore.keyOf({ host: ui.host.value.trim(), port: ui.port.value.trim(), user: ui.user.value }) !== key) return;
      if (a.status === 'ok' && a.found && !ui.password.value) {
        ui.password.value = String(a.password || '');
        VX.setStatus(ui.connectStatus, 'info', 'The password comes from the keyring.');
      } else if (a.status !== 'ok') {
        VX.setStatus(ui.connectStatus, 'error', 'The remembered password could not be read: ' + a.error);
      }
    });
  }

  function forgetRemembered(site) {
    if (site && site.rememberPassword) forgetKey(VX.SiteStore.keyOf(site));
  }

  function forgetKey(key) {
    keyringCall('forgetPassword', [key], (a) => {
      if (a.status !== 'ok') VX.notify('error', 'The remembered password could not be removed from the keyring: ' + a.error);
    });
  }

  // After a login: the password goes into the keyring when the box is on, and leaves it when the
  // box was turned off.
  function keepPassword(key, wanted, password, had) {
    if (wanted) {
      keyringCall('rememberPassword', [key, password], (a) => {
        if (a.status !== 'ok') {
          store.update(key, { rememberPassword: false });
          VX.notify('error', 'The password could not be remembered: ' + a.error);
        }
        renderSites();
      });
    } else if (had) {
      forgetKey(key);
    }
  }

  // ---- Connection --------------------------------------------------------------------------
  function addTimeline(kind, text, detail) {
    const key = text + '\u0000' + (detail || '');
    if (lastEntry && lastEntry.key === key && lastEntry.node.parentNode) {
      lastEntry.count++;
      VX.setText(lastEntry.time, VX.timeText().substring(0, 8));
      VX.setText(lastEntry.countNode, '×' + lastEntry.count);
      return;
    }
    const time = el('span', { class: 'tl-time', text: VX.timeText().substring(0, 8) });
    const countNode = el('span', { class: 'tl-count' });
    const node = el('li', { class: 'tl-item tl-' + kind }, [
      time, el('span', { class: 'tl-text', text }), detail ? el('span', { class: 'tl-detail', text: detail }) : null, countNode
    ]);
    ui.timeline.appendChild(node);
    while (ui.timeline.childNodes.length > 60) ui.timeline.removeChild(ui.timeline.firstChild);
    ui.timeline.scrollTop = ui.timeline.scrollHeight;
    lastEntry = { key, node, time, countNode, count: 1 };
  }

  // The two refusals of a login (connection states 2 and 1), in words that say what to do.
  const FAILURES = {
    'Authentication failed': 'Wrong user name or password: the server refused the login. Check both and connect again.',
    'Max client reached': 'The server is full: it already serves as many clients as it accepts. Close another manager or vyxctl connected to it, or try again later.'
  };

  function onConnection(answer, generation) {
    const v = VX.parseAnswer(answer);
    const conn = v && typeof v === 'object' ? String(v.connection || '') : String(answer || '');
    const state = v && typeof v === 'object' && v.state !== undefined ? String(v.state) : '';
    // the manager closed both channels after a disconnect: noted while still disconnected (after
    // a new connect it is the end of the earlier one, and says nothing about the new one)
    if (conn === 'Disconnected') {
      if (VX.session.state === 'offline') addTimeline('info', 'Channels closed', 'the disconnect is complete');
      return;
    }
    // late reports of a connection that the user ended or that was stopped after a refusal
    if (VX.session.state === 'offline' || VX.session.state === 'failed') return;
    if (conn === 'Tunnel failed') {
      addTimeline('error', 'SSH tunnel failed', state);
      login = null;
      VX.desk.setSession('failed', conn);
      VX.setStatus(ui.connectStatus, 'error', 'The SSH tunnel could not be opened: ' + state);
      ui.connectButton.disabled = false;
      return;
    }
    // A report of a connection that a later one has replaced changes nothing here.
    if (VX.desk.isEarlierConnection(generation)) return;
    if (conn === 'Connection Ready') {
      addTimeline('ok', 'Connection ready', 'both channels are open');
      VX.desk.connectionReady(generation);
      rememberSite();
      return;
    }
    // While an established connection is being rebuilt, a refusal is one more reason it is lost,
    // not the end: a server that is going down or coming up refuses for a moment.
    if (FAILURES[conn] && VX.session.state !== 'connected' && VX.session.state !== 'lost') {
      addTimeline('error', conn, FAILURES[conn]);
      login = null;
      VX.desk.tryCall('VYXDisconnect');
      VX.desk.setSession('failed', conn);
      VX.setStatus(ui.connectStatus, 'error', conn + ': ' + FAILURES[conn]);
      ui.connectButton.disabled = false;
      return;
    }
    // The previous connection, closed by this manager before the new one starts. Only this
    // manager closes a channel "by client", so the report can come late, after the new one is up:
    // it says nothing about the new one.
    if (conn === 'Closed by client' && (VX.session.state === 'connecting' || VX.session.state === 'connected')) {
      addTimeline('info', 'Previous connection closed', '');
      return;
    }
    // Logged in means a logged-in channel that is connected; the same state with a closed socket
    // is a channel that ended.
    const loggedIn = conn === 'ConnectionState_Ok' && (state === 'Connected' || state === '');
    // Reports come from several threads of the library and may arrive after the connection is
    // ready: one that says "not logged in" while the bridge still has a ready connection is late,
    // and says nothing about the connection that is up.
    if (!loggedIn && VX.session.state === 'connected' && VX.desk.isConnected()) return;
    const kind = loggedIn ? 'ok' : conn === 'Connecting' ? 'info' : 'warn';
    const text = loggedIn ? 'Logged in' : conn === 'Connecting' ? 'Connecting' : 'Connection closed: ' + closeWords(conn);
    addTimeline(kind, text, STATE_WORDS.hasOwnProperty(state) ? STATE_WORDS[state] : state);
    if (VX.session.state === 'connected' || VX.session.state === 'lost') {
      // A connection that was up stays shown as lost, with the latest reason, until it is ready again.
      if (!loggedIn) VX.desk.setSession('lost', lostReason(conn, state));
      return;
    }
    const detail = loggedIn ? 'logged in, opening the second channel'
      : state === 'Can Not Reach The Host' ? 'host not reachable, retrying' : conn;
    VX.desk.setSession('connecting', detail);
  }

  // The socket states of a report, in words; '' where the report's own words say it all.
  const STATE_WORDS = {
    'Closed': '',
    'Connected': '',
    'Can Not Reach The Host': 'the host cannot be reached, retrying'
  };

  VX.bus.on('session-lost', (lost) => {
    if (ui && lost.state === 'lost') addTimeline('error', 'Connection lost', VX.session.detail);
  });

  // Why a channel ended, in words (the library's connection states).
  function closeWords(conn) {
    switch (conn) {
      case 'Timeout': {
        // The heartbeat gives up after twice its time-out without a frame.
        const r = VX.desk.tryCall('VYXGetHeartBeatTimeOut');
        const ms = r.ok ? Number(r.value) : NaN;
        return isFinite(ms) && ms > 0 ? 'no answer for ' + Math.round(2 * ms / 1000) + ' s' : 'no answer from the server';
      }
      case 'Socket error': return 'a network error';
      case 'Too slow': return 'the server answers too slowly';
      case 'Invalid data': return 'the server sent data that cannot be read';
      case 'Closed from host': return 'the server closed the connection';
      case 'Closed by client': return 'this manager closed the connection';
      case 'ConnectionState_Ok': return 'the connection closed';
      default: return conn || 'the connection closed';
    }
  }

  function lostReason(conn, state) {
    if (conn === 'Connecting') return state === 'Can Not Reach The Host' ? 'reconnecting, the host cannot be reached' : 'reconnecting…';
    return closeWords(conn);
  }
  const CONNECT_CB = VX.desk.callback('connection', onConnection);

  // ---- Start-up connection (vyxdesk --connect) ----------------------------------------------
  let startup = null;

  function startupConnection() {
    const r = VX.desk.tryCall('VYXStartupConnection');
    if (!r.ok || !r.value) return;
    let c = null;
    try { c = JSON.parse(String(r.value)); } catch (e) { c = null; }
    if (!c || typeof c.host !== 'string' || !c.host) return;
    startup = { pending: true };
    fill({ host: c.host, port: String(c.port || '18000'), user: String(c.user || ''), name: String(c.name || ''), tunnel: String(c.tunnel || '') });
    if (c.hasPassword) {
      // After the workbench has finished opening (it shows its first view last).
      const password = String(c.password || '');
      setTimeout(() => {
        ui.password.value = password;
        connect();
        ui.password.value = '';
      }, 0);
    } else {
      VX.setStatus(ui.connectStatus, 'info', 'Enter the password of ' + (c.user || 'the user') + ' on ' + c.host + ':' + (c.port || '18000') + ' and press Connect.');
      ui.password.focus();
    }
  }

  // A start-up connection opens on the parameters, once.
  VX.bus.on('connected', () => {
    if (startup && startup.pending) {
      startup.pending = false;
      setTimeout(() => VX.show('parameters'), 0);
    }
  });

  // The login just made: its password until the connection is ready (then kept in the keyring
  // or dropped), and whether the user agreed to a server that answers in another's place.
  let login = null;

  function rememberSite() {
    const made = login;
    login = null;
    if (!ui.remember.checked || !made) return;
    const key = VX.SiteStore.keyOf({ host: VX.session.host, port: VX.session.port, user: VX.session.user });
    const old = store.list().filter((x) => VX.SiteStore.keyOf(x) === key)[0];
    const site = { name: ui.name.value, host: VX.session.host, port: VX.session.port, user: VX.session.user, rememberPassword: made.rememberPassword, tunnel: made.tunnel };
    // Learnt at the first login, and again when the user chose to connect to another server.
    if (!old || !old.identity || made.acceptedOther) site.identity = identityNow(VX.session.host, VX.session.port);
    const err = store.save(site, Date.now());
    if (err) VX.notify('error', err);
    if (!err) {
      keepPassword(key, made.rememberPassword, made.password, old && old.rememberPassword);
      if (site.identity) learnServerVersion(key, 0);
    }
    renderSites();
  }

  // What identifies the server at host:port now: its discovery answer, if it answered.
  function identityNow(host, port) {
    const answer = found.filter((f) => f.address === host && (f.port || '18000') === String(port))[0];
    return answer ? VX.identityOf(answer) : null;
  }

  // The server's version is asked once the connection is ready, and arrives a little later.
  function learnServerVersion(key, tries) {
    const r = VX.desk.tryCall('VYXServerVersion');
    const version = r.ok && typeof r.value === 'string' ? r.value : '';
    const site = store.list().filter((x) => VX.SiteStore.keyOf(x) === key)[0];
    if (!site || !site.identity) return;
    if (version) {
      site.identity.serverVersion = version;
      store.update(key, { identity: site.identity });
    } else if (tries < 20 && VX.session.state === 'connected') {
      setTimeout(() => learnServerVersion(key, tries + 1), 250);
    }
  }

  function connect() {
    const host = ui.host.value.trim();
    const port = ui.port.value.trim() || '18000';
    const hostError = VX.validateHost(host);
    const portError = VX.validatePort(port);
    if (hostError || portError) {
      VX.setStatus(ui.connectStatus, 'error', hostError || portError);
      (hostError ? ui.host : ui.port).focus();
      return;
    }
    const tunnelError = VX.validateTunnel(ui.tunnel.value);
    if (tunnelError) {
      VX.setStatus(ui.connectStatus, 'error', tunnelError);
      ui.tunnel.focus();
      return;
    }
    if (!ui.user.value) {
      VX.setStatus(ui.connectStatus, 'error', 'Enter the user name.');
      ui.user.focus();
      return;
    }
    if (VX.session.state === 'connecting') return; // one connection attempt at a time
    const other = impostorFor(host, port, ui.user.value);
    if (other) {
      VX.confirm(differentServerText(other),
        'Another host answers under the name of the server this site knew, from another address or with other details. ' +
        'It may be collecting passwords. Send the password to ' + host + ':' + port + ' anyway?',
        'Connect anyway', () => send(host, port, true), true);
      return;
    }
    send(host, port, false);
  }

  function send(host, port, acceptedOther) {
    // Connecting elsewhere ends the current session first, and says so (the bridge closes it
    // before it opens the new one).
    VX.clear(ui.timeline);
    lastEntry = null;
    if (VX.session.state === 'connected' || VX.session.state === 'lost') {
      addTimeline('info', 'Disconnected', 'from ' + VX.session.host + ':' + VX.session.port + ', to connect to ' + host + ':' + port);
      VX.desk.setSession('offline', 'to connect elsewhere');
    }
    VX.desk.leaveConnection();
    const tunnel = ui.tunnel.value.trim();
    const r = tunnel ? VX.desk.tryCall('VYXConnectThroughTunnel', host, port, ui.user.value, ui.password.value, tunnel, CONNECT_CB)
      : VX.desk.tryCall('VYXConnect', host, port, ui.user.value, ui.password.value, CONNECT_CB);
    if (!r.ok || (tunnel && r.value)) {
      VX.setStatus(ui.connectStatus, 'error', r.ok ? String(r.value) : r.error);
      return;
    }
    login = { password: ui.password.value, rememberPassword: ui.rememberPassword.checked && keyring.available, acceptedOther, tunnel };
    addTimeline('info', 'Connecting to ' + host + ':' + port, 'as ' + ui.user.value + (tunnel ? ', through ' + tunnel : ''));
    VX.setStatus(ui.connectStatus, 'busy', 'Connecting… the states appear below as the server answers.');
    VX.desk.setSession('connecting', '', { host, port, user: ui.user.value, name: ui.name.value.trim() });
  }

  VX.disconnect = function () {
    login = null;
    VX.desk.leaveConnection();
    VX.desk.tryCall('VYXDisconnect');
    if (ui) {
      addTimeline('info', 'Disconnected', 'by the user');
      VX.setStatus(ui.connectStatus, 'info', 'Disconnected.');
      ui.connectButton.disabled = false;
    }
    VX.desk.setSession('offline', '');
  };

  VX.bus.on('authentication', (text) => {
    if (ui) addTimeline('info', 'Authentication', String(text).replace(/^Authentication Response\s*/, ''));
  });

  VX.bus.on('session', (s) => {
    if (!ui) return;
    ui.disconnectButton.disabled = s.state === 'offline' || s.state === 'failed';
    ui.connectButton.disabled = s.state === 'connecting';
    if (s.state === 'connected') VX.setStatus(ui.connectStatus, 'ok', 'Connected to ' + s.host + ':' + s.port + '.');
    if (s.state === 'lost') VX.setStatus(ui.connectStatus, 'error', 'Connection to ' + s.host + ':' + s.port + ' lost (' + s.detail + '). The manager reconnects by itself; Disconnect stops it.');
  });

  VX.testing.provide('servers', { get renders() { return renders; }, get found() { return found.length; } });

  VX.registerView({
    id: 'servers',
    title: 'Servers',
    subtitle: 'Find a server on the local network or enter its address, then log in.',
    build(root) {
      ui = {};
      ui.searchButton = VX.button('Search again', search, 'primary');
      ui.searchStatus = VX.statusLine();
      ui.searchHelp = el('div', { class: 'help-box', hidden: true }, [
        el('p', { text: 'No server answered the search. What to try:' }),
        el('ul', {}, [
          el('li', { text: 'Enter the server\'s address by hand under Connect (port 18000 unless changed).' }),
          el('li', { text: 'Make sure this computer is on the server\'s network (same cable, Wi-Fi or VPN that reaches it).' }),
          el('li', { text: 'Make sure UDP ports 17000 and 17001 are not blocked by a firewall on this computer or on the network: the search goes out and comes back on them.' })
        ])
      ]);
      ui.foundTable = VX.table(['Name', 'Address', 'Port', '']);
      ui.sitesTable = VX.table(['Site', 'Address', 'User', 'Last connection', '']);
      ui.host = VX.input({ placeholder: '192.168.1.10', 'aria-required': 'true' });
      ui.port = VX.input({ value: '18000', class: 'input input-port', inputmode: 'numeric' });
      ui.user = VX.input({ placeholder: 'admin' });
      ui.password = VX.input({ type: 'password' });
      ui.name = VX.input({ placeholder: 'optional, e.g. Office' });
      ui.tunnel = VX.input({ placeholder: 'optional, ssh://user@host[:port]' });
      ui.remember = el('input', { type: 'checkbox', checked: true, id: 'remember-site' });
      ui.rememberPassword = el('input', { type: 'checkbox', id: 'remember-password', disabled: true });
      ui.keyringNote = el('div', { class: 'small muted keyring-note', text: 'Asking the desktop\'s keyring…' });
      ui.connectButton = VX.button('Connect', connect, 'primary');
      ui.disconnectButton = VX.button('Disconnect', () => VX.disconnect(), '', { disabled: true });
      ui.connectStatus = VX.statusLine();
      ui.timeline = el('ol', { class: 'timeline', 'aria-label': 'Connection states' });
      VX.onEnter([ui.host, ui.port, ui.user, ui.password, ui.name, ui.tunnel], connect);

      root.appendChild(el('div', { class: 'columns' }, [
        el('div', { class: 'col' }, [
          VX.panel('Servers on this network', [
            VX.row([ui.searchButton, ui.searchStatus]),
            ui.searchHelp,
            el('div', { class: 'scroll-box' }, [ui.foundTable.table])
          ]),
          VX.panel('Saved sites', [el('div', { class: 'scroll-box' }, [ui.sitesTable.table])])
        ]),
        el('div', { class: 'col col-narrow' }, [
          VX.panel('Connect', [
            VX.row([VX.field('Address', ui.host), VX.field('Port', ui.port)], 'row-fields'),
            VX.row([VX.field('User', ui.user), VX.field('Password', ui.password)], 'row-fields'),
            VX.row([VX.field('Site name', ui.name)], 'row-fields'),
            VX.row([VX.field('SSH tunnel', ui.tunnel)], 'row-fields'),
            el('div', {}, [el('label', { class: 'check', for: 'remember-site' }, [ui.remember, ' Remember this site'])]),
            el('div', {}, [el('label', { class: 'check check-tight', for: 'remember-password' }, [ui.rememberPassword, ' Remember password'])]),
            ui.keyringNote,
            VX.row([ui.connectButton, ui.disconnectButton]),
            ui.connectStatus
          ]),
          VX.panel('Connection timeline', [ui.timeline])
        ])
      ]));
      renderFound();
      renderSites();
      askKeyring();
      startupConnection();
    },
    onShow() {
      askKeyring();
      // A start-up connection needs no search: its address is known.
      if (startup && !startup.searchedOnce) { startup.searchedOnce = true; return; }
      if (!searching && Date.now() - lastSearch > SEARCH_MS) search();
    }
  });
})(window.VX = window.VX || {});
