// The bridge module against a fake vyxDesk made of plain functions.
function fakeDesk(slots) {
  window.vyxDesk = slots;
  return slots;
}

test('without vyxDesk every call reports "not running inside the manager"', () => {
  delete window.vyxDesk;
  assert.ok(!VX.desk.present());
  const r = VX.desk.tryCall('VYXConnect', 'a', '1', 'u', 'p', 'vyxCb.x');
  assert.ok(!r.ok);
  assert.contains(r.error, 'Not running inside the manager');
  assert.eq(VX.desk.isConnected(), false);
});

test('tryCall reports a missing slot and a throwing slot in words', () => {
  fakeDesk({ boom() { throw new Error('bad'); } });
  assert.contains(VX.desk.tryCall('nothing').error, 'does not offer "nothing"');
  assert.contains(VX.desk.tryCall('boom').error, 'bad');
  delete window.vyxDesk;
});

test('callback names are functions of the vyxCb registry', () => {
  const name = VX.desk.callback('unitProbe', (x) => x * 2);
  assert.eq(name, 'vyxCb.unitProbe');
  assert.eq(typeof eval('(' + name + ')'), 'function');
  assert.eq(eval('(' + name + ')(21)'), 42);
  ['TRANSFER_CB', 'COMMAND_CB'].forEach((k) => assert.eq(typeof eval('(' + VX.desk[k] + ')'), 'function', k));
  let threw = false;
  try { VX.desk.callback('bad name', () => 0); } catch (e) { threw = true; }
  assert.ok(threw, 'names must be identifiers');
});

test('each request gets its own callback, answered once; transfers keep the transfer callback', () => {
  const seen = [];
  fakeDesk({ VYXDeleteFile(path, cb) { seen.push(cb); }, VYXDatabaseMD5(cb) { seen.push(cb); } });
  const transfers = [];
  VX.bus.on('transfer', (t) => transfers.push(t));
  const answers = [];
  VX.desk.startOperation('the deletion', 'VYXDeleteFile', ['a.txt'], (r) => answers.push('del:' + r.ok + ':' + r.text));
  VX.desk.startOperation('the MD5 query', 'VYXDatabaseMD5', [], (r) => answers.push('md5:' + r.ok + ':' + r.text));
  assert.eq(seen.length, 2);
  assert.ok(seen[0] !== seen[1], 'two requests, two callbacks');
  // answers in any order reach their own request; a second answer to the same callback is dropped
  eval('(' + seen[1] + ')("0123456789abcdef0123456789abcdef")');
  eval('(' + VX.desk.TRANSFER_CB + ')({"IsEnd": "false", "GetError": 0})');
  eval('(' + seen[0] + ')("Not connected: the request was not sent to the server.")');
  assert.eq(typeof window.vyxCb[seen[0].substring(6)], 'undefined', 'the callback is gone once answered');
  assert.eq(transfers.length, 1);
  assert.deepEq(answers, ['md5:true:0123456789abcdef0123456789abcdef',
                          'del:false:Not connected: the request was not sent to the server.']);
  delete window.vyxDesk;
});

test('a request without an answer ends with a sentence naming what did not answer', () => {
  const desk = fakeDesk({ VYXDatabaseMD5(cb) { desk.lastCb = cb; } });
  const answers = [];
  VX.desk.startOperation('the database MD5 query', 'VYXDatabaseMD5', [], (r) => answers.push(r), 20);
  return after(80).then(() => {
    assert.eq(answers.length, 1);
    assert.ok(!answers[0].ok);
    assert.contains(answers[0].text, 'No answer from the server to the database MD5 query');
    // the answer that comes after all is dropped, without a script error
    eval('(' + desk.lastCb + ')("0123456789abcdef0123456789abcdef")');
    assert.eq(answers.length, 1);
    delete window.vyxDesk;
  });
});

test('isMd5 takes 32 hexadecimal digits and nothing else', () => {
  assert.ok(VX.isMd5('0123456789abcdef0123456789ABCDEF'));
  ['', 'Can not delete file .pokayoka: No such file or directory', '0123456789abcdef0123456789abcde',
   '0123456789abcdef0123456789abcdef0', ' 0123456789abcdef0123456789abcdef', undefined].forEach((t) => assert.ok(!VX.isMd5(t), String(t)));
});

test('console and guardian commands run one at a time, each reply to its own command', () => {
  const sent = [];
  let pendingCb = null;
  fakeDesk({
    VYXConsole(text, cb) { sent.push('console:' + text); pendingCb = cb; },
    VYXGuardian(text, cb) { sent.push('guardian:' + text); pendingCb = cb; }
  });
  const replies = [];
  VX.desk.runCommand('VYXConsole', 'ls', (r) => replies.push('ls=' + r.text));
  VX.desk.runCommand('VYXGuardian', 'status', (r) => replies.push('status=' + r.text));
  assert.deepEq(sent, ['console:ls'], 'the second waits for the first answer');
  assert.eq(VX.desk.commandsWaiting(), 2);
  eval('(' + pendingCb + ')({"status": "a\\nb"})');
  return after(30).then(() => {
    assert.deepEq(sent, ['console:ls', 'guardian:status']);
    eval('(' + pendingCb + ')("{\\"status\\": \\"fine\\"}")');
    assert.deepEq(replies, ['ls=a\nb', 'status=fine']);
    assert.eq(VX.desk.commandsWaiting(), 0);
    delete window.vyxDesk;
  });
});

test('the page contract functions exist and publish what the manager sends', () => {
  const got = [];
  VX.bus.on('parameter', (p) => got.push('p' + p.ParameterID));
  VX.bus.on('logic', (p) => got.push('l' + p.ParameterID));
  VX.bus.on('feedback', (t) => got.push('f' + t));
  VX.bus.on('debug', (t) => got.push('d' + t));
  VX.bus.on('projectFolder', (t) => got.push('pf' + t));
  VX.bus.on('query', (q) => got.push('q' + q.length));
  eval('window.QT.updateParameter({\n"ParameterID": "7",\n"value": "1"\n})');
  eval('window.QT.updateParameterFromLogicChannel({"ParameterID": "999997", "value": "x"})');
  eval('(application.feedback)("a |||b|||")');
  eval('(QT.debug)("dbg")');
  eval("window.desktopApp.projectFolder('/home/x');");
  eval('window.desktopApp.queryResponse([{"a":1},{"a":2}])');
  assert.deepEq(got, ['p7', 'l999997', 'fa "b"', 'ddbg', 'pf/home/x', 'q2']);
});
