// The page against a fake native bridge in headless Chromium.
import { describe, it, before, after, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import {
  launch, openPage, listed, requests, waitForRequest, answer, progress, takeErrors, takePages, visibleText,
} from './harness.mjs';
import { scanResult, busyScan, sized, jobStates, failedState, HOSTILE_NAME, NOTE } from './fixtures.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser?.close(); });
// After every test: no page logged an error or threw, and nothing a page shows
// reads "null", "undefined" or "NaN" (an absent value printed).
afterEach(async () => {
  for (const page of takePages().filter((p) => !p.isClosed())) {
    assert.doesNotMatch(await visibleText(page), /\bnull\b|undefined|NaN/);
    await page.close();
  }
  assert.deepEqual(takeErrors(), []);
});

async function startFirst(page) {
  await page.click('#rsv-list li:nth-child(1) button.start');
  const req = await waitForRequest(page, 'recover');
  await answer(page, req.call, { id: 'a1b2c3d4' });
  await page.waitForSelector('[data-job="a1b2c3d4"]');
  return req;
}

describe('scan', () => {
  it('scans on load, keeps SCAN unset until the result, then lists it', async () => {
    const { page } = await openPage(browser.context);
    const req = await waitForRequest(page, 'scan');
    assert.ok(Number.isSafeInteger(req.call));
    assert.equal(await page.evaluate(() => !!window.SCAN), false);
    assert.match(await page.textContent('#scan-status'), /검색하는 중/);

    await answer(page, req.call, scanResult());
    await page.waitForFunction(() => !!window.SCAN);
    assert.deepEqual(await page.evaluate(() => SCAN.rsvs.map((r) => r.name)), ['C0003.RSV', HOSTILE_NAME]);

    assert.match(await page.locator('#rsv-list li').first().textContent(), /31\.5 GB/);
    assert.deepEqual(await page.locator('#vol-list .vol-id').allTextContents(), ['WORK_SSD', '비디오', 'SMALL']);
    assert.match(await page.textContent('#scan-status'), /2개/);
    // Names from the card are text, never markup.
    assert.equal(await page.locator('#rsv-list li').nth(1).locator('h3').textContent(), HOSTILE_NAME);
    assert.equal(await page.locator('#rsv-list img').count(), 0);
    assert.equal(await page.evaluate(() => window.__xss), undefined);
  });

  it('rescans on request, keeps the choices made for files still listed, and sends them', async () => {
    const { page } = await listed(browser.context, scanResult());
    await page.selectOption('#ref-0', '1');
    await page.selectOption('#vol-0', '/media/user/SMALL');
    await page.click('#rescan');
    const again = await waitForRequest(page, 'scan', 1);
    const all = await requests(page);
    assert.equal(new Set(all.map((r) => r.call)).size, all.length, 'every request has a fresh call');
    const next = scanResult();
    next.rsvs.pop();
    await answer(page, again.call, next);
    await page.waitForFunction(() => SCAN.rsvs.length === 1);
    assert.equal(await page.locator('#rsv-list li').count(), 1);
    await page.click('#rsv-list li:nth-child(1) button.start');
    const req = await waitForRequest(page, 'recover');
    assert.deepEqual(req.args, {
      rsv: '/media/user/SONY_A7/PRIVATE/M4ROOT/CLIP/C0003.RSV',
      ref: '/media/user/SONY_A7/PRIVATE/M4ROOT/CLIP/C0001.MP4',
      vol: '/media/user/SMALL',
    });
  });
});

describe('starting a recovery', () => {
  it('suggests a volume with room by the native verdict, never a card (table)', async () => {
    const { page } = await listed(browser.context, scanResult());
    const rsv = { path: '/m/CARD/C1.RSV', vol: 'CARD' };
    const copy = { path: '/m/SSD/RSV복구_241206/C1.RSV', vol: 'SSD', work_copy: true };
    const v = (id, free_gb, kind = 'removable') => ({ id, root: `/m/${id}`, free_gb, kind });
    const rows = [
      ['largest external disk with room', rsv, [v('A', 300), v('B', 500), v('HOME', 900, 'home')], ['A', 'B', 'HOME'], 'B'],
      ['the computer when no external disk has room', rsv, [v('A', 300), v('HOME', 100, 'home')], ['HOME'], 'HOME'],
      ['a chosen folder before the rest', rsv, [v('A', 900), v('MINE', 100, 'chosen')], ['A', 'MINE'], 'MINE'],
      ['nothing has room: nothing', rsv, [v('A', 900), v('HOME', 90, 'home')], [], null],
      ['no verdict is no room', rsv, [v('A', 900)], undefined, null],
      ['without verdicts, room for the largest recording', rsv, [v('A', 900), { ...v('B', 950), enough: true }], undefined, 'B'],
      ['the card itself is never offered', rsv, [v('CARD', 900), v('A', 10)], ['CARD'], null],
      ['a work copy stays in its own work folder', copy, [v('BIG', 900), v('SSD', 1)], ['BIG', 'SSD'], 'SSD'],
    ];
    for (const [why, r, vols, fit, want] of rows) {
      const withRoom = { ...r, room: fit && Object.fromEntries(vols.map((x) => [x.root, fit.includes(x.id)])) };
      const got = await page.evaluate(([x, vs]) => {
        const usable = Torvelin.volumes.usable({ rsvs: [x], volumes: vs });
        return Torvelin.volumes.pick(x, usable)?.id ?? null;
      }, [withRoom, vols]);
      assert.equal(got, want, why);
    }
  });

  it('explains the space rule by its parts, keeps a refusal only while its volume is chosen, and asks for a volume', async () => {
    const { page } = await listed(browser.context, busyScan());
    assert.deepEqual(await page.locator('#vol-0 option').allTextContents(),
      ['WORK_SSD — 812 GB 여유 · 충분', 'TINY — 412 MB 여유 · 부족', '다른 폴더…']);
    assert.match(await page.textContent('#vol-list'), /여유 412 MB/);
    await page.selectOption('#vol-0', '/media/user/TINY');
    assert.equal(await page.textContent('#vol-note-0'),
      '여유 공간이 부족합니다 — TINY의 여유 412 MB. 필요한 공간 73 GB: RSV 사본과 복구본(63 GB)에 안전 여유 10 GB.');
    await page.click('#rsv-list li:nth-child(1) button.start');
    const req = await waitForRequest(page, 'recover');
    await answer(page, req.call, { error: '작업 볼륨 여유공간 부족', error_kind: 'no_space' });
    await page.locator('#refusal-0 .refusal-hint').waitFor();
    assert.match(await page.textContent('#refusal-0'), /필요한 공간 73 GB: RSV 사본과 복구본\(63 GB\)에 안전 여유 10 GB\. .*‘다른 폴더…’/);
    await page.selectOption('#vol-0', '/media/user/WORK_SSD');
    assert.equal(await page.textContent('#refusal-0'), '', 'the refusal went with the volume it was about');

    const none = busyScan();
    none.rsvs[1].room = { '/media/user/WORK_SSD': false, '/media/user/TINY': false };
    const { page: full } = await listed(browser.context, none);
    assert.equal(await full.inputValue('#vol-0'), '');
    assert.match(await full.textContent('#vol-note-0'), /공간이 있는 곳이 없어 미리 고르지 않았습니다\. 필요한 공간 73 GB/);
    await full.click('#rsv-list li:nth-child(1) button.start');
    assert.match(await full.textContent('#refusal-0'), /작업 볼륨을 고르세요/);
    assert.equal((await requests(full)).filter((r) => r.cmd === 'recover').length, 0);
  });

  it('chooses another folder through the desktop and keeps the choice when cancelled', async () => {
    const { page } = await listed(browser.context, scanResult());
    await page.selectOption('#vol-0', { label: '다른 폴더…' });
    let req = await waitForRequest(page, 'choose_folder');
    await answer(page, req.call, {});
    await page.waitForTimeout(30);
    assert.equal(await page.inputValue('#vol-0'), '/media/user/WORK_SSD', 'cancelled: the choice stays');
    await page.selectOption('#vol-0', { label: '다른 폴더…' });
    req = await waitForRequest(page, 'choose_folder', 1);
    await answer(page, req.call, { path: '/home/user/영상', name: '영상', free_bytes: 2e12, free_gb: 2000, kind: 'chosen' });
    await page.waitForFunction(() => document.getElementById('vol-0').value === '/home/user/영상');
    // The remembered folder comes back with the next scan, with its verdict.
    const scan = await waitForRequest(page, 'scan', 1);
    const next = scanResult();
    next.volumes.push({ name: '영상', path: '/home/user/영상', free_gb: 2000, free_bytes: 2e12, kind: 'chosen' });
    next.rsvs = next.rsvs.map((r) => sized(r, next.volumes));
    await answer(page, scan.call, next);
    await page.waitForFunction(() => /영상 \(고른 폴더\) — 2000 GB 여유 · 충분/.test(document.querySelector('#vol-0 option:checked').textContent));
    assert.equal(await page.inputValue('#vol-1'), '/home/user/영상');
  });

  it('recovers without a reference when none was found, with a donor when one is picked', async () => {
    const { page } = await listed(browser.context, scanResult());
    const entry = page.locator('#rsv-list li').nth(1);
    assert.match(await entry.textContent(), /참조 파일\(같은 카메라·같은 설정/);
    assert.equal(await page.inputValue('#ref-1'), 'none');
    assert.match(await entry.locator('.noref-help').textContent(), /밝기와 색이 원본과 다를 수 있습니다/);

    await entry.locator('.noref button.browse').click();
    const pick = await waitForRequest(page, 'pick');
    assert.deepEqual(pick.args, { rsv: `/media/user/CARD_B/DCIM/${HOSTILE_NAME}`, donor: true });
    await answer(page, pick.call, { path: '/media/user/CARD_B/DCIM/OLD.MP4' });
    await page.waitForFunction(() => document.getElementById('donor-1').value !== '');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'donor-1');
    await page.keyboard.press('Enter');
    const req = await waitForRequest(page, 'recover');
    assert.deepEqual(req.args, {
      rsv: `/media/user/CARD_B/DCIM/${HOSTILE_NAME}`, ref: '', vol: '/media/user/WORK_SSD', donor: '/media/user/CARD_B/DCIM/OLD.MP4',
    });
    await answer(page, req.call, { id: 'd0d0d0d0' });
    await page.waitForFunction(() => document.activeElement?.dataset?.job === 'd0d0d0d0');
    assert.match(await page.textContent('[data-job="d0d0d0d0"] .job-sub'), /참조 없음 · 도너 OLD\.MP4/);
  });

  it('browses for a reference, takes a typed one, and starts on Enter; asks when none is given', async () => {
    const { page } = await listed(browser.context, scanResult());
    await page.selectOption('#ref-0', 'custom');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'ref-path-0');
    await page.keyboard.press('Enter');
    assert.match(await page.textContent('#refusal-0'), /참조 파일을 고르세요/);
    assert.equal((await requests(page)).filter((r) => r.cmd === 'recover').length, 0);

    await page.click('#rsv-list li:nth-child(1) .path-field button.browse');
    let pick = await waitForRequest(page, 'pick');
    assert.deepEqual(pick.args, { rsv: '/media/user/SONY_A7/PRIVATE/M4ROOT/CLIP/C0003.RSV' });
    await answer(page, pick.call, {});  // cancelled: nothing changes
    await page.click('#rsv-list li:nth-child(1) .path-field button.browse');
    pick = await waitForRequest(page, 'pick', 1);
    await answer(page, pick.call, { path: '/media/user/OTHER/C0100.MP4' });
    await page.waitForFunction(() => document.getElementById('ref-path-0').value === '/media/user/OTHER/C0100.MP4');

    await page.fill('#ref-path-0', '  /media/user/OTHER/C0101.MP4 ');
    await page.press('#ref-path-0', 'Enter');
    const req = await waitForRequest(page, 'recover');
    assert.equal(req.args.ref, '/media/user/OTHER/C0101.MP4');
    assert.equal('donor' in req.args, false);
  });

  it('shows a refusal next to the button that was clicked, with a hint by its kind (table)', async () => {
    const rows = [
      ['경로를 확인하세요', 'link_in_path', /심볼릭 링크/],
      ['이미 복구 중인 파일입니다', 'busy', /진행 상황/],
      ['카드는 작업 볼륨이 될 수 없습니다', 'card_is_work_volume', /컴퓨터의 폴더나 외장 디스크/],
      ['알 수 없는 거절', undefined, /^알 수 없는 거절$/],
    ];
    const { page } = await listed(browser.context, scanResult());
    const entry = page.locator('#rsv-list li').first();
    for (const [i, [message, kind, hint]] of rows.entries()) {
      await entry.locator('button.start').click();
      const req = await waitForRequest(page, 'recover', i);
      await answer(page, req.call, { error: message, error_kind: kind });
      await entry.locator('.refusal-message').waitFor();
      assert.equal(await entry.locator('.refusal-message').textContent(), message);
      assert.match(await page.textContent('#refusal-0'), hint);
      assert.equal(await entry.locator('button.start').getAttribute('aria-disabled'), null);
    }
    assert.equal(await page.isVisible('#jobs-section'), false);
  });

  it('shows each recording\'s and candidate\'s picture settings and passes over a candidate that differs', async () => {
    const scan = scanResult();
    const { page } = await listed(browser.context, scan);
    assert.match(await page.textContent('#rsv-list li:nth-child(1) .rsv-meta'), /카드 SONY_A7 · 수정 2024\.12\.06 14:32 · 1920 × 1080 · 29\.97 fps · H\.264$/);
    assert.equal(await page.locator('#ref-0 option').first().textContent(), 'C0002.MP4 — 1920 × 1080 · 29.97 fps · H.264 · 2.1 GB (가장 가까운 시간)');
    scan.rsvs[0].refs[0] = { ...scan.rsvs[0].refs[0], info: { width: 1280, height: 720, fps: 59.94, codec: 'H.264' }, match: false };
    const { page: other } = await listed(browser.context, scan);
    assert.match(await other.locator('#ref-0 option').first().textContent(), / · 설정 다름 \(가장 가까운 시간\)$/);
    assert.equal(await other.inputValue('#ref-0'), '1', 'the closest candidate that does not differ');
    await other.selectOption('#ref-0', '0');
    assert.match(await other.textContent('#ref-note-0'), /설정이 다릅니다 \(녹화: 1920 × 1080 · 29\.97 fps · H\.264\)/);
    scan.rsvs[0].refs[1].match = false;
    const { page: none } = await listed(browser.context, scan);
    assert.equal(await none.inputValue('#ref-0'), 'none');
    assert.match(await none.textContent('#ref-note-0'), /후보 파일이 모두 녹화와 설정이 달라/);
  });

  it('takes a file dropped on an entry as its reference, or as its donor without one', async () => {
    const { page } = await listed(browser.context, scanResult());
    // Where the web view hands over a File with its path.
    await page.evaluate(() => {
      const transfer = new DataTransfer();
      const file = new File(['x'], 'C0100.MP4');
      Object.defineProperty(file, 'path', { value: '/media/user/OTHER/C0100.MP4' });
      transfer.items.add(file);
      const target = document.querySelector('#rsv-list li:nth-child(1)');
      target.dispatchEvent(new DragEvent('dragover', { dataTransfer: transfer, bubbles: true, cancelable: true }));
      target.dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
    });
    assert.equal(await page.inputValue('#ref-0'), 'custom');
    assert.equal(await page.inputValue('#ref-path-0'), '/media/user/OTHER/C0100.MP4');
    assert.equal(await page.textContent('#ref-note-0'), '끌어 놓은 파일을 참조로 씁니다: C0100.MP4');
    // Where the native side pushes the path with the point of the drop.
    const box = await page.locator('#rsv-list li:nth-child(2) .rsv-meta').boundingBox();
    await page.evaluate(([x, y]) => window.__drop({ path: '/media/user/CARD_B/DCIM/OLD.MP4', paths: [], x, y }), [box.x + 5, box.y + 5]);
    assert.equal(await page.inputValue('#donor-1'), '/media/user/CARD_B/DCIM/OLD.MP4');
    assert.match(await page.textContent('#ref-note-1'), /도너로 씁니다: OLD\.MP4/);
  });
});

describe('job cards', () => {
  it('follows progress without chattering, with one estimate for the whole job', async () => {
    const { page } = await listed(browser.context, scanResult());
    await startFirst(page);
    assert.equal(await page.evaluate(() => document.activeElement.dataset.job), 'a1b2c3d4');
    const card = page.locator('[data-job="a1b2c3d4"]');
    const button = page.locator('#rsv-list li:nth-child(1) button.start');
    assert.equal(await button.getAttribute('aria-disabled'), 'true');
    assert.equal(await button.textContent(), '복구 진행 중');
    assert.equal(await card.locator('.job-sub').textContent(), '카드 SONY_A7 · 참조 C0002.MP4 · 작업 볼륨 WORK_SSD');

    const states = jobStates('a1b2c3d4');
    await progress(page, { ...states[1], elapsed_s: 42, eta_s: 200, rate_mb_s: 150.4 });
    const bar = card.locator('[role="progressbar"]');
    assert.equal(await bar.getAttribute('aria-valuenow'), '12');
    assert.equal(await card.locator('.detail').textContent(), '복사 중 11.8 / 31.5 GB');
    assert.equal(await card.locator('.eta').textContent(), '경과 0:42 · 전체 남은 시간 약 3분 · 150 MB/s');
    assert.equal(await page.title(), '12% · C0003.RSV 복구 중 — TORVELIN RECOVERY');
    await page.waitForFunction(() => /복사/.test(document.getElementById('announcer').textContent));

    await progress(page, { ...states[3], elapsed_s: 70 });
    assert.equal(await card.locator('.badge').textContent(), '복구 중');
    assert.equal(await card.locator('[aria-current="step"]').textContent(), '복구');
    await page.waitForFunction(() => /복구 중/.test(document.getElementById('announcer').textContent));
    await progress(page, { ...states[4], pct: 85.2, elapsed_s: 80, eta_s: 125 });
    await page.waitForTimeout(120);
    assert.match(await page.textContent('#announcer'), /복구 중/, 'a new percentage announces nothing');
    // One percentage: the step's own figure leaves its line.
    assert.equal(await card.locator('.detail').textContent(), 'MP4 저장');
    assert.equal(await card.locator('.eta').textContent(), '경과 1:20 · 전체 남은 시간 약 2분');
    assert.equal(await card.locator('.pct').textContent(), '85%');
    assert.equal(await card.locator('.progress-fill').evaluate((e) => e.style.width), '85%');
    const longest = await card.locator('.progress-fill').evaluate((e) =>
      Math.max(...getComputedStyle(e).transitionDuration.split(',').map((d) => parseFloat(d) * (d.trim().endsWith('ms') ? 0.001 : 1))));
    assert.ok(longest <= 0.6, `transition ${longest}s is longer than the push interval`);
    await progress(page, { ...states[6], elapsed_s: 90, eta_s: 3 });
    assert.equal(await card.locator('.detail').textContent(), '검증 프레임 추출 — 끝');
    assert.equal(await card.locator('.eta').textContent(), '경과 1:30 · 전체 남은 시간 약 3초', 'the estimate lasts between steps');
  });

  it('shows what the verified result proved in Korean, the engine lines only behind "자세히"', async () => {
    const { page } = await listed(browser.context, scanResult());
    await startFirst(page);
    const states = jobStates('a1b2c3d4');
    const done = { ...states.pop(), card_name: 'SONY_A7', verify: { checked: 21, errors: 0, frames: 18145 }, elapsed_s: 312, footage_shared: true };
    for (const s of [...states, done]) await progress(page, s);
    const card = page.locator('[data-job="a1b2c3d4"]');

    const imgs = card.locator('.thumbs img');
    assert.equal(await imgs.count(), 3);
    for (let i = 0; i < 3; i++) assert.ok(await imgs.nth(i).evaluate((img) => img.complete && img.naturalWidth > 0));
    assert.deepEqual(await card.locator('.thumbs figcaption').allTextContents(), ['시작 · 0:06', '중간 · 5:02', '끝 · 9:50']);
    assert.match(await card.locator('.note').textContent(), new RegExp(NOTE));
    const facts = await card.locator('.facts').last().textContent();
    for (const fact of ['카드SONY_A7', '10:05', '3840 × 2160', '29.97 fps', '코덱H.265', '프레임 수18,145개',
      '키 프레임 21개 디코딩 · 오류 0개', '걸린 시간5:12', '31.2 GB', 'RSV 사본과 공유']) assert.ok(facts.includes(fact), fact);
    assert.doesNotMatch(await card.innerText(), /Duration of|hvc1|클립이 짧아/);
    assert.equal(await card.locator('.detail').textContent(), '');
    await card.getByRole('button', { name: '자세히' }).click();
    assert.deepEqual(await card.locator('.engine-lines li').allTextContents(), done.durations);
    assert.equal(await card.locator('button.cancel').isVisible(), false);

    // The recording now reads as recovered; a second recovery stays possible.
    const entry = page.locator('#rsv-list li').first();
    assert.equal(await entry.locator('button.start').textContent(), '다시 복구');
    await entry.locator('.recovered').getByRole('button', { name: '열기' }).click();
    await entry.locator('.recovered').getByRole('button', { name: '위치 보기' }).click();
    await card.getByRole('button', { name: '파일 위치 보기' }).click();
    const opens = (await requests(page)).filter((r) => r.cmd === 'open');
    const out = done.out;
    assert.deepEqual(opens.map((r) => r.args), [{ path: out, reveal: false }, { path: out, reveal: true }, { path: out, reveal: true }]);
    // The file manager could not be opened: the path is offered, copied by hand when the clipboard fails too.
    await answer(page, opens[2].call, { error: '파일 관리자를 열 수 없습니다' });
    await card.locator('.open-error .offered-path').getByRole('button', { name: '경로 복사' }).click();
    const copy = await waitForRequest(page, 'copy');
    assert.deepEqual(copy.args, { text: out });
    await answer(page, copy.call, { error: 'no clipboard' });
    assert.equal(await card.locator('.copy-fallback').inputValue(), out);
    await card.getByRole('button', { name: '파일 위치 보기' }).click();
    assert.equal(await card.locator('.open-error').textContent(), '', 'an old failure goes with the next attempt');
    // A finished job reads the scan again: free space and results have changed.
    await waitForRequest(page, 'scan', 1);
  });

  it('shows the failure, what to try next by its kind, and no stale step line (table)', async () => {
    const rows = [
      ['reference_mismatch', /참조 없이 복구/],
      ['need_reference', /참조로 골라/],
      ['no_space', /여유 공간/],
      ['copy_failed', /카드 리더기/],
      ['engine_failed', /다른 참조 파일/],
      ['verify_failed', /다른 참조 파일/],
      ['name_too_long', /경로가 더 짧은/],
      [undefined, /연결을 확인/],
    ];
    const { page } = await listed(browser.context, scanResult());
    for (const [i, [kind, hint]] of rows.entries()) {
      const id = `e000000${i}`;
      await progress(page, { ...jobStates(id)[3] });
      await progress(page, { ...failedState(id, `실패 ${i}`), detail: 'GOP 재조립 0%', error_kind: kind });
      const card = page.locator(`[data-job="${id}"]`);
      assert.equal(await card.locator('.failure-message').textContent(), `실패 ${i}`);
      assert.match(await card.locator('.hint').textContent(), hint, kind);
      assert.equal(await card.locator('.badge').textContent(), '복구 실패');
      assert.equal(await card.locator('.detail').textContent(), '');
      assert.equal(await card.locator('.step-failed').textContent(), '복구');
    }
    // A job cancelled and reported as a failure reads as cancelled.
    await progress(page, { ...failedState('c0c0c0c0', '취소되었습니다'), error_kind: 'cancelled' });
    assert.equal(await page.locator('[data-job="c0c0c0c0"] .badge').textContent(), '취소됨');
  });

  it('removes a failed job\'s .partial files only after the user confirmed, and copies its log', async () => {
    const { page } = await listed(browser.context, scanResult());
    await progress(page, { ...failedState('f1f1f1f1', '읽기 오류'), log: ['Error: read failed'] });
    const card = page.locator('[data-job="f1f1f1f1"]');
    await card.getByRole('button', { name: '남은 임시 파일(.partial) 지우기' }).click();
    await card.getByRole('button', { name: '그만두기' }).click();
    await card.getByRole('button', { name: '남은 임시 파일(.partial) 지우기' }).click();
    assert.match(await card.locator('.confirm').textContent(), /\.partial 파일만 지웁니다/);
    assert.equal((await requests(page)).filter((r) => r.cmd === 'remove_partials').length, 0, 'nothing before the confirmation');
    await card.getByRole('button', { name: '지우기', exact: true }).click();
    const req = await waitForRequest(page, 'remove_partials');
    assert.deepEqual(req.args, { job: 'f1f1f1f1' });
    await answer(page, req.call, { removed: 2 });
    await card.getByText('임시 파일 2개를 지웠습니다.').waitFor();
    await card.getByRole('button', { name: '로그 복사' }).click();
    const copy = await waitForRequest(page, 'copy');
    assert.match(copy.args.text, /읽기 오류[\s\S]*Error: read failed/);
    await answer(page, copy.call, {});
    await card.getByText('로그를 복사했습니다.').waitFor();
  });

  it('keeps a finished card as it is and ignores stray calls', async () => {
    const { page } = await listed(browser.context, scanResult());
    await startFirst(page);
    await progress(page, failedState('a1b2c3d4', '복구본 길이를 읽을 수 없습니다'));
    await progress(page, jobStates('a1b2c3d4')[2]);
    const card = page.locator('[data-job="a1b2c3d4"]');
    assert.equal(await card.locator('.badge').textContent(), '복구 실패');
    await page.evaluate(() => {
      window.__resolve({ call: 987654, data: {} });
      window.__resolve({});
      window.__progress({ stage: 'copy' });
      window.__progress(null);
    });
    assert.equal(await page.locator('.job').count(), 1);
    await card.getByRole('button', { name: '설정 바꿔 다시 시도' }).click();
    assert.equal(await page.evaluate(() => document.activeElement.id), 'ref-0');
  });
});

describe('keyboard, the licence dialog and outside the application', () => {
  it('reaches the choices and starts a recovery with the keyboard alone', async () => {
    const { page } = await listed(browser.context, scanResult());
    const order = [];
    for (let i = 0; i < 5; i++) {
      await page.keyboard.press('Tab');
      order.push(await page.evaluate(() => document.activeElement.id || document.activeElement.textContent));
    }
    assert.deepEqual(order, ['rescan', 'licenses', 'ref-0', 'vol-0', '복구 시작']);
    await page.keyboard.press('Enter');
    const req = await waitForRequest(page, 'recover');
    // The closest reference and a volume other than the card, as start(i) takes them unattended.
    assert.deepEqual(req.args, {
      rsv: '/media/user/SONY_A7/PRIVATE/M4ROOT/CLIP/C0003.RSV',
      ref: '/media/user/SONY_A7/PRIVATE/M4ROOT/CLIP/C0002.MP4',
      vol: '/media/user/WORK_SSD',
    });
    // While the request is out the button keeps focus and takes no second press.
    await page.keyboard.press('Enter');
    assert.equal(await page.evaluate(() => document.activeElement.textContent), '요청 중…');
    assert.equal((await requests(page)).filter((r) => r.cmd === 'recover').length, 1);
  });

  it('says so calmly when opened without the native bridge', async () => {
    const { page } = await openPage(browser.context, false);
    await page.waitForFunction(() => /연결되어 있지 않아/.test(document.getElementById('scan-status').textContent));
    assert.equal(await page.evaluate(() => !!window.SCAN), false);
  });
  it('shows the licence text as text and gives focus back when closed', async () => {
    const { page } = await listed(browser.context, scanResult());
    await page.click('#licenses');
    const req = await waitForRequest(page, 'licenses');
    const text = 'nlohmann/json — MIT License\n<b>not bold</b>';
    await answer(page, req.call, { text });
    assert.equal(await page.textContent('#license-text'), text);
    assert.equal(await page.locator('#license-dialog b').count(), 0);
    await page.keyboard.press('Escape');
    assert.equal(await page.isVisible('#license-dialog'), false);
    assert.equal(await page.evaluate(() => document.activeElement.id), 'licenses');
    await page.click('#licenses');
    await page.click('#license-close');
    assert.equal((await requests(page)).filter((r) => r.cmd === 'licenses').length, 1);
  });
});

describe('work copies, recover all and volumes that come and go', () => {
  it('lists card recordings first and work-folder copies apart, never as new recordings', async () => {
    const { page } = await listed(browser.context, busyScan());
    assert.deepEqual(await page.evaluate(() => SCAN.rsvs.map((r) => r.work_copy)), [false, false, false, true]);
    assert.match(await page.textContent('#scan-status'), /3개/);
    assert.deepEqual(await page.locator('#rsv-list h3').allTextContents(), ['C0003.RSV', 'C0005.RSV', 'C0007.RSV']);
    assert.deepEqual(await page.locator('#copy-list h3').allTextContents(), ['C0003.RSV']);
    // The copy is recovered where it lies; the card is never suggested.
    assert.equal(await page.inputValue('#vol-3'), '/media/user/WORK_SSD');
    assert.match(await page.locator('#vol-3 option:checked').textContent(), /복사 없이/);
    // The work folder has no references; the copy borrows its recording's.
    assert.match(await page.locator('#ref-3 option:checked').textContent(), /^C0002\.MP4/);
    // The unattended start, looking the name up in SCAN, takes the card's recording, not the copy.
    await page.evaluate(() => { start(SCAN.rsvs.findIndex((r) => r.name === 'C0003.RSV')); });
    const req = await waitForRequest(page, 'recover');
    assert.equal(req.args.rsv, '/media/user/SONY_A7/PRIVATE/M4ROOT/CLIP/C0003.RSV');
  });

  it('recovers all that are not recovered yet, counting the recovered, naming the ones skipped', async () => {
    const scan = busyScan();
    const c5 = scan.rsvs[2];
    c5.results = [{ path: '/media/user/WORK_SSD/RSV복구_241206/C0005_fixed.MP4', name: 'C0005_fixed.MP4', size: 1e9 }];
    scan.rsvs.push({ ...scan.rsvs[1], path: c5.path.replace('C0005', 'C0008'), name: 'C0008.RSV', results: undefined });
    const { page } = await listed(browser.context, scan);
    assert.equal(await page.textContent('#all-progress'), '1/4 완료');
    const c5entry = page.locator('#rsv-list li').nth(1);
    assert.match(await c5entry.locator('.recovered').textContent(), /^복구됨C0005_fixed\.MP4열기위치 보기/);
    assert.equal(await c5entry.locator('button.start').textContent(), '다시 복구');
    await page.click('#recover-all');
    const first = await waitForRequest(page, 'recover', 0);
    await answer(page, first.call, { id: 'aaaa0001' });
    const second = await waitForRequest(page, 'recover', 1);
    await answer(page, second.call, { id: 'aaaa0002' });
    await page.waitForFunction(() => document.getElementById('all-note').textContent !== '');
    assert.deepEqual([first.args.rsv, second.args.rsv].map((p) => p.split('/').pop()), ['C0003.RSV', 'C0008.RSV']);
    assert.match(await page.textContent('#all-note'), /2개 녹화의 복구를 시작했습니다\. 이미 복구된 녹화 1개는 건너뛰었습니다\. .*건너뛴 녹화: C0007\.RSV/);
    assert.equal(await page.isVisible('#recover-all'), false, 'nothing left to start');
    await progress(page, jobStates('aaaa0001').pop());
    assert.equal(await page.textContent('#all-progress'), '2/4 완료');
  });

  it('scans again when the volumes change, points out a card just inserted, and leaves out unfinished copies', async () => {
    const { page } = await listed(browser.context, { mount_dir: '/run/media/user', rsvs: [], volumes: [] });
    assert.match(await page.textContent('#scan-status'), /찾지 못했습니다.*\/run\/media\/user 아래의 볼륨을 찾아봤습니다/);
    assert.equal(await page.isVisible('#rsv-section'), false);
    await page.evaluate(() => window.__volumesChanged());
    await page.evaluate(() => window.__volumesChanged());  // while that scan is out: one more after it
    const again = await waitForRequest(page, 'scan', 1);
    const scan = busyScan();
    scan.rsvs[0].card_name = 'SONY_A7';  // the work copy of a recording on the card
    scan.rsvs.push({ ...scan.rsvs[0], path: `${scan.rsvs[0].path}.partial`, incomplete: true });
    await answer(page, again.call, scan);
    await page.waitForFunction(() => SCAN.rsvs.length === 4);
    assert.match(await page.textContent('#scan-status'), /^새로 연결된 카드 SONY_A7에서 3개를 찾았습니다/);
    assert.equal(await page.locator('.badge-new').count(), 3, 'the card\'s recordings, not the work copy');
    assert.match(await page.textContent('#incomplete-note'), /\.partial\) 1개는 복구에 쓰지 않습니다/);
    const third = await waitForRequest(page, 'scan', 2);
    await answer(page, third.call, busyScan());
    await page.waitForTimeout(50);
    assert.equal((await requests(page)).filter((r) => r.cmd === 'scan').length, 3);
    assert.equal(await page.locator('.badge-new').count(), 0, 'a card is new once');
  });
});

describe('cancelling, the result and the look', () => {
  it('cancels on request and keeps the card as cancelled', async () => {
    const { page } = await listed(browser.context, scanResult());
    await startFirst(page);
    const card = page.locator('[data-job="a1b2c3d4"]');
    await progress(page, jobStates('a1b2c3d4')[3]);
    await card.getByRole('button', { name: '취소' }).click();
    const req = await waitForRequest(page, 'cancel');
    assert.deepEqual(req.args, { id: 'a1b2c3d4' });
    assert.equal(await card.locator('button.cancel').textContent(), '취소하는 중…');
    await answer(page, req.call, { ok: true });
    await progress(page, { ...jobStates('a1b2c3d4')[3], stage: 'cancelled' });
    assert.equal(await card.locator('.badge').textContent(), '취소됨');
    assert.equal(await card.locator('.detail').textContent(), '취소됨 — 작업 폴더의 파일은 그대로 있습니다');
    assert.equal(await card.locator('.step-stopped').textContent(), '복구');
    assert.equal(await card.locator('button.cancel').isVisible(), false);
    assert.equal(await page.locator('#rsv-list li:nth-child(1) button.start').textContent(), '복구 시작');
  });
  it('says what was damaged, lost or lent, and notes a short clip only when it is one', async () => {
    const { page } = await listed(browser.context, scanResult());
    const done = jobStates('b0000001').pop();
    done.info.dur = 1.5;
    done.thumbs = [{ tag: 'start', t: 0.015, img: done.thumbs[0].img }, { tag: 'mid', t: 0.75, img: done.thumbs[0].img }, { tag: 'end', t: 1.2, img: done.thumbs[0].img }];
    await progress(page, { ...done, partial: true, damaged_ranges: [[0.5, 1]], lost: [{ track: 'audio', from_s: 0, to_s: 1.5 }], matrices: 'flat' });
    const card = page.locator('[data-job="b0000001"]');
    assert.deepEqual(await card.locator('.thumbs figcaption').allTextContents(), ['시작 · 0:00.01', '중간 · 0:00.75', '끝 · 0:01.20']);
    assert.match(await card.textContent(), /클립이 0:01\.50로 짧아/);
    assert.equal(await card.locator('.badge').textContent(), '일부 손상');
    assert.match(await card.locator('.damaged').textContent(), /^일부 손상 .*: 0:00–0:01\./);
    assert.equal(await card.locator('.lost').textContent(), '되살리지 못한 구간 오디오 0:00–0:01');
    assert.match(await card.locator('.flat').textContent(), /^참조 파일 없이 복구했습니다 — 밝기와 색이 원본과 다를 수 있습니다/);
    assert.match(await card.textContent(), /스케일링 행렬기본값\(평탄\)/);

    // A donor that lent its settings: said in Korean, and no "flat" warning beside it.
    await page.evaluate(() => Torvelin.jobs.created('b0000002', { rsvName: 'C0009.RSV', refName: '없음 · 도너 C0001.MP4', donor: '/m/C0001.MP4' }));
    await progress(page, { ...jobStates('b0000002').pop(), donor_fields: ['chroma_qp_offsets', 'scaling_matrices'], matrices: 'donor' });
    const lent = page.locator('[data-job="b0000002"]');
    assert.match(await lent.textContent(), /도너에서 가져온 설정색차 양자화 오프셋, 스케일링 행렬.*스케일링 행렬도너 파일의 값/);
    assert.doesNotMatch(await lent.textContent(), /클립이|참조 파일 없이 복구했습니다|donor/);

    // A real body's set from the engine's table: named in Korean, with its own, milder warning.
    await page.evaluate(() => Torvelin.jobs.created('b0000003', { rsvName: 'C0010.RSV', refName: '없음' }));
    await progress(page, { ...jobStates('b0000003').pop(), matrices: 'table:newer-lgop-pps3' });
    assert.match(await page.locator('[data-job="b0000003"]').textContent(), /실제 카메라의 값에서 골라 썼으니.*스케일링 행렬실제 카메라의 값 중 가장 잘 맞는 것 \(newer-lgop-pps3\)/);
    // A shape fitted to the recording: said so, with the same warning.
    await page.evaluate(() => Torvelin.jobs.created('b0000004', { rsvName: 'C0011.RSV', refName: '없음' }));
    await progress(page, { ...jobStates('b0000004').pop(), matrices: 'fitted' });
    assert.match(await page.locator('[data-job="b0000004"]').textContent(), /영상에 맞춰 추정했으니.*스케일링 행렬영상에 맞춰 추정한 값/);
  });

  it('folds finished cards when a new job starts, and clears them from the list', async () => {
    const { page } = await listed(browser.context, scanResult());
    await progress(page, jobStates('d0000001').pop());
    await progress(page, failedState('d0000002', '읽기 오류'));
    assert.equal(await page.isVisible('#clear-jobs'), true);
    await startFirst(page);
    const old = page.locator('[data-job="d0000001"]');
    assert.equal(await old.locator('.outcome').isVisible(), false, 'a finished card folds for the new one');
    assert.equal(await old.locator('.job-summary').textContent(), 'C0003_fixed.MP4 · 31.2 GB');
    await old.getByRole('button', { name: '펼치기' }).click();
    assert.equal(await old.locator('.outcome').isVisible(), true);
    await page.click('#clear-jobs');
    assert.deepEqual(await page.locator('.job').evaluateAll((cards) => cards.map((c) => c.dataset.job)), ['a1b2c3d4']);
    await progress(page, jobStates('a1b2c3d4').pop());
    await page.locator('[data-job="a1b2c3d4"]').getByRole('button', { name: '목록에서 지우기' }).click();
    await progress(page, jobStates('a1b2c3d4').pop());
    assert.equal(await page.isVisible('#jobs-section'), false, 'a late state brings no cleared card back');
    assert.equal(await page.title(), 'TORVELIN RECOVERY');
    assert.equal(await page.textContent('#rsv-list li:nth-child(1) button.start'), '다시 복구', 'a cleared card keeps its recording recovered');
  });
  it('has an opaque header, readable primary buttons and a licence dialog the size of the window', async () => {
    for (const viewport of [{ width: 1060, height: 780 }, { width: 760, height: 560 }]) {
      const { page } = await listed(browser.context, scanResult());
      await page.setViewportSize(viewport);
      const styles = await page.evaluate(() => {
        const rgb = (c) => c.match(/[\d.]+/g).map(Number);
        const lum = ([r, g, b]) => [r, g, b].map((v) => v / 255).map((v) => (v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4))
          .reduce((a, v, i) => a + v * [0.2126, 0.7152, 0.0722][i], 0);
        const button = getComputedStyle(document.querySelector('.btn-primary'));
        const [fg, bg] = [lum(rgb(button.color)), lum(rgb(button.backgroundColor))];
        return {
          header: rgb(getComputedStyle(document.querySelector('.topbar')).backgroundColor),
          contrast: (Math.max(fg, bg) + 0.05) / (Math.min(fg, bg) + 0.05),
        };
      });
      assert.ok(styles.header.length === 3 || styles.header[3] === 1, 'header is opaque');
      assert.ok(styles.contrast >= 4.5, `contrast ${styles.contrast}`);
      await page.click('#licenses');
      const box = await page.locator('#license-text').boundingBox();
      assert.ok(box.height >= viewport.height * 0.7, `licence text ${box.height}px high`);
    }
  });
});
