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
  assert.eq(typeof eval('(' + VX.desk.TRANSFER_CB + ')'), 'function');
  let threw = false;
  try { VX.desk.callback('bad name', () => 0); } catch (e) { threw = true; }
  assert.ok(threw, 'names must be identifiers');
});

// A fake bridge that keeps every callback it is handed, by slot, and a connected session.
function connectedDesk(slots) {
  const cbs = {};
  const desk = {};
  slots.forEach((slot) => {
    desk[slot] = function () {
      const args = Array.prototype.slice.call(arguments);
      (cbs[slot] = cbs[slot] || []).push({ args: args.slice(0, -1), cb: args[args.length - 1] });
    };
  });
  fakeDesk(desk);
  VX.desk.setSession('connected', 'test');
  return cbs;
}

function answer(cb, text, whole) {
  return eval('(' + cb + ')(' + JSON.stringify(text) + (whole === undefined ? '' : ',' + JSON.stringify(whole)) + ')');
}

function endSession() {
  VX.desk.setSession('offline', '');
  delete window.vyxDesk;
}

test('each request gets its own callback and ends once, with the answer checked for its shape', () => {
  const cbs = connectedDesk(['VYXDeleteFile', 'VYXDatabaseMD5', 'VYXCreateFolder']);
  const got = [];
  const ask = (slot, args, accept, tag) => VX.desk.request({ slot, args, what: tag, timeout: 'fileDelete', accept,
    done: (r) => got.push(tag + ':' + r.outcome + ':' + (r.ok && typeof r.value === 'object' ? r.value.info : r.text)) });
  ask('VYXDeleteFile', ['a.txt'], VX.desk.accept.result, 'a');
  ask('VYXDeleteFile', ['b.txt'], VX.desk.accept.result, 'b');
  ask('VYXDatabaseMD5', [], VX.desk.accept.md5, 'md5');
  ask('VYXDatabaseMD5', [], VX.desk.accept.md5, 'notmd5');
  ask('VYXCreateFolder', ['x'], VX.desk.accept.result, 'noerr');
  assert.eq(VX.testing.waiting(), 5);
  assert.ok(cbs.VYXDeleteFile[0].cb !== cbs.VYXDeleteFile[1].cb, 'two requests, two callbacks');
  // answers in any order reach their own request
  // the manager's form: the info text, then the whole result
  answer(cbs.VYXDeleteFile[1].cb, 'Can not delete file b.txt: Permission denied',
    { err: 1, info: 'Can not delete file b.txt: Permission denied', file: 'b.txt' });
  answer(cbs.VYXDatabaseMD5[0].cb, '0123456789ABCDEF0123456789abcdef');
  answer(cbs.VYXDatabaseMD5[1].cb, 'File deleted');
  // a result as the only argument is read as well
  answer(cbs.VYXDeleteFile[0].cb, '{"err":0,"info":"File deleted","file":"a.txt"}');
  answer(cbs.VYXCreateFolder[0].cb, 'Folder created');
  // an answered request's callback is gone: the bridge answers each request once
  assert.eq(typeof window.vyxCb[cbs.VYXDeleteFile[0].cb.substring(6)], 'undefined');
  assert.deepEq(got, [
    'b:error:Can not delete file b.txt: Permission denied',
    'md5:ok:0123456789abcdef0123456789abcdef',
    'notmd5:error:The server answered with something that is not an MD5: File deleted',
    'a:ok:File deleted',
    'noerr:error:The server\'s answer is not a result (err and info): Folder created']);
  assert.eq(VX.testing.waiting(), 0);
  endSession();
});

test('a request without an answer times out naming what did not answer; its late answer is dropped', () => {
  const cbs = connectedDesk(['VYXDatabaseMD5']);
  const got = [];
  VX.desk.request({ slot: 'VYXDatabaseMD5', what: 'the database MD5 query', timeout: 20, accept: VX.desk.accept.md5, done: (r) => got.push(r) });
  return after(80).then(() => {
    assert.eq(got.length, 1);
    assert.eq(got[0].outcome, 'timeout');
    assert.eq(got[0].text, 'No answer from the server to the database MD5 query within 20 ms.');
    answer(cbs.VYXDatabaseMD5[0].cb, '0123456789abcdef0123456789abcdef');
    assert.eq(got.length, 1);
    endSession();
  });
});

test('not connected: nothing is sent; the bridge\'s own refusal is "not connected" too', () => {
  const cbs = connectedDesk(['VYXDeleteFolder', 'VYXConsole']);
  const got = [];
  VX.desk.request({ slot: 'VYXConsole', args: ['ls'], what: 'the command "ls"', accept: VX.desk.accept.status, done: (r) => got.push(r.outcome + ':' + r.text) });
  answer(cbs.VYXConsole[0].cb, { status: 'Not connected: the request was not sent to the server.' });
  VX.desk.setSession('offline', '');
  VX.desk.request({ slot: 'VYXDeleteFolder', args: ['x'], what: 'the deletion of x', accept: VX.desk.accept.result, done: (r) => got.push(r.outcome + ':' + r.text) });
  assert.eq(cbs.VYXDeleteFolder, undefined, 'not sent');
  assert.deepEq(got, ['offline:Not connected: the request was not sent to the server.',
                      'offline:Not connected: the deletion of x was not sent to the server.']);
  endSession();
});

test('a lost session ends every waiting request, tells the views once, and no answer survives it', () => {
  const cbs = connectedDesk(['VYXConsole', 'VYXDatabaseMD5']);
  const got = [];
  const lost = [];
  VX.bus.on('session-lost', (l) => lost.push(l.state + ':' + l.reason + ':' + VX.testing.waiting()));
  VX.desk.request({ slot: 'VYXConsole', args: ['sleep 100'], what: 'the command "sleep 100"', accept: VX.desk.accept.status, done: (r) => got.push(r.outcome + ':' + r.text) });
  VX.desk.request({ slot: 'VYXDatabaseMD5', what: 'the database MD5 query', accept: VX.desk.accept.md5, done: (r) => got.push(r.outcome + ':' + r.text) });
  VX.desk.setSession('lost', 'the server does not answer');
  VX.desk.setSession('offline', '');
  assert.deepEq(lost, ['lost:the connection was lost (the server does not answer):0']);
  assert.deepEq(got, [
    'offline:Interrupted: the command "sleep 100" got no answer, the connection was lost (the server does not answer).',
    'offline:Interrupted: the database MD5 query got no answer, the connection was lost (the server does not answer).']);
  // the next session's answers, or the old ones coming late, reach none of them
  VX.desk.setSession('connected', 'again');
  answer(cbs.VYXConsole[0].cb, { status: 'late' });
  answer(cbs.VYXDatabaseMD5[0].cb, '0123456789abcdef0123456789abcdef');
  assert.eq(got.length, 2);
  endSession();
});

test('command lines do not wait for each other: each reply reaches its own command, a cancelled one none', () => {
  const cbs = connectedDesk(['VYXConsole', 'VYXGuardian']);
  const got = [];
  const run = (slot, text) => VX.desk.request({ slot, args: [text], what: text, timeout: 'command', accept: VX.desk.accept.status,
    done: (r) => got.push(text + '=' + r.outcome + ':' + r.text) });
  const slow = run('VYXConsole', 'sleep 50');
  run('VYXConsole', 'ls -la .');
  run('VYXGuardian', 'status');
  assert.eq(cbs.VYXConsole.length, 2, 'both sent at once');
  assert.eq(cbs.VYXGuardian.length, 1);
  answer(cbs.VYXGuardian[0].cb, '{"status": "fine"}');
  answer(cbs.VYXConsole[1].cb, { status: 'a\nb' });
  slow.cancel();
  answer(cbs.VYXConsole[0].cb, { status: 'slept' });
  assert.deepEq(got, ['status=ok:fine', 'ls -la .=ok:a\nb', 'sleep 50=cancelled:Cancelled: sleep 50.']);
  endSession();
});

test('isMd5 takes 32 hexadecimal digits and nothing else', () => {
  assert.ok(VX.isMd5('0123456789abcdef0123456789ABCDEF'));
  ['', 'Can not delete file .pokayoka: No such file or directory', '0123456789abcdef0123456789abcde',
   '0123456789abcdef0123456789abcdef0', ' 0123456789abcdef0123456789abcdef', undefined].forEach((t) => assert.ok(!VX.isMd5(t), String(t)));
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

test('"connected" is told once per connection generation, and a replaced connection changes nothing', () => {
  const told = [];
  VX.bus.on('connected', (s) => told.push(s.generation));
  let ready = 0;
  fakeDesk({ VYXReadyGeneration() { return String(ready); }, VYXIsConnected() { return ready ? 'true' : 'false'; } });
  VX.desk.leaveConnection();
  VX.desk.setSession('connecting', '');
  VX.desk.pollConnection();
  assert.eq(VX.session.state, 'connecting', 'nothing is ready yet');
  // the poll may see the connection before its ready report arrives: told once all the same
  ready = 4;
  VX.desk.pollConnection();
  assert.eq(VX.desk.connectionReady(4), false);
  VX.desk.pollConnection();
  assert.deepEq(told, [4]);
  // connecting elsewhere: generation 4 is over, whatever of it still arrives
  ready = 0;
  VX.desk.leaveConnection();
  VX.desk.setSession('connecting', '');
  assert.ok(VX.desk.isEarlierConnection(4));
  assert.eq(VX.desk.connectionReady(4), false);
  assert.eq(VX.session.state, 'connecting');
  assert.eq(VX.desk.connectionReady(6), true);
  assert.deepEq([VX.session.state, VX.session.generation], ['connected', 6]);
  // a rebuilt connection after a loss is a later generation of the same session
  VX.desk.setSession('lost', 'the server does not answer');
  ready = 7;
  VX.desk.pollConnection();
  assert.deepEq(told, [4, 6, 7]);
  // a manager that numbers nothing: its connected state and reports count as current
  fakeDesk({ VYXIsConnected() { return 'true'; } });
  VX.desk.setSession('lost', 'again');
  VX.desk.pollConnection();
  assert.eq(VX.session.state, 'connected');
  assert.ok(!VX.desk.isEarlierConnection(undefined));
  assert.deepEq(told, [4, 6, 7, 0]);
  endSession();
});
