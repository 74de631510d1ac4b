// An entry's reference choice: the candidates of its folder with their
// picture size, frame rate and codec (marked when they differ from the
// recording), a file of the user's choosing, or none with an optional donor;
// and a file dropped on the entry, which becomes the reference or the donor.
'use strict';

var Torvelin = window.Torvelin || (window.Torvelin = {});

Torvelin.refs = (function () {
  var el = Torvelin.fmt.el;
  var fmt = Torvelin.fmt;
  var CUSTOM = 'custom';
  var NOREF = 'none';

  function optionText(ref, i) {
    var info = fmt.videoInfo(ref.info);
    return String(ref.name) + ' — ' + (info ? info + ' · ' : '') + fmt.gb(ref.size) +
      (ref.match === false ? ' · 설정 다름' : '') + (i === 0 ? ' (가장 가까운 시간)' : '');
  }

  // The candidate to preselect: the closest in time that is not known to
  // differ. When every candidate differs, none: a reference of other
  // settings fails the recovery, one without a reference does not.
  function preselect(refs) {
    if (!refs.length) return NOREF;
    var i = refs.findIndex(function (r) { return r.match !== false; });
    return i >= 0 ? String(i) : NOREF;
  }

  // A field for a file path with a "찾아보기" button that asks the native
  // side for a file chooser; Enter in the field starts the recovery.
  function pathField(entry, id, label, placeholder, donor) {
    var input = el('input', {
      type: 'text', id: id, class: 'input', spellcheck: 'false', autocomplete: 'off', placeholder: placeholder
    });
    var browse = el('button', { type: 'button', class: 'btn browse' }, '찾아보기');
    input.addEventListener('keydown', function (event) {
      if (event.key === 'Enter') { event.preventDefault(); entry.begin(); }
    });
    browse.addEventListener('click', function () { pick(entry, input, browse, donor); });
    var box = el('div', { class: 'path-field' },
      el('label', { for: id, class: 'sub-label' }, label),
      el('div', { class: 'path-row' }, input, browse));
    return { box: box, input: input };
  }

  function pick(entry, input, browse, donor) {
    if (browse.getAttribute('aria-disabled') === 'true') return;
    browse.setAttribute('aria-disabled', 'true');
    var args = { rsv: String(entry.rsv.path || '') };
    if (donor) args.donor = true;
    Torvelin.bridge.request('pick', args).then(function (data) {
      if (data && typeof data.path === 'string' && data.path) {
        input.value = data.path;
        entry.refusal.replaceChildren();
        entry.changed();
      } else if (data && typeof data.error === 'string') {
        entry.refuse(data.error, '');
      }
    }, function () {
      entry.refuse('앱과 연결되어 있지 않아 파일을 고를 수 없습니다.', '');
    }).then(function () {
      browse.removeAttribute('aria-disabled');
      input.focus();
    });
  }

  // Builds the reference cell of `entry` and sets entry.ref* fields.
  function build(entry, index) {
    var refs = fmt.list(entry.rsv.refs);
    var select = el('select', { id: 'ref-' + index, class: 'select', 'aria-describedby': 'ref-note-' + index });
    refs.forEach(function (ref, i) { select.appendChild(el('option', { value: String(i) }, optionText(ref, i))); });
    select.appendChild(el('option', { value: CUSTOM }, '다른 파일 고르기…'));
    select.appendChild(el('option', { value: NOREF }, '참조 없이 복구'));
    select.value = preselect(refs);

    var custom = pathField(entry, 'ref-path-' + index, '참조 파일', '참조 파일의 전체 경로 (예: …/CLIP/C0002.MP4)', false);
    var donor = pathField(entry, 'donor-' + index, '같은 카메라로 찍은 다른 파일 (선택)', '없으면 비워 두세요', true);
    var norefBox = el('div', { class: 'noref' },
      el('p', { class: 'noref-help', id: 'noref-help-' + index },
        '참조 없이 복구하면 녹화 자체에서 영상을 되살리지만 밝기와 색이 원본과 다를 수 있습니다. ' +
        '같은 카메라로 찍은 다른 파일이 있으면 아래에서 고르거나 이 항목 위로 끌어다 놓으세요.'),
      donor.box);
    donor.input.setAttribute('aria-describedby', 'noref-help-' + index);
    var cell = el('div', { class: 'field' });
    if (!refs.length) {
      cell.appendChild(el('p', { class: 'notice' },
        '이 폴더에서 참조 파일(같은 카메라·같은 설정으로 끝까지 녹화된 MP4·MOV·MXF)을 찾지 못했습니다.'));
    }
    entry.refNote = el('p', { class: 'vol-note', id: 'ref-note-' + index });
    cell.append(select, entry.refNote, custom.box, norefBox);
    select.addEventListener('change', function () {
      entry.dropped = '';
      showMode(entry);
      if (select.value === CUSTOM) custom.input.focus();
      entry.refusal.replaceChildren();
      entry.changed();
    });
    entry.refSelect = select;
    entry.pathInput = custom.input;
    entry.pathBox = custom.box;
    entry.donorInput = donor.input;
    entry.norefBox = norefBox;
    return cell;
  }

  function showMode(entry) {
    var mode = entry.refSelect.value;
    entry.pathBox.hidden = mode !== CUSTOM;
    entry.norefBox.hidden = mode !== NOREF;
    var ref = fmt.list(entry.rsv.refs)[Number(mode)];
    var mine = fmt.videoInfo(entry.rsv.info);
    var text = entry.dropped;
    var warn = false;
    if (ref && ref.match === false) {
      text = '이 참조 파일은 녹화와 설정이 다릅니다' + (mine ? ' (녹화: ' + mine + ')' : '') + '. 같은 설정으로 찍은 파일을 고르세요.';
      warn = true;
    } else if (!text && mode === NOREF && fmt.list(entry.rsv.refs).length && preselect(entry.rsv.refs) === NOREF) {
      text = '후보 파일이 모두 녹화와 설정이 달라' + (mine ? ' (녹화: ' + mine + ')' : '') + ' 참조 없이 복구를 골랐습니다.';
      warn = true;
    }
    entry.refNote.textContent = text || '';
    entry.refNote.className = warn ? 'vol-note warn' : 'vol-note';
  }

  // The reference to send: a candidate's path, the typed path, or '' to
  // recover without one. null when the user chose a file but gave none.
  function path(entry) {
    var mode = entry.refSelect.value;
    if (mode === NOREF) return '';
    if (mode === CUSTOM) return entry.pathInput.value.trim() || null;
    var ref = fmt.list(entry.rsv.refs)[Number(mode)];
    return ref ? String(ref.path || '') : null;
  }

  function donor(entry) {
    return entry.refSelect.value === NOREF ? entry.donorInput.value.trim() : '';
  }

  // A dropped file: a listed candidate is selected; otherwise it becomes
  // the donor when the entry recovers without a reference, else the reference.
  function useDropped(entry, file) {
    var name = fmt.basename(file);
    var i = fmt.list(entry.rsv.refs).findIndex(function (r) { return r.path === file; });
    if (i >= 0) {
      entry.refSelect.value = String(i);
      entry.dropped = '끌어 놓은 파일을 참조로 씁니다: ' + name;
    } else if (entry.refSelect.value === NOREF) {
      entry.donorInput.value = file;
      entry.dropped = '끌어 놓은 파일을 도너로 씁니다: ' + name;
    } else {
      entry.refSelect.value = CUSTOM;
      entry.pathInput.value = file;
      entry.dropped = '끌어 놓은 파일을 참조로 씁니다: ' + name;
    }
    showMode(entry);
    entry.refusal.replaceChildren();
    entry.changed();
  }

  // The path of a dropped file where the web view gives one: a File with a
  // path, or a file: URI in the dragged data.
  function droppedPath(transfer) {
    if (!transfer) return '';
    var file = transfer.files && transfer.files[0];
    if (file && typeof file.path === 'string' && file.path) return file.path;
    var uri = String(transfer.getData('text/uri-list') || '').split(/\r?\n/).find(function (l) { return /^file:\/\//.test(l); });
    if (!uri) return '';
    try {
      return decodeURIComponent(new URL(uri).pathname);
    } catch (e) {
      return '';
    }
  }

  return { build: build, showMode: showMode, path: path, donor: donor, useDropped: useDropped, droppedPath: droppedPath, NOREF: NOREF, CUSTOM: CUSTOM };
})();
