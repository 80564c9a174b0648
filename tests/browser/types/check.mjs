// The client's types: examples/simrelay-client.d.ts is what TypeScript
// writes from the client's JSDoc today, and a typed use of both ways of
// loading it compiles. Needs tests/browser/node_modules (npm ci).
import { execFileSync } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync } from "node:fs";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));
const tsc = path.join(here, "..", "node_modules", "typescript", "bin", "tsc");
const run = (...args) => execFileSync(process.execPath, [tsc, ...args], { cwd: here, stdio: "inherit" });
const written = mkdtempSync(path.join(os.tmpdir(), "simrelay-types-"));
try {
  run("-p", "tsconfig.declarations.json", "--outDir", written);
  const committed = path.join(here, "..", "..", "..", "examples", "simrelay-client.d.ts");
  if (readFileSync(path.join(written, "simrelay-client.d.ts"), "utf8") !== readFileSync(committed, "utf8")) {
    console.error("examples/simrelay-client.d.ts is stale: in tests/browser, run npx tsc -p types/tsconfig.declarations.json");
    process.exitCode = 1;
  }
  run("--noEmit", "-p", ".");
} finally {
  rmSync(written, { recursive: true, force: true });
}
if (!process.exitCode) console.log("types: simrelay-client.d.ts is current and the typed use compiles");
