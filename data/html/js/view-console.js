// Console: command lines on the server with their replies, the guardian tool, and the KNX gateway.
(function (VX) {
  'use strict';

  const el = VX.el;
  const HISTORY_KEY = 'vyx.console.history.v1';
  let ui = null;
  let history = null;

  function loadHistory() {
    let items = [];
    try { items = JSON.parse(window.localStorage.getItem(HISTORY_KEY) || '[]'); } catch (e) { items = []; }
    return new VX.CommandHistory(100, items);
  }

  function saveHistory() {
    try { window.localStorage.setItem(HISTORY_KEY, JSON.stringify(history.items)); } catch (e) { /* storage full or off */ }
  }

  function addEntry(mode, text) {
    const reply = el('pre', { class: 'reply reply-wait', text: 'waiting for the server…' });
    const cmd = el('div', { class: 'cmd' }, [
      el('span', { class: 'tl-time', text: VX.timeText().substring(0, 8) }),
      el('span', { class: 'prompt', text: mode === 'VYXGuardian' ? 'guardian>' : '$' }),
      el('span', { class: 'cmd-text', text })
    ]);
    const entry = el('div', { class: 'entry' }, [cmd, reply]);
    ui.output.appendChild(entry);
    while (ui.output.childNodes.length > 300) ui.output.removeChild(ui.output.firstChild);
    ui.output.scrollTop = ui.output.scrollHeight;
    return { reply, cmd };
  }

  // Every command is a request of its own: it waits for its own reply only, and a reply that
  // comes after the command timed out or was cancelled is shown nowhere.
  function run() {
    const text = ui.input.value;
    if (text.trim() === '') return;
    const mode = ui.mode.value;
    history.push(text);
    saveHistory();
    ui.input.value = '';
    const entry = addEntry(mode, text);
    const reply = entry.reply;
    const cancel = VX.button('Cancel', () => request.cancel('Cancelled: the reply to this command will not be shown.'), 'small ghost',
      { title: 'Stop waiting for the reply (the server may still run the command)' });
    const request = VX.desk.request({
      slot: mode, args: [text], what: 'the command "' + text + '"', timeout: 'command', accept: VX.desk.accept.status,
      done(result) {
        if (cancel.parentNode) cancel.parentNode.removeChild(cancel);
        reply.className = 'reply' + (result.ok ? '' : ' reply-error');
        VX.setText(reply, result.ok && result.value === '' ? '(empty reply)' : result.text);
        ui.output.scrollTop = ui.output.scrollHeight;
      }
    });
    if (reply.className.indexOf('reply-wait') >= 0) entry.cmd.appendChild(cancel);
  }

  function gateway(start) {
    if (VX.session.state !== 'connected') {
      VX.setStatus(ui.gatewayStatus, 'error', 'Not connected: connect to a server first.');
      return;
    }
    const r = VX.desk.tryCall(start ? 'VYXStartKNXGateway' : 'VYXStopKNXGateway');
    VX.setStatus(ui.gatewayStatus, r.ok ? 'ok' : 'error', r.ok
      ? (start ? 'Start' : 'Stop') + ' command sent to the KNX gateway at ' + VX.timeText().substring(0, 8) + '.'
      : r.error);
  }

  VX.registerView({
    id: 'console',
    title: 'Console',
    subtitle: 'Run command lines on the server. Up and Down recall earlier lines.',
    build(root) {
      ui = {};
      history = loadHistory();
      ui.output = el('div', { class: 'console-output', 'aria-live': 'polite', 'aria-label': 'Console output' });
      ui.mode = VX.select([{ value: 'VYXConsole', text: 'Shell' }, { value: 'VYXGuardian', text: 'Guardian' }], { 'aria-label': 'Command kind', class: 'input input-mode' });
      ui.input = VX.input({ class: 'input mono console-input', placeholder: 'command, then Enter', 'aria-label': 'Command line' });
      ui.input.addEventListener('keydown', (e) => {
        if (e.keyCode === 13) { e.preventDefault(); run(); }
        else if (e.keyCode === 38) { e.preventDefault(); ui.input.value = history.up(ui.input.value); }
        else if (e.keyCode === 40) { e.preventDefault(); ui.input.value = history.down(ui.input.value); }
      });
      ui.gatewayStatus = VX.statusLine();
      root.appendChild(el('div', { class: 'columns' }, [
        el('div', { class: 'col' }, [
          VX.panel('', [
            ui.output,
            VX.row([ui.mode, ui.input, VX.button('Run', run, 'primary'),
              VX.button('Clear', () => VX.clear(ui.output), 'ghost')], 'console-bar')
          ], 'panel-fill')
        ]),
        el('div', { class: 'col col-side' }, [
          VX.panel('KNX gateway', [
            el('p', { class: 'muted small', text: 'Starts or stops the gateway script on the server.' }),
            VX.row([VX.button('Start gateway', () => gateway(true), 'primary'), VX.button('Stop gateway', () => gateway(false))]),
            ui.gatewayStatus
          ]),
          VX.panel('Guardian', [
            el('p', { class: 'muted small', text: 'Choose "Guardian" in front of the command line to pass the line to the server\'s guardian tool; its reply appears like a command reply.' })
          ])
        ])
      ]));
    },
    onShow() {
      if (ui) ui.input.focus();
    }
  });
})(window.VX = window.VX || {});
