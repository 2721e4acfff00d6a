test('splitBroadcast splits at the first bar', () => {
  [['abc', 'abc', ''], ['a|b|c', 'a', 'b|c'], ['|x', '', 'x'], ['', '', '']].forEach((c) => {
    const m = VX.splitBroadcast(c[0]);
    assert.eq(m.emitter, c[1], c[0]);
    assert.eq(m.text, c[2], c[0]);
  });
});

test('parseLogChannelValue reads the JSON inside the XML element', () => {
  const m = VX.parseLogChannelValue('<log>{"sender":"logic","paramId":42,"msg":"pump &lt;on&gt;"}</log>');
  assert.deepEq(m, { sender: 'logic', paramId: '42', msg: 'pump <on>' });
  const cdata = VX.parseLogChannelValue('<m><![CDATA[{"sender":"a","paramId":"1","msg":"x & y"}]]></m>');
  assert.eq(cdata.msg, 'x & y');
  ['', 'plain text', '<log>not json</log>', '<log>', '<log>"just a string"</log>'].forEach((v) => assert.eq(VX.parseLogChannelValue(v), null, v));
});

test('unmangleFeedback restores double quotes', () => {
  assert.eq(VX.unmangleFeedback('say |||hi|||'), 'say "hi"');
  assert.eq(VX.unmangleFeedback(null), '');
});

test('parseAnswer accepts values, JSON texts and single-quoted connection texts', () => {
  assert.deepEq(VX.parseAnswer({ a: 1 }), { a: 1 });
  assert.deepEq(VX.parseAnswer('{\n "status": "ok"\n}'), { status: 'ok' });
  assert.deepEq(VX.parseAnswer("{\n    'connection': 'Connection Ready'\n}"), { connection: 'Connection Ready' });
  assert.eq(VX.parseAnswer('plain'), undefined);
  assert.eq(VX.parseAnswer(''), undefined);
  assert.eq(VX.parseAnswer(undefined), undefined);
});

test('CSV export quotes what needs quoting', () => {
  assert.eq(VX.toCsv(['a', 'b'], [['x,y', 'say "hi"'], ['line\nbreak', 5]]), 'a,b\r\n"x,y","say ""hi"""\r\n"line\nbreak",5\r\n');
});

test('esc and el never turn text into markup', () => {
  assert.eq(VX.esc('<img src=x onerror="a()">&\''), '&lt;img src=x onerror=&quot;a()&quot;&gt;&amp;&#39;');
  const node = VX.el('div', { text: '<b>bold</b>' }, ['<i>x</i>']);
  assert.eq(node.childNodes.length, 2, 'the text and the child, both text nodes');
  assert.eq(node.getElementsByTagName('b').length, 0);
  assert.eq(node.getElementsByTagName('i').length, 0);
  assert.eq(node.textContent, '<b>bold</b><i>x</i>');
  assert.eq(VX.baseName('/a/b/c.tar.gz'), 'c.tar.gz');
  assert.eq(VX.baseName('C:\\x\\y.db'), 'y.db');
});

test('throttle runs while calls keep coming (a debounce would wait for them to stop)', () => {
  let runs = 0;
  const t = VX.throttle(() => { runs++; }, 20);
  const start = Date.now();
  return new Promise((resolve) => {
    const timer = setInterval(() => {
      t();
      if (runs >= 2 || Date.now() - start > 5000) { clearInterval(timer); resolve(); }
    }, 2);
  }).then(() => assert.ok(runs >= 2, 'ran ' + runs + ' times in 5 s of calls every 2 ms'));
});

test('shellQuote makes one shell argument of any text', () => {
  [["logic/", "logic/"], ["logic/plug-ins_2", "logic/plug-ins_2"], ["", "''"], ["it's", "'it'\\''s'"], ["a b; rm -rf /", "'a b; rm -rf /'"], ['$(x)', "'$(x)'"]]
    .forEach((c) => assert.eq(VX.shellQuote(c[0]), c[1], c[0]));
});

test('command codes are not parameters; identifiers from 1000000 up otherwise are', () => {
  ['1010021', '1010022', 1010001, '1000002'].forEach((id) => assert.ok(VX.isCommandCode(id), String(id)));
  ['1010020', '1000000', '1048575', '100101', '999997'].forEach((id) => assert.ok(!VX.isCommandCode(id), id));
});
