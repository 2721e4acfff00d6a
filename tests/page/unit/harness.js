// A very small test harness for the page scripts. Tests may return a Promise. When every test has
// run, window.__unitResults holds {passed, failed, failures, names} as JSON for the runner.
(function () {
  'use strict';

  const tests = [];
  window.test = function (name, fn) { tests.push({ name, fn }); };

  function show(v) {
    try { return JSON.stringify(v); } catch (e) { return String(v); }
  }

  window.assert = {
    ok(value, message) {
      if (!value) throw new Error(message || 'expected a true value, got ' + show(value));
    },
    eq(actual, expected, message) {
      if (actual !== expected) throw new Error((message ? message + ': ' : '') + 'expected ' + show(expected) + ', got ' + show(actual));
    },
    deepEq(actual, expected, message) {
      if (show(actual) !== show(expected)) throw new Error((message ? message + ': ' : '') + 'expected ' + show(expected) + ', got ' + show(actual));
    },
    contains(text, part, message) {
      if (String(text).indexOf(part) < 0) throw new Error((message ? message + ': ' : '') + show(text) + ' does not contain ' + show(part));
    }
  };

  // Runs fn after the event loop has had `ms` milliseconds.
  window.after = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

  window.runTests = function () {
    const results = { passed: 0, failed: 0, failures: [], names: [] };
    let chain = Promise.resolve();
    tests.forEach((t) => {
      chain = chain.then(() => {
        let r;
        try {
          r = t.fn();
        } catch (e) {
          return Promise.reject(e);
        }
        return r;
      }).then(() => {
        results.passed++;
        results.names.push(t.name);
      }, (e) => {
        results.failed++;
        results.failures.push(t.name + ': ' + (e && e.message ? e.message : e));
      });
    });
    chain.then(() => {
      window.__unitResults = JSON.stringify(results);
      const out = document.getElementById('out');
      if (out) out.textContent = results.passed + ' passed, ' + results.failed + ' failed\n' + results.failures.join('\n');
    });
  };
})();
