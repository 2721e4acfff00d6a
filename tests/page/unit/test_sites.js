function memoryStorage() {
  const data = {};
  return {
    getItem: (k) => (Object.prototype.hasOwnProperty.call(data, k) ? data[k] : null),
    setItem: (k, v) => { data[k] = String(v); },
    data
  };
}

test('validateHost and validatePort accept addresses and names, refuse the rest', () => {
  ['192.168.1.10', '10.0.0.1', 'server.local', 'vyx-01', '::1', 'fe80::1'].forEach((h) => assert.eq(VX.validateHost(h), null, h));
  ['', '256.1.1.1', '1.2.3', 'bad host', 'a_b', '-x.com', 'x'.repeat(260)].forEach((h) => assert.ok(VX.validateHost(h), h + ' should be refused'));
  ['1', '18000', '65535'].forEach((p) => assert.eq(VX.validatePort(p), null, p));
  ['0', '65536', '', 'abc', '18000x', '-1', '1.5'].forEach((p) => assert.ok(VX.validatePort(p), p + ' should be refused'));
});

test('SiteStore saves, updates by host/port/user and sorts by last connection', () => {
  const storage = memoryStorage();
  const store = new VX.SiteStore(storage);
  assert.deepEq(store.list(), []);
  assert.eq(store.save({ name: 'Office', host: '192.168.1.10', port: '18000', user: 'admin', password: 'secret' }, 1000), null);
  assert.eq(store.save({ name: 'Plant', host: '192.168.1.20', port: '18000', user: 'admin' }, 2000), null);
  assert.eq(store.list()[0].name, 'Plant', 'most recent first');
  assert.eq(store.save({ name: '', host: '192.168.1.10', port: '18000', user: 'admin' }, 3000), null);
  const list = store.list();
  assert.eq(list.length, 2, 'same host, port and user updates the entry');
  assert.eq(list[0].name, 'Office', 'an empty name keeps the old one');
  assert.eq(list[0].lastConnected, 3000);
  assert.ok(storage.data[VX.SITES_KEY].indexOf('secret') < 0, 'passwords are never stored');
  assert.ok(store.touch(VX.SiteStore.keyOf(list[1]), 5000));
  assert.eq(store.list()[0].name, 'Plant');
  assert.ok(store.remove(VX.SiteStore.keyOf(list[1])));
  assert.eq(store.list().length, 1);
  assert.ok(!store.remove('nothing:1:x'));
});

test('SiteStore refuses invalid sites and survives damaged storage', () => {
  const storage = memoryStorage();
  const store = new VX.SiteStore(storage);
  assert.contains(store.save({ host: '300.1.1.1', port: '18000' }, 1), 'IPv4');
  assert.contains(store.save({ host: 'ok', port: '70000' }, 1), 'port');
  [ 'not json', '{"a":1}', 'null', '[1,null,{"host":"bad host","port":"1"},{"host":"10.0.0.1","port":"99999"}]' ].forEach((raw) => {
    storage.setItem(VX.SITES_KEY, raw);
    assert.deepEq(store.list(), [], raw);
  });
  storage.setItem(VX.SITES_KEY, '[{"host":"10.0.0.1","port":18000,"name":7,"lastConnected":"x"}]');
  const list = store.list();
  assert.eq(list.length, 1);
  assert.eq(list[0].port, '18000');
  assert.eq(list[0].name, '');
  assert.eq(list[0].lastConnected, 0);
  const noStorage = new VX.SiteStore(null);
  assert.deepEq(noStorage.list(), []);
  assert.contains(noStorage.save({ host: '10.0.0.1', port: '1' }, 1), 'local storage');
  const full = { getItem: () => null, setItem: () => { throw new Error('QuotaExceeded'); } };
  assert.contains(new VX.SiteStore(full).save({ host: '10.0.0.1', port: '1' }, 1), 'could not be saved');
});

test('SiteStore keeps a site\'s choices, its server\'s identity (bounded) and its tunnel over later saves', () => {
  const storage = memoryStorage();
  const store = new VX.SiteStore(storage);
  const server = VX.parseDiscoveryAnswer('10.0.0.5|vyx-kore-wa-desu;name=Office;port=18000;version=2', 'vyx-kore-wa-desu;name=Office;port=18000;version=2');
  const identity = VX.identityOf(server);
  identity.text = 'x'.repeat(5000);
  assert.eq(store.save({ host: '10.0.0.5', port: '18000', user: 'admin', rememberPassword: true, identity, tunnel: 'ssh://me@gw.example:2222' }, 1), null);
  assert.eq(store.save({ host: '10.0.0.5', port: '18000', user: 'admin' }, 2), null);
  const site = store.list()[0];
  assert.eq(site.rememberPassword, true, 'a save that does not say keeps the choice');
  assert.eq(site.identity.name, 'Office');
  assert.eq(site.identity.text.length, 1024);
  assert.eq(site.tunnel, '', 'a login without a tunnel saves none');
  assert.ok(store.update(VX.SiteStore.keyOf(site), { rememberPassword: false }));
  assert.eq(store.list()[0].rememberPassword, false);
  storage.setItem(VX.SITES_KEY, '[{"host":"10.0.0.1","port":"1","rememberPassword":"yes","identity":"x","tunnel":"ssh://-oProxyCommand=x@h"}]');
  const odd = store.list()[0];
  assert.eq(odd.rememberPassword, false);
  assert.eq(odd.identity, null);
  assert.eq(odd.tunnel, '');
});

test('answersAsAnother: the same name from another address or with other fields', () => {
  const text = 'vyx-kore-wa-desu;name=Office;port=18000';
  const known = VX.identityOf(VX.parseDiscoveryAnswer('10.0.0.5|' + text, text));
  const cases = [
    ['10.0.0.5', text, false],
    ['10.0.0.6', text, true],
    ['10.0.0.5', 'vyx-kore-wa-desu;name=Office;port=18001', true],
    ['10.0.0.6', 'vyx-kore-wa-desu;name=Plant;port=18000', false]
  ];
  cases.forEach((c) => assert.eq(VX.answersAsAnother(known, VX.parseDiscoveryAnswer(c[0] + '|' + c[1], c[1])), c[2], c.join(' ')));
  assert.eq(VX.answersAsAnother(null, VX.parseDiscoveryAnswer('10.0.0.6|' + text, text)), false, 'a site that never logged in');
});

test('validateTunnel takes ssh://user@host[:port] only', () => {
  ['', 'ssh://me@gw', 'ssh://me@gw.example:2222', 'ssh://a.b@10.0.0.1', 'ssh://me@[::1]:22'].forEach((t) => assert.eq(VX.validateTunnel(t), null, t));
  ['gw', 'ssh://gw', 'ssh://-oProxyCommand=x@h', 'ssh://me@-h', 'ssh://me@h/x', 'http://me@h', 'ssh://me@' + 'h'.repeat(400)].forEach((t) =>
    assert.ok(VX.validateTunnel(t), t + ' should be refused'));
});

test('parseDiscoveryAnswer reads address, name and port from the answer forms', () => {
  [
    ['192.168.1.5|vyx-kore-wa-desu|Office|18001', null, '192.168.1.5', 'Office', '18001'],
    ['::ffff:10.0.0.2|vyx-kore-wa-desu', 'vyx-kore-wa-desu', '10.0.0.2', '', ''],
    ['10.0.0.3|x vyx-kore-wa-desu name=Plant port=17999', 'x vyx-kore-wa-desu name=Plant port=17999', '10.0.0.3', 'Plant', '17999'],
    ['10.0.0.4|vyx-kore-wa-desu {"name":"Main \\"house\\"","port":18000}', 'vyx-kore-wa-desu {"name":"Main \\"house\\"","port":18000}', '10.0.0.4', 'Main "house"', '18000'],
    ['10.0.0.5|vyx-kore-wa-desu 99999', 'vyx-kore-wa-desu 99999', '10.0.0.5', '99999', ''],
    ['10.0.0.6|vyx-kore-wa-desu;name=Main office;address=10.0.0.6;port=18002;version=1.0', null, '10.0.0.6', 'Main office', '18002'],
    ['|vyx-kore-wa-desu;name=x;address=10.0.0.7', null, '10.0.0.7', 'x', '']
  ].forEach((c) => {
    const r = VX.parseDiscoveryAnswer(c[0], c[1] === null ? undefined : c[1]);
    assert.eq(r.address, c[2], c[0]);
    assert.eq(r.name, c[3], c[0]);
    assert.eq(r.port, c[4], c[0]);
  });
});
