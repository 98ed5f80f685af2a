// The page's service worker: the whole site is kept at install, and every request for
// one of its files is answered from that copy first, so that after one visit the page
// reloads and wraps with no network. Both lines below are filled in when the site is
// assembled (web/build.mjs): the cache is named by a hash of the site's files, so a
// changed site installs as a new worker and the old copy is dropped.
const cacheName = 'quib-unassembled';
const siteFiles = ['./'];

self.addEventListener('install', event => {
    event.waitUntil(caches.open(cacheName)
        .then(cache => cache.addAll(siteFiles))
        .then(() => self.skipWaiting()));
});

self.addEventListener('activate', event => {
    const stale = names => names.filter(name => name.startsWith('quib-') && name !== cacheName);
    event.waitUntil(caches.keys()
        .then(names => Promise.all(stale(names).map(name => caches.delete(name))))
        .then(() => self.clients.claim()));
});

self.addEventListener('fetch', event => {
    if (event.request.method !== 'GET') return;
    event.respondWith(caches.open(cacheName)
        .then(cache => cache.match(event.request, { ignoreSearch: true }))
        .then(kept => kept ?? fetch(event.request)));
});
