// Logs: log windows of the manager, broadcast messages between clients, and the server's log
// channel as it reaches the page.
(function (VX) {
  'use strict';

  const el = VX.el;
  let ui = null;
  const opened = [];

  function addLine(list, parts, kind) {
    list.insertBefore(el('li', { class: 'log-' + (kind || 'info') }, [
      el('span', { class: 'tl-time', text: VX.timeText().substring(0, 8) })
    ].concat(parts)), list.firstChild);
    while (list.childNodes.length > 200) list.removeChild(list.lastChild);
  }

  function openWindow() {
    const id = ui.windowId.value.trim();
    if (!id) { VX.setStatus(ui.windowStatus, 'error', 'Enter a parameter id, or * for every log message.'); return; }
    if (id !== '*' && !/^\d{1,10}$/.test(id)) { VX.setStatus(ui.windowStatus, 'error', 'The id is a parameter number or *.'); return; }
    const r = VX.desk.tryCall('LogWindow', id, id === '*' ? 'all' : 'parameter');
    if (!r.ok) { VX.setStatus(ui.windowStatus, 'error', r.error); return; }
    opened.push(id);
    VX.setStatus(ui.windowStatus, 'ok', 'Log window opened for ' + (id === '*' ? 'every log message' : 'parameter ' + id) + '.');
    VX.setText(ui.openedList, opened.join(', '));
  }

  function onMessage(data) {
    const m = VX.splitBroadcast(data);
    if (ui) addLine(ui.received, [el('span', { class: 'strong', text: m.emitter }), el('span', { text: m.text })], 'ok');
  }
  const MESSAGE_CB = VX.desk.callback('broadcastMessage', onMessage);

  function send() {
    const emitter = ui.emitter.value.trim();
    const text = ui.message.value;
    if (!emitter || emitter.indexOf('|') >= 0) { VX.setStatus(ui.sendStatus, 'error', 'Enter an emitter id without "|".'); return; }
    if (text === '') { VX.setStatus(ui.sendStatus, 'error', 'Enter a message.'); return; }
    const r = VX.desk.tryCall('VYXMessageSend', emitter + '|' + text, MESSAGE_CB);
    if (!r.ok) { VX.setStatus(ui.sendStatus, 'error', r.error); return; }
    if (r.value === false || String(r.value) === 'false') {
      VX.setStatus(ui.sendStatus, 'error', 'Not connected: the message was not sent (answers to ' + emitter + ' will still be shown).');
      return;
    }
    addLine(ui.received, [el('span', { class: 'strong', text: emitter + ' (sent)' }), el('span', { text })], 'sent');
    VX.setStatus(ui.sendStatus, 'ok', 'Sent.');
    ui.message.value = '';
  }

  VX.bus.on('parameter', (p) => {
    if (String(p.ParameterID) !== VX.LOG_CHANNEL_ID || !ui) return;
    const m = VX.parseLogChannelValue(p.value);
    if (m) addLine(ui.serverLog, [el('span', { class: 'strong', text: '[' + m.paramId + ']' }), el('span', { text: m.msg }), el('span', { class: 'muted', text: m.sender })]);
    else addLine(ui.serverLog, [el('span', { class: 'muted', text: 'unreadable log message:' }), el('span', { class: 'mono', text: String(p.value).substring(0, 300) })], 'warn');
  });

  // The log windows take their lines from the values and log messages the server pushes: the
  // manager keeps routing to them across sessions, and the reloaded parameters fill them again.
  VX.bus.on('session-lost', (lost) => {
    if (ui && opened.length) VX.setStatus(ui.windowStatus, 'info', 'The log windows stay open; they receive nothing until the connection is back (' + lost.reason + ').');
  });
  VX.bus.on('connected', () => {
    if (ui && opened.length) VX.setStatus(ui.windowStatus, 'ok', 'Connected again: the log windows of ' + opened.join(', ') + ' receive values again.');
  });

  VX.registerView({
    id: 'logs',
    title: 'Logs',
    subtitle: 'Open log windows and exchange broadcast messages with other clients.',
    build(root) {
      ui = {};
      ui.windowId = VX.input({ value: '*', class: 'input input-port', 'aria-label': 'Log id' });
      ui.windowStatus = VX.statusLine();
      ui.openedList = el('span', { class: 'mono' });
      VX.onEnter([ui.windowId], openWindow);
      ui.emitter = VX.input({ value: 'vyxdesk' });
      ui.message = VX.input({ placeholder: 'message text' });
      VX.onEnter([ui.message], send);
      ui.sendStatus = VX.statusLine();
      ui.received = el('ol', { class: 'log-list tall' });
      ui.serverLog = el('ol', { class: 'log-list tall' });
      root.appendChild(el('div', { class: 'columns' }, [
        el('div', { class: 'col col-narrow' }, [
          VX.panel('Log windows', [
            el('p', { class: 'muted small', text: 'A log window shows the values of one parameter, or with * every log message of the server, in a separate window.' }),
            VX.row([VX.field('Parameter id or *', ui.windowId), VX.button('Open window', openWindow, 'primary')], 'row-fields row-end'),
            ui.windowStatus,
            el('dl', { class: 'props' }, [el('dt', { text: 'Opened' }), el('dd', {}, [ui.openedList])])
          ]),
          VX.panel('Send a broadcast message', [
            VX.row([VX.field('Emitter id', ui.emitter, 'The sender name put in front of each message you send. ' +
              'Other clients see it, and their messages to this name appear under Broadcast messages.')], 'row-fields'),
            VX.row([VX.field('Message', ui.message)], 'row-fields'),
            VX.row([VX.button('Send', send, 'primary')]),
            ui.sendStatus
          ])
        ]),
        el('div', { class: 'col' }, [
          VX.panel('Broadcast messages', [ui.received]),
          VX.panel('Server log channel', [ui.serverLog])
        ])
      ]));
    }
  });
})(window.VX = window.VX || {});
