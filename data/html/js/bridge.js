// The one place that talks to the manager's bridge object (vyxDesk), and the functions the manager
// calls in the page. Works without the bridge too: calls then report "not running inside the
// manager" instead of failing.
//
// Callbacks: every callback name handed to vyxDesk is "vyxCb.<name>", a function defined in the
// registry window.vyxCb below. The bridge hands each folder, file and database answer to the
// request it answers, so each such request gets a callback of its own, used once; transfers
// (upload, download) report through one "transfer" callback, as one runs at a time.
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
  const session = { state: 'offline', host: '', port: '', user: '', name: '', since: 0, detail: '' };
  VX.session = session;

  desk.setSession = function (state, detail, extra) {
    const changed = session.state !== state || session.detail !== (detail || '');
    if (session.state !== state) session.since = Date.now();
    session.state = state;
    session.detail = detail || '';
    if (extra) Object.keys(extra).forEach((k) => { session[k] = extra[k]; });
    if (changed || extra) VX.bus.emit('session', session);
  };

  desk.isConnected = function () {
    const r = desk.tryCall('VYXIsConnected');
    return r.ok && String(r.value) === 'true';
  };

  // The bridge's own answers to a request that was refused or whose answer cannot come.
  desk.isRefusal = function (text) {
    return /^(Not connected|Connection lost): /.test(String(text));
  };

  // Keeps the visible state honest: a connection that the heartbeat or the server ended shows as
  // lost until a rebuilt one is ready again, and a rebuilt one as connected (the views reload).
  desk.pollConnection = function () {
    if (!desk.present()) return;
    const up = desk.isConnected();
    if (up && (session.state === 'connecting' || session.state === 'lost')) {
      desk.setSession('connected', 'Connection ready');
      VX.bus.emit('connected', session);
    } else if (!up && session.state === 'connected') {
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

  // ---- Requests with one text answer (folders, files, database MD5) -------------------------
  let nextOperation = 1;
  desk.OPERATION_TIMEOUT_MS = 30000;

  // Sends slot(args..., callback) with a callback of its own. done({ok, text}) is called exactly
  // once: with the server's answer, with the bridge's refusal (not connected, connection lost), or
  // after timeoutMs with a sentence naming `what` did not answer.
  desk.startOperation = function (what, slot, args, done, timeoutMs) {
    const name = 'op' + (nextOperation++);
    let finished = false;
    let timer = null;
    function finish(result) {
      if (finished) return;
      finished = true;
      clearTimeout(timer);
      // The bridge answers a request once: an answered one needs its callback no more. After a
      // time-out the answer (or the bridge's "connection lost") may still come: it is dropped.
      if (result.timedOut) window.vyxCb[name] = function () {};
      else delete window.vyxCb[name];
      done(result);
    }
    const cb = desk.callback(name, (answer) => {
      const text = answer === undefined || answer === null ? '' : String(answer);
      finish({ ok: !desk.isRefusal(text), text });
    });
    const r = desk.tryCall.apply(null, [slot].concat(args, [cb]));
    if (!r.ok) {
      delete window.vyxCb[name];
      return r;
    }
    const ms = timeoutMs || desk.OPERATION_TIMEOUT_MS;
    timer = setTimeout(() => finish({ ok: false, timedOut: true,
      text: 'No answer from the server to ' + what + ' within ' + Math.round(ms / 1000) + ' s.' }), ms);
    return r;
  };

  // ---- Command lines (console and guardian answers share one signal: one at a time) ---------
  const commandQueue = [];
  let commandRunning = null;
  const COMMAND_TIMEOUT_MS = 60000;

  function finishCommand(result) {
    const job = commandRunning;
    commandRunning = null;
    if (job) {
      clearTimeout(job.timer);
      job.done(result);
    }
    setTimeout(runNextCommand, 0);
  }

  function onCommandAnswer(answer) {
    const value = VX.parseAnswer(answer);
    const text = value && typeof value === 'object' && value.status !== undefined ? String(value.status) : String(answer);
    if (commandRunning) finishCommand({ ok: !desk.isRefusal(text), text });
    else VX.bus.emit('command-unclaimed', text);
  }

  desk.COMMAND_CB = desk.callback('commandLine', onCommandAnswer);

  function runNextCommand() {
    if (commandRunning || commandQueue.length === 0) return;
    const job = commandQueue.shift();
    const r = desk.tryCall(job.slot, job.text, desk.COMMAND_CB);
    if (!r.ok) {
      job.done({ ok: false, text: r.error });
      setTimeout(runNextCommand, 0);
      return;
    }
    commandRunning = job;
    job.timer = setTimeout(() => {
      if (commandRunning === job) finishCommand({ ok: false, text: 'No answer from the server within ' + (COMMAND_TIMEOUT_MS / 1000) + ' s.' });
    }, COMMAND_TIMEOUT_MS);
  }

  // slot: 'VYXConsole' or 'VYXGuardian'. done({ok, text}) is called once.
  desk.runCommand = function (slot, text, done) {
    commandQueue.push({ slot, text, done });
    runNextCommand();
    return commandQueue.length + (commandRunning ? 1 : 0);
  };

  desk.commandsWaiting = () => commandQueue.length + (commandRunning ? 1 : 0);

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
