// The scan: requesting it, listing its recordings (card recordings first,
// work-folder copies apart), pointing out a card that was just inserted,
// "모두 복구", and the hooks the native side calls.
//
// Globals kept for the application's unattended start: `SCAN` stays unset
// until the first Scan result and then holds the latest one, its "rsvs" in
// the order the page lists them (card recordings first, work-folder copies
// after; incomplete copies left out); `start(i)` starts SCAN.rsvs[i] with
// what its entry has selected.
'use strict';

var Torvelin = window.Torvelin || (window.Torvelin = {});

Torvelin.scan = (function () {
  var el = Torvelin.fmt.el;
  var fmt = Torvelin.fmt;
  var volumes = Torvelin.volumes;
  var entries = [];
  var scanning = false;
  var scanAgain = false;
  var knownCards = null;
  // The entry a file is being dragged over, for a path the native side
  // hands in after the drop.
  var aim = { entry: null, at: 0 };
  var AIM_MS = 10000;

  function $(id) { return document.getElementById(id); }

  function cardOf(rsv) {
    return typeof rsv.card_name === 'string' && rsv.card_name ? rsv.card_name : String(rsv.vol || '');
  }

  // "모두 복구": every card recording not yet recovered that has a
  // reference and a work volume with room, as if each start button were
  // pressed; the others are named.
  function allPlan() {
    var plan = { ready: [], noRef: [], recovered: 0, total: 0 };
    entries.forEach(function (e) {
      if (e.rsv.work_copy === true) return;
      plan.total++;
      if (Torvelin.entry.recovered(e)) { plan.recovered++; return; }
      if (Torvelin.jobs.runningFor(String(e.rsv.path || ''))) return;
      var vol = Torvelin.entry.selectedVolume(e);
      if (!Torvelin.refs.path(e)) plan.noRef.push(e);
      else if (vol && volumes.room(e.rsv, vol) === true) plan.ready.push(e);
    });
    return plan;
  }

  function refreshAll() {
    var plan = allPlan();
    $('recover-all').hidden = plan.ready.length < 2;
    $('all-progress').hidden = plan.total < 2 || plan.recovered === 0;
    $('all-progress').textContent = plan.recovered + '/' + plan.total + ' 완료';
  }

  function recoverAll() {
    var plan = allPlan();
    var started = 0;
    var chain = Promise.resolve();
    plan.ready.forEach(function (e) {
      chain = chain.then(function () { return e.begin(true); }).then(function (data) {
        if (data && data.id) started++;
      });
    });
    return chain.then(function () {
      var text = started + '개 녹화의 복구를 시작했습니다.';
      if (plan.recovered) text += ' 이미 복구된 녹화 ' + plan.recovered + '개는 건너뛰었습니다.';
      if (plan.noRef.length) {
        text += ' 참조 파일이 없어 건너뛴 녹화: ' + plan.noRef.map(function (e) { return String(e.rsv.name || ''); }).join(', ') +
          ' — 하나씩 ‘참조 없이 복구’로 시작할 수 있습니다.';
      }
      $('all-note').textContent = text;
      var first = document.querySelector('#jobs .job');
      if (first) first.focus();
    });
  }

  // A work folder holds no references; a copy whose recording is still on
  // a card (same name and size) is offered that recording's.
  function lendRefs(cards, copies) {
    copies.forEach(function (c) {
      if (fmt.list(c.refs).length) return;
      var original = cards.find(function (r) { return r.name === c.name && r.size === c.size && fmt.list(r.refs).length; });
      if (original) c.refs = original.refs;
    });
  }

  function newCards(cards) {
    var now = new Set(cards.map(cardOf));
    var fresh = knownCards ? Array.from(now).filter(function (c) { return c && !knownCards.has(c); }) : [];
    knownCards = now;
    return fresh;
  }

  function showStatus(result, cards, fresh, hasVolumes) {
    var status = $('scan-status');
    var where = typeof result.mount_dir === 'string' && result.mount_dir ? result.mount_dir : '';
    if (cards.length === 0) {
      status.className = 'status status-empty';
      status.replaceChildren(
        el('span', { class: 'status-line' }, '카드에서 중단된 녹화 파일(RSV)을 찾지 못했습니다.'),
        el('span', { class: 'status-more' }, (where ? where + ' 아래의 볼륨을 찾아봤습니다. ' : '') +
          '카드를 리더기에 꽂으면 자동으로 다시 검색합니다. 파일 관리자에 카드가 보이는데도 목록이 비어 있으면 ‘다시 검색’을 누르세요. ' +
          'RSV 파일은 녹화가 비정상적으로 끝났을 때(배터리 분리, 전원 꺼짐, 카드 빠짐 등) 카메라가 남기는 파일입니다.'));
      return;
    }
    status.className = fresh.length ? 'status status-new' : 'status';
    var text = '카드에서 중단된 녹화 파일 ' + cards.length + '개를 찾았습니다.';
    if (fresh.length) {
      var count = cards.filter(function (r) { return fresh.indexOf(cardOf(r)) >= 0; }).length;
      var news = '새로 연결된 카드 ' + fresh.join(', ') + '에서 ' + count + '개를 찾았습니다.';
      text = news + ' 모두 ' + cards.length + '개입니다.';
      Torvelin.announce(news);
    }
    if (!hasVolumes) text += ' 저장할 곳이 없습니다. 외장 디스크를 연결하거나 ‘다른 폴더…’로 고르세요.';
    status.textContent = text;
  }

  function render(result) {
    var all = fmt.list(result.rsvs).map(function (r) { return r && typeof r === 'object' ? r : {}; });
    var incomplete = all.filter(function (r) { return r.incomplete === true; }).length;
    all = all.filter(function (r) { return r.incomplete !== true; });
    var cards = all.filter(function (r) { return r.work_copy !== true; });
    var copies = all.filter(function (r) { return r.work_copy === true; });
    lendRefs(cards, copies);
    result.rsvs = cards.concat(copies);
    var vols = volumes.usable(result);
    var fresh = newCards(cards);
    var saved = new Map(entries.map(function (e) { return [String(e.rsv.path || ''), Torvelin.entry.saved(e)]; }));
    entries = result.rsvs.map(function (rsv, i) {
      return Torvelin.entry.build(rsv, i, { vols: vols, saved: saved, isNew: rsv.work_copy !== true && fresh.indexOf(cardOf(rsv)) >= 0, onChange: refreshAll });
    });
    var roots = entries.map(function (e) { return e.root; });
    $('rsv-list').replaceChildren.apply($('rsv-list'), roots.slice(0, cards.length));
    $('copy-list').replaceChildren.apply($('copy-list'), roots.slice(cards.length));
    $('rsv-section').hidden = cards.length === 0;
    $('copy-section').hidden = copies.length === 0 && incomplete === 0;
    $('incomplete-note').textContent = incomplete
      ? '복사가 끝나지 않은 사본(.partial) ' + incomplete + '개는 복구에 쓰지 않습니다. 카드에서 다시 복구하면 새로 복사합니다.' : '';
    $('all-note').textContent = '';
    volumes.renderList(vols);
    refreshAll();
    showStatus(result, cards, fresh, vols.length > 0);
    var first = entries.find(function (e) { return e.isNew; });
    if (first && !first.root.contains(document.activeElement)) first.root.scrollIntoView({ block: 'nearest' });
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
    if (!window.SCAN) {
      status.className = 'status status-busy';
      status.textContent = '카드를 검색하는 중…';
    }
    Torvelin.bridge.request('scan').then(function (result) {
      if (!result || typeof result !== 'object') result = {};
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

  function dropAim(entry) {
    aim = { entry: entry, at: Date.now() };
  }

  // "다른 폴더…" of the volume list: the native side remembers the folder
  // and the next scan offers it to every recording with its verdict.
  function chooseFolder() {
    var box = $('vol-error');
    box.replaceChildren();
    volumes.choose().then(function (vol) { if (vol) run(); }, function (e) { Torvelin.actions.failed(box, e.message); });
  }

  Torvelin.jobs.onChange(function () { entries.forEach(Torvelin.entry.refresh); refreshAll(); });
  // Free space and results change with every recovery: the scan is read again.
  Torvelin.jobs.onFinish(function () { run(); });
  $('recover-all').addEventListener('click', function () { recoverAll(); });
  $('choose-folder').addEventListener('click', chooseFolder);
  // A file dropped outside an entry must not replace the page, nor go to
  // the entry it last passed over.
  document.addEventListener('dragover', function (event) { event.preventDefault(); });
  document.addEventListener('drop', function (event) {
    event.preventDefault();
    if (!(event.target instanceof Element && event.target.closest('.rsv'))) aim = { entry: null, at: 0 };
  });

  // The application calls this when a volume is mounted or unmounted.
  window.__volumesChanged = function () { run(); };

  // The application calls this with the paths of files dropped on the
  // window and the point of the drop, just before the page's own drop event
  // (which carries no path): the first file goes to the entry under that point.
  window.__drop = function (data) {
    var path = data && typeof data.path === 'string' ? data.path : '';
    var under = data && typeof data.x === 'number' && typeof data.y === 'number' ? document.elementFromPoint(data.x, data.y) : null;
    var item = under && under.closest('.rsv');
    var entry = item ? entries.find(function (e) { return e.root === item; })
      : aim.entry && Date.now() - aim.at < AIM_MS && entries.indexOf(aim.entry) >= 0 ? aim.entry : null;
    if (path && entry) Torvelin.refs.useDropped(entry, path);
  };

  window.start = function (i) {
    var entry = entries[i];
    return entry ? entry.begin() : null;
  };

  return { run: run, focusEntry: focusEntry, dropAim: dropAim };
})();
