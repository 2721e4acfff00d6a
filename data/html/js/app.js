// Starts the workbench: navigation between the views, the connection badge, keyboard shortcuts.
(function (VX) {
  'use strict';

  const el = VX.el;
  let current = null;
  const roots = {};
  const buttons = {};

  const STATE_TEXT = {
    offline: 'Not connected',
    connecting: 'Connecting…',
    connected: 'Connected',
    lost: 'Connection lost',
    failed: 'Connection failed'
  };

  function show(id) {
    const view = VX.views.filter((v) => v.id === id)[0];
    if (!view) return false;
    if (current && current !== view) {
      roots[current.id].hidden = true;
      buttons[current.id].classList.remove('active');
      buttons[current.id].removeAttribute('aria-current');
      if (current.onHide) current.onHide();
    }
    const previous = current;
    current = view;
    roots[id].hidden = false;
    buttons[id].classList.add('active');
    buttons[id].setAttribute('aria-current', 'page');
    if (previous !== view && view.onShow) view.onShow();
    return true;
  }

  function updateBadge(session) {
    const badge = document.getElementById('connection-badge');
    badge.className = 'badge badge-' + session.state;
    VX.setText(document.getElementById('connection-text'),
      STATE_TEXT[session.state] + (session.detail && session.state !== 'connected' ? ' · ' + session.detail : ''));
    const server = session.host ? (session.name ? session.name + ' — ' : '') + session.host + ':' + session.port + (session.user ? ' as ' + session.user : '') : '';
    VX.setText(document.getElementById('connection-server'), session.state === 'offline' ? '' : server);
    document.getElementById('topbar-disconnect').hidden = session.state === 'offline' || session.state === 'failed';
    document.title = 'vyxdesk — ' + STATE_TEXT[session.state] + (server && session.state === 'connected' ? ' — ' + server : '');
  }

  function start() {
    const nav = document.getElementById('nav');
    const main = document.getElementById('views');
    VX.views.forEach((view, index) => {
      const key = index < 9 ? String(index + 1) : index === 9 ? '0' : '';
      const button = el('button', {
        type: 'button', class: 'nav-item', 'data-view': view.id,
        title: view.title + (key ? ' (Alt+' + key + ')' : ''),
        onclick: () => show(view.id)
      }, [el('span', { class: 'nav-key', text: key }), el('span', { text: view.title })]);
      buttons[view.id] = button;
      nav.appendChild(button);
      const root = el('div', { class: 'view', id: 'view-' + view.id, hidden: true }, [
        el('div', { class: 'view-head' }, [
          el('h1', { text: view.title }),
          view.subtitle ? el('p', { class: 'view-sub', text: view.subtitle }) : null
        ])
      ]);
      roots[view.id] = root;
      main.appendChild(root);
      try {
        view.build(root);
      } catch (e) {
        VX.reportError(e, 'view ' + view.id);
      }
    });

    document.addEventListener('keydown', (e) => {
      if (!e.altKey || e.ctrlKey || e.metaKey) return;
      const n = e.keyCode >= 48 && e.keyCode <= 57 ? (e.keyCode === 48 ? 9 : e.keyCode - 49) : -1;
      if (n >= 0 && VX.views[n]) {
        e.preventDefault();
        show(VX.views[n].id);
        buttons[VX.views[n].id].focus();
      }
    });
    nav.addEventListener('keydown', (e) => {
      if (e.keyCode !== 38 && e.keyCode !== 40) return;
      const list = Array.prototype.slice.call(nav.querySelectorAll('.nav-item'));
      const i = list.indexOf(document.activeElement);
      if (i < 0) return;
      e.preventDefault();
      const next = list[(i + (e.keyCode === 40 ? 1 : list.length - 1)) % list.length];
      next.focus();
      next.click();
    });

    document.getElementById('topbar-disconnect').addEventListener('click', () => VX.disconnect());
    document.getElementById('no-bridge').hidden = VX.desk.present();
    VX.bus.on('session', updateBadge);
    updateBadge(VX.session);
    if (VX.desk.present()) {
      VX.desk.pollConnection();
      setInterval(VX.desk.pollConnection, 1000);
    }
    show(VX.views[0].id);
  }

  VX.show = show;
  VX.currentView = () => (current ? current.id : '');

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})(window.VX = window.VX || {});
