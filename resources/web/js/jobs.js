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
  var STEPS = [['copy', '복사'], ['recover', '복구'], ['verify', '검증'], ['done', '완료']];

  function container() {
    return document.getElementById('jobs');
  }

  function changed() {
    listeners.forEach(function (fn) { fn(); });
  }

  function openFile(path, reveal) {
    Torvelin.bridge.request('open', { path: String(path || ''), reveal: !!reveal }).catch(function () {});
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
      workDir: el('dd', { class: 'path' }),
      workRow: null,
      outcome: el('div', { class: 'outcome' })
    };
    card.bar.appendChild(card.fill);
    STEPS.forEach(function (s) {
      card.steps.appendChild(el('li', { 'data-step': s[0] }, s[1]));
    });
    card.workRow = el('dl', { class: 'facts', hidden: true }, el('dt', null, '작업 폴더'), card.workDir);
    card.root = el('article', { class: 'job', 'data-job': id, 'aria-labelledby': titleId },
      el('div', { class: 'job-head' }, card.title, card.badge),
      card.sub,
      card.steps,
      el('div', { class: 'progress-row' }, card.bar, card.pctText),
      card.detail,
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
    if (stage === 'error') {
      // Mark the step the job failed in: the last one it had reached.
      var reached = STEPS.findIndex(function (s) { return s[0] === card.lastRunningStage; });
      for (var j = 0; j < items.length; j++) {
        if (j < reached) items[j].className = 'step-done';
        else if (j === reached) items[j].className = 'step-failed';
      }
    }
  }

  function update(state, ctx) {
    var id = state.id;
    var card = cards.get(id) || makeCard(id, ctx);
    if (card.finished) return;
    var stage = typeof state.stage === 'string' ? state.stage : 'queue';
    if (stage !== 'error') card.lastRunningStage = stage;

    describe(card, state);
    card.root.setAttribute('data-stage', stage);
    card.badge.textContent = fmt.stage(stage);

    var p = stage === 'done' ? 100 : fmt.pct(state.pct);
    card.bar.setAttribute('aria-valuenow', String(p));
    card.bar.setAttribute('aria-valuetext', p + '% · ' + fmt.stage(stage));
    card.fill.style.width = p + '%';
    card.pctText.textContent = p + '%';
    card.detail.textContent = typeof state.detail === 'string' ? state.detail : '';
    if (typeof state.work_dir === 'string' && state.work_dir) {
      card.workDir.textContent = state.work_dir;
      card.workRow.hidden = false;
    }
    renderSteps(card, stage);

    if (stage !== card.stage) {
      var name = card.title.textContent;
      if (stage === 'done') Torvelin.announce(name + ' 복구가 끝났습니다. 결과를 확인하세요.');
      else if (stage === 'error') Torvelin.announce(name + ' 복구에 실패했습니다.');
      else Torvelin.announce(name + ': ' + fmt.stage(stage));
    }
    card.stage = stage;

    if (stage === 'done') {
      card.finished = true;
      card.outcome.replaceChildren(doneView(state));
    } else if (stage === 'error') {
      card.finished = true;
      card.outcome.replaceChildren(errorView(card, state));
    }
    changed();
  }

  function doneView(state) {
    var box = el('div', { class: 'done' });
    if (typeof state.note === 'string' && state.note) {
      box.appendChild(el('p', { class: 'note', role: 'note' },
        el('strong', { class: 'note-label' }, '꼭 읽어 주세요'), state.note));
    }

    // The next step the note asks for comes first: play the file.
    var open = el('button', { type: 'button', class: 'btn btn-primary' }, '복구된 파일 열기');
    var reveal = el('button', { type: 'button', class: 'btn' }, '파일 위치 보기');
    open.addEventListener('click', function () { openFile(state.out, false); });
    reveal.addEventListener('click', function () { openFile(state.out, true); });
    box.appendChild(el('div', { class: 'actions' }, open, reveal));

    var facts = el('dl', { class: 'facts' });
    function fact(label, value, cls) {
      facts.appendChild(el('dt', null, label));
      facts.appendChild(el('dd', cls ? { class: cls } : null, value));
    }
    if (typeof state.out === 'string') fact('복구된 파일', state.out, 'path');
    if (typeof state.out_size === 'number') fact('파일 크기', fmt.gb(state.out_size));
    fmt.probeFacts(state.info).forEach(function (f) { fact(f[0], f[1]); });
    box.appendChild(facts);

    var thumbs = Array.isArray(state.thumbs) ? state.thumbs : [];
    if (thumbs.length) {
      var row = el('ul', { class: 'thumbs', 'aria-label': '검증 프레임' });
      thumbs.forEach(function (t) {
        t = t || {};
        var label = fmt.tag(t.tag) + ' · ' + fmt.clock(t.t);
        var img = el('img', { alt: fmt.tag(t.tag) + ' 지점 프레임 (' + fmt.clock(t.t) + ')' });
        // Only inline JPEG/PNG data: the page loads nothing from elsewhere.
        if (typeof t.img === 'string' && /^data:image\/(jpeg|png);base64,/.test(t.img)) img.src = t.img;
        row.appendChild(el('li', null, el('figure', null, img, el('figcaption', null, label))));
      });
      box.appendChild(row);
    }

    var lines = Array.isArray(state.durations) ? state.durations : [];
    box.appendChild(el('h4', { class: 'minor' }, '복구 엔진이 읽은 길이'));
    if (lines.length) {
      box.appendChild(el('ul', { class: 'engine-lines' },
        lines.map(function (line) { return el('li', null, String(line)); })));
    } else {
      box.appendChild(el('p', { class: 'muted' }, '엔진이 길이 기록을 남기지 않았습니다.'));
    }

    return box;
  }

  function errorView(card, state) {
    var message = typeof state.error === 'string' && state.error ? state.error : '알 수 없는 오류';
    var box = el('div', { class: 'failure', role: 'alert' },
      el('p', { class: 'failure-message' }, message),
      el('p', { class: 'hint' }, el('strong', null, '다음에 해 볼 일 '), fmt.hint(message)),
      el('p', { class: 'muted' }, '카드의 원본 RSV는 그대로 있습니다. 작업 폴더에 만들어진 파일도 지우지 않았습니다.'));
    var actions = el('div', { class: 'actions' });
    if (typeof state.work_dir === 'string' && state.work_dir) {
      var folder = el('button', { type: 'button', class: 'btn' }, '작업 폴더 열기');
      folder.addEventListener('click', function () { openFile(state.work_dir, false); });
      actions.appendChild(folder);
    }
    if (card.ctx.rsvPath) {
      var again = el('button', { type: 'button', class: 'btn' }, '설정 바꿔 다시 시도');
      again.addEventListener('click', function () { Torvelin.scan.focusEntry(card.ctx.rsvPath); });
      actions.appendChild(again);
    }
    if (actions.children.length) box.appendChild(actions);
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

  function onChange(fn) {
    listeners.push(fn);
  }

  return { update: update, created: created, runningFor: runningFor, onChange: onChange };
})();
