// The example map in real browsers: headless Chromium or Firefox ESR opens
// examples/map.html from its own origin, with map tiles from a local
// server, and follows a real bridge that follows the X-Plane stand-in,
// through a restart of the bridge.
//
// usage: node map_e2e.test.mjs --browser chromium|firefox --simrelay PATH --standin PATH
//                              --examples DIR [--address 127.0.0.220]
import { once } from "node:events";
import { readFile } from "node:fs/promises";
import http from "node:http";
import net from "node:net";
import path from "node:path";
import { BROWSERS, launch, sleep, startProgram } from "./browsers.mjs";

// The bridge drops to not live 3 s after the last reply; the stream repeats
// the snapshot every ~1.1 s. Generous, as the machine is shared.
const NOT_LIVE_WITHIN_MS = 15000;
const LIVE_WITHIN_MS = 15000;
// After a restart the page re-opens the stream within its longest pause.
const BACK_ON_STREAM_WITHIN_MS = 30000;
const BRIDGE_AWAY_MS = 5000;
const PROGRAM_READY_WITHIN_MS = 10000;
// A 1x1 PNG: every map tile the local tile server sends.
const TILE = Buffer.from(
  "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8DwHwAFBQIAX8jx0gAAAABJRU5ErkJggg==", "base64");

function options() {
  const args = process.argv.slice(2);
  const value = (name, fallback) => {
    const at = args.indexOf(name);
    if (at >= 0 && at + 1 < args.length) return args[at + 1];
    if (fallback !== undefined) return fallback;
    throw new Error(`missing ${name}\nusage: node map_e2e.test.mjs --browser chromium|firefox --simrelay PATH ` +
      "--standin PATH --examples DIR");
  };
  const browser = value("--browser");
  if (!(browser in BROWSERS)) throw new Error(`--browser: one of ${Object.keys(BROWSERS).join(", ")}`);
  return {
    browser,
    simrelay: value("--simrelay"),
    standin: value("--standin"),
    examples: path.resolve(value("--examples")),
    address: value("--address", "127.0.0.220"),
  };
}

function log(step, detail) {
  console.log(`${step}: ${typeof detail === "string" ? detail : JSON.stringify(detail)}`);
}

function check(condition, message) {
  if (!condition) throw new Error(`check failed: ${message}`);
}

async function freeTcpPort() {
  const server = net.createServer();
  server.listen(0, "127.0.0.1");
  await once(server, "listening");
  const { port } = server.address();
  server.close();
  await once(server, "close");
  return port;
}

// A port found free can be taken before the bridge binds it: try again.
async function startBridge(opts) {
  for (let attempt = 1; ; attempt++) {
    const port = await freeTcpPort();
    try {
      return { child: await startBridgeOn(opts, port), port };
    } catch (error) {
      if (attempt === 5) throw error;
    }
  }
}

async function startBridgeOn(opts, port) {
  const { child } = await startProgram("bridge", opts.simrelay, [opts.address, "--port", String(port)],
    /bridge ready/, PROGRAM_READY_WITHIN_MS);
  return child;
}

// The same port again, as a user restarting the bridge would. The listener
// sets SO_REUSEADDR, so the old connections' TIME_WAIT does not hold the
// port (the e2e suite checks that a restart gets it at once). The port came
// from the ephemeral range, though, and while the bridge was away another
// program's connection may have taken it: a few more tries.
async function restartBridge(opts, port) {
  for (let attempt = 1; ; attempt++) {
    try {
      return await startBridgeOn(opts, port);
    } catch (error) {
      if (attempt === 5) throw error;
      log("restart", `port ${port} not free yet, trying again`);
      await sleep(1000);
    }
  }
}

async function stopProgram(child) {
  if (child.exitCode !== null || child.signalCode !== null) return;
  child.kill("SIGINT");  // As Ctrl+C would.
  await once(child, "exit");
}

// Serves the files of one folder on a loopback port of its own, so the page
// and the bridge are different origins, as for the real map, and map tiles
// under /tiles/, counted in server.tiles.
async function startStaticServer(root) {
  const types = { ".html": "text/html; charset=utf-8", ".js": "text/javascript", ".css": "text/css" };
  const server = http.createServer(async (request, response) => {
    const name = path.normalize(decodeURIComponent(new URL(request.url, "http://x").pathname));
    if (name.startsWith("/tiles/")) {
      server.tiles++;
      response.writeHead(200, { "Content-Type": "image/png" }).end(TILE);
      return;
    }
    const file = path.join(root, name);
    if (!file.startsWith(root + path.sep)) {
      response.writeHead(403).end();
      return;
    }
    try {
      const body = await readFile(file);
      response.writeHead(200, { "Content-Type": types[path.extname(file)] || "application/octet-stream" });
      response.end(body);
    } catch {
      response.writeHead(404).end();
    }
  });
  server.tiles = 0;
  server.listen(0, "127.0.0.1");
  await once(server, "listening");
  return server;
}

async function readValues(page) {
  return page.evaluate(() => {
    const values = {};
    for (const key of ["lat", "lon", "alt", "hdg", "gs", "ias", "vs", "agl"]) {
      values[key] = document.getElementById("v-" + key).textContent;
    }
    values.status = document.getElementById("status").textContent;
    values.source = document.getElementById("source").textContent;
    return values;
  });
}

// The custom header makes this a non-simple request: the browser must ask
// the bridge with OPTIONS first and only then send the GET.
async function fetchWithPreflight(page, bridge) {
  return page.evaluate(async (base) => {
    try {
      const response = await fetch(base + "/state", { headers: { "X-Simrelay-Probe": "1" } });
      return { ok: response.ok, status: response.status, body: await response.text() };
    } catch (error) {
      return { ok: false, error: String(error) };
    }
  }, bridge);
}

const isLive = () => document.getElementById("status").textContent === "X-Plane live";
const onStream = () => document.getElementById("source").textContent.startsWith("Following") &&
  document.getElementById("status").textContent === "X-Plane live";

// Pixels drawn on the track canvas, 0 while it is hidden.
function paintedPixels() {
  const canvas = document.getElementById("track");
  if (canvas.hidden) return 0;
  const pixels = canvas.getContext("2d").getImageData(0, 0, canvas.width, canvas.height).data;
  let painted = 0;
  for (let i = 3; i < pixels.length; i += 4) painted += pixels[i] > 0;
  return painted;
}

function checkValues(first, later, how) {
  const lat = parseFloat(first.lat), lon = parseFloat(first.lon);
  check(Math.abs(lat - 47.46) < 0.1 && Math.abs(lon - 8.55) < 0.1, `${how}: position ${lat}, ${lon} is near 47.46, 8.55`);
  for (const key of ["alt", "hdg", "gs", "ias", "vs", "agl"]) check(first[key] !== "–", `${how}: ${key} shown`);
  check(first.gs.startsWith("107 kt"), `${how}: ground speed ${first.gs} is the stand-in's 55 m/s`);
  if (later) check(later.lat !== first.lat || later.lon !== first.lon, `${how}: the position moves`);
}

async function run(opts, cleanups) {
  const { child: standin } = await startProgram("stand-in", opts.standin, [opts.address], /✓/,
    PROGRAM_READY_WITHIN_MS);
  cleanups.push(() => standin.kill("SIGKILL"));
  log("stand-in", standin.output().trim());

  let { child: bridge, port } = await startBridge(opts);
  cleanups.push(() => bridge.kill("SIGKILL"));
  const bridgeUrl = `http://127.0.0.1:${port}`;
  log("bridge", `${bridgeUrl} asking ${opts.address}`);

  const server = await startStaticServer(opts.examples);
  cleanups.push(() => server.close());
  const origin = `http://127.0.0.1:${server.address().port}`;
  const pageUrl = (tiles) => `${origin}/map.html?bridge=${encodeURIComponent(bridgeUrl)}` +
    `&tiles=${encodeURIComponent(tiles)}`;

  // Every request the browser reports, and the page's console.
  const network = [];
  const byId = new Map();
  const consoleSeen = new Set();
  const browser = await launch(opts.browser, (method, params) => {
    // Each text once: while the bridge is away every poll logs the same error.
    if (method === "log.entryAdded" && !consoleSeen.has(params.text)) {
      consoleSeen.add(params.text);
      log("page console", params.text);
    }
    if (method === "network.beforeRequestSent") {
      const entry = { method: params.request.method, url: params.request.url, at: Date.now() };
      network.push(entry);
      byId.set(params.request.request + params.redirectCount, entry);
    }
    if (method === "network.responseCompleted") {
      const entry = byId.get(params.request.request + params.redirectCount);
      if (entry) entry.status = params.response.status;
    }
  });
  cleanups.push(() => browser.close());
  const statePolls = (since) => network.filter((n) => n.url === bridgeUrl + "/state" && n.method === "GET" && n.at >= since);

  // 1. Live values through EventSource, on map tiles.
  const page = browser.tab;
  const mapUrl = pageUrl(`${origin}/tiles/{z}/{x}/{y}.png`);
  log("page", mapUrl);
  await page.goto(mapUrl);
  await page.waitFor(isLive, LIVE_WITHIN_MS, "X-Plane live");
  const first = await readValues(page);
  await sleep(1500);
  const later = await readValues(page);
  log("values seen", first);
  log("values 1.5 s later", later);
  check(first.source.startsWith("Following") && first.source.includes("/stream"), "page follows /stream");
  check(statePolls(0).length === 0, "no polling while the stream works");
  checkValues(first, later, "stream");
  const shown = await page.evaluate(() => ({
    tiles: document.querySelectorAll(".leaflet-tile-loaded").length,
    aircraft: document.querySelectorAll(".leaflet-marker-icon.aircraft").length,
    track: document.querySelectorAll("path.leaflet-interactive").length,
    attribution: document.querySelector(".leaflet-control-attribution")?.textContent || "",
    canvasHidden: document.getElementById("track").hidden,
  }));
  log("map", { ...shown, tilesServed: server.tiles });
  check(server.tiles > 0 && shown.tiles > 0, "map tiles come from the tile address given");
  check(shown.aircraft === 1 && shown.track === 1, "the aircraft and its track are on the map");
  check(shown.attribution.includes("OpenStreetMap"), "the map credits OpenStreetMap");
  check(shown.canvasHidden, "the map replaces the track canvas");

  // 1b. Without EventSource the page polls /state instead; with no tile
  // server it draws the track on its canvas.
  await browser.beforeEveryPage(() => { delete window.EventSource; });
  const pollingPage = await browser.newTab();
  await pollingPage.goto(pageUrl("http://127.0.0.1:9/{z}/{x}/{y}.png"));
  await pollingPage.waitFor(isLive, LIVE_WITHIN_MS, "X-Plane live by polling");
  await sleep(1500);
  const polled = await readValues(pollingPage);
  log("values seen by polling", polled);
  check(polled.source.startsWith("Polling"), "page without EventSource polls");
  checkValues(polled, null, "polling");
  const painted = await pollingPage.evaluate(paintedPixels);
  log("canvas pixels painted offline", String(painted));
  check(painted > 50, "offline, the track is drawn on the canvas");
  await pollingPage.close();

  // 2. A non-simple cross-origin request: pre-flight, then GET.
  const probe = await fetchWithPreflight(page, bridgeUrl);
  await sleep(200);
  const preflights = network.filter((n) => n.method === "OPTIONS");
  log("fetch with custom header", { status: probe.status, body: probe.body, error: probe.error });
  log("pre-flight requests the browser reports", preflights);
  check(preflights.every((n) => n.status === undefined || n.status === 204), "pre-flight answered 204");
  check(probe.ok && probe.status === 200 && probe.body.startsWith('{"xp":true'), "fetch after pre-flight succeeds");

  // 3. The bridge restarts: the page polls while it is away and is back on
  // the stream by itself afterwards.
  await stopProgram(bridge);
  const stoppedAt = Date.now();
  await page.waitFor(() => document.getElementById("status").className === "down", NOT_LIVE_WITHIN_MS, "bridge down");
  await sleep(Math.max(0, stoppedAt + BRIDGE_AWAY_MS - Date.now()));
  log("while the bridge was away", { status: (await readValues(page)).status, polls: statePolls(stoppedAt).length });
  check(statePolls(stoppedAt).length > 0, "the page polls while the stream is down");
  bridge = await restartBridge(opts, port);
  const restartedAt = Date.now();
  log("bridge restarted", `after ${restartedAt - stoppedAt} ms`);
  await page.waitFor(onStream, BACK_ON_STREAM_WITHIN_MS, "back on the stream");
  const backAt = Date.now();
  log("back on the stream", `${backAt - restartedAt} ms after the restart`);
  await sleep(2500);
  check(statePolls(backAt + 500).length === 0, "no polling once the stream is back");
  const resumed = await readValues(page);
  await sleep(1500);
  checkValues(resumed, await readValues(page), "after the restart");

  // 4. The stand-in stops: the page says so.
  const standinStoppedAt = Date.now();
  standin.kill("SIGINT");
  await page.waitFor(() => document.getElementById("status").textContent.includes("not live"),
    NOT_LIVE_WITHIN_MS, "not live");
  const after = await readValues(page);
  log("status after the stand-in stopped", `"${after.status}" after ${Date.now() - standinStoppedAt} ms`);
}

async function main() {
  const opts = options();
  const cleanups = [];
  let failed = false;
  try {
    await run(opts, cleanups);
    console.log(`PASS (${opts.browser}): map.html follows the bridge live on map tiles, falls back to polling ` +
      "and the canvas, passes a pre-flight, comes back after a bridge restart and shows not live");
  } catch (error) {
    failed = true;
    console.error(`FAIL: ${error.stack || error}`);
  } finally {
    for (const cleanup of cleanups.reverse()) {
      try {
        await cleanup();
      } catch { /* already gone */ }
    }
  }
  process.exit(failed ? 1 : 0);
}

main();
