// The one place that talks to the manager's bridge object (vyxDesk), and the functions the manager
// calls in the page. Works without the bridge too: calls then report "not running inside the
// manager" instead of failing.
//
// Callbacks: every callback name handed to vyxDesk is "vyxCb.<name>", a function defined in the
// registry window.vyxCb below. Every request that waits for one answer (folders, files, the
// database MD5, command lines) goes through desk.request, which gives it a callback of its own, a
// time-out and a check of the answer's shape, and ends it exactly once. Transfers (upload,
// download) and the remote copy report a stream of progress through one callback per kind, as the
// bridge runs one of each at a time.
(function (VX) {
  'use strict';

  window.vyxCb = window.vyxCb || {};

  const desk = {};
  VX.desk = desk;

  desk.present = function () {
    return typeof window.vyxDesk === 'object' && window.vyxDesk !== null;
  };

  desk.NOT_RUNNING = 'Not running inside the manager: this action needs the vyxdesk application.';

  // Registers fn under window.vyxCb[name] and returns the name to hand to vyxDesk.
  desk.callback = function (name, fn) {
    if (!/^[A-Za-z_][A-Za-z0-9_]*$/.test(name)) throw new Error('bad callback name ' + name);
    window.vyxCb[name] = function () {
      try {
        return fn.apply(null, arguments);
      } catch (e) {
        VX.reportError(e, 'callback ' + name);
      }
      return undefined;
    };
    return 'vyxCb.' + name;
  };

  // Calls a slot. Returns {ok, value, error}; error is a sentence for the user.
  desk.tryCall = function (slot) {
    const args = Array.prototype.slice.call(arguments, 1);
    if (!desk.present()) return { ok: false, value: undefined, error: desk.NOT_RUNNING };
    const fn = window.vyxDesk[slot];
    if (typeof fn !== 'function') return { ok: false, value: undefined, error: 'This version of the manager does not offer "' + slot + '".' };
    try {
      return { ok: true, value: fn.apply(window.vyxDesk, args), error: '' };
    } catch (e) {
      return { ok: false, value: undefined, error: 'The call "' + slot + '" failed: ' + (e && e.message ? e.message : e) };
    }
  };

  // Calls a slot and shows the failure as a notice; returns the slot's value or undefined.
  desk.call = function () {
    const r = desk.tryCall.apply(null, arguments);
    if (!r.ok) VX.notify('error', r.error);
    return r.value;
  };

  // ---- Connection session ------------------------------------------------------------------
  // generation: the manager's number of the connection the session is on (0 when unknown). Each
  // connect and each rebuild of a lost connection gets a higher one.
  const session = { state: 'offline', host: '', port: '', user: '', name: '', since: 0, detail: '', generation: 0 };
  VX.session = session;

  // Whether a session was started (connecting) and has not been reported lost since.
  let sessionAlive = false;

  desk.setSession = function (state, detail, extra) {
    const previous = session.state;
    const changed = previous !== state || session.detail !== (detail || '');
    if (previous !== state) session.since = Date.now();
    session.state = state;
    session.detail = detail || '';
    if (extra) Object.keys(extra).forEach((k) => { session[k] = extra[k]; });
    const ends = state === 'offline' || state === 'failed' || state === 'lost';
    const lost = sessionAlive && ends;
    if (state === 'connecting' || state === 'connected') sessionAlive = true;
    if (lost) {
      sessionAlive = false;
      abandonAll(lostText(state, detail));
    }
    if (changed || extra) VX.bus.emit('session', session);
    if (lost) VX.bus.emit('session-lost', { reason: lostText(state, detail), state, previous });
  };

  // "the connection was lost (no answer for 10 s)": why a session ended, for "Interrupted: ..."
  function lostText(state, detail) {
    if (state === 'offline') return 'the session was disconnected' + (detail ? ' (' + detail + ')' : '');
    if (state === 'failed') return 'the connection failed' + (detail ? ' (' + detail + ')' : '');
    return 'the connection was lost' + (detail ? ' (' + detail + ')' : '');
  }

  desk.isConnected = function () {
    const r = desk.tryCall('VYXIsConnected');
    return r.ok && String(r.value) === 'true';
  };

  // The generation of the connection that is ready, 0 when none. A manager without the slot
  // answers only whether it is connected: its connection then counts as generation 0.
  function readyGeneration() {
    const r = desk.tryCall('VYXReadyGeneration');
    if (!r.ok) return desk.isConnected() ? 0 : -1;
    const g = Number(r.value);
    return isFinite(g) && g > 0 ? g : -1;
  }

  // Reports of generations below this one belong to connections the session has left.
  let generationFloor = 0;

  // A connect or disconnect begins: every connection up to the current one is over for the page.
  desk.leaveConnection = function () {
    generationFloor = session.generation + 1;
  };

  // True for a report of a connection older than the one the session is on or waits for: it
  // says nothing about the session. Reports without a generation are taken as current.
  desk.isEarlierConnection = function (generation) {
    const g = Number(generation);
    return isFinite(g) && g > 0 && g < generationFloor;
  };

  // The connection `generation` is ready: the session shows connected, and 'connected' (on which
  // the views send their first requests) is told once per generation.
  desk.connectionReady = function (generation) {
    const g = Number(generation) > 0 ? Number(generation) : 0;
    if (desk.isEarlierConnection(g)) return false;
    if (session.state === 'connected' && (g === 0 || g === session.generation)) return false;
    session.generation = g;
    generationFloor = g;
    desk.setSession('connected', 'Connection ready');
    VX.bus.emit('connected', session);
    return true;
  };

  // Keeps the visible state honest: a connection that the heartbeat or the server ended shows as
  // lost until a rebuilt one is ready again, and a rebuilt one as connected (the views reload).
  desk.pollConnection = function () {
    if (!desk.present()) return;
    const g = readyGeneration();
    if (g >= 0 && (session.state === 'connecting' || session.state === 'lost')) {
      desk.connectionReady(g);
    } else if (g < 0 && session.state === 'connected') {
      desk.setSession('lost', 'the server does not answer');
    }
  };

  // ---- Transfers (upload, download) ---------------------------------------------------------
  function onTransfer(answer) {
    const value = VX.parseAnswer(answer);
    if (value && typeof value === 'object' && value.IsEnd !== undefined) {
      VX.bus.emit('transfer', value);
      return;
    }
    const text = typeof answer === 'string' ? answer : JSON.stringify(answer);
    if (/^Authentication Response/.test(text)) VX.bus.emit('authentication', text);
    else VX.bus.emit('operation-unclaimed', text);
  }

  desk.TRANSFER_CB = desk.callback('transfer', onTransfer);

  // ---- Requests: one way to ask the bridge for a later answer -------------------------------
  //
  // desk.request({slot, args, what, timeout, accept, done}) calls vyxDesk[slot](...args, callback)
  // with a callback of its own and calls done(result) exactly once, with one of:
  //   {outcome: 'ok', value}           the answer, of the shape `accept` checks
  //   {outcome: 'error', text}          the server's reason, or an answer of the wrong shape
  //   {outcome: 'timeout', text}        nothing came within the time-out; the text names `what`
  //   {outcome: 'offline', text}        not connected, or the session ended while it waited
  //   {outcome: 'cancelled', text}      the user cancelled it (handle.cancel())
  // Every result also carries ok (outcome === 'ok') and text (a sentence for the user, or the value
  // as text). An answer that comes after the result was given is dropped.
  //
  // Time-outs of every kind of request, in one place (milliseconds).
  desk.TIMEOUTS = {
    folder: 30000,        // create or delete a folder on the server
    fileDelete: 30000,    // delete a file on the server
    databaseMd5: 30000,   // the server's database MD5
    command: 60000,       // a console or guardian command line
    listing: 60000,       // Files → List (a command line)
    pluginUnpack: 120000, // unpacking a plug-in archive (a command line)
    transferStall: 60000, // a transfer that reports no progress
    pluginStart: 30000    // a plug-in install whose copy does not start
  };

  // The bridge's own answers to a request that was refused or whose answer cannot come.
  desk.isRefusal = function (text) {
    return /^(Not connected|Connection lost): /.test(String(text));
  };

  // Answer shapes. Each takes the raw answer and returns {ok, value} or {ok: false, text}.
  desk.accept = {
    // Any text.
    text(answer) {
      return { ok: true, value: answer === undefined || answer === null ? '' : String(answer) };
    },
    // 32 hexadecimal digits, given back in lower case.
    md5(answer) {
      const t = typeof answer === 'string' ? answer.trim() : '';
      if (VX.isMd5(t)) return { ok: true, value: t.toLowerCase() };
      return { ok: false, text: t ? 'The server answered with something that is not an MD5: ' + t.substring(0, 120) : 'The server sent an empty MD5.' };
    },
    // A JSON object with a numeric err and a text info; err other than 0 is the server's refusal.
    // The manager passes the info text first and the whole result second; a result as the first
    // argument is read too.
    result(answer, whole) {
      const v = whole && typeof whole === 'object' ? whole : VX.parseAnswer(answer);
      if (!v || typeof v !== 'object' || typeof v.err !== 'number' || typeof v.info !== 'string') {
        return { ok: false, text: 'The server\'s answer is not a result (err and info): ' + String(answer).substring(0, 120) };
      }
      if (v.err !== 0) return { ok: false, text: v.info || 'the server refused it (error ' + v.err + ')' };
      return { ok: true, value: v };
    },
    // A command line's reply, {"status": text}.
    status(answer) {
      const v = VX.parseAnswer(answer);
      if (!v || typeof v !== 'object' || typeof v.status !== 'string') {
        return { ok: false, text: 'The server\'s reply is not a command reply: ' + String(answer).substring(0, 120) };
      }
      return { ok: true, value: v.status };
    }
  };

  let nextRequest = 1;
  const pending = {}; // id → entry of requests still waiting

  // How many requests wait for an answer (for tests and the views' busy states).
  desk.waiting = () => Object.keys(pending).length;

  desk.request = function (ask) {
    const id = nextRequest++;
    const name = 'rq' + id;
    const what = ask.what || ask.slot;
    const accept = ask.accept || desk.accept.text;
    let timer = null;
    let finished = false;
    function finish(result) {
      if (finished) return;
      finished = true;
      clearTimeout(timer);
      delete pending[id];
      result.ok = result.outcome === 'ok';
      if (result.text === undefined) result.text = String(result.value);
      // The bridge answers a request once: once answered its callback goes; otherwise the answer
      // (or the bridge's "connection lost") may still come, and is dropped.
      if (result.answered) delete window.vyxCb[name];
      else window.vyxCb[name] = function () { delete window.vyxCb[name]; };
      delete result.answered;
      try {
        ask.done(result);
      } catch (e) {
        VX.reportError(e, what);
      }
    }
    const handle = { id, what, cancel: (text) => finish({ outcome: 'cancelled', text: text || 'Cancelled: ' + what + '.' }) };
    handle.abandon = (reason) => finish({ outcome: 'offline', text: 'Interrupted: ' + what + ' got no answer, ' + reason + '.' });
    if (ask.needsConnection !== false && desk.present() && session.state !== 'connected') {
      finish({ outcome: 'offline', text: 'Not connected: ' + what + ' was not sent to the server.' });
      return handle;
    }
    const cb = desk.callback(name, (answer, whole) => {
      const raw = answer === undefined || answer === null ? '' : answer;
      if (typeof raw === 'string' && desk.isRefusal(raw)) {
        finish({ outcome: 'offline', text: raw, answered: true });
        return;
      }
      if (raw && typeof raw === 'object' && typeof raw.status === 'string' && desk.isRefusal(raw.status)) {
        finish({ outcome: 'offline', text: raw.status, answered: true });
        return;
      }
      const checked = accept(raw, whole);
      if (checked.ok) finish({ outcome: 'ok', value: checked.value, answered: true });
      else finish({ outcome: 'error', text: checked.text, answered: true });
    });
    pending[id] = handle;
    const r = desk.tryCall.apply(null, [ask.slot].concat(ask.args || [], [cb]));
    if (!r.ok) {
      finish({ outcome: r.error === desk.NOT_RUNNING ? 'offline' : 'error', text: r.error, answered: true });
      return handle;
    }
    if (finished) return handle; // answered at once
    const ms = typeof ask.timeout === 'number' ? ask.timeout : desk.TIMEOUTS[ask.timeout] || desk.TIMEOUTS.command;
    timer = setTimeout(() => finish({ outcome: 'timeout',
      text: 'No answer from the server to ' + what + ' within ' + (ms < 1000 ? ms + ' ms' : Math.round(ms / 1000) + ' s') + '.' }), ms);
    return handle;
  };

  // The session ended: every request still waiting ends as 'offline', naming what it was.
  function abandonAll(reason) {
    Object.keys(pending).forEach((id) => pending[id].abandon(reason));
  }

  // ---- Session lost -----------------------------------------------------------------------
  // One event for the end of a session, whatever ended it (Disconnect, a refused login, a server
  // that stopped answering, a connection elsewhere): 'session-lost' with {reason, previous}. Every
  // request still waiting has ended as 'offline' before the views hear it. 'connected' follows
  // when a session is (again) ready: the views reload what they show.
  // ---- Functions the manager calls in the page ---------------------------------------------
  window.QT = window.QT || {};
  window.QT.updateParameter = function (update) {
    const value = VX.parseAnswer(update);
    if (value && typeof value === 'object') {
      VX.bus.emit('parameter', value);
      VX.bus.emit('parameters', [value]);
    }
  };
  // The manager's batch of one tick: the latest value of each parameter that changed, with the
  // number of changes it stands for in "changes".
  window.QT.updateParameters = function (batch) {
    if (Array.isArray(batch)) VX.bus.emit('parameters', batch);
  };
  // How many broadcast and bus texts the manager dropped (oldest first) because the page could
  // not keep up; the count only grows.
  window.QT.liveTextsDropped = function (count) {
    const n = Number(count);
    if (isFinite(n) && n >= 0) VX.bus.emit('texts-dropped', n);
  };
  // How many parameter values the manager has just asked the server for.
  window.QT.parameterList = function (count) {
    const n = Number(count);
    if (isFinite(n) && n >= 0) VX.bus.emit('parameter-list', n);
  };
  window.QT.updateParameterFromLogicChannel = function (update) {
    const value = VX.parseAnswer(update);
    if (value && typeof value === 'object') VX.bus.emit('logic', value);
  };
  window.QT.debug = function (text) {
    VX.bus.emit('debug', String(text === undefined || text === null ? '' : text));
  };

  window.desktopApp = window.desktopApp || {};
  window.desktopApp.queryResponse = function (rows) {
    VX.bus.emit('query', VX.parseAnswer(rows));
  };
  window.desktopApp.projectFolder = function (path) {
    VX.bus.emit('projectFolder', String(path === undefined || path === null ? '' : path));
  };

  window.application = window.application || {};
  window.application.feedback = function (message) {
    VX.bus.emit('feedback', VX.unmangleFeedback(message));
  };
})(window.VX = window.VX || {});
