// Recorded "ls -la logic" answers of the two ls programs servers run, for the same folder.
const GNU_LISTING = [
  'total 140',
  'drwxr-xr-x 3 root root   4096 Dec 10 12:51 .',
  'drwxr-xr-x 3 root root   4096 Dec 10 12:51 ..',
  '-rw-r--r-- 1 root root 123456 Dec 10 12:51 big.bin',
  'lrwxrwxrwx 1 root root      7 Dec 10 12:51 current -> plugins',
  'crw-r--r-- 1 root root   1, 3 Dec 10 12:52 null',
  '-rw-r--r-- 1 root root      3 Jan  1  2001 old file.txt',
  'drwxr-xr-x 2 root root   4096 Dec 10 12:51 plugins'
].join('\n');

const BUSYBOX_LISTING = [
  'total 140',
  'drwxr-xr-x    3 root     root          4096 Dec 10 12:51 .',
  'drwxr-xr-x    3 root     root          4096 Dec 10 12:51 ..',
  '-rw-r--r--    1 root     root        123456 Dec 10 12:51 big.bin',
  'lrwxrwxrwx    1 root     root             7 Dec 10 12:51 current -> plugins',
  'crw-r--r--    1 root     root        1,   3 Dec 10 12:52 null',
  '-rw-r--r--    1 root     root             3 Jan  1  2001 old file.txt',
  'drwxr-xr-x    2 root     root          4096 Dec 10 12:51 plugins'
].join('\n');

// GNU ls in a locale with ISO dates, and an SELinux mark after the mode.
const GNU_ISO_LISTING = [
  'total 8',
  '-rw-r--r--. 1 vyxweb vyxweb 3 2001-01-01 00:00 old file.txt',
  'drwxr-xr-x+ 2 vyxweb vyxweb 4096 2026-12-10 12:51 plugins'
].join('\r\n');

test('parseLongListing reads the GNU and the BusyBox long formats alike', () => {
  [['gnu', GNU_LISTING], ['busybox', BUSYBOX_LISTING]].forEach((c) => {
    const r = VX.parseLongListing(c[1]);
    assert.eq(r.format, c[0]);
    assert.eq(r.total, 140, c[0]);
    assert.deepEq(r.other, [], c[0]);
    assert.deepEq(r.entries.map((e) => e.name), ['.', '..', 'big.bin', 'current', 'null', 'old file.txt', 'plugins'], c[0]);
    const byName = {};
    r.entries.forEach((e) => { byName[e.name] = e; });
    assert.deepEq([byName['big.bin'].type, byName['big.bin'].size, byName['big.bin'].mode, byName['big.bin'].owner, byName['big.bin'].date],
      ['file', 123456, '-rw-r--r--', 'root', 'Dec 10 12:51'], c[0]);
    assert.deepEq([byName.current.type, byName.current.target, byName.current.size], ['link', 'plugins', 7], c[0]);
    assert.deepEq([byName.null.type, byName.null.size, byName.null.device], ['device', null, '1, 3'], c[0]);
    assert.deepEq([byName['old file.txt'].date, byName['old file.txt'].size], ['Jan 1 2001', 3], c[0] + ': names keep their blanks, old files show the year');
    assert.deepEq([byName.plugins.type, byName.plugins.links], ['folder', 2], c[0]);
  });
});

test('parseLongListing reads ISO dates and mode marks, and keeps lines it does not know', () => {
  const r = VX.parseLongListing(GNU_ISO_LISTING);
  assert.eq(r.format, 'gnu');
  assert.deepEq(r.entries.map((e) => [e.name, e.type, e.date]), [['old file.txt', 'file', '2001-01-01 00:00'], ['plugins', 'folder', '2026-12-10 12:51']]);
  const bad = VX.parseLongListing("ls: cannot access 'x': No such file or directory");
  assert.eq(bad.format, '');
  assert.deepEq(bad.entries, []);
  assert.deepEq(bad.other, ["ls: cannot access 'x': No such file or directory"]);
  // a name that looks like the arrow of a link stays whole in a plain file
  assert.eq(VX.parseLongListing('-rw-r--r-- 1 a b 1 Dec 10 12:51 x -> y').entries[0].name, 'x -> y');
  assert.eq(VX.parseLongListing('').entries.length, 0);
  assert.eq(VX.parseLongListing(undefined).format, '');
});

test('listingEntries puts folders first and drops . and ..; parentPath and joinPath walk the tree', () => {
  const names = VX.listingEntries(VX.parseLongListing(GNU_LISTING)).map((e) => e.name);
  assert.deepEq(names, ['plugins', 'big.bin', 'current', 'null', 'old file.txt']);
  [['logic/plugins', 'logic'], ['logic/plugins/', 'logic'], ['logic', '.'], ['.', '.'], ['/opt/x', '/opt']].forEach((c) =>
    assert.eq(VX.parentPath(c[0]), c[1], c[0]));
  [['.', 'a', 'a'], ['logic', 'a', 'logic/a'], ['logic/', 'a', 'logic/a'], ['', 'a', 'a']].forEach((c) =>
    assert.eq(VX.joinPath(c[0], c[1]), c[2], c.join(' ')));
});

// Names are whatever the server's files are called: markup, blanks, dashes, arrows, quotes.
test('parseLongListing keeps odd and hostile names whole, as text', () => {
  const names = ['<img src=x onerror="window.__pwned=1">', '  two leading blanks', '-rf', 'a\'b"c', 'tab\there',
    'ends with blank ', 'Jan  1  2001 looks like a date', '12345', 'ünïcødé ✓'];
  const text = names.map((n) => '-rw-r--r-- 1 root root 5 Dec 10 12:51 ' + n).join('\n') +
    '\nlrwxrwxrwx 1 root root 7 Dec 10 12:51 a -> b -> c';
  const r = VX.parseLongListing(text);
  assert.deepEq(r.entries.slice(0, names.length).map((e) => e.name), names);
  assert.deepEq([r.entries[names.length].name, r.entries[names.length].target], ['a', 'b -> c']);
  // an overlong line is no entry and is shown cut short
  const long = VX.parseLongListing('-rw-r--r-- 1 root root 5 Dec 10 12:51 ' + new Array(6000).join('x'));
  assert.deepEq([long.entries.length, long.other.length, long.other[0].length <= 201], [0, 1, true]);
});

test('pathCrumbs gives each step up to the server folder or /; a top name with a dash is not an option', () => {
  const cases = [
    ['logic/plugins', [['server folder', '.'], ['logic', 'logic'], ['plugins', 'logic/plugins']]],
    ['./logic//x/', [['server folder', '.'], ['logic', 'logic'], ['x', 'logic/x']]],
    ['.', [['server folder', '.']]],
    ['', [['server folder', '.']]],
    ['/opt/vyx', [['/', '/'], ['opt', '/opt'], ['vyx', '/opt/vyx']]],
    ['-x/y', [['server folder', '.'], ['-x', './-x'], ['y', './-x/y']]]
  ];
  cases.forEach((c) => assert.deepEq(VX.pathCrumbs(c[0]).map((k) => [k.label, k.path]), c[1], c[0]));
  assert.eq(VX.joinPath('.', '-rf'), './-rf');
  assert.eq(VX.joinPath('logic', '-rf'), 'logic/-rf');
});

test('entryTypeText names the kind of each entry', () => {
  const r = VX.parseLongListing(GNU_LISTING);
  const byName = {};
  r.entries.forEach((e) => { byName[e.name] = VX.entryTypeText(e); });
  assert.deepEq([byName['big.bin'], byName.plugins, byName.current, byName.null], ['file', 'folder', 'link to plugins', 'device 1, 3']);
});
