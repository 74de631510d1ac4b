// What the page's files must never contain: markup built from strings (names
// come from the card) and anything loaded from outside the application.
import { it } from 'node:test';
import assert from 'node:assert/strict';
import { readdir, readFile } from 'node:fs/promises';
import path from 'node:path';
import { webDir } from './harness.mjs';

it('builds no markup from strings, loads nothing from outside and reads no meaning from Korean text', async () => {
  const forbidden = [
    [/\.(innerHTML|outerHTML)\b/, 'markup from a string'],
    [/insertAdjacentHTML|document\.write|\beval\(|new Function\(/, 'markup or code from a string'],
    [/\b(https?:)?\/\/[a-z0-9.-]+\.[a-z]{2,}\//i, 'an address outside the application'],
    [/@import|@font-face|url\(/, 'a style resource'],
    // Failures are told apart by their "error_kind", never by their Korean wording.
    [/(^|[=(,:[!&|?;]\s*)\/[^/\n*][^/\n]*[가-힣][^/\n]*\/[gimsuy]*/m, 'a Korean sentence matched'],
  ];
  const all = (await readdir(webDir, { withFileTypes: true, recursive: true }))
    .filter((e) => e.isFile()).map((e) => path.join(e.parentPath, e.name));
  assert.ok(all.some((f) => f.endsWith('index.html')));
  for (const f of all) {
    const text = await readFile(f, 'utf8');
    for (const [pattern, what] of forbidden) {
      assert.doesNotMatch(text, pattern, `${path.relative(webDir, f)}: ${what}`);
    }
  }
});
