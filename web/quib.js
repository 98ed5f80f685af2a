// quib in a browser: each picture chosen or dropped is wrapped by the program itself
// (the same C++ sources as on a console, built for WASI, inlined here when the site is
// assembled), run once a picture as `quib <picture's name> <that name with .vms>` in a
// folder of its own that holds only the picture, in memory. Its messages are shown as it
// prints them, with a plain reason beside a failure; the file it leaves is offered as a
// download, with the icon painted from its own header.
import { WASI, File, OpenFile, ConsoleStdout, PreopenDirectory } from '@bjorn3/browser_wasi_shim';
import programBytes from 'quib.wasm';

const input = document.getElementById('pictures');
const state = document.getElementById('state');
const results = document.getElementById('results');
const downloadAll = document.getElementById('download-all');
const clear = document.getElementById('clear');

// The name a console user gets from the README's loop, "${picture%.*}.vms": the last
// extension replaced, a name without one extended.
function vmsName(name) {
    const dot = name.lastIndexOf('.');
    return (dot >= 0 ? name.slice(0, dot) : name) + '.vms';
}

// The icon every file carries in its header: 16 ARGB4444 palette entries at 0x60, then
// 32 x 32 pixels of 4 bits at 0x80, the left one in the high nibble.
function paintIcon(canvas, bytes) {
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    const palette = [];
    for (let i = 0; i < 16; ++i) {
        const word = view.getUint16(0x60 + 2 * i, true);
        palette.push([word >> 8, word >> 4, word, word >> 12].map(v => (v & 15) * 17));
    }
    const context = canvas.getContext('2d');
    const image = context.createImageData(32, 32);
    for (let pixel = 0; pixel < 32 * 32; ++pixel) {
        const byte = bytes[0x80 + (pixel >> 1)];
        image.data.set(palette[pixel % 2 ? byte & 15 : byte >> 4], pixel * 4);
    }
    context.putImageData(image, 0, 0);
}

function element(tag, properties = {}, ...children) {
    const made = Object.assign(document.createElement(tag), properties);
    made.append(...children);
    return made;
}

// What a person who never used a console needs to hear beside the program's own words,
// found by those words (they are the program's, and never change).
function plainReason(messages, picture) {
    const nameBytes = new TextEncoder().encode(picture.name).length;
    const reasons = [
        ['Input file name to long',
         `Names may be 35 bytes long; this one is ${nameBytes} — rename it.`],
        ['Source and destination are the same file',
         'A .vms file cannot be wrapped under its own name.'],
        ['Failed to read image file data',
         picture.size === 0 ? 'The file is empty.' : 'The file could not be read whole.'],
        ['The image file data is to large',
         'The picture is larger than the program can hold (2 GiB at most).'],
    ];
    return reasons.find(([words]) => messages.includes(words))?.[1] ?? '';
}

// The files ready to download, each with its link's object URL, freed when it is cleared.
const ready = [];
let archiveUrl = null;

function offer(item, name, bytes) {
    const iconBytes = 0x80 + 32 * 32 / 2;
    const url = URL.createObjectURL(new Blob([bytes], { type: 'application/octet-stream' }));
    ready.push({ name, bytes, url });
    const link = element('a', { href: url, download: name }, name);
    const size = element('span', {}, `${bytes.length.toLocaleString('en')} bytes`);
    const file = element('div', { className: 'file' });
    if (bytes.length >= iconBytes) {
        const canvas = element('canvas', { width: 32, height: 32 });
        canvas.setAttribute('role', 'img');
        canvas.setAttribute('aria-label', `The icon of ${name}`);
        paintIcon(canvas, bytes);
        file.append(canvas);
    }
    file.append(element('div', {}, link, element('br'), size));
    item.append(file);
}

function refuse(item, reason) {
    item.classList.add('failed');
    const mark = element('span', { className: 'mark', ariaHidden: 'true' }, '✕ ');
    item.append(element('p', { className: 'verdict' }, mark, element('strong', {}, 'Not wrapped.'),
                        reason ? ` ${reason}` : ''));
}

const program = WebAssembly.compile(programBytes);

async function wrap(picture) {
    const name = picture.name;
    const output = vmsName(name);
    const messages = element('pre');
    const item = element('li', {}, element('h3', {}, name), messages);
    results.append(item);
    const decoder = new TextDecoder();
    const show = chunk => messages.append(decoder.decode(chunk, { stream: true }));

    let status;
    let folder;
    try {
        // What the browser cannot read (a folder dropped, a picture too large for the
        // page's memory) ends here, before the program runs, with the browser's reason;
        // so does a program that could not be loaded.
        const bytes = await picture.arrayBuffer();
        const module = await program;
        folder = new PreopenDirectory('.', new Map([[name, new File(bytes)]]));
        const fds = [
            new OpenFile(new File(new ArrayBuffer(0))),
            new ConsoleStdout(show),  // never written: quib prints to stderr alone
            new ConsoleStdout(show),
            folder,
        ];
        // The shim logs every call to the console unless told not to.
        const wasi = new WASI(['quib', name, output], [], fds, { debug: false });
        const instance = await WebAssembly.instantiate(module, {
            wasi_snapshot_preview1: wasi.wasiImport,
        });
        status = wasi.start(instance);
    } catch (error) {
        messages.append(`The picture could not be wrapped: ${error.message ?? error}\n`);
    }
    const made = folder?.dir.contents.get(output);
    if (status === 0 && made) {
        offer(item, output, made.data);
    } else {
        refuse(item, plainReason(messages.textContent, picture));
    }
    performance.mark(`quib-done:${name}`);
}

// Pictures are wrapped one at a time, in the order they came, whichever batch brought
// them: the status counts every one not yet done, so it says "Done" only at the end.
let queue = Promise.resolve();
let pending = 0;

function showProgress() {
    const count = `${pending} picture${pending === 1 ? '' : 's'}`;
    state.textContent = pending > 0 ? `Wrapping ${count}…`
                                    : 'Done. Choose or drop more pictures to wrap them too.';
    downloadAll.hidden = ready.length < 2;
    clear.hidden = pending > 0 || results.childElementCount === 0;
}

function wrapAll(pictures) {
    performance.mark('quib-picked');
    pending += pictures.length;
    showProgress();
    for (const picture of pictures) {
        queue = queue.then(() => wrap(picture)).then(() => {
            --pending;
            showProgress();
        });
    }
}

program.then(() => {
    input.disabled = false;
    state.textContent = 'Ready.';
}, error => {
    state.textContent = `The program could not be loaded: ${error.message}`;
});

input.addEventListener('change', () => {
    const pictures = [...input.files];
    input.value = '';  // the same picture, chosen again, is wrapped again
    if (pictures.length > 0) wrapAll(pictures);
});

// A file is taken wherever on the page it is dropped (the browser would open it
// otherwise); the whole page shows that it would be, while one is over it. The count
// follows the enter and leave events that each element under the pointer sends.
let dragDepth = 0;
const carriesFiles = event => event.dataTransfer?.types.includes('Files') ?? false;
const highlight = on => document.body.classList.toggle('dragging', on);
window.addEventListener('dragenter', event => {
    if (carriesFiles(event)) highlight(++dragDepth > 0);
});
window.addEventListener('dragleave', () => {
    dragDepth = Math.max(0, dragDepth - 1);
    highlight(dragDepth > 0);
});
window.addEventListener('dragover', event => {
    event.preventDefault();
    if (event.dataTransfer) event.dataTransfer.dropEffect = 'copy';
});
window.addEventListener('drop', event => {
    event.preventDefault();
    dragDepth = 0;
    highlight(false);
    const pictures = [...(event.dataTransfer?.files ?? [])];
    if (pictures.length > 0) wrapAll(pictures);
});

// All the files ready, in one uncompressed zip: a page that starts many downloads at
// once is stopped by most browsers after the first.
const crcTable = Array.from({ length: 256 }, (_, n) => {
    for (let bit = 0; bit < 8; ++bit) n = n & 1 ? 0xedb88320 ^ (n >>> 1) : n >>> 1;
    return n >>> 0;
});
function crc32(bytes) {
    let crc = ~0;
    for (const byte of bytes) crc = crcTable[(crc ^ byte) & 255] ^ (crc >>> 8);
    return ~crc >>> 0;
}

// Each entry: a local header, the name, the bytes; then the central directory, one
// record per entry, and its end record. Names are UTF-8 (flag bit 11); every date is
// the format's first day, 1 January 1980, so the same files give the same bytes.
function zip(files) {
    const parts = [];
    const directory = [];
    let offset = 0;
    for (const { name, bytes } of files) {
        const encoded = new TextEncoder().encode(name);
        const fields = [[0x0a, 2], [0x800, 2], [0, 2], [0, 2], [0x21, 2], [crc32(bytes), 4],
                        [bytes.length, 4], [bytes.length, 4], [encoded.length, 2], [0, 2]];
        const header = record(0x04034b50, fields);
        const central = record(0x02014b50, [[0x31e, 2], ...fields, [0, 2], [0, 2], [0, 2],
                                            [0, 4], [offset, 4]]);
        parts.push(header, encoded, bytes);
        directory.push(central, encoded);
        offset += header.length + encoded.length + bytes.length;
    }
    const size = directory.reduce((sum, part) => sum + part.length, 0);
    const end = record(0x06054b50, [[0, 2], [0, 2], [files.length, 2], [files.length, 2],
                                    [size, 4], [offset, 4], [0, 2]]);
    return new Blob([...parts, ...directory, end], { type: 'application/zip' });
}
function record(signature, fields) {
    const bytes = new Uint8Array(4 + fields.reduce((sum, [, width]) => sum + width, 0));
    const view = new DataView(bytes.buffer);
    view.setUint32(0, signature, true);
    let at = 4;
    for (const [value, width] of fields) {
        if (width === 2) view.setUint16(at, value, true);
        else view.setUint32(at, value, true);
        at += width;
    }
    return bytes;
}

downloadAll.addEventListener('click', () => {
    if (archiveUrl) URL.revokeObjectURL(archiveUrl);
    archiveUrl = URL.createObjectURL(zip(ready));
    element('a', { href: archiveUrl, download: 'quib-vms.zip' }).click();
});

clear.addEventListener('click', () => {
    for (const { url } of ready.splice(0)) URL.revokeObjectURL(url);
    if (archiveUrl) URL.revokeObjectURL(archiveUrl);
    archiveUrl = null;
    results.replaceChildren();
    showProgress();
    input.focus();  // the button just clicked is gone
});

// Kept for the next visit, and for one with no network: see sw.js.
if ('serviceWorker' in navigator && location.protocol !== 'file:') {
    navigator.serviceWorker.register('sw.js').catch(() => {});
}
