// Screenshots of the page's states for a person to look at:
//   node shots.mjs [outdir]   (default /tmp/page-shots)
// empty, listed, running, done, error and the licence dialog, at the default
// window size and at the minimum, plus a full-length view of the done state.
import { mkdir } from 'node:fs/promises';
import { launch, openPage, listed, waitForRequest, answer, progress } from './harness.mjs';
import { scanResult, busyScan, jobStates, failedState, FLAT_LINE } from './fixtures.mjs';

const out = process.argv[2] || '/tmp/page-shots';
const sizes = [{ width: 1060, height: 780 }, { width: 760, height: 560 }];

// Frames that look a little like footage, made in the browser as JPEG data URLs.
async function frames(context) {
  const page = await context.newPage();
  const urls = await page.evaluate(() => ['#355c7d', '#6c5b7b', '#c06c84'].map((sky, i) => {
    const c = document.createElement('canvas');
    c.width = 640; c.height = 360;
    const g = c.getContext('2d');
    const grad = g.createLinearGradient(0, 0, 0, 360);
    grad.addColorStop(0, sky); grad.addColorStop(1, '#1b1b1b');
    g.fillStyle = grad; g.fillRect(0, 0, 640, 360);
    g.fillStyle = '#2d3b2d'; g.fillRect(0, 250, 640, 110);
    g.fillStyle = '#f5d76e'; g.beginPath(); g.arc(120 + i * 200, 90 + i * 30, 34, 0, 7); g.fill();
    return c.toDataURL('image/jpeg', 0.82);
  }));
  await page.close();
  return urls;
}

const b = await launch();
await mkdir(out, { recursive: true });
const imgs = await frames(b.context);

for (const vp of sizes) {
  const tag = `${vp.width}x${vp.height}`;
  const shot = (page, name, full = false) => page.screenshot({ path: `${out}/${name}-${tag}.png`, fullPage: full });

  // Scanning, then nothing found.
  {
    const { page } = await openPage(b.context, vp);
    await shot(page, '0-scanning');
    const req = await waitForRequest(page, 'scan');
    await answer(page, req.call, { mount_dir: '/run/media/user', rsvs: [], volumes: [{ id: 'WORK_SSD', root: '/media/user/WORK_SSD', free_gb: 812, enough: true }] });
    await page.waitForFunction(() => !!window.SCAN);
    await shot(page, '1-empty');
    await page.close();
  }

  // Listed, then a refusal, then running, done, error.
  {
    const { page } = await listed(b.context, scanResult(), vp);
    await shot(page, '2-listed');
    await page.locator('#rsv-list li').nth(1).scrollIntoViewIfNeeded();
    await shot(page, '2-listed-noref');
    await page.evaluate(() => window.scrollTo(0, 0));

    await page.selectOption('#vol-0', '/media/user/SMALL');
    await page.click('#rsv-list li:nth-child(1) button.start');
    let req = await waitForRequest(page, 'recover', 0);
    await answer(page, req.call, { error: '작업 볼륨 여유공간 부족 — 63GB 이상 필요' });
    await page.locator('#rsv-list li:nth-child(1) .refusal-message').waitFor();
    await page.locator('#rsv-list li:nth-child(1) .rsv-actions').scrollIntoViewIfNeeded();
    await shot(page, '3-refused');

    await page.selectOption('#vol-0', '/media/user/WORK_SSD');
    await page.click('#rsv-list li:nth-child(1) button.start');
    req = await waitForRequest(page, 'recover', 1);
    await answer(page, req.call, { id: 'a1b2c3d4' });
    const states = jobStates('a1b2c3d4');
    for (const s of states.slice(0, 4)) await progress(page, s);
    await progress(page, { ...states[3], eta_s: 131, rate_mb_s: 148.6 });
    await page.evaluate(() => window.scrollTo(0, 0));
    await page.waitForTimeout(400);
    await shot(page, '4-running');

    const done = states[states.length - 1];
    done.thumbs = done.thumbs.map((t, i) => ({ ...t, img: imgs[i] }));
    for (const s of states.slice(4)) await progress(page, s);
    await page.waitForTimeout(400);
    await shot(page, '5-done');
    await shot(page, '5-done-full', true);

    await progress(page, { ...states[1], id: 'e0e0e0e0', work_dir: '/media/user/WORK_SSD/RSV복구_241206' });
    await progress(page, { ...failedState('e0e0e0e0', '참조 파일이 이 녹화와 설정이 다릅니다 — 같은 카메라, 같은 설정으로 찍은 파일을 참조로 고르세요'),
      log: ['Info: reading /media/user/WORK_SSD/RSV복구_241206/C0003.RSV', 'Info: reference 1920x1080 avc1, recording 3840x2160', 'Error: the reference does not match the recording'] });
    await page.locator('[data-job="e0e0e0e0"] button.details').click();
    await page.evaluate(() => window.scrollTo(0, 0));
    await page.waitForTimeout(400);
    await shot(page, '6-error');

    await progress(page, { ...states[3], id: 'c0c0c0c0', eta_s: 40, rate_mb_s: 9.4 });
    await progress(page, { ...states[3], id: 'c0c0c0c0', stage: 'cancelled' });
    await page.evaluate(() => window.scrollTo(0, 0));
    await page.waitForTimeout(400);
    await shot(page, '6-cancelled');

    await page.click('#licenses');
    req = await waitForRequest(page, 'licenses');
    await answer(page, req.call, { text: 'TORVELIN RECOVERY uses the following open-source software.\n\nnlohmann/json — MIT License\nCopyright (c) 2013-2022 Niels Lohmann\n\n' + 'Permission is hereby granted, free of charge, to any person obtaining a copy of this software... '.repeat(12) });
    await shot(page, '7-licenses');
    await page.close();
  }

  // Work copies apart, recover all, a card recording without a reference.
  {
    const { page } = await listed(b.context, busyScan(), vp);
    await shot(page, '8-busy');
    await shot(page, '8-busy-full', true);
    await page.locator('#donor-2').scrollIntoViewIfNeeded();
    await shot(page, '8-noref');
    await page.evaluate(() => window.scrollTo(0, 0));
    await page.click('#recover-all');
    for (let i = 0; i < 2; i++) {
      const req = await waitForRequest(page, 'recover', i);
      await answer(page, req.call, { id: `aaaa000${i}` });
    }
    await page.waitForFunction(() => document.getElementById('all-note').textContent !== '');
    await page.locator('#all-note').scrollIntoViewIfNeeded();
    await shot(page, '9-all-started');
    await page.close();
  }

  // Nowhere to preselect; then a short clip recovered without a reference.
  {
    const scan = scanResult();
    scan.volumes = scan.volumes.filter((v) => v.id !== 'WORK_SSD');
    const { page } = await listed(b.context, scan, vp);
    await shot(page, '10-no-volume');
    const done = jobStates('f1f1f1f1').pop();
    done.info.dur = 1.5;
    done.thumbs = [0.015, 0.75, 0].map((t, i) => ({ tag: ['start', 'mid', 'end'][i], t, img: imgs[i] }));
    done.log = ['Info: rebuilt parameter sets from the slices', FLAT_LINE];
    await progress(page, done);
    await page.locator('[data-job="f1f1f1f1"]').getByRole('button', { name: '복구된 파일 열기' }).click();
    const req = await waitForRequest(page, 'open');
    await answer(page, req.call, { error: '이 파일을 열 프로그램이 없습니다 — 파일 위치 보기로 폴더를 열어 보세요' });
    await page.locator('[data-job="f1f1f1f1"] .open-error span').waitFor();
    await page.evaluate(() => window.scrollTo(0, 0));
    await page.waitForTimeout(400);
    await shot(page, '11-done-short');
    await shot(page, '11-done-short-full', true);
    await page.close();
  }
}
await b.close();
console.log(`screenshots in ${out}`);
