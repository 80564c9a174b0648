// The example map in a real browser: the system's headless Chromium opens
// examples/map.html from its own origin and follows a real bridge that
// follows the X-Plane stand-in.
//
// usage: node map_e2e.test.mjs --simrelay PATH --standin PATH --examples DIR [--address 127.0.0.220]
import { spawn } from "node:child_process";
import { once } from "node:events";
import { mkdtemp, readFile, rm } from "node:fs/promises";
import http from "node:http";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";

const CHROMIUM = "/usr/bin/chromium";
const CHROMIUM_ARGS = [
  "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
  "--disable-background-networking", "--disable-component-update", "--disable-sync",
];
// The bridge drops to not live 3 s after the last reply; the stream repeats
// the snapshot every ~1.1 s. Generous, as the machine is shared.
const NOT_LIVE_WITHIN_MS = 15000;
const LIVE_WITHIN_MS = 15000;

function options() {
  const args = process.argv.slice(2);
  const value = (name, fallback) => {
    const at = args.indexOf(name);
    if (at >= 0 && at + 1 < args.length) return args[at + 1];
    if (fallback !== undefined) return fallback;
    throw new Error(`missing ${name}\nusage: node map_e2e.test.mjs --simrelay PATH --standin PATH --examples DIR`);
  };
  return {
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

// Starts a program and resolves once a line of its output matches `ready`;
// rejects when it ends first or stays silent too long.
function startProgram(name, file, args, ready) {
  const child = spawn(file, args, { stdio: ["ignore", "pipe", "pipe"] });
  let output = "";
  const result = new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`${name} not ready:\n${output}`)), 10000);
    const seen = (chunk) => {
      output += chunk;
      if (ready.test(output)) {
        clearTimeout(timer);
        resolve(child);
      }
    };
    child.stdout.on("data", seen);
    child.stderr.on("data", seen);
    child.on("exit", (code) => {
      clearTimeout(timer);
      reject(new Error(`${name} ended (${code}):\n${output}`));
    });
  });
  child.output = () => output;
  return result;
}

// A port found free can be taken before the bridge binds it: try again.
async function startBridge(opts) {
  for (let attempt = 1; ; attempt++) {
    const port = await freeTcpPort();
    try {
      const child = await startProgram("bridge", opts.simrelay, [opts.address, "--port", String(port)], /bridge ready/);
      return { child, port };
    } catch (error) {
      if (attempt === 5) throw error;
    }
  }
}

// Serves the files of one folder on a loopback port of its own, so the page
// and the bridge are different origins, as for the real map.
async function startStaticServer(root) {
  const types = { ".html": "text/html; charset=utf-8", ".js": "text/javascript", ".css": "text/css" };
  const server = http.createServer(async (request, response) => {
    const name = path.normalize(decodeURIComponent(new URL(request.url, "http://x").pathname));
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

async function run(opts, cleanups) {
  const standin = await startProgram("stand-in", opts.standin, [opts.address], /✓/);
  cleanups.push(() => standin.kill("SIGKILL"));
  log("stand-in", standin.output().trim());

  const { child: bridge, port } = await startBridge(opts);
  cleanups.push(() => bridge.kill("SIGKILL"));
  const bridgeUrl = `http://127.0.0.1:${port}`;
  log("bridge", `${bridgeUrl} asking ${opts.address}`);

  const server = await startStaticServer(opts.examples);
  cleanups.push(() => server.close());
  const pageUrl = `http://127.0.0.1:${server.address().port}/map.html?bridge=${encodeURIComponent(bridgeUrl)}`;

  const profile = await mkdtemp(path.join(os.tmpdir(), "simrelay-chromium-"));
  cleanups.push(() => rm(profile, { recursive: true, force: true }));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    args: CHROMIUM_ARGS,
  });
  cleanups.push(() => context.close());
  const page = context.pages()[0] || (await context.newPage());
  page.on("console", (message) => log("page console", message.text()));

  // Preflights are visible only to the DevTools protocol, not to page events.
  const cdp = await context.newCDPSession(page);
  await cdp.send("Network.enable");
  const network = [];
  const byId = new Map();
  cdp.on("Network.requestWillBeSent", (event) => {
    const entry = { method: event.request.method, url: event.request.url, type: event.type };
    network.push(entry);
    byId.set(event.requestId, entry);
  });
  cdp.on("Network.responseReceived", (event) => {
    const entry = byId.get(event.requestId);
    if (entry) entry.status = event.response.status;
  });

  log("page", pageUrl);
  await page.goto(pageUrl);

  // 1. Live values through EventSource.
  await page.waitForFunction(() => document.getElementById("status").textContent === "X-Plane live",
    null, { timeout: LIVE_WITHIN_MS });
  const first = await readValues(page);
  await page.waitForTimeout(1500);
  const later = await readValues(page);
  log("values seen", first);
  log("values 1.5 s later", later);
  check(first.source.startsWith("Following") && first.source.includes("/stream"), "page follows /stream");
  check(!network.some((n) => n.url.endsWith("/state")), "no polling while the stream works");
  const lat = parseFloat(first.lat), lon = parseFloat(first.lon);
  check(Math.abs(lat - 47.46) < 0.1 && Math.abs(lon - 8.55) < 0.1, `position ${lat}, ${lon} is near 47.46, 8.55`);
  for (const key of ["alt", "hdg", "gs", "ias", "vs", "agl"]) check(first[key] !== "–", `${key} shown`);
  check(first.gs.startsWith("107 kt"), `ground speed ${first.gs} is the stand-in's 55 m/s`);
  check(later.lat !== first.lat || later.lon !== first.lon, "the position moves");
  const trackPoints = await page.evaluate(() => {
    const canvas = document.getElementById("track");
    const pixels = canvas.getContext("2d").getImageData(0, 0, canvas.width, canvas.height).data;
    let painted = 0;
    for (let i = 3; i < pixels.length; i += 4) painted += pixels[i] > 0;
    return painted;
  });
  log("canvas pixels painted", String(trackPoints));
  check(trackPoints > 50, "the track is drawn");

  // 1b. Without EventSource the page polls /state instead.
  const pollingPage = await context.newPage();
  await pollingPage.addInitScript(() => { delete window.EventSource; });
  await pollingPage.goto(pageUrl);
  await pollingPage.waitForFunction(() => document.getElementById("status").textContent === "X-Plane live",
    null, { timeout: LIVE_WITHIN_MS });
  const polled = await readValues(pollingPage);
  log("values seen by polling", polled);
  check(polled.source.startsWith("Polling"), "page without EventSource polls");
  check(Math.abs(parseFloat(polled.lat) - 47.46) < 0.1, "polled position");
  await pollingPage.close();

  // 2. A non-simple cross-origin request: pre-flight, then GET.
  const probe = await fetchWithPreflight(page, bridgeUrl);
  await page.waitForTimeout(200);
  const preflights = network.filter((n) => n.method === "OPTIONS" || n.type === "Preflight");
  log("fetch with custom header", { status: probe.status, body: probe.body, error: probe.error });
  log("pre-flight requests seen", preflights);
  check(preflights.some((n) => n.url === bridgeUrl + "/state" && n.status === 204), "pre-flight answered 204");
  check(probe.ok && probe.status === 200 && probe.body.startsWith('{"xp":true'), "fetch after pre-flight succeeds");

  // 3. The stand-in stops: the page says so.
  const stoppedAt = Date.now();
  standin.kill("SIGINT");  // As Ctrl+C would.
  await page.waitForFunction(() => document.getElementById("status").textContent.includes("not live"),
    null, { timeout: NOT_LIVE_WITHIN_MS });
  const after = await readValues(page);
  log("status after the stand-in stopped", `"${after.status}" after ${Date.now() - stoppedAt} ms`);
}

async function main() {
  const opts = options();
  const cleanups = [];
  let failed = false;
  try {
    await run(opts, cleanups);
    console.log("PASS: map.html follows the bridge live, passes a pre-flight and shows not live");
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
