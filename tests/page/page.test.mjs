// The page against a fake native bridge in headless Chromium.
import { describe, it, before, after, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import {
  launch, openPage, listed, requests, waitForRequest, answer, progress, takeErrors, takePages, visibleText,
} from './harness.mjs';
import { scanResult, busyScan, jobStates, failedState, HOSTILE_NAME, NOTE, FLAT_LINE } from './fixtures.mjs';

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

    const first = page.locator('#rsv-list li').first();
    assert.equal(await first.locator('h3').textContent(), 'C0003.RSV');
    const meta = await first.textContent();
    assert.match(meta, /31\.5 GB/);
    assert.match(meta, /SONY_A7/);
    assert.match(meta, /2024\.12\.06 14:32/);
    assert.equal(await first.locator('select[id^="ref-"]').inputValue(), '0');
    assert.equal(await page.locator('#vol-list li').count(), 4);
    assert.match(await page.textContent('#scan-status'), /2개/);
    // Names from the card are text, never markup.
    assert.equal(await page.locator('#rsv-list li').nth(1).locator('h3').textContent(), HOSTILE_NAME);
    assert.equal(await page.locator('#rsv-list img').count(), 0);
    assert.equal(await page.evaluate(() => window.__xss), undefined);
  });

  it('rescans on request and keeps the choices made for files still listed', async () => {
    const { page } = await listed(browser.context, scanResult());
    await page.selectOption('#ref-0', '1');
    await page.click('#rescan');
    const again = await waitForRequest(page, 'scan', 1);
    const all = await requests(page);
    assert.equal(new Set(all.map((r) => r.call)).size, all.length, 'every request has a fresh call');
    const next = scanResult();
    next.rsvs.pop();
    await answer(page, again.call, next);
    await page.waitForFunction(() => SCAN.rsvs.length === 1);
    assert.equal(await page.locator('#rsv-list li').count(), 1);
    assert.equal(await page.inputValue('#ref-0'), '1');
  });
});

describe('starting a recovery', () => {
  it('preselects only a volume that is no card and has room (table)', async () => {
    const { page } = await listed(browser.context, scanResult());
    const rsv = { path: '/m/CARD/C1.RSV', vol: 'CARD', size: 4e9 };
    const copy = { path: '/m/SSD/RSV복구_241206/C1.RSV', vol: 'SSD', size: 4e9, work_copy: true };
    const v = (id, free_gb, extra = {}) => ({ id, root: `/m/${id}`, free_gb, enough: false, ...extra });
    const rows = [
      ['card is largest, another has room', rsv, [v('CARD', 900), v('SSD', 200)], 'SSD'],
      ['largest of the volumes with room', rsv, [v('CARD', 900), v('A', 300), v('B', 500)], 'B'],
      ['only the card has room: nothing', rsv, [v('CARD', 900), v('SSD', 5)], null],
      ['room for this file by its own need', rsv, [v('CARD', 900), v('SSD', 18)], 'SSD'],
      ['free bytes rule over whole gigabytes', rsv, [v('SSD', 17, { free_bytes: 17_999_999_999 })], null],
      ['nothing has room: nothing', rsv, [v('SSD', 12), v('CARD', 15)], null],
      ['no volumes', rsv, [], null],
      ['never another card either', rsv, [v('CARD', 900), v('CARD2', 800)], null],
      ['a volume holding only work copies is a disk', rsv, [v('CARD', 900), v('SSD', 100)], 'SSD'],
      ['a work copy stays on its own volume', copy, [v('CARD', 900), v('BIG', 900), v('SSD', 1)], 'SSD'],
    ];
    const others = [{ path: '/m/CARD2/C9.RSV', vol: 'CARD2', size: 1e9 }, { path: '/m/SSD/RSV복구_241205/C8.RSV', vol: 'SSD', size: 1e9, work_copy: true }];
    for (const [why, r, vols, want] of rows) {
      const got = await page.evaluate(([x, vs, all]) => Torvelin.scan.pickVolume(x, vs, all)?.id ?? null,
        [r, vols, [rsv, copy, ...others]]);
      assert.equal(got, want, why);
    }
  });

  it('preselects nothing and says why when only the card has room, and asks for a volume on start', async () => {
    const scan = scanResult();
    scan.volumes = scan.volumes.filter((v) => v.id !== 'WORK_SSD');
    const { page } = await listed(browser.context, scan);
    assert.equal(await page.inputValue('#vol-0'), '');
    assert.match(await page.textContent('#vol-note-0'), /카드가 아닌 볼륨 중에.*73 GB.*미리 고르지 않았습니다/);
    await page.click('#rsv-list li:nth-child(1) button.start');
    assert.match(await page.textContent('#refusal-0'), /작업 볼륨을 고르세요/);
    assert.equal((await requests(page)).filter((r) => r.cmd === 'recover').length, 0);
  });

  it('judges free space by one rule and shows small amounts in MB', async () => {
    const { page } = await listed(browser.context, busyScan());
    const list = await page.textContent('#vol-list');
    assert.match(list, /여유 412 MB/);
    assert.doesNotMatch(list, /충분|부족/, 'the volume list gives no verdict of its own');
    const options = await page.locator('#vol-0 option').allTextContents();
    assert.deepEqual(options, ['SONY_A7 — 복사 없이 이 자리에서 (이 파일이 있는 카드)', 'WORK_SSD — 812 GB 여유 · 충분', 'TINY — 412 MB 여유 · 부족']);
    await page.selectOption('#vol-0', '/media/user/TINY');
    assert.match(await page.textContent('#vol-note-0'), /73 GB가 필요한데 TINY의 여유 공간은 412 MB입니다/);
    await page.click('#rsv-list li:nth-child(1) button.start');
    const req = await waitForRequest(page, 'recover');
    await answer(page, req.call, { error: '작업 볼륨 여유공간 부족 — 73 GB 이상 필요' });
    await page.locator('#refusal-0 .refusal-hint').waitFor();
    const refusal = await page.textContent('#refusal-0');
    assert.match(refusal, /73 GB가 필요한데 TINY의 여유 공간은 412 MB입니다/);
    assert.doesNotMatch(refusal, /이상 필요/, 'the need is stated once, by the page');
  });

  it('sends the reference and volume the user chose', async () => {
    const { page } = await listed(browser.context, scanResult());
    assert.equal(await page.inputValue('#vol-0'), '/media/user/WORK_SSD');
    await page.selectOption('#ref-0', '1');
    await page.selectOption('#vol-0', '/media/user/SMALL');
    assert.match(await page.textContent('#vol-note-0'), /부족/);
    await page.click('#rsv-list li:nth-child(1) button.start');
    const req = await waitForRequest(page, 'recover');
    assert.deepEqual(req.args, {
      rsv: '/media/user/SONY_A7/PRIVATE/M4ROOT/CLIP/C0003.RSV',
      ref: '/media/user/SONY_A7/PRIVATE/M4ROOT/CLIP/C0001.MP4',
      vol: '/media/user/SMALL',
    });
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

  it('shows a refusal next to the button that was clicked (table)', async () => {
    const rows = [
      ['작업 볼륨 여유공간 부족 — 74 GB 이상 필요', /더 큰 작업 볼륨/, '작업 볼륨의 여유 공간이 부족합니다.'],
      ['경로를 확인하세요', /다시 검색/],
      ['이미 복구 중인 파일입니다', /진행 상황/],
    ];
    const { page } = await listed(browser.context, scanResult());
    const entry = page.locator('#rsv-list li').first();
    for (const [i, [message, hint, shown = message]] of rows.entries()) {
      await entry.locator('button.start').click();
      const req = await waitForRequest(page, 'recover', i);
      await answer(page, req.call, { error: message });
      const refusal = entry.locator('.refusal');
      await refusal.locator('.refusal-message').waitFor();
      assert.equal(await refusal.locator('.refusal-message').textContent(), shown);
      assert.match(await refusal.textContent(), hint);
      assert.equal(await entry.locator('button.start').getAttribute('aria-disabled'), null);
    }
    assert.equal(await page.isVisible('#jobs-section'), false);
  });
});

describe('job cards', () => {
  it('follows progress without chattering, with time left and speed', async () => {
    const { page } = await listed(browser.context, scanResult());
    await startFirst(page);
    assert.equal(await page.evaluate(() => document.activeElement.dataset.job), 'a1b2c3d4');
    const card = page.locator('[data-job="a1b2c3d4"]');
    const button = page.locator('#rsv-list li:nth-child(1) button.start');
    assert.equal(await button.getAttribute('aria-disabled'), 'true');
    assert.equal(await button.textContent(), '복구 진행 중');

    const states = jobStates('a1b2c3d4');
    await progress(page, states[1]);
    const bar = card.locator('[role="progressbar"]');
    assert.equal(await bar.getAttribute('aria-valuenow'), '12');
    assert.equal(await card.locator('.detail').textContent(), '복사 중 11.8 / 31.5 GB');
    assert.match(await card.textContent(), /RSV복구_241206/);
    assert.match(await card.locator('.badge').textContent(), /복사/);
    await page.waitForFunction(() => /복사/.test(document.getElementById('announcer').textContent));

    await progress(page, states[3]);
    assert.equal(await bar.getAttribute('aria-valuenow'), '53');
    assert.equal(await card.locator('.badge').textContent(), '복구 중');
    assert.equal(await card.locator('[aria-current="step"]').textContent(), '복구');
    await page.waitForFunction(() => /복구 중/.test(document.getElementById('announcer').textContent));
    await progress(page, { ...states[4], pct: 85.2, eta_s: 125, rate_mb_s: 150.4 });
    await page.waitForTimeout(120);
    assert.match(await page.textContent('#announcer'), /복구 중/, 'a new percentage announces nothing');
    // Time left and speed, with the bar and the number from one state.
    assert.equal(await card.locator('.eta').textContent(), '남은 시간 약 2분 · 150 MB/s');
    assert.equal(await card.locator('.pct').textContent(), '85%');
    assert.equal(await card.locator('.progress-fill').evaluate((e) => e.style.width), '85%');
    const longest = await card.locator('.progress-fill').evaluate((e) =>
      Math.max(...getComputedStyle(e).transitionDuration.split(',').map((d) => parseFloat(d) * (d.trim().endsWith('ms') ? 0.001 : 1))));
    assert.ok(longest <= 0.6, `transition ${longest}s is longer than the push interval`);
    await progress(page, { ...states[5], eta_s: 3 });
    assert.equal(await card.locator('.eta').isVisible(), false, 'no time left while verifying');
  });

  it('shows the verified result with its three frames, the advice and the open buttons', async () => {
    const { page } = await listed(browser.context, scanResult());
    await startFirst(page);
    for (const s of jobStates('a1b2c3d4')) await progress(page, s);
    const card = page.locator('[data-job="a1b2c3d4"]');

    const imgs = card.locator('.thumbs img');
    assert.equal(await imgs.count(), 3);
    for (let i = 0; i < 3; i++) {
      assert.ok(await imgs.nth(i).isVisible());
      assert.ok(await imgs.nth(i).evaluate((img) => img.complete && img.naturalWidth > 0));
    }
    assert.deepEqual(await card.locator('.thumbs figcaption').allTextContents(), ['시작 · 0:06', '중간 · 5:02', '끝 · 9:50']);
    assert.ok(await card.locator('.note').isVisible());
    assert.match(await card.locator('.note').textContent(), new RegExp(NOTE));
    const text = await card.textContent();
    for (const fact of ['10:05', '3840 × 2160', '29.97 fps', 'hvc1', '2개', '1개', '31.2 GB', 'Duration of video: 605.44 s']) assert.ok(text.includes(fact), fact);
    assert.equal(await card.locator('[role="progressbar"]').getAttribute('aria-valuenow'), '100');
    assert.equal(await card.locator('.flat').count(), 0);
    assert.equal(await card.locator('button.cancel').isVisible(), false);

    // The recording now reads as recovered; a second recovery stays possible.
    const entry = page.locator('#rsv-list li').first();
    assert.equal(await entry.locator('button.start').textContent(), '다시 복구');
    await entry.getByRole('button', { name: '복구됨 · 열기' }).click();
    await card.getByRole('button', { name: '복구된 파일 열기' }).click();
    await card.getByRole('button', { name: '파일 위치 보기' }).click();
    const opens = (await requests(page)).filter((r) => r.cmd === 'open');
    const out = '/media/user/WORK_SSD/RSV복구_241206/C0003_fixed.MP4';
    assert.deepEqual(opens.map((r) => r.args), [{ path: out, reveal: false }, { path: out, reveal: false }, { path: out, reveal: true }]);
    // The desktop had nothing to open it with: said next to the buttons.
    await answer(page, opens[2].call, { error: '이 파일을 열 프로그램이 없습니다' });
    await card.locator('.open-error .refusal-message').waitFor();
    assert.equal(await card.locator('.open-error').textContent(), '이 파일을 열 프로그램이 없습니다');
    // A finished job reads the volumes again: their free space has changed.
    await waitForRequest(page, 'scan', 1);
  });

  it('shows the failure and what to try next (table)', async () => {
    const rows = [
      ['참조 파일이 이 녹화와 설정이 다릅니다 — 같은 카메라, 같은 설정으로 찍은 파일을 참조로 고르세요', /참조 없이 복구/],
      ['참조 파일이 필요합니다 — 같은 카메라로 찍은 파일을 참조로 고르세요', /참조로 골라/],
      ['작업 볼륨 공간이 부족합니다 — 다른 볼륨을 고르세요', /여유 공간/],
      ['읽기 오류 — 카드 연결을 확인하세요', /카드 리더기/],
      ['쓰기 오류 — 작업 볼륨 공간을 확인하세요', /여유 공간/],
      ['복구 엔진 종료 코드 1 — a / b / c', /다른 참조 파일/],
      ['프레임 검증 실패 — 2/3 지점만 디코딩됨', /다른 참조 파일/],
      ['복구 엔진을 찾을 수 없습니다', /다시 설치/],
      ['The file couldn’t be saved.', /연결을 확인/],
    ];
    const { page } = await listed(browser.context, scanResult());
    for (const [i, [message, hint]] of rows.entries()) {
      const id = `e000000${i}`;
      await progress(page, { ...jobStates(id)[1] });
      await progress(page, failedState(id, message));
      const card = page.locator(`[data-job="${id}"]`);
      assert.equal(await card.locator('.failure-message').textContent(), message);
      assert.match(await card.locator('.hint').textContent(), hint, message);
      assert.equal(await card.locator('.badge').textContent(), '복구 실패');
      assert.equal(await card.locator('[role="progressbar"]').getAttribute('aria-valuenow'), '22');
      assert.equal(await card.locator('.step-failed').textContent(), '복사');
    }
    // The engine's own lines wait behind "자세히".
    await progress(page, { ...failedState('e1e1e1e1', '참조 파일의 형식이 녹화와 다릅니다'), log: ['Info: reading C0003.RSV', 'Error: reference is MXF'] });
    const card = page.locator('[data-job="e1e1e1e1"]');
    assert.equal(await card.locator('.engine-lines').isVisible(), false);
    assert.doesNotMatch(await visibleText(page), /Error: reference/);
    await card.getByRole('button', { name: '자세히' }).click();
    assert.deepEqual(await card.locator('.engine-lines li').allTextContents(), ['Info: reading C0003.RSV', 'Error: reference is MXF']);
    assert.equal(await card.locator('button.details').getAttribute('aria-expanded'), 'true');
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

describe('keyboard and outside the application', () => {
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
});

describe('licence dialog', () => {
  it('shows the licence text as text and gives focus back when closed', async () => {
    const { page } = await listed(browser.context, scanResult());
    await page.click('#licenses');
    const req = await waitForRequest(page, 'licenses');
    const text = 'nlohmann/json — MIT License\n<b>not bold</b>';
    await answer(page, req.call, { text });
    assert.ok(await page.isVisible('#license-dialog'));
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
    assert.equal(await page.textContent('#copy-title'), '작업 폴더의 사본');
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

  it('recovers all card recordings that have a reference, naming the ones skipped', async () => {
    const { page } = await listed(browser.context, busyScan());
    assert.ok(await page.isVisible('#recover-all'));
    await page.click('#recover-all');
    const first = await waitForRequest(page, 'recover', 0);
    await answer(page, first.call, { id: 'aaaa0001' });
    const second = await waitForRequest(page, 'recover', 1);
    await answer(page, second.call, { id: 'aaaa0002' });
    await page.waitForFunction(() => document.getElementById('all-note').textContent !== '');
    assert.deepEqual([first.args.rsv, second.args.rsv].map((p) => p.split('/').pop()), ['C0003.RSV', 'C0005.RSV']);
    assert.ok([first, second].every((r) => r.args.vol === '/media/user/WORK_SSD' && r.args.ref.endsWith('.MP4')));
    assert.match(await page.textContent('#all-note'), /2개 녹화의 복구를 시작했습니다.*건너뛴 녹화: C0007\.RSV/);
    assert.equal((await requests(page)).filter((r) => r.cmd === 'recover').length, 2);
    assert.equal(await page.isVisible('#recover-all'), false, 'nothing left to start');
  });

  it('scans again when the application says the volumes changed, and says where it looked', async () => {
    const { page } = await listed(browser.context, { mount_dir: '/run/media/user', rsvs: [], volumes: [] });
    assert.match(await page.textContent('#scan-status'), /찾지 못했습니다.*\/run\/media\/user 아래의 볼륨을 찾아봤습니다/);
    assert.equal(await page.isVisible('#rsv-section'), false);
    await page.evaluate(() => window.__volumesChanged());
    await page.evaluate(() => window.__volumesChanged());  // while that scan is out: one more after it
    const again = await waitForRequest(page, 'scan', 1);
    await answer(page, again.call, busyScan());
    await page.waitForFunction(() => SCAN.rsvs.length === 4);
    const third = await waitForRequest(page, 'scan', 2);
    await answer(page, third.call, busyScan());
    await page.waitForTimeout(50);
    assert.equal((await requests(page)).filter((r) => r.cmd === 'scan').length, 3);
  });
});

describe('a running job', () => {
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
    await progress(page, jobStates('a1b2c3d4')[4]);
    assert.equal(await card.locator('.badge').textContent(), '취소됨', 'a late state changes nothing');
  });
});

describe('the result', () => {
  it('labels the frames of a short clip by their real times, and tells when the settings were guessed', async () => {
    const { page } = await listed(browser.context, scanResult());
    const done = jobStates('b0000001').pop();
    done.info.dur = 1.5;
    done.thumbs = [{ tag: 'start', t: 0.015, img: done.thumbs[0].img }, { tag: 'mid', t: 0.75, img: done.thumbs[0].img }, { tag: 'end', t: 0, img: done.thumbs[0].img }];
    await progress(page, done);
    const card = page.locator('[data-job="b0000001"]');
    assert.deepEqual(await card.locator('.thumbs figcaption').allTextContents(), ['시작 · 0:00.01', '중간 · 0:00.75', '끝 · 0:00.00']);
    assert.match(await card.textContent(), /클립이 짧아/);
    await progress(page, { ...jobStates('b0000002').pop(), log: ['Info: rebuilt parameter sets', FLAT_LINE] });
    assert.match(await page.locator('[data-job="b0000002"] .flat').textContent(), /^참조 파일 없이 복구했습니다 — 밝기와 색이 원본과 다를 수 있습니다/);
  });
});

describe('look', () => {
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
