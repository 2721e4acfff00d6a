// Turning the bridge's progress reports into numbers and sentences for the progress bars.
(function (VX) {
  'use strict';

  VX.formatBytes = function (n) {
    const v = Number(n);
    if (!isFinite(v) || v < 0) return '–';
    if (v < 1024) return v + ' B';
    if (v < 1024 * 1024) return (v / 1024).toFixed(1) + ' KiB';
    if (v < 1024 * 1024 * 1024) return (v / (1024 * 1024)).toFixed(1) + ' MiB';
    return (v / (1024 * 1024 * 1024)).toFixed(2) + ' GiB';
  };

  function num(text) {
    const n = Number(text);
    return isFinite(n) && n >= 0 ? n : 0;
  }

  function clampPercent(p) {
    if (!isFinite(p) || p < 0) return 0;
    return p > 100 ? 100 : p;
  }

  // The configuration transfer's own texts (the library's), in words for people. The first that
  // matches wins; `step` is what runs, `why` is the reason of a failure.
  const TRANSFER_WORDS = [
    [/^Save Server MD5/, { step: 'Checking the server\'s copy' }],
    [/^Get Length of file/, { step: 'Asking the server for the size' }],
    [/^Donwload Data/, { step: 'Receiving' }],
    [/^Donwload End/, { step: 'Checking the received copy' }],
    [/Md5 do not match, you must download/, { why: 'the received copy differs from the server\'s database; download it again' }],
    [/^Delete Temporary Server File/, { step: 'Preparing the server' }],
    [/^Can not free temporary server resources/, { why: 'the server could not free its temporary file' }],
    [/^Check Client - Server MD5/, { step: 'Checking the server\'s copy' }],
    [/^Save Server Max Db Size/, { step: 'Checking the size the server accepts' }],
    [/^Ready to send the file/, { step: 'Stopping the server\'s logic, then sending' }],
    [/^Configuration file is too big/, { why: 'the file is larger than the server accepts' }],
    [/^Upload Data/, { step: 'Sending' }],
    [/^MD5 do not match!/, { why: 'the server\'s copy differs from the file sent' }],
    [/^Check Change DB/, { step: 'Replacing the database' }],
    [/^MD5 of new DB differ from source client file/, { why: 'the server\'s new database differs from the file sent' }],
    [/^Configuration file is empty/, { why: 'the file is empty' }],
    [/^The server wrote nothing of/, { why: 'the server took the blocks but wrote nothing of them' }],
    [/^The server answered the replacement for another file/, { why: 'the server answered for another file than the one sent' }],
    [/^The server ended the download with the unknown code/, { why: 'the server ended the download in a way this program does not know; no file was written' }],
    [/^The server answered that the copy is in sync, but none was named/, { why: 'the server said the copy was in sync without one to compare; no file was written' }],
    [/^Can not read file/, { why: 'the file cannot be read' }]
  ];

  VX.transferWords = function (info) {
    const i = String(info || '');
    for (let n = 0; n < TRANSFER_WORDS.length; n++) {
      if (TRANSFER_WORDS[n][0].test(i)) return TRANSFER_WORDS[n][1];
    }
    return {};
  };

  // Sentences for the texts the configuration transfer reports.
  function transferSentence(kind, ended, error, info) {
    const i = String(info || '');
    if (/Same, upload not necessary/.test(i)) return 'The server already has this database: nothing was uploaded.';
    if (/Database is synced/.test(i)) return 'This file already is the server\'s database: nothing was downloaded.';
    const words = VX.transferWords(i);
    if (!ended) return words.step ? words.step + '…' : kind === 'download' ? 'Downloading the configuration…' : 'Uploading the configuration…';
    if (error === 0) {
      if (kind === 'download') return 'Download complete: the configuration was saved and its MD5 checked.';
      return 'Upload complete: the server replaced its database.';
    }
    if (/^(Download|Upload) stopped by the user/.test(i)) return kind === 'download' ? 'Download cancelled: no file was written.' : 'Upload cancelled.';
    // the transfer's own reasons may start with its kind ("Download ended: ...")
    let why = words.why || i.replace(/^(Download|Upload) /, '');
    // "The upload did not start: ..." reads on after "Upload failed: " in lower case
    if (/^[A-Z][a-z]/.test(why)) why = why.charAt(0).toLowerCase() + why.slice(1);
    const text = why || ('error ' + error);
    return (kind === 'download' ? 'Download failed: ' : 'Upload failed: ') + text + (/[.!?]$/.test(text) ? '' : '.');
  }

  // report: the progress JSON of a configuration download or upload (object or JSON text).
  VX.describeTransfer = function (report) {
    const r = VX.parseAnswer(report);
    if (!r || typeof r !== 'object') return null;
    const isUpload = r.GetClientBytes !== undefined || r.GetSentBytes !== undefined;
    const kind = isUpload ? 'upload' : 'download';
    const total = num(isUpload ? r.GetClientBytes : r.GetServerBytes);
    const done = num(isUpload ? r.GetSentBytes : r.GetReceivedBytes);
    let percent = Number(r.GetPercentage);
    if (!isFinite(percent)) percent = total > 0 ? done * 100 / total : 0;
    const ended = String(r.IsEnd) === 'true';
    const error = Number(r.GetError) || 0;
    const info = r.GetInfo === undefined || r.GetInfo === null ? '' : String(r.GetInfo);
    // the server already had the same database: finished, with nothing moved
    const nothingToDo = ended && error === 0 && /Same, upload not necessary|Database is synced/.test(info);
    if (ended && error === 0) percent = 100;
    return {
      kind,
      total,
      done,
      percent: clampPercent(percent),
      ended,
      error,
      ok: ended && error === 0,
      nothingToDo,
      info,
      step: VX.transferWords(info).step || '',
      message: transferSentence(kind, ended, error, info),
      clientFile: String(r.GetClientFile || ''),
      clientMd5: String(r.GetClientMd5File || ''),
      serverMd5: String(r.GetServerMd5File || ''),
      // an upload that failed after it stopped the server's logic, which is not running now
      logicStopped: isUpload && ended && error !== 0 && String(r.LogicStopped) === 'true'
    };
  };

  // "1.2 MiB of 3.0 MiB (40 %)"
  VX.progressText = function (done, total, percent) {
    const p = clampPercent(Number(percent));
    if (!(total > 0)) return VX.formatBytes(done);
    return VX.formatBytes(done) + ' of ' + VX.formatBytes(total) + ' (' + (p === 100 || p === 0 ? p.toFixed(0) : p.toFixed(1)) + ' %)';
  };

  // Remaining time of long work from its rate so far. Times in milliseconds; the estimate waits
  // for a second of work and some progress, since the first moments say little about the rate.
  class Eta {
    constructor(startMs) {
      this.start = startMs;
    }

    // Seconds left (a whole number), or null while no honest estimate can be made.
    secondsLeft(done, total, nowMs) {
      const elapsed = nowMs - this.start;
      if (!(total > 0) || !(done > 0) || elapsed < 1000) return null;
      if (done >= total) return 0;
      return Math.ceil((total - done) * elapsed / done / 1000);
    }
  }
  VX.Eta = Eta;

  // "about 5 s left", "about 2 min left", "about 1 h 5 min left"; '' without an estimate.
  VX.remainingText = function (seconds) {
    if (seconds === null || seconds === undefined || !isFinite(seconds) || seconds < 0) return '';
    if (seconds === 0) return 'finishing';
    if (seconds < 60) return 'about ' + seconds + ' s left';
    const minutes = Math.round(seconds / 60);
    if (minutes < 60) return 'about ' + minutes + ' min left';
    return 'about ' + Math.floor(minutes / 60) + ' h ' + (minutes % 60) + ' min left';
  };

  // "1.2 MiB of 3.0 MiB (40 %), about 5 s left" while an estimate exists.
  VX.progressWithEta = function (eta, done, total, percent, nowMs) {
    const left = eta ? VX.remainingText(eta.secondsLeft(done, total, nowMs)) : '';
    return VX.progressText(done, total, percent) + (left ? ', ' + left : '');
  };

  const COPY_STEPS = {
    'copy in progress': 'Sending…',
    'MD5 verify': 'Checking the server\'s copy…',
    'complete': 'Copy complete: the server\'s copy is the same as the file.',
    'MD5 Error': 'The server\'s copy differs from the file: the copy is damaged.',
    'files done': 'Unpacked; handing the files to the server\'s web user…',
    'restarting logic': 'Restarting the logic engine…',
    'install complete': 'Install complete.',
    'download in progress': 'Receiving…',
    'download complete': 'Download complete.'
  };

  // report: the status JSON of a remote copy, a plug-in installation or a download.
  VX.describeCopy = function (report) {
    const r = VX.parseAnswer(report);
    if (!r || typeof r !== 'object' || typeof r.status !== 'string') return null;
    const status = r.status;
    const total = num(r.length);
    let done = num(r.copied);
    if (total > 0 && done > total) done = total;
    let percent = total > 0 ? done * 100 / total : 0;
    if (status === 'complete' || status === 'MD5 verify' || status === 'download complete' ||
        status === 'files done' || status === 'restarting logic' || status === 'install complete') percent = 100;
    // "error": the server refused a step, or the connection went; its info says why.
    const refused = status === 'error';
    const info = r.info === undefined || r.info === null ? '' : String(r.info);
    return {
      status,
      total,
      done,
      percent: clampPercent(percent),
      ended: refused || status === 'complete' || status === 'MD5 Error' || status === 'install complete' || status === 'download complete',
      failed: refused || status === 'MD5 Error',
      info,
      message: refused ? 'Copy stopped: ' + (info || 'the server refused it') + '.' : COPY_STEPS[status] || status
    };
  };

  // The steps of a plug-in installation in the order they arrive, for the step list: the status
  // that starts each step, and the step in words.
  VX.PLUGIN_STEPS = ['copy in progress', 'MD5 verify', 'complete', 'files done', 'restarting logic', 'install complete'];
  VX.PLUGIN_STEP_WORDS = ['Sending the archive', 'Checking the server\'s copy', 'Unpacking', 'Handing the files to the web user',
    'Restarting the logic engine', 'Installed'];
})(window.VX = window.VX || {});
