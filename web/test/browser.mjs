// The page in Debian's Chromium (headless, driven by playwright-core), served locally, against
// the native program: downloads, messages and icons alike; failures in words; contrast, a quiet
// console, a phone's width, no other origin; installed, it wraps offline and from the disk.
// Exits 77 (skipped) without Chromium or playwright-core. Leaves a screenshot for the README.
//   node web/test/browser.mjs SITE NATIVE_QUIB SCREENSHOT.png   (from the source root)
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';

const [site, native, screenshot] = process.argv.slice(2).map(arg => path.resolve(arg));
if (!screenshot) {
    console.error('usage: node web/test/browser.mjs SITE NATIVE_QUIB SCREENSHOT.png');
    process.exit(2);
}
const chromium = '/usr/bin/chromium';
const playwright = await import('playwright-core').catch(() => null);
const missing = !playwright ? 'playwright-core (npm ci --prefix web)'
    : !fs.existsSync(chromium) ? `${chromium} (apt-get install chromium)` : null;
if (missing) {
    console.log(`skipped: needs ${missing}`);
    process.exit(77);
}

const failures = [];
const check = (ok, what) => {
    console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}`);
    if (!ok) failures.push(what);
};
// Passes when nothing was found, and names what was.
const none = (found, what, note = '') =>
    check(found.length === 0, `${what}${found.length ? `: ${found.join('; ')}` : note}`);

// The pictures, and what the native program makes of each, run as the page runs it.
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'quib-browser-'));
const longName = 'a-picture-whose-name-is-36-bytes.jpg';
// Each picked at once, with what the page says beside a failure's messages, in plain words.
const pictures = [
    ['sample.jpg', fs.readFileSync('examples/sample.jpg')],
    ['one.jpg', Buffer.from([0xff])],
    ['empty.jpg', Buffer.alloc(0), 'The file is empty.'],
    [longName, Buffer.from('long'), 'Names may be 35 bytes long; this one is 36 — rename it.'],
];
const dropped = ['no extension', Buffer.from([0, 1, 2])];  // afterwards, outside the box
const expected = {};
for (const [name, bytes, reason = ''] of [...pictures, dropped]) {
    fs.writeFileSync(path.join(work, name), bytes);
    // The name as the README's loop gives it, in a shell.
    const vms = spawnSync('sh', ['-c', 'printf %s "${1%.*}.vms"', 'sh', name]).stdout.toString();
    const run = spawnSync(native, [name, vms], { cwd: work });
    expected[name] = { vms, reason, status: run.status, messages: run.stderr.toString(),
                       bytes: run.status === 0 ? fs.readFileSync(path.join(work, vms)) : null };
}
if (Buffer.byteLength(longName) !== 36 || expected[longName].status !== 1) {
    throw new Error('the long name is not refused natively: the test itself is wrong');
}

// The site from a plain static server, as any would serve it.
const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css',
                '.png': 'image/png', '.webmanifest': 'application/manifest+json' };
let served = 0;
const server = http.createServer((request, reply) => {
    ++served;
    const file = path.join(site, decodeURIComponent(new URL(request.url, 'http://x').pathname));
    const target = file.endsWith('/') ? path.join(file, 'index.html') : file;
    const found = target.startsWith(site)
        && fs.statSync(target, { throwIfNoEntry: false })?.isFile();
    const type = types[path.extname(target)] ?? 'text/plain';
    reply.writeHead(found ? 200 : 404, { 'Content-Type': type });
    reply.end(found ? fs.readFileSync(target) : '');
});
await new Promise(resolve => server.listen(0, '127.0.0.1', resolve));
const origin = `http://127.0.0.1:${server.address().port}`;

const browser = await playwright.chromium.launch({ executablePath: chromium, args: [
    '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'] });
try {
    const context = await browser.newContext({ acceptDownloads: true,
                                               viewport: { width: 480, height: 720 } });
    const [requests, errors, logged] = [[], [], []];
    context.on('request', request => requests.push(request.url()));
    const watch = watched => watched.on('pageerror', error => errors.push(error.message))
        .on('console', message => {
            logged.push(`${message.type()}: ${message.text()}`);
            if (message.type() === 'error') errors.push(message.text());
        });
    const page = watch(await context.newPage());

    await page.goto(`${origin}/`);
    await page.waitForSelector('#pictures:not([disabled])');
    await page.keyboard.press('Tab');
    check(await page.evaluate(() => document.activeElement?.id === 'pictures'),
          'the file input takes the keyboard focus first');

    await page.setInputFiles('#pictures', pictures.map(([name]) => path.join(work, name)));
    // Every picture so far has its entry, and the page says it is done.
    const settled = async (count, what) => {
        const done = want => document.querySelectorAll('#results > li').length === want
            && document.getElementById('state').textContent.startsWith('Done');
        const ok = await page.waitForFunction(done, count, { timeout: 10000 }).catch(() => false);
        check(ok, `${what}: ${count} entries within 10 s`);
        if (!ok) throw new Error(`the page did not finish ${what}`);
    };
    await settled(pictures.length, 'the pictures picked');
    none(logged.slice(0, 3), 'the console stays quiet during a wrap');

    // Text against what lies behind it, in both schemes, a failure's included: 4.5:1 at least.
    // Under a page that paints no background lies the browser's canvas, white or #121212.
    const poorContrast = canvas => {
        const rgba = text => (text.match(/[\d.]+/g) ?? []).map(Number).concat(1).slice(0, 4);
        const over = (under, [r, g, b, a]) => [r, g, b].map((v, i) => v * a + under[i] * (1 - a));
        const behind = e =>
            e ? over(behind(e.parentElement), rgba(getComputedStyle(e).backgroundColor)) : canvas;
        const luminance = rgb => rgb.map(v => v / 255)
            .map(v => v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4)
            .reduce((sum, v, i) => sum + v * [0.2126, 0.7152, 0.0722][i], 0);
        const shown = element => element.getClientRects().length && [...element.childNodes]
            .some(node => node.nodeType === Node.TEXT_NODE && node.textContent.trim());
        return [...document.querySelectorAll('body *')].filter(shown).map(element => {
            const back = behind(element);
            const lit = [over(back, rgba(getComputedStyle(element).color)), back].map(luminance);
            return [element.tagName, (Math.max(...lit) + 0.05) / (Math.min(...lit) + 0.05)];
        }).filter(([, ratio]) => ratio < 4.5).map(([tag, ratio]) => `${tag} ${ratio.toFixed(2)}:1`);
    };
    for (const [colorScheme, canvas] of [['light', [255, 255, 255]], ['dark', [18, 18, 18]]]) {
        await page.emulateMedia({ colorScheme });
        none(await page.evaluate(poorContrast, canvas), `${colorScheme}: text keeps 4.5:1`);
    }
    await page.emulateMedia({ colorScheme: 'light' });

    // A picture dropped anywhere on the page is wrapped as a chosen one is; the whole page
    // shows that it would take it while the file is over it.
    await page.evaluate(() => document.activeElement?.blur());  // no focus ring in the picture
    await page.screenshot({ path: screenshot, fullPage: true });
    const drag = async (selector, type) => page.dispatchEvent(selector, type, {
        dataTransfer: await page.evaluateHandle(([name, bytes]) => {
            const made = new DataTransfer();
            made.items.add(new File([new Uint8Array(bytes)], name));
            return made;
        }, [dropped[0], [...dropped[1]]]) });
    const background = () => page.evaluate(() => getComputedStyle(document.body).background);
    const still = await background();
    await drag('h1', 'dragenter');
    check(await background() !== still, 'a file over the page highlights the whole page');
    await drag('h1', 'drop');
    await settled(Object.keys(expected).length, 'the picture dropped outside the box');

    const download = async link => {
        const [made] = await Promise.all([link.page().waitForEvent('download'), link.click()]);
        return fs.readFileSync(await made.path());
    };
    for (const [index, [name, want]] of Object.entries(expected).entries()) {
        const item = page.locator('#results > li').nth(index);
        check(await item.locator('pre').textContent() === want.messages,
              `${name}: the program's messages, as on a console`);
        const links = item.locator('a[download]');
        if (want.status !== 0) {
            check(await links.count() === 0, `${name}: no download after a failure`);
            const verdict = await item.locator('.verdict').textContent().catch(() => '');
            check(verdict.includes('Not wrapped.') && verdict.includes(want.reason),
                  `${name}: marked "Not wrapped." in words, with "${want.reason}"`);
            continue;
        }
        check(await links.getAttribute('download') === want.vms,
              `${name}: downloads as ${want.vms}`);
        check((await download(links)).equals(want.bytes),
              `${name}: the download is the native file, byte for byte`);
        const size = `${want.bytes.length.toLocaleString('en')} bytes`;
        check((await item.textContent()).includes(size), `${name}: its size is shown`);

        // The icon: 32 x 32 pixels from the file's palette and bitmap, scaled up crisply.
        const icon = await item.locator('canvas').evaluate(canvas => ({
            pixels: [...canvas.getContext('2d').getImageData(0, 0, 32, 32).data],
            width: canvas.width, shown: canvas.getBoundingClientRect().width,
            rendering: getComputedStyle(canvas).imageRendering,
        }));
        // Two pixels a byte, the left one in the high nibble; each a 16-bit word of the
        // palette, 4 bits each of alpha, red, green and blue.
        const wanted = Array.from({ length: 32 * 32 }, (_, at) => {
            const byte = want.bytes[0x80 + (at >> 1)];
            const word = want.bytes.readUInt16LE(0x60 + 2 * (at % 2 === 0 ? byte >> 4 : byte & 15));
            return [word >> 8, word >> 4, word, word >> 12].map(v => (v & 15) * 17);
        });
        check(JSON.stringify(icon.pixels) === JSON.stringify(wanted.flat()),
              `${name}: the icon is the file's own, pixel for pixel`);
        check(icon.width === 32 && icon.shown >= 64 && icon.rendering === 'pixelated',
              `${name}: the icon is 32 x 32, shown ${icon.shown} px wide, ${icon.rendering}`);
    }

    // "Download all": one zip that holds every file ready, each the native one.
    const archive = path.join(work, 'all.zip');
    fs.writeFileSync(archive, await download(page.locator('#download-all')));
    const good = Object.values(expected).filter(want => want.status === 0);
    check(spawnSync('unzip', ['-tq', archive]).status === 0 && good.every(want =>
        spawnSync('unzip', ['-p', archive, want.vms]).stdout.equals(want.bytes)),
          `"Download all" holds the ${good.length} files, byte for byte`);

    // Another batch while one runs: the first picture of the first batch is held in its
    // read until the second is in, so "Done" may come only once all four are.
    await page.locator('#clear').click();
    await page.evaluate(() => {
        const read = Blob.prototype.arrayBuffer;
        const gate = window.gate = { reached: false, seen: [] };
        const opened = new Promise(resolve => { gate.open = resolve; });
        Blob.prototype.arrayBuffer = function held() {
            if (this.name !== 'held.jpg') return read.call(this);
            gate.reached = true;
            return opened.then(() => read.call(this));
        };
        const state = document.getElementById('state');
        new MutationObserver(() => gate.seen.push([state.textContent,
            document.querySelectorAll('#results > li:is(.failed, :has(a))').length]))
            .observe(state, { childList: true, characterData: true, subtree: true });
    });
    const batch = ['held.jpg', 'second.jpg', 'third.jpg'].map(name => path.join(work, name));
    for (const file of batch) fs.copyFileSync('examples/sample.jpg', file);
    await page.setInputFiles('#pictures', batch);
    await page.waitForFunction(() => window.gate.reached);
    await drag('body', 'drop');
    check(await page.locator('#state').textContent() === 'Wrapping 4 pictures…',
          'a batch dropped while another runs: "Wrapping 4 pictures…"');
    await page.evaluate(() => window.gate.open());
    await settled(4, 'the two batches');
    none(await page.evaluate(() => window.gate.seen.filter(([text, done]) =>
        text.startsWith('Done') && done < 4).map(([, done]) => `said at ${done}`)),
         '"Done" only once all four are');

    none(errors, 'no script errors');
    none(requests.filter(url => !/^(blob|data|file):/.test(url) && new URL(url).origin !== origin),
         'nothing asked of another origin', ` (${requests.length} requests)`);
    // A small phone's width: nothing may stick out sideways.
    await page.setViewportSize({ width: 320, height: 640 });
    const overflow = await page.evaluate(() => document.documentElement.scrollWidth - innerWidth);
    check(overflow <= 0, `fits a 320 px wide screen (${overflow} px over)`);
    console.log(`screenshot: ${screenshot}`);

    // Installable: the manifest as the browser read it, and its icons as large as it says.
    const manifest = await (await context.newCDPSession(page)).send('Page.getAppManifest');
    const fields = JSON.parse(manifest.data || '{}');
    const icons = await Promise.all((fields.icons ?? []).map(async icon => {
        const png = Buffer.from(await (await fetch(new URL(icon.src, manifest.url))).arrayBuffer());
        return `${png.readUInt32BE(16)}x${png.readUInt32BE(20)}` === icon.sizes ? icon.sizes : '';
    }));
    check(manifest.errors.length === 0 && fields.name && fields.short_name === 'quib'
          && fields.start_url === './' && fields.display === 'standalone'
          && fields.theme_color && fields.background_color && icons.join() === '192x192,512x512',
          `the manifest: name, short name, start URL, standalone, colours, icons ${icons}`);

    // The worker has kept the site: a reload with no network wraps as the native program.
    const cache = await page.evaluate(() => Promise.race([
        navigator.serviceWorker.ready.then(() => caches.keys()),
        new Promise(resolve => setTimeout(() => resolve(['none within 10 s']), 10000))]));
    check(cache.length === 1 && /^quib-[0-9a-f]{16}$/.test(cache[0]),
          `the service worker is installed, its cache named by the site's hash (${cache})`);
    const wrapSample = async (visit, what) => {
        await visit.waitForSelector('#pictures:not([disabled])', { timeout: 10000 });
        await visit.setInputFiles('#pictures', path.join(work, 'sample.jpg'));
        check((await download(visit.locator('a[download]'))).equals(expected['sample.jpg'].bytes),
              `${what}: the sample wraps as the native program wraps it`);
    };
    await context.setOffline(true);
    served = 0;
    await page.reload().catch(() => {});
    await wrapSample(page, 'reloaded offline').catch(error => check(false, `offline: ${error}`));
    check(served === 0, `offline, the server was asked nothing (${served})`);
    await context.setOffline(false);

    // Opened from the disk, as the release's zip is.
    const fromDisk = watch(await context.newPage());
    await fromDisk.goto(`file://${site}/index.html`);
    await wrapSample(fromDisk, 'from file://').catch(error => check(false, `file://: ${error}`));
    none(errors, 'still no script errors');
} finally {
    await browser.close();
    server.close();
    fs.rmSync(work, { recursive: true, force: true });
}
console.log(failures.length ? `${failures.length} checks failed` : 'all checks passed');
process.exit(failures.length ? 1 : 0);
