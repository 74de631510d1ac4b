// Job cards: one per recovery, keyed by the job id. Every pushed Job state is
// the whole state, so each render simply reflects the latest one. A state for
// an id the page has not heard of (it should not happen: states follow the
// "recover" answer) still gets a card of its own.
'use strict';

var Torvelin = window.Torvelin || (window.Torvelin = {});

Torvelin.jobs = (function () {
  var el = Torvelin.fmt.el;
  var fmt = Torvelin.fmt;
  var cards = new Map();
  var listeners = [];
  var finishListeners = [];
  // The engine's one line when it had to write flat scaling matrices.
  var FLAT_MATRICES = 'Info: flat scaling matrices: no reference or donor supplied them';
  var FINAL = { done: true, error: true, cancelled: true };
  var STEPS = [['copy', '복사'], ['recover', '복구'], ['verify', '검증'], ['done', '완료']];

  function container() {
    return document.getElementById('jobs');
  }

  function changed() {
    listeners.forEach(function (fn) { fn(); });
  }

  // Asks the desktop to open or reveal a file; a failure is shown in
  // `errorBox` (next to the button that asked), since the desktop itself may
  // show nothing at all.
  function openFile(path, reveal, errorBox) {
    if (errorBox) errorBox.replaceChildren();
    Torvelin.bridge.request('open', { path: String(path || ''), reveal: !!reveal }).then(function (data) {
      if (errorBox && data && typeof data.error === 'string' && data.error) {
        errorBox.replaceChildren(el('span', { class: 'refusal-message' }, data.error));
      }
    }, function () {
      if (errorBox) errorBox.replaceChildren(el('span', { class: 'refusal-message' }, '앱과 연결되어 있지 않아 열 수 없습니다.'));
    });
  }

  function cancel(card) {
    if (card.cancel.getAttribute('aria-disabled') === 'true') return;
    card.cancel.setAttribute('aria-disabled', 'true');
    card.cancel.textContent = '취소하는 중…';
    card.cancelError.replaceChildren();
    Torvelin.bridge.request('cancel', { id: card.id }).then(function (data) {
      if (data && typeof data.error === 'string' && data.error && !card.finished) {
        card.cancelError.replaceChildren(el('span', { class: 'refusal-message' }, data.error));
        card.cancel.removeAttribute('aria-disabled');
        card.cancel.textContent = '취소';
      }
    }, function () {
      card.cancel.removeAttribute('aria-disabled');
      card.cancel.textContent = '취소';
    });
  }

  function makeCard(id, ctx) {
    var titleId = 'job-title-' + id;
    var card = {
      id: id,
      ctx: ctx || {},
      stage: '',
      finished: false,
      title: el('h3', { id: titleId, class: 'job-title' }),
      badge: el('span', { class: 'badge' }),
      sub: el('p', { class: 'job-sub' }),
      steps: el('ol', { class: 'steps' }),
      bar: el('div', {
        class: 'progress', role: 'progressbar', 'aria-valuemin': '0', 'aria-valuemax': '100',
        'aria-valuenow': '0', 'aria-labelledby': titleId
      }),
      fill: el('div', { class: 'progress-fill' }),
      pctText: el('span', { class: 'pct', 'aria-hidden': 'true' }, '0%'),
      detail: el('p', { class: 'detail' }),
      eta: el('p', { class: 'eta', hidden: true }),
      cancel: el('button', { type: 'button', class: 'btn cancel' }, '취소'),
      cancelError: el('p', { class: 'refusal cancel-error', role: 'alert' }),
      workDir: el('dd', { class: 'path' }),
      workRow: null,
      outcome: el('div', { class: 'outcome' })
    };
    card.bar.appendChild(card.fill);
    STEPS.forEach(function (s) {
      card.steps.appendChild(el('li', { 'data-step': s[0] }, s[1]));
    });
    card.workRow = el('dl', { class: 'facts', hidden: true }, el('dt', null, '작업 폴더'), card.workDir);
    card.cancel.addEventListener('click', function () { cancel(card); });
    // Focusable from script only: a new card takes the focus so that a
    // keyboard or screen-reader user lands on what they just started.
    card.root = el('article', { class: 'job', 'data-job': id, 'aria-labelledby': titleId, tabindex: '-1' },
      el('div', { class: 'job-head' }, card.title, card.badge),
      card.sub,
      card.steps,
      el('div', { class: 'progress-row' }, card.bar, card.pctText),
      el('div', { class: 'status-row' },
        el('div', { class: 'status-text' }, card.detail, card.eta),
        el('div', { class: 'job-actions' }, card.cancelError, card.cancel)),
      card.workRow,
      card.outcome);
    describe(card, {});
    cards.set(id, card);
    var box = container();
    box.insertBefore(card.root, box.firstChild);
    document.getElementById('jobs-section').hidden = false;
    return card;
  }

  // The heading and the line under it: what is being recovered, with what.
  function describe(card, state) {
    var ctx = card.ctx;
    var name = ctx.rsvName || fmt.basename(state.out).replace(/_fixed\.MP4$/i, '') || card.id;
    card.title.textContent = name;
    var parts = [];
    if (ctx.refName) parts.push('참조 ' + ctx.refName);
    if (ctx.volId) parts.push('작업 볼륨 ' + ctx.volId);
    card.sub.textContent = parts.join(' · ');
    card.sub.hidden = parts.length === 0;
  }

  function renderSteps(card, stage) {
    var index = STEPS.findIndex(function (s) { return s[0] === stage; });
    var items = card.steps.children;
    for (var i = 0; i < items.length; i++) {
      var item = items[i];
      item.className = '';
      item.removeAttribute('aria-current');
      if (stage === 'done' || (index >= 0 && i < index)) item.className = 'step-done';
      else if (i === index) {
        item.className = 'step-now';
        item.setAttribute('aria-current', 'step');
      }
    }
    if (stage === 'error' || stage === 'cancelled') {
      // Mark the step the job failed or stopped in: the last one it had reached.
      var reached = STEPS.findIndex(function (s) { return s[0] === card.lastRunningStage; });
      for (var j = 0; j < items.length; j++) {
        if (j < reached) items[j].className = 'step-done';
        else if (j === reached) items[j].className = stage === 'error' ? 'step-failed' : 'step-stopped';
      }
    }
  }

  function update(state, ctx) {
    var id = state.id;
    var card = cards.get(id) || makeCard(id, ctx);
    if (card.finished) return;
    var stage = typeof state.stage === 'string' ? state.stage : 'queue';
    if (!FINAL[stage] || stage === 'done') card.lastRunningStage = stage;

    describe(card, state);
    card.root.setAttribute('data-stage', stage);
    card.badge.textContent = fmt.stage(stage);

    // The bar and the number are one value from one state.
    var p = stage === 'done' ? 100 : fmt.pct(state.pct);
    card.bar.setAttribute('aria-valuenow', String(p));
    card.bar.setAttribute('aria-valuetext', p + '% · ' + fmt.stage(stage));
    card.fill.style.width = p + '%';
    card.pctText.textContent = p + '%';
    card.detail.textContent = stage === 'cancelled' ? '취소됨 — 작업 폴더의 파일은 그대로 있습니다'
      : typeof state.detail === 'string' ? state.detail : '';
    var timed = (stage === 'copy' || stage === 'recover') && typeof state.eta_s === 'number' && isFinite(state.eta_s);
    card.eta.hidden = !timed;
    if (timed) {
      card.eta.textContent = '남은 시간 ' + fmt.eta(state.eta_s) +
        (typeof state.rate_mb_s === 'number' && state.rate_mb_s > 0 ? ' · ' + fmt.rate(state.rate_mb_s) : '');
    }
    if (typeof state.work_dir === 'string' && state.work_dir) {
      card.workDir.textContent = state.work_dir;
      card.workRow.hidden = false;
    }
    renderSteps(card, stage);

    if (stage !== card.stage) {
      var name = card.title.textContent;
      if (stage === 'done') Torvelin.announce(name + ' 복구가 끝났습니다. 결과를 확인하세요.');
      else if (stage === 'error') Torvelin.announce(name + ' 복구에 실패했습니다.');
      else if (stage === 'cancelled') Torvelin.announce(name + ' 복구를 취소했습니다.');
      else Torvelin.announce(name + ': ' + fmt.stage(stage));
    }
    card.stage = stage;

    if (FINAL[stage]) {
      card.finished = true;
      card.cancel.parentNode.hidden = true;
      if (stage === 'done') {
        card.out = typeof state.out === 'string' ? state.out : '';
        card.outcome.replaceChildren(doneView(state));
      } else if (stage === 'error') {
        card.outcome.replaceChildren(errorView(card, state));
      } else {
        card.outcome.replaceChildren(cancelledView(state));
      }
    }
    changed();
    if (card.finished) finishListeners.forEach(function (fn) { fn(card); });
  }

  function logLines(state) {
    return Array.isArray(state.log) ? state.log.filter(function (l) { return typeof l === 'string'; }) : [];
  }

  // The engine's own lines behind a "자세히" toggle: the message above them
  // is the sentence to read; these are for whoever helps the user.
  function details(state) {
    var lines = logLines(state);
    if (!lines.length) return null;
    var list = el('ul', { class: 'engine-lines', hidden: true },
      lines.map(function (line) { return el('li', null, line); }));
    var toggle = el('button', { type: 'button', class: 'btn btn-quiet details', 'aria-expanded': 'false' }, '자세히');
    toggle.addEventListener('click', function () {
      list.hidden = !list.hidden;
      toggle.setAttribute('aria-expanded', String(!list.hidden));
      toggle.textContent = list.hidden ? '자세히' : '자세히 닫기';
    });
    return el('div', { class: 'log' }, toggle, list);
  }

  function cancelledView(state) {
    var box = el('div', { class: 'failure cancelled' },
      el('p', { class: 'muted' }, '카드의 원본 RSV와 작업 폴더에 지금까지 쓴 파일은 지우지 않았습니다. 같은 파일을 다시 복구할 수 있습니다.'));
    if (typeof state.work_dir === 'string' && state.work_dir) {
      var folder = el('button', { type: 'button', class: 'btn' }, '작업 폴더 열기');
      var err = el('p', { class: 'refusal', role: 'alert' });
      folder.addEventListener('click', function () { openFile(state.work_dir, false, err); });
      box.appendChild(el('div', { class: 'actions' }, folder, err));
    }
    return box;
  }

  function doneView(state) {
    var box = el('div', { class: 'done' });
    if (typeof state.note === 'string' && state.note) {
      box.appendChild(el('p', { class: 'note', role: 'note' },
        el('strong', { class: 'note-label' }, '꼭 읽어 주세요'), state.note));
    }

    if (logLines(state).indexOf(FLAT_MATRICES) >= 0) {
      box.appendChild(el('p', { class: 'notice flat' },
        '참조 파일 없이 복구했습니다 — 밝기와 색이 원본과 다를 수 있습니다. 같은 카메라로 찍은 다른 파일이 있으면 그것을 참조로 다시 복구해 보세요'));
    }

    // The next step the note asks for comes first: play the file.
    var open = el('button', { type: 'button', class: 'btn btn-primary' }, '복구된 파일 열기');
    var reveal = el('button', { type: 'button', class: 'btn' }, '파일 위치 보기');
    var openError = el('p', { class: 'refusal open-error', role: 'alert' });
    open.addEventListener('click', function () { openFile(state.out, false, openError); });
    reveal.addEventListener('click', function () { openFile(state.out, true, openError); });
    box.appendChild(el('div', { class: 'actions' }, open, reveal, openError));

    var facts = el('dl', { class: 'facts' });
    function fact(label, value, cls) {
      facts.appendChild(el('dt', null, label));
      facts.appendChild(el('dd', cls ? { class: cls } : null, value));
    }
    if (typeof state.out === 'string') fact('복구된 파일', state.out, 'path');
    if (typeof state.out_size === 'number') fact('파일 크기', fmt.gb(state.out_size));
    fmt.probeFacts(state.info).forEach(function (f) { fact(f[0], f[1]); });
    box.appendChild(facts);

    var thumbs = (Array.isArray(state.thumbs) ? state.thumbs : []).map(function (t) { return t || {}; });
    if (thumbs.length) {
      var row = el('ul', { class: 'thumbs', 'aria-label': '검증 프레임' });
      // Each frame under its real time; a short clip's points can fall
      // within a second of each other, and then the finer time tells them apart.
      var times = thumbs.map(function (t) { return fmt.num(t.t); });
      var coarse = times.map(fmt.clock);
      var fine = coarse.some(function (c, i) { return coarse.indexOf(c) !== i; });
      var same = times.some(function (a, i) { return times.some(function (b, j) { return j !== i && Math.abs(a - b) < 0.5; }); });
      thumbs.forEach(function (t, i) {
        var at = fine ? fmt.clockFine(times[i]) : coarse[i];
        var label = fmt.tag(t.tag) + ' · ' + at;
        var img = el('img', { alt: fmt.tag(t.tag) + ' 지점 프레임 (' + at + ')' });
        // Only inline JPEG/PNG data: the page loads nothing from elsewhere.
        if (typeof t.img === 'string' && /^data:image\/(jpeg|png);base64,/.test(t.img)) img.src = t.img;
        row.appendChild(el('li', null, el('figure', null, img, el('figcaption', null, label))));
      });
      box.appendChild(row);
      if (same) box.appendChild(el('p', { class: 'muted' }, '클립이 짧아 검증 지점이 거의 같은 시각에 있습니다. 편집 프로그램에서 직접 재생해 확인하세요.'));
    }

    var lines = Array.isArray(state.durations) ? state.durations : [];
    box.appendChild(el('h4', { class: 'minor' }, '복구 엔진이 읽은 길이'));
    if (lines.length) {
      box.appendChild(el('ul', { class: 'engine-lines' },
        lines.map(function (line) { return el('li', null, String(line)); })));
    } else {
      box.appendChild(el('p', { class: 'muted' }, '엔진이 길이 기록을 남기지 않았습니다.'));
    }
    var more = details(state);
    if (more) box.appendChild(more);

    return box;
  }

  function errorView(card, state) {
    var message = typeof state.error === 'string' && state.error ? state.error : '알 수 없는 오류';
    var box = el('div', { class: 'failure', role: 'alert' },
      el('p', { class: 'failure-message' }, message),
      el('p', { class: 'hint' }, el('strong', null, '다음에 해 볼 일 '), fmt.hint(message)),
      el('p', { class: 'muted' }, '카드의 원본 RSV는 그대로 있습니다. 작업 폴더에 만들어진 파일도 지우지 않았습니다.'),
      details(state));
    var actions = el('div', { class: 'actions' });
    var err = el('p', { class: 'refusal', role: 'alert' });
    if (typeof state.work_dir === 'string' && state.work_dir) {
      var folder = el('button', { type: 'button', class: 'btn' }, '작업 폴더 열기');
      folder.addEventListener('click', function () { openFile(state.work_dir, false, err); });
      actions.appendChild(folder);
    }
    if (card.ctx.rsvPath) {
      var again = el('button', { type: 'button', class: 'btn' }, '설정 바꿔 다시 시도');
      again.addEventListener('click', function () { Torvelin.scan.focusEntry(card.ctx.rsvPath); });
      actions.appendChild(again);
    }
    if (actions.children.length) {
      actions.appendChild(err);
      box.appendChild(actions);
    }
    return box;
  }

  // Called with the "recover" answer: the card appears at once, before the
  // first state, so the user sees that the click was taken.
  function created(id, ctx) {
    var card = cards.get(id);
    if (card) {
      card.ctx = ctx;
      describe(card, {});
    } else {
      card = makeCard(id, ctx);
      card.badge.textContent = fmt.stage('queue');
      card.root.setAttribute('data-stage', 'queue');
      card.detail.textContent = '준비 중';
    }
    changed();
    return card.root;
  }

  function runningFor(rsvPath) {
    var found = false;
    cards.forEach(function (card) {
      if (!card.finished && card.ctx.rsvPath === rsvPath) found = true;
    });
    return found;
  }

  // The recovered file of the last job that finished this recording, if any.
  function recoveredFor(rsvPath) {
    var out = '';
    cards.forEach(function (card) {
      if (card.stage === 'done' && card.ctx.rsvPath === rsvPath && card.out) out = card.out;
    });
    return out;
  }

  function onChange(fn) {
    listeners.push(fn);
  }

  function onFinish(fn) {
    finishListeners.push(fn);
  }

  return {
    update: update, created: created, runningFor: runningFor, recoveredFor: recoveredFor,
    onChange: onChange, onFinish: onFinish, openFile: openFile
  };
})();
