// Assembles the site in SITE from web/, the program and the WASI shim:
//
//   node web/build.mjs SITE PROGRAM.wasm NODE_MODULES VERSION
//
// quib.js is one classic script, the shim and the program inlined in it: a page opened
// from the disk (file://) may run no module and fetch nothing, and this one needs
// neither. sw.js gets the list of the site's files and a cache named by their hash, so
// that any change to any of them installs afresh and drops the old copy.
import crypto from 'node:crypto';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const [site, program, modules] = process.argv.slice(2, 5).map(arg => arg && path.resolve(arg));
const version = process.argv[5];
if (!version) {
    console.error('usage: node web/build.mjs SITE PROGRAM.wasm NODE_MODULES VERSION');
    process.exit(2);
}
const source = path.dirname(fileURLToPath(import.meta.url));
const esbuild = createRequire(path.join(modules, 'x.js'))('esbuild');

// Made afresh: a file dropped from the page must not linger in the site.
fs.rmSync(site, { recursive: true, force: true });
fs.mkdirSync(site, { recursive: true });
for (const name of ['quib.css', 'icon-192.png', 'icon-512.png', 'manifest.webmanifest',
                    'README.txt']) {
    fs.copyFileSync(path.join(source, name), path.join(site, name));
}
fs.copyFileSync(path.join(source, '..', 'LICENSE'), path.join(site, 'LICENSE'));
const page = fs.readFileSync(path.join(source, 'index.html'), 'utf8');
fs.writeFileSync(path.join(site, 'index.html'), page.replaceAll('@QUIB_VERSION@', version));

// `import program from 'quib.wasm'` is the program's bytes, as a Uint8Array.
const inlineProgram = {
    name: 'program',
    setup(build) {
        build.onResolve({ filter: /^quib\.wasm$/ }, () => ({ path: path.resolve(program) }));
    },
};
await esbuild.build({
    entryPoints: [path.join(source, 'quib.js')],
    outfile: path.join(site, 'quib.js'),
    bundle: true,
    format: 'iife',
    target: 'es2020',
    loader: { '.wasm': 'binary' },
    nodePaths: [modules],
    plugins: [inlineProgram],
    minify: true,
    legalComments: 'none',  // the shim's licence is in LICENSE-shim, beside it
    logLevel: 'warning',
});
fs.copyFileSync(path.join(modules, '@bjorn3/browser_wasi_shim/LICENSE-MIT'),
                path.join(site, 'LICENSE-shim'));

// Every file but the worker itself, in name order, and what they hold.
const files = fs.readdirSync(site).sort();
const hash = crypto.createHash('sha256');
for (const name of files) {
    hash.update(`${name}\0`).update(fs.readFileSync(path.join(site, name)));
}
const worker = fs.readFileSync(path.join(source, 'sw.js'), 'utf8')
    .replace(/^const cacheName = .*$/m,
             `const cacheName = 'quib-${hash.digest('hex').slice(0, 16)}';`)
    .replace(/^const siteFiles = .*$/m,
             `const siteFiles = ${JSON.stringify(['./', ...files])};`);
fs.writeFileSync(path.join(site, 'sw.js'), worker);
