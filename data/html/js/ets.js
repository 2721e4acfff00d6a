// Reading ETS project archives: which entries hold the project, and the group addresses of its
// project XML. The archive is read through the bridge; everything here works on plain texts.
(function (VX) {
  'use strict';

  // The common data point types: name and unit.
  const DPT_TYPES = {
    '1.001': ['Switch', ''], '1.002': ['Boolean', ''], '1.003': ['Enable', ''], '1.005': ['Alarm', ''],
    '1.007': ['Step', ''], '1.008': ['Up/Down', ''], '1.009': ['Open/Close', ''], '1.010': ['Start', ''],
    '1.011': ['State', ''], '1.017': ['Trigger', ''], '1.018': ['Occupancy', ''], '1.019': ['Window/Door', ''],
    '1.024': ['Day/Night', ''], '2.001': ['Switch control', ''], '3.007': ['Dimming control', ''],
    '3.008': ['Blind control', ''], '4.001': ['Character (ASCII)', ''],
    '5.001': ['Percentage (0..100)', '%'], '5.003': ['Angle', '°'], '5.004': ['Percentage (0..255)', '%'],
    '5.010': ['Counter pulses', 'pulses'], '6.001': ['Percentage (−128..127)', '%'],
    '7.001': ['Pulses', 'pulses'], '7.005': ['Time', 's'], '7.007': ['Time', 'h'],
    '7.012': ['Current', 'mA'], '7.013': ['Brightness', 'lx'], '7.600': ['Colour temperature', 'K'],
    '8.001': ['Pulses difference', 'pulses'], '9.001': ['Temperature', '°C'],
    '9.002': ['Temperature difference', 'K'], '9.003': ['Kelvin per hour', 'K/h'], '9.004': ['Lux', 'lx'],
    '9.005': ['Wind speed', 'm/s'], '9.006': ['Pressure', 'Pa'], '9.007': ['Humidity', '%'],
    '9.008': ['Air quality', 'ppm'], '9.010': ['Time', 's'], '9.020': ['Voltage', 'mV'],
    '9.021': ['Current', 'mA'], '9.024': ['Power', 'kW'], '9.025': ['Volume flow', 'l/h'],
    '10.001': ['Time of day', ''], '11.001': ['Date', ''], '12.001': ['Counter pulses (unsigned)', 'pulses'],
    '13.001': ['Counter pulses (signed)', 'pulses'], '13.010': ['Active energy', 'Wh'],
    '13.013': ['Active energy', 'kWh'], '14.019': ['Electric current', 'A'],
    '14.027': ['Electric potential', 'V'], '14.056': ['Power', 'W'], '16.000': ['Characters (ASCII)', ''],
    '16.001': ['Characters (ISO 8859-1)', ''], '17.001': ['Scene number', ''], '18.001': ['Scene control', ''],
    '19.001': ['Date and time', ''], '20.102': ['HVAC mode', ''], '232.600': ['RGB colour', '']
  };

  const MAIN_TYPE_NAMES = {
    1: '1-bit', 2: '1-bit controlled', 3: '3-bit controlled', 4: 'Character', 5: '8-bit unsigned',
    6: '8-bit signed', 7: '2-byte unsigned', 8: '2-byte signed', 9: '2-byte float', 10: 'Time',
    11: 'Date', 12: '4-byte unsigned', 13: '4-byte signed', 14: '4-byte float', 16: 'String',
    17: 'Scene', 18: 'Scene control', 19: 'Date and time', 20: '8-bit enumeration', 232: 'RGB'
  };

  // "DPST-9-1" -> "9.001", "DPT-1" -> "1", "" -> "". Several types (separated by blanks or commas):
  // the first one.
  VX.etsNormaliseDpt = function (text) {
    const first = String(text || '').trim().split(/[\s,]+/)[0] || '';
    let m = /^DPST-(\d+)-(\d+)$/i.exec(first);
    if (m) {
      const sub = String(Number(m[2]));
      return Number(m[1]) + '.' + ('000' + sub).substring(sub.length);
    }
    m = /^DPT-(\d+)$/i.exec(first);
    if (m) return String(Number(m[1]));
    return first;
  };

  VX.etsDptName = function (dpt) {
    if (!dpt) return '';
    if (DPT_TYPES.hasOwnProperty(dpt)) return DPT_TYPES[dpt][0];
    const main = Number(String(dpt).split('.')[0]);
    return MAIN_TYPE_NAMES[main] || '';
  };

  // The unit of a known sub-type ("9.001" -> "°C"); "" for others.
  VX.etsDptUnit = function (dpt) {
    return dpt && DPT_TYPES.hasOwnProperty(dpt) ? DPT_TYPES[dpt][1] : '';
  };

  // "from object 1.1.7 #2" for a type the group address took from a linked object; "" for its own.
  VX.etsDptSource = function (ga) {
    const from = ga && ga.dptFrom;
    if (!from || !ga.dpt) return '';
    const object = 'object ' + (from.device || from.deviceName || '(device without address)') +
      (Number(from.number) >= 0 ? ' #' + from.number : '');
    return (from.source === 'ObjectSize' ? 'from the size of ' : 'from ') + object;
  };

  // Group address number (0..65535) as main/middle/sub.
  VX.etsFormatAddress = function (n) {
    const v = Number(n);
    if (!/^\d+$/.test(String(n).trim()) || v > 65535) return null;
    return ((v >> 11) & 0x1f) + '/' + ((v >> 8) & 0x7) + '/' + (v & 0xff);
  };

  // entries: the text of ETSProject_fileList (names each ended by a line feed).
  // Finds the project folders (P-xxxx/) with their project XML files, and the encrypted inner
  // archives (P-xxxx.zip) of password-protected projects.
  VX.etsAnalyseEntries = function (listText) {
    const names = String(listText || '').split('\n').map((s) => s.replace(/\r$/, '')).filter((s) => s !== '');
    const projects = {};
    const encrypted = [];
    names.forEach((name) => {
      let m = /^(P-[0-9A-Za-z]+)\/(0|project)\.xml$/i.exec(name);
      if (m) {
        const id = m[1];
        projects[id] = projects[id] || { id, dataEntry: '', infoEntry: '' };
        if (m[2] === '0') projects[id].dataEntry = name;
        else projects[id].infoEntry = name;
        return;
      }
      m = /^(P-[0-9A-Za-z]+)\.zip$/i.exec(name);
      if (m) encrypted.push(name);
    });
    return {
      names,
      projects: Object.keys(projects).sort().map((k) => projects[k]),
      encrypted,
      hasManufacturerData: names.some((n) => /^M-[0-9A-Za-z]+\//.test(n))
    };
  };

  function parseXml(text) {
    const clean = String(text || '').replace(/^\uFEFF/, '');
    if (clean.trim() === '') return { doc: null, error: 'the entry is empty or could not be read' };
    let doc = null;
    try {
      doc = new DOMParser().parseFromString(clean, 'application/xml');
    } catch (e) {
      return { doc: null, error: 'the XML could not be parsed (' + e.message + ')' };
    }
    const errors = doc ? doc.getElementsByTagName('parsererror') : [];
    if (!doc || !doc.documentElement || errors.length > 0 || doc.documentElement.nodeName === 'parsererror') {
      const detail = errors.length ? errors[0].textContent.replace(/\s+/g, ' ').trim().substring(0, 160) : '';
      return { doc: null, error: 'the XML is not well formed' + (detail ? ' (' + detail + ')' : '') };
    }
    return { doc, error: '' };
  }

  function byLocalName(root, name) {
    if (root.getElementsByTagNameNS) {
      const list = root.getElementsByTagNameNS('*', name);
      if (list.length) return Array.prototype.slice.call(list);
    }
    return Array.prototype.slice.call(root.getElementsByTagName(name));
  }

  function rangePath(node) {
    const parts = [];
    let p = node.parentNode;
    while (p && p.nodeType === 1) {
      const local = p.localName || p.nodeName;
      if (local === 'GroupRange') parts.unshift(p.getAttribute('Name') || '');
      p = p.parentNode;
    }
    return parts.filter((s) => s !== '').join(' / ');
  }

  // The project name from project.xml (ProjectInformation Name="..."), or "".
  VX.etsProjectName = function (xmlText) {
    const parsed = parseXml(xmlText);
    if (!parsed.doc) return '';
    const info = byLocalName(parsed.doc, 'ProjectInformation')[0];
    return info ? info.getAttribute('Name') || '' : '';
  };

  // Group addresses of a project XML (0.xml). Returns {ok, error, groupAddresses, skipped}.
  VX.etsParseProjectXml = function (xmlText) {
    const parsed = parseXml(xmlText);
    if (!parsed.doc) return { ok: false, error: parsed.error, groupAddresses: [], skipped: [] };
    const result = { ok: true, error: '', groupAddresses: [], skipped: [] };
    byLocalName(parsed.doc, 'GroupAddress').forEach((node) => {
      const raw = node.getAttribute('Address');
      const name = node.getAttribute('Name') || '';
      const id = node.getAttribute('Id') || '';
      const address = raw === null ? null : VX.etsFormatAddress(raw);
      if (address === null) {
        result.skipped.push({
          what: name || id || '(unnamed group address)',
          why: raw === null ? 'it has no address' : 'its address "' + raw + '" is not a number from 0 to 65535'
        });
        return;
      }
      const dptText = node.getAttribute('DatapointType') || '';
      const dpt = VX.etsNormaliseDpt(dptText);
      const entry = { address, raw: Number(raw), name, id, dpt, dptName: VX.etsDptName(dpt), range: rangePath(node) };
      if (/[\s,]/.test(dptText.trim())) entry.note = 'several data point types: ' + dptText.trim();
      result.groupAddresses.push(entry);
    });
    result.groupAddresses.sort((a, b) => a.raw - b.raw);
    return result;
  };

  // ---- Results of the manager's project import (ETSProject_import) --------------------------

  // The group ranges and addresses of an import result as a tree, in the project's own order:
  // {roots: [node], loose: [ga]}, node = {range, index (into groupRanges), children: [node], addresses: [ga]}.
  VX.etsGroupTree = function (result) {
    const ranges = (result && result.groupRanges) || [];
    const nodes = ranges.map((range, index) => ({ range, index, children: [], addresses: [] }));
    const roots = [];
    const stack = [];
    nodes.forEach((node) => {
      const depth = Math.max(1, Number(node.range.depth) || 1);
      stack.length = Math.min(stack.length, depth - 1);
      const parent = stack.length ? stack[stack.length - 1] : null;
      (parent ? parent.children : roots).push(node);
      stack.push(node);
    });
    const loose = [];
    ((result && result.groupAddresses) || []).forEach((ga) => {
      const i = Number(ga.rangeIndex);
      if (i >= 0 && i < nodes.length) nodes[i].addresses.push(ga);
      else loose.push(ga);
    });
    return { roots, loose };
  };

  // A range's address as ETS writes it in its group address export: "1/-/-", "1/2/-", "1/-";
  // "" where the style has no such level.
  VX.etsRangeExportAddress = function (range, style) {
    const start = Number(range.start) || 0;
    const main = (start >> 11) & 0x1f;
    const depth = Number(range.depth);
    if (style === 'ThreeLevel' && depth === 1) return main + '/-/-';
    if (style === 'ThreeLevel' && depth === 2) return main + '/' + ((start >> 8) & 0x7) + '/-';
    if (style === 'TwoLevel' && depth === 1) return main + '/-';
    return '';
  };

  function etsCsvField(value) {
    return '"' + String(value === undefined || value === null ? '' : value).replace(/"/g, '""') + '"';
  }

  // The group addresses in the layout of ETS's own group address export (CSV, one name column):
  // each range as a row of its own before its addresses; separator ";", every field quoted.
  VX.etsGroupAddressCsv = function (result) {
    const style = (result && result.project && result.project.groupAddressStyle) || 'ThreeLevel';
    const lines = [['Group name', 'Address', 'Central', 'Unfiltered', 'Description', 'DatapointType', 'Security']];
    const addAddresses = (list) => list.forEach((ga) => lines.push([ga.name, ga.address, '', '', ga.description, ga.dptRaw, ga.secure ? 'On' : 'Auto']));
    const walk = (node) => {
      const address = VX.etsRangeExportAddress(node.range, style);
      if (address) lines.push([node.range.name, address, '', '', '', '', 'Auto']);
      addAddresses(node.addresses);
      node.children.forEach(walk);
    };
    const tree = VX.etsGroupTree(result);
    tree.roots.forEach(walk);
    addAddresses(tree.loose);
    return lines.map((l) => l.map(etsCsvField).join(';')).join('\r\n') + '\r\n';
  };

  // A name usable as a file name: letters, digits, blanks, dots, dashes and underscores.
  VX.etsFileName = function (name) {
    const clean = String(name || '').replace(/[^A-Za-z0-9 ._-]+/g, '_').replace(/^[ .]+|[ .]+$/g, '').substring(0, 80);
    return clean || 'project';
  };
})(window.VX = window.VX || {});
