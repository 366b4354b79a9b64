// The live page in headless chromium: idle video plays, a typed sentence is
// spoken (video frames and voice arrive, the status line reports speech, the
// mouth region changes), Interrupt eases back to idle; then two visitors at
// once and a third one turned away.
//   node test_live.mjs   (CTest sets VEVER_TOOL, VEVER_LIB, PYTHONPATH, NODE_PATH, LE_TEST_TMP)
import { spawn, execFileSync } from "node:child_process";
import { mkdtempSync, rmSync, mkdirSync } from "node:fs";
import { createRequire } from "node:module";
import { createServer } from "node:net";
import { join } from "node:path";
import assert from "node:assert/strict";

const require = createRequire(import.meta.url);
const puppeteer = require("puppeteer-core");

const env = (name) => {
  const v = process.env[name];
  if (!v) throw new Error(`${name} is not set`);
  return v;
};
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const scratch = env("LE_TEST_TMP");
mkdirSync(scratch, { recursive: true });
const dir = mkdtempSync(join(scratch, "web-"));

async function freePort() {
  return new Promise((resolve) => {
    const s = createServer();
    s.listen(0, "127.0.0.1", () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

async function waitFor(what, fn, ms = 30000) {
  const until = Date.now() + ms;
  for (;;) {
    const v = await fn();
    if (v) return v;
    if (Date.now() > until) throw new Error(`timed out waiting for ${what}`);
    await sleep(100);
  }
}

const bundle = join(dir, "astro");
execFileSync(env("VEVER_TOOL"), ["demo-bundle", bundle, "--source-frames", "6", "--frames", "12"],
             { stdio: "ignore" });
const port = await freePort();
const server = spawn("/usr/bin/python3", ["-m", "vever.serve", bundle, join(bundle, "motion"),
                                          "--port", String(port), "--max-sessions", "2"],
                     { stdio: ["ignore", "ignore", "pipe"] });
let serverLog = "";
server.stderr.on("data", (d) => { serverLog += d; });
const url = `http://127.0.0.1:${port}/`;
let browser;
let failed = false;
try {
  await waitFor("the server", () => fetch(url + "healthz").then((r) => r.ok).catch(() => false));
  browser = await puppeteer.launch({
    executablePath: "/usr/bin/chromium",
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync",
           "--autoplay-policy=no-user-gesture-required", `--user-data-dir=${join(dir, "profile")}`],
  });

  // ---- one visitor: idle, speak, interrupt
  const page = await browser.newPage();
  await page.setViewport({ width: 640, height: 760 });
  await page.goto(url);
  await waitFor("idle video", () => page.evaluate(() => window.veverPage.framesShown > 25));
  const stats = () => page.evaluate(() => window.veverPage.stats);
  const mouths = async (ms) => {
    const v = [];
    for (const until = Date.now() + ms; Date.now() < until; await sleep(40))
      v.push(await page.evaluate(() => window.veverPage.mouth()));
    return Math.max(...v) - Math.min(...v);
  };
  const idleSpread = await mouths(1200);
  await page.click("#text", { clickCount: 3 });
  await page.type("#text", "One two three four five six seven eight nine ten, and I keep on " +
                           "talking for a good while, so that you can watch my lips move.");
  await page.click("#speak");
  await waitFor("speech in the status line", async () =>
    (await page.$eval("#status", (e) => e.textContent)).startsWith("speaking"));
  const speakingSpread = await mouths(3000);
  const audio = await page.evaluate(async () => {
    let energy = 0, packets = 0, frames = 0;
    (await window.veverPage.pc.getStats()).forEach((r) => {
      if (r.type === "inbound-rtp" && r.kind === "audio") {
        energy = r.totalAudioEnergy || 0;
        packets = r.packetsReceived;
      }
      if (r.type === "inbound-rtp" && r.kind === "video") frames = r.framesDecoded;
    });
    return { energy, packets, frames };
  });
  const st0 = await stats();
  console.log(`[web] mouth spread idle ${idleSpread.toFixed(2)}, speaking ${speakingSpread.toFixed(2)};` +
              ` audio packets ${audio.packets}, energy ${audio.energy.toFixed(4)};` +
              ` video frames ${audio.frames}; first frame ${st0.first_frame_ms.toFixed(0)} ms,` +
              ` frame cost ${st0.frame_cost_ms.toFixed(1)} ms, underruns ${st0.underruns}`);
  assert.ok(audio.frames > 50, "video frames decoded");
  assert.ok(audio.packets > 50, "audio packets received");
  assert.ok(audio.energy > 0, "the voice carries sound");
  assert.ok(speakingSpread > idleSpread + 3, "the mouth region moves while speaking");
  await page.screenshot({ path: join(scratch, "..", "live_page.png") });

  await page.click("#interrupt");
  await waitFor("the ramp back to idle", async () => (await stats())?.state === 0, 10000);
  const st = await stats();
  assert.equal(st.utterances_started, 1);
  assert.ok(st.frames_sent > 100);

  // ---- two visitors at once, and a third turned away with a message
  const second = await browser.newPage();
  await second.goto(url);
  await waitFor("the second visitor's video",
                () => second.evaluate(() => window.veverPage.framesShown > 25));
  const ids = await Promise.all([page, second].map((p) => p.evaluate(() => window.veverPage.session)));
  assert.notEqual(ids[0], ids[1]);
  const third = await browser.newPage();
  await third.goto(url);
  const refusal = await waitFor("the third visitor's message",
                                () => third.evaluate(() => window.veverPage.error));
  assert.match(refusal, /all 2 live sessions are taken/);
  // Leaving frees a slot.
  await second.close({ runBeforeUnload: true });
  await waitFor("a freed slot", () => fetch(url + "healthz").then((r) => r.json()).then((h) => h.sessions === 1));
  console.log("[web] ok");
} catch (e) {
  failed = true;
  console.error(e);
  console.error(serverLog.split("\n").filter((l) => !l.startsWith("[le")).slice(-30).join("\n"));
} finally {
  if (browser) await browser.close();
  server.kill("SIGINT");
  rmSync(dir, { recursive: true, force: true });
}
process.exit(failed ? 1 : 0);
