// The page's side of web_apply.sh: applies PATCH to IMAGE RUNS times through
// the page's controls, served by a static host on this machine, while the
// resident size of the browser's renderer processes is sampled. Prints one
// line: "apply_median_ms apply_min_ms apply_max_ms check_median_ms peak_MiB heap_MiB".
//   node web_apply.js SITE PATCH IMAGE RUNS
'use strict';
const fs = require('fs');
const http = require('http');
const path = require('path');
const { chromium } = require('playwright-core');

const [site, patch, image, runs] = process.argv.slice(2);

function host() {
  const server = http.createServer((req, res) => {
    const file = path.join(site, path.basename(req.url.split('?')[0]) || 'index.html');
    if (!fs.existsSync(file)) { res.writeHead(404); res.end(); return; }
    res.writeHead(200, { 'Content-Type': file.endsWith('.html') ? 'text/html' : file.endsWith('.css') ? 'text/css' : 'text/javascript' });
    fs.createReadStream(file).pipe(res);
  });
  return new Promise(resolve => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// Every process below `pid` (the browser): their parents, from /proc.
function descendants(pid) {
  const parent = new Map();
  for (const p of fs.readdirSync('/proc').filter(n => /^\d+$/.test(n))) {
    try {
      const stat = fs.readFileSync(`/proc/${p}/stat`, 'utf8');
      parent.set(Number(p), Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]));
    } catch (e) { /* gone */ }
  }
  const found = [];
  for (const [p] of parent) for (let q = p; q; q = parent.get(q)) if (parent.get(q) === pid) { found.push(p); break; }
  return found;
}

function rendererMiB(pids) {
  let peak = 0, heap = 0;  // MiB: the renderer's resident size, the WebAssembly memory
  for (const p of pids) {
    try {
      if (!fs.readFileSync(`/proc/${p}/cmdline`, 'utf8').includes('--type=renderer')) continue;
      const rss = /VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${p}/status`, 'utf8'));
      if (rss) peak = Math.max(peak, Number(rss[1]) / 1024);
    } catch (e) { /* gone */ }
  }
  return peak;
}

function traceOf(pids) {
  return pids.map(p => { try { const t = fs.readFileSync(`/proc/${p}/status`, 'utf8'); return fs.readFileSync(`/proc/${p}/cmdline`, 'utf8').includes('--type=renderer') ? ['RssAnon', 'RssFile', 'RssShmem'].map(k => new RegExp(k + ':\\s+(\\d+)').exec(t)[1] / 1024 | 0).join('/') : ''; } catch (e) { return ''; } }).filter(Boolean).join(' ');
}

const median = v => [...v].sort((a, b) => a - b)[Math.floor((v.length - 1) / 2)];

(async () => {
  const server = await host();
  // A profile of its own, as a player's browser has: a fresh context of a
  // launched browser is a private (incognito) one, whose private file
  // system is kept in the browser's process and written to through it (a
  // 780 MB result took 4.6 s to write there, 0.3 s to a profile's).
  const profile = fs.mkdtempSync(path.join(path.dirname(image), 'profile-'));
  const browser = await chromium.launchPersistentContext(profile, { executablePath: '/usr/bin/chromium-headless-shell' });
  const root = Number(fs.readdirSync('/proc').filter(n => /^\d+$/.test(n)).find(p => {
    try {
      const c = fs.readFileSync(`/proc/${p}/cmdline`, 'utf8');
      return c.includes(profile) && !c.includes('--type=');
    } catch (e) { return false; }
  }));
  const applies = [], checks = [];
  let peak = 0, heap = 0;  // MiB: the renderer's resident size, the WebAssembly memory
  for (let n = 0; n < Number(runs); ++n) {
    const page = await browser.newPage();
    await page.goto(`http://127.0.0.1:${server.address().port}/index.html`);
    await page.setInputFiles('#patch', patch);
    await page.setInputFiles('#image', image);
    await page.waitForSelector('#apply:not([disabled])');
    const pids = descendants(root);
    const sampler = setInterval(() => {
      const now = rendererMiB(pids);
      peak = Math.max(peak, now);
      if (process.env.TRACE_MEMORY) process.stderr.write(`${now.toFixed(0)} ${traceOf(pids)}\n`);
    }, 250);
    await page.click('#apply');
    await page.waitForFunction(() => document.getElementById('apply').disabled === false &&
      document.getElementById('status').textContent !== '', null, { timeout: 0, polling: 500 });
    clearInterval(sampler);
    const status = await page.textContent('#status');
    const timing = await page.textContent('#timing');
    if (!/all good/.test(status)) throw new Error(`page: ${status}\n${await page.textContent('#log')}`);
    const [, apply, check] = /Applied in ([\d.]+) s, checked in ([\d.]+) s/.exec(timing);
    applies.push(1000 * Number(apply));
    checks.push(1000 * Number(check));
    heap = Math.max(heap, await page.workers()[0].evaluate(() => HEAP8.length) / 1048576);
    process.stderr.write(`run ${n + 1}: ${timing}\n`);
    await page.close();
  }
  await browser.close();
  fs.rmSync(profile, { recursive: true, force: true });
  server.close();
  console.log([median(applies), Math.min(...applies), Math.max(...applies), median(checks), Math.round(peak), Math.round(heap)].join(' '));
})().catch(e => { console.error(String(e)); process.exit(1); });
