// The live page in headless chromium: idle video plays, a typed sentence is
// spoken (video frames and voice arrive, the status line reports speech, the
// mouth region changes), Interrupt eases back to idle; a few uploaded tone
// bursts time lips against voice and the speak request against the first
// speech frame shown; the time to the first speech frame shown for a short
// and a long text and for PCM streamed over /stream; Microphone mode fed a
// recorded sentence by chromium's fake capture device, timed from each word's
// onset to the mouth opening; then two visitors at once and a third one
// turned away.
//   node test_live.mjs   (CTest sets VEVER_TOOL, VEVER_LIB, PYTHONPATH, NODE_PATH, LE_TEST_TMP)
import { spawn, execFileSync } from "node:child_process";
import { mkdtempSync, rmSync, mkdirSync, readFileSync, writeFileSync } from "node:fs";
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

// 16 kHz mono WAV: a loud 220 Hz tone from its first sample, so the voice's
// onset is sharp and falls on the utterance's first speech frame.
function toneWav(seconds) {
  const n = Math.round(seconds * 16000);
  const b = Buffer.alloc(44 + 2 * n);
  b.write("RIFF", 0); b.writeUInt32LE(36 + 2 * n, 4); b.write("WAVEfmt ", 8);
  b.writeUInt32LE(16, 16); b.writeUInt16LE(1, 20); b.writeUInt16LE(1, 22);
  b.writeUInt32LE(16000, 24); b.writeUInt32LE(32000, 28); b.writeUInt16LE(2, 32);
  b.writeUInt16LE(16, 34); b.write("data", 36); b.writeUInt32LE(2 * n, 40);
  for (let i = 0; i < n; i++)
    b.writeInt16LE(Math.round(26000 * Math.sin(2 * Math.PI * 220 * i / 16000)), 44 + 2 * i);
  return b;
}
// A WAV at espeak-ng's 22050 Hz: lead seconds of silence, a spoken sentence,
// tail seconds of silence; chromium's fake microphone plays it in a loop.
function sentenceWav(file, lead, tail) {
  const said = join(dir, "said.wav");
  execFileSync("espeak-ng", ["-a", "180", "-w", said, "Hello, how are you doing today"]);
  const b = readFileSync(said);
  const data = b.subarray(44);
  const rate = b.readUInt32LE(24);
  const pad = (s) => Buffer.alloc(2 * Math.round(s * rate));
  const pcm = Buffer.concat([pad(lead), data, pad(tail)]);
  const h = Buffer.from(b.subarray(0, 44));
  h.writeUInt32LE(36 + pcm.length, 4);
  h.writeUInt32LE(pcm.length, 40);
  writeFileSync(file, Buffer.concat([h, pcm]));
}
// The first frame received after t (within 3 s) whose mouth region is darker
// than every frame of the idle second before t: the demo avatar's mouth
// opens far darker than it ever is at rest.
function firstSpeechFrame(frames, t) {
  const idle = frames.filter((f) => f.received > t - 900 && f.received < t);
  if (idle.length < 10) return undefined;
  const closed = Math.min(...idle.map((f) => f.mouth)) - 6;
  return frames.find((f) => f.received > t && f.received < t + 3000 && f.mouth < closed);
}
const median = (v) => [...v].sort((a, b) => a - b)[v.length >> 1];
const ms = (v) => v.map((x) => x.toFixed(0)).join(" ");

const bundle = join(dir, "astro");
// The procedural mouth opens on any sound, so a tone's onset shows in the
// picture: the probe this test times the lips with.
execFileSync(env("VEVER_TOOL"), ["demo-bundle", bundle, "--source-frames", "6", "--frames", "12",
                                 "--motion", "procedural"], { stdio: "ignore" });
const micWav = join(dir, "mic.wav");
sentenceWav(micWav, 1.5, 2.0);
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
           "--autoplay-policy=no-user-gesture-required", `--user-data-dir=${join(dir, "profile")}`,
           "--use-fake-ui-for-media-stream", "--use-fake-device-for-media-stream",
           `--use-file-for-fake-audio-capture=${micWav}`],
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

  // ---- lips and voice as the visitor sees and hears them
  await page.evaluate(() => window.veverPage.watch());
  const spoke = [];
  for (let u = 0; u < 5; u++) {
    await sleep(1000);  // idle first: the mouth's change and the voice's onset stand out
    const file = join(dir, `tone${u}.wav`);
    writeFileSync(file, toneWav(0.6));
    const before = await page.evaluate(() => window.veverPage.spokeAt);
    await (await page.$("#wav")).uploadFile(file);
    spoke.push(await waitFor("the tone's speak request", () => page.evaluate(
      (b) => window.veverPage.spokeAt !== b && window.veverPage.spokeAt, before)));
    await sleep(1500);
  }
  const seen = await page.evaluate(async () => {
    const w = window.veverPage.watched;
    let playout = 0;
    (await window.veverPage.pc.getStats()).forEach((r) => {
      if (r.type === "media-playout") playout = r.totalPlayoutDelay / r.totalSamplesCount;
    });
    return { frames: w.frames, onsets: w.onsets, handed: w.handed, playout,
             latency: w.audio.outputLatency };
  });
  const lips = spoke.map((t, u) => {
    const first = firstSpeechFrame(seen.frames, t);
    const onset = seen.onsets.find((o) => o > t);
    const handed = seen.handed.find((o) => o > t) ?? NaN;
    assert.ok(first && first.received < t + 1500, `a speech frame for tone ${u}`);
    assert.ok(onset && onset < t + 1500, `the voice of tone ${u}`);
    return { offset: first.shown - onset, shown: first.shown - t, received: first.received - t,
             played: first.shown - handed - seen.playout * 1000 };
  });
  const col = (k) => lips.map((l) => l[k]);
  console.log(`[web] lips minus voice ${ms(col("offset"))} ms (median ${median(col("offset")).toFixed(0)});` +
              ` speak to first speech frame shown ${ms(col("shown"))} ms` +
              ` (median ${median(col("shown")).toFixed(0)}), received ${ms(col("received"))} ms` +
              ` (median ${median(col("received")).toFixed(0)}); WebAudio's output latency` +
              ` ${(seen.latency * 1000).toFixed(0)} ms; by Chrome's account of the voice's` +
              ` playout, lips minus voice ${ms(col("played"))} ms (median ${median(col("played")).toFixed(0)})`);
  // Loose bounds for a noisy machine: they catch voice and picture grossly
  // out of step (a voice sent with the wrong frames), not a few frames' drift.
  for (const l of lips) {
    assert.ok(Math.abs(l.offset) < 200, `lips and voice ${l.offset.toFixed(0)} ms apart`);
    assert.ok(l.shown < 1000, `first speech frame ${l.shown.toFixed(0)} ms after the request`);
    // The browser knows the voice's level only from the packets' level extension.
    assert.ok(Number.isFinite(l.played), "the browser saw no loud audio level on the voice");
  }

  // ---- time to the first speech frame shown: typed texts of 30 and 2000
  // characters, and PCM streamed in real time over /stream
  const firstShown = async (what, start, arg) => {
    await sleep(1200);
    const t = await page.evaluate(start, arg);
    await sleep(2500);
    const frames = await page.evaluate(() => window.veverPage.watched.frames);
    await page.evaluate(() => fetch("/interrupt", { method: "POST",
      body: JSON.stringify({ session: window.veverPage.session }) }));
    await waitFor("idle again", async () => (await stats())?.state === 0, 10000);
    const f = firstSpeechFrame(frames, t);
    assert.ok(f, `a speech frame for ${what}`);
    return f.shown - t;
  };
  const sayText = (text) => { speak({ text }); return window.veverPage.spokeAt; };
  const words = "One two three four five six seven eight nine ten. ";
  const short = await firstShown("30 characters", sayText, words.slice(0, 30));
  const long = await firstShown("2000 characters", sayText, words.repeat(40).slice(0, 2000));
  const streamed = await firstShown("/stream", async () => {
    const ws = new WebSocket(`ws://${location.host}/stream?session=${window.veverPage.session}`);
    await new Promise((resolve, reject) => { ws.onopen = resolve; ws.onerror = reject; });
    // A second of a loud tone in 40 ms messages, sent as a synthesiser would in real time.
    let k = 0;
    const t0 = performance.now();
    const send = () => {
      const pcm = new Int16Array(640);
      for (let i = 0; i < 640; i++)
        pcm[i] = Math.round(26000 * Math.sin(2 * Math.PI * 220 * (640 * k + i) / 16000));
      ws.send(pcm.buffer);
      if (++k < 25) setTimeout(send, t0 + 40 * k - performance.now());
      else ws.send(JSON.stringify({ type: "end" }));
    };
    send();
    return t0;
  });
  console.log(`[web] first speech frame shown: /speak 30 characters ${short.toFixed(0)} ms,` +
              ` 2000 characters ${long.toFixed(0)} ms; /stream first message ${streamed.toFixed(0)} ms`);
  // A long text starts as a short one does: its speech is pushed as it is made.
  assert.ok(long < short + 300, "a long text starts later than a short one");

  // ---- Microphone mode: chromium's fake microphone says a sentence in each
  // loop of its recording (1.5 s of silence, the sentence, 2 s of silence)
  await page.click("#mic");
  await waitFor("the microphone", () => page.evaluate(() => !!window.veverPage.mic), 10000);
  await page.evaluate(() => window.veverPage.watch());
  await sleep(15000);
  const mic = await page.evaluate(() => ({ frames: window.veverPage.watched.frames,
                                           onsets: window.veverPage.watched.micOnsets,
                                           voice: window.veverPage.watched.onsets }));
  const micSt = await stats();
  // A sentence's first word: the onsets of its later words find the mouth open already.
  const starts = mic.onsets.filter((t, i) => i === 0 || t - mic.onsets[i - 1] > 1500);
  const micLips = starts.map((t) => firstSpeechFrame(mic.frames, t)?.shown - t)
    .filter(Number.isFinite);
  console.log(`[web] microphone: ${starts.length} sentences heard, ` +
              `${micSt.microphone.utterances} utterances; sentence onset to mouth open ` +
              `${ms(micLips)} ms (median ${median(micLips)?.toFixed(0)})`);
  assert.ok(micSt.microphone.utterances >= 2, "the microphone's speech starts utterances");
  // The short pause inside a sentence is spoken through, not a new start.
  assert.ok(micSt.microphone.utterances <= starts.length + 1,
            `${micSt.microphone.utterances} utterances for ${starts.length} sentences`);
  assert.equal(mic.voice.length, 0, "the visitor heard the avatar say their own words");
  assert.ok(micLips.length >= 2, "the mouth opens after the visitor's words");
  for (const l of micLips) assert.ok(l < 2000, `the mouth opens ${l.toFixed(0)} ms after the word`);
  await page.click("#mic");
  await waitFor("the microphone off", () => page.evaluate(() => !window.veverPage.mic), 10000);

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
