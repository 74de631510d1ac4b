// Scan results and Job state sequences shaped as the native side sends them.

// A tiny JPEG (32x18) standing in for a verification frame.
export const FRAME = 'data:image/jpeg;base64,/9j/4AAQSkZJRgABAQAAAQABAAD/2wBDAAoHBwgHBgoICAgLCgoLDhgQDg0NDh0VFhEYIx8lJCIfIiEmKzcvJik0KSEiMEExNDk7Pj4+JS5ESUM8SDc9Pjv/2wBDAQoLCw4NDhwQEBw7KCIoOzs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozv/wAARCAASACADASIAAhEBAxEB/8QAFwABAQEBAAAAAAAAAAAAAAAAAAUEBv/EABkQAQACAwAAAAAAAAAAAAAAAAAUYQERUf/EABUBAQEAAAAAAAAAAAAAAAAAAAAE/8QAFREBAQAAAAAAAAAAAAAAAAAAABP/2gAMAwEAAhEDEQA/AOFk2SbSpNkm1VE81WTZJtKk2SbKE2Deem89BKoN56bz0Af/2Q==';

export const HOSTILE_NAME = '<img src=x onerror="window.__xss=1">C0004&amp;.RSV';

const HD = { width: 1920, height: 1080, fps: 29.97, codec: 'H.264' };

// The native verdict for an RSV of `size` against each volume by free bytes
// (the page never judges room itself).
export function sized(rsv, volumes) {
  const need = 2 * rsv.size + 10_000_000_000;
  const room = Object.fromEntries(volumes.map((v) => [v.root ?? v.path, rsv.work_copy ? rsv.path.startsWith(`${v.root}/`) || v.free_bytes >= need : v.free_bytes >= need]));
  return { ...rsv, need_bytes: need, need_parts: { copy: rsv.size, result: rsv.size, margin: 10_000_000_000 }, room };
}

const volume = (id, gb, extra = {}) => ({ id, root: `/media/user/${id}`, free_gb: gb, free_bytes: gb * 1e9, kind: 'removable', ...extra });
const HOME = { name: '비디오', path: '/home/user/비디오', free_gb: 120, free_bytes: 120e9, kind: 'home' };

// Two cards; the native side offers no card as a work volume, and the
// computer's videos folder beside two disks.
export function scanResult() {
  const volumes = [volume('WORK_SSD', 812), HOME, volume('SMALL', 40)];
  return {
    rsvs: [
      {
        path: '/media/user/SONY_A7/PRIVATE/M4ROOT/CLIP/C0003.RSV', name: 'C0003.RSV', vol: 'SONY_A7', card_name: 'SONY_A7',
        size: 31_500_000_000, mtime: '241206 14:32', info: HD,
        refs: [
          { path: '/media/user/SONY_A7/PRIVATE/M4ROOT/CLIP/C0002.MP4', name: 'C0002.MP4', size: 2_140_000_000, info: HD, match: true },
          { path: '/media/user/SONY_A7/PRIVATE/M4ROOT/CLIP/C0001.MP4', name: 'C0001.MP4', size: 880_000_000 },
        ],
      },
      {
        path: `/media/user/CARD_B/DCIM/${HOSTILE_NAME}`, name: HOSTILE_NAME, vol: 'CARD_B',
        size: 4_000_000_000, mtime: '241205 09:05', refs: [],
      },
    ].map((r) => sized(r, volumes)),
    volumes,
  };
}

export const NOTE = '편집 프로그램에서 정상 확인 전까지 카드 포맷 금지 · 확인 후 작업 폴더의 RSV 사본은 지워도 됩니다';

// The states one successful job pushes, in order (each the whole state).
export function jobStates(id) {
  const base = { id, work_dir: '/media/user/WORK_SSD/RSV복구_241206', out: '/media/user/WORK_SSD/RSV복구_241206/C0003_fixed.MP4' };
  const steps = [
    { stage: 'copy', pct: 0 },
    { stage: 'copy', pct: 12.34, detail: '복사 중 11.8 / 31.5 GB' },
    { stage: 'recover', pct: 35, detail: '복구 엔진 시작' },
    { stage: 'recover', pct: 52.5, detail: 'GOP 재조립 50%' },
    { stage: 'recover', pct: 81, detail: 'MP4 저장 50%' },
    { stage: 'verify', pct: 92, detail: '복구본 검증 중' },
    { stage: 'verify', pct: 92, detail: '검증 프레임 추출 — end' },
    {
      stage: 'done', pct: 100, detail: '복구 완료',
      info: { dur: 605.44, w: 3840, h: 2160, fps: 29.97, codec: 'hvc1', audio_tracks: 2, meta_tracks: 1 },
      thumbs: [
        { tag: 'start', t: 6.0544, img: FRAME },
        { tag: 'mid', t: 302.72, img: FRAME },
        { tag: 'end', t: 590.44, img: FRAME },
      ],
      durations: ['Duration of video: 605.44 s', 'Duration of audio: 605.40 s'],
      out_size: 31_212_000_000, note: NOTE,
    },
  ];
  let state = { ...base };
  return steps.map((s) => (state = { ...state, ...s }));
}

// A card with two recordings that have references and one without, a work
// disk that already holds a copy of the first in its work folder (newer than
// everything, as a fresh copy is), and a disk too small for anything.
export function busyScan() {
  const clip = '/media/user/SONY_A7/PRIVATE/M4ROOT/CLIP';
  const ref = (n) => ({ path: `${clip}/${n}`, name: n, size: 2_140_000_000 });
  const scan = {
    mount_dir: '/media/user',
    rsvs: [
      {
        path: '/media/user/WORK_SSD/RSV복구_241206/C0003.RSV', name: 'C0003.RSV', vol: 'WORK_SSD',
        size: 31_500_000_000, mtime: '241206 15:10', refs: [], work_copy: true,
      },
      { path: `${clip}/C0003.RSV`, name: 'C0003.RSV', vol: 'SONY_A7', size: 31_500_000_000, mtime: '241206 14:32', refs: [ref('C0002.MP4')], work_copy: false },
      { path: `${clip}/C0005.RSV`, name: 'C0005.RSV', vol: 'SONY_A7', size: 1_200_000_000, mtime: '241206 14:00', refs: [ref('C0004.MP4')], work_copy: false },
      { path: `${clip}/C0007.RSV`, name: 'C0007.RSV', vol: 'SONY_A7', size: 900_000_000, mtime: '241206 13:00', refs: [], work_copy: false },
    ],
    volumes: [volume('WORK_SSD', 812), volume('TINY', 0.412)],
  };
  scan.rsvs = scan.rsvs.map((r) => sized(r, scan.volumes));
  return scan;
}

// A job that failed during the copy, with its last figure and detail.
export const failedState = (id, error) => ({ ...jobStates(id)[1], stage: 'error', pct: 21.7, detail: '복사 중 6.8 / 31.5 GB', error });
