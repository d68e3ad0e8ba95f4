// Drives the patcher page in Debian's headless Chromium through its own
// controls: each case of WORK/cases.txt (made by test-web.sh) is applied
// from file:// and from a static host on this machine, one after another in
// one page, and must end as the native tool ended: the same words, the same
// result's SHA-1, or nothing to save. Prints one line per case and origin; the exit status counts failures.
//   node drive.js SITE WORK
'use strict';
const fs = require('fs');
const http = require('http');
const path = require('path');
const crypto = require('crypto');
const { chromium } = require('playwright-core');

const [site, work] = process.argv.slice(2);
const browserPath = process.env.CORVANE_CHROMIUM || '/usr/bin/chromium-headless-shell';
const sha1 = file => crypto.createHash('sha1').update(fs.readFileSync(file)).digest('hex');
// The version line names the build's host and time, which differ.
const words = text => text.split('\n').filter(l => !l.startsWith('Version ')).join('\n');

// The page's folder served as any static host serves it.
function host() {
  const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css' };
  const server = http.createServer((req, res) => {
    const file = path.join(site, path.normalize(decodeURIComponent(req.url.split('?')[0])).replace(/^\/+$/, 'index.html'));
    if (!file.startsWith(site) || !fs.existsSync(file)) { res.writeHead(404); res.end(); return; }
    res.writeHead(200, { 'Content-Type': types[path.extname(file)] || 'application/octet-stream' });
    fs.createReadStream(file).pipe(res);
  });
  return new Promise(resolve => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// The page of one origin, opened once; `problems` collects what goes wrong
// in it for the case being run.
async function openPage(browser, origin) {
  const context = await browser.newContext({ acceptDownloads: true });
  const page = await context.newPage();
  page.problems = [];
  page.on('request', r => {
    if (!r.url().startsWith(origin) && !r.url().startsWith('blob:')) page.problems.push(`request outside the page: ${r.url()}`);
  });
  page.on('pageerror', e => page.problems.push(`page error: ${e.message}`));
  page.on('console', m => { if (m.type() === 'error') page.problems.push(`console: ${m.text()}`); });
  await page.goto(`${origin}/index.html`);
  return page;
}

async function runCase(page, c) {
  const problems = page.problems = [];
  await page.setInputFiles('#patch', path.join(work, 'in', c.patch));
  await page.setInputFiles('#image', [c.image, ...c.others].map(f => path.join(work, 'in', f)));
  await page.waitForSelector('#apply:not([disabled])', { timeout: 20000 });
  await page.keyboard.press('Tab');  // the button is reached and used by keyboard
  await page.focus('#apply');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => /all good|not applied|could not|stopped|bad sectors/.test(
    document.getElementById('status').textContent) && document.getElementById('apply').disabled === false,
    null, { timeout: 600000 });
  const status = await page.textContent('#status');
  const log = await page.textContent('#log');
  const native = fs.readFileSync(path.join(work, 'native', `${c.name}.txt`), 'utf8');
  if (!words(log).startsWith(words(native)))
    problems.push(`the page's words differ from the tool's:\n--- page\n${log}\n--- tool\n${native}`);
  if (c.status === 0) {
    if (!/^\d+ sectors checked, all good$/.test(status)) problems.push(`status: ${status}`);
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#download')]);
    const got = sha1(await download.path());
    if (got !== c.sha) problems.push(`result SHA-1 ${got}, the tool's ${c.sha}`);
  } else {
    if (!/not applied/.test(status)) problems.push(`status: ${status}`);
    if (!(await page.isHidden('#save-box'))) problems.push('a result is offered to save');
  }
  return problems;
}

// A run stopped by its Stop button: the page says so, offers nothing to
// save and takes the next run (`after`, a case) on a fresh worker.
async function stopCase(page, c, after) {
  const problems = page.problems = [];
  await page.setInputFiles('#patch', path.join(work, 'in', c.patch));
  await page.setInputFiles('#image', path.join(work, 'in', c.image));
  await page.waitForSelector('#apply:not([disabled])', { timeout: 20000 });
  await page.click('#apply');
  await page.click('#stop');
  const status = await page.textContent('#status');
  if (!/^Stopped\. Nothing was saved/.test(status)) problems.push(`status: ${status}`);
  if (!(await page.isHidden('#save-box'))) problems.push('a result is offered to save');
  if (!(await page.isHidden('#stop'))) problems.push('the Stop button stays');
  return problems.concat(await runCase(page, after));
}

(async () => {
  const cases = fs.readFileSync(path.join(work, 'cases.txt'), 'utf8').trim().split('\n').map(line => {
    const [name, patch, image, others, status, sha] = line.split('|');
    return { name, patch, image, others: others ? others.split(':') : [], status: Number(status), sha };
  });
  const server = await host();
  const origins = [`file://${site}`, `http://127.0.0.1:${server.address().port}`];
  const browser = await chromium.launch({ executablePath: browserPath });
  let failed = 0;
  for (const origin of origins) {
    const page = await openPage(browser, origin);
    for (const c of cases) {
      const started = Date.now();
      let problems;
      try {
        problems = await runCase(page, c);
      } catch (e) {
        problems = [String(e).split('\n')[0]];
      }
      const where = origin.startsWith('file:') ? 'file://' : 'host';
      console.log(`${problems.length ? 'FAIL' : 'ok  '} ${c.name} (${where}, ${((Date.now() - started) / 1000).toFixed(1)} s)`);
      for (const p of problems) console.log(`     ${p}`);
      failed += problems.length ? 1 : 0;
    }
    {
      const large = cases.find(c => c.name === 'ppf3-large'), after = cases.find(c => c.name === 'ppf3');
      let problems;
      try {
        problems = await stopCase(page, large, after);
      } catch (e) {
        problems = [String(e).split('\n')[0]];
      }
      console.log(`${problems.length ? 'FAIL' : 'ok  '} stopped, then ppf3 (${origin.startsWith('file:') ? 'file://' : 'host'})`);
      for (const p of problems) console.log(`     ${p}`);
      failed += problems.length ? 1 : 0;
    }
    // Served by a host, the results are kept in the private file system.
    if (!origin.startsWith('file:')) {
      const kept = await page.evaluate(async () => {
        const names = [];
        for await (const name of (await navigator.storage.getDirectory()).keys()) names.push(name);
        return names;
      });
      const used = kept.some(n => n.startsWith('corvane-result-'));
      console.log(`${used ? 'ok  ' : 'FAIL'} results in the private file system (host): ${kept.join(', ')}`);
      failed += used ? 0 : 1;
    }
    await page.context().close();
  }
  await browser.close();
  server.close();
  process.exit(failed);
})();
