// The pages of examples/ in real browsers: Chromium or Firefox ESR,
// windowed on an X server of its own so that it asks its questions as for
// users, follows a real bridge that follows the X-Plane stand-in, through a
// restart of the bridge, with
// - seven tabs of map.html from disk, one more than the browser's
//   connections to one address;
// - examples/map.html from its own origin, with map tiles from a local
//   server, and from file:// as a simmer opens it, asking no tile server;
// - examples/simrelay-client.js alone, on a page that records what it hands
//   over, in a tab of map.html's origin that shares map.html's stream;
// - the page the README shows map developers, taken from README.md;
// - map.html and the README's page from web sites, which connect on the
//   user's click and which the browser holds back until the user allows
//   them, and in Chromium from an http web site.
//
// usage: node map_e2e.test.mjs --browser chromium|firefox --simrelay PATH --standin PATH
//                              --examples DIR --readme PATH [--address 127.0.0.220]
import { once } from "node:events";
import { readFile } from "node:fs/promises";
import http from "node:http";
import net from "node:net";
import path from "node:path";
import { pathToFileURL } from "node:url";
import { BROWSERS, OTHER_TEST_SITE, PLAIN_TEST_SITE, TEST_SITE, launch, sleep, startProgram } from "./browsers.mjs";

// The bridge drops to not live 3 s after the last reply; the stream repeats
// the snapshot every ~1.1 s. Generous, as the machine is shared.
const NOT_LIVE_WITHIN_MS = 15000;
const LIVE_WITHIN_MS = 15000;
// After a restart the page re-opens the stream within its longest pause.
const BACK_ON_STREAM_WITHIN_MS = 30000;
const BRIDGE_AWAY_MS = 5000;
const DEFAULT_BRIDGE = "http://127.0.0.1:49080";
const PROGRAM_READY_WITHIN_MS = 10000;
// A page from a web site says why nothing comes within 5 s (3 s after its
// start); clicked, it asks the bridge within 1 s; allowed, it opens the
// stream within 1 s and is live within 2 s, not after its back-off.
const SAYS_WHY_WITHIN_MS = 5000, STARTS_AFTER_CLICK_WITHIN_MS = 1000;
// A closed port; Firefox retries a refused stream after 5 s, so watch longer.
const NO_BRIDGE = "http://127.0.0.1:9", NO_BRIDGE_WATCHED_MS = 9000;
const STREAM_AFTER_GRANT_WITHIN_MS = 1000, LIVE_AFTER_GRANT_WITHIN_MS = 2000;
// How long the seventh tab from disk is watched (its requests are judged
// held after 3.5 s; a bridge judged unreachable by mistake is said by 6.5
// s), and how soon it resumes once another tab is closed.
const SEVENTH_WATCHED_MS = 12000, SEVENTH_RESUMES_WITHIN_MS = 5000;
// A tab that heard another's stream leads once that tab is closed, before
// it would say it is lost (3 s).
const TAKEOVER_WITHIN_MS = 2500;
// What map.html and the README's page say when the browser asks the user,
// when it wants https, when it holds their requests back, and when the
// bridge does not answer.
const ASKING = /ask(s|ing) whether this page may connect/;
const HTTPS_NEEDED = /does not let this http page connect/;
const HELD = /holds back this page's requests|holds the requests back/;
const UNREACHABLE = /bridge not reachable|no answer from the bridge/;
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
      "--standin PATH --examples DIR --readme PATH");
  };
  const browser = value("--browser");
  if (!(browser in BROWSERS)) throw new Error(`--browser: one of ${Object.keys(BROWSERS).join(", ")}`);
  return {
    browser,
    simrelay: value("--simrelay"),
    standin: value("--standin"),
    examples: path.resolve(value("--examples")),
    readme: value("--readme"),
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
// and the bridge are different origins, as for the real map; map tiles
// under /tiles/, counted in server.tiles; and the pages in `pages` (name to
// HTML) as if they were files of the folder.
async function startStaticServer(root, pages) {
  const types = { ".html": "text/html; charset=utf-8", ".js": "text/javascript", ".css": "text/css" };
  const server = http.createServer(async (request, response) => {
    const name = path.normalize(decodeURIComponent(new URL(request.url, "http://x").pathname));
    if (name.startsWith("/tiles/")) {
      server.tiles++;
      response.writeHead(200, { "Content-Type": "image/png" }).end(TILE);
      return;
    }
    if (pages[name]) {
      response.writeHead(200, { "Content-Type": types[".html"] }).end(pages[name]);
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

// The page README.md shows map developers: the only ```html block in its
// section "## For map developers", with the test's bridge for the default.
async function readmeExample(file, bridgeUrl) {
  const text = await readFile(file, "utf8");
  const section = text.split(/^## /m).find((part) => part.startsWith("For map developers\n"));
  if (!section) throw new Error(`${file}: no section "## For map developers"`);
  const blocks = [...section.matchAll(/^```html\n([\s\S]*?)^```$/gm)];
  if (blocks.length !== 1) {
    throw new Error(`${file}: "## For map developers" holds ${blocks.length} \`\`\`html blocks, not one`);
  }
  const page = blocks[0][1];
  if (!page.includes(DEFAULT_BRIDGE)) throw new Error(`${file}: the \`\`\`html block does not name ${DEFAULT_BRIDGE}`);
  return page.replaceAll(DEFAULT_BRIDGE, bridgeUrl);
}

// The client alone, keeping what it hands over in window.seen.
const CLIENT_PAGE = `<!doctype html>
<meta charset="utf-8">
<title>simrelay-client.js</title>
<script src="simrelay-client.js"></script>
<script>
  window.seen = { snapshots: [], lost: [], modes: [] };
  connectSimrelay(new URLSearchParams(location.search).get("bridge"), {
    onSnapshot: (s) => seen.snapshots.push({ at: Date.now(), xp: s.xp, lat: s.lat, lon: s.lon }),
    onLost: () => seen.lost.push(Date.now()),
    onMode: (mode) => seen.modes.push(mode),
  });
</script>`;

// Runs in every page before its own scripts: keeps the URL of each fetch
// and EventSource made, as the browser may hold a request back before BiDi
// hears of it, and each EventSource, to see what the browser does with it
// while the bridge is away.
function watchRequests() {
  const asked = [];
  window.requestsMade = asked;
  const originalFetch = window.fetch;
  window.fetch = function (resource, ...rest) {
    asked.push(String(resource instanceof Request ? resource.url : resource));
    return originalFetch.call(window, resource, ...rest);
  };
  const Original = window.EventSource;
  if (typeof Original !== "function") return;
  const made = [];
  window.eventSourcesMade = made;
  window.EventSource = class extends Original {
    constructor(url, ...rest) {
      super(url, ...rest);
      asked.push(String(url));
      made.push(this);
    }
  };
}

// The requests for `bridge` the page made, as it saw them.
const bridgeRequestsMade = (page, bridge) =>
  page.evaluate((base) => window.requestsMade.filter((url) => url.startsWith(base + "/")).length, bridge);

const statusText = () => document.getElementById("status").textContent;

const eventSourceStates = () => (window.eventSourcesMade || []).map((source) => source.readyState);
const streamOpen = () => window.eventSourcesMade.at(-1)?.readyState === EventSource.OPEN;

// The text a page shows, and whether it is the stand-in's position.
const bodyText = () => document.body.innerText;
function showsPosition(text) {
  const numbers = (text.match(/-?\d+\.\d+/g) || []).map(Number);
  return numbers.some((n) => Math.abs(n - 47.46) < 0.1) && numbers.some((n) => Math.abs(n - 8.55) < 0.1);
}

// What the client page has seen since `since` (ms since 1970, the same clock
// as the browser's on this machine).
async function clientSeen(page, since) {
  return page.evaluate((from) => ({
    snapshots: seen.snapshots.filter((s) => s.at >= from),
    lost: seen.lost.filter((at) => at >= from),
    mode: seen.modes[seen.modes.length - 1],
  }), since);
}

// Resolves, in the page, with the time (ms since 1970) it first shows the
// stand-in's position. Watched for changes: a hidden tab's timers may run
// once a second only.
const positionShownAt = `new Promise((resolve) => {
  const shows = () => (${showsPosition})(document.body.innerText);
  const observer = new MutationObserver(() => shows() && (observer.disconnect(), resolve(Date.now())));
  if (shows()) resolve(Date.now());
  else observer.observe(document.body, { subtree: true, childList: true, characterData: true });
})`;

// map.html and the README's page from web sites, two origins on the public
// port, so that each leads its own stream. Where the browser would ask,
// they show a button and ask the bridge nothing; a click starts them; while
// the browser's question shows they say it asks, and show no position;
// allowed, they open the stream anew at once and are live within 2 s.
// Opened once allowed, map.html works as from anywhere. In Chromium an http
// site's page is told to use https, the only kind Chromium lets ask.
async function fromWebSite(opts, browser, site, bridgeUrl, requests) {
  const port = site.address().port;
  const siteOrigin = `http://${TEST_SITE}:${port}`;
  const mapUrl = `${siteOrigin}/map.html?bridge=${encodeURIComponent(bridgeUrl)}&tiles=${encodeURIComponent(
    `${siteOrigin}/tiles/{z}/{x}/{y}.png`)}`;
  const pages = [
    { how: "map.html", url: mapUrl, origin: siteOrigin, button: "#connect button" },
    { how: "the README's page", url: `http://${OTHER_TEST_SITE}:${port}/readme.html`,
      origin: `http://${OTHER_TEST_SITE}:${port}`, button: "#connect" },
  ];
  for (const page of pages) page.tab = await browser.newTab();
  await Promise.all(pages.map(({ tab, url }) => tab.goto(url)));
  for (const { tab, how, button } of pages) {
    await tab.waitFor(`document.querySelector(${JSON.stringify(button)})?.closest("[hidden]") === null`,
      SAYS_WHY_WITHIN_MS, `${how}'s button`);
  }
  await sleep(1000);  // Long enough for a page that connects anyway.
  for (const { tab, how } of pages) {
    const made = await bridgeRequestsMade(tab, bridgeUrl), seen = requests(null, 0, tab).length;
    log(`${how} from a web site, before its button is clicked`, { requestsMade: made, requestsSeen: seen });
    check(made === 0 && seen === 0, `${how} asks the bridge nothing before its button is clicked`);
  }

  for (const { tab, how, button } of pages) {
    const clickedAt = Date.now();
    await tab.click(button);
    await waitUntil(async () => await bridgeRequestsMade(tab, bridgeUrl) > 0, STARTS_AFTER_CLICK_WITHIN_MS,
      `${how} asking the bridge after the click`);
    log(`${how}: ms from the click to its first request`, String(Date.now() - clickedAt));
  }
  for (const { tab, how } of pages) {
    // Windowed, the browser shows its question and keeps it: the page says
    // so (headless Chromium dismisses it, and the page says "blocked").
    await tab.waitFor(`${ASKING}.test(document.body.innerText)`, SAYS_WHY_WITHIN_MS, `${how} saying the browser asks`);
    const said = await tab.evaluate(bodyText);
    log(`${how} from a web site, asked about, in ${opts.browser}`, said.split("\n").find((line) => ASKING.test(line)));
    check(!showsPosition(said), `${how} shows no position before it is allowed`);
  }

  await noBridgeFromWebSite(opts, mapUrl.replace(encodeURIComponent(bridgeUrl), encodeURIComponent(NO_BRIDGE)),
    browser);

  for (const page of pages) page.shownAt = page.tab.evaluate(positionShownAt);
  for (const page of pages) {
    page.grantedAt = Date.now();
    await browser.setPermission("loopback-network", "granted", page.origin);
  }
  for (const { tab, how, shownAt, grantedAt } of pages) {
    const liveMs = await Promise.race([shownAt, sleep(LIVE_AFTER_GRANT_WITHIN_MS + 3000)]) - grantedAt;
    const after = (route) => Math.min(...requests(route, grantedAt, tab).map((n) => n.at)) - grantedAt;
    const first = { stream: after("/stream"), state: after("/state"), live: liveMs };
    log(`${how}: ms from the grant to its first request and to live`, first);
    check(liveMs <= LIVE_AFTER_GRANT_WITHIN_MS, `${how} is live within 2 s of the grant`);
    check(first.stream <= STREAM_AFTER_GRANT_WITHIN_MS, `${how} opens /stream anew within 1 s of the grant`);
    await waitUntil(() => requests("/stream", grantedAt, tab).some((n) => n.status === 200),
      LIVE_AFTER_GRANT_WITHIN_MS - (Date.now() - grantedAt), `${how}'s /stream answered after the grant`);
  }
  await Promise.all(pages.map(({ tab }) => tab.close()));  // Each open stream holds one of six connections.

  const allowedTab = await browser.newTab();
  await allowedTab.goto(mapUrl);
  await allowedTab.waitFor(onStream, LIVE_WITHIN_MS, "map.html from the allowed site, live on the stream");
  await allowedTab.close();

  if (opts.browser !== "chromium") return;
  const httpTab = await browser.newTab();
  await httpTab.goto(mapUrl.replaceAll(TEST_SITE, PLAIN_TEST_SITE));
  await httpTab.waitFor(`${HTTPS_NEEDED}.test((${statusText})())`, SAYS_WHY_WITHIN_MS, "the https sentence");
  log("map.html from an http web site", await httpTab.evaluate(statusText));
  await httpTab.close();
}

// map.html from a web site, clicked, with no bridge at its address: both
// browsers refuse the requests (Firefox asks only once a connection reaches
// a listening port), so the page must say the bridge is unreachable, and
// never that the browser asks, also while the browser waits to retry the
// refused stream.
async function noBridgeFromWebSite(opts, url, browser) {
  const tab = await browser.newTab();
  await tab.goto(url);
  await tab.waitFor(`document.getElementById("connect").hidden === false`, SAYS_WHY_WITHIN_MS, "the button");
  await tab.click("#connect button");
  await tab.waitFor(`${UNREACHABLE}.test((${statusText})())`, SAYS_WHY_WITHIN_MS, "unreachable, with no bridge");
  const shown = await watchStatus(tab, NO_BRIDGE_WATCHED_MS, ASKING, "with no bridge at the address, the page");
  log(`map.html from a web site with no bridge, in ${opts.browser}`, shown);
  await tab.close();
}

// Each status `tab` shows for `ms` from now, with when it first showed it;
// fails as soon as one matches `never`.
async function watchStatus(tab, ms, never, who) {
  const startedAt = Date.now(), shown = [];
  for (; Date.now() - startedAt < ms; await sleep(200)) {
    const status = await tab.evaluate(statusText);
    if (shown.at(-1)?.status !== status) shown.push({ ms: Date.now() - startedAt, status });
    check(!never.test(status), `${who} never says ${never} (${JSON.stringify(shown)})`);
  }
  return shown;
}

// Seven tabs of map.html from disk, where each tab holds a stream of its
// own: browsers open at most six connections to one address, so the
// seventh's requests are held, neither answered nor refused. The seventh
// is live, or says it is held, and never calls the bridge unreachable;
// once another tab is closed, it resumes by itself, as its sentence says.
async function sevenTabsFromDisk(opts, browser, fileUrl) {
  const six = [];
  for (let i = 0; i < 6; i++) six.push(await browser.newTab());
  await Promise.all(six.map((tab) => tab.goto(fileUrl)));
  for (const tab of six) await tab.waitFor(onStream, LIVE_WITHIN_MS, "six tabs from disk live on the stream");
  const seventh = await browser.newTab();
  await seventh.goto(fileUrl);
  const shown = await watchStatus(seventh, SEVENTH_WATCHED_MS, UNREACHABLE, "the seventh tab from disk");
  log(`the seventh tab of map.html from disk in ${opts.browser}`, shown);
  const last = shown.at(-1).status;
  check(last === "X-Plane live" || HELD.test(last), "the seventh tab from disk is live or says it is held");
  if (HELD.test(last)) {
    const closedAt = Date.now();
    await six.pop().close();
    await seventh.waitFor(isLive, SEVENTH_RESUMES_WITHIN_MS, "the seventh tab live once another is closed");
    log("the seventh tab: ms from closing another to live", String(Date.now() - closedAt));
  }
  await Promise.all([...six, seventh].map((tab) => tab.close()));
}

// Waits until `condition` (which may return a promise) holds.
async function waitUntil(condition, timeoutMs, what) {
  const deadline = Date.now() + Math.max(timeoutMs, 0);
  while (!(await condition())) {
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await sleep(50);
  }
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

  const pages = { "/client.html": CLIENT_PAGE, "/readme.html": await readmeExample(opts.readme, bridgeUrl) };
  // Tabs of one origin share a stream: map.html and the client page share
  // one, while the README's page and the page without EventSource each
  // have an origin of their own, so that they make their own requests.
  // The same pages again from the port the browsers count as a web site.
  const [server, readmeServer, pollingServer, site] = await Promise.all(
    [1, 2, 3, 4].map(() => startStaticServer(opts.examples, pages)));
  for (const each of [server, readmeServer, pollingServer, site]) cleanups.push(() => each.close());
  const originOf = (each) => `http://127.0.0.1:${each.address().port}`;
  const origin = originOf(server);
  const query = (tiles) => `?bridge=${encodeURIComponent(bridgeUrl)}&tiles=${encodeURIComponent(tiles)}`;
  const localTiles = `${origin}/tiles/{z}/{x}/{y}.png`;
  const noTiles = "http://127.0.0.1:9/{z}/{x}/{y}.png";

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
      const entry = { method: params.request.method, url: params.request.url, at: Date.now(), context: params.context };
      network.push(entry);
      byId.set(params.request.request + params.redirectCount, entry);
    }
    if (method === "network.responseStarted" || method === "network.responseCompleted") {
      const entry = byId.get(params.request.request + params.redirectCount);
      if (entry) entry.status = params.response.status;
    }
  }, site.address().port, { windowed: true });
  cleanups.push(() => browser.close());
  await browser.beforeEveryPage(watchRequests);
  // The GETs of `route` (any, for null) that the browser reports since
  // `since`, of the tab `page` or of any.
  const requests = (route, since, page) => network.filter((n) => n.method === "GET" && n.at >= since &&
    (route === null ? n.url.startsWith(bridgeUrl + "/") : n.url === bridgeUrl + route) &&
    (!page || n.context === page.context));
  const statePolls = (since, page) => requests("/state", since, page);
  const fileUrl = pathToFileURL(path.join(opts.examples, "map.html")).href + `?bridge=${encodeURIComponent(bridgeUrl)}`;

  // 0. Seven tabs from disk, before any other tab holds a connection.
  await sevenTabsFromDisk(opts, browser, fileUrl);

  // 1. Live values through EventSource, on map tiles.
  const mainFrom = Date.now();
  const page = browser.tab;
  const mapUrl = `${origin}/map.html${query(localTiles)}`;
  log("page", mapUrl);
  await page.goto(mapUrl);
  await page.waitFor(isLive, LIVE_WITHIN_MS, "X-Plane live");
  const first = await readValues(page);
  await sleep(1500);
  const later = await readValues(page);
  log("values seen", first);
  log("values 1.5 s later", later);
  check(first.source.startsWith("Following") && first.source.includes("/stream"), "page follows /stream");
  check(statePolls(mainFrom).length === 0, "no polling while the stream works");
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

  // 1b. map.html opened from disk, as a simmer opens it from the unpacked
  // archive: its scripts load, it follows the bridge and draws the track,
  // and it asks no tile server (they want a page with a web address).
  const filePage = await browser.newTab();
  log("page from disk", fileUrl);
  await filePage.goto(fileUrl);
  await filePage.waitFor(onStream, LIVE_WITHIN_MS, "X-Plane live on the stream, from file://");
  const fromDisk = await readValues(filePage);
  await sleep(1500);
  checkValues(fromDisk, await readValues(filePage), "from file://");
  const elsewhere = network.filter((n) => n.context === filePage.context && !/^(file|data):/.test(n.url) &&
    !n.url.startsWith(bridgeUrl + "/"));
  check(elsewhere.length === 0, `from file://, no request but to the bridge (${JSON.stringify(elsewhere)})`);
  check(await filePage.evaluate(paintedPixels) > 50, "from file://, the track is drawn on the canvas");

  // 1c. The client alone: snapshots, parsed, over the stream that map.html
  // opened: a tab of the same origin asks the bridge nothing itself.
  const clientPage = await browser.newTab();
  await clientPage.goto(`${origin}/client.html?bridge=${encodeURIComponent(bridgeUrl)}`);
  await clientPage.waitFor(() => seen.snapshots.filter((s) => s.xp === true).length >= 3, LIVE_WITHIN_MS,
    "three live snapshots from the client");
  const clientFirst = await clientSeen(clientPage, 0);
  log("client", { snapshots: clientFirst.snapshots.length, last: clientFirst.snapshots.at(-1), mode: clientFirst.mode });
  const { lat, lon } = clientFirst.snapshots.at(-1);
  check(Math.abs(lat - 47.46) < 0.1 && Math.abs(lon - 8.55) < 0.1, "the client hands over the position, parsed");
  check(clientFirst.mode === "stream", "the client reads /stream");
  // What the client's tab asked the bridge itself, as it saw it and as the browser reports it.
  const askedItself = async () => ({ made: await bridgeRequestsMade(clientPage, bridgeUrl),
    seen: requests(null, 0, clientPage).length });
  const clientAsked = await askedItself();
  log("requests of the client's tab, beside map.html's", clientAsked);
  check(clientAsked.made === 0 && clientAsked.seen === 0, "the client shares map.html's stream, asking nothing itself");

  // 1d. The README's page, as a map developer copies it beside the client.
  const readmeTab = await browser.newTab();
  await readmeTab.goto(`${originOf(readmeServer)}/readme.html`);
  await readmeTab.waitFor(`(${showsPosition})(document.body.innerText)`, LIVE_WITHIN_MS,
    "the README's page showing the position");
  const readmeFirst = await readmeTab.evaluate(bodyText);
  await sleep(1500);
  const readmeLater = await readmeTab.evaluate(bodyText);
  log("README's page", { first: readmeFirst.trim(), later: readmeLater.trim() });
  check(readmeLater !== readmeFirst && showsPosition(readmeLater), "the README's page shows the position live");

  // 1f. From a web site: held back until the user allows it.
  await fromWebSite(opts, browser, site, bridgeUrl, requests);

  // 1e. Without EventSource the page polls /state instead; with no tile
  // server it draws the track on its canvas. (Last: every page loaded from
  // now on has no EventSource.)
  await browser.beforeEveryPage(() => { delete window.EventSource; });
  const pollingPage = await browser.newTab();
  await pollingPage.goto(`${originOf(pollingServer)}/map.html${query(noTiles)}`);
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

  // 3. The bridge restarts: the pages poll while it is away, the client says
  // it is lost, and all are back on the stream by themselves afterwards.
  check((await clientSeen(clientPage, 0)).lost.length === 0, "the client is not lost while the bridge runs");
  await stopProgram(bridge);
  const stoppedAt = Date.now();
  await page.waitFor(() => document.getElementById("status").className === "down", NOT_LIVE_WITHIN_MS, "bridge down");
  await clientPage.waitFor(() => seen.lost.length > 0, NOT_LIVE_WITHIN_MS, "the client saying lost");
  await readmeTab.waitFor(`!(${showsPosition})(document.body.innerText)`, NOT_LIVE_WITHIN_MS,
    "the README's page no longer showing a position");
  // Pages from disk and from this PC are not held back, whatever the
  // browser's permission reads: the bridge is unreachable, not asked about.
  await filePage.waitFor(() => document.getElementById("status").className === "down", NOT_LIVE_WITHIN_MS,
    "bridge down, from file://");
  for (const [tab, how] of [[page, "from its origin"], [filePage, "from file://"], [readmeTab, "the README's page"]]) {
    const said = await tab.evaluate(bodyText);
    check(UNREACHABLE.test(said), `${how}: the bridge is said to be unreachable`);
  }
  await sleep(Math.max(0, stoppedAt + BRIDGE_AWAY_MS - Date.now()));
  const away = await clientPage.evaluate(() => ({ snapshots: seen.snapshots, lost: seen.lost }));
  const lastSnapshotAt = away.snapshots.at(-1).at;
  log("while the bridge was away", {
    map: (await readValues(page)).status,
    readme: (await readmeTab.evaluate(bodyText)).trim(),
    mapPolls: statePolls(stoppedAt, page).length,
    readmePolls: statePolls(stoppedAt, readmeTab).length,
    clientLost: away.lost.map((at) => `${at - lastSnapshotAt} ms after the last snapshot`),
  });
  // What the browser did with the stream: a source it retries itself stays
  // at readyState 0; one it gave up on is 2, and the client made another.
  log(`${opts.browser}'s stream in the README's page while the bridge was away`, {
    eventSourceReadyStates: await readmeTab.evaluate(eventSourceStates),
    streamRequests: requests("/stream", stoppedAt, readmeTab).length,
  });
  check(statePolls(stoppedAt, page).length > 0 && statePolls(stoppedAt, readmeTab).length > 0,
    "the pages poll while the stream is down");
  check(away.lost.length > 0 && away.lost[0] - lastSnapshotAt >= 2500,
    "the client says lost about 3 s after the last snapshot, not sooner");
  bridge = await restartBridge(opts, port);
  const restartedAt = Date.now();
  log("bridge restarted", `after ${restartedAt - stoppedAt} ms`);
  await page.waitFor(onStream, BACK_ON_STREAM_WITHIN_MS, "back on the stream");
  await filePage.waitFor(onStream, BACK_ON_STREAM_WITHIN_MS, "back on the stream, from file://");
  await clientPage.waitFor(`seen.modes.at(-1) === "stream" && seen.snapshots.at(-1).at > ${restartedAt}`,
    BACK_ON_STREAM_WITHIN_MS, "the client back on the stream");
  await readmeTab.waitFor(`(${showsPosition})(document.body.innerText) && (${streamOpen})()`,
    BACK_ON_STREAM_WITHIN_MS, "the README's page back on the stream");
  const backAt = Date.now();
  log("all back on the stream", `${backAt - restartedAt} ms after the restart`);
  await sleep(2500);
  const pollsBack = statePolls(backAt + 500);
  check(pollsBack.length === 0, `no polling once the stream is back (${JSON.stringify(pollsBack)})`);
  const resumed = await readValues(page);
  const readmeResumed = await readmeTab.evaluate(bodyText);
  await sleep(1500);
  checkValues(resumed, await readValues(page), "after the restart");
  check(await readmeTab.evaluate(bodyText) !== readmeResumed, "the README's page is live after the restart");
  check((await clientSeen(clientPage, restartedAt)).snapshots.filter((s) => s.xp).length >= 3,
    "the client hands over live snapshots after the restart");

  // 4. The stand-in stops: the page says so; for the client the bridge is
  // still there, so not lost.
  const standinStoppedAt = Date.now();
  standin.kill("SIGINT");
  await page.waitFor(() => document.getElementById("status").textContent.includes("not live"),
    NOT_LIVE_WITHIN_MS, "not live");
  const after = await readValues(page);
  log("status after the stand-in stopped", `"${after.status}" after ${Date.now() - standinStoppedAt} ms`);
  await sleep(4000);
  const idle = await clientSeen(clientPage, standinStoppedAt);
  check(idle.lost.length === 0 && idle.snapshots.some((s) => s.xp === false),
    "without X-Plane the client hands over {xp:false} and is not lost");

  // 5. map.html's tab closes: the client's tab, which asked the bridge
  // nothing through all this, takes the stream over, and is not lost.
  const clientAskedSince = await askedItself();
  check(clientAskedSince.made === 0 && clientAskedSince.seen === 0,
    `the client's tab asked the bridge nothing while map.html's led (${JSON.stringify(clientAskedSince)})`);
  const closedAt = Date.now();
  await page.close();
  await clientPage.waitFor(`(${streamOpen})() && seen.snapshots.at(-1).at > ${closedAt}`, TAKEOVER_WITHIN_MS,
    "the client's tab on a stream of its own once map.html's tab is closed");
  log("the client's tab: ms from closing map.html's to a snapshot on its own stream", String(Date.now() - closedAt));
  check((await clientSeen(clientPage, closedAt)).lost.length === 0, "the client is not lost while it takes over");

  const here = new RegExp(
    `^(file|data|about):|^https?://(127\\.|\\[::1\\]|localhost|((plain|other)\\.)?${TEST_SITE})`);
  log("requests for elsewhere, refused at the closed proxy", network.filter((n) => !here.test(n.url)).map((n) => n.url));
}

async function main() {
  const opts = options();
  const cleanups = [];
  let failed = false;
  try {
    await run(opts, cleanups);
    console.log(`PASS (${opts.browser}): map.html (from its origin and from file://), simrelay-client.js and ` +
      "the README's page follow the bridge live; map.html uses map tiles, falls back to polling and the canvas " +
      "and passes a pre-flight; the client says lost while the bridge is away; all come back after its restart; " +
      "a seventh tab from disk is never called unreachable; a tab of one origin shares and takes over the " +
      "stream; from a web site the pages connect on a click and are live once allowed");
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
