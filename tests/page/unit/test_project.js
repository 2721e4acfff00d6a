test('readProject keeps a valid project and writeProject round-trips it', () => {
  const p = VX.newProject();
  p.objects.push(VX.newProjectObject(p, 'switch'));
  p.objects.push(VX.newProjectObject(p, 'value'));
  p.objects[1].paramId = '1001';
  const r = VX.readProject(VX.writeProject(p));
  assert.deepEq(r.warnings, []);
  assert.eq(VX.writeProject(r.project), VX.writeProject(p));
  assert.deepEq(r.project.objects.map((o) => o.id), ['obj1', 'obj2']);
});

test('readProject repairs what it can and says so', () => {
  const r = VX.readProject(JSON.stringify({
    name: 'x', width: 50, height: 'big', background: 'javascript:alert(1)',
    objects: [{ id: 'a', type: 'rocket', x: -5, y: 3.6, w: 0, h: 99999, paramId: 'abc' }, { id: 'a' }, 7, null]
  }));
  const p = r.project;
  assert.eq(p.width, 100, 'width clamped');
  assert.eq(p.height, 800, 'bad height replaced');
  assert.eq(p.background, '', 'script URLs are dropped');
  assert.eq(p.objects.length, 2);
  assert.deepEq([p.objects[0].type, p.objects[0].x, p.objects[0].y, p.objects[0].w, p.objects[0].h, p.objects[0].paramId], ['label', 0, 4, 1, 10000, '']);
  assert.eq(p.objects[1].id, 'a_2', 'duplicate ids are renamed');
  assert.eq(r.warnings.length, 4, r.warnings.join(' | '));
});

test('readProject refuses texts that are not projects', () => {
  ['', 'nope', '[1,2]', 'null', '"text"'].forEach((t) => {
    const r = VX.readProject(t);
    assert.eq(r.project, null, t);
    assert.ok(r.warnings.length === 1, t);
  });
});
