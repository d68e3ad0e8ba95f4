// The patcher page: picks the files, hands them to the worker (which runs
// the tool's own apply and check), shows what the tool says, and saves the
// result. Nothing here reads or changes an image itself.
'use strict';

const $ = id => document.getElementById(id);
const form = $('form'), patchInput = $('patch'), imageInput = $('image'), drop = $('drop');
const applyButton = $('apply'), statusLine = $('status'), log = $('log');
const bar = $('bar'), rate = $('rate'), saveButton = $('save'), download = $('download'), stopButton = $('stop');

let ready = false;
let busy = false;
let dropped = null;  // {patch, images} from the last drop, in place of the inputs
let result = null;   // the patched image, a File

function say(text, bad) {
  statusLine.textContent = text;
  statusLine.classList.toggle('bad', Boolean(bad));
}

// ---- The files ----

// A patch file, told by its first bytes as the tool tells it: "PPF" or the
// VCDIFF magic.
async function isPatch(file) {
  const head = new Uint8Array(await file.slice(0, 3).arrayBuffer());
  const ppf = head[0] === 0x50 && head[1] === 0x50 && head[2] === 0x46;
  const vcdiff = head[0] === 0xD6 && head[1] === 0xC3 && head[2] === 0xC4;
  return ppf || vcdiff;
}

function chosen() {
  if (dropped) return dropped;
  return { patch: patchInput.files[0] || null, images: Array.from(imageInput.files) };
}

// The file the run is given as its image: the cue sheet among the files, or
// the one file. A reason in words when there is none.
function imageOf(images) {
  const sheets = images.filter(f => /\.cue$/i.test(f.name));
  if (sheets.length > 1) return { why: 'Pick one cue sheet at a time.' };
  if (sheets.length === 1) return { file: sheets[0] };
  if (images.length === 1) return { file: images[0] };
  if (images.length === 0) return { why: 'Pick the image: a .bin file, or a .cue sheet with its .bin files.' };
  return { why: 'Several .bin files but no cue sheet: pick one .bin file, or add the .cue sheet that names them.' };
}

function refresh() {
  const { patch, images } = chosen();
  const image = imageOf(images);
  applyButton.disabled = !ready || busy || !patch || !image.file;
  if (!busy && patch && !image.file && images.length) say(image.why, true);
}

patchInput.addEventListener('change', () => { dropped = null; refresh(); });
imageInput.addEventListener('change', () => { dropped = null; refresh(); });

drop.addEventListener('dragover', e => { e.preventDefault(); drop.classList.add('over'); });
drop.addEventListener('dragleave', () => drop.classList.remove('over'));
drop.addEventListener('drop', async e => {
  e.preventDefault();
  drop.classList.remove('over');
  const files = Array.from(e.dataTransfer.files);
  const patches = [], images = [];
  for (const f of files) (await isPatch(f) ? patches : images).push(f);
  if (patches.length !== 1) {
    say(patches.length ? 'Drop one patch file at a time.' : 'None of the dropped files is a PPF or xdelta patch.', true);
    return;
  }
  dropped = { patch: patches[0], images };
  drop.textContent = `Dropped: ${patches[0].name} and ${images.map(f => f.name).join(', ') || 'no image'}.`;
  say('');
  refresh();
});

// ---- The worker ----

// The worker runs the tool. Stop ends it, and with it every read and write
// of the run; a new one takes the next run.
const workerSource = URL.createObjectURL(new Blob([CORVANE_WORKER_SOURCE], { type: 'text/javascript' }));
let worker = null;

function startWorker() {
  ready = false;
  worker = new Worker(workerSource);
  worker.onmessage = e => { if (e.target === worker) heard(e.data); };
  worker.onerror = e => {
    if (e.target !== worker) return;
    finish();
    say(`The patcher could not start: ${e.message || 'this browser cannot run it'}.`, true);
  };
}

function mb(bytes) { return (bytes / 1e6).toFixed(1); }

function heard(m) {
  if (m.type === 'ready') {
    ready = true;
    refresh();
  } else if (m.type === 'progress') {
    // Applying: the result written against the image's size; checking: the
    // result read.
    const done = m.phase === 'apply' ? m.written : m.read;
    const percent = m.total ? Math.min(100, Math.floor(100 * done / m.total)) : 0;
    bar.value = percent;
    const speed = m.seconds > 0 ? mb((m.read + m.written) / m.seconds) : '0.0';
    rate.textContent = `${m.phase === 'apply' ? 'Applying' : 'Checking'}: ${percent} %, ${speed} MB/s`;
  } else if (m.type === 'run') {
    if (m.status <= 1)
      $('timing').textContent += `${$('timing').textContent ? ', ' : ''}${m.phase === 'apply' ? 'Applied' : 'checked'} in ${m.seconds.toFixed(1)} s`;
    log.textContent += m.text;
    $('log-box').hidden = false;
    if (m.phase === 'apply' && m.status !== 0) {
      finish();
      $('progress-box').hidden = true;
      say('The patch was not applied: the patcher says why below. Nothing was saved.', true);
    } else if (m.phase === 'apply') {
      bar.value = 100;
      say('Patched. Checking every sector of the result…');
    } else {
      const read = /Sectors read\s*:\s*(\d+)/.exec(m.text);
      const left = /Bad sectors left\s*:\s*(\d+)/.exec(m.text);
      if (m.status === 0 && read) say(`${read[1]} sectors checked, all good`);
      else if (m.status === 1 && left) say(`${read ? read[1] : 'The'} sectors checked: ${left[1]} bad sectors in the result.`, true);
      else { finish(); say('The result could not be checked: the patcher says why below.', true); }
    }
  } else if (m.type === 'result') {
    bar.value = 100;
    result = m.file;
    finish();
    offerResult();
  } else if (m.type === 'failed') {
    finish();
    say(`The patcher stopped: ${m.text}`, true);
  }
}

function finish() {
  busy = false;
  rate.textContent = '';
  stopButton.hidden = true;
  refresh();
}

// The run ends where it is: the original files were only read, and the
// part of the result written is thrown away (the next run clears it).
stopButton.addEventListener('click', () => {
  if (!busy) return;
  worker.terminate();
  startWorker();
  finish();
  $('progress-box').hidden = true;
  say('Stopped. Nothing was saved, and your files are as they were.');
  applyButton.focus();
});

form.addEventListener('submit', e => {
  e.preventDefault();
  const { patch, images } = chosen();
  const image = imageOf(images);
  if (!patch || !image.file) return;
  busy = true;
  result = null;
  $('save-box').hidden = true;
  if (download.href.startsWith('blob:')) URL.revokeObjectURL(download.href);
  log.textContent = '';
  $('timing').textContent = '';
  bar.value = 0;
  $('progress-box').hidden = false;
  stopButton.hidden = false;
  say('Applying the patch…');
  refresh();
  const stem = image.file.name.replace(/\.(bin|cue|img)$/i, '');
  worker.postMessage({ patch, images, image: image.file.name, result: `${stem} (patched).bin` });
});

// ---- Saving ----

function offerResult() {
  $('save-box').hidden = false;
  saveButton.hidden = typeof window.showSaveFilePicker !== 'function';
  download.href = URL.createObjectURL(result);
  download.download = result.name;
  download.textContent = `Download ${result.name} (${mb(result.size)} MB)`;
  (saveButton.hidden ? download : saveButton).focus();
}

// The save picker: the result streamed into the file the player chooses.
saveButton.addEventListener('click', async () => {
  try {
    const target = await window.showSaveFilePicker({ suggestedName: result.name });
    await result.stream().pipeTo(await target.createWritable());
    say(`Saved as ${target.name}.`);
  } catch (error) {
    if (error.name !== 'AbortError') say(`Not saved: ${error.message}`, true);
  }
});

startWorker();
refresh();
