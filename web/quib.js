// quib in a browser: each picture chosen or dropped is wrapped by the program itself
// (the same C++ sources as on a console, built for WASI, inlined here when the site is
// assembled), run once a picture as `quib <picture's name> <that name with .vms>` in a
// folder of its own that holds only the picture, in memory. Its messages are shown as it
// prints them; the file it leaves is offered as a download, with the icon painted from
// its own header.
import { WASI, File, OpenFile, ConsoleStdout, PreopenDirectory } from '@bjorn3/browser_wasi_shim';
import programBytes from 'quib.wasm';

const input = document.getElementById('pictures');
const drop = document.getElementById('drop');
const state = document.getElementById('state');
const results = document.getElementById('results');

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

function offer(item, name, bytes) {
    const iconBytes = 0x80 + 32 * 32 / 2;
    const link = element('a', {
        href: URL.createObjectURL(new Blob([bytes], { type: 'application/octet-stream' })),
        download: name,
    }, name);
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
        // page's memory) ends here, before the program runs, with the browser's reason.
        const bytes = await picture.arrayBuffer();
        folder = new PreopenDirectory('.', new Map([[name, new File(bytes)]]));
        const fds = [
            new OpenFile(new File(new ArrayBuffer(0))),
            new ConsoleStdout(show),  // never written: quib prints to stderr alone
            new ConsoleStdout(show),
            folder,
        ];
        // The shim logs every call to the console unless told not to.
        const wasi = new WASI(['quib', name, output], [], fds, { debug: false });
        const instance = await WebAssembly.instantiate(await program, {
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
        item.classList.add('failed');
    }
    performance.mark(`quib-done:${name}`);
}

async function wrapAll(pictures) {
    performance.mark('quib-picked');
    state.textContent = `Wrapping ${pictures.length} picture${pictures.length === 1 ? '' : 's'}…`;
    for (const picture of pictures) {
        await wrap(picture);
    }
    state.textContent = 'Done. Choose or drop more pictures to wrap them too.';
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

// A picture dropped anywhere but on the zone would make the browser open it instead.
for (const type of ['dragover', 'drop']) {
    window.addEventListener(type, event => event.preventDefault());
}
drop.addEventListener('dragover', event => {
    event.dataTransfer.dropEffect = 'copy';
    drop.classList.add('over');
});
drop.addEventListener('dragleave', () => drop.classList.remove('over'));
drop.addEventListener('drop', event => {
    drop.classList.remove('over');
    const pictures = [...event.dataTransfer.files];
    if (pictures.length > 0) program.then(() => wrapAll(pictures));
});

// Kept for the next visit, and for one with no network: see sw.js.
if ('serviceWorker' in navigator && location.protocol !== 'file:') {
    navigator.serviceWorker.register('sw.js').catch(() => {});
}
