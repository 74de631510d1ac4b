// What a finished job card shows below its progress: the verified result
// (what it proved, what was lost or damaged, what a donor lent), or the
// failure with what to try next, or the cancellation. Built once from the
// final Job state; every label is Korean and the engine's own English lines
// wait behind "자세히".
'use strict';

var Torvelin = window.Torvelin || (window.Torvelin = {});

Torvelin.result = (function () {
  var el = Torvelin.fmt.el;
  var fmt = Torvelin.fmt;
  var actions = Torvelin.actions;
  // Below this length the three verification points sit close together.
  var SHORT_CLIP_S = 3;

  function strings(v) {
    return fmt.list(v).filter(function (l) { return typeof l === 'string'; });
  }

  function engineLines(state) {
    return strings(state.durations).concat(strings(state.log));
  }

  // Everything a helper needs in one text: the card as read, then the engine.
  function logText(card, state) {
    var lines = [card.title.textContent, card.sub.textContent, fmt.stage(card.stage)];
    if (typeof state.error === 'string') lines.push(state.error + (state.error_kind ? ' [' + state.error_kind + ']' : ''));
    if (typeof state.out === 'string') lines.push(state.out);
    return lines.filter(Boolean).concat(engineLines(state)).join('\n');
  }

  function button(label, onClick, cls) {
    var b = el('button', { type: 'button', class: cls || 'btn' }, label);
    b.addEventListener('click', onClick);
    return b;
  }

  // The engine's own lines behind a toggle, with a button that copies the log.
  function details(card, state) {
    var lines = engineLines(state);
    var copied = el('p', { class: 'refusal copy-result', role: 'status' });
    var copyLog = button('로그 복사', function () { actions.copy(logText(card, state), copied, '로그를 복사했습니다.'); }, 'btn btn-quiet');
    var box = el('div', { class: 'log' });
    if (lines.length) {
      var list = el('ul', { class: 'engine-lines', hidden: true }, lines.map(function (line) { return el('li', null, line); }));
      var toggle = el('button', { type: 'button', class: 'btn btn-quiet details', 'aria-expanded': 'false' }, '자세히');
      toggle.addEventListener('click', function () {
        list.hidden = !list.hidden;
        toggle.setAttribute('aria-expanded', String(!list.hidden));
        toggle.textContent = list.hidden ? '자세히' : '자세히 닫기';
      });
      box.append(el('div', { class: 'log-buttons' }, toggle, copyLog), list);
    } else {
      box.append(el('div', { class: 'log-buttons' }, copyLog));
    }
    box.append(copied);
    return box;
  }

  // Removing the `.partial` files this job left, after the user confirmed.
  function partialsButton(card) {
    var box = el('p', { class: 'refusal confirm', role: 'status' });
    var remove = button('남은 임시 파일(.partial) 지우기', function () {
      actions.confirm(box, '이 작업이 작업 폴더에 만든 .partial 파일만 지웁니다. 카드의 원본과 다른 파일은 그대로 둡니다.', '지우기', function () {
        remove.setAttribute('aria-disabled', 'true');
        Torvelin.bridge.request('remove_partials', { job: card.id }).then(function (data) {
          if (data && typeof data.error === 'string') {
            actions.failed(box, data.error);
            remove.removeAttribute('aria-disabled');
            return;
          }
          var n = data && typeof data.removed === 'number' ? data.removed : 0;
          remove.hidden = true;
          box.replaceChildren(el('span', { class: 'done-message' }, n > 0 ? '임시 파일 ' + n + '개를 지웠습니다.' : '지울 임시 파일이 없습니다.'));
        }, function () {
          actions.failed(box, '앱과 연결되어 있지 않아 지울 수 없습니다.');
          remove.removeAttribute('aria-disabled');
        });
      });
    });
    return [remove, box];
  }

  function folderActions(card, state, extra) {
    var row = el('div', { class: 'actions' });
    var err = el('p', { class: 'refusal', role: 'alert' });
    if (typeof state.work_dir === 'string' && state.work_dir) {
      row.append(button('작업 폴더 열기', function () { actions.open(state.work_dir, false, err); }));
    }
    (extra || []).forEach(function (b) { row.append(b); });
    if (typeof state.work_dir === 'string' && state.work_dir) row.append.apply(row, partialsButton(card));
    row.append(err);
    return row;
  }

  function cancelledView(card, state) {
    return el('div', { class: 'failure cancelled' },
      el('p', { class: 'muted' }, '카드의 원본 RSV와 작업 폴더에 지금까지 쓴 파일은 지우지 않았습니다. 같은 파일을 다시 복구할 수 있습니다.'),
      folderActions(card, state));
  }

  function errorView(card, state) {
    var message = typeof state.error === 'string' && state.error ? state.error : '알 수 없는 오류';
    var extra = [];
    if (card.ctx.rsvPath) extra.push(button('설정 바꿔 다시 시도', function () { Torvelin.scan.focusEntry(card.ctx.rsvPath); }));
    return el('div', { class: 'failure', role: 'alert' },
      el('p', { class: 'failure-message' }, message),
      el('p', { class: 'hint' }, el('strong', null, '다음에 해 볼 일 '), fmt.hint(state.error_kind)),
      el('p', { class: 'muted' }, '카드의 원본 RSV는 그대로 있습니다. 작업 폴더에 만들어진 파일도 지우지 않았습니다.'),
      folderActions(card, state, extra),
      details(card, state));
  }

  // Warnings that the user must read before trusting the file.
  function warnings(card, state) {
    var out = [];
    if (state.partial === true) {
      var where = fmt.ranges(state.damaged_ranges);
      out.push(el('p', { class: 'notice damaged' }, el('strong', null, '일부 손상 '),
        '검증하면서 디코딩 오류가 난 곳이 있습니다' + (where ? ': ' + where : '') + '. 편집 프로그램에서 이 구간을 확인하세요.'));
    }
    var lost = fmt.lost(state.lost);
    if (lost) out.push(el('p', { class: 'notice lost' }, el('strong', null, '되살리지 못한 구간 '), lost));
    var lent = fmt.list(state.donor_fields).length > 0;
    if (state.matrices === 'flat' && !lent) {
      out.push(el('p', { class: 'notice flat' },
        '참조 파일 없이 복구했습니다 — 밝기와 색이 원본과 다를 수 있습니다. 같은 카메라로 찍은 다른 파일이 있으면 그것을 참조로 다시 복구해 보세요'));
    } else if (state.matrices === 'fitted' || (typeof state.matrices === 'string' && state.matrices.indexOf('table:') === 0)) {
      var how = state.matrices === 'fitted' ? '영상에 맞춰 추정했으니'
        : state.matrices === 'table:standard-default' ? 'H.264 표준 기본값으로 골라 썼으니' : '실제 카메라의 값에서 골라 썼으니';
      out.push(el('p', { class: 'notice flat' },
        '참조 파일 없이 복구했습니다 — 카메라의 스케일링 행렬을 ' + how + ' 밝기와 색이 원본과 조금 다를 수 있습니다. 같은 카메라로 찍은 다른 파일이 있으면 그것을 참조로 다시 복구해 보세요'));
    }
    return out;
  }

  function facts(card, state) {
    var box = el('dl', { class: 'facts' });
    function fact(label, value, cls) {
      if (value === '' || value === undefined) return;
      box.append(el('dt', null, label), el('dd', cls ? { class: cls } : null, value));
    }
    if (typeof state.out === 'string') fact('복구된 파일', state.out, 'path');
    fact('카드', card.cardName());
    if (typeof state.out_size === 'number') fact('파일 크기', fmt.gb(state.out_size));
    fmt.probeFacts(state.info).forEach(function (f) { fact(f[0], f[1]); });
    var verify = state.verify && typeof state.verify === 'object' ? state.verify : {};
    if (typeof verify.frames === 'number') fact('프레임 수', verify.frames.toLocaleString('ko-KR') + '개');
    if (typeof verify.checked === 'number') {
      fact('검증', '키 프레임 ' + verify.checked.toLocaleString('ko-KR') + '개 디코딩 · 오류 ' + fmt.num(verify.errors) + '개');
    }
    if (typeof state.elapsed_s === 'number') fact('걸린 시간', fmt.clock(state.elapsed_s));
    var lent = fmt.fields(state.donor_fields);
    if (lent) fact('도너에서 가져온 설정', lent);
    else if (card.ctx.donor && Array.isArray(state.donor_fields)) fact('도너에서 가져온 설정', '없음 — 녹화 자체의 설정으로 복구했습니다');
    if (typeof state.matrices === 'string' && state.matrices) fact('스케일링 행렬', fmt.matrices(state.matrices));
    if (state.footage_shared === true) fact('저장 방식', '영상 데이터를 RSV 사본과 공유 (추가 공간을 거의 쓰지 않음)');
    return box;
  }

  function thumbs(state) {
    var list = fmt.list(state.thumbs).map(function (t) { return t || {}; });
    if (!list.length) return [];
    var row = el('ul', { class: 'thumbs', 'aria-label': '검증 프레임' });
    // Each frame under its real time; a short clip's points can fall
    // within a second of each other, and then the finer time tells them apart.
    var times = list.map(function (t) { return fmt.num(t.t); });
    var coarse = times.map(fmt.clock);
    var fine = coarse.some(function (c, i) { return coarse.indexOf(c) !== i; });
    list.forEach(function (t, i) {
      var at = fine ? fmt.clockFine(times[i]) : coarse[i];
      var img = el('img', { alt: fmt.tag(t.tag) + ' 지점 프레임 (' + at + ')' });
      // Only inline JPEG/PNG data: the page loads nothing from elsewhere.
      if (typeof t.img === 'string' && /^data:image\/(jpeg|png);base64,/.test(t.img)) img.src = t.img;
      row.append(el('li', null, el('figure', null, img, el('figcaption', null, fmt.tag(t.tag) + ' · ' + at))));
    });
    var dur = state.info ? fmt.num(state.info.dur) : 0;
    var short = dur > 0 && dur < SHORT_CLIP_S;
    return [row, short ? el('p', { class: 'muted' }, '클립이 ' + fmt.clockFine(dur) + '로 짧아 세 검증 프레임이 서로 가까운 시각에서 나왔습니다. 편집 프로그램에서 직접 재생해 확인하세요.') : null];
  }

  function doneView(card, state) {
    var box = el('div', { class: 'done' });
    if (typeof state.note === 'string' && state.note) {
      box.append(el('p', { class: 'note', role: 'note' }, el('strong', { class: 'note-label' }, '꼭 읽어 주세요'), state.note));
    }
    box.append.apply(box, warnings(card, state));
    // The next step the note asks for comes first: play the file.
    var err = el('p', { class: 'refusal open-error', role: 'alert' });
    box.append(el('div', { class: 'actions' },
      button('복구된 파일 열기', function () { actions.open(state.out, false, err); }, 'btn btn-primary'),
      button('파일 위치 보기', function () { actions.open(state.out, true, err); }),
      button('경로 복사', function () { actions.copy(String(state.out || ''), err, '경로를 복사했습니다.'); }),
      err));
    box.append(facts(card, state));
    thumbs(state).forEach(function (n) { if (n) box.append(n); });
    box.append(details(card, state));
    return box;
  }

  return { done: doneView, error: errorView, cancelled: cancelledView };
})();
