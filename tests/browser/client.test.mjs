// examples/simrelay-client.js without a browser: its decisions, checked in
// milliseconds in Node's vm with fake timers, EventSource, fetch and
// navigator.permissions. What only a browser shows is in map_e2e.test.mjs.
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { test } from "node:test";
import vm from "node:vm";

// SIMRELAY_CLIENT: another client file, to see which cases an older one fails.
const SCRIPT = readFileSync(process.env.SIMRELAY_CLIENT || new URL("../../examples/simrelay-client.js", import.meta.url),
  "utf8");
const WEB_SITE = { protocol: "https:", hostname: "maps.example" }, DISK = { protocol: "file:", hostname: "" };
const REASONS = ["asking", "blocked", "https-needed", "held", "unreachable"];
const SNAPSHOT = '{"xp":true,"lat":47.5}';

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
  let serve = () => {};  // How each new poll is met; by default it waits.
  const fetch = (url, { signal }) => new Promise((resolve, reject) => {
    signal.addEventListener("abort", reject);
    const entry = { url, signal, answer: (text) => resolve({ text: async () => text }), refuse: () => reject(new TypeError("refused")) };
    fetches.push(entry);
    serve(entry);
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
    serve: (how) => { serve = how; },
    snapshots: () => seen.filter((item) => typeof item === "number"),
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
    local.serve((poll) => poll.refuse());
    local.source().fail(true);
    await local.run(20000);
    assert.deepEqual(local.reasons(), ["unreachable"], `${location.hostname || "disk"}: not gated`);
    assert.ok(local.fetches.length >= 15, "a page that cannot be gated never goes quiet");
  }
  for (const permissions of [{}, null]) {
    const unknown = await page({ permissions });
    unknown.source().fail(true);
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
  const client = await page({ permissions: { "loopback-network": "granted" } });
  client.source().fail(false);
  await client.run(1500);
  client.stop();
  await client.permit("prompt");
  await client.permit("granted");
  await client.run(60000);
  assert.equal(client.pending(), 0);
  assert.equal(client.timers.size, 0);
  assert.deepEqual(client.seen, ["polling"]);
});

test("a poll's answer older than what was handed over is dropped", async () => {
  const client = await page({ location: DISK });
  client.source().fail(false);
  await client.run(0);
  const abandoned = client.fetches.at(-1);
  await client.run(4000);  // Abandoned after 3.5 s, then answered.
  abandoned.answer('{"xp":true,"lat":1}');
  const second = client.fetches.at(-1);
  second.answer('{"xp":true,"lat":2}');
  await client.run(1000);
  const third = client.fetches.at(-1);
  client.source().open('{"xp":true,"lat":3}');
  third.answer('{"xp":true,"lat":2.5}');  // Sent before the stream's event.
  await client.run(100);
  assert.deepEqual(client.snapshots(), [2, 3]);
});

// Each row: a state a real browser puts the client in, what the browser
// does next, and what the client must then say and do.
const STATES = [
  {
    name: "a stream that never opens and never fails (seven tabs from disk) is held, not unreachable",
    options: { location: DISK },
    async act(p) { await p.run(5000); },
    check(p) {
      assert.deepEqual(p.reasons(), ["held"]);
      assert.equal(p.link.reason, "held");
    },
  },
  {
    name: "held, and then a request is refused: unreachable",
    options: { location: DISK },
    async act(p) { await p.run(5000); p.serve((poll) => poll.refuse()); await p.run(5000); },
    check(p) { assert.deepEqual(p.reasons(), ["held", "unreachable"]); },
  },
  {
    name: "while the browser asks, its held stream is left alone and nothing else is sent",
    async act(p) { await p.run(20000); },
    check(p) {
      assert.deepEqual(p.reasons(), ["asking"]);
      assert.equal(p.sources.length, 1);
      assert.equal(p.source().readyState, 0);
      assert.equal(p.fetches.length, 0);
    },
  },
  {
    name: "asking, but refused: Firefox asks only once the bridge listens; a stream that waits again is asking",
    async act(p) {
      for (let i = 0; i < 2; i++) {  // Refused, retried by Firefox 5 s later, refused for good; re-opened.
        p.source().fail(false);
        await p.run(5000);
        p.source().fail(true);
        await p.run(1000 << i);
      }
      p.said = p.reasons();
      await p.run(3500);  // The bridge listens now: the re-opened stream waits while Firefox asks.
    },
    check(p) {
      assert.deepEqual(p.said, ["unreachable"]);
      assert.deepEqual(p.reasons(), ["unreachable", "asking"]);
      assert.deepEqual([p.link.mode, p.fetches.length], [null, 0], "no polls, and none claimed");
    },
  },
  {
    name: "asking, a stream the browser retries itself and holds while it asks again is asking",
    async act(p) { p.source().fail(false); await p.run(8000); },
    check(p) { assert.deepEqual(p.reasons(), ["unreachable", "asking"]); },
  },
  {
    name: "an open stream gone silent is replaced: polls meanwhile, re-opened on the back-off",
    options: { location: DISK },
    async act(p) {
      p.source().open(SNAPSHOT);
      await p.run(2900);
      assert.equal(p.fetches.length, 0, "not before 3 s");
      await p.run(100);
      assert.equal(p.sources[0].readyState, 2, "closed");
      assert.equal(p.fetches.length, 1, "a poll at once");
      await p.run(1000);
    },
    check(p) { assert.equal(p.sources.length, 2, "re-opened 1 s later"); },
  },
  {
    name: "polls never answered: one at a time, each abandoned after 3.5 s",
    options: { location: DISK },
    async act(p) {
      p.source().fail(false);
      for (let i = 0; i < 120; i++) {
        await p.run(500);
        assert.ok(p.polls() <= 1, `${p.polls()} polls pending`);
      }
    },
    check(p) { assert.ok(p.fetches.length >= 15 && p.fetches.length <= 18, `${p.fetches.length} polls in 60 s`); },
  },
  {
    name: "a page's onSnapshot that throws while polling reaches the console, and polling goes on",
    options: { location: DISK, handlers: { onSnapshot() { throw new Error("map broke"); } } },
    async act(p) {
      p.serve((poll) => poll.answer(SNAPSHOT));
      p.source().fail(false);
      await p.run(3000);
    },
    check(p) {
      assert.ok(p.errors.length >= 2 && p.errors.every((e) => e.message === "map broke"));
      assert.ok(p.fetches.length >= 3);
    },
  },
  {
    name: "an onMode that throws in the stream's error handler does not skip Firefox's re-open",
    options: { location: DISK, handlers: { onMode() { throw new Error("mode broke"); } } },
    async act(p) { p.source().fail(true); await p.run(1000); },
    check(p) {
      assert.equal(p.sources.length, 2);
      assert.equal(p.errors[0].message, "mode broke");
    },
  },
  {
    name: "without reportError, a handler's error is thrown again in a task of its own",
    options: { location: DISK, reportError: false, handlers: { onMode() { throw new Error("mode broke"); } } },
    async act(p) { p.source().fail(false); },
    check(p) {
      const rethrow = [...p.timers.values()].find((timer) => !timer.every);
      assert.throws(rethrow.fn, /mode broke/);
    },
  },
  {
    name: "an http page the user blocked when asked is blocked, not https-needed (Firefox)",
    options: { secure: false },
    async act(p) { await p.run(3000); await p.permit("denied"); },
    check(p) { assert.deepEqual(p.reasons(), ["asking", "blocked"]); },
  },
  {
    name: "an http page refused without asking goes quiet as a blocked one does",
    options: { secure: false, permissions: { "loopback-network": "denied" } },
    async act(p) {
      p.serve((poll) => poll.refuse());
      p.source().fail(true);
      await p.run(3000);
      [p.probes, p.before] = [p.fetches.length, p.sources.length];
      await p.run(60000);
    },
    check(p) {
      assert.deepEqual(p.reasons(), ["https-needed"]);
      assert.equal(p.sources.length, p.before, "no stream re-opened");
      assert.equal(p.fetches.length - p.probes, 4, "one probe every 15 s");
    },
  },
  {
    name: "a blocked site set back to Ask gets the question again at once",
    options: { permissions: { "loopback-network": "denied" } },
    async act(p) {
      p.source().fail(true);
      await p.run(4000);
      p.before = p.sources.length;
      await p.permit("prompt");
    },
    check(p) {
      assert.deepEqual(p.reasons(), ["blocked", "asking"]);
      assert.equal(p.sources.length, p.before + 1, "a new stream, which makes the browser ask");
    },
  },
  {
    name: "after a stream has opened, the next outage starts the back-off at 1 s again",
    options: { location: DISK },
    async act(p) {
      for (let i = 0; i < 3; i++) { p.source().fail(true); await p.run(8000); }
      p.source().open(SNAPSHOT);
      p.source().fail(true);
      p.before = p.sources.length;
      await p.run(1000);
    },
    check(p) { assert.equal(p.sources.length, p.before + 1); },
  },
  {
    name: "answers that are not a snapshot are as if nothing came",
    options: { location: DISK },
    async act(p) {
      const answers = ["null", '{"error":"not found"}', "<html>", "[]", '{"xp":"yes"}'];
      p.serve((poll) => poll.answer(answers.shift() ?? "null"));
      p.source().fail(false);
      await p.run(6000);
    },
    check(p) {
      assert.deepEqual(p.snapshots(), []);
      assert.deepEqual(p.reasons(), ["unreachable"]);
    },
  },
  {
    name: "a silence is judged by the clock: a hidden tab's late timers, then shown",
    options: { location: DISK },
    async act(p) {
      p.source().open(SNAPSHOT);
      p.freeze(60000);
      p.document.dispatchEvent(new Event("visibilitychange"));
    },
    check(p) {
      assert.equal(p.sources[0].readyState, 2, "the silent stream closed at once");
      assert.equal(p.polls(), 1, "and a poll sent");
    },
  },
];

test("every state a browser puts the client in", async (t) => {
  for (const state of STATES) {
    await t.test(state.name, async () => {
      const p = await page(state.options);
      await state.act(p);
      state.check(p);
    });
  }
});

test("bad input gets a clear error; a base keeps its path and drops a query", async () => {
  const { context } = await page({ location: DISK, start: false });
  for (const bridge of [undefined, "", "ftp://127.0.0.1", "127.0.0.1:49080", 49080]) {
    assert.throws(() => context.connectSimrelay(bridge, {}), (e) => e.name === "TypeError" &&
      e.message.includes(typeof bridge === "string" ? JSON.stringify(bridge) : String(bridge)), String(bridge));
  }
  for (const [bridge, stream] of [["http://127.0.0.1:49080/bridge/", "http://127.0.0.1:49080/bridge/stream"],
    ["http://127.0.0.1:49080/?a=1#b", "http://127.0.0.1:49080/stream"]]) {
    const p = await page({ location: DISK, bridge });
    assert.equal(p.source().url, stream);
  }
});

test("started on the user's click: nothing sent, timed or said before start()", async () => {
  const p = await page({ start: false });
  await p.run(10000);
  assert.deepEqual([p.sources.length, p.fetches.length, p.timers.size, p.seen], [0, 0, 0, []]);
  p.link.start();
  p.link.start();
  await p.run(3000);
  assert.equal(p.sources.length, 1);
  assert.deepEqual(p.reasons(), ["asking"]);
});

test("the permission a page reads before connecting, and the link's own state", async () => {
  const cases = [[{ location: DISK }, "not-gated"], [{ location: { protocol: "http:", hostname: "localhost" } }, "not-gated"],
    [{}, "prompt"], [{ permissions: { "local-network-access": "granted" } }, "granted"], [{ permissions: null }, "unknown"]];
  for (const [options, state] of cases) {
    const p = await page({ ...options, start: false });
    assert.equal(await p.context.connectSimrelay.permission(), state, JSON.stringify(options));
    assert.equal(p.fetches.length + p.sources.length, 0);
  }
  const p = await page({ location: DISK });
  assert.deepEqual([p.link.mode, p.link.reason, p.link.snapshot], [null, null, null]);
  p.source().open(SNAPSHOT);
  assert.deepEqual([p.link.mode, p.link.reason, p.link.snapshot.lat], ["stream", null, 47.5]);
  p.source().fail(true);
  await p.run(4000);
  assert.deepEqual([p.link.mode, p.link.reason], ["polling", "unreachable"]);
});

test("tabs of one site share one stream; where locks are refused each has its own", async () => {
  const shared = browser();
  const options = { tabs: shared, permissions: { "loopback-network": "granted" } };
  const [leader, follower] = [await page(options), await page(options)];
  assert.deepEqual([leader.sources.length, follower.sources.length], [1, 0]);
  leader.source().open(SNAPSHOT);
  await follower.run(100);
  assert.deepEqual(follower.seen, ["stream", 47.5]);
  await follower.run(2500);
  assert.deepEqual(follower.reasons(), [], "heard through the leader");
  leader.stop();
  await follower.run(0);
  assert.equal(follower.sources.length, 1, "the next tab leads");

  const refused = browser({ locks: false });
  const tabs = [await page({ ...options, tabs: refused }), await page({ ...options, tabs: refused })];
  assert.deepEqual(tabs.map((tab) => tab.sources.length), [1, 1]);
});

test("a second link to the same bridge in a page from disk warns on the console", async () => {
  const p = await page({ location: DISK });
  const second = p.connect();
  assert.equal(p.warnings.length, 1);
  assert.match(p.warnings[0], /stop\(\)/);
  second();
  p.stop();
  p.connect();
  assert.equal(p.warnings.length, 1, "none once the others are stopped");
});

test("the client's version is the project's", () => {
  const cmake = readFileSync(new URL("../../CMakeLists.txt", import.meta.url), "utf8");
  const version = cmake.match(/project\(simrelay VERSION (\S+)/)[1];
  const context = vm.createContext({});
  vm.runInContext(SCRIPT, context);
  assert.equal(context.connectSimrelay.version, version);
});
