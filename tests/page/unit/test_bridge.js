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
  ['OPERATION_CB', 'COMMAND_CB'].forEach((k) => assert.eq(typeof eval('(' + VX.desk[k] + ')'), 'function', k));
  let threw = false;
  try { VX.desk.callback('bad name', () => 0); } catch (e) { threw = true; }
  assert.ok(threw, 'names must be identifiers');
});

test('the shared operation callback routes progress, authentication and text answers', () => {
  const seen = [];
  fakeDesk({ VYXDeleteFile(path, cb) { seen.push(['del', path, cb]); }, VYXDatabaseMD5(cb) { seen.push(['md5', cb]); } });
  const transfers = [];
  VX.bus.on('transfer', (t) => transfers.push(t));
  const answers = [];
  VX.desk.startOperation('deletefile', 'VYXDeleteFile', ['a.txt'], (t) => answers.push('del:' + t));
  VX.desk.startOperation('md5', 'VYXDatabaseMD5', [], (t) => answers.push('md5:' + t));
  assert.deepEq(seen, [['del', 'a.txt', 'vyxCb.operation'], ['md5', 'vyxCb.operation']]);
  // as the bridge evaluates them: a progress object, a text, another text
  eval("(vyxCb.operation)({\"IsEnd\": \"false\", \"GetError\": 0})");
  eval('(vyxCb.operation)("File deleted")');
  eval('(vyxCb.operation)("Authentication Response ok")');
  eval('(vyxCb.operation)("0123abcd")');
  assert.eq(transfers.length, 1);
  assert.deepEq(answers, ['del:File deleted', 'md5:0123abcd']);
  delete window.vyxDesk;
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
