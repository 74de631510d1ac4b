// The scan: requesting it, listing the RSV files with their reference and
// work-volume choices, and starting a recovery from an entry.
//
// Globals kept for the application's unattended start: `SCAN` stays unset
// until the first Scan result and then holds the latest one, its "rsvs" in
// the order the page lists them (card recordings first, work-folder copies
// after); `start(i)` starts SCAN.rsvs[i] with what its entry has selected.
'use strict';

var Torvelin = window.Torvelin || (window.Torvelin = {});

Torvelin.scan = (function () {
  var el = Torvelin.fmt.el;
  var fmt = Torvelin.fmt;
  var entries = [];
  var scanning = false;
  var scanAgain = false;
  var CUSTOM = 'custom';
  var NOREF = 'none';
  var MARGIN = 1e10;

  function $(id) { return document.getElementById(id); }

  function list(v) { return Array.isArray(v) ? v : []; }

  function within(path, root) {
    return String(path || '').indexOf(String(root) + '/') === 0;
  }

  function onVolume(rsv, vol) {
    return rsv.vol === vol.id || within(rsv.path, vol.root);
  }

  // A volume holding a recording that is not a work copy is a camera card.
  function isCard(vol, rsvs) {
    return list(rsvs).some(function (r) { return r && r.work_copy !== true && onVolume(r, vol); });
  }

  function freeBytes(vol) {
    return typeof vol.free_bytes === 'number' ? fmt.num(vol.free_bytes) : fmt.num(vol.free_gb) * 1e9;
  }

  function need(rsv) {
    return 2 * fmt.num(rsv.size) + MARGIN;
  }

  // The admission's rule, the only one the page judges room by: an RSV
  // already on the volume is recovered in place; otherwise the volume needs
  // twice the RSV's size plus 10 GB.
  function inPlace(rsv, vol) {
    return within(rsv.path, vol.root);
  }

  function fits(rsv, vol) {
    return inPlace(rsv, vol) || freeBytes(vol) >= need(rsv);
  }

  function largest(vols) {
    return vols.reduce(function (best, v) {
      return !best || freeBytes(v) > freeBytes(best) ? v : best;
    }, null);
  }

  // The work volume to suggest: never a card (the one holding this
  // recording, or any holding a recording that is not a work copy); of the
  // others with room, the largest; none when no such volume exists. A work
  // copy is suggested its own volume, where it is recovered without a copy.
  function pickVolume(rsv, vols, rsvs) {
    var candidates = vols.filter(function (v) { return !isCard(v, rsvs) && fits(rsv, v); });
    if (rsv.work_copy === true) {
      var home = candidates.find(function (v) { return inPlace(rsv, v); });
      if (home) return home;
    }
    return largest(candidates.filter(function (v) { return !onVolume(rsv, v); }));
  }

  function refusalHint(message) {
    if (/경로/.test(message)) return '카드가 연결되어 있는지, 참조 파일 경로가 맞는지 확인한 뒤 다시 검색하세요.';
    if (/이미 복구 중/.test(message)) return '위의 복구 작업 카드에서 진행 상황을 확인하세요.';
    if (/공간/.test(message)) return '여유 공간이 더 큰 작업 볼륨을 고르세요.';
    return '';
  }

  // A field for a file path with a "찾아보기" button that asks the native
  // side for a file chooser; Enter in the field starts the recovery.
  function pathField(entry, id, label, placeholder, donor) {
    var input = el('input', {
      type: 'text', id: id, class: 'input', spellcheck: 'false', autocomplete: 'off', placeholder: placeholder
    });
    var browse = el('button', { type: 'button', class: 'btn browse' }, '찾아보기');
    input.addEventListener('keydown', function (event) {
      if (event.key === 'Enter') { event.preventDefault(); begin(entry); }
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
        refreshAll();
      } else if (data && typeof data.error === 'string') {
        refuse(entry, data.error, '');
      }
    }, function () {
      refuse(entry, '앱과 연결되어 있지 않아 파일을 고를 수 없습니다.', '');
    }).then(function () {
      browse.removeAttribute('aria-disabled');
      input.focus();
    });
  }

  function buildEntry(rsv, index, vols, rsvs, saved) {
    var refs = list(rsv.refs);
    var nameId = 'rsv-name-' + index;
    var entry = { rsv: rsv, pending: false };

    // Reference: the candidates (closest in time first, preselected), a file
    // of the user's choosing, or none at all; without candidates the
    // recovery goes without a reference unless the user picks one.
    var refSelect = el('select', { id: 'ref-' + index, class: 'select' });
    refs.forEach(function (ref, i) {
      refSelect.appendChild(el('option', { value: String(i) },
        String(ref.name) + ' — ' + fmt.gb(ref.size) + (i === 0 ? ' (가장 가까운 시간)' : '')));
    });
    refSelect.appendChild(el('option', { value: CUSTOM }, '다른 파일 고르기…'));
    refSelect.appendChild(el('option', { value: NOREF }, '참조 없이 복구'));
    refSelect.value = refs.length ? '0' : NOREF;

    var custom = pathField(entry, 'ref-path-' + index, '참조 파일', '참조 파일의 전체 경로 (예: …/CLIP/C0002.MP4)', false);
    var donor = pathField(entry, 'donor-' + index, '같은 카메라로 찍은 다른 파일 (선택)', '없으면 비워 두세요', true);
    var norefBox = el('div', { class: 'noref' },
      el('p', { class: 'noref-help', id: 'noref-help-' + index },
        '참조 없이 복구하면 녹화 자체에서 영상을 되살리지만 밝기와 색이 원본과 다를 수 있습니다. ' +
        '같은 카메라로 찍은 다른 파일이 있으면 아래에서 고르세요.'),
      donor.box);
    donor.input.setAttribute('aria-describedby', 'noref-help-' + index);
    var refCell = el('div', { class: 'field' });
    if (!refs.length) {
      refCell.appendChild(el('p', { class: 'notice', id: 'ref-none-' + index },
        '이 폴더에서 참조 파일(같은 카메라·같은 설정으로 끝까지 녹화된 MP4·MOV·MXF)을 찾지 못했습니다.'));
      refSelect.setAttribute('aria-describedby', 'ref-none-' + index);
    }
    refCell.appendChild(refSelect);
    refCell.appendChild(custom.box);
    refCell.appendChild(norefBox);
    refSelect.addEventListener('change', function () {
      showRefMode(entry);
      if (refSelect.value === CUSTOM) custom.input.focus();
      refreshAll();
    });

    // Work volume.
    var volCell = el('div', { class: 'field' });
    var volSelect = null;
    var volNote = el('p', { class: 'vol-note', id: 'vol-note-' + index });
    if (vols.length) {
      volSelect = el('select', { id: 'vol-' + index, class: 'select', 'aria-describedby': 'vol-note-' + index });
      var chosen = pickVolume(rsv, vols, rsvs);
      if (!chosen) volSelect.appendChild(el('option', { value: '' }, '작업 볼륨을 고르세요'));
      vols.forEach(function (v) {
        var room = inPlace(rsv, v) ? '복사 없이 이 자리에서' : fmt.gb(freeBytes(v)) + ' 여유 · ' + (fits(rsv, v) ? '충분' : '부족');
        var text = String(v.id) + ' — ' + room +
          (onVolume(rsv, v) && rsv.work_copy !== true ? ' (이 파일이 있는 카드)' : isCard(v, rsvs) ? ' (카드)' : '');
        volSelect.appendChild(el('option', { value: String(v.root), selected: v === chosen }, text));
      });
      volCell.appendChild(volSelect);
      volSelect.addEventListener('change', function () { noteVolume(entry); refreshAll(); });
    } else {
      volNote.textContent = '쓸 수 있는 작업 볼륨이 없습니다. 외장 디스크를 연결하면 자동으로 다시 검색합니다.';
    }
    volCell.appendChild(volNote);

    var button = el('button', { type: 'button', class: 'btn btn-primary start', 'aria-describedby': 'refusal-' + index }, '복구 시작');
    var openDone = el('button', { type: 'button', class: 'btn btn-primary open-done', hidden: true }, '복구됨 · 열기');
    var refusal = el('p', { class: 'refusal', id: 'refusal-' + index, role: 'alert' });
    button.addEventListener('click', function () { begin(entry); });
    openDone.addEventListener('click', function () {
      var out = Torvelin.jobs.recoveredFor(String(rsv.path || ''));
      if (out) Torvelin.jobs.openFile(out, false, refusal);
    });

    var where = rsv.work_copy === true ? '작업 폴더 ' : '볼륨 ';
    entry.root = el('li', { class: 'rsv', 'data-path': String(rsv.path || '') },
      el('article', { 'aria-labelledby': nameId },
        el('div', { class: 'rsv-head' },
          el('h3', { id: nameId, class: 'rsv-name' }, String(rsv.name || fmt.basename(rsv.path))),
          el('span', { class: 'rsv-size' }, fmt.num(rsv.size) > 0 ? fmt.gb(rsv.size) : '크기 알 수 없음')),
        el('p', { class: 'rsv-meta' }, where + String(rsv.vol || '?') + ' · 수정 ' + fmt.mtime(rsv.mtime)),
        el('p', { class: 'path' }, String(rsv.path || '')),
        el('div', { class: 'rsv-form' },
          el('label', { for: 'ref-' + index, class: 'form-label' }, '참조 파일'),
          refCell,
          volSelect ? el('label', { for: 'vol-' + index, class: 'form-label' }, '작업 볼륨')
            : el('span', { class: 'form-label' }, '작업 볼륨'),
          volCell),
        el('div', { class: 'rsv-actions' }, openDone, button, refusal)));
    entry.refSelect = refSelect;
    entry.pathInput = custom.input;
    entry.pathBox = custom.box;
    entry.donorInput = donor.input;
    entry.norefBox = norefBox;
    entry.volSelect = volSelect;
    entry.volNote = volNote;
    entry.button = button;
    entry.openDone = openDone;
    entry.refusal = refusal;
    entry.vols = vols;
    entry.rsvs = rsvs;
    restore(entry, saved);
    showRefMode(entry);
    noteVolume(entry);
    refreshButton(entry);
    return entry;
  }

  function showRefMode(entry) {
    entry.pathBox.hidden = entry.refSelect.value !== CUSTOM;
    entry.norefBox.hidden = entry.refSelect.value !== NOREF;
  }

  function selectedVolume(entry) {
    if (!entry.volSelect || !entry.volSelect.value) return null;
    var root = entry.volSelect.value;
    return entry.vols.find(function (v) { return String(v.root) === root; }) || null;
  }

  function spaceSentence(rsv, vol) {
    return '이 파일에는 ' + fmt.gb(need(rsv)) + '가 필요한데 ' + String(vol.id) + '의 여유 공간은 ' + fmt.gb(freeBytes(vol)) + '입니다.';
  }

  function noteVolume(entry) {
    var rsv = entry.rsv;
    var vol = selectedVolume(entry);
    var notes = [];
    if (!vol && entry.volSelect) {
      notes.push('카드가 아닌 볼륨 중에 이 파일을 복구할 공간(' + fmt.gb(need(rsv)) + ')이 있는 곳이 없어 미리 고르지 않았습니다. ' +
        '외장 디스크를 연결하거나 직접 고르세요.');
    } else if (vol) {
      if (onVolume(rsv, vol) && rsv.work_copy !== true) {
        notes.push('이 파일이 있는 카드에 작업 폴더를 만들게 됩니다. 다른 볼륨에 공간이 있다면 그쪽이 더 안전합니다.');
      } else if (isCard(vol, entry.rsvs)) {
        notes.push('다른 녹화가 남아 있는 카드입니다. 외장 디스크가 더 안전합니다.');
      }
      if (!fits(rsv, vol)) notes.push('여유 공간이 부족합니다. ' + spaceSentence(rsv, vol));
    }
    entry.volNote.textContent = notes.join(' ');
    entry.volNote.className = notes.length ? 'vol-note warn' : 'vol-note';
  }

  // The reference to send: a candidate's path, the typed path, or '' to
  // recover without one. null when the user chose a file but gave none.
  function refPath(entry) {
    var mode = entry.refSelect.value;
    if (mode === NOREF) return '';
    if (mode === CUSTOM) return entry.pathInput.value.trim() || null;
    var ref = list(entry.rsv.refs)[Number(mode)];
    return ref ? String(ref.path || '') : null;
  }

  function refName(entry, ref) {
    if (ref === '') {
      var donor = entry.donorInput.value.trim();
      return donor ? '없음 · 도너 ' + fmt.basename(donor) : '없음';
    }
    return fmt.basename(ref);
  }

  function refreshButton(entry) {
    var path = String(entry.rsv.path || '');
    var running = Torvelin.jobs.runningFor(path);
    var recovered = !running && !!Torvelin.jobs.recoveredFor(path);
    var busy = entry.pending || running;
    // aria-disabled rather than disabled: the button keeps keyboard focus.
    if (busy) entry.button.setAttribute('aria-disabled', 'true');
    else entry.button.removeAttribute('aria-disabled');
    entry.button.textContent = entry.pending ? '요청 중…' : running ? '복구 진행 중' : recovered ? '다시 복구' : '복구 시작';
    entry.button.className = recovered && !entry.pending ? 'btn start' : 'btn btn-primary start';
    entry.openDone.hidden = !recovered;
  }

  function refuse(entry, message, hint) {
    entry.refusal.replaceChildren(el('span', { class: 'refusal-message' }, message));
    if (hint) entry.refusal.appendChild(el('span', { class: 'refusal-hint' }, ' ' + hint));
  }

  // Starts the recovery of one entry. Returns the request's promise, or null
  // when nothing was sent.
  function begin(entry, quiet) {
    if (entry.pending || entry.button.getAttribute('aria-disabled') === 'true') return null;
    entry.refusal.replaceChildren();
    var ref = refPath(entry);
    if (ref === null) {
      refuse(entry, '참조 파일을 고르세요.', '‘찾아보기’로 고르거나 경로를 입력하세요. 참조 파일이 없으면 ‘참조 없이 복구’를 고르세요.');
      if (!quiet) entry.pathInput.focus();
      return null;
    }
    var vol = selectedVolume(entry);
    if (!vol) {
      refuse(entry, '작업 볼륨을 고르세요.', entry.volSelect ? '' : '외장 디스크를 연결하면 자동으로 다시 검색합니다.');
      if (entry.volSelect && !quiet) entry.volSelect.focus();
      return null;
    }
    var rsv = entry.rsv;
    var ctx = { rsvPath: String(rsv.path || ''), rsvName: String(rsv.name || ''), refName: refName(entry, ref), volId: String(vol.id || '') };
    var args = { rsv: ctx.rsvPath, ref: ref, vol: String(vol.root) };
    var donor = entry.donorInput.value.trim();
    if (ref === '' && donor) args.donor = donor;
    entry.pending = true;
    refreshButton(entry);
    return Torvelin.bridge.request('recover', args)
      .then(function (data) {
        entry.pending = false;
        if (data && typeof data.id === 'string' && data.id) {
          var card = Torvelin.jobs.created(data.id, ctx);
          card.scrollIntoView({ block: 'nearest' });
          if (!quiet) card.focus();
        } else {
          var message = data && typeof data.error === 'string' ? data.error : '복구를 시작하지 못했습니다.';
          // The native figure of a space refusal leaves out the margin: the
          // page gives the one figure it judges room by, and only that.
          if (/여유\s?공간.*부족/.test(message)) refuse(entry, '작업 볼륨의 여유 공간이 부족합니다.', spaceSentence(rsv, vol) + ' ' + refusalHint(message));
          else refuse(entry, message, refusalHint(message));
        }
        refreshButton(entry);
        refreshAll();
        return data;
      }, function () {
        entry.pending = false;
        refuse(entry, '앱과 연결되어 있지 않아 복구를 시작할 수 없습니다.', '');
        refreshButton(entry);
      });
  }

  // "모두 복구": every card recording that has a reference and a work volume
  // with room, as if each start button were pressed; the others are named.
  function allPlan() {
    var ready = [];
    var noRef = [];
    entries.forEach(function (e) {
      if (e.rsv.work_copy === true || Torvelin.jobs.runningFor(String(e.rsv.path || ''))) return;
      var ref = refPath(e);
      var vol = selectedVolume(e);
      if (!ref) noRef.push(e);
      else if (vol && fits(e.rsv, vol)) ready.push(e);
    });
    return { ready: ready, noRef: noRef };
  }

  function refreshAll() {
    var plan = allPlan();
    $('recover-all').hidden = plan.ready.length < 2;
  }

  function recoverAll() {
    var plan = allPlan();
    var note = $('all-note');
    var started = 0;
    var chain = Promise.resolve();
    plan.ready.forEach(function (e) {
      chain = chain.then(function () { return begin(e, true); }).then(function (data) {
        if (data && data.id) started++;
      });
    });
    return chain.then(function () {
      var text = started + '개 녹화의 복구를 시작했습니다.';
      if (plan.noRef.length) {
        text += ' 참조 파일이 없어 건너뛴 녹화: ' + plan.noRef.map(function (e) { return String(e.rsv.name || ''); }).join(', ') +
          ' — 하나씩 ‘참조 없이 복구’로 시작할 수 있습니다.';
      }
      note.textContent = text;
      var first = document.querySelector('#jobs .job');
      if (first) first.focus();
    });
  }

  // A rescan keeps what the user chose for the files that are still there.
  function remember() {
    var saved = new Map();
    entries.forEach(function (e) {
      saved.set(String(e.rsv.path || ''), {
        ref: e.refSelect.value, typed: e.pathInput.value, donor: e.donorInput.value,
        vol: e.volSelect ? e.volSelect.value : null
      });
    });
    return saved;
  }

  function restore(entry, saved) {
    var s = saved && saved.get(String(entry.rsv.path || ''));
    if (!s) return;
    entry.pathInput.value = s.typed || '';
    entry.donorInput.value = s.donor || '';
    if (hasOption(entry.refSelect, s.ref)) entry.refSelect.value = s.ref;
    if (entry.volSelect && s.vol && hasOption(entry.volSelect, s.vol)) entry.volSelect.value = s.vol;
  }

  function hasOption(select, value) {
    return Array.prototype.some.call(select.options, function (o) { return o.value === value; });
  }

  function renderVolumes(vols, rsvs) {
    var box = $('vol-list');
    box.replaceChildren();
    vols.forEach(function (v) {
      box.appendChild(el('li', { class: 'vol' },
        el('span', { class: 'vol-id' }, String(v.id)),
        el('span', { class: 'vol-free' }, '여유 ' + fmt.gb(freeBytes(v))),
        isCard(v, rsvs) ? el('span', { class: 'badge' }, 'RSV가 있는 카드') : null,
        el('span', { class: 'path vol-root' }, String(v.root))));
    });
    $('vol-section').hidden = vols.length === 0;
  }

  function render(result) {
    var all = list(result.rsvs).map(function (r) { return r && typeof r === 'object' ? r : {}; });
    var cards = all.filter(function (r) { return r.work_copy !== true; });
    var copies = all.filter(function (r) { return r.work_copy === true; });
    // A work folder holds no references; a copy whose recording is still on
    // a card (same name and size) is offered that recording's.
    copies.forEach(function (c) {
      if (list(c.refs).length) return;
      var original = cards.find(function (r) { return r.name === c.name && r.size === c.size && list(r.refs).length; });
      if (original) c.refs = original.refs;
    });
    var rsvs = cards.concat(copies);
    result.rsvs = rsvs;
    var vols = list(result.volumes);
    var saved = remember();
    entries = rsvs.map(function (rsv, i) { return buildEntry(rsv, i, vols, rsvs, saved); });
    var roots = entries.map(function (e) { return e.root; });
    $('rsv-list').replaceChildren.apply($('rsv-list'), roots.slice(0, cards.length));
    $('copy-list').replaceChildren.apply($('copy-list'), roots.slice(cards.length));
    $('rsv-section').hidden = cards.length === 0;
    $('copy-section').hidden = copies.length === 0;
    $('all-note').textContent = '';
    renderVolumes(vols, rsvs);
    refreshAll();

    var status = $('scan-status');
    var where = typeof result.mount_dir === 'string' && result.mount_dir ? result.mount_dir : '';
    if (cards.length === 0) {
      status.className = 'status status-empty';
      status.replaceChildren(
        el('span', { class: 'status-line' }, '카드에서 중단된 녹화 파일(RSV)을 찾지 못했습니다.'),
        el('span', { class: 'status-more' }, (where ? where + ' 아래의 볼륨을 찾아봤습니다. ' : '') +
          '카드를 리더기에 꽂으면 자동으로 다시 검색합니다. 파일 관리자에 카드가 보이는데도 목록이 비어 있으면 ‘다시 검색’을 누르세요. ' +
          'RSV 파일은 녹화가 비정상적으로 끝났을 때(배터리 분리, 전원 꺼짐, 카드 빠짐 등) 카메라가 남기는 파일입니다.'));
    } else {
      status.className = 'status';
      status.textContent = '카드에서 중단된 녹화 파일 ' + cards.length + '개를 찾았습니다.' +
        (vols.length ? '' : ' 쓸 수 있는 작업 볼륨이 없습니다. 외장 디스크를 연결하면 자동으로 다시 검색합니다.');
    }
  }

  function run() {
    if (scanning) {
      scanAgain = true;
      return;
    }
    scanning = true;
    var button = $('rescan');
    button.setAttribute('aria-disabled', 'true');
    button.textContent = '검색 중…';
    var status = $('scan-status');
    var first = !window.SCAN;
    if (first) {
      status.className = 'status status-busy';
      status.textContent = '카드를 검색하는 중…';
    }
    Torvelin.bridge.request('scan').then(function (result) {
      if (!result || typeof result !== 'object') result = {};
      if (!Array.isArray(result.rsvs)) result.rsvs = [];
      if (!Array.isArray(result.volumes)) result.volumes = [];
      // The lists are built anew; the field that had focus keeps it.
      var focused = document.activeElement && document.activeElement.id;
      render(result);
      if (focused && $(focused) && document.activeElement !== $(focused)) $(focused).focus();
      // Set only after the entries exist, so start(i) works from the moment
      // SCAN is visible.
      window.SCAN = result;
    }, function () {
      status.className = 'status status-empty';
      status.textContent = '앱과 연결되어 있지 않아 카드를 검색할 수 없습니다.';
    }).then(function () {
      scanning = false;
      button.removeAttribute('aria-disabled');
      button.textContent = '다시 검색';
      if (scanAgain) {
        scanAgain = false;
        run();
      }
    });
  }

  function focusEntry(rsvPath) {
    var entry = entries.find(function (e) { return String(e.rsv.path || '') === rsvPath; });
    if (!entry) return;
    entry.root.scrollIntoView({ block: 'center' });
    entry.refSelect.focus();
  }

  Torvelin.jobs.onChange(function () { entries.forEach(refreshButton); refreshAll(); });
  // Free space changes with every recovery: the volumes are read again.
  Torvelin.jobs.onFinish(function () { run(); });
  $('recover-all').addEventListener('click', function () { recoverAll(); });

  // The application calls this when a volume is mounted or unmounted.
  window.__volumesChanged = function () { run(); };

  window.start = function (i) {
    var entry = entries[i];
    return entry ? begin(entry) : null;
  };

  return { run: run, focusEntry: focusEntry, pickVolume: pickVolume, fits: fits };
})();
