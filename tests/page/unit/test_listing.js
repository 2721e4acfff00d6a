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
