// Broadcast messages between clients and the server's log channel.
(function (VX) {
  'use strict';

  VX.LOG_CHANNEL_ID = '1010022';

  // Codes of the server's own commands. Their answers share the code space with parameters, and
  // one that the manager does not take as an answer (the heartbeat's time stamp) comes through
  // as a parameter update: it is not a parameter of the server.
  const COMMAND_CODES = [1000001, 1000002, 1000003, 1010001, 1010002, 1010003, 1010004, 1010005, 1010006,
    1010007, 1010008, 1010009, 1010010, 1010011, 1010012, 1010013, 1010014, 1010015, 1010016, 1010018,
    1010019, 1010021, 1010022, 1010023, 1010024, 1010025, 1010028, 1010029, 1010030, 1010033, 1010034,
    1010035];
  VX.isCommandCode = function (id) {
    return COMMAND_CODES.indexOf(Number(id)) >= 0;
  };
  VX.LOGIC_CHANNEL_ID = '999997';

  // "emitter|text" -> {emitter, text}; without a bar the whole text is the emitter.
  VX.splitBroadcast = function (data) {
    const s = String(data === undefined || data === null ? '' : data);
    const i = s.indexOf('|');
    return i < 0 ? { emitter: s, text: '' } : { emitter: s.substring(0, i), text: s.substring(i + 1) };
  };

  // The value of a log channel update: an XML document whose element text is a JSON object with
  // "sender", "paramId" and "msg". Returns null when it is not of that form.
  VX.parseLogChannelValue = function (value) {
    const text = String(value === undefined || value === null ? '' : value).trim();
    if (text === '') return null;
    let doc;
    try {
      doc = new DOMParser().parseFromString(text, 'application/xml');
    } catch (e) {
      return null;
    }
    if (!doc || !doc.documentElement || doc.getElementsByTagName('parsererror').length) return null;
    let obj;
    try {
      obj = JSON.parse(doc.documentElement.textContent);
    } catch (e) {
      return null;
    }
    if (!obj || typeof obj !== 'object') return null;
    const str = (v) => (v === undefined || v === null ? '' : String(v));
    return { sender: str(obj.sender), paramId: str(obj.paramId), msg: str(obj.msg) };
  };

  // Zephron messages arrive with double quotes replaced by "|||".
  VX.unmangleFeedback = function (text) {
    return String(text === undefined || text === null ? '' : text).split('|||').join('"');
  };
})(window.VX = window.VX || {});
