// The system's browsers, driven over WebDriver BiDi: Firefox ESR speaks it
// itself, Chromium through chromedriver. Headless, or windowed on an X
// server of their own (Xvfb, no TCP), where they show their questions as
// users see them (headless Chromium dismisses its permission question).
// Only what the map test needs: open tabs, navigate, evaluate, click, wait,
// grant permissions, and watch network and console; and starting the
// programs under test.
//
// Nothing leaves the machine: each browser's proxy is a closed loopback
// port, while loopback stays direct, so an attempt to reach the internet
// fails at once and BiDi still reports it. Web sites are imitated on
// loopback: the names TEST_SITE and OTHER_TEST_SITE (two origins) reach
// 127.0.0.1, and 127.0.0.1's port `publicPort` counts as public, as if on
// the internet. Their http pages count as secure, as an https site's
// would; in Chromium, the name PLAIN_TEST_SITE reaches the same port as an
// http site.
import { spawn } from "node:child_process";
import { once } from "node:events";
import { mkdtemp, rm, writeFile } from "node:fs/promises";
import os from "node:os";
import path from "node:path";
import WebSocket from "ws";

const CHROMIUM = "/usr/bin/chromium";
const CHROMEDRIVER = "/usr/bin/chromedriver";
const FIREFOX = "/usr/bin/firefox-esr";
const XVFB = "/usr/bin/Xvfb";
const CHROMIUM_ARGS = [
  "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
  "--disable-background-networking", "--disable-component-update", "--disable-sync",
];
const START_WITHIN_MS = 30000;
const CLOSED_PROXY = "127.0.0.1:9";
export const TEST_SITE = "simrelay-map.test";  // .test names never resolve on the internet.
export const OTHER_TEST_SITE = `other.${TEST_SITE}`;
export const PLAIN_TEST_SITE = `plain.${TEST_SITE}`;
const SECURE_SITES = [TEST_SITE, OTHER_TEST_SITE];

// One BiDi connection: commands by id, events to every listener.
class Session {
  constructor(socket) {
    this.socket = socket;
    this.nextId = 1;
    this.pending = new Map();
    this.listeners = [];
    socket.on("message", (data) => this.receive(JSON.parse(data)));
    socket.on("close", () => {
      for (const { reject } of this.pending.values()) reject(new Error("browser connection closed"));
      this.pending.clear();
    });
  }

  static async connect(url) {
    const socket = new WebSocket(url);
    await once(socket, "open");
    return new Session(socket);
  }

  receive(message) {
    if (message.type === "event") {
      for (const listener of this.listeners) listener(message.method, message.params);
      return;
    }
    const waiting = this.pending.get(message.id);
    if (!waiting) return;
    this.pending.delete(message.id);
    if (message.type === "error") waiting.reject(new Error(`${waiting.method}: ${message.error}: ${message.message}`));
    else waiting.resolve(message.result);
  }

  send(method, params = {}) {
    const id = this.nextId++;
    this.socket.send(JSON.stringify({ id, method, params }));
    return new Promise((resolve, reject) => this.pending.set(id, { resolve, reject, method }));
  }

  on(listener) {
    this.listeners.push(listener);
  }
}

// One tab. `evaluate` takes an expression, or a function and its arguments
// (JSON), and returns the JSON-able result.
class Tab {
  constructor(session, context) {
    this.session = session;
    this.context = context;
  }

  async goto(url) {
    await this.session.send("browsingContext.navigate", { context: this.context, url, wait: "complete" });
  }

  async evaluate(code, ...args) {
    const expression = typeof code === "function" ? `(${code})(...${JSON.stringify(args)})` : code;
    const reply = await this.session.send("script.evaluate", {
      expression: `Promise.resolve(${expression}).then((value) => JSON.stringify(value === undefined ? null : value))`,
      target: { context: this.context },
      awaitPromise: true,
      resultOwnership: "none",
    });
    if (reply.type === "exception") throw new Error(`page threw: ${reply.exceptionDetails.text}`);
    return JSON.parse(reply.result.value);
  }

  async waitFor(code, timeoutMs, what) {
    const deadline = Date.now() + timeoutMs;
    for (;;) {
      if (await this.evaluate(code)) return;
      if (Date.now() > deadline) {
        const shown = await this.evaluate("document.body.innerText").catch(() => "?");
        throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}; the page shows:\n${shown}`);
      }
      await sleep(200);
    }
  }

  // Clicks the middle of the element `selector` names as a user would, with
  // the pointer, after bringing the tab to the front.
  async click(selector) {
    await this.session.send("browsingContext.activate", { context: this.context });
    const at = await this.evaluate((css) => {
      const box = document.querySelector(css).getBoundingClientRect();
      return { x: Math.round(box.x + box.width / 2), y: Math.round(box.y + box.height / 2) };
    }, selector);
    await this.session.send("input.performActions", {
      context: this.context,
      actions: [{
        type: "pointer", id: "mouse", parameters: { pointerType: "mouse" },
        actions: [{ type: "pointerMove", ...at }, { type: "pointerDown", button: 0 }, { type: "pointerUp", button: 0 }],
      }],
    });
  }

  async close() {
    await this.session.send("browsingContext.close", { context: this.context });
  }
}

export function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

// Starts a program and resolves with it and the first match of `ready` in
// its output; ends it and rejects when it ends first or stays silent too
// long. `child.output()` is everything it printed so far.
export function startProgram(name, file, args, ready, timeoutMs = START_WITHIN_MS, env = process.env) {
  const child = spawn(file, args, { stdio: ["ignore", "pipe", "pipe"], env });
  let output = "";
  child.output = () => output;
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      child.kill("SIGKILL");
      reject(new Error(`${name} not ready:\n${output}`));
    }, timeoutMs);
    const seen = (chunk) => {
      output += chunk;
      const match = output.match(ready);
      if (match) {
        clearTimeout(timer);
        resolve({ child, match });
      }
    };
    child.stdout.on("data", seen);
    child.stderr.on("data", seen);
    child.on("exit", (code) => {
      clearTimeout(timer);
      reject(new Error(`${name} ended (${code}):\n${output}`));
    });
  });
}

// An X server on a display it picks itself, reached only through its
// socket on this machine; the environment to start a browser on it.
async function startXvfb() {
  const { child, match } = await startProgram("Xvfb", XVFB,
    ["-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"], /^(\d+)$/m);
  // SIGTERM: it then removes its socket and lock file.
  return { env: { ...process.env, DISPLAY: `:${match[1]}` }, close: () => child.kill("SIGTERM") };
}

async function startChromium(profile, publicPort, display) {
  const { child: driver, match } = await startProgram("chromedriver", CHROMEDRIVER, ["--port=0"],
    /started successfully on port (\d+)/, START_WITHIN_MS, display ? display.env : process.env);
  const closeDriver = () => driver.kill("SIGKILL");
  try {
    const port = match[1];
    const base = `http://127.0.0.1:${port}`;
    const response = await fetch(`${base}/session`, {
      method: "POST",
      headers: { "Content-Type": "application/json" },
      body: JSON.stringify({
        capabilities: {
          alwaysMatch: {
            browserName: "chrome",
            webSocketUrl: true,
            "goog:chromeOptions": {
              binary: CHROMIUM,
              args: [...CHROMIUM_ARGS, ...(display ? [] : ["--headless"]), `--user-data-dir=${profile}`,
                `--proxy-server=http://${CLOSED_PROXY}`,
                `--proxy-bypass-list=${[...SECURE_SITES, PLAIN_TEST_SITE].join(";")}`,
                `--host-resolver-rules=${[...SECURE_SITES, PLAIN_TEST_SITE].map((site) => `MAP ${site} 127.0.0.1`)
                  .join(", ")}`,
                `--ip-address-space-overrides=127.0.0.1:${publicPort}=public`,
                `--unsafely-treat-insecure-origin-as-secure=${SECURE_SITES.map((site) => `http://${site}:${publicPort}`)
                  .join(",")}`],
            },
          },
        },
      }),
    });
    const { value } = await response.json();
    if (!value.capabilities) throw new Error(`chromedriver: ${JSON.stringify(value)}`);
    const session = await Session.connect(value.capabilities.webSocketUrl);
    const close = async () => {
      await fetch(`${base}/session/${value.sessionId}`, { method: "DELETE" }).catch(() => {});
      closeDriver();
    };
    return { session, close };
  } catch (error) {
    closeDriver();
    throw error;
  }
}

// Firefox reads these from the profile. Unless told, it sends loopback
// names to the proxy too; it rolls the loopback permission out gradually.
function firefoxPrefs(publicPort) {
  const [host, port] = CLOSED_PROXY.split(":");
  return Object.entries({
    "network.proxy.type": 1, "network.proxy.http": host, "network.proxy.http_port": Number(port),
    "network.proxy.ssl": host, "network.proxy.ssl_port": Number(port),
    "network.proxy.allow_hijacking_localhost": false, "network.proxy.no_proxies_on": SECURE_SITES.join(","),
    "network.dns.localDomains": SECURE_SITES.join(","), "dom.securecontext.allowlist": SECURE_SITES.join(","),
    "network.lna.blocking": true, "network.lna.address_space.public.override": `127.0.0.1:${publicPort}`,
  }).map(([name, value]) => `user_pref(${JSON.stringify(name)}, ${JSON.stringify(value)});\n`).join("");
}

async function startFirefox(profile, publicPort, display) {
  await writeFile(path.join(profile, "user.js"), firefoxPrefs(publicPort));
  const { child: firefox, match } = await startProgram("firefox", FIREFOX,
    [...(display ? [] : ["--headless"]), "--no-remote", "--profile", profile, "--remote-debugging-port=0"],
    /WebDriver BiDi listening on (ws:\/\/\S+)/, START_WITHIN_MS, display ? display.env : process.env);
  const closeFirefox = () => firefox.kill("SIGKILL");
  try {
    const url = match[1];
    const session = await Session.connect(`${url}/session`);
    await session.send("session.new", { capabilities: {} });
    const close = async () => {
      await session.send("session.end").catch(() => {});
      closeFirefox();
    };
    return { session, close };
  } catch (error) {
    closeFirefox();
    throw error;
  }
}

export const BROWSERS = { chromium: startChromium, firefox: startFirefox };

// Starts a browser with a fresh profile, headless or, with `windowed`, on
// an X server of its own; `events` gets every network and console event.
// Returns the first tab, a way to open more, the X display (for a look
// with `xwd -root -display`), and close().
export async function launch(name, events, publicPort, { windowed = false } = {}) {
  const profile = await mkdtemp(path.join(os.tmpdir(), `simrelay-${name}-`));
  const display = windowed ? await startXvfb() : null;
  let started;
  try {
    started = await BROWSERS[name](profile, publicPort, display);
  } catch (error) {
    if (display) display.close();
    throw error;
  }
  const { session, close } = started;
  session.on(events);
  await session.send("session.subscribe", {
    events: ["network.beforeRequestSent", "network.responseStarted", "network.responseCompleted", "log.entryAdded"],
  });
  const { contexts } = await session.send("browsingContext.getTree", {});
  return {
    tab: new Tab(session, contexts[0].context),
    display: display ? display.env.DISPLAY : null,
    async newTab() {
      const { context } = await session.send("browsingContext.create", { type: "tab" });
      return new Tab(session, context);
    },
    // Runs `code` in every page loaded from now on, before the page's own.
    async beforeEveryPage(code) {
      await session.send("script.addPreloadScript", { functionDeclaration: code.toString() });
    },
    // As the user answering the browser's question for pages from `origin`.
    async setPermission(permission, state, origin) {
      await session.send("permissions.setPermission", { descriptor: { name: permission }, state, origin });
    },
    async close() {
      await close();
      if (display) display.close();
      await rm(profile, { recursive: true, force: true });
    },
  };
}
