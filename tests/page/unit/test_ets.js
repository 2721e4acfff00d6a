const ETS_XML = '\uFEFF<?xml version="1.0" encoding="utf-8"?>' +
  '<KNX xmlns="http://knx.org/xml/project/21"><Project Id="P-0001"><Installations><Installation>' +
  '<GroupAddresses><GroupRanges>' +
  '<GroupRange Name="Lights"><GroupRange Name="Ground &amp; floor">' +
  '<GroupAddress Id="GA-2" Address="2050" Name="Status" DatapointType="DPST-1-11"/>' +
  '<GroupAddress Id="GA-1" Address="2049" Name="Kitchen &lt;main&gt;" DatapointType="DPST-1-1"/>' +
  '</GroupRange></GroupRange>' +
  '<GroupRange Name="Climate">' +
  '<GroupAddress Id="GA-3" Address="65535" Name="Top" DatapointType="DPT-9"/>' +
  '<GroupAddress Id="GA-4" Address="0" Name="Zero"/>' +
  '<GroupAddress Id="GA-5" Address="65536" Name="Too big"/>' +
  '<GroupAddress Id="GA-6" Name="No address"/>' +
  '<GroupAddress Id="GA-7" Address="1/2/3" Name="Text address"/>' +
  '<GroupAddress Id="GA-8" Address="300" Name="Two types" DatapointType="DPST-5-1 DPST-5-4"/>' +
  '</GroupRange></GroupRanges></GroupAddresses></Installation></Installations></Project></KNX>';

test('etsFormatAddress gives main/middle/sub', () => {
  [[0, '0/0/0'], [2049, '1/0/1'], [65535, '31/7/255'], [300, '0/1/44'], ['4097', '2/0/1']]
    .forEach((c) => assert.eq(VX.etsFormatAddress(c[0]), c[1], String(c[0])));
  [65536, -1, '1/2/3', '', 'x', '1.5'].forEach((v) => assert.eq(VX.etsFormatAddress(v), null, String(v)));
});

test('etsNormaliseDpt and etsDptName', () => {
  [['DPST-1-1', '1.001'], ['DPST-9-1', '9.001'], ['DPST-20-102', '20.102'], ['DPT-9', '9'], ['', ''],
   ['DPST-5-1 DPST-5-4', '5.001'], ['dpst-14-56', '14.056'], ['weird', 'weird']]
    .forEach((c) => assert.eq(VX.etsNormaliseDpt(c[0]), c[1], c[0]));
  assert.eq(VX.etsDptName('1.001'), 'Switch');
  assert.eq(VX.etsDptName('9'), '2-byte float');
  assert.eq(VX.etsDptName('9.999'), '2-byte float', 'unknown sub-type falls back to the main type');
  assert.eq(VX.etsDptName('999.1'), '');
  assert.eq(VX.etsDptName(''), '');
  assert.eq(VX.etsDptName('constructor'), '', 'a name from the project is no key into the table');
  [['9.001', '°C'], ['14.056', 'W'], ['5.001', '%'], ['1.001', ''], ['9', ''], ['9.999', ''], ['', ''], ['constructor', '']]
    .forEach((c) => assert.eq(VX.etsDptUnit(c[0]), c[1], c[0]));
});

test('etsDptSource names the linked object a type came from', () => {
  const from = (f) => ({ dpt: '1.008', dptFrom: f });
  assert.eq(VX.etsDptSource(from({ device: '1.1.7', deviceName: 'Button', number: 2, source: 'ComObjectInstanceRef' })), 'from object 1.1.7 #2');
  assert.eq(VX.etsDptSource(from({ device: '1.1.7', number: 0, source: 'ComObject' })), 'from object 1.1.7 #0');
  assert.eq(VX.etsDptSource(from({ device: '1.1.7', number: 3, source: 'ObjectSize' })), 'from the size of object 1.1.7 #3');
  assert.eq(VX.etsDptSource(from({ device: '', deviceName: 'Spare', number: -1, source: 'ComObjectRef' })), 'from object Spare');
  assert.eq(VX.etsDptSource(from(null)), '', 'the address\'s own type');
  assert.eq(VX.etsDptSource({ dpt: '1.001' }), '', 'a result without the member');
  assert.eq(VX.etsDptSource({ dpt: '', dptFrom: { device: '1.1.7', number: 1 } }), '', 'no type, no source');
});

test('etsParseProjectXml lists group addresses sorted, with names, types and ranges', () => {
  const r = VX.etsParseProjectXml(ETS_XML);
  assert.ok(r.ok, r.error);
  assert.deepEq(r.groupAddresses.map((g) => g.address), ['0/0/0', '0/1/44', '1/0/1', '1/0/2', '31/7/255']);
  const kitchen = r.groupAddresses[2];
  assert.eq(kitchen.name, 'Kitchen <main>');
  assert.eq(kitchen.dpt, '1.001');
  assert.eq(kitchen.dptName, 'Switch');
  assert.eq(kitchen.range, 'Lights / Ground & floor');
  assert.eq(r.groupAddresses[0].dpt, '', 'no type set');
  assert.contains(r.groupAddresses[1].note, 'several data point types');
});

test('etsParseProjectXml says what it skipped and why', () => {
  const r = VX.etsParseProjectXml(ETS_XML);
  assert.eq(r.skipped.length, 3);
  assert.deepEq(r.skipped.map((s) => s.what), ['Too big', 'No address', 'Text address']);
  assert.contains(r.skipped[0].why, '65536');
  assert.contains(r.skipped[1].why, 'no address');
});

test('etsParseProjectXml refuses broken XML with a reason instead of an empty table', () => {
  ['', '   ', '<KNX><unclosed></KNX>', 'PK\u0003\u0004 binary', '<?xml version="1.0"?>'].forEach((x) => {
    const r = VX.etsParseProjectXml(x);
    assert.ok(!r.ok, JSON.stringify(x));
    assert.ok(r.error.length > 5, JSON.stringify(x));
    assert.eq(r.groupAddresses.length, 0);
  });
  const none = VX.etsParseProjectXml('<KNX xmlns="http://knx.org/xml/project/20"><Project/></KNX>');
  assert.ok(none.ok);
  assert.eq(none.groupAddresses.length, 0);
});

test('etsAnalyseEntries finds projects and encrypted inner archives', () => {
  const a = VX.etsAnalyseEntries('knx_master.xml\nM-0083/\nM-0083/M-0083_A.xml\nP-0A1B/\nP-0A1B/0.xml\nP-0A1B/project.xml\nP-0002/project.xml\n');
  assert.deepEq(a.projects.map((p) => p.id), ['P-0002', 'P-0A1B']);
  assert.eq(a.projects[1].dataEntry, 'P-0A1B/0.xml');
  assert.eq(a.projects[1].infoEntry, 'P-0A1B/project.xml');
  assert.eq(a.projects[0].dataEntry, '', 'project without 0.xml');
  assert.ok(a.hasManufacturerData);
  assert.eq(a.names.length, 7);
  const p = VX.etsAnalyseEntries('knx_master.xml\r\nP-0A1B.signature\r\nP-0A1B.zip\r\n');
  assert.deepEq(p.projects, []);
  assert.deepEq(p.encrypted, ['P-0A1B.zip']);
  assert.deepEq(VX.etsAnalyseEntries('').names, []);
});

test('etsProjectName reads ProjectInformation', () => {
  assert.eq(VX.etsProjectName('<KNX xmlns="http://knx.org/xml/project/20"><Project><ProjectInformation Name="My &amp; house"/></Project></KNX>'), 'My & house');
  assert.eq(VX.etsProjectName('<broken'), '');
});

// An import result as the manager answers: a main range with a middle range, a second main
// range, and one address outside any range; addresses sorted by number.
function importResult(style) {
  return {
    project: { name: 'Haus', groupAddressStyle: style },
    groupRanges: [
      { name: 'Light "all"', depth: 1, start: 2048, end: 4095, address: '1' },
      { name: 'Kitchen', depth: 2, start: 2304, end: 2559, address: '1/1' },
      { name: 'Heat', depth: 1, start: 4096, end: 6143, address: '2' }
    ],
    groupAddresses: [
      { address: '0/0/7', name: 'Loose', description: '', dptRaw: '', secure: false, rangeIndex: -1 },
      { address: '1/1/1', name: 'Ceiling; main', description: 'over "table"', dptRaw: 'DPST-1-1', secure: true, rangeIndex: 1 },
      { address: '1/1/2', name: 'Status', description: '', dptRaw: 'DPST-1-11', secure: false, rangeIndex: 1 },
      { address: '2/0/1', name: 'Temp', description: '', dptRaw: 'DPST-9-1', secure: false, rangeIndex: 2 }
    ]
  };
}

test('etsGroupTree nests ranges by depth and puts each address into its range', () => {
  const t = VX.etsGroupTree(importResult('ThreeLevel'));
  assert.deepEq(t.roots.map((n) => n.range.name), ['Light "all"', 'Heat']);
  assert.deepEq(t.roots[0].children.map((n) => n.range.name), ['Kitchen']);
  assert.deepEq(t.roots[0].children[0].addresses.map((g) => g.address), ['1/1/1', '1/1/2']);
  assert.eq(t.roots[0].children[0].index, 1);
  assert.deepEq(t.roots[1].addresses.map((g) => g.address), ['2/0/1']);
  assert.deepEq(t.loose.map((g) => g.address), ['0/0/7']);
  assert.deepEq(VX.etsGroupTree({}).roots, []);
});

test('etsRangeExportAddress writes the levels the style has', () => {
  const main = { depth: 1, start: 2048 };
  const middle = { depth: 2, start: 2304 };
  assert.eq(VX.etsRangeExportAddress(main, 'ThreeLevel'), '1/-/-');
  assert.eq(VX.etsRangeExportAddress(middle, 'ThreeLevel'), '1/1/-');
  assert.eq(VX.etsRangeExportAddress(main, 'TwoLevel'), '1/-');
  assert.eq(VX.etsRangeExportAddress(middle, 'TwoLevel'), '');
  assert.eq(VX.etsRangeExportAddress(main, 'Free'), '');
});

test('etsGroupAddressCsv follows the layout of the ETS export', () => {
  const lines = VX.etsGroupAddressCsv(importResult('ThreeLevel')).split('\r\n');
  assert.deepEq(lines, [
    '"Group name";"Address";"Central";"Unfiltered";"Description";"DatapointType";"Security"',
    '"Light ""all""";"1/-/-";"";"";"";"";"Auto"',
    '"Kitchen";"1/1/-";"";"";"";"";"Auto"',
    '"Ceiling; main";"1/1/1";"";"";"over ""table""";"DPST-1-1";"On"',
    '"Status";"1/1/2";"";"";"";"DPST-1-11";"Auto"',
    '"Heat";"2/-/-";"";"";"";"";"Auto"',
    '"Temp";"2/0/1";"";"";"";"DPST-9-1";"Auto"',
    '"Loose";"0/0/7";"";"";"";"";"Auto"',
    ''
  ]);
  const free = VX.etsGroupAddressCsv(importResult('Free')).split('\r\n');
  assert.eq(free.length, 6, 'free style has no range rows');
});

test('etsFileName keeps file names harmless', () => {
  assert.eq(VX.etsFileName('Haus Müller & Co'), 'Haus M_ller _ Co');
  assert.eq(VX.etsFileName('../../etc/passwd'), '_.._etc_passwd');
  assert.eq(VX.etsFileName(''), 'project');
  assert.eq(VX.etsFileName('...'), 'project');
});
