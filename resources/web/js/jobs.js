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
  // Recordings recovered in this session, by RSV path: kept when their
  // cards are cleared away.
  var recovered = new Map();
  // Jobs whose finished cards the user cleared: a late state brings none back.
  var cleared = new Set();
  var FINAL = { done: true, error: true, cancelled: true };
  var STEPS = [['copy', '복사'], ['recover', '복구'], ['verify', '검증'], ['done', '완료']];

  function container() {
    return document.getElementById('jobs');
  }

  function changed() {
    listeners.forEach(function (fn) { fn(); });
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
      state: {},
      title: el('h3', { id: titleId, class: 'job-title' }),
      badge: el('span', { class: 'badge' }),
      sub: el('p', { class: 'job-sub' }),
      summary: el('p', { class: 'job-summary', hidden: true }),
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
      fold: el('button', { type: 'button', class: 'btn btn-quiet fold', hidden: true, 'aria-expanded': 'true' }, '접기'),
      clear: el('button', { type: 'button', class: 'btn btn-quiet clear', hidden: true }, '목록에서 지우기'),
      workDir: el('dd', { class: 'path' }),
      workRow: null,
      outcome: el('div', { class: 'outcome' })
    };
    card.cardName = function () { return String(card.state.card_name || card.ctx.cardName || ''); };
    card.bar.appendChild(card.fill);
    STEPS.forEach(function (s) {
      card.steps.appendChild(el('li', { 'data-step': s[0] }, s[1]));
    });
    card.workRow = el('dl', { class: 'facts', hidden: true }, el('dt', null, '작업 폴더'), card.workDir);
    card.cancel.addEventListener('click', function () { cancel(card); });
    card.fold.addEventListener('click', function () { collapse(card, !card.collapsed); });
    card.clear.addEventListener('click', function () { remove(card); });
    // Focusable from script only: a new card takes the focus so that a
    // keyboard or screen-reader user lands on what they just started.
    card.root = el('article', { class: 'job', 'data-job': id, 'aria-labelledby': titleId, tabindex: '-1' },
      el('div', { class: 'job-head' }, card.title, el('span', { class: 'job-tools' }, card.fold, card.clear), card.badge),
      card.sub,
      card.summary,
      el('div', { class: 'job-body' },
        card.steps,
        el('div', { class: 'progress-row' }, card.bar, card.pctText),
        el('div', { class: 'status-row' },
          el('div', { class: 'status-text' }, card.detail, card.eta),
          el('div', { class: 'job-actions' }, card.cancelError, card.cancel)),
        card.workRow,
        card.outcome));
    describe(card);
    cards.set(id, card);
    var box = container();
    box.insertBefore(card.root, box.firstChild);
    document.getElementById('jobs-section').hidden = false;
    return card;
  }

  // The heading and the line under it: what is being recovered, from which
  // card, with what.
  function describe(card) {
    var ctx = card.ctx;
    var name = ctx.rsvName || fmt.basename(card.state.out).replace(/_fixed.*\.MP4$/i, '') || card.id;
    card.title.textContent = name;
    var parts = [];
    if (card.cardName()) parts.push('카드 ' + card.cardName());
    if (ctx.refName) parts.push('참조 ' + ctx.refName);
    if (ctx.volId) parts.push('작업 볼륨 ' + ctx.volId);
    card.sub.textContent = parts.join(' · ');
    card.sub.hidden = parts.length === 0;
  }

  // A finished card folds to its heading and one line, so that finished
  // work does not push the list off the screen.
  function collapse(card, folded) {
    card.collapsed = folded;
    card.root.toggleAttribute('data-collapsed', folded);
    card.summary.hidden = !folded;
    card.fold.textContent = folded ? '펼치기' : '접기';
    card.fold.setAttribute('aria-expanded', String(!folded));
  }

  function remove(card) {
    var next = card.root.nextElementSibling || card.root.previousElementSibling;
    cards.delete(card.id);
    cleared.add(card.id);
    card.root.remove();
    document.getElementById('jobs-section').hidden = cards.size === 0;
    refreshClearAll();
    if (next) next.focus();
    else document.getElementById('rescan').focus();
    changed();
  }

  function finishedCards() {
    return Array.from(cards.values()).filter(function (c) { return c.finished; });
  }

  function refreshClearAll() {
    document.getElementById('clear-jobs').hidden = finishedCards().length < 2;
  }

  function clearFinished() {
    finishedCards().forEach(remove);
  }

  // "작업 중 1:23 · 남은 시간 약 2분": one estimate for the whole job.
  function timeText(state, stage) {
    var parts = [];
    if (typeof state.elapsed_s === 'number' && isFinite(state.elapsed_s)) parts.push('경과 ' + fmt.clock(state.elapsed_s));
    if (typeof state.eta_s === 'number' && isFinite(state.eta_s)) parts.push('전체 남은 시간 ' + fmt.eta(state.eta_s));
    if (stage === 'copy' && typeof state.rate_mb_s === 'number' && state.rate_mb_s > 0) parts.push(fmt.rate(state.rate_mb_s));
    return parts.join(' · ');
  }

  // The step's own line without a percentage of its own (the bar carries
  // the one for the whole job) and with the frame's name in Korean.
  function detailText(state) {
    var text = typeof state.detail === 'string' ? state.detail : '';
    text = text.replace(/\s*\d+(\.\d+)?\s*%$/, '');
    var tagged = / — (start|mid|end)$/.exec(text);
    return tagged ? text.slice(0, tagged.index) + ' — ' + fmt.tag(tagged[1]) : text;
  }

  // The window's title carries the progress of what runs.
  function refreshTitle() {
    var running = Array.from(cards.values()).filter(function (c) { return !c.finished; });
    var base = 'TORVELIN RECOVERY';
    if (running.length === 1) {
      document.title = fmt.pct(running[0].state.pct) + '% · ' + running[0].title.textContent + ' 복구 중 — ' + base;
    } else if (running.length > 1) {
      document.title = '복구 ' + running.length + '개 진행 중 — ' + base;
    } else {
      document.title = base;
    }
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

  function stageOf(state) {
    var stage = typeof state.stage === 'string' ? state.stage : 'queue';
    // A cancellation reported as a failure reads as what it was.
    return stage === 'error' && state.error_kind === 'cancelled' ? 'cancelled' : stage;
  }

  function renderProgress(card, state, stage) {
    // The bar and the number are one value from one state.
    var p = stage === 'done' ? 100 : fmt.pct(state.pct);
    var shown = stage === 'done' && state.partial === true ? fmt.stage('partial') : fmt.stage(stage);
    card.badge.textContent = shown;
    card.bar.setAttribute('aria-valuenow', String(p));
    card.bar.setAttribute('aria-valuetext', p + '% · ' + shown);
    card.fill.style.width = p + '%';
    card.pctText.textContent = p + '%';
    // A step's line belongs to a running job; a finished one says what
    // happened below, and an old "GOP 재조립 0%" there would only mislead.
    card.detail.textContent = stage === 'cancelled' ? '취소됨 — 작업 폴더의 파일은 그대로 있습니다'
      : FINAL[stage] ? '' : detailText(state);
    var time = FINAL[stage] ? '' : timeText(state, stage);
    card.eta.hidden = !time;
    card.eta.textContent = time;
    if (typeof state.work_dir === 'string' && state.work_dir) {
      card.workDir.textContent = state.work_dir;
      card.workRow.hidden = false;
    }
    renderSteps(card, stage);
  }

  function announce(card, stage) {
    if (stage === card.stage) return;
    var name = card.title.textContent;
    if (stage === 'done') Torvelin.announce(name + ' 복구가 끝났습니다. 결과를 확인하세요.');
    else if (stage === 'error') Torvelin.announce(name + ' 복구에 실패했습니다.');
    else if (stage === 'cancelled') Torvelin.announce(name + ' 복구를 취소했습니다.');
    else Torvelin.announce(name + ': ' + fmt.stage(stage));
  }

  function finish(card, state, stage) {
    card.finished = true;
    card.cancel.parentNode.hidden = true;
    card.fold.hidden = false;
    card.clear.hidden = false;
    var summary = '';
    if (stage === 'done') {
      card.out = typeof state.out === 'string' ? state.out : '';
      if (card.out && card.ctx.rsvPath) recovered.set(card.ctx.rsvPath, card.out);
      card.outcome.replaceChildren(Torvelin.result.done(card, state));
      summary = fmt.basename(card.out) + (typeof state.out_size === 'number' ? ' · ' + fmt.gb(state.out_size) : '');
    } else if (stage === 'error') {
      card.outcome.replaceChildren(Torvelin.result.error(card, state));
      summary = typeof state.error === 'string' ? state.error : '';
    } else {
      card.outcome.replaceChildren(Torvelin.result.cancelled(card, state));
      summary = '취소됨 — 작업 폴더의 파일은 그대로 있습니다';
    }
    card.summary.textContent = summary;
    refreshClearAll();
  }

  function update(state, ctx) {
    var id = state.id;
    if (cleared.has(id)) return;
    var card = cards.get(id) || makeCard(id, ctx);
    if (card.finished) return;
    var stage = stageOf(state);
    if (!FINAL[stage] || stage === 'done') card.lastRunningStage = stage;
    card.state = state;
    describe(card);
    card.root.setAttribute('data-stage', stage);
    card.root.toggleAttribute('data-partial', stage === 'done' && state.partial === true);
    renderProgress(card, state, stage);
    announce(card, stage);
    card.stage = stage;
    if (FINAL[stage]) finish(card, state, stage);
    refreshTitle();
    changed();
    if (card.finished) finishListeners.forEach(function (fn) { fn(card); });
  }

  // Called with the "recover" answer: the card appears at once, before the
  // first state, so the user sees that the click was taken. Finished cards
  // fold away to make room for it.
  function created(id, ctx) {
    finishedCards().forEach(function (c) { collapse(c, true); });
    var card = cards.get(id);
    if (card) {
      card.ctx = ctx;
      describe(card);
    } else {
      card = makeCard(id, ctx);
      card.badge.textContent = fmt.stage('queue');
      card.root.setAttribute('data-stage', 'queue');
      card.detail.textContent = '준비 중';
    }
    refreshTitle();
    changed();
    return card.root;
  }

  function runningFor(rsvPath) {
    return Array.from(cards.values()).some(function (card) { return !card.finished && card.ctx.rsvPath === rsvPath; });
  }

  // The recovered file of the last job that finished this recording in this
  // session, if any.
  function recoveredFor(rsvPath) {
    return recovered.get(rsvPath) || '';
  }

  function onChange(fn) {
    listeners.push(fn);
  }

  function onFinish(fn) {
    finishListeners.push(fn);
  }

  document.getElementById('clear-jobs').addEventListener('click', clearFinished);

  return {
    update: update, created: created, runningFor: runningFor, recoveredFor: recoveredFor,
    onChange: onChange, onFinish: onFinish
  };
})();
