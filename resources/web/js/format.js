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

  function list(v) { return Array.isArray(v) ? v : []; }

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
    partial: '일부 손상',
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

  // Sample-entry codes as a person knows the codec.
  var CODECS = { avc1: 'H.264', avc3: 'H.264', hvc1: 'H.265', hev1: 'H.265' };

  function codec(name) {
    var text = String(name || '');
    return CODECS[text.toLowerCase()] || text;
  }

  function fps(v) {
    return String(Math.round(num(v) * 1000) / 1000) + ' fps';
  }

  // "1920 × 1080 · 29.97 fps · H.264" from a scan's "info"; '' when unread.
  function videoInfo(info) {
    if (!info || typeof info !== 'object') return '';
    var parts = [];
    if (typeof info.width === 'number' && typeof info.height === 'number') parts.push(info.width + ' × ' + info.height);
    if (typeof info.fps === 'number' && info.fps > 0) parts.push(fps(info.fps));
    if (typeof info.codec === 'string' && info.codec) parts.push(codec(info.codec));
    return parts.join(' · ');
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
    if (typeof info.fps === 'number' && info.fps > 0) facts.push(['프레임레이트', fps(info.fps)]);
    if (typeof info.codec === 'string' && info.codec) facts.push(['코덱', codec(info.codec)]);
    facts.push(['오디오 트랙', num(info.audio_tracks) + '개']);
    facts.push(['메타데이터 트랙', num(info.meta_tracks) + '개']);
    return facts;
  }

  // "0:12–0:15, 1:02–1:04" from [[from_s, to_s], ...] or [{from_s, to_s}].
  function ranges(list) {
    return (Array.isArray(list) ? list : []).map(function (r) {
      var from = Array.isArray(r) ? r[0] : r && r.from_s;
      var to = Array.isArray(r) ? r[1] : r && r.to_s;
      return clock(from) + '–' + clock(to);
    }).join(', ');
  }

  var TRACKS = { video: '영상', audio: '오디오', metadata: '메타데이터' };

  // What the engine dropped, by track: "영상 0:12–0:15 · 오디오 1:00–1:02".
  function lost(list) {
    var byTrack = {};
    var order = [];
    (Array.isArray(list) ? list : []).forEach(function (r) {
      if (!r || typeof r !== 'object') return;
      var name = TRACKS[r.track] || String(r.track || '트랙');
      if (!byTrack[name]) { byTrack[name] = []; order.push(name); }
      byTrack[name].push(r);
    });
    return order.map(function (name) { return name + ' ' + ranges(byTrack[name]); }).join(' · ');
  }

  // The settings a donor can lend, as the engine names them.
  var FIELDS = {
    chroma_qp_offsets: '색차 양자화 오프셋', scaling_matrices: '스케일링 행렬', sps: '시퀀스 설정(SPS)',
    pps: '픽처 설정(PPS)', vps: '비디오 설정(VPS)', vui: '색·표시 정보(VUI)', bit_depth: '비트 깊이',
    profile: '프로파일', level: '레벨', entropy_coding: '엔트로피 부호화 방식', frame_rate: '프레임레이트'
  };

  function fields(list) {
    return (Array.isArray(list) ? list : []).filter(function (f) { return typeof f === 'string' && f; })
      .map(function (f) { return FIELDS[f] || f; }).join(', ');
  }

  // The scaling-matrix set the engine used, as it names it: "flat", "donor",
  // "fitted" (a shape fitted to the recording), "table:standard-default" (the
  // H.264 standard's default lists) or "table:<body>" (a real body's set from
  // the engine's table).
  function matrices(name) {
    var text = String(name || '');
    if (text === 'flat') return '기본값(평탄) — 카메라의 값을 몰라 밝기와 색이 원본과 다를 수 있습니다';
    if (text === 'donor') return '도너 파일의 값';
    if (text === 'fitted') return '영상에 맞춰 추정한 값';
    if (text === 'table:standard-default') return 'H.264 표준 기본값';
    if (text.indexOf('table:') === 0) return '실제 카메라의 값 중 가장 잘 맞는 것 (' + text.slice(6) + ')';
    return text;
  }

  // What the user can try next, by the failure's kind (the native side's
  // word beside its sentence). Platform failures come as "other".
  var HINTS = {
    no_space: '작업 볼륨의 여유 공간이 부족합니다. 여유가 더 큰 볼륨이나 ‘다른 폴더…’를 고르거나 공간을 비운 뒤 다시 시작하세요.',
    card_is_work_volume: '카드에는 복구본을 만들지 않습니다. 컴퓨터의 폴더나 외장 디스크를 작업 볼륨으로 고르세요.',
    link_in_path: '경로에 바로 가기(심볼릭 링크)가 있습니다. 실제 폴더를 고르거나 다시 검색하세요.',
    not_regular_file: '카드가 연결되어 있는지, 경로가 일반 파일을 가리키는지 확인한 뒤 다시 검색하세요.',
    reference_mismatch: '같은 카메라·같은 설정으로 찍은 다른 파일을 참조로 고르거나, 참조 없이 복구해 보세요.',
    reference_format: '녹화와 같은 형식의 참조 파일을 고르세요: MP4 녹화에는 MP4, MXF 녹화에는 MXF.',
    need_reference: '같은 카메라로 끝까지 녹화한 파일을 참조로 골라 다시 시작하세요.',
    engine_failed: '참조 파일이 맞지 않을 수 있습니다. 같은 카메라·같은 설정(해상도, 프레임레이트, 코덱)으로 녹화한 다른 참조 파일을 골라 다시 시작하세요.',
    copy_failed: '카드가 단단히 꽂혀 있는지, 작업 볼륨에 쓸 수 있는지 확인하고, 가능하면 다른 카드 리더기로 연결한 뒤 다시 시작하세요.',
    verify_failed: '같은 카메라·같은 설정으로 녹화한 다른 참조 파일로 다시 시도해 보세요. 만들어진 파일은 작업 폴더에 남아 있으니 편집 프로그램에서 열어 볼 수도 있습니다.',
    name_too_long: '파일 이름이나 폴더 경로가 너무 깁니다. 경로가 더 짧은 작업 볼륨이나 폴더를 고르세요.',
    busy: '위의 복구 작업 카드에서 진행 상황을 확인하세요.'
  };
  var DEFAULT_HINT = '카드와 작업 볼륨의 연결을 확인한 뒤 다시 검색해서 복구를 다시 시작하세요.';

  function hint(kind) {
    return Object.prototype.hasOwnProperty.call(HINTS, kind) ? HINTS[kind] : DEFAULT_HINT;
  }

  function basename(path) {
    var p = String(path || '');
    var i = p.lastIndexOf('/');
    return i >= 0 ? p.slice(i + 1) : p;
  }

  return {
    el: el, gb: gb, mtime: mtime, clock: clock, clockFine: clockFine, eta: eta, rate: rate, pct: pct, stage: stage, tag: tag,
    codec: codec, videoInfo: videoInfo, probeFacts: probeFacts, ranges: ranges, lost: lost, fields: fields, matrices: matrices,
    hint: hint, basename: basename, num: num, list: list
  };
})();
