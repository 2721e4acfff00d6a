// About: the program version and the folders it uses.
(function (VX) {
  'use strict';

  const el = VX.el;
  let ui = null;

  function fill() {
    const rel = VX.desk.tryCall('getQTRelease');
    const v = rel.ok ? VX.parseAnswer(rel.value) : null;
    VX.setText(ui.version, v && v.label ? v.label + (v.version ? ' (build ' + v.version + ')' : '') : rel.ok ? String(rel.value || '—') : rel.error);
    [['applicationPath', ui.app], ['getStoragePath', ui.storage], ['getTempPath', ui.temp]].forEach((pair) => {
      const r = VX.desk.tryCall(pair[0]);
      VX.setText(pair[1], r.ok ? String(r.value || '—') : 'not available');
    });
    const hb = VX.desk.tryCall('VYXGetHeartBeatTimeOut');
    VX.setText(ui.heartbeat, hb.ok ? String(hb.value) + ' ms' : 'not available');
  }

  VX.registerView({
    id: 'about',
    title: 'About',
    subtitle: 'Version and folders of this installation.',
    build(root) {
      ui = {
        version: el('span', { class: 'strong' }), app: el('span', { class: 'mono' }), storage: el('span', { class: 'mono' }),
        temp: el('span', { class: 'mono' }), heartbeat: el('span', { class: 'mono' })
      };
      root.appendChild(VX.panel('vyxdesk', [
        el('p', { text: 'Desktop manager for the home- and building-automation server: discovery, parameters, configuration backup, files, commands, bus, logs, projects and ETS import.' }),
        el('dl', { class: 'props props-wide' }, [
          el('dt', { text: 'Version' }), el('dd', {}, [ui.version]),
          el('dt', { text: 'Application folder' }), el('dd', {}, [ui.app]),
          el('dt', { text: 'Storage folder' }), el('dd', {}, [ui.storage]),
          el('dt', { text: 'Temporary folder' }), el('dd', {}, [ui.temp]),
          el('dt', { text: 'Heartbeat time-out' }), el('dd', {}, [ui.heartbeat]),
          el('dt', { text: 'Page' }), el('dd', {}, [el('span', { class: 'mono', text: 'data/html/index.html' })])
        ]),
        el('h3', { class: 'sub', text: 'Keyboard' }),
        el('ul', { class: 'plain' }, [
          el('li', { text: 'Alt+1 … Alt+9, Alt+0: switch views; Up/Down in the navigation moves between views.' }),
          el('li', { text: 'Enter in a form runs its main action; Escape closes a dialog.' }),
          el('li', { text: 'Console: Up/Down recall earlier command lines.' }),
          el('li', { text: 'Project preview: arrow keys move the selected object (Shift: 10 px), Delete removes it.' })
        ])
      ]));
    },
    onShow: fill
  });
})(window.VX = window.VX || {});
