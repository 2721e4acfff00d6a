// Project: new, open, save and save as of the project file, the background picture, and a simple
// editor of the project's objects. Every change is written to data/project/project.data.
(function (VX) {
  'use strict';

  const el = VX.el;
  const DATA_FILE = '../project/project.data'; // relative to data/html/
  const EXT = 'vyxp';

  let ui = null;
  let project = VX.newProject();
  let selected = null;
  let filePath = '';
  let dirty = false;
  let loadedOnce = false;

  function setDirty(on) {
    dirty = on;
    VX.setText(ui.fileInfo, (filePath ? filePath : 'not saved to a project file yet') + (dirty ? ' — unsaved changes' : ''));
  }

  const writeWorking = VX.debounce(() => {
    const r = VX.desk.tryCall('writeFile', DATA_FILE, VX.writeProject(project));
    if (r.ok && r.value === false) VX.setStatus(ui.status, 'error', 'data/project/project.data could not be written.');
  }, 300);

  function changed() {
    setDirty(true);
    writeWorking();
  }

  // ---- Rendering ---------------------------------------------------------------------------
  function scale() {
    const box = ui.preview.parentNode.clientWidth || 600;
    return Math.min(1, (box - 2) / project.width);
  }

  function renderPreview() {
    const s = scale();
    const stage = VX.clear(ui.preview);
    stage.style.width = Math.round(project.width * s) + 'px';
    stage.style.height = Math.round(project.height * s) + 'px';
    const background = VX.backgroundSource(project.background);
    if (background.src) stage.appendChild(el('img', { class: 'stage-bg', src: background.src, alt: '', draggable: 'false' }));
    project.objects.forEach((o) => {
      const node = el('div', {
        class: 'stage-obj stage-' + o.type + (o.id === selected ? ' selected' : ''), tabindex: '0',
        title: o.id + (o.paramId ? ' — parameter ' + o.paramId : '')
      }, [el('span', { text: o.label || o.id })]);
      node.style.left = Math.round(o.x * s) + 'px';
      node.style.top = Math.round(o.y * s) + 'px';
      node.style.width = Math.max(4, Math.round(o.w * s)) + 'px';
      node.style.height = Math.max(4, Math.round(o.h * s)) + 'px';
      node.addEventListener('mousedown', (e) => startDrag(e, o));
      node.addEventListener('focus', () => { if (selected !== o.id) select(o.id, true); });
      node.addEventListener('keydown', (e) => nudge(e, o));
      stage.appendChild(node);
    });
    VX.setText(ui.size, project.width + ' × ' + project.height + ' px' + (s < 1 ? ', shown at ' + Math.round(s * 100) + ' %' : ''));
  }

  function renderList() {
    const list = VX.clear(ui.list);
    if (!project.objects.length) list.appendChild(el('li', { class: 'muted', text: 'No object yet: add one below.' }));
    project.objects.forEach((o) => {
      list.appendChild(el('li', {
        class: o.id === selected ? 'selected' : '', tabindex: '0',
        onclick: () => select(o.id),
        onkeydown: (e) => { if (e.keyCode === 13 || e.keyCode === 32) { e.preventDefault(); select(o.id); } }
      }, [el('span', { class: 'mono', text: o.id }), el('span', { class: 'muted', text: o.type }), el('span', { text: o.label })]));
    });
  }

  function renderProps() {
    const o = project.objects.filter((x) => x.id === selected)[0];
    ui.props.hidden = !o;
    ui.noSelection.hidden = !!o;
    if (!o) return;
    Object.keys(ui.fields).forEach((k) => {
      if (document.activeElement !== ui.fields[k]) ui.fields[k].value = String(o[k]);
    });
  }

  function renderAll() {
    ui.name.value = project.name;
    ui.width.value = String(project.width);
    ui.height.value = String(project.height);
    renderList();
    renderPreview();
    renderProps();
  }

  function select(id, fromStage) {
    selected = id;
    renderList();
    if (!fromStage) renderPreview();
    else Array.prototype.forEach.call(ui.preview.querySelectorAll('.stage-obj'), (n, i) => {
      n.classList.toggle('selected', project.objects[i] && project.objects[i].id === id);
    });
    renderProps();
  }

  // ---- Editing -----------------------------------------------------------------------------
  function setProp(key) {
    const o = project.objects.filter((x) => x.id === selected)[0];
    if (!o) return;
    const input = ui.fields[key];
    const v = input.value;
    if (key === 'x' || key === 'y' || key === 'w' || key === 'h') {
      const n = Number(v);
      if (!/^\d{1,5}$/.test(v.trim()) || (key === 'w' || key === 'h') && n < 1) {
        VX.setStatus(ui.status, 'error', key + ' must be a whole number' + (key === 'w' || key === 'h' ? ' of at least 1.' : ' of 0 or more.'));
        return;
      }
      o[key] = n;
    } else if (key === 'paramId') {
      if (!/^\d{0,10}$/.test(v.trim())) { VX.setStatus(ui.status, 'error', 'The parameter id is a number (or empty).'); return; }
      o.paramId = v.trim();
    } else if (key === 'id') {
      const id = v.trim();
      if (!id) { VX.setStatus(ui.status, 'error', 'The id cannot be empty.'); return; }
      if (id !== o.id && project.objects.some((x) => x.id === id)) { VX.setStatus(ui.status, 'error', 'Another object already has the id "' + id + '".'); return; }
      o.id = id;
      selected = id;
    } else {
      o[key] = v;
    }
    VX.setStatus(ui.status, '', '');
    changed();
    renderList();
    renderPreview();
  }

  function addObject() {
    const o = VX.newProjectObject(project, ui.newType.value);
    project.objects.push(o);
    selected = o.id;
    changed();
    renderAll();
  }

  // The Delete key asks first: a key press on the preview is easily made by mistake.
  function askRemoveObject(o) {
    VX.confirm('Delete object?', 'Delete the object "' + o.id + '"' + (o.label ? ' (' + o.label + ')' : '') + ' from the project?',
      'Delete', () => { if (selected === o.id) removeObject(); }, true);
  }

  // Where an object may be: wholly on the canvas, or at its top left when it is larger.
  function clampInside(o, x, y) {
    return [Math.max(0, Math.min(project.width - o.w, x)), Math.max(0, Math.min(project.height - o.h, y))];
  }

  function removeObject() {
    const i = project.objects.findIndex((x) => x.id === selected);
    if (i < 0) return;
    project.objects.splice(i, 1);
    selected = project.objects.length ? project.objects[Math.min(i, project.objects.length - 1)].id : null;
    changed();
    renderAll();
  }

  function startDrag(e, o) {
    if (e.button !== 0) return;
    e.preventDefault();
    select(o.id, true);
    const s = scale();
    const start = { mx: e.clientX, my: e.clientY, x: o.x, y: o.y };
    function move(ev) {
      const p = clampInside(o, Math.round(start.x + (ev.clientX - start.mx) / s), Math.round(start.y + (ev.clientY - start.my) / s));
      o.x = p[0];
      o.y = p[1];
      const node = ui.preview.querySelectorAll('.stage-obj')[project.objects.indexOf(o)];
      if (node) { node.style.left = Math.round(o.x * s) + 'px'; node.style.top = Math.round(o.y * s) + 'px'; }
    }
    function up() {
      document.removeEventListener('mousemove', move);
      document.removeEventListener('mouseup', up);
      if (o.x !== start.x || o.y !== start.y) { changed(); renderProps(); }
    }
    document.addEventListener('mousemove', move);
    document.addEventListener('mouseup', up);
  }

  function nudge(e, o) {
    const step = e.shiftKey ? 10 : 1;
    const d = { 37: [-step, 0], 38: [0, -step], 39: [step, 0], 40: [0, step] }[e.keyCode];
    if (e.keyCode === 46) { e.preventDefault(); askRemoveObject(o); return; }
    if (!d) return;
    e.preventDefault();
    const p = clampInside(o, o.x + d[0], o.y + d[1]);
    if (p[0] === o.x && p[1] === o.y) return;
    o.x = p[0];
    o.y = p[1];
    changed();
    renderPreview();
    renderProps();
    const node = ui.preview.querySelectorAll('.stage-obj')[project.objects.indexOf(o)];
    if (node) node.focus();
  }

  // ---- Files -------------------------------------------------------------------------------
  function useProject(p, warnings) {
    project = p;
    selected = p.objects.length ? p.objects[0].id : null;
    renderAll();
    if (warnings && warnings.length) VX.setStatus(ui.status, 'info', 'Opened with remarks: ' + warnings.slice(0, 3).join(' ') + (warnings.length > 3 ? ' (and ' + (warnings.length - 3) + ' more)' : ''));
  }

  function readWorking() {
    const r = VX.desk.tryCall('readFile', DATA_FILE);
    if (!r.ok) return { project: null, warnings: [r.error] };
    if (!r.value) return { project: null, warnings: ['data/project/project.data is missing or empty.'] };
    return VX.readProject(String(r.value));
  }

  function guard(action, what) {
    if (!dirty) { action(); return; }
    VX.confirm('Discard unsaved changes?', 'The project has changes that are not saved to a project file. ' + what, 'Discard changes', action, true);
  }

  function newProject() {
    guard(() => {
      const r = VX.desk.tryCall('clearProject');
      if (!r.ok) { VX.setStatus(ui.status, 'error', r.error); return; }
      filePath = '';
      useProject(VX.newProject(), []);
      writeWorking();
      setDirty(false);
      VX.setStatus(ui.status, 'ok', 'New empty project.');
    }, 'A new project replaces the working folder.');
  }

  function openProject() {
    guard(() => {
      const r = VX.desk.tryCall('loadProject', '', '', EXT);
      if (!r.ok) { VX.setStatus(ui.status, 'error', r.error); return; }
      const res = VX.parseAnswer(r.value);
      if (!res) { VX.setStatus(ui.status, 'error', 'The project file could not be opened (it is not a project database).'); return; }
      if (res.status === 'cancel') { VX.setStatus(ui.status, 'info', 'Open cancelled.'); return; }
      if (res.status !== 'ok') { VX.setStatus(ui.status, 'error', 'The project could not be opened' + (res.message ? ': ' + res.message : '.')); return; }
      const read = readWorking();
      if (!read.project) { VX.setStatus(ui.status, 'error', 'The project file holds no readable objects: ' + read.warnings.join(' ')); return; }
      filePath = String(res.path || '');
      useProject(read.project, read.warnings);
      setDirty(false);
      if (!read.warnings.length) VX.setStatus(ui.status, 'ok', 'Opened ' + (res.name || filePath) + '.');
    }, 'Opening a project replaces the working folder.');
  }

  function save(asNew) {
    const r = VX.desk.tryCall('saveProject', VX.writeProject(project), asNew ? '' : filePath, '', EXT);
    if (!r.ok) { VX.setStatus(ui.status, 'error', r.error); return; }
    const res = VX.parseAnswer(r.value);
    if (!res) { VX.setStatus(ui.status, 'error', 'The manager gave no answer to the save.'); return; }
    if (res.status === 'cancel') {
      VX.setStatus(ui.status, res.message ? 'error' : 'info', res.message ? 'Not saved: ' + res.message : 'Save cancelled.');
      return;
    }
    if (res.status !== 'ok') { VX.setStatus(ui.status, 'error', 'Not saved: ' + (res.message || 'unknown error') + '.'); return; }
    filePath = String(res.path || filePath);
    setDirty(false);
    VX.setStatus(ui.status, 'ok', 'Saved to ' + filePath + (asNew ? '' : ' (the previous version is kept as ' + VX.baseName(filePath) + '_old)') + '.');
  }

  function chooseBackground() {
    const r = VX.desk.tryCall('selectImage', String(project.width), String(project.height));
    if (!r.ok) { VX.setStatus(ui.status, 'error', r.error); return; }
    const text = String(r.value || '');
    if (!text) { VX.setStatus(ui.status, 'info', 'No picture chosen.'); return; }
    const parts = text.split(',');
    const h = Number(parts.pop());
    const w = Number(parts.pop());
    const background = VX.backgroundSource(parts.join(','));
    if (background.problem) { VX.setStatus(ui.status, 'error', 'The picture was not used: ' + background.problem + '.'); return; }
    project.background = parts.join(',');
    changed();
    renderPreview();
    VX.setStatus(ui.status, 'ok', 'Background imported' + (w > 0 && h > 0 ? ' (' + w + ' × ' + h + ' px' + (w !== project.width || h !== project.height ? ', the project is ' + project.width + ' × ' + project.height : '') + ')' : '') + '.');
  }

  function setCanvasSize() {
    const w = ui.width.value.trim(), h = ui.height.value.trim();
    if (!/^\d{3,5}$/.test(w) || !/^\d{3,5}$/.test(h) || Number(w) > 10000 || Number(h) > 10000) {
      VX.setStatus(ui.status, 'error', 'Width and height are whole numbers from 100 to 10000.');
      return;
    }
    project.width = Number(w);
    project.height = Number(h);
    changed();
    renderPreview();
  }

  VX.registerView({
    id: 'project',
    title: 'Project',
    subtitle: 'The user interface objects of the installation and their background picture.',
    build(root) {
      ui = {};
      ui.status = VX.statusLine();
      ui.fileInfo = el('span', { class: 'mono small' });
      ui.name = VX.input({ 'aria-label': 'Project name' });
      ui.name.addEventListener('change', () => { project.name = ui.name.value.trim() || 'Unnamed project'; changed(); });
      ui.width = VX.input({ class: 'input input-port' });
      ui.height = VX.input({ class: 'input input-port' });
      ui.width.addEventListener('change', setCanvasSize);
      ui.height.addEventListener('change', setCanvasSize);
      ui.list = el('ul', { class: 'obj-list', 'aria-label': 'Objects' });
      ui.newType = VX.select(VX.PROJECT_OBJECT_TYPES, { 'aria-label': 'Type of the new object' });
      ui.preview = el('div', { class: 'stage' });
      ui.size = el('span', { class: 'muted small' });
      ui.fields = {
        id: VX.input(), type: VX.select(VX.PROJECT_OBJECT_TYPES), label: VX.input(),
        x: VX.input({ class: 'input input-num' }), y: VX.input({ class: 'input input-num' }),
        w: VX.input({ class: 'input input-num' }), h: VX.input({ class: 'input input-num' }),
        paramId: VX.input({ placeholder: 'none' })
      };
      Object.keys(ui.fields).forEach((k) => ui.fields[k].addEventListener('change', () => setProp(k)));
      ui.noSelection = el('p', { class: 'muted', text: 'Select an object in the list or in the preview.' });
      ui.props = el('div', { hidden: true }, [
        VX.row([VX.field('Id', ui.fields.id), VX.field('Type', ui.fields.type)], 'row-fields'),
        VX.row([VX.field('Text', ui.fields.label)], 'row-fields'),
        VX.row([VX.field('X', ui.fields.x), VX.field('Y', ui.fields.y)], 'row-fields'),
        VX.row([VX.field('Width', ui.fields.w), VX.field('Height', ui.fields.h)], 'row-fields'),
        VX.row([VX.field('Parameter id', ui.fields.paramId)], 'row-fields'),
        VX.row([VX.button('Delete object', removeObject, 'danger')])
      ]);
      root.appendChild(VX.panel('', [
        VX.row([
          VX.button('New', newProject), VX.button('Open…', openProject), VX.button('Save', () => save(!filePath), 'primary'),
          VX.button('Save as…', () => save(true)), el('span', { class: 'sep' }), VX.button('Background picture…', chooseBackground),
          el('span', { class: 'sep' }), VX.field('Name', ui.name), VX.field('Width', ui.width), VX.field('Height', ui.height)
        ], 'toolbar'),
        VX.row([el('span', { class: 'muted small', text: 'File:' }), ui.fileInfo]),
        ui.status
      ]));
      root.appendChild(el('div', { class: 'columns' }, [
        el('div', { class: 'col col-side' }, [
          VX.panel('Objects', [ui.list, VX.row([ui.newType, VX.button('Add', addObject, 'primary')])])
        ]),
        el('div', { class: 'col' }, [VX.panel('Preview', [el('div', { class: 'stage-box' }, [ui.preview]), ui.size])]),
        el('div', { class: 'col col-side' }, [VX.panel('Properties', [ui.noSelection, ui.props])])
      ]));
      renderAll();
      setDirty(false);
    },
    onShow() {
      if (!loadedOnce && VX.desk.present()) {
        loadedOnce = true;
        const read = readWorking();
        if (read.project) useProject(read.project, read.warnings);
      }
      renderPreview();
    }
  });
})(window.VX = window.VX || {});
