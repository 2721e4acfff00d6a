// The project model: the objects of the installation's user interface, kept as one JSON text in
// data/project/project.data. Reading is forgiving (unknown or broken entries are dropped with a
// warning), writing always produces the same shape.
(function (VX) {
  'use strict';

  VX.PROJECT_OBJECT_TYPES = ['label', 'button', 'switch', 'value', 'slider', 'image'];
  const MAX_OBJECTS = 2000;
  const MAX_SIZE = 10000;

  function int(v, lo, hi, dflt) {
    const n = Math.round(Number(v));
    if (!isFinite(n)) return dflt;
    return Math.max(lo, Math.min(hi, n));
  }

  function str(v, max) {
    return v === undefined || v === null ? '' : String(v).substring(0, max || 500);
  }

  // Where a background picture may come from: the project's own assets folder (the picture
  // dialog copies it there and stores its path relative to data/html/), or a picture held in the
  // file itself (a data: URL). A project file from elsewhere must not make the page fetch from a
  // web server or read a local file outside the project: anything else is refused.
  const ASSETS = '../project/assets/';
  const MAX_PATH = 1000;
  const MAX_DATA_URL = 8 * 1024 * 1024;
  const DATA_IMAGE = /^data:image\/(png|jpeg|gif|bmp|webp)(;base64)?,/i;

  // Returns {src, problem}: src is what an <img> may load ('' for none); problem says in words why
  // the value was refused ('' when it was not).
  VX.backgroundSource = function (value) {
    const v = typeof value === 'string' ? value : '';
    const refuse = (why) => ({ src: '', problem: why });
    if (v === '') return { src: '', problem: '' };
    if (/^data:/i.test(v)) {
      if (!DATA_IMAGE.test(v)) return refuse('it is a data: URL that is not a PNG, JPEG, GIF, BMP or WebP picture');
      if (v.length > MAX_DATA_URL) return refuse('the picture in the file is larger than 8 MB');
      return { src: v, problem: '' };
    }
    if (v.length > MAX_PATH) return refuse('the path is longer than ' + MAX_PATH + ' characters');
    if (/[\u0000-\u001f\u007f\\]/.test(v)) return refuse('the path holds control characters or backslashes');
    if (/^[a-z][a-z0-9+.-]*:/i.test(v) || v.indexOf('//') === 0) return refuse('it is a web or file address, not a picture of the project');
    // Older files name the folder from data/ ("/project/assets/...").
    const rel = v.indexOf('/project/assets/') === 0 ? '..' + v : v;
    if (rel.indexOf(ASSETS) !== 0) return refuse('it is not in the project\'s assets folder');
    const parts = rel.substring(ASSETS.length).split('/');
    if (parts.some((p) => p === '' || p === '.' || p === '..')) return refuse('the path leaves the project\'s assets folder');
    // Each name is encoded: "%", "#" or "?" in a file name are part of the name, never URL syntax.
    return { src: ASSETS + parts.map(encodeURIComponent).join('/'), problem: '' };
  };

  VX.newProject = function () {
    return { format: 'vyxdesk-project', version: 1, name: 'New project', width: 1280, height: 800, background: '', objects: [] };
  };

  VX.newProjectObject = function (project, type) {
    let n = 1;
    const ids = {};
    project.objects.forEach((o) => { ids[o.id] = true; });
    while (ids['obj' + n]) n++;
    return { id: 'obj' + n, type: VX.PROJECT_OBJECT_TYPES.indexOf(type) >= 0 ? type : 'label', label: type + ' ' + n, x: 20 + (n % 10) * 16, y: 20 + (n % 10) * 16, w: 160, h: 48, paramId: '' };
  };

  // text: JSON text (or an object). Returns {project, warnings}; project is null when the text is
  // not a project at all (warnings then say why).
  VX.readProject = function (text) {
    const warnings = [];
    let data = text;
    if (typeof text === 'string') {
      if (text.trim() === '') return { project: null, warnings: ['The project file is empty.'] };
      try {
        data = JSON.parse(text);
      } catch (e) {
        return { project: null, warnings: ['The project file is not valid JSON (' + e.message + ').'] };
      }
    }
    if (!data || typeof data !== 'object' || Array.isArray(data)) return { project: null, warnings: ['The project file does not hold a project object.'] };
    const p = VX.newProject();
    p.name = str(data.name, 200) || 'Unnamed project';
    p.width = int(data.width, 100, MAX_SIZE, 1280);
    p.height = int(data.height, 100, MAX_SIZE, 800);
    const background = VX.backgroundSource(data.background);
    if (background.problem) {
      warnings.push('The background picture "' + str(data.background, 80) + (String(data.background).length > 80 ? '…' : '') +
        '" was refused: ' + background.problem + '. Backgrounds come only from the project\'s assets folder.');
    }
    p.background = background.problem || typeof data.background !== 'string' ? '' : data.background;
    const objects = Array.isArray(data.objects) ? data.objects : [];
    if (data.objects !== undefined && !Array.isArray(data.objects)) warnings.push('"objects" is not a list; no object was read.');
    const seen = {};
    objects.slice(0, MAX_OBJECTS).forEach((o, i) => {
      if (!o || typeof o !== 'object') { warnings.push('Object ' + (i + 1) + ' is not an object and was skipped.'); return; }
      let id = str(o.id, 100).trim() || 'obj' + (i + 1);
      if (seen[id]) {
        let k = 2;
        while (seen[id + '_' + k]) k++;
        warnings.push('Object id "' + id + '" was used twice; the second one is now "' + id + '_' + k + '".');
        id = id + '_' + k;
      }
      seen[id] = true;
      const type = VX.PROJECT_OBJECT_TYPES.indexOf(o.type) >= 0 ? o.type : 'label';
      if (o.type !== type && o.type !== undefined) warnings.push('Object "' + id + '" has the unknown type "' + str(o.type, 40) + '"; it is shown as a label.');
      p.objects.push({
        id, type, label: str(o.label, 500),
        x: int(o.x, 0, MAX_SIZE, 0), y: int(o.y, 0, MAX_SIZE, 0),
        w: int(o.w, 1, MAX_SIZE, 100), h: int(o.h, 1, MAX_SIZE, 40),
        paramId: /^\d{0,10}$/.test(str(o.paramId, 20)) ? str(o.paramId, 20) : ''
      });
    });
    if (objects.length > MAX_OBJECTS) warnings.push('Only the first ' + MAX_OBJECTS + ' objects were read.');
    return { project: p, warnings };
  };

  VX.writeProject = function (p) {
    return JSON.stringify({
      format: 'vyxdesk-project', version: 1, name: p.name, width: p.width, height: p.height, background: p.background,
      objects: p.objects.map((o) => ({ id: o.id, type: o.type, label: o.label, x: o.x, y: o.y, w: o.w, h: o.h, paramId: o.paramId }))
    }, null, 2);
  };
})(window.VX = window.VX || {});
