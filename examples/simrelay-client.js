// simrelay-client.js: follows a simrelay bridge from a web page. A classic
// script, not a module, so that it also loads in a page opened from disk.
//
//   const stop = connectSimrelay("http://127.0.0.1:49080", {
//     onSnapshot(snapshot) {},  // every snapshot, parsed: {xp: false} or {xp: true, t, lat, lon, ...}
//     onLost(reason) {},        // nothing came for 3 s, and why (below); again whenever the reason changes
//     onMode(mode) {},          // optional: "stream" (/stream is open) or "polling" (/state each second)
//   });
//   stop();                     // ends it all: closes the stream, drops pending polls, calls nothing more
//
// The reasons onLost gives:
//   "asking"        the browser is asking the user whether this page may reach apps on this device
//   "blocked"       the user has blocked that for this site
//   "https-needed"  it is blocked because the page is not https (Chrome grants it to https pages only)
//   "unreachable"   anything else: the bridge is not running, or not at that address
// Only a page from elsewhere (a web site, another PC) is gated, not one from
// disk or from this PC, so only there the client reads the loopback permission
// ("loopback-network", or "local-network-access" in older Chrome). While
// the reason is "blocked" or "https-needed" it asks the bridge only every
// 15 s; when the user allows the page it starts afresh at once. A page may
// call connectSimrelay from a click, as Chrome advises for a page that
// would make the browser ask.
"use strict";

function connectSimrelay(bridge, handlers) {
  const base = String(bridge).replace(/\/+$/, "");
  const LOST_MS = 3000;  // The stream sends an event at least every ~1.1 s.
  const POLL_MS = 1000;
  const QUIET_PROBE_MS = 15000;
  const RETRY_FIRST_MS = 1000, RETRY_MAX_MS = 15000;
  let source = null, mode = null, stopped = false;
  let pollTimer = null, retryTimer = null, lostTimer = null, probeTimer = null, retryMs = RETRY_FIRST_MS;
  let lost = false, reported = null, quiet = false, permission = null;
  // Polls are numbered; an answer is handed over only when nothing newer
  // (a stream event, a later poll's answer) has been since it was sent.
  let pollsSent = 0, pollsStale = 0, pollsAborted = [];

  function call(name, value) {
    if (!stopped && typeof handlers[name] === "function") handlers[name](value);
  }

  function reason() {
    if (!permission) return "unreachable";
    if (permission.state === "prompt") return "asking";
    if (permission.state !== "denied") return "unreachable";
    return globalThis.isSecureContext === false ? "https-needed" : "blocked";
  }

  // Says why nothing comes, once per silence and reason; goes quiet while
  // only the user can change it.
  function update() {
    const why = reason();
    if (lost && why !== reported) {
      reported = why;
      call("onLost", why);
    }
    const shouldQuiet = lost && (why === "blocked" || why === "https-needed");
    if (shouldQuiet && !quiet) goQuiet();
    else if (!shouldQuiet && quiet) restart();
  }

  // Counts a silence from now: the next one is reported afresh.
  function expectSnapshot() {
    lost = false;
    reported = null;
    clearTimeout(lostTimer);
    lostTimer = setTimeout(() => { lost = true; update(); }, LOST_MS);
  }

  function receive(text) {
    let snapshot;
    try { snapshot = JSON.parse(text); } catch (e) { return; }  // Not the bridge: as if nothing came.
    expectSnapshot();
    if (quiet) resume();  // A probe got through: the browser lets it after all.
    call("onSnapshot", snapshot);
  }

  function poll() {
    const number = ++pollsSent;
    const abort = typeof AbortController === "function" ? new AbortController() : null;
    if (abort) pollsAborted.push(abort);
    fetch(base + "/state", { cache: "no-store", signal: abort ? abort.signal : undefined })
      .then((response) => response.text())
      .then((text) => {
        if (number <= pollsStale) return;
        pollsStale = number;
        receive(text);
      })
      .catch(() => {})  // Unreachable or abandoned: the lost timer tells.
      .finally(() => { pollsAborted = pollsAborted.filter((a) => a !== abort); });
  }

  function dropPolls() {
    pollsStale = pollsSent;
    for (const abort of pollsAborted) abort.abort();
    pollsAborted = [];
  }

  function startPolling() {
    clearInterval(pollTimer);
    if (quiet) return;
    poll();
    pollTimer = setInterval(poll, POLL_MS);
  }

  function setMode(next) {
    if (next === mode || stopped) return;
    mode = next;
    clearInterval(pollTimer);
    if (mode === "polling") startPolling();
    call("onMode", mode);
  }

  function closeStream() {
    clearTimeout(retryTimer);
    if (source) source.close();
    source = null;
  }

  function openStream() {
    if (typeof EventSource !== "function") return setMode("polling");
    const opened = new EventSource(base + "/stream");
    source = opened;
    opened.onopen = () => { retryMs = RETRY_FIRST_MS; setMode("stream"); };
    opened.onmessage = (event) => {
      dropPolls();  // Whatever they bring is older than this.
      receive(event.data);
    };
    opened.onerror = () => {
      setMode("polling");
      // Chromium retries by itself; Firefox gives up after a refused retry.
      if (opened.readyState !== EventSource.CLOSED || stopped || quiet) return;
      clearTimeout(retryTimer);
      retryTimer = setTimeout(openStream, retryMs);
      retryMs = Math.min(2 * retryMs, RETRY_MAX_MS);
    };
  }

  // Only the user can change a block: ask the bridge now and then, in case
  // the browser's state is wrong, and wait for the permission to change.
  function goQuiet() {
    quiet = true;
    clearInterval(pollTimer);
    if (source && source.readyState !== EventSource.OPEN) closeStream();
    clearTimeout(retryTimer);
    probeTimer = setInterval(poll, QUIET_PROBE_MS);
  }

  function resume() {
    quiet = false;
    clearInterval(probeTimer);
    if (!source) openStream();
    if (mode === "polling") startPolling();
  }

  // Drops what the browser may be holding back and asks anew, without
  // waiting for a back-off.
  function restart() {
    if (stopped) return;
    dropPolls();
    closeStream();
    retryMs = RETRY_FIRST_MS;
    resume();
    if (mode !== "polling") poll();
  }

  function onPermissionChange() {
    if (permission.state !== "granted") return update();
    if (!lost && source && source.readyState === EventSource.OPEN) return;  // Nothing was held back.
    expectSnapshot();  // Allowed: a silence counts from here.
    restart();
  }

  // Reads the loopback permission by its current name, else by Chrome
  // 142-144's; browsers that know neither reject the query.
  function followPermission() {
    const query = (name) => Promise.resolve().then(() => navigator.permissions.query({ name: name }));
    query("loopback-network")
      .catch(() => query("local-network-access"))
      .then((status) => {
        if (stopped) return;
        permission = status;
        status.addEventListener("change", onPermissionChange);
        update();
      })
      .catch(() => {});
  }

  // Whether the browser may ask the user before this page reaches the
  // bridge: not for a page from disk or from this PC.
  function mayBeGated(page) {
    if (!page || page.protocol === "file:") return false;
    const host = page.hostname;
    return !(/^127\.\d+\.\d+\.\d+$/.test(host) || host === "[::1]" || host === "localhost" ||
      host.endsWith(".localhost"));
  }

  expectSnapshot();
  openStream();
  if (mayBeGated(globalThis.location) && globalThis.navigator && navigator.permissions) {
    followPermission();
  }
  return function stop() {
    stopped = true;
    clearInterval(pollTimer);
    clearInterval(probeTimer);
    clearTimeout(lostTimer);
    closeStream();
    dropPolls();
    if (permission) permission.removeEventListener("change", onPermissionChange);
  };
}
