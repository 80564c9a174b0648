// examples/simrelay-client.js without a browser: its decisions, checked in
// milliseconds in Node's vm with fake timers, EventSource, fetch and
// navigator.permissions. What only a browser shows is in map_e2e.test.mjs.
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { test } from "node:test";
import vm from "node:vm";

const SCRIPT = readFileSync(new URL("../../examples/simrelay-client.js", import.meta.url), "utf8");
const WEB_SITE = { protocol: "https:", hostname: "maps.example" }, DISK = { protocol: "file:", hostname: "" };
const REASONS = ["asking", "blocked", "https-needed", "unreachable"];

// One browser: what its tabs share, Web Locks and BroadcastChannel, as the
// browser gives them to pages of one origin. `locks: false` refuses them,
// as a browser does to a page from disk.
function browser({ locks = true } = {}) {
  const held = new Map(), channels = new Set();
  const locksApi = {
    request(name, { signal }, callback) {
      if (!locks) return Promise.reject(new DOMException("opaque origin", "SecurityError"));
      return new Promise((resolve, reject) => {
        const queue = held.get(name) || held.set(name, []).get(name);
        const entry = { grant: () => Promise.resolve(callback()).then(resolve, reject).finally(release) };
        const release = () => { queue.shift(); if (queue.length) queue[0].grant(); };
        signal?.addEventListener("abort", () => {
          const at = queue.indexOf(entry);
          if (at > 0) { queue.splice(at, 1); reject(new DOMException("aborted", "AbortError")); }
        });
        if (queue.push(entry) === 1) entry.grant();
      });
    },
  };
  class BroadcastChannel {
    constructor(name) { this.name = name; channels.add(this); }
    postMessage(data) {
      const copy = structuredClone(data);
      for (const other of channels) {
        if (other !== this && other.name === this.name) setImmediate(() => other.onmessage?.({ data: copy }));
      }
    }
    close() { channels.delete(this); }
  }
  return { locks: locksApi, BroadcastChannel };
}

// A page with the client in it; `seen` gets each snapshot's lat, each
// reason and each mode, `errors` what reached reportError. `run(ms)` moves
// the clock on, `freeze(ms)` moves it without running timers, as a browser
// does in a hidden tab.
async function page({ location = WEB_SITE, secure = true, permissions = { "loopback-network": "prompt" },
  bridge = "http://127.0.0.1:49080", handlers = {}, start, tabs = browser(), reportError = true } = {}) {
  let now = 0, lastId = 0;
  const timers = new Map(), sources = [], fetches = [], seen = [], statuses = [], errors = [], warnings = [];
  const later = (repeat) => (fn, ms) => timers.set(++lastId, { fn, at: now + ms, every: repeat && ms }) && lastId;
  class EventSource {
    static CONNECTING = 0; static OPEN = 1; static CLOSED = 2;
    constructor(url) { this.url = url; this.readyState = 0; sources.push(this); }
    close() { this.readyState = 2; }
    open(data) { this.readyState = 1; this.onopen(); if (data) this.onmessage({ data }); }
    message(data) { this.onmessage({ data }); }
    fail(forGood) { this.readyState = forGood ? 2 : 0; this.onerror(); }
  }
  const fetch = (url, { signal }) => new Promise((resolve, reject) => {
    signal.addEventListener("abort", reject);
    fetches.push({ url, signal, answer: (text) => resolve({ text: async () => text }), refuse: () => reject(new TypeError("refused")) });
  });
  async function query({ name }) {
    if (!(name in permissions)) throw new TypeError(`no permission ${name}`);
    return statuses[statuses.push(Object.assign(new EventTarget(), { state: permissions[name] })) - 1];
  }
  const forget = (id) => timers.delete(id);
  const document = Object.assign(new EventTarget(), { visibilityState: "visible" });
  const context = vm.createContext({
    EventSource, fetch, AbortController, DOMException, URL, location, isSecureContext: secure, document,
    BroadcastChannel: tabs.BroadcastChannel, performance: { now: () => now },
    navigator: { ...(permissions && { permissions: { query } }), locks: tabs.locks },
    console: { warn: (text) => warnings.push(text) },
    ...(reportError && { reportError: (error) => errors.push(error) }),
    setTimeout: later(false), setInterval: later(true), clearTimeout: forget, clearInterval: forget,
  });
  vm.runInContext(SCRIPT, context);
  const connect = (more = {}) => context.connectSimrelay(bridge, {
    onSnapshot: (s) => seen.push(s.lat), onLost: (why) => seen.push(why), onMode: (mode) => seen.push(mode),
    start, ...handlers, ...more,
  });
  const link = connect();
  const settle = () => new Promise(setImmediate);
  await settle();
  return {
    sources, fetches, seen, errors, warnings, timers, link, connect, context, document,
    stop: link,
    source: () => sources.at(-1),
    reasons: () => seen.filter((item) => REASONS.includes(item)),
    pending: () => sources.filter((s) => s.readyState !== 2).length + fetches.filter((f) => !f.signal.aborted).length,
    polls: () => fetches.filter((f) => !f.signal.aborted).length,
    async run(ms) {
      const end = now + ms;
      for (let next; await settle(), (next = [...timers].sort((a, b) => a[1].at - b[1].at)[0]) && next[1].at <= end;) {
        const [id, timer] = next;
        now = timer.at;
        if (timer.every) timer.at += timer.every; else timers.delete(id);
        timer.fn();
      }
      now = end;
      await settle();
    },
    freeze(ms) {
      now += ms;
      for (const timer of timers.values()) timer.at = Math.max(timer.at, now);
    },
    async permit(state) {
      statuses[0].state = state;
      statuses[0].dispatchEvent(new Event("change"));
      await settle();
    },
  };
}

test("the reason follows the permission on a web site's page, and is 'unreachable' elsewhere", async () => {
  const site = await page();
  await site.run(2900);
  assert.deepEqual(site.reasons(), [], "nothing said before 3 s");
  await site.run(100);
  await site.permit("denied");
  await site.permit("prompt");
  assert.deepEqual(site.reasons(), ["asking", "blocked", "asking"]);

  const http = await page({ secure: false, permissions: { "local-network-access": "denied" } });
  await http.run(3000);
  assert.deepEqual(http.reasons(), ["https-needed"], "the older name where the newer is unknown");

  for (const location of [DISK, { protocol: "http:", hostname: "127.0.0.5" }, { protocol: "http:", hostname: "[::1]" },
    { protocol: "http:", hostname: "localhost" }]) {
    const local = await page({ location, permissions: { "loopback-network": "denied" } });
    local.source().fail(true);
    await local.run(20000);
    assert.deepEqual(local.reasons(), ["unreachable"], `${location.hostname || "disk"}: not gated`);
    assert.ok(local.fetches.length >= 15, "a page that cannot be gated never goes quiet");
  }
  for (const permissions of [{}, null]) {
    const unknown = await page({ permissions });
    await unknown.run(3000);
    assert.deepEqual(unknown.reasons(), ["unreachable"]);
  }
});

test("a grant drops the held stream and poll and asks anew at once", async () => {
  const held = await page();  // As in Firefox while it asks: the stream and a poll held.
  held.source().fail(false);
  await held.run(4000);
  const [stream, polls] = [held.source(), held.fetches.length];
  await held.permit("granted");
  assert.equal(stream.readyState, 2);
  assert.ok(held.fetches.slice(0, polls).every((f) => f.signal.aborted));
  assert.equal(held.sources.length, 2, "a new stream");
  assert.equal(held.fetches.length, polls + 1, "a new poll");
  held.source().open('{"xp":true,"lat":47.5}');
  assert.deepEqual(held.seen.slice(-2), ["stream", 47.5]);
});

test("blocked, it asks only every 15 s and resumes when the permission changes", async () => {
  const blocked = await page({ permissions: { "loopback-network": "denied" } });
  blocked.source().fail(true);  // As in Chromium: refused at once, for good.
  await blocked.run(3000);
  const [streams, polls] = [blocked.sources.length, blocked.fetches.length];
  await blocked.run(60000);
  assert.equal(blocked.sources.length, streams, "no stream re-opened");
  assert.equal(blocked.fetches.length, polls + 4, "one probe every 15 s");
  await blocked.permit("granted");
  assert.equal(blocked.sources.length, streams + 1);
});

test("the stream is re-opened after 1, 2, 4 and 8 s, then every 15 s", async () => {
  const client = await page({ location: DISK });
  const pauses = [];
  while (pauses.length < 7) {
    const before = client.sources.length;
    client.source().fail(true);
    let paused = 0;
    for (; client.sources.length === before; paused += 500) await client.run(500);
    pauses.push(paused);
  }
  assert.deepEqual(pauses, [1000, 2000, 4000, 8000, 15000, 15000, 15000]);
});

test("stop closes the stream, drops polls and calls nothing more", async () => {
  const client = await page();
  client.source().fail(false);
  await client.run(1500);
  client.stop();
  await client.permit("granted");
  await client.run(60000);
  assert.equal(client.pending(), 0);
  assert.equal(client.timers.size, 0);
  assert.deepEqual(client.seen, ["polling"]);
});

test("a poll's answer older than what was handed over is dropped", async () => {
  const client = await page({ location: DISK });
  client.source().fail(false);
  await client.run(1000);
  const [first, second] = client.fetches;
  second.answer('{"xp":true,"lat":2}');
  first.answer('{"xp":true,"lat":1}');  // Sent earlier, answered later.
  await client.run(1000);
  const third = client.fetches.at(-1);
  client.source().open('{"xp":true,"lat":3}');
  third.answer('{"xp":true,"lat":2.5}');  // Sent before the stream's event.
  await client.run(100);
  assert.deepEqual(client.seen.filter((item) => typeof item === "number"), [2, 3]);
});
