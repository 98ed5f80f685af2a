// The WASI build against the native one: each case is run by both, each in a fresh folder of
// its own with the same files (for quib.wasm under node:wasi, its "."). Both must give the same
// status and messages, nothing on stdout, and leave their folders alike, byte for byte.
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
const pattern = n => Buffer.from(Array.from({ length: n }, (_, i) => (i * 7 + (i >> 8)) & 255));
const [pic, old, empty, folder] = [pattern(20), pattern(5000), Buffer.alloc(0), Symbol('folder')];
const longName = `${'n'.repeat(32)}.jpg`;  // 36 bytes: one too many

// Each case: its name, the files in its folder before the run, and the arguments.
const cases = [
    ['no arguments', {}, []],
    ['one argument', { 'pic.jpg': pic }, ['pic.jpg']],
    ['three arguments', { 'pic.jpg': pic }, ['pic.jpg', 'a', 'b']],
    ['the sample', { 'sample.jpg': sample }, ['sample.jpg', 'sample.vms']],
    ['a 1-byte picture', { 'one.jpg': Buffer.from('x') }, ['one.jpg', 'one.vms']],
    ['an empty picture', { 'empty.jpg': empty }, ['empty.jpg', 'e.vms']],
    ['all four size bytes', { 'pic.jpg': pattern(65537) }, ['pic.jpg', 'p.vms']],
    ['a 3 MiB picture', { 'large.jpg': pattern(3 << 20) }, ['large.jpg', 'l.vms']],
    ['a 36-byte name', { [longName]: pic }, [longName, 'long.vms']],
    ['a 35-byte name', { [longName.slice(1)]: pic }, [longName.slice(1), 'l.vms']],
    ['a name beyond ASCII', { 'ÿéàü.jpg': pic }, ['ÿéàü.jpg', 'ü.vms']],
    ['a picture in a folder', { sub: folder, 'sub/p.jpg': pic }, ['sub/p.jpg', 'sub/p.vms']],
    ['a missing picture', {}, ['missing.jpg', 'm.vms']],
    ['a folder as the picture', { 'dir.jpg': folder }, ['dir.jpg', 'd.vms']],
    ['the picture as <vms>', { 'pic.jpg': pic }, ['pic.jpg', 'pic.jpg']],
    ['the picture as <vms>, spelt otherwise', { 'pic.jpg': pic }, ['pic.jpg', './pic.jpg']],
    ['an existing <vms>, replaced', { 'pic.jpg': pic, 'pic.vms': old }, ['pic.jpg', 'pic.vms']],
    ['an existing <vms>, kept after a failure', { 'e.jpg': empty, 'v': old }, ['e.jpg', 'v']],
    ['an empty <vms>', { 'pic.jpg': pic }, ['pic.jpg', '']],
    ['a folder as <vms>', { 'pic.jpg': pic, 'out.vms': folder }, ['pic.jpg', 'out.vms']],
    ['<vms> ending in a slash', { 'pic.jpg': pic, sub: folder }, ['pic.jpg', 'sub/']],
    ['<vms> in a missing folder', { 'pic.jpg': pic }, ['pic.jpg', 'nowhere/pic.vms']],
    ['<vms> a link to an existing file, written through',
        { 'pic.jpg': pic, 'old.vms': old, 'pic.vms': { link: 'old.vms' } }, ['pic.jpg', 'pic.vms']],
    ['<vms> a link to an existing file, kept after a failure',
        { 'e.jpg': empty, 'old.vms': old, 'pic.vms': { link: 'old.vms' } }, ['e.jpg', 'pic.vms']],
];

function populate(dir, files) {
    fs.mkdirSync(dir, { recursive: true });
    for (const [name, content] of Object.entries(files)) {
        const at = path.join(dir, name);
        if (content === folder) fs.mkdirSync(at);
        else if (content.link) fs.symlinkSync(content.link, at);
        else fs.writeFileSync(at, content);
    }
    return dir;
}

// Every entry under dir, each file's bytes in hex: hidden files included, links not followed.
function snapshot(dir, prefix = '') {
    return Object.assign({}, ...fs.readdirSync(dir).sort().map(name => {
        const [at, shown] = [path.join(dir, name), prefix + name];
        const stat = fs.lstatSync(at);
        if (stat.isSymbolicLink()) return { [shown]: `(link to ${fs.readlinkSync(at)})` };
        if (!stat.isDirectory()) return { [shown]: fs.readFileSync(at).toString('hex') };
        return { [`${shown}/`]: '(folder)', ...snapshot(at, `${shown}/`) };
    }));
}

// A folder's entries with their sizes and the start of their bytes, to print.
const outline = found => Object.fromEntries(Object.entries(found).map(([name, hex]) =>
    [name, hex.startsWith('(') ? hex : `${hex.length / 2} bytes ${hex.slice(0, 16)}...`]));

function runNative(dir, args) {
    const run = spawnSync(nativePath, args, { cwd: dir, encoding: 'latin1' });
    if (run.error) throw run.error;
    return run;
}

function runWasi(dir, args) {
    const files = ['stdout', 'stderr'].map(name => path.join(dir, '..', name));
    const [stdout, stderr] = files.map(file => fs.openSync(file, 'w'));
    const wasi = new WASI({ version: 'preview1', args: ['quib', ...args], preopens: { '.': dir },
                            stdout, stderr, returnOnExit: true });
    let status;
    try {
        status = wasi.start(new WebAssembly.Instance(wasm, wasi.getImportObject()));
    } catch (error) {
        status = `trapped: ${error.message}`;
    }
    [stdout, stderr].forEach(fd => fs.closeSync(fd));
    const [out, err] = files.map(file => fs.readFileSync(file, 'latin1'));
    return { status, stderr: err, stdout: out };
}

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'quib-wasi-'));
const failed = [];
try {
    for (const [index, [name, files, args]] of cases.entries()) {
        const [nativeDir, wasiDir] = ['native', 'wasi'].map(side =>
            populate(path.join(work, String(index), side), files));
        const want = { ...runNative(nativeDir, args), folder: snapshot(nativeDir) };
        const got = { ...runWasi(wasiDir, args), folder: snapshot(wasiDir) };
        const differs = ['status', 'stderr', 'stdout', 'folder'].filter(key =>
            JSON.stringify(got[key]) !== JSON.stringify(want[key]));
        if (want.stdout !== '' || want.stderr === '') differs.push('(native: stdout or stderr)');
        if (differs.length > 0) failed.push(name);
        console.log(differs.length > 0 ? `FAIL ${name}: ${differs.join(', ')} differ`
                                       : `ok   ${name}: status ${want.status}`);
        for (const key of differs.filter(k => k in want)) {
            const show = value => JSON.stringify(key === 'folder' ? outline(value) : value);
            console.log(`  native: ${show(want[key])}\n  wasi:   ${show(got[key])}`);
        }
    }
} finally {
    fs.rmSync(work, { recursive: true, force: true });
}
console.log(`${cases.length - failed.length} of ${cases.length} cases alike`);
process.exit(failed.length > 0 ? 1 : 0);
