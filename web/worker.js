// The patcher page's worker, appended to the tool's WebAssembly module
// (corvane.js). It mounts the player's files for the runs to read in slices,
// puts the result in a store outside the WebAssembly memory, and runs the
// command line's own apply (-a) and check (-c) on them.
//
// Messages in: {patch: File, images: [File], image: name, result: name}.
// Messages out: {type: 'ready'}, {type: 'progress', done, total, phase},
// {type: 'run', phase, status, text}, {type: 'result', file},
// {type: 'failed', text}.

// Inside a function of its own: its names stay clear of the module's.
(function () {
'use strict';

// ---- Stores: where the files a run creates keep their bytes ----

// A file of the origin private file system, through its synchronous handle:
// nothing of it is held in memory but the writes not yet made. Writes that
// go on from where the last one ended are gathered up to GATHER bytes and
// made as one (the private file system's cost is per write); a read, a
// change of length, a sync or a close makes them first, so a failure among
// them is the failure of a write, a sync or a close.
const GATHER = 8 << 20;
class PrivateStore {
  constructor(entry, handle) {
    this.entry = entry;
    this.handle = handle;
    this.gathered = new Uint8Array(GATHER);
    this.gatheredAt = 0;
    this.gatheredLength = 0;
  }
  settle() {
    if (this.gatheredLength === 0) return;
    const bytes = this.gathered.subarray(0, this.gatheredLength);
    this.gatheredLength = 0;
    if (full(() => this.handle.write(bytes, { at: this.gatheredAt })) !== bytes.length)
      throw new FS.ErrnoError(ENOSPC);
  }
  read(into, at) {
    this.settle();
    return this.handle.read(into, { at });
  }
  write(from, at) {
    const end = this.gatheredAt + this.gatheredLength;
    if (this.gatheredLength && (at !== end || this.gatheredLength + from.length > GATHER)) this.settle();
    if (from.length > GATHER) return full(() => this.handle.write(from, { at }));
    if (this.gatheredLength === 0) this.gatheredAt = at;
    this.gathered.set(from, this.gatheredLength);
    this.gatheredLength += from.length;
    return from.length;
  }
  size() { return this.gatheredLength ? Math.max(this.handle.getSize(), this.gatheredAt + this.gatheredLength) : this.handle.getSize(); }
  truncate(size) {
    this.settle();
    full(() => this.handle.truncate(size));
  }
  flush() {
    this.settle();
    this.handle.flush();
  }
  close() {
    if (this.closed) return;
    this.closed = true;
    this.gatheredLength = 0;
    this.handle.close();
  }
  async file() {
    this.flush();
    this.close();
    return this.entry.getFile();
  }
}

// The browser's refusal to store more (its quota for the site) is, to the
// run, a full disk: it reports the failed write and stops.
const ENOSPC = 51, EINVAL = 28;
function full(act) {
  try {
    return act();
  } catch (e) {
    throw e.name === 'QuotaExceededError' ? new FS.ErrnoError(ENOSPC) : e;
  }
}

// Where the page has no private file system (opened from file://): pieces
// of PIECE bytes, the few in use as arrays and the others handed to the
// browser as Blobs, which it keeps out of this worker's memory.
const PIECE = 4 << 20;
const HOT_PIECES = 8;
class PieceStore {
  constructor() {
    this.pieces = [];  // Uint8Array (in use) or Blob, by index; undefined: zeros
    this.hot = [];     // indices of the arrays, oldest use first
    this.length = 0;
    this.reader = new FileReaderSync();
  }
  piece(i) {
    let p = this.pieces[i];
    if (!(p instanceof Uint8Array)) {
      const bytes = new Uint8Array(PIECE);
      if (p instanceof Blob) {
        const stored = new Uint8Array(this.reader.readAsArrayBuffer(p));
        bytes.set(stored);
        letGo(stored);
      }
      this.pieces[i] = p = bytes;
      this.hot.push(i);
      if (this.hot.length > HOT_PIECES) {
        const cold = this.hot.shift();
        const bytes = this.pieces[cold];
        this.pieces[cold] = new Blob([bytes]);
        letGo(bytes);
      }
    } else {
      this.hot.splice(this.hot.indexOf(i), 1);
      this.hot.push(i);
    }
    return p;
  }
  copy(bytes, at, into) {
    let done = 0;
    while (done < bytes.length) {
      const i = Math.floor((at + done) / PIECE), off = (at + done) % PIECE;
      const n = Math.min(PIECE - off, bytes.length - done);
      const p = this.piece(i);
      if (into) p.set(bytes.subarray(done, done + n), off);
      else bytes.set(p.subarray(off, off + n), done);
      done += n;
    }
    return done;
  }
  read(into, at) {
    const n = Math.max(0, Math.min(into.length, this.length - at));
    return this.copy(into.subarray(0, n), at, false);
  }
  write(from, at) {
    const n = this.copy(from, at, true);
    this.length = Math.max(this.length, at + n);
    return n;
  }
  size() { return this.length; }
  truncate(size) {
    if (size < this.length && size % PIECE !== 0) this.piece(Math.floor(size / PIECE)).fill(0, size % PIECE);
    const kept = Math.ceil(size / PIECE);
    this.pieces.length = Math.min(this.pieces.length, kept);
    this.hot = this.hot.filter(i => i < kept);
    this.length = size;
  }
  settle() {}
  flush() {}
  close() {}
  async file(name) {
    const parts = [];
    for (let i = 0; i * PIECE < this.length; ++i) {
      const n = Math.min(PIECE, this.length - i * PIECE);
      const p = this.pieces[i];
      parts.push(p === undefined ? new Uint8Array(n) : p.slice(0, n));
    }
    return new File(parts, name);
  }
}

// Stores made ready before a run: a private file cannot be opened while the
// run waits for its write.
const PRIVATE_PREFIX = 'corvane-result-';
let spareStores = [];
let openStores = [];  // every store of the last run, closed before the next

async function readyStores(count) {
  for (const store of openStores) store.close();
  spareStores = openStores = [];
  let folder = null;
  try {
    folder = await navigator.storage.getDirectory();
  } catch (e) {
    folder = null;  // no private file system here (file://)
  }
  if (folder) {
    // The results of earlier runs go. One that a stopped run's worker still
    // held may stay locked a moment: it goes at a later run, and this run's
    // files take names of their own.
    try {
      const names = [];
      for await (const name of folder.keys()) if (name.startsWith(PRIVATE_PREFIX)) names.push(name);
      for (const name of names) await folder.removeEntry(name).catch(() => {});
    } catch (e) { /* left for a later run */ }
  }
  const run = Date.now().toString(36);
  for (let i = 0; i < count; ++i) {
    if (folder) {
      const entry = await folder.getFileHandle(`${PRIVATE_PREFIX}${run}-${i}`, { create: true });
      const handle = await entry.createSyncAccessHandle();
      handle.truncate(0);
      spareStores.push(new PrivateStore(entry, handle));
    } else {
      spareStores.push(new PieceStore());
    }
  }
  openStores = [...spareStores];
}

function takeStore() {
  if (spareStores.length === 0) throw new FS.ErrnoError(ENOSPC);
  return spareStores.shift();
}

// ---- Reading ahead ----

// A run reads a file in pieces of a sector or a megabyte; each read of a
// File or of the private file system costs far more than its bytes. Where a
// read goes on from where the last one ended, `ahead` bytes are read at once
// and the reads after it served from them. `direct(at, length)` reads;
// `done(bytes)`, where given, is told when bytes it gave are no longer used.
//
// Each read of a File passes through the browser's own process: the larger
// the slice, the fewer of them (a 780 MB image: 1.1 s in 16 MB slices, 0.95
// s in 32 MB ones). A read of the private file system costs less.
const FILE_AHEAD = 32 << 20, STORE_AHEAD = 8 << 20;

function readAhead(node, into, at, ahead, direct, done) {
  const a = node.ahead;
  if (a && at >= a.at && at + into.length <= a.at + a.bytes.length) {
    into.set(a.bytes.subarray(at - a.at, at - a.at + into.length));
    node.next = at + into.length;
    return into.length;
  }
  if (a && done) done(a.bytes);
  node.ahead = null;
  const onwards = node.next === at;
  node.next = at + into.length;
  if (!onwards || into.length >= ahead) {
    const bytes = direct(at, into.length), n = bytes.length;
    into.set(bytes);
    if (done) done(bytes);
    return n;
  }
  node.ahead = { at, bytes: direct(at, ahead) };
  const n = Math.min(into.length, node.ahead.bytes.length);
  into.set(node.ahead.bytes.subarray(0, n));
  return n;
}

// Each read of a File gives a new buffer. The run reads the whole image
// through them: left to the garbage collector, hundreds of megabytes of
// them wait for it. Sent to a port no one listens on, a buffer's memory
// goes back at once (and it is no longer this worker's to read).
const drain = new MessageChannel();
drain.port2.close();
function letGo(bytes) {
  drain.port1.postMessage(null, [bytes.buffer]);
}

// ---- The folder of results: directories as in memory, files in stores ----

const progress = { read: 0, written: 0 };

const storeNodeOps = {
  getattr(node) {
    const attr = MEMFS.node_ops.getattr(node);
    attr.size = node.store.size();
    attr.blocks = Math.ceil(attr.size / attr.blksize);
    return attr;
  },
  setattr(node, attr) {
    if (attr.mode !== undefined) node.mode = attr.mode;
    if (attr.timestamp !== undefined) node.timestamp = attr.timestamp;
    if (attr.size !== undefined) {
      node.ahead = null;
      node.store.truncate(attr.size);
    }
  },
};

const storeStreamOps = {
  llseek(stream, offset, whence) {
    let at = offset;
    if (whence === 1) at += stream.position;
    else if (whence === 2) at += stream.node.store.size();
    if (at < 0) throw new FS.ErrnoError(EINVAL);
    return at;
  },
  read(stream, buffer, offset, length, position) {
    const node = stream.node;
    const n = Math.max(0, Math.min(length, node.store.size() - position));
    // One buffer for the node's reads ahead: no garbage for each.
    return readAhead(node, buffer.subarray(offset, offset + n), position, STORE_AHEAD, (at, count) => {
      if (count > STORE_AHEAD) count = STORE_AHEAD;
      if (!node.buffer) node.buffer = new Uint8Array(STORE_AHEAD);
      return node.buffer.subarray(0, node.store.read(node.buffer.subarray(0, count), at));
    });
  },
  write(stream, buffer, offset, length, position) {
    stream.node.timestamp = Date.now();
    stream.node.ahead = null;
    return stream.node.store.write(buffer.subarray(offset, offset + length), position);
  },
  allocate(stream, offset, length) {
    if (offset + length > stream.node.store.size()) stream.node.store.truncate(offset + length);
  },
  fsync(stream) {
    stream.node.store.flush();
    return 0;
  },
  close(stream) {
    stream.node.store.settle();
  },
};

function storeFolder(node) {
  node.node_ops = Object.assign({}, node.node_ops, { mknod: makeStoreNode });
  return node;
}

function makeStoreNode(parent, name, mode, dev) {
  const node = MEMFS.createNode(parent, name, mode, dev);
  if (FS.isDir(node.mode)) storeFolder(node);
  if (FS.isFile(node.mode)) {
    node.store = takeStore();
    node.node_ops = Object.assign({}, node.node_ops, storeNodeOps);
    node.stream_ops = storeStreamOps;
  }
  return node;
}

const STOREFS = { mount(mount) { return storeFolder(MEMFS.mount(mount)); } };

// The player's files, read by slices of the File.
WORKERFS.stream_ops.read = function (stream, buffer, offset, length, position) {
  const file = stream.node.contents;
  const n = Math.max(0, Math.min(length, file.size - position));
  return readAhead(stream.node, buffer.subarray(offset, offset + n), position, FILE_AHEAD,
                   (at, count) => new Uint8Array(WORKERFS.reader.readAsArrayBuffer(file.slice(at, at + count))),
                   letGo);
};

// Every read and write of a run is counted, for its progress line.
let onTransfer = null;
for (const [ops, count] of [[storeStreamOps, true], [WORKERFS.stream_ops, false]]) {
  const read = ops.read, write = ops.write;
  ops.read = function (stream, buffer, offset, length, position) {
    const n = read(stream, buffer, offset, length, position);
    progress.read += n;
    if (onTransfer) onTransfer();
    return n;
  };
  if (count) ops.write = function (stream, buffer, offset, length, position) {
    const n = write(stream, buffer, offset, length, position);
    progress.written += n;
    if (onTransfer) onTransfer();
    return n;
  };
}

// ---- Runs ----

const OUTPUT = '/tmp/corvane-output.txt';

function mountFresh(path, type, options) {
  try { FS.unmount(path); } catch (e) { /* not mounted yet */ }
  try { FS.mkdir(path); } catch (e) { /* there already */ }
  FS.mount(type, options, path);
}

// One run of the tool, whose reads and writes are measured against `total`
// bytes; its output as the page shows it, without the folders the files are
// mounted in.
function run(phase, args, total) {
  progress.read = progress.written = 0;
  const started = Date.now();
  let shown = 0;
  onTransfer = () => {
    const now = Date.now();
    if (now - shown < 100) return;
    shown = now;
    postMessage({ type: 'progress', phase, read: progress.read, written: progress.written, total,
                  seconds: (now - started) / 1000 });
  };
  const status = Module.ccall('corvane_web_run', 'number', ['string', 'string'],
                              [args.map(a => a + '\n').join(''), OUTPUT]);
  onTransfer = null;
  const text = FS.readFile(OUTPUT, { encoding: 'utf8' }).replace(/\/(patch|in|out)\//g, '');
  postMessage({ type: 'run', phase, status, text, seconds: (Date.now() - started) / 1000 });
  return status;
}

async function applyPatch(job) {
  await readyStores(2);
  mountFresh('/patch', WORKERFS, { files: [job.patch] });
  mountFresh('/in', WORKERFS, { files: job.images });
  mountFresh('/out', STOREFS, {});
  const size = job.images.reduce((sum, f) => Math.max(sum, f.size), 0);
  const result = '/out/' + job.result;
  if (run('apply', ['-a', '/patch/' + job.patch.name, '/in/' + job.image, result], size) !== 0) return;
  const node = FS.lookupPath(result).node;
  if (run('check', ['-c', result], node.store.size()) > 1) return;
  const file = await node.store.file(job.result);
  postMessage({ type: 'result', file });
}

// The module may be ready already: its WebAssembly is inside it.
if (runtimeInitialized) postMessage({ type: 'ready' });
else Module.onRuntimeInitialized = () => postMessage({ type: 'ready' });

onmessage = e => {
  applyPatch(e.data).catch(error => postMessage({ type: 'failed', text: String(error && error.message || error) }));
};
})();
