// Where a recovery is saved: the work volumes of the Scan result (removable
// disks, the user's videos folder, folders chosen through "다른 폴더…"), the
// one to suggest for a recording, and the room verdict with its parts. The
// verdict is the native side's ("room" of each RSV entry); the page shows it
// and never judges free space itself.
'use strict';

var Torvelin = window.Torvelin || (window.Torvelin = {});

Torvelin.volumes = (function () {
  var el = Torvelin.fmt.el;
  var fmt = Torvelin.fmt;
  var CHOOSE = '\u0000choose';
  var KINDS = { home: '컴퓨터', chosen: '고른 폴더', removable: '외장' };

  function within(path, root) {
    return String(path || '').indexOf(String(root) + '/') === 0;
  }

  // One shape for every volume entry; null for one without a root.
  function normalize(v) {
    if (!v || typeof v !== 'object') return null;
    var root = typeof v.root === 'string' ? v.root : typeof v.path === 'string' ? v.path : '';
    if (!root) return null;
    var id = typeof v.id === 'string' && v.id ? v.id : typeof v.name === 'string' && v.name ? v.name : fmt.basename(root) || root;
    var free = typeof v.free_bytes === 'number' ? fmt.num(v.free_bytes) : fmt.num(v.free_gb) * 1e9;
    return { id: id, root: root, free: free, kind: KINDS[v.kind] ? v.kind : 'removable', enough: v.enough === true };
  }

  // A volume holding a recording that is not a work copy is a camera card;
  // the native side offers none, and the page would not offer one either.
  function isCard(vol, rsvs) {
    return rsvs.some(function (r) { return r.work_copy !== true && within(r.path, vol.root); });
  }

  function usable(result) {
    var rsvs = fmt.list(result.rsvs);
    return fmt.list(result.volumes).map(normalize).filter(function (v) { return v && !isCard(v, rsvs); });
  }

  // A work copy lying in this volume's work folder is recovered where it is.
  function inPlace(rsv, vol) {
    return rsv.work_copy === true && within(rsv.path, vol.root);
  }

  // true or false as the native side judged; undefined when it did not say.
  // A scan without verdicts per recording still says which volumes have
  // room for its largest recording, and so for this one.
  function room(rsv, vol) {
    if (!rsv.room || typeof rsv.room !== 'object') return vol.enough ? true : undefined;
    return typeof rsv.room[vol.root] === 'boolean' ? rsv.room[vol.root] : undefined;
  }

  function largest(vols) {
    return vols.reduce(function (best, v) { return !best || v.free > best.free ? v : best; }, null);
  }

  // The volume to suggest among those with room: a work copy's own, then a
  // folder the user chose, then the largest external disk, then the
  // computer's videos folder; none when nothing has room.
  function pick(rsv, vols) {
    var fit = vols.filter(function (v) { return room(rsv, v) === true; });
    var own = fit.find(function (v) { return inPlace(rsv, v); });
    if (own) return own;
    var of = function (kind) { return fit.filter(function (v) { return v.kind === kind; }); };
    return of('chosen')[0] || largest(of('removable')) || largest(of('home')) || null;
  }

  function label(vol) {
    return vol.kind === 'removable' ? vol.id : vol.id + ' (' + KINDS[vol.kind] + ')';
  }

  function optionText(rsv, vol) {
    if (inPlace(rsv, vol)) return label(vol) + ' — 복사 없이 이 자리에서';
    var verdict = room(rsv, vol);
    return label(vol) + ' — ' + fmt.gb(vol.free) + ' 여유' + (verdict === true ? ' · 충분' : verdict === false ? ' · 부족' : '');
  }

  // "필요한 공간 73 GB: RSV 사본과 복구본(63 GB)에 안전 여유 10 GB".
  function need(rsv) {
    if (typeof rsv.need_bytes !== 'number') return '';
    var parts = rsv.need_parts && typeof rsv.need_parts === 'object' ? rsv.need_parts : null;
    var text = '필요한 공간 ' + fmt.gb(rsv.need_bytes);
    if (parts && typeof parts.copy === 'number' && typeof parts.result === 'number' && typeof parts.margin === 'number') {
      text += ': RSV 사본과 복구본(' + fmt.gb(parts.copy + parts.result) + ')에 안전 여유 ' + fmt.gb(parts.margin);
    }
    return text;
  }

  // The line under an entry's volume choice: [text, warn].
  function note(rsv, vol, offered) {
    var needText = need(rsv);
    if (!vol) {
      if (!offered) return ['쓸 수 있는 작업 볼륨이 없습니다. 외장 디스크를 연결하거나 ‘다른 폴더…’로 저장할 곳을 고르세요.', true];
      return ['카드가 아닌 곳 중에 이 파일을 복구할 공간이 있는 곳이 없어 미리 고르지 않았습니다.' + (needText ? ' ' + needText + '.' : '') +
        ' 외장 디스크를 연결하거나 ‘다른 폴더…’로 공간이 있는 폴더를 고르세요.', true];
    }
    if (inPlace(rsv, vol)) return ['', false];
    if (room(rsv, vol) === false) {
      return ['여유 공간이 부족합니다 — ' + label(vol) + '의 여유 ' + fmt.gb(vol.free) + '.' + (needText ? ' ' + needText + '.' : ''), true];
    }
    return [needText ? needText + '.' : '', false];
  }

  // The options of an entry's volume choice, "다른 폴더…" last.
  function fillSelect(select, rsv, vols, chosen) {
    select.replaceChildren();
    if (!chosen) select.appendChild(el('option', { value: '' }, '작업 볼륨을 고르세요'));
    vols.forEach(function (v) {
      select.appendChild(el('option', { value: v.root, selected: v === chosen }, optionText(rsv, v)));
    });
    select.appendChild(el('option', { value: CHOOSE }, '다른 폴더…'));
  }

  // Asks the native side for a folder (the desktop's folder chooser).
  // Resolves with the volume, or null when the user cancelled; rejects with
  // a sentence to show.
  function choose() {
    return Torvelin.bridge.request('choose_folder').then(function (data) {
      if (data && typeof data.error === 'string') throw new Error(data.error);
      var vol = normalize(data && typeof data.path === 'string' ? Object.assign({ kind: 'chosen' }, data) : null);
      return vol;
    }, function () {
      throw new Error('앱과 연결되어 있지 않아 폴더를 고를 수 없습니다.');
    });
  }

  function renderList(vols) {
    var box = document.getElementById('vol-list');
    box.replaceChildren.apply(box, vols.map(function (v) {
      return el('li', { class: 'vol' },
        el('span', { class: 'vol-id' }, v.id),
        el('span', { class: 'vol-free' }, '여유 ' + fmt.gb(v.free)),
        el('span', { class: 'badge' }, KINDS[v.kind]),
        el('span', { class: 'path vol-root' }, v.root));
    }));
    document.getElementById('vol-list').hidden = vols.length === 0;
  }

  return {
    CHOOSE: CHOOSE, usable: usable, pick: pick, room: room, inPlace: inPlace, label: label, need: need, note: note,
    fillSelect: fillSelect, choose: choose, renderList: renderList
  };
})();
