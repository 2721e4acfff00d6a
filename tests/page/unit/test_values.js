test('validateValue accepts values that fit their type and normalises them', () => {
  [
    ['byte', '0', '0'], ['byte', '255', '255'], ['byte', ' 007 ', '7'], ['byte', '+12', '12'],
    ['uint', '4294967295', '4294967295'], ['uint', '0000', '0'],
    ['float', '21.5', '21.5'], ['float', '-0.001', '-0.001'], ['float', '1e10', '1e10'], ['float', '.5', '.5'],
    ['float', '3.4e38', '3.4e38'],
    ['string', '', ''], ['string', 'Living "room" <b>', 'Living "room" <b>']
  ].forEach((c) => {
    const r = VX.validateValue(c[0], c[1]);
    assert.ok(r.ok, c[0] + ' ' + JSON.stringify(c[1]) + ' should be accepted: ' + r.error);
    assert.eq(r.value, c[2], c[0] + ' ' + c[1]);
  });
});

test('validateValue refuses values that do not fit, with a sentence naming the limit', () => {
  [
    ['byte', '300', '255'], ['byte', '256', '255'], ['byte', '-1', 'negative'], ['byte', '1.5', 'whole number'],
    ['byte', '', 'whole number'], ['byte', 'abc', 'not a whole number'],
    ['uint', '4294967296', '4294967295'], ['uint', '99999999999999999999', '4294967295'], ['uint', '-5', 'negative'],
    ['float', 'abc', 'not a number'], ['float', '1,5', 'dot'], ['float', '1e39', 'range'], ['float', '', 'number'],
    ['float', 'NaN', 'not a number'], ['float', 'Infinity', 'not a number'],
    ['Float', '1', 'Unknown value type']
  ].forEach((c) => {
    const r = VX.validateValue(c[0], c[1]);
    assert.ok(!r.ok, c[0] + ' ' + JSON.stringify(c[1]) + ' should be refused');
    assert.contains(r.error, c[2], c[0] + ' ' + c[1]);
  });
});

test('validateValue bounds strings by their UTF-8 length', () => {
  assert.ok(VX.validateValue('string', 'x'.repeat(65000)).ok);
  assert.ok(!VX.validateValue('string', 'é'.repeat(32501)).ok, 'two bytes per é');
  assert.eq(VX.utf8Length('a€😀'), 1 + 3 + 4);
});

test('inferValueType guesses uint, float or string', () => {
  [['12', 'uint'], ['0', 'uint'], ['4294967296', 'float'], ['21.5', 'float'], ['-3', 'float'], ['1e3', 'float'],
   ['on', 'string'], ['', 'string'], ['1.2.3', 'string']].forEach((c) => assert.eq(VX.inferValueType(c[0]), c[1], c[0]));
});

test('CommandHistory walks back and forth and keeps the line being typed', () => {
  const h = new VX.CommandHistory(3);
  h.push('a'); h.push('b'); h.push('b'); h.push('c');
  assert.deepEq(h.items, ['a', 'b', 'c'], 'repeats are not stored twice');
  assert.eq(h.up('typing'), 'c');
  assert.eq(h.up('c'), 'b');
  assert.eq(h.up('b'), 'a');
  assert.eq(h.up('a'), 'a', 'stays at the oldest');
  assert.eq(h.down('a'), 'b');
  assert.eq(h.down('b'), 'c');
  assert.eq(h.down('c'), 'typing', 'the draft comes back');
  assert.eq(h.down('typing'), 'typing');
  h.push('d');
  assert.deepEq(h.items, ['b', 'c', 'd'], 'bounded to the last 3');
  const empty = new VX.CommandHistory(5);
  assert.eq(empty.up('x'), 'x');
});
