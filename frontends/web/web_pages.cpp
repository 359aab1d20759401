#include "frontends/web/web_pages.h"

namespace ipcam {

namespace {

const std::string kStyle = R"CSS(
* { box-sizing: border-box; }
body { margin: 0; font: 15px/1.4 system-ui, sans-serif; background: #f3f4f6; color: #111; }
header { display: flex; flex-wrap: wrap; gap: .3em; align-items: center; background: #1f2937; padding: .4em .6em; }
header b { color: #fff; margin-right: auto; }
header a, header button { color: #e5e7eb; text-decoration: none; padding: .3em .6em; border-radius: 4px;
  background: none; border: 0; font: inherit; cursor: pointer; }
header a.on { background: #374151; color: #fff; }
main { padding: .8em; max-width: 1000px; margin: auto; }
section { display: none; } section.on { display: block; }
.card { background: #fff; border-radius: 6px; padding: .8em; margin-bottom: .8em; box-shadow: 0 1px 2px #0002; }
#live img, #live video, #player img, #player video { width: 100%; max-width: 640px; background: #000; display: block; }
#live img[hidden], #live video[hidden] { display: none; }
table { border-collapse: collapse; width: 100%; }
td, th { text-align: left; padding: .25em .4em; border-bottom: 1px solid #e5e7eb; vertical-align: top; }
button.act { padding: .5em 1.1em; margin: .2em .3em .2em 0; border: 1px solid #9ca3af; border-radius: 4px;
  background: #fff; font: inherit; cursor: pointer; }
button.act:hover { background: #e5e7eb; }
label { display: block; margin: .4em 0 .1em; font-weight: 600; }
input[type=text], input[type=password], input[type=number], select { width: 100%; max-width: 28em; padding: .35em;
  font: inherit; }
.grid { overflow-x: auto; } .grid td { padding: 0 1px; border: 0; text-align: center; font-size: 11px; }
.problem { color: #b91c1c; font-weight: 600; } .note { color: #6b7280; }
pre { white-space: pre-wrap; word-break: break-all; font-size: 12px; background: #111; color: #ddd; padding: .6em; }
form.signin { max-width: 22em; margin: 4em auto; }
form.signin input { max-width: none; }
input[type=range] { width: 100%; max-width: 640px; }
@media (max-width: 600px) { td, th { font-size: 13px; } main { padding: .4em; } }
)CSS";

const std::string kSignInHead = R"HTML(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><meta name="viewport" content="width=device-width, initial-scale=1">
<title>IPCam Recorder - sign in</title><link rel="stylesheet" href="/style.css"></head>
<body><header><b>IPCam Recorder</b></header>
<form class="signin card" method="post" action="/signin">
<h2>Sign in</h2>
)HTML";

const std::string kSignInTail = R"HTML(<label for="user">User</label><input type="text" id="user" name="user" autocomplete="username" required>
<label for="password">Password</label><input type="password" id="password" name="password" autocomplete="current-password" required>
<p><button class="act" type="submit">Sign in</button></p>
</form></body></html>
)HTML";

const std::string kApp = R"HTML(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><meta name="viewport" content="width=device-width, initial-scale=1">
<title>IPCam Recorder</title><link rel="stylesheet" href="/style.css"><script src="/app.js" defer></script></head>
<body><header><b>IPCam Recorder</b>
<a href="#live" id="nav-live">Live</a><a href="#recordings" id="nav-recordings">Recordings</a>
<a href="#settings" id="nav-settings">Settings</a><a href="#log" id="nav-log">Log</a>
<button id="signout" type="button">Sign out</button></header>
<main>
<section id="live">
 <div class="card"><img id="live-picture" alt="Live picture"><video id="live-video" muted autoplay playsinline hidden></video></div>
 <div class="card">
  <button class="act" id="do-record" type="button">Record</button>
  <button class="act" id="do-stop" type="button">Stop</button>
  <button class="act" id="do-reload" type="button">Reload</button>
  <span id="command-note" class="note"></span>
  <table><tbody>
   <tr><th>Camera</th><td id="st-camera"></td></tr>
   <tr><th>Link</th><td id="st-link"></td></tr>
   <tr><th>Recording</th><td id="st-recording"></td></tr>
   <tr><th>Pictures</th><td id="st-pictures"></td></tr>
   <tr><th>Seconds</th><td id="st-seconds"></td></tr>
   <tr><th>Free space</th><td id="st-free"></td></tr>
  </tbody></table>
 </div>
</section>
<section id="recordings">
 <div class="card" id="player" hidden>
  <div id="player-name"></div><div id="player-view"></div>
  <input type="range" id="player-seek" min="0" value="0">
  <button class="act" id="player-play" type="button">Pause</button> <span id="player-time" class="note"></span>
 </div>
 <div class="card"><label for="rec-filter">Show</label>
  <select id="rec-filter"><option value="">All</option><option value="Alarm">Motion (alarm)</option>
  <option value="Timed">Manual and daily</option></select>
  <div id="rec-list"></div></div>
</section>
<section id="settings"><form class="card" id="settings-form"><div id="settings-fields"></div>
 <p id="settings-problem" class="problem"></p><p><button class="act" type="submit">Save</button></p></form></section>
<section id="log"><div class="card"><button class="act" id="log-refresh" type="button">Refresh</button><pre id="log-lines"></pre></div></section>
</main></body></html>
)HTML";

const std::string kScript = R"JS('use strict';
let csrf = '';
const $ = (id) => document.getElementById(id);
async function api(path, options) {
  const o = Object.assign({ credentials: 'same-origin', headers: {} }, options || {});
  if (o.method && o.method !== 'GET') o.headers['X-CSRF-Token'] = csrf;
  const r = await fetch(path, o);
  if (r.status === 401) { location.href = '/signin'; throw new Error('signed out'); }
  return r;
}
function megabytes(bytes) { return bytes < 0 ? 'unknown' : (bytes / 1048576).toFixed(0) + ' MB'; }
function text(el, t) { el.textContent = t; }

async function refreshStatus() {
  try {
    const s = await (await api('/api/status')).json();
    text($('st-camera'), (s.cameraTitle ? s.cameraTitle + ' ' : '') + (s.cameraHost || ''));
    text($('st-link'), s.link + (s.linkText ? ' - ' + s.linkText : ''));
    text($('st-recording'), s.recordingKind ? s.recordingKindName + ' ' + s.recordingFile : 'not recording');
    text($('st-pictures'), s.recordingKind ? s.recordingPictures : '');
    text($('st-seconds'), s.recordingKind ? s.recordingSeconds : '');
    text($('st-free'), megabytes(s.freeBytes));
    // The live video came, went or changed its codec: the live view follows.
    if (live && live.codec !== undefined && live.codec !== (s.liveVideo || '')) { stopLive(); startLive(); }
  } catch (e) { /* shown again on the next tick */ }
}
async function command(name) {
  const r = await api('/api/' + name, { method: 'POST' });
  text($('command-note'), r.ok ? name + ' sent' : name + ' refused');
  setTimeout(refreshStatus, 300);
}

function formatSeconds(s) { s = Math.floor(s); return Math.floor(s / 60) + ':' + String(s % 60).padStart(2, '0'); }
let player = null;
function stopPlayer() {
  if (player) {
    clearTimeout(player.timer);
    if (player.video) { player.video.pause(); player.video.removeAttribute('src'); player.video.load(); }
    player = null;
  }
  $('player-view').replaceChildren();
}
const playProblems = {
  415: 'This recording is H.265 video, which this browser cannot play. Download it to play it in a video player.',
  409: 'This recording is still being written: it can be played once it is finished.',
  404: 'The recording is no longer there.' };
// An MKV recording: remuxed by the server from the key frame before the
// slider's time; the video starts at 0 there, so the time shown is the
// start the server found plus the video's own time.
function playVideo(rec) {
  const seek = $('player-seek'), button = $('player-play');
  const v = document.createElement('video');
  v.playsInline = true; $('player-view').append(v);
  const p = player = { rec, video: v, start: 0, timer: 0 };
  seek.max = Math.max(0, rec.duration || 0); seek.step = 1; seek.value = 0;
  const hevc = v.canPlayType('video/mp4; codecs="hvc1.1.6.L93.B0"') ? '&hevc=1' : '';
  function showTime(at) { text($('player-time'), formatSeconds(at) + ' / ' + formatSeconds(rec.duration || 0)); }
  function problem(message) {
    const box = document.createElement('p'); box.className = 'problem'; box.id = 'player-problem';
    const a = document.createElement('a'); a.href = '/api/recordings/' + rec.name + '?download=1'; a.textContent = 'Download';
    box.append(message + ' ', a);
    v.pause(); v.removeAttribute('src'); v.load();
    $('player-view').replaceChildren(box);
    seek.hidden = true; button.hidden = true; text($('player-time'), '');
  }
  async function load(at) {
    const url = '/api/play/' + rec.name + '?start=' + Math.max(0, Math.floor(at)) + hevc;
    const asked = p.asked = (p.asked || 0) + 1;  // the newest position asked for wins
    let r;
    try { r = await api(url, { method: 'HEAD' }); } catch (e) { return; }
    if (player !== p || asked !== p.asked) return;
    if (!r.ok) {
      problem(playProblems[r.status] || 'This recording cannot be played here; it can still be downloaded.');
      return;
    }
    p.start = Number(r.headers.get('X-Start-Seconds')) || 0;
    showTime(p.start);
    v.src = url;
    v.play().catch(() => text(button, 'Play'));
    text(button, 'Pause');
  }
  v.ontimeupdate = () => {
    if (player !== p || p.seeking) return;
    seek.value = p.start + v.currentTime;
    showTime(p.start + v.currentTime);
  };
  v.onended = () => text(button, 'Play');
  // The server ends a connection the browser leaves unread for long (a long
  // pause): the video goes on from where it was with a new one.
  v.onerror = () => {
    if (player !== p || !v.getAttribute('src')) return;
    if (v.currentTime > 0 && !p.retried) { p.retried = true; load(p.start + v.currentTime); return; }
    problem('This browser cannot play this recording.');
  };
  v.onplaying = () => { p.retried = false; };
  seek.oninput = () => { p.seeking = true; showTime(Number(seek.value)); };
  seek.onchange = () => { p.seeking = false; load(Number(seek.value)); };
  button.onclick = () => {
    if (v.ended) { load(0); return; }
    if (!v.paused) { v.pause(); p.pausedAt = Date.now(); text(button, 'Play'); return; }
    if (Date.now() - (p.pausedAt || 0) > 20000) load(p.start + v.currentTime);
    else { v.play().catch(() => {}); text(button, 'Pause'); }
  };
  load(0);
}
function play(rec) {
  stopPlayer();
  $('player').hidden = false;
  text($('player-name'), rec.name);
  const seek = $('player-seek');
  seek.hidden = false; $('player-play').hidden = false;
  if (rec.format === 'MKV') { playVideo(rec); return; }
  const img = document.createElement('img'); $('player-view').append(img);
  const p = player = { rec, n: 0, playing: true, timer: 0, img };
  seek.max = Math.max(0, (rec.pictures || 1) - 1); seek.value = 0;
  const interval = rec.intervalMs > 0 ? rec.intervalMs : 200;
  function show() {
    if (player !== p) return;
    const started = Date.now();
    img.onload = img.onerror = () => {
      if (player !== p) return;
      seek.value = p.n;
      text($('player-time'), formatSeconds(p.n * interval / 1000) + ' / ' + formatSeconds(rec.duration || 0));
      if (p.playing && p.n + 1 < (rec.pictures || 0)) {
        p.n += 1; p.timer = setTimeout(show, Math.max(0, interval - (Date.now() - started)));
      } else if (p.n + 1 >= (rec.pictures || 0)) { p.playing = false; text($('player-play'), 'Play'); }
    };
    img.src = '/api/picture/' + rec.name + '?n=' + p.n;
  }
  seek.oninput = () => { clearTimeout(p.timer); p.n = Number(seek.value); show(); };
  seek.onchange = null;
  $('player-play').onclick = () => {
    p.playing = !p.playing; text($('player-play'), p.playing ? 'Pause' : 'Play');
    clearTimeout(p.timer);
    if (p.playing) { if (p.n + 1 >= (rec.pictures || 0)) p.n = 0; show(); }
  };
  text($('player-play'), 'Pause');
  show();
}
async function refreshRecordings() {
  const list = await (await api('/api/recordings')).json();
  const filter = $('rec-filter').value;
  const box = $('rec-list'); box.replaceChildren();
  let day = null, table = null;
  for (const rec of list) {
    if (filter && rec.kind !== filter) continue;
    if (rec.day !== day) {
      day = rec.day;
      const h = document.createElement('h3');
      h.textContent = day.slice(0, 4) + '-' + day.slice(4, 6) + '-' + day.slice(6, 8);
      table = document.createElement('table'); box.append(h, table);
    }
    const tr = table.insertRow();
    const t = rec.name.split('/')[1];
    tr.insertCell().textContent = t.slice(0, 2) + ':' + t.slice(2, 4) + ':' + t.slice(4, 6);
    tr.insertCell().textContent = rec.kind === 'Alarm' ? 'Motion' : 'Timed';
    tr.insertCell().textContent = rec.duration !== undefined ? formatSeconds(rec.duration) : '';
    tr.insertCell().textContent = (rec.size / 1048576).toFixed(1) + ' MB';
    const actions = tr.insertCell();
    const b = document.createElement('button'); b.className = 'act'; b.type = 'button'; b.textContent = 'Play';
    b.onclick = () => play(rec);
    const a = document.createElement('a'); a.href = '/api/recordings/' + rec.name + '?download=1'; a.textContent = 'Download';
    actions.append(b, ' ', a);
  }
  if (!box.childElementCount) box.textContent = 'No recordings.';
}

const choices = {
  Resolution: ['640 x 480', '320 x 240', '160 x 120'], Frequency: ['50 Hz', '60 Hz'],
  Quality: ['High', 'Middle', 'Low'], Brightness: ['High', 'Middle', 'Low'], Orientation: ['Normal', 'Upside Down'] };
const switches = ['Motion_Detection_Enabled', 'Alarm_Email_Enabled', 'SMTP_Auth_Enabled'];
const captions = {
  Camera_URL: 'Camera URL (empty: the legacy camera below)',
  Camera_Preview_URL: 'Preview URL (empty: the preview comes from the camera URL)',
  Camera_Snapshot_Rate: 'Pictures a second (a camera that answers one picture a request)',
  Host_Addr: 'Camera address', Host_Port: 'Camera port',
  IPCAM_Password: 'Camera password', AVI_Directory: 'Recording folder', Motion_Detection_Enabled: 'Motion detection',
  Motion_sensitivity: 'Motion sensitivity (0-10)', Motion_Preroll_Seconds: 'Pre-record seconds',
  Keep_Days: 'Days to keep recordings (0 = only when the disk runs short)', Resolution: 'Resolution',
  Frequency: 'Frequency', Quality: 'Quality', Brightness: 'Brightness', Orientation: 'Orientation',
  Alarm_Email_Enabled: 'Alarm e-mail', SMTP_Server: 'SMTP Server', SMTP_Sender: 'Sender(From)',
  SMTP_Receiver: 'Receiver(To)', SMTP_Copy: 'Copy(Cc)', SMTP_EmailAccount: 'Email Account',
  SMTP_EmailPassword: 'Email Password', SMTP_Auth_Enabled: 'SMTP authentication' };
const passwords = ['IPCAM_Password', 'SMTP_EmailPassword'];
const numbers = ['Host_Port', 'Motion_sensitivity', 'Motion_Preroll_Seconds', 'Keep_Days', 'Camera_Snapshot_Rate'];
async function loadSettings() {
  const s = await (await api('/api/settings')).json();
  const box = $('settings-fields'); box.replaceChildren();
  text($('settings-problem'), '');
  for (const key of Object.keys(captions)) {
    const label = document.createElement('label'); label.htmlFor = 'f-' + key; label.textContent = captions[key];
    let input;
    if (choices[key]) {
      input = document.createElement('select');
      choices[key].forEach((c, i) => input.add(new Option(c, i)));
      input.value = s[key];
    } else if (switches.includes(key)) {
      input = document.createElement('input'); input.type = 'checkbox'; input.checked = !!s[key];
    } else {
      input = document.createElement('input');
      input.type = passwords.includes(key) ? 'password' : 'text';
      if (passwords.includes(key)) { input.placeholder = 'unchanged'; input.autocomplete = 'new-password'; }
      else input.value = s[key];
    }
    input.id = 'f-' + key; input.name = key;
    box.append(label, input);
  }
  const h = document.createElement('label'); h.textContent = 'Daily recording hours'; box.append(h);
  const grid = document.createElement('div'); grid.className = 'grid';
  const t = document.createElement('table'); grid.append(t); box.append(grid);
  const head = t.insertRow(); head.insertCell();
  for (let hr = 0; hr < 24; ++hr) head.insertCell().textContent = hr;
  ['Sun', 'Mon', 'Tue', 'Wed', 'Thu', 'Fri', 'Sat'].forEach((d, di) => {
    const row = t.insertRow(); row.insertCell().textContent = d;
    for (let hr = 0; hr < 24; ++hr) {
      const c = document.createElement('input'); c.type = 'checkbox'; c.checked = !!s.Schedule[di][hr];
      c.dataset.day = di; c.dataset.hour = hr; c.className = 'hour'; c.title = d + ' ' + hr + ':00';
      row.insertCell().append(c);
    }
  });
  const note = document.createElement('p'); note.className = 'note';
  note.textContent = 'Web page: ' + (s.Web_Address || '') + ', user ' + (s.Web_User || '') +
    ' (changed in the settings file and with --set-web-password).';
  box.append(note);
}
async function saveSettings(event) {
  event.preventDefault();
  const out = {};
  for (const key of Object.keys(captions)) {
    const el = $('f-' + key);
    if (choices[key]) out[key] = Number(el.value);
    else if (switches.includes(key)) out[key] = el.checked ? 1 : 0;
    else if (passwords.includes(key)) out[key] = el.value === '' ? null : el.value;
    else if (key === 'Host_Port' || key === 'Motion_sensitivity') out[key] = Number(el.value);
    else out[key] = el.value;
  }
  const schedule = [...Array(7)].map(() => Array(24).fill(0));
  document.querySelectorAll('input.hour').forEach((c) => { schedule[c.dataset.day][c.dataset.hour] = c.checked ? 1 : 0; });
  out.Schedule = schedule;
  const r = await api('/api/settings', { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(out) });
  const answer = await r.json();
  if (r.ok) { await loadSettings(); text($('settings-problem'), 'Saved.'); return; }
  text($('settings-problem'), answer.text || answer.error || 'Not saved.');
  const field = answer.field && $('f-' + answer.field);
  if (field) field.focus();
}
async function refreshLog() {
  const r = await (await api('/api/log')).json();
  text($('log-lines'), r.lines.join('\n'));
}

// Live: an RTSP camera's video as fragmented MP4 through Media Source
// Extensions where the browser decodes its codec, else the camera's (or the
// preview's) JPEG pictures. The buffer is kept short and played at its live edge.
let live = null;
function stopLive() {
  if (live) { live.stopped = true; live.abort.abort(); clearTimeout(live.retry); live = null; }
  const v = $('live-video');
  if (v.getAttribute('src')) { v.removeAttribute('src'); v.load(); }
  $('live-picture').removeAttribute('src');
}
function showPictures() {
  $('live-video').hidden = true;
  const img = $('live-picture');
  img.hidden = false;
  if (!img.getAttribute('src')) img.src = '/api/live.mjpeg';
}
async function startLive() {
  const me = live = { stopped: false, abort: new AbortController(), retry: 0, codec: undefined };
  let codec = '';
  try { codec = (await (await api('/api/status')).json()).liveVideo || ''; } catch (e) { /* pictures then */ }
  if (me.stopped) return;
  me.codec = codec;
  const type = 'video/mp4; codecs="' + codec + '"';
  if (!codec || !window.MediaSource || !MediaSource.isTypeSupported(type)) { showPictures(); return; }
  const video = $('live-video'), img = $('live-picture');
  img.hidden = true; img.removeAttribute('src'); video.hidden = false;
  const source = new MediaSource();
  video.src = URL.createObjectURL(source);
  await new Promise((resolve) => source.addEventListener('sourceopen', resolve, { once: true }));
  if (me.stopped) return;
  const buffer = source.addSourceBuffer(type);
  const chunks = [];
  const pump = () => {
    if (me.stopped || buffer.updating || source.readyState !== 'open') return;
    const b = buffer.buffered;
    if (b.length) {
      const end = b.end(b.length - 1);
      if (end - video.currentTime > 2 || video.currentTime < b.start(b.length - 1)) video.currentTime = Math.max(b.start(b.length - 1), end - 0.3);
      if (video.currentTime - b.start(0) > 30) { buffer.remove(b.start(0), video.currentTime - 10); return; }
    }
    if (chunks.length) { buffer.appendBuffer(chunks.shift()); video.play().catch(() => {}); }
  };
  buffer.addEventListener('updateend', pump);
  try {
    const r = await api('/api/live.mp4', { signal: me.abort.signal });
    if (!r.ok) throw new Error('no live video');
    const reader = r.body.getReader();
    for (;;) {
      const { done, value } = await reader.read();
      if (done || me.stopped) break;
      chunks.push(value);
      if (chunks.length > 300) break;  // the browser does not keep up: begin anew
      pump();
    }
  } catch (e) { /* asked anew below */ }
  if (me.stopped) return;
  // The stream ended (the camera connected anew, the server went): again shortly.
  me.abort.abort();
  me.retry = setTimeout(() => { if (live === me) { stopLive(); startLive(); } }, 1000);
}

let statusTimer = 0;
function show() {
  const name = (location.hash || '#live').slice(1);
  for (const s of document.querySelectorAll('section')) s.classList.toggle('on', s.id === name);
  for (const a of document.querySelectorAll('header a')) a.classList.toggle('on', a.id === 'nav-' + name);
  if (name === 'live') { if (!live) startLive(); } else stopLive();
  if (name !== 'recordings') stopPlayer();
  if (name === 'recordings') refreshRecordings();
  if (name === 'settings') loadSettings();
  if (name === 'log') refreshLog();
}
async function start() {
  const s = await (await api('/api/session')).json();
  csrf = s.csrf;
  $('do-record').onclick = () => command('record');
  $('do-stop').onclick = () => command('stop');
  $('do-reload').onclick = () => command('reload');
  $('rec-filter').onchange = refreshRecordings;
  $('settings-form').onsubmit = saveSettings;
  $('log-refresh').onclick = refreshLog;
  $('signout').onclick = async () => { await api('/signout', { method: 'POST' }); location.href = '/signin'; };
  window.addEventListener('hashchange', show);
  show();
  refreshStatus();
  statusTimer = setInterval(refreshStatus, 2000);
}
start();
)JS";

}  // namespace

std::string webSignInPage(bool failed) {
    return kSignInHead + (failed ? "<p class=\"problem\" id=\"failed\">Wrong user name or password.</p>\n" : "") +
           kSignInTail;
}
const std::string& webAppPage() { return kApp; }
const std::string& webAppScript() { return kScript; }
const std::string& webStyleSheet() { return kStyle; }

}  // namespace ipcam
