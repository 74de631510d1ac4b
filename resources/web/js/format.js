// Small pure helpers shared by the list and the job cards: element building
// (text only, never markup: every name and path comes from a card or the
// engine) and the Korean wording of sizes, times, stages and failures.
'use strict';

var Torvelin = window.Torvelin || (window.Torvelin = {});

Torvelin.fmt = (function () {
  // el('p', {class: 'x', 'aria-live': 'polite'}, 'text', childNode, ...)
  // Strings become text nodes; attributes are set with setAttribute, so
  // nothing given here is ever parsed as HTML.
  function el(tag, attrs) {
    var node = document.createElement(tag);
    if (attrs) {
      Object.keys(attrs).forEach(function (key) {
        var value = attrs[key];
        if (value === undefined || value === null || value === false) return;
        if (key === 'text') node.textContent = String(value);
        else if (key === 'hidden') node.hidden = true;
        else node.setAttribute(key, value === true ? '' : String(value));
      });
    }
    for (var i = 2; i < arguments.length; i++) append(node, arguments[i]);
    return node;
  }

  function append(node, child) {
    if (child === undefined || child === null || child === false) return;
    if (Array.isArray(child)) child.forEach(function (c) { append(node, c); });
    else if (typeof child === 'object' && child.nodeType) node.appendChild(child);
    else node.appendChild(document.createTextNode(String(child)));
  }

  function num(v) {
    return typeof v === 'number' && isFinite(v) ? v : 0;
  }

  // Decimal gigabytes, as the native side counts them.
  function gb(bytes) {
    var g = num(bytes) / 1e9;
    if (g >= 100) return Math.round(g) + ' GB';
    if (g >= 1) return g.toFixed(1).replace(/\.0$/, '') + ' GB';
    return Math.round(num(bytes) / 1e6) + ' MB';
  }

  // "yyMMdd HH:mm" → "20yy.MM.dd HH:mm"; anything else is shown as it came.
  function mtime(text) {
    var m = /^(\d\d)(\d\d)(\d\d) (\d\d):(\d\d)$/.exec(String(text || ''));
    if (!m) return String(text || '');
    return '20' + m[1] + '.' + m[2] + '.' + m[3] + ' ' + m[4] + ':' + m[5];
  }

  // Seconds → m:ss, or h:mm:ss from an hour on.
  function clock(seconds) {
    var s = Math.max(0, Math.floor(num(seconds)));
    var h = Math.floor(s / 3600);
    var m = Math.floor((s % 3600) / 60);
    var ss = String(s % 60).padStart(2, '0');
    return h > 0 ? h + ':' + String(m).padStart(2, '0') + ':' + ss : m + ':' + ss;
  }

  // Seconds → m:ss.ss: frame times of a short clip that m:ss would show alike.
  function clockFine(seconds) {
    var t = Math.max(0, num(seconds));
    var m = Math.floor(t / 60);
    var rest = (t - m * 60).toFixed(2).padStart(5, '0');
    return m + ':' + rest;
  }

  // Time left in words: "약 40초", "약 2분", "약 1시간 5분".
  function eta(seconds) {
    var s = Math.max(0, Math.round(num(seconds)));
    if (s < 60) return '약 ' + Math.max(1, s) + '초';
    var minutes = Math.round(s / 60);
    if (minutes < 60) return '약 ' + minutes + '분';
    return '약 ' + Math.floor(minutes / 60) + '시간' + (minutes % 60 ? ' ' + (minutes % 60) + '분' : '');
  }

  function rate(mbPerSecond) {
    var r = num(mbPerSecond);
    return (r >= 10 ? Math.round(r) : Math.round(r * 10) / 10) + ' MB/s';
  }

  function pct(v) {
    return Math.min(100, Math.max(0, Math.round(num(v))));
  }

  var STAGES = {
    queue: '대기 중',
    copy: '카드에서 복사 중',
    recover: '복구 중',
    verify: '검증 중',
    done: '복구 완료',
    error: '복구 실패',
    cancelled: '취소됨'
  };

  function stage(name) {
    return STAGES[name] || '진행 중';
  }

  var TAGS = { start: '시작', mid: '중간', end: '끝' };

  function tag(name) {
    return TAGS[name] || String(name || '');
  }

  // The Probe result in words, one item per fact that is present.
  function probeFacts(info) {
    info = info || {};
    var facts = [];
    var dur = num(info.dur);
    facts.push(['길이', dur > 0 ? clock(dur) : '알 수 없음']);
    if (typeof info.w === 'number' && typeof info.h === 'number') {
      facts.push(['해상도', info.w + ' × ' + info.h]);
    }
    if (typeof info.fps === 'number' && info.fps > 0) {
      facts.push(['프레임레이트', String(Math.round(info.fps * 1000) / 1000) + ' fps']);
    }
    if (typeof info.codec === 'string' && info.codec) facts.push(['코덱', info.codec]);
    facts.push(['오디오 트랙', num(info.audio_tracks) + '개']);
    facts.push(['메타데이터 트랙', num(info.meta_tracks) + '개']);
    return facts;
  }

  // What the user can try next, chosen by the failure's message. Messages of
  // the platform (folder creation, stream errors) fall to the last row.
  var HINTS = [
    [/설정이 다릅니다/, '같은 카메라·같은 설정으로 찍은 다른 파일을 참조로 고르거나, 참조 없이 복구해 보세요.'],
    [/형식이 녹화와 다릅니다/, '녹화와 같은 형식의 참조 파일을 고르세요: MP4 녹화에는 MP4, MXF 녹화에는 MXF.'],
    [/참조 파일이 필요합니다/, '같은 카메라로 끝까지 녹화한 파일을 참조로 골라 다시 시작하세요.'],
    [/카드 연결/, '카드가 단단히 꽂혀 있는지 확인하고, 가능하면 다른 카드 리더기로 연결한 뒤 다시 검색해서 복구를 다시 시작하세요.'],
    [/공간|No space|ENOSPC/i, '작업 볼륨의 여유 공간이 부족합니다. 더 큰 볼륨을 연결해 선택하거나 공간을 비운 뒤 다시 시작하세요.'],
    [/복사 스트림/, '카드가 연결되어 있는지, 작업 볼륨에 쓸 수 있는지(읽기 전용이 아닌지) 확인한 뒤 다시 시작하세요.'],
    [/복구 엔진을 찾을 수 없습니다/, '앱 설치가 손상된 것 같습니다. 앱을 다시 설치한 뒤 시도하세요.'],
    [/복구 엔진 종료 코드/, '참조 파일이 맞지 않을 수 있습니다. 같은 카메라·같은 설정(해상도, 프레임레이트, 코덱)으로 녹화한 다른 참조 파일을 골라 다시 시작하세요.'],
    [/길이를 읽을 수 없습니다|프레임 검증 실패/, '같은 카메라·같은 설정으로 녹화한 다른 참조 파일로 다시 시도해 보세요. 만들어진 파일은 작업 폴더에 남아 있으니 편집 프로그램에서 열어 볼 수도 있습니다.'],
    [/권한|Permission|denied|read-only|읽기 전용/i, '작업 볼륨에 쓸 수 있는지 확인하거나 다른 작업 볼륨을 골라 다시 시작하세요.']
  ];
  var DEFAULT_HINT = '카드와 작업 볼륨의 연결을 확인한 뒤 다시 검색해서 복구를 다시 시작하세요.';

  function hint(message) {
    var text = String(message || '');
    for (var i = 0; i < HINTS.length; i++) {
      if (HINTS[i][0].test(text)) return HINTS[i][1];
    }
    return DEFAULT_HINT;
  }

  function basename(path) {
    var p = String(path || '');
    var i = p.lastIndexOf('/');
    return i >= 0 ? p.slice(i + 1) : p;
  }

  return {
    el: el, gb: gb, mtime: mtime, clock: clock, clockFine: clockFine, eta: eta, rate: rate, pct: pct, stage: stage, tag: tag,
    probeFacts: probeFacts, hint: hint, basename: basename, num: num
  };
})();
