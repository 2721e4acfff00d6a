function downloadReport(extra) {
  return Object.assign({ IsEnd: 'false', GetError: 0, GetInfo: 'Donwload Data', GetServerBytes: '1048576', GetReceivedBytes: '262144',
    GetPercentage: '25', GetClientFile: '/tmp/a.db', GetClientMd5File: '', GetServerMd5File: 'abc' }, extra || {});
}
function uploadReport(extra) {
  return Object.assign({ IsEnd: 'false', GetError: 0, GetInfo: 'Upload Data', GetClientBytes: '1000000', GetSentBytes: '524288',
    GetPercentage: '52.4288', GetClientFile: '/tmp/b.db', GetClientMd5File: 'c', GetServerMd5File: 's' }, extra || {});
}

test('formatBytes and progressText', () => {
  [[0, '0 B'], [1023, '1023 B'], [1024, '1.0 KiB'], [1536, '1.5 KiB'], [1048576, '1.0 MiB'], [5 * 1073741824, '5.00 GiB'], [-1, '–'], ['x', '–']]
    .forEach((c) => assert.eq(VX.formatBytes(c[0]), c[1], String(c[0])));
  assert.eq(VX.progressText(262144, 1048576, 25), '256.0 KiB of 1.0 MiB (25.0 %)');
  assert.eq(VX.progressText(10, 0, 0), '10 B');
  assert.eq(VX.progressText(1, 1, 100), '1 B of 1 B (100 %)');
});

test('describeTransfer reads download and upload reports, as object or JSON text', () => {
  const d = VX.describeTransfer(JSON.stringify(downloadReport(), null, 4));
  assert.eq(d.kind, 'download');
  assert.eq(d.total, 1048576);
  assert.eq(d.done, 262144);
  assert.eq(d.percent, 25);
  assert.ok(!d.ended);
  const u = VX.describeTransfer(uploadReport());
  assert.eq(u.kind, 'upload');
  assert.eq(u.done, 524288);
  assert.eq(u.total, 1000000);
  assert.eq(VX.describeTransfer('not json'), null);
  assert.eq(VX.describeTransfer(''), null);
});

test('describeTransfer puts every outcome in words', () => {
  [
    [downloadReport({ IsEnd: 'true', GetError: 1, GetInfo: 'Md5 do not match, you must download database again' }), false, 'Download failed: the received copy differs from the server\'s database; download it again.'],
    [downloadReport({ IsEnd: 'true', GetError: 0, GetInfo: 'Database is synced, no need to update it', GetPercentage: '0' }), true, 'nothing was downloaded'],
    [downloadReport({ IsEnd: 'true', GetError: 0, GetInfo: 'Donwload End', GetPercentage: '100' }), true, 'Download complete'],
    [downloadReport({ IsEnd: 'true', GetError: 4, GetInfo: 'Can not finish download because server is shutdown' }), false, 'server is shutdown'],
    [uploadReport({ IsEnd: 'true', GetError: 2, GetInfo: 'Configuration file is too big', GetPercentage: '0' }), false, 'Upload failed: the file is larger than the server accepts.'],
    [uploadReport({ IsEnd: 'true', GetError: 0, GetInfo: 'Check Client - Server MD5 ... Same, upload not necessary', GetPercentage: '0' }), true, 'nothing was uploaded'],
    [uploadReport({ IsEnd: 'true', GetError: 2, GetInfo: 'MD5 do not match!' }), false, 'Upload failed: the server\'s copy differs from the file sent.'],
    [uploadReport({ IsEnd: 'true', GetError: 0, GetInfo: 'done', GetPercentage: '100' }), true, 'Upload complete'],
    [uploadReport({ IsEnd: 'true', GetError: 3, GetInfo: '' }), false, 'error 3']
  ].forEach((c) => {
    const d = VX.describeTransfer(c[0]);
    assert.ok(d.ended, c[2]);
    assert.eq(d.ok, c[1], c[2]);
    assert.contains(d.message, c[2]);
  });
  assert.eq(VX.describeTransfer(downloadReport({ IsEnd: 'true', GetPercentage: '99.9' })).percent, 100, 'a successful end shows 100 %');
  const same = VX.describeTransfer(uploadReport({ IsEnd: 'true', GetError: 0, GetInfo: 'Check Client - Server MD5 ... Same, upload not necessary', GetPercentage: '0' }));
  assert.ok(same.nothingToDo && same.ok && same.percent === 100, 'nothing to move is a finished success');
  assert.ok(!VX.describeTransfer(downloadReport({ IsEnd: 'true', GetError: 0 })).nothingToDo);
  assert.ok(!VX.describeTransfer(uploadReport({ IsEnd: 'false', GetInfo: 'Same, upload not necessary' })).nothingToDo, 'only at the end');
  assert.eq(VX.describeTransfer(downloadReport({ GetPercentage: '250' })).percent, 100, 'clamped');
  assert.eq(VX.describeTransfer(downloadReport({ GetPercentage: 'x', GetReceivedBytes: '1', GetServerBytes: '4' })).percent, 25, 'computed when missing');
});

test('transfer steps are told in words, the library\'s text kept apart', () => {
  [['Donwload Data', 'Receiving'], ['Save Server MD5', 'Checking the server\'s copy'], ['Upload Data', 'Sending'],
   ['Check Client - Server MD5 ... Upload configuration', 'Checking the server\'s copy'], ['Check Change DB', 'Replacing the database'],
   ['Delete Temporary Server File', 'Preparing the server'], ['something new', '']].forEach((c) => {
    const d = VX.describeTransfer(uploadReport({ GetInfo: c[0] }));
    assert.eq(d.step, c[1], c[0]);
    assert.eq(d.info, c[0], 'the library\'s text stays');
    assert.ok(!/Donwload|MD5 \.\.\./.test(d.message), d.message);
  });
  assert.eq(VX.describeTransfer(uploadReport({ GetInfo: 'Upload Data' })).message, 'Sending…');
});

test('describeCopy follows the copy and plug-in steps', () => {
  const p = VX.describeCopy('{\n    "copied": 262144,\n    "length": 300000,\n    "percent": 87.38133333,\n    "status": "copy in progress"\n}');
  assert.eq(p.done, 262144);
  assert.eq(p.total, 300000);
  assert.ok(Math.abs(p.percent - 87.381) < 0.01);
  assert.ok(!p.ended);
  assert.eq(VX.describeCopy({ status: 'copy in progress', copied: 600, length: 500 }).done, 500, 'never more than the size');
  [['MD5 verify', false, false], ['complete', true, false], ['MD5 Error', true, true], ['install complete', true, false],
   ['files done', false, false], ['restarting logic', false, false], ['error', true, true]].forEach((c) => {
    const d = VX.describeCopy({ status: c[0] });
    assert.eq(d.ended, c[1], c[0]);
    assert.eq(d.failed, c[2], c[0]);
    assert.ok(d.message.length > 5, c[0]);
  });
  assert.contains(VX.describeCopy({ status: 'error', info: 'disk full' }).message, 'disk full');
  assert.eq(VX.describeCopy({ nothing: 1 }), null);
  assert.eq(VX.describeCopy('garbage'), null);
});

test('Eta estimates the time left from the rate so far, and only once it means something', () => {
  const eta = new VX.Eta(10000);
  const cases = [
    // done, total, now, seconds left
    [0, 100, 15000, null],        // nothing done yet
    [50, 100, 10500, null],       // less than a second of work
    [10, 0, 20000, null],         // no total
    [25, 100, 12000, 6],          // 25 in 2 s: 75 more take 6 s
    [99, 100, 20000, 1],          // a part of a second still shows as one
    [100, 100, 20000, 0],
    [120, 100, 20000, 0]
  ];
  cases.forEach((c) => assert.eq(eta.secondsLeft(c[0], c[1], c[2]), c[3], c.join(' ')));
  [[null, ''], [0, 'finishing'], [5, 'about 5 s left'], [59, 'about 59 s left'], [60, 'about 1 min left'],
    [150, 'about 3 min left'], [3900, 'about 1 h 5 min left'], [-1, ''], [NaN, '']].forEach((c) =>
    assert.eq(VX.remainingText(c[0]), c[1], String(c[0])));
  assert.eq(VX.progressWithEta(eta, 1024 * 1024, 4 * 1024 * 1024, 25, 12000), '1.0 MiB of 4.0 MiB (25.0 %), about 6 s left');
  assert.eq(VX.progressWithEta(eta, 1024, 4096, 25, 10100), '1.0 KiB of 4.0 KiB (25.0 %)', 'no estimate in the first second');
});

test('the parameter list count reaches the page as a number', () => {
  const seen = [];
  VX.bus.on('parameter-list', (n) => seen.push(n));
  window.QT.parameterList(43);
  window.QT.parameterList('x');
  window.QT.parameterList(-1);
  assert.deepEq(seen, [43]);
});

test('a transfer that ends with an error says why, without repeating its kind', () => {
  const d = VX.describeTransfer({ IsEnd: 'true', GetError: 9, GetInfo: 'Download ended: no answer from the server for 30.0 s',
    GetServerBytes: '65536', GetReceivedBytes: '20000' });
  assert.ok(d.ended && !d.ok);
  assert.eq(d.message, 'Download failed: ended: no answer from the server for 30.0 s.');
  assert.eq(VX.describeTransfer({ IsEnd: 'true', GetError: 2, GetInfo: 'Upload stopped before it ended!', GetClientBytes: '5', GetSentBytes: '5' }).message,
    'Upload failed: stopped before it ended!');
});
