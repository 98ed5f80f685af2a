// Times the page in headless Chromium: a picture of SIZE bytes is picked, repeatedly,
// and each time the page's own marks give the time from the pick (the input's change
// event) to the link of its file; the wall time from the pick's start in the driver
// (which also carries the bytes to the browser) is given beside it. Prints one JSON
// line: the medians, in milliseconds.
//
//   node bench/web.mjs SITE SIZE RUNS
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const { chromium } = createRequire(path.join(root, 'web/package.json'))('playwright-core');
const [site, size, runs] = [path.resolve(process.argv[2]), Number(process.argv[3]),
                            Number(process.argv[4])];

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'quib-web-bench-'));
const picture = path.join(work, 'large.jpg');
fs.writeFileSync(picture, crypto.randomBytes(size));  // nothing in it to compress

const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css',
                '.wasm': 'application/wasm' };
const server = http.createServer((request, response) => {
    const name = new URL(request.url, 'http://x').pathname.replace(/\/$/, '/index.html');
    const file = path.join(site, name);
    if (!file.startsWith(site) || !fs.existsSync(file)) return response.writeHead(404).end();
    response.writeHead(200, { 'Content-Type': types[path.extname(file)] ?? 'text/plain' });
    response.end(fs.readFileSync(file));
});
await new Promise(resolve => server.listen(0, '127.0.0.1', resolve));
const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
const median = values => [...values].sort((a, b) => a - b)[values.length >> 1];
try {
    const page = await browser.newPage();
    await page.goto(`http://127.0.0.1:${server.address().port}/`);
    await page.waitForSelector('#pictures:not([disabled])');
    const inPage = [];
    const wall = [];
    for (let run = 1; run <= runs; ++run) {
        const started = performance.now();
        await page.setInputFiles('#pictures', picture);
        const links = count => document.querySelectorAll('a[download]').length === count;
        await page.waitForFunction(links, run, { polling: 5 });
        wall.push(performance.now() - started);
        inPage.push(await page.evaluate(() => {
            const picked = performance.getEntriesByName('quib-picked').at(-1).startTime;
            return performance.getEntriesByName('quib-done:large.jpg').at(-1).startTime - picked;
        }));
    }
    console.log(JSON.stringify({ inPage: median(inPage), wall: median(wall) }));
} finally {
    await browser.close();
    server.close();
    fs.rmSync(work, { recursive: true, force: true });
}
