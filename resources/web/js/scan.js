// The scan: requesting it, listing the RSV files with their reference and
// work-volume choices, and starting a recovery from an entry.
//
// Globals kept for the application's unattended start: `SCAN` stays unset
// until the first Scan result and then holds the latest one; `start(i)`
// starts SCAN.rsvs[i] with what its entry has selected.
'use strict';

var Torvelin = window.Torvelin || (window.Torvelin = {});

Torvelin.scan = (function () {
  var el = Torvelin.fmt.el;
  var fmt = Torvelin.fmt;
  var entries = [];
  var scanning = false;
  var CUSTOM = 'custom';

  function $(id) { return document.getElementById(id); }

  function list(v) { return Array.isArray(v) ? v : []; }

  function onCard(rsv, vol) {
    return rsv.vol === vol.id || String(rsv.path || '').indexOf(vol.root + '/') === 0;
  }

  // Room for this RSV on that volume, as the native admission judges it: an
  // RSV already on the volume needs no copy; otherwise twice its size plus
  // 10 GB. The scan's "enough" is judged against the largest RSV, so it is
  // sufficient but not necessary.
  function fits(rsv, vol) {
    if (String(rsv.path || '').indexOf(vol.root + '/') === 0) return true;
    if (vol.enough === true) return true;
    return fmt.num(vol.free_gb) * 1e9 >= 2 * fmt.num(rsv.size) + 1e10;
  }

  function largest(vols) {
    return vols.reduce(function (best, v) {
      return !best || fmt.num(v.free_gb) > fmt.num(best.free_gb) ? v : best;
    }, null);
  }

  // The largest volume with room that holds no RSV (a disk, not a card);
  // else one with room other than the RSV's own card; else any with room (the
  // card itself); else the largest. `rsvs` are all RSVs of the scan.
  function pickVolume(rsv, vols, rsvs) {
    var roomy = vols.filter(function (v) { return fits(rsv, v); });
    var elsewhere = roomy.filter(function (v) { return !onCard(rsv, v); });
    var disks = elsewhere.filter(function (v) {
      return !list(rsvs).some(function (r) { return onCard(r, v); });
    });
    return largest(disks) || largest(elsewhere) || largest(roomy) || largest(vols);
  }

  function refusalHint(message) {
    if (/경로/.test(message)) return '카드가 연결되어 있는지, 참조 파일 경로가 맞는지 확인한 뒤 다시 검색하세요.';
    if (/여유공간|공간/.test(message)) return '여유 공간이 더 큰 작업 볼륨을 고르세요.';
    if (/이미 복구 중/.test(message)) return '위의 복구 작업 카드에서 진행 상황을 확인하세요.';
    return '';
  }

  function buildEntry(rsv, index, vols, rsvs, saved) {
    var refs = list(rsv.refs);
    var nameId = 'rsv-name-' + index;
    var entry = { rsv: rsv, pending: false };

    // Reference: the candidates (closest in time first, preselected), plus a
    // typed path for a reference the scan could not see.
    var refCell = el('div', { class: 'field' });
    var pathInput = el('input', {
      type: 'text', id: 'ref-path-' + index, class: 'input', spellcheck: 'false', autocomplete: 'off',
      placeholder: '참조 파일의 전체 경로 (예: …/CLIP/C0002.MP4)'
    });
    var pathLabel = el('label', { for: 'ref-path-' + index, class: 'sub-label' }, '참조 파일 경로');
    var pathBox = el('div', { class: 'custom-path' }, pathLabel, pathInput);
    var refSelect = null;
    if (refs.length) {
      refSelect = el('select', { id: 'ref-' + index, class: 'select' });
      refs.forEach(function (ref, i) {
        refSelect.appendChild(el('option', { value: String(i) },
          String(ref.name) + ' — ' + fmt.gb(ref.size) + (i === 0 ? ' (가장 가까운 시간)' : '')));
      });
      refSelect.appendChild(el('option', { value: CUSTOM }, '다른 파일 경로 직접 입력…'));
      refCell.appendChild(refSelect);
      refCell.appendChild(pathBox);
      pathBox.hidden = true;
      refSelect.addEventListener('change', function () {
        pathBox.hidden = refSelect.value !== CUSTOM;
        if (!pathBox.hidden) pathInput.focus();
      });
    } else {
      refCell.appendChild(el('p', { class: 'notice', id: 'ref-none-' + index },
        '이 폴더에서 참조 파일을 찾지 못했습니다. 같은 카메라·같은 설정으로 끝까지 녹화된 파일(MP4·MOV·MXF)이 필요합니다. 그 파일의 경로를 입력하세요.'));
      pathInput.setAttribute('aria-describedby', 'ref-none-' + index);
      refCell.appendChild(pathBox);
    }

    // Work volume.
    var volCell = el('div', { class: 'field' });
    var volSelect = null;
    var volNote = el('p', { class: 'vol-note', id: 'vol-note-' + index });
    if (vols.length) {
      volSelect = el('select', { id: 'vol-' + index, class: 'select', 'aria-describedby': 'vol-note-' + index });
      var chosen = pickVolume(rsv, vols, rsvs);
      vols.forEach(function (v) {
        var text = String(v.id) + ' — 여유 ' + fmt.num(v.free_gb) + ' GB · ' + (fits(rsv, v) ? '충분' : '부족') +
          (onCard(rsv, v) ? ' (이 파일이 있는 카드)' : '');
        volSelect.appendChild(el('option', { value: String(v.root), selected: v === chosen }, text));
      });
      volCell.appendChild(volSelect);
      volSelect.addEventListener('change', function () { noteVolume(entry); });
    } else {
      volNote.textContent = '쓸 수 있는 작업 볼륨이 없습니다. 외장 디스크를 연결한 뒤 다시 검색하세요.';
    }
    volCell.appendChild(volNote);

    var button = el('button', { type: 'button', class: 'btn btn-primary start', 'aria-describedby': 'refusal-' + index }, '복구 시작');
    var refusal = el('p', { class: 'refusal', id: 'refusal-' + index, role: 'alert' });
    button.addEventListener('click', function () { begin(entry); });

    entry.root = el('li', { class: 'rsv', 'data-path': String(rsv.path || '') },
      el('article', { 'aria-labelledby': nameId },
        el('div', { class: 'rsv-head' },
          el('h3', { id: nameId, class: 'rsv-name' }, String(rsv.name || fmt.basename(rsv.path))),
          el('span', { class: 'rsv-size' }, fmt.num(rsv.size) > 0 ? fmt.gb(rsv.size) : '크기 알 수 없음')),
        el('p', { class: 'rsv-meta' }, '볼륨 ' + String(rsv.vol || '?') + ' · 수정 ' + fmt.mtime(rsv.mtime)),
        el('p', { class: 'path' }, String(rsv.path || '')),
        el('div', { class: 'rsv-form' },
          refSelect ? el('label', { for: 'ref-' + index, class: 'form-label' }, '참조 파일')
            : el('span', { class: 'form-label', 'aria-hidden': 'true' }, '참조 파일'),
          refCell,
          volSelect ? el('label', { for: 'vol-' + index, class: 'form-label' }, '작업 볼륨')
            : el('span', { class: 'form-label' }, '작업 볼륨'),
          volCell),
        el('div', { class: 'rsv-actions' }, button, refusal)));
    entry.refSelect = refSelect;
    entry.pathInput = pathInput;
    entry.pathBox = pathBox;
    entry.volSelect = volSelect;
    entry.volNote = volNote;
    entry.button = button;
    entry.refusal = refusal;
    entry.vols = vols;
    restore(entry, saved);
    noteVolume(entry);
    refreshButton(entry);
    return entry;
  }

  function selectedVolume(entry) {
    if (!entry.volSelect) return null;
    var root = entry.volSelect.value;
    return entry.vols.find(function (v) { return String(v.root) === root; }) || null;
  }

  function noteVolume(entry) {
    var vol = selectedVolume(entry);
    if (!vol) return;
    var rsv = entry.rsv;
    var notes = [];
    if (onCard(rsv, vol)) notes.push('이 파일이 있는 카드에 작업 폴더를 만들게 됩니다. 다른 볼륨에 공간이 있다면 그쪽이 더 안전합니다.');
    if (!fits(rsv, vol)) {
      notes.push('여유 공간이 부족할 수 있습니다. 이 파일에는 약 ' +
        Math.ceil((2 * fmt.num(rsv.size) + 1e10) / 1e9) + ' GB가 필요합니다.');
    }
    entry.volNote.textContent = notes.join(' ');
    entry.volNote.className = notes.length ? 'vol-note warn' : 'vol-note';
  }

  function refPath(entry) {
    if (entry.refSelect && entry.refSelect.value !== CUSTOM) {
      var ref = list(entry.rsv.refs)[Number(entry.refSelect.value)];
      return ref ? String(ref.path || '') : '';
    }
    return entry.pathInput.value.trim();
  }

  function refName(entry) {
    if (entry.refSelect && entry.refSelect.value !== CUSTOM) {
      var ref = list(entry.rsv.refs)[Number(entry.refSelect.value)];
      return ref ? String(ref.name || fmt.basename(ref.path)) : '';
    }
    return fmt.basename(entry.pathInput.value.trim());
  }

  function refreshButton(entry) {
    var running = Torvelin.jobs.runningFor(String(entry.rsv.path || ''));
    var busy = entry.pending || running;
    // aria-disabled rather than disabled: the button keeps keyboard focus.
    if (busy) entry.button.setAttribute('aria-disabled', 'true');
    else entry.button.removeAttribute('aria-disabled');
    entry.button.textContent = entry.pending ? '요청 중…' : running ? '복구 진행 중' : '복구 시작';
  }

  function refuse(entry, message, hint) {
    entry.refusal.replaceChildren(el('span', { class: 'refusal-message' }, message),
      hint ? el('span', { class: 'refusal-hint' }, ' ' + hint) : null);
  }

  // Starts the recovery of one entry. Returns the request's promise, or null
  // when nothing was sent.
  function begin(entry) {
    if (entry.pending || entry.button.getAttribute('aria-disabled') === 'true') return null;
    entry.refusal.replaceChildren();
    var ref = refPath(entry);
    if (!ref) {
      refuse(entry, '참조 파일 경로를 입력하세요.');
      entry.pathInput.focus();
      return null;
    }
    var vol = selectedVolume(entry);
    if (!vol) {
      refuse(entry, '작업 볼륨이 없습니다.', '외장 디스크를 연결한 뒤 다시 검색하세요.');
      return null;
    }
    var rsv = entry.rsv;
    var ctx = { rsvPath: String(rsv.path || ''), rsvName: String(rsv.name || ''), refName: refName(entry), volId: String(vol.id || '') };
    entry.pending = true;
    refreshButton(entry);
    return Torvelin.bridge.request('recover', { rsv: ctx.rsvPath, ref: ref, vol: String(vol.root) })
      .then(function (data) {
        entry.pending = false;
        if (data && typeof data.id === 'string' && data.id) {
          var card = Torvelin.jobs.created(data.id, ctx);
          card.scrollIntoView({ block: 'nearest' });
        } else {
          var message = data && typeof data.error === 'string' ? data.error : '복구를 시작하지 못했습니다.';
          refuse(entry, message, refusalHint(message));
        }
        refreshButton(entry);
        return data;
      }, function () {
        entry.pending = false;
        refuse(entry, '앱과 연결되어 있지 않아 복구를 시작할 수 없습니다.');
        refreshButton(entry);
      });
  }

  // A rescan keeps what the user chose for the files that are still there.
  function remember() {
    var saved = new Map();
    entries.forEach(function (e) {
      saved.set(String(e.rsv.path || ''), {
        ref: e.refSelect ? e.refSelect.value : null, typed: e.pathInput.value,
        vol: e.volSelect ? e.volSelect.value : null
      });
    });
    return saved;
  }

  function restore(entry, saved) {
    var s = saved && saved.get(String(entry.rsv.path || ''));
    if (!s) return;
    entry.pathInput.value = s.typed || '';
    if (entry.refSelect && s.ref !== null && hasOption(entry.refSelect, s.ref)) {
      entry.refSelect.value = s.ref;
      entry.pathBox.hidden = s.ref !== CUSTOM;
    }
    if (entry.volSelect && s.vol !== null && hasOption(entry.volSelect, s.vol)) entry.volSelect.value = s.vol;
  }

  function hasOption(select, value) {
    return Array.prototype.some.call(select.options, function (o) { return o.value === value; });
  }

  function renderVolumes(vols, rsvs) {
    var box = $('vol-list');
    box.replaceChildren();
    vols.forEach(function (v) {
      var isCard = rsvs.some(function (r) { return onCard(r, v); });
      box.appendChild(el('li', { class: 'vol' },
        el('span', { class: 'vol-id' }, String(v.id)),
        el('span', { class: 'vol-free' }, '여유 ' + fmt.num(v.free_gb) + ' GB'),
        el('span', { class: v.enough === true ? 'badge badge-ok' : 'badge badge-warn' }, v.enough === true ? '공간 충분' : '공간 부족'),
        isCard ? el('span', { class: 'badge' }, 'RSV가 있는 카드') : null,
        el('span', { class: 'path vol-root' }, String(v.root))));
    });
    $('vol-section').hidden = vols.length === 0;
  }

  function render(result) {
    var rsvs = list(result.rsvs);
    var vols = list(result.volumes);
    var saved = remember();
    entries = rsvs.map(function (rsv, i) { return buildEntry(rsv || {}, i, vols, rsvs, saved); });
    $('rsv-list').replaceChildren.apply($('rsv-list'), entries.map(function (e) { return e.root; }));
    $('rsv-section').hidden = rsvs.length === 0;
    renderVolumes(vols, rsvs);

    var status = $('scan-status');
    if (rsvs.length === 0) {
      status.className = 'status status-empty';
      status.replaceChildren(
        el('span', { class: 'status-line' }, '중단된 녹화 파일(RSV)을 찾지 못했습니다.'),
        el('span', { class: 'status-more' }, '카드를 리더기에 꽂고 파일 관리자에 카드가 보이는지 확인한 뒤 ‘다시 검색’을 누르세요. ' +
          'RSV 파일은 녹화가 비정상적으로 끝났을 때(배터리 분리, 전원 꺼짐, 카드 빠짐 등) 카메라가 남기는 파일입니다.'));
    } else {
      status.className = 'status';
      status.textContent = 'RSV 파일 ' + rsvs.length + '개를 찾았습니다.' +
        (vols.length ? '' : ' 쓸 수 있는 작업 볼륨이 없습니다. 외장 디스크를 연결한 뒤 다시 검색하세요.');
    }
  }

  function run() {
    if (scanning) return;
    scanning = true;
    var button = $('rescan');
    button.setAttribute('aria-disabled', 'true');
    button.textContent = '검색 중…';
    var status = $('scan-status');
    status.className = 'status status-busy';
    status.textContent = '카드를 검색하는 중…';
    Torvelin.bridge.request('scan').then(function (result) {
      if (!result || typeof result !== 'object') result = {};
      if (!Array.isArray(result.rsvs)) result.rsvs = [];
      if (!Array.isArray(result.volumes)) result.volumes = [];
      render(result);
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
    });
  }

  function focusEntry(rsvPath) {
    var entry = entries.find(function (e) { return String(e.rsv.path || '') === rsvPath; });
    if (!entry) return;
    entry.root.scrollIntoView({ block: 'center' });
    (entry.refSelect || entry.pathInput).focus();
  }

  Torvelin.jobs.onChange(function () { entries.forEach(refreshButton); });

  window.start = function (i) {
    var entry = entries[i];
    return entry ? begin(entry) : null;
  };

  return { run: run, focusEntry: focusEntry, pickVolume: pickVolume };
})();
