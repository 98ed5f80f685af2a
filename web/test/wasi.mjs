// The WASI build against the native one: each case is run by both, each in a fresh
// folder of its own with the same files, quib.wasm under node:wasi with that folder
// as its "." and the native program with it as its working folder. Both must give
// the same status, the same messages on stderr, nothing on stdout, and leave their
// folders alike, byte for byte: the new file, the old one replaced whole, no hidden
// file left behind.
//
//   node web/test/wasi.mjs path/to/quib.wasm path/to/native/quib   (from the source root)
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { WASI } from 'node:wasi';

process.removeAllListeners('warning');  // node:wasi is "experimental": said once per run
const [wasmPath, nativePath] = process.argv.slice(2).map(arg => path.resolve(arg));
if (!nativePath) {
    console.error('usage: node web/test/wasi.mjs QUIB.wasm NATIVE_QUIB');
    process.exit(2);
}
const wasm = await WebAssembly.compile(fs.readFileSync(wasmPath));
const sample = fs.readFileSync('examples/sample.jpg');

// A picture's worth of bytes with every value in it, zeros included.
const pattern = size =>
    Buffer.from(Array.from({ length: size }, (_, i) => (i * 7 + (i >> 8)) & 255));
const folder = Symbol('folder');
const linkTo = target => ({ link: target });
const longName = `${'n'.repeat(32)}.jpg`;  // 36 bytes: one too many
const longestName = `${'n'.repeat(31)}.jpg`;
const pic = pattern(20);

// Each case: its name, the files in its folder before the run (a Buffer, or a folder),
// and the arguments.
const cases = [
    ['no arguments', {}, []],
    ['one argument', { 'pic.jpg': pic }, ['pic.jpg']],
    ['three arguments', { 'pic.jpg': pic }, ['pic.jpg', 'a', 'b']],
    ['the sample', { 'sample.jpg': sample }, ['sample.jpg', 'sample.vms']],
    ['a 1-byte picture', { 'one.jpg': Buffer.from('x') }, ['one.jpg', 'one.vms']],
    ['an empty picture', { 'empty.jpg': Buffer.alloc(0) }, ['empty.jpg', 'e.vms']],
    ['all four size bytes', { 'pic.jpg': pattern(65537) }, ['pic.jpg', 'p.vms']],
    ['a 3 MiB picture', { 'large.jpg': pattern(3 << 20) }, ['large.jpg', 'l.vms']],
    ['a 36-byte name', { [longName]: pic }, [longName, 'long.vms']],
    ['a 35-byte name', { [longestName]: pic }, [longestName, 'l.vms']],
    ['a name beyond ASCII', { 'ÿéàü.jpg': pic }, ['ÿéàü.jpg', 'ü.vms']],
    ['a picture in a folder', { sub: folder, 'sub/pic.jpg': pattern(300) },
        ['sub/pic.jpg', 'sub/pic.vms']],
    ['a missing picture', {}, ['missing.jpg', 'm.vms']],
    ['a folder as the picture', { 'dir.jpg': folder }, ['dir.jpg', 'd.vms']],
    ['the picture as <vms>', { 'pic.jpg': pic }, ['pic.jpg', 'pic.jpg']],
    ['the picture as <vms>, spelt otherwise', { 'pic.jpg': pic }, ['pic.jpg', './pic.jpg']],
    ['an existing <vms>, replaced', { 'pic.jpg': pic, 'pic.vms': pattern(5000) },
        ['pic.jpg', 'pic.vms']],
    ['an existing <vms>, kept after a failure',
        { 'empty.jpg': Buffer.alloc(0), 'pic.vms': pattern(5000) }, ['empty.jpg', 'pic.vms']],
    ['an empty <vms>', { 'pic.jpg': pic }, ['pic.jpg', '']],
    ['a folder as <vms>', { 'pic.jpg': pic, 'out.vms': folder }, ['pic.jpg', 'out.vms']],
    ['<vms> ending in a slash', { 'pic.jpg': pic, sub: folder }, ['pic.jpg', 'sub/']],
    ['<vms> in a missing folder', { 'pic.jpg': pic }, ['pic.jpg', 'nowhere/pic.vms']],
    ['<vms> a link to an existing file, written through',
        { 'pic.jpg': pic, 'old.vms': pattern(5000), 'pic.vms': linkTo('old.vms') },
        ['pic.jpg', 'pic.vms']],
    ['<vms> a link to an existing file, kept after a failure',
        { 'empty.jpg': Buffer.alloc(0), 'old.vms': pattern(5000), 'pic.vms': linkTo('old.vms') },
        ['empty.jpg', 'pic.vms']],
].map(([name, files, args]) => ({ name, files, args }));

function populate(dir, files) {
    for (const [name, content] of Object.entries(files)) {
        const at = path.join(dir, name);
        if (content === folder) fs.mkdirSync(at);
        else if (content.link) fs.symlinkSync(content.link, at);
        else fs.writeFileSync(at, content);
    }
}

// Every entry under dir, with each file's bytes in hex: hidden files included.
function snapshot(dir, prefix = '') {
    const found = {};
    for (const entry of fs.readdirSync(dir, { withFileTypes: true }).sort((a, b) =>
        a.name < b.name ? -1 : 1)) {
        const name = prefix + entry.name;
        if (entry.isSymbolicLink()) {
            found[name] = `(link to ${fs.readlinkSync(path.join(dir, entry.name))})`;
        } else if (entry.isDirectory()) {
            found[`${name}/`] = '(folder)';
            Object.assign(found, snapshot(path.join(dir, entry.name), `${name}/`));
        } else {
            found[name] = fs.readFileSync(path.join(dir, entry.name)).toString('hex');
        }
    }
    return found;
}

// A folder's entries with their sizes and the start of their bytes, to print.
const outline = found => Object.fromEntries(Object.entries(found).map(([name, hex]) =>
    [name, hex.startsWith('(') ? hex : `${hex.length / 2} bytes ${hex.slice(0, 16)}...`]));

function runNative(dir, args) {
    const run = spawnSync(nativePath, args, { cwd: dir });
    if (run.error) throw run.error;
    return { status: run.status, stderr: run.stderr.toString('latin1'),
             stdout: run.stdout.toString('latin1') };
}

function runWasi(dir, args, scratch) {
    const out = path.join(scratch, 'stdout');
    const err = path.join(scratch, 'stderr');
    const [stdout, stderr] = [fs.openSync(out, 'w'), fs.openSync(err, 'w')];
    const wasi = new WASI({ version: 'preview1', args: ['quib', ...args], preopens: { '.': dir },
                            stdout, stderr, returnOnExit: true });
    let status;
    try {
        status = wasi.start(new WebAssembly.Instance(wasm, wasi.getImportObject()));
    } catch (error) {
        status = `trapped: ${error.message}`;
    }
    fs.closeSync(stdout);
    fs.closeSync(stderr);
    return { status, stderr: fs.readFileSync(err).toString('latin1'),
             stdout: fs.readFileSync(out).toString('latin1') };
}

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'quib-wasi-'));
let failures = 0;
try {
    for (const [index, test] of cases.entries()) {
        const base = path.join(work, String(index));
        const [nativeDir, wasiDir] = [path.join(base, 'native'), path.join(base, 'wasi')];
        for (const dir of [nativeDir, wasiDir]) {
            fs.mkdirSync(dir, { recursive: true });
            populate(dir, test.files);
        }
        const want = { ...runNative(nativeDir, test.args), folder: snapshot(nativeDir) };
        const got = { ...runWasi(wasiDir, test.args, base), folder: snapshot(wasiDir) };
        const differs = ['status', 'stderr', 'stdout', 'folder'].filter(key =>
            JSON.stringify(got[key]) !== JSON.stringify(want[key]));
        if (want.stdout !== '' || want.stderr === '') differs.push('(native: stdout or stderr)');
        if (differs.length > 0) {
            ++failures;
            console.log(`FAIL ${test.name}: ${differs.join(', ')} differ`);
            for (const key of differs.filter(k => k in want)) {
                const show = value => JSON.stringify(key === 'folder' ? outline(value) : value);
                console.log(`  native: ${show(want[key])}\n  wasi:   ${show(got[key])}`);
            }
        } else {
            console.log(`ok   ${test.name}: status ${want.status}`);
        }
    }
} finally {
    fs.rmSync(work, { recursive: true, force: true });
}
console.log(`${cases.length - failures} of ${cases.length} cases alike`);
process.exit(failures > 0 ? 1 : 0);
