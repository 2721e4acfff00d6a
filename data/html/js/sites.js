// Saved sites: servers the user connected to, kept in the page's local storage. Passwords are
// never stored here: a site only says whether its password is remembered (in the desktop's
// keyring, through the manager). A site also keeps what identified its server at the first login
// (the fields of its discovery answer and its version), so that another host answering under the
// same name can be told apart. The storage object is passed in so that the store can be tested on
// its own.
(function (VX) {
  'use strict';

  const KEY = 'vyx.sites.v1';
  const MAX_SITES = 50;

  VX.validateHost = function (host) {
    const h = String(host || '').trim();
    if (h === '') return 'Enter the server address.';
    if (h.length > 253) return 'The address is too long.';
    const ipv4 = /^(\d{1,3})\.(\d{1,3})\.(\d{1,3})\.(\d{1,3})$/.exec(h);
    if (ipv4) {
      for (let i = 1; i <= 4; i++) if (Number(ipv4[i]) > 255) return h + ' is not a valid IPv4 address (each part is 0 to 255).';
      return null;
    }
    if (/^[\d.]+$/.test(h)) return h + ' is not a valid IPv4 address.';
    if (/^[0-9A-Fa-f:]+$/.test(h) && h.indexOf(':') >= 0) return null;
    if (!/^[A-Za-z0-9]([A-Za-z0-9-]{0,62})(\.[A-Za-z0-9]([A-Za-z0-9-]{0,62}))*\.?$/.test(h))
      return '"' + h + '" is not a valid host name or address.';
    return null;
  };

  VX.validatePort = function (port) {
    const p = String(port === undefined || port === null ? '' : port).trim();
    if (!/^\d{1,5}$/.test(p) || Number(p) < 1 || Number(p) > 65535) return 'The port must be a number from 1 to 65535.';
    return null;
  };

  // An SSH tunnel: empty, or "ssh://user@host[:port]" (the manager checks it again).
  VX.validateTunnel = function (tunnel) {
    const t = String(tunnel === undefined || tunnel === null ? '' : tunnel).trim();
    if (t === '') return null;
    if (t.length > 300 || !/^ssh:\/\/[A-Za-z0-9._][A-Za-z0-9._-]*@[^\s@/-][^\s@/]*$/.test(t))
      return 'The SSH tunnel must read ssh://user@host or ssh://user@host:port.';
    return null;
  };

  class SiteStore {
    constructor(storage) {
      this.storage = storage || null;
    }

    static keyOf(site) {
      return String(site.host).trim().toLowerCase() + ':' + String(site.port).trim() + ':' + String(site.user || '');
    }

    list() {
      let raw = null;
      try { raw = this.storage ? this.storage.getItem(KEY) : null; } catch (e) { raw = null; }
      if (!raw) return [];
      let data;
      try { data = JSON.parse(raw); } catch (e) { return []; }
      if (!Array.isArray(data)) return [];
      return data.filter((s) => s && typeof s.host === 'string' && VX.validateHost(s.host) === null &&
        VX.validatePort(s.port) === null).map((s) => ({
        name: typeof s.name === 'string' ? s.name : '',
        host: s.host,
        port: String(s.port),
        user: typeof s.user === 'string' ? s.user : '',
        lastConnected: typeof s.lastConnected === 'number' ? s.lastConnected : 0,
        rememberPassword: s.rememberPassword === true,
        identity: SiteStore.cleanIdentity(s.identity),
        tunnel: VX.validateTunnel(s.tunnel) === null ? String(s.tunnel || '').trim() : ''
      })).sort((a, b) => b.lastConnected - a.lastConnected);
    }

    write(sites) {
      if (!this.storage) return false;
      try {
        this.storage.setItem(KEY, JSON.stringify(sites.slice(0, MAX_SITES)));
        return true;
      } catch (e) {
        return false;
      }
    }

    // Adds or updates a site (same host, port and user); returns an error text or null.
    save(site, when) {
      const hostError = VX.validateHost(site.host);
      if (hostError) return hostError;
      const portError = VX.validatePort(site.port);
      if (portError) return portError;
      const entry = {
        name: String(site.name || '').trim().substring(0, 100),
        host: String(site.host).trim(),
        port: String(site.port).trim(),
        user: String(site.user || '').substring(0, 100),
        lastConnected: typeof when === 'number' ? when : 0,
        rememberPassword: site.rememberPassword === true,
        identity: SiteStore.cleanIdentity(site.identity),
        tunnel: VX.validateTunnel(site.tunnel) === null ? String(site.tunnel || '').trim() : ''
      };
      const key = SiteStore.keyOf(entry);
      const sites = this.list();
      const old = sites.filter((s) => SiteStore.keyOf(s) === key)[0];
      if (old) {
        if (!entry.name) entry.name = old.name;
        if (!entry.lastConnected) entry.lastConnected = old.lastConnected;
        if (site.rememberPassword === undefined) entry.rememberPassword = old.rememberPassword;
        if (site.identity === undefined) entry.identity = old.identity;
      }
      const rest = sites.filter((s) => SiteStore.keyOf(s) !== key);
      rest.unshift(entry);
      rest.sort((a, b) => b.lastConnected - a.lastConnected);
      return this.write(rest) ? null : 'The site could not be saved (local storage is not available).';
    }

    // What identifies a server, bounded: every field a short text.
    static cleanIdentity(identity) {
      if (!identity || typeof identity !== 'object') return null;
      const text = (v, max) => (typeof v === 'string' ? v.substring(0, max) : '');
      return {
        name: text(identity.name, 200),
        address: text(identity.address, 253),
        port: text(identity.port, 5),
        version: text(identity.version, 200),
        text: text(identity.text, 1024),
        serverVersion: text(identity.serverVersion, 200)
      };
    }

    // Sets one field of a saved site; false when there is no such site.
    update(key, fields) {
      const sites = this.list();
      const site = sites.filter((s) => SiteStore.keyOf(s) === key)[0];
      if (!site) return false;
      Object.keys(fields).forEach((k) => { site[k] = k === 'identity' ? SiteStore.cleanIdentity(fields[k]) : fields[k]; });
      return this.write(sites);
    }

    touch(key, when) {
      const sites = this.list();
      let found = false;
      sites.forEach((s) => {
        if (SiteStore.keyOf(s) === key) { s.lastConnected = when; found = true; }
      });
      if (found) this.write(sites.sort((a, b) => b.lastConnected - a.lastConnected));
      return found;
    }

    remove(key) {
      const sites = this.list();
      const rest = sites.filter((s) => SiteStore.keyOf(s) !== key);
      if (rest.length !== sites.length) this.write(rest);
      return rest.length !== sites.length;
    }
  }

  // A discovery answer: first argument "address|answer text", second the answer text alone. The
  // answer holds the marker "vyx-kore-wa-desu"; what the server adds around it (a name, a port,
  // key=value pairs or a JSON object) is read when it is recognisable.
  VX.parseDiscoveryAnswer = function (withAddress, answerText) {
    const first = String(withAddress === undefined || withAddress === null ? '' : withAddress);
    const text = String(answerText === undefined || answerText === null ? first.substring(first.indexOf('|') + 1) : answerText);
    const bar = first.indexOf('|');
    let address = bar >= 0 ? first.substring(0, bar) : '';
    address = address.replace(/^::ffff:/i, '').trim();
    const result = { address, text, name: '', port: '', version: '' };
    const rest = text.replace('vyx-kore-wa-desu', ' ').trim();
    const brace = rest.indexOf('{');
    if (brace >= 0) {
      try {
        const obj = JSON.parse(rest.substring(brace));
        if (obj && typeof obj === 'object') {
          if (obj.name !== undefined) result.name = String(obj.name);
          if (obj.port !== undefined && VX.validatePort(obj.port) === null) result.port = String(obj.port);
        }
      } catch (e) { /* not JSON */ }
    }
    const head = brace >= 0 ? rest.substring(0, brace) : rest;
    // "a;b|c" separates fields (names may hold blanks); without such separators blanks do.
    const parts = (/[;|]/.test(head) ? head.split(/[;|]/) : head.split(/[\s,]+/)).map((p) => p.trim()).filter((p) => p !== '');
    const loose = [];
    parts.forEach((p) => {
      const kv = /^(\w+)\s*[=:]\s*(.*)$/.exec(p);
      if (kv) {
        const key = kv[1].toLowerCase();
        if (key === 'name' && !result.name) result.name = kv[2];
        else if (key === 'port' && !result.port && VX.validatePort(kv[2]) === null) result.port = kv[2];
        else if (key === 'address' && !result.address && VX.validateHost(kv[2]) === null) result.address = kv[2];
        else if (key === 'version') result.version = kv[2];
      } else if (/^\d{1,5}$/.test(p) && !result.port && VX.validatePort(p) === null) {
        result.port = p;
      } else {
        loose.push(p);
      }
    });
    if (!result.name) result.name = loose.join(' ');
    return result;
  };

  // The identity a site's server had at its first login, from a discovery answer.
  VX.identityOf = function (server) {
    return { name: server.name, address: server.address, port: server.port, version: server.version, text: server.text, serverVersion: '' };
  };

  // True when a discovery answer gives the name of the server a site knows, but comes from another
  // address or with other fields: another host may be answering in its place.
  VX.answersAsAnother = function (identity, server) {
    if (!identity || !identity.name || server.name !== identity.name) return false;
    return server.address !== identity.address || server.text !== identity.text;
  };

  VX.SiteStore = SiteStore;
  VX.SITES_KEY = KEY;
})(window.VX = window.VX || {});
