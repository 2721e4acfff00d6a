// Building blocks shared by the views: notices, the view registry, panels, form fields, progress
// bars, status lines and an in-page confirmation dialog (native dialogs would block the manager).
(function (VX) {
  'use strict';

  const el = VX.el;

  // ---- Notices -----------------------------------------------------------------------------
  VX.notify = function (kind, text) {
    const box = document.getElementById('notices');
    if (!box) return;
    const note = el('div', { class: 'notice notice-' + kind, role: kind === 'error' ? 'alert' : 'status' }, [
      el('span', { class: 'notice-text', text }),
      el('button', { class: 'notice-close', type: 'button', title: 'Dismiss', 'aria-label': 'Dismiss', text: '×', onclick: () => remove() })
    ]);
    function remove() {
      if (note.parentNode) note.parentNode.removeChild(note);
    }
    box.appendChild(note);
    while (box.childNodes.length > 4) box.removeChild(box.firstChild);
    setTimeout(remove, kind === 'error' ? 9000 : 4500);
  };

  // ---- Views -------------------------------------------------------------------------------
  VX.views = [];
  VX.registerView = function (view) {
    VX.views.push(view);
  };

  // ---- Layout helpers ----------------------------------------------------------------------
  VX.panel = function (title, children, extraClass) {
    return el('section', { class: 'panel' + (extraClass ? ' ' + extraClass : '') }, [
      title ? el('h2', { class: 'panel-title', text: title }) : null
    ].concat(children || []));
  };

  VX.row = function (children, extraClass) {
    return el('div', { class: 'row' + (extraClass ? ' ' + extraClass : '') }, children);
  };

  let fieldCounter = 0;
  // A labelled form control; returns the wrapper, the control is wrapper.control.
  VX.field = function (label, control, hint) {
    const id = control.id || ('f' + (++fieldCounter));
    control.id = id;
    const wrap = el('div', { class: 'field' }, [
      el('label', { for: id, text: label }),
      control,
      hint ? el('div', { class: 'field-hint', text: hint }) : null
    ]);
    wrap.control = control;
    return wrap;
  };

  VX.input = function (attrs) {
    return el('input', Object.assign({ type: 'text', class: 'input', autocomplete: 'off', spellcheck: 'false' }, attrs || {}));
  };

  VX.button = function (text, onclick, kind, attrs) {
    return el('button', Object.assign({ type: 'button', class: 'btn' + (kind ? ' btn-' + kind : ''), text, onclick }, attrs || {}));
  };

  VX.select = function (options, attrs) {
    const s = el('select', Object.assign({ class: 'input' }, attrs || {}));
    options.forEach((o) => {
      const opt = typeof o === 'string' ? { value: o, text: o } : o;
      s.appendChild(el('option', { value: opt.value, text: opt.text }));
    });
    return s;
  };

  // A status line: setStatus(line, 'ok'|'error'|'busy'|'info', text).
  VX.statusLine = function () {
    return el('div', { class: 'status-line', role: 'status', 'aria-live': 'polite' });
  };
  VX.setStatus = function (line, kind, text) {
    line.className = 'status-line' + (kind ? ' status-' + kind : '');
    line.textContent = text || '';
  };

  // A progress bar with a caption. bar.set(percent, caption), bar.reset().
  VX.progressBar = function () {
    const fill = el('div', { class: 'progress-fill' });
    const caption = el('div', { class: 'progress-caption', text: '' });
    const bar = el('div', { class: 'progress' }, [
      el('div', { class: 'progress-track', role: 'progressbar', 'aria-valuemin': '0', 'aria-valuemax': '100' }, [fill]),
      caption
    ]);
    bar.set = function (percent, text, state) {
      const p = Math.max(0, Math.min(100, Number(percent) || 0));
      fill.style.width = p + '%';
      bar.firstChild.setAttribute('aria-valuenow', String(Math.round(p)));
      caption.textContent = text || '';
      bar.className = 'progress' + (state ? ' progress-' + state : '');
    };
    bar.reset = () => bar.set(0, '', '');
    return bar;
  };

  // A table with a header; returns {table, body}.
  VX.table = function (columns, extraClass) {
    const head = el('tr', {}, columns.map((c) => el('th', { text: c })));
    const body = el('tbody');
    const table = el('table', { class: 'table' + (extraClass ? ' ' + extraClass : '') }, [el('thead', {}, [head]), body]);
    return { table, body, head };
  };

  VX.emptyRow = function (body, columns, text) {
    body.appendChild(el('tr', { class: 'empty' }, [el('td', { colspan: String(columns), text })]));
  };

  // ---- Confirmation dialog -----------------------------------------------------------------
  VX.confirm = function (title, text, okText, onOk, danger) {
    const previous = document.activeElement;
    const cancel = VX.button('Cancel', () => close(), '');
    const ok = VX.button(okText || 'OK', () => { close(); onOk(); }, danger ? 'danger' : 'primary');
    const dialog = el('div', { class: 'dialog', role: 'dialog', 'aria-modal': 'true', 'aria-label': title }, [
      el('h2', { class: 'dialog-title', text: title }),
      el('p', { class: 'dialog-text', text }),
      el('div', { class: 'dialog-buttons' }, [cancel, ok])
    ]);
    const overlay = el('div', { class: 'overlay' }, [dialog]);
    function onKey(e) {
      if (e.keyCode === 27) { e.preventDefault(); close(); }
      if (e.keyCode === 9) { // keep the focus inside the dialog
        e.preventDefault();
        (document.activeElement === ok ? cancel : ok).focus();
      }
    }
    function close() {
      document.removeEventListener('keydown', onKey, true);
      if (overlay.parentNode) overlay.parentNode.removeChild(overlay);
      if (previous && previous.focus) previous.focus();
    }
    document.addEventListener('keydown', onKey, true);
    document.body.appendChild(overlay);
    (danger ? cancel : ok).focus();
    return { close, overlay };
  };

  // Enter in any of the inputs runs action.
  VX.onEnter = function (inputs, action) {
    inputs.forEach((i) => i.addEventListener('keydown', (e) => {
      if (e.keyCode === 13) { e.preventDefault(); action(); }
    }));
  };
})(window.VX = window.VX || {});
