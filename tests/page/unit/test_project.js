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
  assert.eq(p.background, '', 'script URLs are refused');
  assert.eq(p.objects.length, 2);
  assert.deepEq([p.objects[0].type, p.objects[0].x, p.objects[0].y, p.objects[0].w, p.objects[0].h, p.objects[0].paramId], ['label', 0, 4, 1, 10000, '']);
  assert.eq(p.objects[1].id, 'a_2', 'duplicate ids are renamed');
  assert.eq(r.warnings.length, 5, r.warnings.join(' | '));
});

test('readProject refuses texts that are not projects', () => {
  ['', 'nope', '[1,2]', 'null', '"text"'].forEach((t) => {
    const r = VX.readProject(t);
    assert.eq(r.project, null, t);
    assert.ok(r.warnings.length === 1, t);
  });
});

// A project file from elsewhere must not make the page fetch from the network or read local files.
test('backgrounds come only from the project assets or a picture in the file', () => {
  const refused = [
    'http://127.0.0.1:9/bg.png', 'https://example.invalid/bg.png', '//127.0.0.1/bg.png', 'file:///etc/passwd',
    'FILE:/home/user/x.png', 'javascript:alert(1)', ' javascript:alert(1)', 'data:text/html,<script>alert(1)</script>',
    'data:image/svg+xml,<svg onload="alert(1)"/>', '../project/assets/../../../../etc/passwd', '../project/assets/img/../../x.png',
    '../project/assets/./x.png', '../project/assets/', '../project/x.png', 'img/bg.png', '/etc/passwd',
    '../project/assets/img\\..\\..\\x.png', '../project/assets/a\nb.png', 'qrc:/html/x.png', 'about:blank'
  ];
  refused.forEach((v) => {
    const b = VX.backgroundSource(v);
    assert.eq(b.src, '', v);
    assert.ok(b.problem.length > 0, v);
    const r = VX.readProject(JSON.stringify({ name: 'x', background: v, objects: [] }));
    assert.eq(r.project.background, '', v);
    assert.eq(r.warnings.length, 1, v);
    assert.contains(r.warnings[0], 'was refused', v);
  });
  const kept = [
    ['', ''],
    ['../project/assets/img/backgrounds/R1280x800_house.png', '../project/assets/img/backgrounds/R1280x800_house.png'],
    ['../project/assets/img/backgrounds/R1280x800_a #1 100%?.png', '../project/assets/img/backgrounds/R1280x800_a%20%231%20100%25%3F.png'],
    ['/project/assets/img/old.png', '../project/assets/img/old.png'],
    ['data:image/png;base64,iVBORw0KGgo=', 'data:image/png;base64,iVBORw0KGgo=']
  ];
  kept.forEach((c) => {
    assert.deepEq(VX.backgroundSource(c[0]), { src: c[1], problem: '' }, c[0]);
    const r = VX.readProject(JSON.stringify({ name: 'x', background: c[0], objects: [] }));
    assert.deepEq([r.project.background, r.warnings], [c[0], []], c[0]);
  });
  assert.eq(VX.readProject(JSON.stringify({ name: 'x', background: 42 })).project.background, '');
});
