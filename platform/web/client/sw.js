// The device app's service worker: keeps the app's files so that it opens with no network. Each
// build of the server names its own copy (the server writes its version and files in below); a new
// version is fetched whole when the browser finds it, and takes over at the next start of the app,
// once no page of the old one is open. Requests to the cloud endpoint pass through untouched.
const VERSION = '@VERSION@';
const FILES = [@FILES@];
const CACHE = 'quillbox-' + VERSION;

self.addEventListener('install', (event) => {
  event.waitUntil(caches.open(CACHE).then((cache) =>
    cache.addAll(FILES.map((file) => new Request(file, { cache: 'reload' })))));
});

self.addEventListener('activate', (event) => {
  event.waitUntil((async () => {
    for (const name of await caches.keys()) {
      if (name.startsWith('quillbox-') && name !== CACHE) await caches.delete(name);
    }
    // The page that installed the first version is kept by it from now on.
    await self.clients.claim();
  })());
});

// The app's files come from the copy first; anything else goes to the network.
self.addEventListener('fetch', (event) => {
  const url = new URL(event.request.url);
  if (event.request.method !== 'GET' || url.origin !== location.origin || !FILES.includes(url.pathname)) return;
  event.respondWith((async () => {
    const kept = await caches.match(url.pathname, { cacheName: CACHE });
    return kept || fetch(event.request);
  })());
});
