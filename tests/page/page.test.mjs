// The page against a fake native bridge in headless Chromium.
import { describe, it, before, after, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import {
  launch, openPage, listed, requests, waitForRequest, answer, progress, takeErrors,
} from './harness.mjs';
import { scanResult, jobStates, failedState, HOSTILE_NAME, NOTE } from './fixtures.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser?.close(); });
// No page may log an error or throw.
afterEach(() => assert.deepEqual(takeErrors(), []));

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
    assert.equal(typeof req.call, 'number');
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
  });

  it('says clearly when no RSV is found', async () => {
    const { page } = await listed(browser.context, { rsvs: [], volumes: [] });
    assert.match(await page.textContent('#scan-status'), /찾지 못했습니다/);
    assert.equal(await page.isVisible('#rsv-section'), false);
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

  it('renders names from the card as text, never as markup', async () => {
    const { page } = await listed(browser.context, scanResult());
    const second = page.locator('#rsv-list li').nth(1);
    assert.equal(await second.locator('h3').textContent(), HOSTILE_NAME);
    assert.equal(await page.locator('#rsv-list img').count(), 0);
    assert.equal(await page.evaluate(() => window.__xss), undefined);
  });
});

describe('starting a recovery', () => {
  it('start(i), as the unattended start calls it, takes the closest reference and a volume other than its card', async () => {
    const { page } = await listed(browser.context, scanResult());
    await page.evaluate(() => { start(0); });
    const req = await waitForRequest(page, 'recover');
    assert.deepEqual(req.args, {
      rsv: '/media/user/SONY_A7/PRIVATE/M4ROOT/CLIP/C0003.RSV',
      ref: '/media/user/SONY_A7/PRIVATE/M4ROOT/CLIP/C0002.MP4',
      vol: '/media/user/WORK_SSD',
    });
    assert.ok(Number.isSafeInteger(req.call));
  });

  it('preselects a work volume by room and card (table)', async () => {
    const { page } = await listed(browser.context, scanResult());
    const rsv = { path: '/m/CARD/C1.RSV', vol: 'CARD', size: 4e9 };
    const v = (id, free_gb, enough) => ({ id, root: `/m/${id}`, free_gb, enough });
    const rows = [
      ['card is largest, another has room', [v('CARD', 900, true), v('SSD', 200, true)], 'SSD'],
      ['largest of the volumes with room', [v('CARD', 900, true), v('A', 300, true), v('B', 500, true)], 'B'],
      ['only the card has room', [v('CARD', 900, true), v('SSD', 5, false)], 'CARD'],
      ['room for this file though not for the largest', [v('CARD', 900, true), v('SSD', 19, false)], 'SSD'],
      ['nothing has room: the largest', [v('SSD', 12, false), v('CARD', 15, false)], 'CARD'],
      ['no volumes', [], null],
      ['a disk before another card', [v('CARD', 900, true), v('CARD2', 800, true), v('SSD', 100, true)], 'SSD'],
      ['another card before its own card', [v('CARD', 900, true), v('CARD2', 800, true)], 'CARD2'],
    ];
    const others = [{ path: '/m/CARD2/C9.RSV', vol: 'CARD2', size: 1e9 }];
    for (const [why, vols, want] of rows) {
      const got = await page.evaluate(([r, vs, all]) => Torvelin.scan.pickVolume(r, vs, all)?.id ?? null,
        [rsv, vols, [rsv, ...others]]);
      assert.equal(got, want, why);
    }
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

  it('takes a typed reference path when the folder has no candidates, and asks for one when empty', async () => {
    const { page } = await listed(browser.context, scanResult());
    const entry = page.locator('#rsv-list li').nth(1);
    assert.match(await entry.textContent(), /같은 카메라·같은 설정/);
    await entry.locator('button.start').click();
    assert.match(await entry.locator('.refusal').textContent(), /경로를 입력하세요/);
    assert.equal((await requests(page)).filter((r) => r.cmd === 'recover').length, 0);

    await page.fill('#ref-path-1', '  /media/user/CARD_B/DCIM/C0001.MP4 ');
    await entry.locator('button.start').click();
    const req = await waitForRequest(page, 'recover');
    assert.equal(req.args.ref, '/media/user/CARD_B/DCIM/C0001.MP4');
    assert.equal(req.args.vol, '/media/user/WORK_SSD');
  });

  it('shows a refusal next to the button that was clicked (table)', async () => {
    const rows = [
      ['작업 볼륨 여유공간 부족 — 64GB 이상 필요', /더 큰 작업 볼륨/],
      ['경로를 확인하세요', /다시 검색/],
      ['이미 복구 중인 파일입니다', /진행 상황/],
    ];
    const { page } = await listed(browser.context, scanResult());
    const entry = page.locator('#rsv-list li').first();
    for (const [i, [message, hint]] of rows.entries()) {
      await entry.locator('button.start').click();
      const req = await waitForRequest(page, 'recover', i);
      await answer(page, req.call, { error: message });
      const refusal = entry.locator('.refusal');
      await refusal.locator('.refusal-message').waitFor();
      assert.equal(await refusal.locator('.refusal-message').textContent(), message);
      assert.match(await refusal.textContent(), hint);
      assert.equal(await entry.locator('button.start').getAttribute('aria-disabled'), null);
    }
    assert.equal(await page.isVisible('#jobs-section'), false);
  });
});

describe('job cards', () => {
  it('follows progress without chattering', async () => {
    const { page } = await listed(browser.context, scanResult());
    await startFirst(page);
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
    await progress(page, states[4]);
    await page.waitForTimeout(120);
    assert.match(await page.textContent('#announcer'), /복구 중/, 'a new percentage announces nothing');
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
    const note = card.locator('.note');
    assert.ok(await note.isVisible());
    assert.match(await note.textContent(), new RegExp(NOTE));
    const text = await card.textContent();
    for (const fact of ['10:05', '3840 × 2160', '29.97 fps', 'hvc1', '2개', '1개', '31.2 GB', 'Duration of video: 605.44 s']) {
      assert.ok(text.includes(fact), fact);
    }
    assert.equal(await card.locator('[role="progressbar"]').getAttribute('aria-valuenow'), '100');
    assert.equal(await page.locator('#rsv-list li:nth-child(1) button.start').textContent(), '복구 시작');

    await card.getByRole('button', { name: '복구된 파일 열기' }).click();
    await card.getByRole('button', { name: '파일 위치 보기' }).click();
    const opens = (await requests(page)).filter((r) => r.cmd === 'open').map((r) => r.args);
    const out = '/media/user/WORK_SSD/RSV복구_241206/C0003_fixed.MP4';
    assert.deepEqual(opens, [{ path: out, reveal: false }, { path: out, reveal: true }]);
  });

  it('shows the failure and what to try next (table)', async () => {
    const rows = [
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
    assert.equal(req.args.vol, '/media/user/WORK_SSD');
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
