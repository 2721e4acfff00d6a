// The backup vault as the page sees it: dates and ages of copies, and what a restore will do
// given the file to restore, the server's live database and the newest copy in the vault.
(function (VX) {
  'use strict';

  const MONTHS = ['Jan', 'Feb', 'Mar', 'Apr', 'May', 'Jun', 'Jul', 'Aug', 'Sep', 'Oct', 'Nov', 'Dec'];
  const KEEP_KEY = 'vyx.vault.keep';
  const MAX_AGE_KEY = 'vyx.fleet.maxAgeDays';

  // "1 Dec", with the year when it is not this year's.
  VX.vaultDayText = function (seconds, nowMs) {
    const d = new Date(seconds * 1000);
    const now = new Date(nowMs === undefined ? Date.now() : nowMs);
    return d.getDate() + ' ' + MONTHS[d.getMonth()] + (d.getFullYear() !== now.getFullYear() ? ' ' + d.getFullYear() : '');
  };

  // "just now", "5 min", "3 h", "12 days": how old a copy is.
  VX.vaultAgeText = function (seconds) {
    const s = Math.max(0, Math.floor(Number(seconds) || 0));
    if (s < 60) return 'just now';
    if (s < 7200) return Math.floor(s / 60) + ' min';
    if (s < 2 * 86400) return Math.floor(s / 3600) + ' h';
    return Math.floor(s / 86400) + ' days';
  };

  VX.sizeText = function (bytes) {
    const n = Number(bytes) || 0;
    if (n < 1024) return n + ' B';
    if (n < 1048576) return (n / 1024).toFixed(1) + ' KiB';
    return (n / 1048576).toFixed(1) + ' MiB';
  };

  // What restoring a file will do. fileMd5 and liveMd5 are lower-case digests (liveMd5 empty when
  // the server could not be asked); newest is the vault's newest copy of the server or null.
  // kind: 'same' (nothing to send), 'backedUp' (the live database is in the vault), 'changed',
  // 'noBackup' or 'unknown'; backupFirst says whether to offer a backup before the restore.
  VX.restorePlan = function (fileMd5, liveMd5, newest, fileName, nowMs) {
    const file = String(fileMd5 || '').toLowerCase();
    const live = String(liveMd5 || '').toLowerCase();
    const name = fileName || 'the chosen file';
    const replaces = ' Restoring replaces it with ' + name + '.';
    if (live && file === live) {
      return { kind: 'same', backupFirst: false, send: false,
        text: 'The server\'s database already is ' + name + ' (MD5 ' + live + '): nothing will be sent.' };
    }
    if (!live) {
      return { kind: 'unknown', backupFirst: true, send: true,
        text: 'The server\'s database MD5 could not be read, so it is not known whether it is backed up: back it up first?' + replaces };
    }
    if (!newest) {
      return { kind: 'noBackup', backupFirst: true, send: true,
        text: 'There is no backup of this server\'s database in the vault: back it up first?' + replaces };
    }
    const day = VX.vaultDayText(newest.time, nowMs);
    if (String(newest.md5).toLowerCase() === live) {
      return { kind: 'backedUp', backupFirst: false, send: true,
        text: 'The server\'s database is the same as your last backup of ' + day + '.' + replaces };
    }
    return { kind: 'changed', backupFirst: true, send: true,
      text: 'The server\'s database has changed since your last backup of ' + day + ': back it up first?' + replaces };
  };

  function setting(key, fallback, low, high) {
    let v = NaN;
    try {
      const raw = window.localStorage ? window.localStorage.getItem(key) : null;
      v = raw === null || raw === '' ? NaN : Number(raw);
    } catch (e) { v = NaN; }
    return Number.isInteger(v) && v >= low && v <= high ? v : fallback;
  }
  function store(key, value) {
    try { if (window.localStorage) window.localStorage.setItem(key, String(value)); } catch (e) { /* not kept */ }
  }
  // Retention: the last N copies per site (0 keeps all).
  VX.vaultKeep = () => setting(KEEP_KEY, 10, 0, 10000);
  VX.setVaultKeep = (n) => store(KEEP_KEY, n);
  // The fleet marks a site whose newest backup is older than this many days.
  VX.fleetMaxAgeDays = () => setting(MAX_AGE_KEY, 7, 1, 3650);
  VX.setFleetMaxAgeDays = (n) => store(MAX_AGE_KEY, n);

  // The check column of a copy: "verified", or why it is suspect, in words.
  VX.vaultCheckText = function (copy) {
    if (copy.verified) return 'verified';
    return copy.suspect ? 'suspect: ' + copy.suspect : 'not verified';
  };

  // Why a site needs a look (the vault's text), as a sentence.
  VX.vaultAttentionText = function (why) {
    const t = String(why || '');
    return t ? 'This site needs a look: ' + t + '.' : '';
  };

  // A JSON answer of a vault slot as an object (null when it is not one).
  VX.vaultAnswer = function (value) {
    if (value && typeof value === 'object') return value;
    try {
      const v = JSON.parse(String(value || ''));
      return v && typeof v === 'object' ? v : null;
    } catch (e) {
      return null;
    }
  };
})(window.VX = window.VX || {});
