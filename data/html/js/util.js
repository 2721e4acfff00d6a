// Small helpers shared by every part of the workbench.
// Text that comes from the server, from files or from the network is only ever placed into the
// document through textContent (el(), setText()) or esc(); nothing of it is parsed as HTML.
(function (VX) {
  'use strict';

  const ESCAPES = { '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' };

  VX.esc = function (value) {
    return String(value === undefined || value === null ? '' : value).replace(/[&<>"']/g, (c) => ESCAPES[c]);
  };

  // el('div', {class: 'x', text: 'hello', onclick: fn, title: 't'}, [child, 'text', ...])
  VX.el = function (tag, attrs, children) {
    const node = document.createElement(tag);
    const a = attrs || {};
    Object.keys(a).forEach((key) => {
      const v = a[key];
      if (v === undefined || v === null || v === false) return;
      if (key === 'text') node.textContent = String(v);
      else if (key === 'class') node.className = v;
      else if (key.indexOf('on') === 0 && typeof v === 'function') node.addEventListener(key.substring(2), v);
      else if (key === 'value') node.value = v;
      else if (key === 'checked' || key === 'disabled' || key === 'selected') node[key] = !!v;
      else node.setAttribute(key, v === true ? '' : String(v));
    });
    (children || []).forEach((c) => {
      if (c === undefined || c === null || c === false) return;
      node.appendChild(typeof c === 'object' ? c : document.createTextNode(String(c)));
    });
    return node;
  };

  VX.clear = function (node) {
    while (node.firstChild) node.removeChild(node.firstChild);
    return node;
  };

  VX.setText = function (node, text) {
    node.textContent = text === undefined || text === null ? '' : String(text);
    return node;
  };

  // 10000 -> "10,000"
  VX.groupedNumber = function (n) {
    return String(n).replace(/\B(?=(\d{3})+(?!\d))/g, ',');
  };

  VX.pad2 = (n) => (n < 10 ? '0' : '') + n;

  VX.timeText = function (date) {
    const d = date || new Date();
    const ms = d.getMilliseconds();
    return VX.pad2(d.getHours()) + ':' + VX.pad2(d.getMinutes()) + ':' + VX.pad2(d.getSeconds()) +
      '.' + (ms < 10 ? '00' : ms < 100 ? '0' : '') + ms;
  };

  VX.dateTimeText = function (date) {
    const d = date instanceof Date ? date : new Date(date);
    if (isNaN(d.getTime())) return '';
    return d.getFullYear() + '-' + VX.pad2(d.getMonth() + 1) + '-' + VX.pad2(d.getDate()) + ' ' +
      VX.pad2(d.getHours()) + ':' + VX.pad2(d.getMinutes());
  };

  // Reads an answer that may already be a value (a JSON expression evaluated by the bridge) or a
  // text holding JSON. Texts in which the bridge replaced double quotes by single quotes are
  // accepted as well. Returns undefined when nothing can be made of it.
  VX.parseAnswer = function (answer) {
    if (answer !== null && typeof answer === 'object') return answer;
    if (typeof answer !== 'string') return undefined;
    const text = answer.trim();
    if (text === '') return undefined;
    try {
      return JSON.parse(text);
    } catch (e) {
      if (/^[{[]/.test(text) && text.indexOf('"') < 0) {
        try {
          return JSON.parse(text.replace(/'/g, '"'));
        } catch (e2) { /* not JSON either way */ }
      }
    }
    return undefined;
  };

  // One CSV field per RFC 4180: quoted when it holds a separator, a quote or a line break.
  VX.csvField = function (value) {
    const s = String(value === undefined || value === null ? '' : value);
    return /[",\r\n;]/.test(s) ? '"' + s.replace(/"/g, '""') + '"' : s;
  };

  VX.toCsv = function (header, rows) {
    return [header].concat(rows).map((r) => r.map(VX.csvField).join(',')).join('\r\n') + '\r\n';
  };

  VX.debounce = function (fn, ms) {
    let timer = null;
    return function () {
      const args = arguments;
      if (timer) clearTimeout(timer);
      timer = setTimeout(() => { timer = null; fn.apply(null, args); }, ms);
    };
  };

  // Runs fn at most once per ms, always after the last call: a steady stream of calls cannot
  // postpone it forever (unlike a debounce).
  VX.throttle = function (fn, ms) {
    let timer = null;
    return function () {
      if (timer) return;
      timer = setTimeout(() => { timer = null; fn(); }, ms);
    };
  };

  // Last path component of a local or server path.
  VX.baseName = function (path) {
    const s = String(path || '').replace(/[\\/]+$/, '');
    const i = Math.max(s.lastIndexOf('/'), s.lastIndexOf('\\'));
    return i >= 0 ? s.substring(i + 1) : s;
  };

  // One argument for the server's shell: unchanged when it holds only safe characters, otherwise
  // single-quoted.
  VX.shellQuote = function (text) {
    if (/^[A-Za-z0-9_.\/@%+=:,-]+$/.test(String(text))) return String(text);
    return "'" + String(text).replace(/'/g, "'\\''") + "'";
  };

  // A tiny publish/subscribe hub: the page contract functions publish, the views subscribe.
  const listeners = {};
  VX.bus = {
    on(name, fn) { (listeners[name] = listeners[name] || []).push(fn); },
    emit(name, data) {
      (listeners[name] || []).slice().forEach((fn) => {
        try { fn(data); } catch (e) { VX.reportError(e, name); }
      });
    }
  };

  VX.reportError = function (error, where) {
    const text = (where ? where + ': ' : '') + (error && error.message ? error.message : String(error));
    if (window.console && console.error) console.error(text);
    if (VX.notify) VX.notify('error', 'Internal page error: ' + text);
  };
})(window.VX = window.VX || {});
