// @ts-check
// simrelay-client.js: follows a simrelay bridge from a web page. A classic
// script, so that it also loads in a page opened from disk; a module page
// or a bundler imports it through simrelay-client.mjs beside it.
//
//   const link = connectSimrelay("http://127.0.0.1:49080", {
//     onSnapshot(snapshot) {},  // every snapshot, parsed: {xp: false} or {xp: true, t, lat, lon, ...}
//     onLost(reason) {},        // nothing came for 3 s, and why (below); again whenever the reason changes
//     onMode(mode) {},          // optional: "stream" (/stream is open) or "polling" (/state each second)
//     start: false,             // optional: send nothing until link.start(), e.g. from a click
//   });
//   link.start();               // starts a link made with start: false; does nothing otherwise
//   link.mode; link.reason; link.snapshot;  // the last mode, reason (null while snapshots come) and snapshot
//   link();                     // stops it all: closes the stream, drops pending polls, calls nothing more
//
//   connectSimrelay.permission()  // resolves, asking the bridge nothing, to "prompt" (connecting makes the
//                                 // browser ask the user), "granted", "denied", "not-gated" (a page from disk
//                                 // or from this PC) or "unknown" (this browser tells nothing)
//   connectSimrelay.version       // this client's version, the bridge's release
//
// The reasons onLost gives (a page should show something for a reason it
// does not know, as later versions may add some):
//   "asking"        the browser is asking the user whether this page may reach apps on this device
//   "blocked"       the user has blocked that for this site
//   "https-needed"  it is blocked on a page that is not https without asking (Chrome allows https pages only)
//   "held"          the browser holds the requests back unanswered: most often other tabs or pages
//                   already hold its six connections to the bridge
//   "unreachable"   anything else: the bridge is not running, or not at that address
// Only a page from elsewhere (a web site, another PC) is gated, not one from
// disk or from this PC. Chrome advises such a page not to connect at load
// while the browser would ask: read connectSimrelay.permission(), and where
// it is "prompt", make the link with start: false and start it from a click.
// While the reason is "blocked" or "https-needed" the client asks the bridge
// only every 15 s; when the user allows the page it starts afresh at once.
// Tabs of one web site that follow the same bridge share one stream; on
// pages from disk each tab holds one of the browser's six connections.
"use strict";

/**
 * A snapshot as the bridge sends it: `{xp: false}` while X-Plane is not
 * live; each value only once X-Plane has sent it.
 * @typedef {object} SimrelaySnapshot
 * @property {boolean} xp whether X-Plane is live
 * @property {number} [t] when the last data arrived, ms since 1970 by the bridge PC's clock
 * @property {number} [lat] latitude, degrees
 * @property {number} [lon] longitude, degrees
 * @property {number} [alt] elevation above sea level, metres
 * @property {number} [hdg] true heading, degrees
 * @property {number} [gs] ground speed, metres per second
 * @property {number} [ias] indicated airspeed, knots
 * @property {number} [vs] vertical speed, feet per minute
 * @property {number} [agl] height above ground, metres
 */
/** @typedef {"asking" | "blocked" | "https-needed" | "held" | "unreachable"} SimrelayReason */
/** @typedef {"stream" | "polling"} SimrelayMode */
/** @typedef {"prompt" | "granted" | "denied" | "not-gated" | "unknown"} SimrelayPermission */
/**
 * @typedef {object} SimrelayOptions
 * @property {(snapshot: SimrelaySnapshot) => void} [onSnapshot]
 * @property {(reason: SimrelayReason) => void} [onLost]
 * @property {(mode: SimrelayMode) => void} [onMode]
 * @property {boolean} [start] false: send nothing until start() is called
 */
/**
 * Stops the link when called; reads its state through its properties.
 * @typedef {object} SimrelayLinkState
 * @property {() => void} start starts a link made with start: false
 * @property {SimrelayMode | null} mode the mode last reported, null before the first
 * @property {SimrelayReason | null} reason the reason last reported, null while snapshots come
 * @property {SimrelaySnapshot | null} snapshot the snapshot last handed over
 * @typedef {(() => void) & Readonly<SimrelayLinkState>} SimrelayLink
 */

// One global, connectSimrelay; the rest stays inside. (var: a page may load
// the file twice.)
var connectSimrelay = (function () {
  // Links started in this page and not stopped, by bridge.
  /** @type {Map<string, number>} */
  const liveLinks = new Map();

  /**
   * Follows the bridge at `bridge` (http or https, with a path if it is
   * served under one).
   * @param {string | URL} bridge
   * @param {SimrelayOptions} [options]
   * @returns {SimrelayLink}
   */
  function connectSimrelay(bridge, options) {
    const LOST_MS = 3000; // The stream sends an event at least every ~1.1 s.
    // Windows refuses a connection to a closed loopback port only after ~2 s:
    // a request still unanswered after these is held, not refused.
    const HELD_MS = 3500;
    const POLL_TIMEOUT_MS = 3500;
    // A refused stream is retried after 3 s (Chromium) or 5 s (Firefox).
    const BROWSER_RETRY_MS = 8000;
    const POLL_MS = 1000;
    const QUIET_PROBE_MS = 15000;
    const RETRY_FIRST_MS = 1000, RETRY_MAX_MS = 15000;
    const TICK_MS = 250;
    const base = simrelayBase(bridge);
    const settings = options || {};
    const now = () => performance.now();
    let started = false, stopped = false, leading = false;
    /** @type {EventSource | null} */
    let source = null;
    let sourceMadeAt = 0, sourceHeardAt = 0, sourceFailed = false;
    /** @type {number | null} */
    let retryAt = null;
    let retryMs = RETRY_FIRST_MS;
    /** @type {SimrelayMode | null} */
    let mode = null;
    // One poll at a time. Polls are numbered; an answer is handed over only
    // when nothing newer (a stream event, a later poll's answer) has been.
    /** @type {{abort: AbortController, at: number, dropped: boolean} | null} */
    let poll = null;
    let pollAt = -Infinity, pollsSent = 0, newest = 0;
    // What the requests since the last snapshot tell: refused ("refused"),
    // neither answered nor refused ("held"), or nothing yet.
    /** @type {"refused" | "held" | null} */
    let evidence = null;
    let refusedAt = 0;
    let heardAt = 0, lost = false, quiet = false;
    /** @type {SimrelayReason | null} */
    let reported = null;
    /** @type {SimrelaySnapshot | null} */
    let snapshot = null;
    /** @type {PermissionStatus | null} */
    let permission = null;
    let asked = false; // The page saw the browser ask: a "denied" since is the user's Block.
    /** @type {ReturnType<typeof setInterval> | undefined} */
    let ticker;
    /** @type {BroadcastChannel | null} */
    let channel = null;
    /** @type {AbortController | null} */
    let lockRequest = null;
    /** @type {(() => void) | null} */
    let unlock = null;
    let posted = "";

    /** @param {"onSnapshot" | "onLost" | "onMode"} name @param {any} value */
    function call(name, value) {
      const handler = settings[name];
      if (stopped || typeof handler !== "function") return;
      try {
        /** @type {(value: any) => void} */ (handler)(value);
      } catch (error) {
        simrelayReport(error); // The page's fault: show it, and carry on.
      }
    }

    /** @returns {SimrelayReason | null} */
    function reason() {
      const state = permission && permission.state;
      if (state === "prompt") return refusedLately() ? "unreachable" : "asking";
      if (state === "denied") return asked || globalThis.isSecureContext !== false ? "blocked" : "https-needed";
      if (evidence === "held") return "held";
      return evidence === "refused" ? "unreachable" : null;
    }

    const asking = () => permission !== null && permission.state === "prompt";

    // Firefox asks only once a connection reaches a listening bridge: a
    // refusal, not yet outlived by a stream that waits, means none listens.
    // A refused stream the browser retries itself waits for its retry.
    function refusedLately() {
      if (evidence !== "refused") return false;
      const waits = now() - Math.max(sourceMadeAt, refusedAt);
      return !source || waits < (sourceFailed ? BROWSER_RETRY_MS : HELD_MS);
    }

    // Every decision, from the clock: the browser may run a hidden tab's
    // timers only once a minute, so nothing counts ticks.
    function tick() {
      if (!started || stopped) return;
      const t = now();
      if (leading) {
        watchStream(t);
        watchPoll(t);
        if (!source && retryAt !== null && t >= retryAt && !quiet) openStream();
        share();
      }
      judge(t);
    }

    // Says why nothing comes, once per silence and reason; goes quiet while
    // only the user can change it. Without a reason yet it waits, at most
    // until a held request would have been judged.
    /** @param {number} t */
    function judge(t) {
      if (t - heardAt < LOST_MS) return;
      lost = true;
      const why = reason() || (t - heardAt >= LOST_MS + HELD_MS ? "unreachable" : null);
      if (why && why !== reported) {
        reported = why;
        call("onLost", why);
      }
      const shouldQuiet = why === "blocked" || why === "https-needed";
      if (shouldQuiet && !quiet) goQuiet();
      else if (!shouldQuiet && quiet) restart();
    }

    /** @param {number} t */
    function watchStream(t) {
      if (!source || asking()) return; // Replacing it may cancel the browser's question.
      const silent = source.readyState === EventSource.OPEN && t - sourceHeardAt >= LOST_MS;
      const held = source.readyState === EventSource.CONNECTING && !sourceFailed && t - sourceMadeAt >= HELD_MS;
      if (!silent && !held) return;
      if (held) evidence = evidence || "held";
      closeStream();
      setMode("polling");
      retryLater(t);
    }

    /** @param {number} t */
    function watchPoll(t) {
      if (poll && t - poll.at >= POLL_TIMEOUT_MS) {
        poll.dropped = true;
        poll.abort.abort();
        poll = null;
        evidence = evidence || "held";
      }
      if (poll || asking() || (mode !== "polling" && !quiet)) return;
      if (t - pollAt >= (quiet ? QUIET_PROBE_MS : POLL_MS)) sendPoll(t);
    }

    /** @param {number} t */
    function sendPoll(t) {
      const mine = { abort: new AbortController(), at: t, dropped: false };
      const number = ++pollsSent;
      poll = mine;
      pollAt = t;
      fetch(base + "/state", { cache: "no-store", signal: mine.abort.signal })
        .then((response) => response.text())
        .then(
          (text) => {
            if (mine.dropped || number <= newest) return;
            newest = number;
            if (!receive(text)) refused(); // Something answers, not the bridge.
          },
          () => {
            if (!mine.dropped) refused();
          },
        )
        .finally(() => {
          if (poll === mine) poll = null;
        });
    }

    function refused() {
      evidence = "refused";
      refusedAt = now();
    }

    function dropPolls() {
      newest = pollsSent;
      if (poll) {
        poll.dropped = true;
        poll.abort.abort();
        poll = null;
      }
    }

    /** @param {string} text @returns {boolean} whether it was a snapshot */
    function receive(text) {
      const parsed = simrelaySnapshot(text);
      if (!parsed) return false;
      silenceFromNow();
      evidence = null;
      if (quiet) resume(); // A probe got through: the browser lets it after all.
      snapshot = parsed;
      if (leading) share(text);
      call("onSnapshot", parsed);
      return true;
    }

    // A silence counts from now, and the next is reported afresh.
    function silenceFromNow() {
      heardAt = now();
      lost = false;
      reported = null;
    }

    /** @param {SimrelayMode} next */
    function setMode(next) {
      if (next === mode || stopped) return;
      mode = next;
      if (mode === "polling") pollAt = -Infinity;
      call("onMode", mode);
    }

    /** @param {number} t */
    function retryLater(t) {
      retryAt = t + retryMs;
      retryMs = Math.min(2 * retryMs, RETRY_MAX_MS);
    }

    function closeStream() {
      retryAt = null;
      if (source) source.close();
      source = null;
    }

    function openStream() {
      retryAt = null;
      if (typeof EventSource !== "function") return setMode("polling");
      const opened = new EventSource(base + "/stream");
      source = opened;
      sourceMadeAt = sourceHeardAt = now();
      sourceFailed = false;
      opened.onopen = () => {
        if (source !== opened) return;
        retryMs = RETRY_FIRST_MS;
        sourceHeardAt = now();
        setMode("stream");
      };
      opened.onmessage = (event) => {
        if (source !== opened) return;
        sourceHeardAt = now();
        dropPolls(); // Whatever they bring is older than this.
        receive(event.data);
      };
      opened.onerror = () => {
        if (source !== opened) return;
        sourceFailed = true;
        refused();
        if (!asking()) setMode("polling"); // While asking it sends no polls.
        watchPoll(now());
        // Chromium retries by itself; Firefox gives up after a refused retry.
        if (opened.readyState !== EventSource.CLOSED || quiet) return;
        source = null;
        retryLater(now());
      };
    }

    // Only the user can change a block: ask the bridge now and then, in case
    // the browser's state is wrong, and wait for the permission to change.
    function goQuiet() {
      quiet = true;
      if (source && source.readyState !== EventSource.OPEN) closeStream();
      retryAt = null;
    }

    function resume() {
      quiet = false;
      if (leading && !source) openStream();
    }

    // Drops what the browser may be holding back and asks anew, without
    // waiting for a back-off.
    function restart() {
      quiet = false;
      if (!leading || stopped) return;
      evidence = null; // What the requests told is from before the change.
      dropPolls();
      closeStream();
      retryMs = RETRY_FIRST_MS;
      openStream();
      sendPoll(now());
    }

    function onPermissionChange() {
      if (!permission || stopped) return;
      if (permission.state === "prompt") asked = true;
      const open = source && source.readyState === EventSource.OPEN;
      if (started && permission.state === "granted" && (lost || !open)) {
        silenceFromNow(); // Allowed: a silence counts from here.
        restart();
      } else if (quiet && permission.state !== "denied") {
        restart(); // Set back to ask: asking now makes the browser ask.
      }
      tick();
    }

    function followPermission() {
      simrelayPermissionStatus().then((status) => {
        if (stopped || !status) return;
        permission = status;
        if (status.state === "prompt") asked = true;
        status.addEventListener("change", onPermissionChange);
        tick();
      });
    }

    // What a leading tab's followers need: each snapshot, the mode, and why
    // nothing comes.
    /** @param {string} [text] */
    function share(text) {
      if (!channel) return;
      const status = JSON.stringify({ mode: mode, evidence: evidence });
      if (text === undefined && status === posted) return;
      posted = status;
      channel.postMessage({ mode: mode, evidence: evidence, text: text });
    }

    /** @param {MessageEvent} event */
    function follow(event) {
      const message = event.data;
      if (leading || stopped || !message || typeof message !== "object") return;
      if (message.mode === "stream" || message.mode === "polling") setMode(message.mode);
      if (typeof message.text === "string") receive(message.text);
      else evidence = message.evidence === "held" || message.evidence === "refused" ? message.evidence : null;
      tick();
    }

    function lead() {
      leading = true;
      if ((liveLinks.get(base) || 0) > 1 && !channel) {
        console.warn("simrelay-client: another link to " + base + " is open in this page; each holds one of the " +
          "browser's six connections to the bridge. Call the first one's stop() before connecting again.");
      }
      openStream();
    }

    // Tabs of one site share one stream: the tab that holds the lock leads,
    // the others hear it on a BroadcastChannel. Where the browser refuses
    // locks, as on pages from disk, each tab leads its own.
    function join() {
      const page = globalThis.location;
      const canShare = page && /^https?:$/.test(page.protocol) && typeof BroadcastChannel === "function" &&
        globalThis.navigator && navigator.locks && typeof navigator.locks.request === "function";
      if (!canShare) return lead();
      const name = "simrelay " + base;
      channel = new BroadcastChannel(name);
      channel.onmessage = follow;
      lockRequest = new AbortController();
      const lockSignal = lockRequest.signal;
      Promise.resolve()
        .then(() => navigator.locks.request(name, { signal: lockSignal }, () => {
          if (stopped) return;
          lead();
          share();
          return new Promise((resolve) => { unlock = () => resolve(undefined); });
        }))
        .catch(() => {
          if (stopped || leading) return;
          if (channel) channel.close();
          channel = null;
          lead();
        });
    }

    function start() {
      if (started || stopped) return;
      started = true;
      heardAt = now();
      liveLinks.set(base, (liveLinks.get(base) || 0) + 1);
      join();
      ticker = setInterval(tick, TICK_MS);
      if (globalThis.document) document.addEventListener("visibilitychange", tick);
    }

    function stop() {
      if (stopped) return;
      stopped = true;
      clearInterval(ticker);
      closeStream();
      dropPolls();
      if (permission) permission.removeEventListener("change", onPermissionChange);
      if (globalThis.document) document.removeEventListener("visibilitychange", tick);
      if (channel) channel.close();
      if (lockRequest) lockRequest.abort();
      if (unlock) unlock();
      if (started) liveLinks.set(base, (liveLinks.get(base) || 1) - 1);
    }

    if (simrelayMayBeGated()) followPermission();
    if (settings.start !== false) start();
    const link = Object.defineProperties(stop, {
      start: { value: start },
      mode: { get: () => mode },
      reason: { get: () => (lost ? reported : null) },
      snapshot: { get: () => snapshot },
    });
    return /** @type {SimrelayLink} */ (link);
  }

  connectSimrelay.version = "1.0.0";

  /**
   * Whether connecting would make the browser ask the user; asks the bridge
   * nothing.
   * @returns {Promise<SimrelayPermission>}
   */
  connectSimrelay.permission = function permission() {
    if (!simrelayMayBeGated()) return Promise.resolve("not-gated");
    return simrelayPermissionStatus().then((status) => (status ? status.state : "unknown"));
  };

  /**
   * The base URL for the bridge's routes: its path kept, a query or fragment
   * dropped (the bridge ignores queries).
   * @param {unknown} bridge
   * @returns {string}
   */
  function simrelayBase(bridge) {
    /** @type {URL | null} */
    let url = null;
    try {
      if (typeof bridge === "string" || bridge instanceof URL) url = new URL(String(bridge));
    } catch (error) {
      // Not a URL: refused below.
    }
    if (!url || (url.protocol !== "http:" && url.protocol !== "https:")) {
      const got = typeof bridge === "string" ? JSON.stringify(bridge) : String(bridge);
      throw new TypeError("connectSimrelay: the bridge's address must be an http:// or https:// URL, got " + got);
    }
    return (url.origin + url.pathname).replace(/\/+$/, "");
  }

  /**
   * The snapshot in `text`, or null for anything else.
   * @param {string} text
   * @returns {SimrelaySnapshot | null}
   */
  function simrelaySnapshot(text) {
    try {
      const value = JSON.parse(text);
      return value !== null && typeof value === "object" && typeof value.xp === "boolean" ? value : null;
    } catch (error) {
      return null;
    }
  }

  // Whether the browser may ask the user before this page reaches the
  // bridge: not for a page from disk or from this PC.
  function simrelayMayBeGated() {
    const page = globalThis.location;
    if (!page || page.protocol === "file:") return false;
    const host = page.hostname;
    return !(/^127\.\d+\.\d+\.\d+$/.test(host) || host === "[::1]" || host === "localhost" ||
      host.endsWith(".localhost"));
  }

  /**
   * The loopback permission by its current name, else by Chrome 142-144's;
   * null where the browser knows neither.
   * @returns {Promise<PermissionStatus | null>}
   */
  function simrelayPermissionStatus() {
    /** @param {string} name */
    const query = (name) =>
      Promise.resolve().then(() => navigator.permissions.query({ name: /** @type {PermissionName} */ (name) }));
    return query("loopback-network").catch(() => query("local-network-access")).catch(() => null);
  }

  /**
   * A page's handler threw: shows it on the console as an uncaught error,
   * without breaking the client's own flow.
   * @param {unknown} error
   */
  function simrelayReport(error) {
    if (typeof globalThis.reportError === "function") globalThis.reportError(error);
    else setTimeout(() => { throw error; });
  }

  return connectSimrelay;
})();

// A classic script run as a module (simrelay-client.mjs) defines no global
// by itself.
globalThis.connectSimrelay = connectSimrelay;
