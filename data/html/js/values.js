// Parameter values: checking what the user typed against the type it will be written as, and
// guessing a type for a value the server reported (the updates carry the value as text only).
(function (VX) {
  'use strict';

  const FLOAT_MAX = 3.4028234663852886e38;
  const UINT_MAX = 4294967295;
  const STRING_MAX_BYTES = 65000;

  const TYPES = ['string', 'float', 'byte', 'uint'];

  function utf8Length(text) {
    let n = 0;
    for (let i = 0; i < text.length; i++) {
      const c = text.charCodeAt(i);
      if (c < 0x80) n += 1;
      else if (c < 0x800) n += 2;
      else if (c >= 0xd800 && c <= 0xdbff) { n += 4; i++; }
      else n += 3;
    }
    return n;
  }

  function checkInteger(text, max, label) {
    const t = text.trim();
    if (t === '') return { ok: false, error: 'Enter a whole number from 0 to ' + max + '.' };
    if (/^-\d+$/.test(t)) return { ok: false, error: 'A ' + label + ' cannot be negative: use 0 to ' + max + '.' };
    if (!/^\+?\d+$/.test(t)) return { ok: false, error: '"' + t + '" is not a whole number (' + label + ': 0 to ' + max + ').' };
    const digits = t.replace(/^\+/, '').replace(/^0+(?=\d)/, '');
    if (digits.length > String(max).length || Number(digits) > max)
      return { ok: false, error: digits + ' does not fit in a ' + label + ': the largest value is ' + max + '.' };
    return { ok: true, value: digits };
  }

  function checkFloat(text) {
    const t = text.trim();
    if (t === '') return { ok: false, error: 'Enter a number, for example 21.5.' };
    if (/^[+-]?\d+,\d+$/.test(t)) return { ok: false, error: 'Use a dot as the decimal separator: ' + t.replace(',', '.') + '.' };
    if (!/^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$/.test(t)) return { ok: false, error: '"' + t + '" is not a number.' };
    const n = Number(t);
    if (!isFinite(n) || Math.abs(n) > FLOAT_MAX)
      return { ok: false, error: t + ' is outside the range of a float (about ±3.4e38).' };
    return { ok: true, value: t.replace(/^\+/, '') };
  }

  // Returns {ok: true, value: normalised text} or {ok: false, error: sentence for the user}.
  VX.validateValue = function (type, input) {
    const text = input === undefined || input === null ? '' : String(input);
    switch (type) {
    case 'string': {
      const bytes = utf8Length(text);
      if (bytes > STRING_MAX_BYTES) return { ok: false, error: 'The text is ' + bytes + ' bytes long; at most ' + STRING_MAX_BYTES + ' bytes can be sent.' };
      return { ok: true, value: text };
    }
    case 'float': return checkFloat(text);
    case 'byte': return checkInteger(text, 255, 'byte');
    case 'uint': return checkInteger(text, UINT_MAX, 'uint');
    default: return { ok: false, error: 'Unknown value type "' + type + '": choose string, float, byte or uint.' };
    }
  };

  // Best guess of the type to write a reported value back as.
  VX.inferValueType = function (valueText) {
    const t = String(valueText === undefined || valueText === null ? '' : valueText).trim();
    if (/^\d+$/.test(t) && t.length <= 10 && Number(t) <= UINT_MAX) return 'uint';
    if (/^-?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$/.test(t) && isFinite(Number(t))) return 'float';
    return 'string';
  };

  VX.isNumericText = function (valueText) {
    const t = String(valueText === undefined || valueText === null ? '' : valueText).trim();
    return t !== '' && /^-?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$/.test(t) && isFinite(Number(t));
  };

  // An MD5 as the server and the bridge write it: 32 hexadecimal digits, nothing else.
  VX.isMd5 = function (text) {
    return typeof text === 'string' && /^[0-9a-fA-F]{32}$/.test(text);
  };

  VX.VALUE_TYPES = TYPES;
  VX.utf8Length = utf8Length;
})(window.VX = window.VX || {});
