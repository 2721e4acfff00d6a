// Folder listings from the server: "ls -la" output in the long format of GNU ls (coreutils) or of
// BusyBox, the two that servers run, turned into entries for the Files view.
(function (VX) {
  'use strict';

  const MAX_LINES = 20000;
  const MAX_LINE = 4096; // longer lines are no entries of ls (a name has at most 255 bytes)
  const MONTHS = { Jan: 1, Feb: 2, Mar: 3, Apr: 4, May: 5, Jun: 6, Jul: 7, Aug: 8, Sep: 9, Oct: 10, Nov: 11, Dec: 12 };
  const TYPES = { '-': 'file', d: 'folder', l: 'link', c: 'device', b: 'device', p: 'pipe', s: 'socket' };

  // mode [acl mark] links owner group (size | major, minor) date name
  // date: "Mon dd HH:MM", "Mon dd  YYYY" (both formats) or "YYYY-MM-DD HH:MM" (GNU in many locales)
  const LINE = new RegExp('^([-dlcbps])([-rwxsStT]{9})([.+@]?)( +)(\\d+) +(\\S+) +(\\S+) +(?:(\\d+), *(\\d+)|(\\d+)) +' +
    '(?:([A-Z][a-z]{2}) +(\\d{1,2}) +(?:(\\d{1,2}):(\\d{2})|(\\d{4}))|(\\d{4})-(\\d{2})-(\\d{2}) +(\\d{2}):(\\d{2})(?::\\d{2}(?:\\.\\d+)?)?(?: [+-]\\d{4})?) ' +
    '(.*)$');

  function two(n) { return (n < 10 ? '0' : '') + n; }

  // Returns {format: 'gnu'|'busybox'|'', total, entries, other}. entries: {name, type, mode,
  // links, owner, group, size (bytes, or null for devices), date (text as shown), target}.
  // other: the lines that are neither entries nor the total (error messages, for example).
  VX.parseLongListing = function (text) {
    const lines = String(text === undefined || text === null ? '' : text).split(/\r?\n/).slice(0, MAX_LINES);
    const result = { format: '', total: null, entries: [], other: [] };
    let busyboxLike = 0;
    lines.forEach((line) => {
      if (line === '') return;
      const total = /^total (\d+)$/.exec(line);
      if (total) { result.total = Number(total[1]); return; }
      if (line.length > MAX_LINE) { result.other.push(line.substring(0, 200) + '…'); return; }
      const m = LINE.exec(line);
      if (!m) { result.other.push(line); return; }
      // BusyBox prints the link count in four columns and the owner and group in eight:
      // "-rw-r--r--    1 root     root" where GNU narrows every column to its widest value.
      if (m[4].length + m[5].length === 5 && m[4].length >= 2) busyboxLike++;
      let name = m[21];
      let target = '';
      if (m[1] === 'l') {
        const arrow = name.indexOf(' -> ');
        if (arrow >= 0) { target = name.substring(arrow + 4); name = name.substring(0, arrow); }
      }
      let date;
      if (m[11]) date = m[11] + ' ' + m[12] + ' ' + (m[13] !== undefined ? two(Number(m[13])) + ':' + m[14] : m[15]);
      else date = m[16] + '-' + m[17] + '-' + m[18] + ' ' + m[19] + ':' + m[20];
      result.entries.push({
        name,
        type: TYPES[m[1]],
        mode: m[1] + m[2],
        links: Number(m[5]),
        owner: m[6],
        group: m[7],
        size: m[10] !== undefined ? Number(m[10]) : null,
        device: m[8] !== undefined ? m[8] + ', ' + m[9] : '',
        date,
        month: m[11] ? MONTHS[m[11]] : Number(m[17]),
        target
      });
    });
    if (result.entries.length) result.format = busyboxLike === result.entries.length ? 'busybox' : 'gnu';
    return result;
  };

  // Folders first, then by name; "." and ".." are dropped (the view offers "Up" instead).
  VX.listingEntries = function (parsed) {
    return parsed.entries.filter((e) => e.name !== '.' && e.name !== '..').sort((a, b) => {
      const fa = a.type === 'folder' ? 0 : 1;
      const fb = b.type === 'folder' ? 0 : 1;
      return fa - fb || (a.name < b.name ? -1 : a.name > b.name ? 1 : 0);
    });
  };

  // The folder above path ("logic/plugins" -> "logic", "logic" -> ".").
  VX.parentPath = function (path) {
    const p = String(path || '').replace(/\/+$/, '');
    const slash = p.lastIndexOf('/');
    if (slash > 0) return p.substring(0, slash);
    if (slash === 0) return '/';
    return '.';
  };

  // A name that starts with "-" gets "./" in front at the top, so that ls does not take it for
  // an option.
  VX.joinPath = function (folder, name) {
    const f = String(folder || '').replace(/\/+$/, '');
    if (f === '' || f === '.') return name.charAt(0) === '-' ? './' + name : name;
    return f + '/' + name;
  };

  // The steps of a server path for a breadcrumb: [{label, path}], from the top down. Relative
  // paths start at the server's folder ("."), absolute ones at "/".
  VX.pathCrumbs = function (path) {
    const p = String(path || '').trim();
    const absolute = p.charAt(0) === '/';
    const crumbs = [absolute ? { label: '/', path: '/' } : { label: 'server folder', path: '.' }];
    let sofar = absolute ? '' : '.';
    p.split('/').forEach((part) => {
      if (part === '' || part === '.') return;
      sofar = sofar === '.' ? (part.charAt(0) === '-' ? './' + part : part) : sofar + '/' + part;
      crumbs.push({ label: part, path: sofar });
    });
    return crumbs;
  };

  // What the Type column says about an entry.
  VX.entryTypeText = function (e) {
    if (e.type === 'link') return e.target ? 'link to ' + e.target : 'link';
    if (e.type === 'device') return 'device ' + e.device;
    return e.type || 'other';
  };
})(window.VX = window.VX || {});
