test('restorePlan says what a restore will do', () => {
  const now = Date.UTC(2026, 11, 10, 12, 0, 0);
  const dec1 = Date.UTC(2026, 11, 1, 9, 30, 0) / 1000;
  const A = 'a'.repeat(32), B = 'b'.repeat(32), C = 'c'.repeat(32);
  const cases = [
    // file, live, newest copy, kind, backup first, words the user reads
    [A, A.toUpperCase(), { md5: B, time: dec1 }, 'same', false, 'nothing will be sent'],
    [A, B, { md5: C, time: dec1 }, 'changed', true, 'has changed since your last backup of 1 Dec: back it up first?'],
    [A, B, { md5: B.toUpperCase(), time: dec1 }, 'backedUp', false, 'the same as your last backup of 1 Dec'],
    [A, B, null, 'noBackup', true, 'no backup of this server'],
    [A, '', { md5: A, time: dec1 }, 'unknown', true, 'could not be read']
  ];
  cases.forEach((c) => {
    const plan = VX.restorePlan(c[0], c[1], c[2], 'old.db', now);
    assert.eq(plan.kind, c[3], c[3]);
    assert.eq(plan.backupFirst, c[4], c[3] + ' backup first');
    assert.eq(plan.send, c[3] !== 'same', c[3] + ' sends');
    assert.contains(plan.text, c[5]);
    if (c[3] !== 'same') assert.contains(plan.text, 'replaces it with old.db');
  });
  assert.eq(VX.vaultDayText(Date.UTC(2025, 0, 5, 12) / 1000, now), '5 Jan 2025', 'another year is named');
});

test('vault ages and sizes read as a person says them', () => {
  [[0, 'just now'], [59, 'just now'], [600, '10 min'], [3 * 3600, '3 h'], [3 * 86400, '3 days'], [-5, 'just now']]
    .forEach((c) => assert.eq(VX.vaultAgeText(c[0]), c[1], String(c[0])));
  [[512, '512 B'], [65536, '64.0 KiB'], [3 * 1048576, '3.0 MiB']].forEach((c) => assert.eq(VX.sizeText(c[0]), c[1]));
  assert.eq(VX.vaultAnswer('{"copies":[]}').copies.length, 0);
  assert.eq(VX.vaultAnswer('not json'), null);
  assert.eq(VX.vaultAnswer('"text"'), null);
});

test('vault settings fall back to their defaults when unset or damaged', () => {
  const saved = window.localStorage.getItem('vyx.vault.keep');
  window.localStorage.removeItem('vyx.vault.keep');
  assert.eq(VX.vaultKeep(), 10, 'unset');
  window.localStorage.setItem('vyx.vault.keep', 'lots');
  assert.eq(VX.vaultKeep(), 10, 'not a number');
  VX.setVaultKeep(0);
  assert.eq(VX.vaultKeep(), 0, 'zero keeps all');
  if (saved === null) window.localStorage.removeItem('vyx.vault.keep');
  else window.localStorage.setItem('vyx.vault.keep', saved);
});
