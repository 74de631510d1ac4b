// One recording in the list: what it is (card, size, picture settings),
// whether it was recovered already, its reference and work-volume choices,
// and starting its recovery. Built anew on every scan; a rescan hands in
// what the user had chosen for the same file.
'use strict';

var Torvelin = window.Torvelin || (window.Torvelin = {});

Torvelin.entry = (function () {
  var el = Torvelin.fmt.el;
  var fmt = Torvelin.fmt;
  var volumes = Torvelin.volumes;
  var refs = Torvelin.refs;
  var actions = Torvelin.actions;

  function pathOf(entry) {
    return String(entry.rsv.path || '');
  }

  // The verified result to point at: one the scan found (matched by the
  // job's record), else one finished in this session.
  function recovered(entry) {
    var found = fmt.list(entry.rsv.results).find(function (r) { return r && typeof r.path === 'string' && r.path; });
    return found ? found.path : Torvelin.jobs.recoveredFor(pathOf(entry));
  }

  function head(entry, nameId) {
    var rsv = entry.rsv;
    var card = typeof rsv.card_name === 'string' && rsv.card_name ? rsv.card_name : String(rsv.vol || '?');
    var where = rsv.work_copy === true ? '작업 폴더 ' + String(rsv.vol || '?') + (rsv.card_name ? ' · 카드 ' + rsv.card_name : '') : '카드 ' + card;
    var info = fmt.videoInfo(rsv.info);
    return [
      el('div', { class: 'rsv-head' },
        el('h3', { id: nameId, class: 'rsv-name' }, String(rsv.name || fmt.basename(rsv.path))),
        entry.isNew ? el('span', { class: 'badge badge-new' }, '새로 연결된 카드') : null,
        el('span', { class: 'rsv-size' }, fmt.num(rsv.size) > 0 ? fmt.gb(rsv.size) : '크기 알 수 없음')),
      el('p', { class: 'rsv-meta' }, where + ' · 수정 ' + fmt.mtime(rsv.mtime) + (info ? ' · ' + info : '')),
      el('p', { class: 'path' }, pathOf(entry))];
  }

  // "복구됨 · 열기 · 위치 보기" for a recording whose result exists.
  function recoveredRow(entry) {
    var err = el('p', { class: 'refusal', role: 'alert' });
    var open = el('button', { type: 'button', class: 'btn btn-primary' }, '열기');
    var reveal = el('button', { type: 'button', class: 'btn' }, '위치 보기');
    open.addEventListener('click', function () { actions.open(recovered(entry), false, err); });
    reveal.addEventListener('click', function () { actions.open(recovered(entry), true, err); });
    entry.doneName = el('span', { class: 'recovered-name' });
    var shown = fmt.list(entry.rsv.results).find(function (r) { return r && typeof r.path === 'string' && r.path; });
    var partly = !!shown && shown.partial === true;
    entry.doneRow = el('div', { class: 'recovered', hidden: true },
      el('span', { class: partly ? 'badge badge-warn' : 'badge badge-ok' }, partly ? '복구됨 · 일부 손상' : '복구됨'), entry.doneName, open, reveal, err);
    return entry.doneRow;
  }

  function volumeCell(entry, index) {
    var cell = el('div', { class: 'field' });
    entry.volNote = el('p', { class: 'vol-note', id: 'vol-note-' + index });
    entry.volSelect = el('select', { id: 'vol-' + index, class: 'select', 'aria-describedby': 'vol-note-' + index });
    volumes.fillSelect(entry.volSelect, entry.rsv, entry.vols, volumes.pick(entry.rsv, entry.vols));
    entry.lastVol = entry.volSelect.value;
    entry.volSelect.addEventListener('change', function () { volumeChanged(entry); });
    cell.append(entry.volSelect, entry.volNote);
    return cell;
  }

  // A stale refusal (no room on the volume left behind) goes with the change.
  function volumeChanged(entry) {
    entry.refusal.replaceChildren();
    entry.volTouched = true;
    if (entry.volSelect.value !== volumes.CHOOSE) {
      entry.lastVol = entry.volSelect.value;
      entry.changed();
      return;
    }
    entry.volSelect.value = entry.lastVol;
    volumes.choose().then(function (vol) {
      if (!vol) return;
      if (!entry.vols.some(function (v) { return v.root === vol.root; })) entry.vols.push(vol);
      volumes.fillSelect(entry.volSelect, entry.rsv, entry.vols, entry.vols.find(function (v) { return v.root === vol.root; }));
      entry.lastVol = vol.root;
      entry.changed();
      // The native side remembers the folder; its verdict comes with the scan.
      Torvelin.scan.run();
    }, function (e) {
      entry.refuse(e.message, '');
    });
  }

  function selectedVolume(entry) {
    var root = entry.volSelect.value;
    return entry.vols.find(function (v) { return v.root === root; }) || null;
  }

  function noteVolume(entry) {
    var n = volumes.note(entry.rsv, selectedVolume(entry), entry.vols.length > 0);
    entry.volNote.textContent = n[0];
    entry.volNote.className = n[1] ? 'vol-note warn' : 'vol-note';
  }

  function build(rsv, index, ctx) {
    var nameId = 'rsv-name-' + index;
    var entry = { rsv: rsv, pending: false, vols: ctx.vols.slice(), isNew: ctx.isNew, dropped: '' };
    entry.begin = function (quiet) { return begin(entry, quiet); };
    entry.refuse = function (message, hint) { refuse(entry, message, hint); };
    entry.changed = function () { noteVolume(entry); refresh(entry); ctx.onChange(); };
    entry.refusal = el('p', { class: 'refusal', id: 'refusal-' + index, role: 'alert' });
    entry.button = el('button', { type: 'button', class: 'btn btn-primary start', 'aria-describedby': 'refusal-' + index }, '복구 시작');
    entry.button.addEventListener('click', function () { begin(entry); });
    var refCell = refs.build(entry, index);
    var volCell = volumeCell(entry, index);
    entry.root = el('li', { class: 'rsv', 'data-path': pathOf(entry) },
      el('article', { 'aria-labelledby': nameId },
        head(entry, nameId),
        recoveredRow(entry),
        el('div', { class: 'rsv-form' },
          el('label', { for: 'ref-' + index, class: 'form-label' }, '참조 파일'), refCell,
          el('label', { for: 'vol-' + index, class: 'form-label' }, '작업 볼륨'), volCell),
        el('div', { class: 'rsv-actions' }, entry.button, entry.refusal)));
    dropTarget(entry);
    restore(entry, ctx.saved);
    refs.showMode(entry);
    noteVolume(entry);
    refresh(entry);
    return entry;
  }

  // Dragging a file over the entry marks it; the drop makes the file its
  // reference or donor (the native side may hand the path in instead).
  function dropTarget(entry) {
    entry.root.addEventListener('dragover', function (event) {
      event.preventDefault();
      entry.root.classList.add('drop-target');
      Torvelin.scan.dropAim(entry);
    });
    entry.root.addEventListener('dragleave', function () { entry.root.classList.remove('drop-target'); });
    entry.root.addEventListener('drop', function (event) {
      event.preventDefault();
      entry.root.classList.remove('drop-target');
      Torvelin.scan.dropAim(entry);
      var path = refs.droppedPath(event.dataTransfer);
      if (path) refs.useDropped(entry, path);
    });
  }

  function refresh(entry) {
    var path = pathOf(entry);
    var running = Torvelin.jobs.runningFor(path);
    var result = running ? '' : recovered(entry);
    var busy = entry.pending || running;
    // aria-disabled rather than disabled: the button keeps keyboard focus.
    if (busy) entry.button.setAttribute('aria-disabled', 'true');
    else entry.button.removeAttribute('aria-disabled');
    entry.button.textContent = entry.pending ? '요청 중…' : running ? '복구 진행 중' : result ? '다시 복구' : '복구 시작';
    entry.button.className = result && !entry.pending ? 'btn start' : 'btn btn-primary start';
    entry.doneRow.hidden = !result;
    entry.doneName.textContent = result ? fmt.basename(result) : '';
  }

  function refuse(entry, message, hint) {
    entry.refusal.replaceChildren(el('span', { class: 'refusal-message' }, message));
    if (hint) entry.refusal.appendChild(el('span', { class: 'refusal-hint' }, ' ' + hint));
  }

  function refName(entry, ref) {
    if (ref !== '') return fmt.basename(ref);
    var donor = refs.donor(entry);
    return donor ? '없음 · 도너 ' + fmt.basename(donor) : '없음';
  }

  function refused(entry, data) {
    var message = data && typeof data.error === 'string' ? data.error : '복구를 시작하지 못했습니다.';
    var kind = data && data.error_kind;
    var hint = kind ? fmt.hint(kind) : '';
    var need = kind === 'no_space' ? volumes.need(entry.rsv) : '';
    refuse(entry, message, need ? need + '. ' + hint : hint);
  }

  // Starts the recovery of one entry. Returns the request's promise, or null
  // when nothing was sent.
  function begin(entry, quiet) {
    if (entry.pending || entry.button.getAttribute('aria-disabled') === 'true') return null;
    entry.refusal.replaceChildren();
    var ref = refs.path(entry);
    if (ref === null) {
      refuse(entry, '참조 파일을 고르세요.', '‘찾아보기’로 고르거나 경로를 입력하세요. 참조 파일이 없으면 ‘참조 없이 복구’를 고르세요.');
      if (!quiet) entry.pathInput.focus();
      return null;
    }
    var vol = selectedVolume(entry);
    if (!vol) {
      refuse(entry, '작업 볼륨을 고르세요.', entry.vols.length ? '' : '외장 디스크를 연결하거나 ‘다른 폴더…’로 저장할 곳을 고르세요.');
      if (!quiet) entry.volSelect.focus();
      return null;
    }
    var rsv = entry.rsv;
    var donor = refs.donor(entry);
    var ctx = {
      rsvPath: pathOf(entry), rsvName: String(rsv.name || ''), refName: refName(entry, ref), volId: volumes.label(vol),
      cardName: typeof rsv.card_name === 'string' ? rsv.card_name : '', donor: ref === '' ? donor : ''
    };
    var args = { rsv: ctx.rsvPath, ref: ref, vol: vol.root };
    if (ref === '' && donor) args.donor = donor;
    entry.pending = true;
    refresh(entry);
    return Torvelin.bridge.request('recover', args).then(function (data) {
      entry.pending = false;
      if (data && typeof data.id === 'string' && data.id) {
        var card = Torvelin.jobs.created(data.id, ctx);
        card.scrollIntoView({ block: 'nearest' });
        if (!quiet) card.focus();
      } else {
        refused(entry, data);
      }
      entry.changed();
      return data;
    }, function () {
      entry.pending = false;
      refuse(entry, '앱과 연결되어 있지 않아 복구를 시작할 수 없습니다.', '');
      refresh(entry);
    });
  }

  // What the user chose for this file before a rescan. A volume only the
  // page suggested is suggested again from the new scan's verdicts.
  function saved(entry) {
    return {
      ref: entry.refSelect.value, typed: entry.pathInput.value, donor: entry.donorInput.value, dropped: entry.dropped,
      vol: entry.volTouched ? entry.volSelect.value : null
    };
  }

  function restore(entry, all) {
    var s = all && all.get(pathOf(entry));
    if (!s) return;
    entry.pathInput.value = s.typed || '';
    entry.donorInput.value = s.donor || '';
    entry.dropped = s.dropped || '';
    if (hasOption(entry.refSelect, s.ref)) entry.refSelect.value = s.ref;
    if (s.vol && s.vol !== volumes.CHOOSE && hasOption(entry.volSelect, s.vol)) {
      entry.volSelect.value = s.vol;
      entry.volTouched = true;
    }
    entry.lastVol = entry.volSelect.value;
  }

  function hasOption(select, value) {
    return Array.prototype.some.call(select.options, function (o) { return o.value === value; });
  }

  return { build: build, refresh: refresh, begin: begin, saved: saved, selectedVolume: selectedVolume, recovered: recovered };
})();
