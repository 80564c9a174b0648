// examples/simrelay-client.js without a browser: the script runs in Node's
// vm with fake timers, EventSource, fetch and navigator.permissions, so its
// decisions (why nothing comes, starting afresh on a grant, staying quiet
// while blocked, the back-off, stop, stale answers) are checked in
// milliseconds. What only a browser shows stays in map_e2e.test.mjs.
//
// usage: node client.test.mjs
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { test } from "node:test";
import vm from "node:vm";

const SCRIPT = readFileSync(new URL("../../examples/simrelay-client.js", import.meta.url), "utf8");
const BRIDGE = "http://127.0.0.1:49080";
const WEB_PAGE = { protocol: "https:", hostname: "maps.example" };
const SNAPSHOT = '{"xp":true,"t":1,"lat":47.5,"lon":8.5}';

// One page with the client in it. `page.run(ms)` moves its clock on.
function page({ location = WEB_PAGE, secure = true, permissions = { "loopback-network": "prompt" } } = {}) {
  let now = 0, nextTimer = 1;
  const timers = new Map();
  const sources = [], fetches = [], seen = [];
  const statuses = {};
  const schedule = (fn, ms, every) => {
    timers.set(nextTimer, { fn, at: now + Math.max(ms, 0), every });
    return nextTimer++;
  };

  class EventSource {
    constructor(url) {
      Object.assign(this, { url, readyState: 0 });
      sources.push(this);
    }
    close() { this.readyState = 2; }
    open() { this.readyState = 1; this.onopen(); }
    send(data) { this.onmessage({ data }); }
    fail(forGood) { this.readyState = forGood ? 2 : 0; this.onerror(); }
  }
  Object.assign(EventSource, { CONNECTING: 0, OPEN: 1, CLOSED: 2 });

  function fetch(url, { signal } = {}) {
    return new Promise((resolve, reject) => {
      const request = { url, signal, answer: (text) => resolve({ text: async () => text }), refuse: reject };
      signal?.addEventListener("abort", () => reject(new Error("aborted")));
      fetches.push(request);
    });
  }

  const navigator = !permissions ? {} : {
    permissions: {
      async query({ name }) {
        if (!(name in permissions)) throw new TypeError(`unknown permission ${name}`);
        const status = new EventTarget();
        status.state = permissions[name];
        return (statuses[name] = status);
      },
    },
  };
  const context = vm.createContext({
    EventSource, fetch, navigator, AbortController, location, isSecureContext: secure,
    setTimeout: (fn, ms) => schedule(fn, ms), setInterval: (fn, ms) => schedule(fn, ms, ms),
    clearTimeout: (id) => timers.delete(id), clearInterval: (id) => timers.delete(id),
  });
  vm.runInContext(SCRIPT, context);
  const stop = context.connectSimrelay(BRIDGE, {
    onSnapshot: (s) => seen.push(["snapshot", s.lat]),
    onLost: (reason) => seen.push(["lost", reason]),
    onMode: (mode) => seen.push(["mode", mode]),
  });

  const settle = () => new Promise((resolve) => setImmediate(resolve));
  return {
    sources, fetches, seen, stop, timers,
    source: () => sources.at(-1),
    lost: () => seen.filter(([what]) => what === "lost").map(([, reason]) => reason),
    open: () => sources.filter((s) => s.readyState !== 2).length + fetches.filter((f) => !f.signal?.aborted).length,
    async run(ms) {
      await settle();
      const end = now + ms;
      for (;;) {
        const [id, timer] = [...timers].sort((a, b) => a[1].at - b[1].at)[0] || [];
        if (!timer || timer.at > end) break;
        now = timer.at;
        if (timer.every) timer.at += timer.every; else timers.delete(id);
        timer.fn();
        await settle();
      }
      now = end;
    },
    async setPermission(state, name = "loopback-network") {
      statuses[name].state = state;
      statuses[name].dispatchEvent(new Event("change"));
      await settle();
    },
  };
}

test("the reason follows the permission on a web page, and is 'unreachable' everywhere else", async () => {
  const web = page();
  await web.run(2900);
  assert.deepEqual(web.lost(), [], "nothing said before 3 s");
  await web.run(200);
  await web.setPermission("denied");
  await web.setPermission("prompt");
  assert.deepEqual(web.lost(), ["asking", "blocked", "asking"]);

  const http = page({ secure: false, permissions: { "local-network-access": "denied" } });
  await http.run(3100);
  assert.deepEqual(http.lost(), ["https-needed"], "the older name is read where the newer is unknown");

  for (const location of [{ protocol: "file:", hostname: "" }, { protocol: "http:", hostname: "127.0.0.5" },
    { protocol: "http:", hostname: "localhost" }, { protocol: "http:", hostname: "[::1]" }]) {
    const local = page({ location, permissions: { "loopback-network": "denied" } });
    local.source().fail(true);
    await local.run(20000);
    assert.deepEqual(local.lost(), ["unreachable"], `${location.protocol}//${location.hostname} is not gated`);
    assert.ok(local.fetches.length >= 15, "a page that cannot be gated never goes quiet");
  }
  for (const permissions of [{}, null]) {
    const unknown = page({ permissions });
    await unknown.run(3100);
    assert.deepEqual(unknown.lost(), ["unreachable"]);
  }
});

test("a grant drops held requests and asks anew at once", async () => {
  const held = page();  // As in Firefox: the stream and the poll wait while the browser asks.
  await held.run(4000);
  const [stream] = held.sources;
  const poll = held.fetches.length;
  await held.setPermission("granted");
  assert.equal(stream.readyState, 2, "the held stream is closed");
  assert.equal(held.sources.length, 2, "a new stream");
  assert.equal(held.fetches.length, poll + 1, "one poll at once");
  held.source().open();
  held.source().send(SNAPSHOT);
  await held.run(5000);
  assert.deepEqual(held.seen.filter(([what]) => what !== "lost"), [["mode", "stream"], ["snapshot", 47.5]]);
});

test("while blocked it asks at most every 15 s, and resumes when the permission changes", async () => {
  const blocked = page({ permissions: { "loopback-network": "denied" } });
  blocked.source().fail(true);  // As in Chromium: refused at once, for good.
  await blocked.run(3000);
  const [streams, polls] = [blocked.sources.length, blocked.fetches.length];
  await blocked.run(60000);
  assert.equal(blocked.sources.length, streams, "no stream re-opened");
  assert.ok(blocked.fetches.length - polls <= 4, `${blocked.fetches.length - polls} probes in 60 s`);
  await blocked.setPermission("granted");
  assert.equal(blocked.sources.length, streams + 1);
  assert.ok(blocked.fetches.length > polls + 4);
});

test("the stream is re-opened after 1, 2, 4 and 8 s, then every 15 s", async () => {
  const local = page({ location: { protocol: "file:", hostname: "" } });
  const opened = [];
  for (let step = 0; step < 7; step++) {
    local.source().fail(true);
    const before = local.sources.length;
    let waited = 0;
    while (local.sources.length === before) { await local.run(500); waited += 500; }
    opened.push(waited);
  }
  assert.deepEqual(opened, [1000, 2000, 4000, 8000, 15000, 15000, 15000]);
});

test("stop closes the stream, drops polls and calls nothing more", async () => {
  const client = page();
  client.source().fail(false);  // Polling, a poll pending.
  await client.run(1500);
  client.stop();
  await client.setPermission("granted");
  await client.run(60000);
  assert.equal(client.open(), 0, "no stream or poll left open");
  assert.equal(client.timers.size, 0, "no timer left");
  assert.deepEqual(client.seen, [["mode", "polling"]]);
});

test("a poll answer older than what was handed over is dropped", async () => {
  const client = page({ location: { protocol: "file:", hostname: "" } });
  client.source().fail(false);
  await client.run(1000);
  const [first, second] = client.fetches;
  second.answer('{"xp":true,"lat":2}');
  first.answer('{"xp":true,"lat":1}');  // Sent earlier, answered later.
  await client.run(1000);
  const third = client.fetches.at(-1);
  client.source().open();
  client.source().send('{"xp":true,"lat":3}');
  third.answer('{"xp":true,"lat":2.5}');  // Sent before the stream's event.
  await client.run(100);
  assert.deepEqual(client.seen.filter(([what]) => what === "snapshot"), [["snapshot", 2], ["snapshot", 3]]);
});
