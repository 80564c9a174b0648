// simrelay-client.js: follows a simrelay bridge from a web page. A classic
// script, not a module, so that it also loads in a page opened from disk.
//
//   const stop = connectSimrelay("http://127.0.0.1:49080", {
//     onSnapshot(snapshot) {},  // every snapshot, parsed: {xp: false} or {xp: true, t, lat, lon, ...}
//     onLost() {},              // nothing came for 3 s: the bridge is stopped or unreachable
//     onMode(mode) {},          // optional: "stream" (/stream is open) or "polling" (/state each second)
//   });
//   stop();                     // ends it all
"use strict";

function connectSimrelay(bridge, handlers) {
  const base = String(bridge).replace(/\/+$/, "");
  const LOST_MS = 3000;  // The stream sends an event at least every ~1.1 s.
  const POLL_MS = 1000;
  const RETRY_FIRST_MS = 1000, RETRY_MAX_MS = 15000;
  let source = null, mode = null, stopped = false;
  let pollTimer = null, retryTimer = null, lostTimer = null, retryMs = RETRY_FIRST_MS;

  function call(name, value) {
    if (!stopped && typeof handlers[name] === "function") handlers[name](value);
  }

  // Waits for the next snapshot; says "lost" once when none comes.
  function expectSnapshot() {
    clearTimeout(lostTimer);
    lostTimer = setTimeout(() => call("onLost"), LOST_MS);
  }

  function receive(text) {
    let snapshot;
    try { snapshot = JSON.parse(text); } catch (e) { return; }  // Not the bridge: as if nothing came.
    expectSnapshot();
    call("onSnapshot", snapshot);
  }

  function poll() {
    fetch(base + "/state", { cache: "no-store" })
      .then((response) => response.text())
      .then((text) => { if (mode === "polling") receive(text); })
      .catch(() => {});  // Unreachable: the lost timer tells.
  }

  function setMode(next) {
    if (next === mode || stopped) return;
    mode = next;
    clearInterval(pollTimer);
    if (mode === "polling") { poll(); pollTimer = setInterval(poll, POLL_MS); }
    call("onMode", mode);
  }

  function openStream() {
    source = new EventSource(base + "/stream");
    source.onopen = () => { retryMs = RETRY_FIRST_MS; setMode("stream"); };
    source.onmessage = (event) => receive(event.data);
    source.onerror = () => {
      setMode("polling");
      // Chromium retries by itself; Firefox gives up after a refused retry.
      if (source.readyState !== EventSource.CLOSED || stopped) return;
      retryTimer = setTimeout(openStream, retryMs);
      retryMs = Math.min(2 * retryMs, RETRY_MAX_MS);
    };
  }

  expectSnapshot();
  if (typeof EventSource === "function") openStream();
  else setMode("polling");
  return function stop() {
    stopped = true;
    clearInterval(pollTimer);
    clearTimeout(retryTimer);
    clearTimeout(lostTimer);
    if (source) source.close();
  };
}
