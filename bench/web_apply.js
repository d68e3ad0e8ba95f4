// The page's side of web_apply.sh: applies PATCH to IMAGE RUNS times through
// the page's controls, served by a static host on this machine, while the
// resident size of the browser's renderer processes is sampled. Prints one
// line: "apply_median_ms apply_min_ms apply_max_ms check_median_ms resident_MiB own_MiB heap_MiB
// floor_read_ms floor_write_ms".
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

// The largest renderer (the page and its worker): its resident size, and
// the part of it that is its own (anonymous and shared memory; the rest is
// the browser's program and libraries, mapped from their files). MiB.
function rendererMiB(pids) {
  const peak = { resident: 0, own: 0 };
  for (const p of pids) {
    try {
      if (!fs.readFileSync(`/proc/${p}/cmdline`, 'utf8').includes('--type=renderer')) continue;
      const status = fs.readFileSync(`/proc/${p}/status`, 'utf8');
      const kib = key => Number((new RegExp(key + ':\\s+(\\d+)').exec(status) || [0, 0])[1]);
      peak.resident = Math.max(peak.resident, kib('VmRSS') / 1024);
      peak.own = Math.max(peak.own, (kib('RssAnon') + kib('RssShmem')) / 1024);
    } catch (e) { /* gone */ }
  }
  return peak;
}

function traceOf(pids) {
  return pids.map(p => { try { const t = fs.readFileSync(`/proc/${p}/status`, 'utf8'); return fs.readFileSync(`/proc/${p}/cmdline`, 'utf8').includes('--type=renderer') ? ['RssAnon', 'RssFile', 'RssShmem'].map(k => new RegExp(k + ':\\s+(\\d+)').exec(t)[1] / 1024 | 0).join('/') : ''; } catch (e) { return ''; } }).filter(Boolean).join(' ');
}

// What the browser itself takes to read the image as the page does (32 MB
// slices of the File, in a worker) and to write it to the private file
// system (8 MB writes through a sync handle), with no work between: the
// least any page could take. Milliseconds.
async function browserFloor(browser, server) {
  const page = await browser.newPage();
  await page.goto(`http://127.0.0.1:${server.address().port}/index.html`);
  await page.setInputFiles('#image', image);
  const source = `onmessage = async e => {
    const file = e.data, reader = new FileReaderSync(), drain = new MessageChannel();
    drain.port2.close();
    const folder = await navigator.storage.getDirectory();
    const handle = await (await folder.getFileHandle('floor', { create: true })).createSyncAccessHandle();
    let read = 0, write = 0;
    for (let at = 0; at < file.size; at += 32 << 20) {
      let t = performance.now();
      const bytes = new Uint8Array(reader.readAsArrayBuffer(file.slice(at, at + (32 << 20))));
      read += performance.now() - t;
      t = performance.now();
      for (let i = 0; i < bytes.length; i += 8 << 20) handle.write(bytes.subarray(i, i + (8 << 20)), { at: at + i });
      write += performance.now() - t;
      drain.port1.postMessage(null, [bytes.buffer]);
    }
    handle.close();
    await folder.removeEntry('floor');
    postMessage({ read: Math.round(read), write: Math.round(write) });
  };`;
  const floor = await page.evaluate(src => new Promise(done => {
    const worker = new Worker(URL.createObjectURL(new Blob([src])));
    worker.onmessage = e => done(e.data);
    worker.postMessage(document.getElementById('image').files[0]);
  }), source);
  await page.close();
  return floor;
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
  const peak = { resident: 0, own: 0 };  // MiB, as rendererMiB gives
  let heap = 0;  // MiB: the WebAssembly memory
  for (let n = 0; n < Number(runs); ++n) {
    const page = await browser.newPage();
    await page.goto(`http://127.0.0.1:${server.address().port}/index.html`);
    await page.setInputFiles('#patch', patch);
    await page.setInputFiles('#image', image);
    await page.waitForSelector('#apply:not([disabled])');
    const pids = descendants(root);
    const sampler = setInterval(() => {
      const now = rendererMiB(pids);
      peak.resident = Math.max(peak.resident, now.resident);
      peak.own = Math.max(peak.own, now.own);
      if (process.env.TRACE_MEMORY) process.stderr.write(`${now.resident.toFixed(0)} ${traceOf(pids)}\n`);
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
  const floor = await browserFloor(browser, server);
  await browser.close();
  fs.rmSync(profile, { recursive: true, force: true });
  server.close();
  console.log([median(applies), Math.min(...applies), Math.max(...applies), median(checks), Math.round(peak.resident), Math.round(peak.own), Math.round(heap), floor.read, floor.write].join(' '));
})().catch(e => { console.error(String(e)); process.exit(1); });
