// The page in a real browser: Debian's Chromium, headless, driven by playwright-core,
// loads the site from a local server, and four pictures are picked at once: the
// sample, a 1-byte picture, an empty one and one whose name is 36 bytes long; then a
// picture whose name has no extension is dropped on the page, outside the picker's
// box. Each download must be the native program's file byte for byte, under the name
// the README's loop gives it, and "Download all" a zip of them all; each picture's
// messages the native program's messages, a failure marked in words with its plain
// reason; each icon must show the file's own palette and bitmap; the text must keep
// its contrast in both schemes; the console must stay quiet; the page must fit a small
// phone's width and ask nothing of any other origin. A batch dropped while another is
// held in its read must be counted with it. Then the page must have installed its
// worker and manifest, reload with the network off and wrap the sample as the native
// program does, and do so too when opened from the disk. A screenshot of the page is
// left for the README.
//
//   node web/test/browser.mjs SITE NATIVE_QUIB SCREENSHOT.png   (from the source root)
//
// Exits 77 (skipped) where Chromium or playwright-core is missing.
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
let playwright;
try {
    playwright = await import('playwright-core');
} catch {
    console.log('skipped: needs playwright-core (npm ci --prefix web)');
    process.exit(77);
}
if (!fs.existsSync(chromium)) {
    console.log(`skipped: needs ${chromium} (apt-get install chromium)`);
    process.exit(77);
}

const failures = [];
const check = (ok, what) => {
    console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}`);
    if (!ok) failures.push(what);
};

// The pictures, and what the native program makes of each, run as the page runs it.
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'quib-browser-'));
const longName = 'a-picture-whose-name-is-36-bytes.jpg';
const pictures = {
    'sample.jpg': fs.readFileSync('examples/sample.jpg'),
    'one.jpg': Buffer.from([0xff]),
    'empty.jpg': Buffer.alloc(0),
    [longName]: Buffer.from('a picture with a long name'),
};
// What the page says beside the program's messages, in plain words.
const reasons = {
    'empty.jpg': 'The file is empty.',
    [longName]: 'Names may be 35 bytes long; this one is 36 — rename it.',
};
// Dropped on the zone afterwards: a name without an extension.
const dropped = { 'no extension': Buffer.from([0, 1, 2]) };
const expected = {};
for (const [name, bytes] of Object.entries({ ...pictures, ...dropped })) {
    fs.writeFileSync(path.join(work, name), bytes);
    // The name as the README's loop gives it, in a shell.
    const vms = spawnSync('sh', ['-c', 'printf %s "${1%.*}.vms"', 'sh', name]).stdout.toString();
    const run = spawnSync(native, [name, vms], { cwd: work });
    expected[name] = { vms, status: run.status, messages: run.stderr.toString(),
                       bytes: run.status === 0 ? fs.readFileSync(path.join(work, vms)) : null };
    fs.rmSync(path.join(work, vms), { force: true });
}
if (Buffer.byteLength(longName) !== 36 || expected[longName].status !== 1) {
    throw new Error('the long name is not refused natively: the test itself is wrong');
}

// The site from a plain static server, as any would serve it.
const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css',
                '.png': 'image/png', '.webmanifest': 'application/manifest+json' };
let served = 0;
const server = http.createServer((request, response) => {
    ++served;
    const file = path.join(site, decodeURIComponent(new URL(request.url, 'http://x').pathname));
    const target = file.endsWith('/') ? path.join(file, 'index.html') : file;
    if (!target.startsWith(site) || !fs.existsSync(target) || fs.statSync(target).isDirectory()) {
        response.writeHead(404).end();
        return;
    }
    response.writeHead(200, { 'Content-Type': types[path.extname(target)] ?? 'text/plain' });
    response.end(fs.readFileSync(target));
});
await new Promise(resolve => server.listen(0, '127.0.0.1', resolve));
const origin = `http://127.0.0.1:${server.address().port}`;

const browser = await playwright.chromium.launch({
    executablePath: chromium,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
try {
    const context = await browser.newContext({ acceptDownloads: true,
                                               viewport: { width: 480, height: 720 } });
    const page = await context.newPage();
    const requests = [];
    context.on('request', request => requests.push(request.url()));
    const errors = [];
    const logged = [];
    const watch = watched => {
        watched.on('pageerror', error => errors.push(error.message));
        watched.on('console', message => {
            logged.push(`${message.type()}: ${message.text()}`);
            if (message.type() === 'error') errors.push(message.text());
        });
    };
    watch(page);

    await page.goto(`${origin}/`);
    await page.waitForSelector('#pictures:not([disabled])');
    // The file input is the first stop of the keyboard.
    await page.keyboard.press('Tab');
    check(await page.evaluate(() => document.activeElement?.id === 'pictures'),
          'the file input takes the keyboard focus first');

    await page.setInputFiles('#pictures', Object.keys(pictures).map(name => path.join(work, name)));
    // Every picture so far has its entry, and the page says it is done.
    const settled = async (count, what) => {
        const done = want => document.querySelectorAll('#results > li').length === want
            && document.getElementById('state').textContent.startsWith('Done');
        const ok = await page.waitForFunction(done, count, { timeout: 10000 }).then(() => true,
                                                                                  () => false);
        check(ok, `${what}: ${count} entries within 10 s`);
        if (!ok) throw new Error(`the page did not finish ${what}`);
    };
    await settled(Object.keys(pictures).length, 'the pictures picked');
    check(logged.length === 0, `the console stays quiet during a wrap${
        logged.length ? `: ${logged.slice(0, 3).join('; ')}` : ''}`);

    // Text against what lies behind it, in both schemes, a failure's included: 4.5:1 at least.
    // Under a page that paints no background lies the browser's canvas, white or #121212.
    const poorContrast = canvas => {
        const rgba = text => (text.match(/[\d.]+/g) ?? []).map(Number).concat(1).slice(0, 4);
        const behind = element => {
            const layers = [];
            for (let at = element; at; at = at.parentElement) {
                layers.unshift(rgba(getComputedStyle(at).backgroundColor));
            }
            return layers.reduce((under, [r, g, b, a]) =>
                [r, g, b].map((v, i) => v * a + under[i] * (1 - a)), canvas);
        };
        const luminance = rgb => rgb.map(v => v / 255)
            .map(v => v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4)
            .reduce((sum, v, i) => sum + v * [0.2126, 0.7152, 0.0722][i], 0);
        const poor = [];
        for (const element of document.querySelectorAll('body *')) {
            const text = [...element.childNodes].some(node => node.nodeType === Node.TEXT_NODE
                                                              && node.textContent.trim());
            if (!text || !element.getClientRects().length) continue;
            const [r, g, b, a] = rgba(getComputedStyle(element).color);
            const back = behind(element);
            const lit = [luminance([r, g, b].map((v, i) => v * a + back[i] * (1 - a))),
                         luminance(back)].sort((x, y) => y - x);
            const ratio = (lit[0] + 0.05) / (lit[1] + 0.05);
            if (ratio < 4.5) poor.push(`${element.tagName} ${ratio.toFixed(2)}:1`);
        }
        return poor;
    };
    for (const colorScheme of ['light', 'dark']) {
        await page.emulateMedia({ colorScheme });
        const canvas = colorScheme === 'light' ? [255, 255, 255] : [18, 18, 18];
        const poor = await page.evaluate(poorContrast, canvas);
        check(poor.length === 0, `${colorScheme}: text keeps 4.5:1${
            poor.length ? ` (not: ${poor.join(', ')})` : ''}`);
    }
    await page.emulateMedia({ colorScheme: 'light' });

    // A picture dropped anywhere on the page is wrapped as a chosen one is; the whole page
    // shows that it would take it while the file is over it.
    await page.evaluate(() => document.activeElement?.blur());  // no focus ring in the picture
    await page.screenshot({ path: screenshot, fullPage: true });
    const transfer = files => page.evaluateHandle(entries => {
        const made = new DataTransfer();
        for (const [name, bytes] of entries) made.items.add(new File([new Uint8Array(bytes)], name));
        return made;
    }, Object.entries(files).map(([name, bytes]) => [name, [...bytes]]));
    const outside = 'h1';
    const pageBackground = () => page.evaluate(() => getComputedStyle(document.body).background);
    const still = await pageBackground();
    await page.dispatchEvent(outside, 'dragenter', { dataTransfer: await transfer(dropped) });
    check(await pageBackground() !== still, 'a file over the page highlights the whole page');
    await page.dispatchEvent(outside, 'drop', { dataTransfer: await transfer(dropped) });
    await settled(Object.keys(expected).length, 'the picture dropped outside the box');

    const items = page.locator('#results > li');
    const fetchDownload = async link => {
        const [download] = await Promise.all([page.waitForEvent('download'), link.click()]);
        return fs.readFileSync(await download.path());
    };
    for (const [index, [name, want]] of Object.entries(expected).entries()) {
        const item = items.nth(index);
        check(await item.locator('pre').textContent() === want.messages,
              `${name}: the program's messages, as on a console`);
        const links = item.locator('a[download]');
        if (want.status !== 0) {
            check(await links.count() === 0, `${name}: no download after a failure`);
            const verdict = await item.locator('.verdict').textContent().catch(() => '');
            check(verdict.includes('Not wrapped.') && verdict.includes(reasons[name] ?? ''),
                  `${name}: marked "Not wrapped." in words, with "${reasons[name] ?? ''}"`);
            continue;
        }
        check(await links.getAttribute('download') === want.vms,
              `${name}: downloads as ${want.vms}`);
        const got = await fetchDownload(links);
        check(got.equals(want.bytes), `${name}: the download is the native file, byte for byte`);
        const size = `${want.bytes.length.toLocaleString('en')} bytes`;
        check((await item.textContent()).includes(size), `${name}: its size is shown`);

        // The icon: 32 x 32 pixels from the file's palette and bitmap, scaled up crisply.
        const icon = await item.locator('canvas').evaluate(canvas => ({
            pixels: [...canvas.getContext('2d').getImageData(0, 0, 32, 32).data],
            width: canvas.width, shown: canvas.getBoundingClientRect().width,
            rendering: getComputedStyle(canvas).imageRendering,
        }));
        const bytes = want.bytes;
        const colour = index => {
            const word = bytes.readUInt16LE(0x60 + 2 * index);
            return [word >> 8, word >> 4, word, word >> 12].map(v => (v & 15) * 17);
        };
        const wanted = [];
        for (let y = 0; y < 32; ++y) {
            for (let x = 0; x < 32; ++x) {
                const byte = bytes[0x80 + y * 16 + (x >> 1)];
                wanted.push(...colour(x % 2 === 0 ? byte >> 4 : byte & 15));
            }
        }
        check(JSON.stringify(icon.pixels) === JSON.stringify(wanted),
              `${name}: the icon is the file's own, pixel for pixel`);
        check(icon.width === 32 && icon.shown >= 64 && icon.rendering === 'pixelated',
              `${name}: the icon is 32 x 32, shown ${icon.shown} px wide, ${icon.rendering}`);
    }

    // "Download all": one zip that holds every file ready, each the native one.
    const archive = path.join(work, 'all.zip');
    fs.writeFileSync(archive, await fetchDownload(page.locator('#download-all')));
    const good = Object.values(expected).filter(want => want.status === 0);
    const unzip = spawnSync('unzip', ['-tq', archive]);
    check(unzip.status === 0 && good.every(want => spawnSync('unzip', ['-p', archive, want.vms])
                                                   .stdout.equals(want.bytes)),
          `"Download all" holds the ${good.length} files, byte for byte`);

    // Another batch while one runs: the first picture of the first batch is held in its
    // read until the second is in, so "Done" may come only once all four are.
    await page.locator('#clear').click();
    await page.evaluate(() => {
        const read = Blob.prototype.arrayBuffer;
        const gate = { reached: false, seen: [] };
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
        window.gate = gate;
    });
    const batch = ['held.jpg', 'second.jpg', 'third.jpg'].map(name => path.join(work, name));
    for (const file of batch) fs.copyFileSync('examples/sample.jpg', file);
    await page.setInputFiles('#pictures', batch);
    await page.waitForFunction(() => window.gate.reached);
    await page.dispatchEvent('body', 'drop', { dataTransfer: await transfer(dropped) });
    check(await page.locator('#state').textContent() === 'Wrapping 4 pictures…',
          'a batch dropped while another runs: "Wrapping 4 pictures…"');
    await page.evaluate(() => window.gate.open());
    await settled(4, 'the two batches');
    const early = await page.evaluate(() => window.gate.seen.filter(([text, done]) =>
        text.startsWith('Done') && done < 4));
    check(early.length === 0, `"Done" only once all four are${
        early.length ? ` (said at ${early.map(([, done]) => done).join(', ')})` : ''}`);

    check(errors.length === 0, `no script errors${errors.length ? `: ${errors.join('; ')}` : ''}`);
    const foreign = requests.filter(url => !url.startsWith('blob:') && !url.startsWith('data:')
                                           && !url.startsWith('file:')
                                           && new URL(url).origin !== origin);
    check(foreign.length === 0, `nothing asked of another origin${
        foreign.length ? `: ${foreign.join(', ')}` : ` (${requests.length} requests)`}`);
    // A small phone's width: nothing may stick out sideways.
    await page.setViewportSize({ width: 320, height: 640 });
    const overflow = await page.evaluate(() => document.documentElement.scrollWidth - innerWidth);
    check(overflow <= 0, `fits a 320 px wide screen (${overflow} px over)`);
    console.log(`screenshot: ${screenshot}`);

    // Installable: the manifest as the browser read it, and its icons as large as it says.
    const cdp = await context.newCDPSession(page);
    const manifest = await cdp.send('Page.getAppManifest');
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
    const sample = expected['sample.jpg'];
    const wrapSample = async (visit, what) => {
        await visit.waitForSelector('#pictures:not([disabled])', { timeout: 10000 });
        await visit.setInputFiles('#pictures', path.join(work, 'sample.jpg'));
        const link = visit.locator('a[download]');
        const [download] = await Promise.all([visit.waitForEvent('download'), link.click()]);
        check(fs.readFileSync(await download.path()).equals(sample.bytes),
              `${what}: the sample wraps as the native program wraps it`);
    };
    await context.setOffline(true);
    const servedOnline = served;
    await page.reload().catch(() => {});
    await wrapSample(page, 'reloaded offline').catch(error => check(false, `offline: ${error}`));
    check(served === servedOnline, `offline, the server was asked nothing (${served - servedOnline})`);
    await context.setOffline(false);

    // Opened from the disk, as the release's zip is.
    const fromDisk = await context.newPage();
    watch(fromDisk);
    await fromDisk.goto(`file://${site}/index.html`);
    await wrapSample(fromDisk, 'from file://').catch(error => check(false, `file://: ${error}`));
    check(errors.length === 0, `still no script errors${errors.length ? `: ${errors.join('; ')}` : ''}`);
} finally {
    await browser.close();
    server.close();
    fs.rmSync(work, { recursive: true, force: true });
}
console.log(failures.length ? `${failures.length} checks failed` : 'all checks passed');
process.exit(failures.length ? 1 : 0);
