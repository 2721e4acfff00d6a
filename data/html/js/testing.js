// The page's one test interface, VX.testing. Tests drive the page through its controls (clicks,
// typed text, keys); only what a control cannot give a test comes through here:
//
//   VX.testing.backup.downloadTo(path)   "Download backup…" once its save dialog chose path
//   VX.testing.backup.uploadFrom(path)   "Upload and restore…" once its open dialog chose path
//                                        (the confirmation is still asked in the page)
//   VX.testing.ets.load(path)            "Open project…" once its dialog chose path
//   VX.testing.ets.openWithPassword()    the password form's Open, whatever is typed in it
//   VX.testing.ets.csv()                 the text "Export CSV…" would write
//   VX.testing.parameters.model          the parameters received: Map id → {id, value, ...}
//   VX.testing.parameters.stats          live-update counts: changes pushed, batches taken
//   VX.testing.parameters.select(id)     selects a row that may be scrolled out of view
//   VX.testing.monitor.records           what the bus monitor holds, oldest first (at most
//                                        VX.testing.monitor.RING_SIZE)
//   VX.testing.servers.renders           how often the found servers' table was drawn
//   VX.testing.servers.found             how many servers the search keeps
//   VX.testing.waiting()                 how many bridge requests wait for an answer
//   VX.testing.timeouts                  the request time-outs (VX.desk.TIMEOUTS); a test may
//                                        shorten one to see a request time out
//
// Views hand their entries over with VX.testing.provide(area, entries); nothing else of a view is
// put on the global object.
(function (VX) {
  'use strict';

  const testing = {
    provide(area, entries) {
      if (area === 'provide' || area === 'waiting' || area === 'timeouts') throw new Error('reserved test area ' + area);
      testing[area] = entries;
    },
    waiting: () => VX.desk.waiting(),
    timeouts: VX.desk.TIMEOUTS
  };
  VX.testing = testing;
})(window.VX = window.VX || {});
