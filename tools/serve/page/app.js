// The live page of `ka serve`: plays the server's stream (H.264 frames through WebCodecs,
// each frame's 40 ms of sound through Web Audio) on the audio clock, and sends what the
// person says: typed text, the microphone, or a speech file.
//
// Picture and sound share one clock: every frame is given a time on the AudioContext's
// clock when it arrives; its sound is scheduled at that time and its picture is drawn
// when the sound actually leaving the speakers (getOutputTimestamp) reaches it. The
// jitter buffer is the lead between arrival and that time: it starts small and grows
// only when a frame arrives too late to be played in step.
'use strict';
(() => {
  const FRAME_S = 0.04;          // one frame, 25 fps
  const RATE = 16000;            // the stream's and the server's audio rate
  const HEADER = 40;             // binary frame header bytes
  const LEAD_START = 0.06;       // jitter buffer at start (1.5 frames)
  const LEAD_MIN = 0.04;
  const LEAD_MAX = 0.2;
  const LEAD_STEP = 0.02;        // added on every late frame
  const LEAD_EASE = 0.01;        // taken off after every LEAD_CALM seconds without one
  const LEAD_CALM = 2;
  const LATE_AGAIN = 10;         // a late frame deepens the buffer only if one came this recently
  const MARGIN = 0.01;           // audio scheduled closer than this to "now" starts late
  const SLACK = 0.12;            // beyond lead + SLACK a frame is dropped to catch up
  const READY_MAX = 12;          // decoded frames kept waiting (a hidden tab paints none)
  const LOG_MAX = 6000;          // painted-frame records kept for window.kaLive.log

  const $ = (id) => document.getElementById(id);
  const canvas = $('picture');
  const g = canvas.getContext('2d', { alpha: false });
  // The mouth region is read back every frame: a small canvas kept on the CPU.
  const probe = document.createElement('canvas');
  probe.width = 48; probe.height = 24;
  const pg = probe.getContext('2d', { willReadFrequently: true });

  // Everything a test or a curious person may read, live.
  const live = window.kaLive = {
    connected: false, hello: null, stats: null, state: 'idle',
    framesReceived: 0, framesPainted: 0, paintedFps: 0, keyFrames: 0, decoderErrors: 0,
    skippedBeforeKey: 0, missing: 0, dropped: 0, paintSkipped: 0, underruns: 0, leadMs: LEAD_START * 1000,
    queued: 0, glassToGlassMs: null, serverFirstFrameMs: null, avOffsetMs: null,
    mouthChange: 0, level: 0, kind: null, utterance: 0, talking: null,
    lastError: null, errors: [], utterances: {}, log: [], audio: 'off',
  };

  const paintTimes = [], recvTimes = [], avSamples = [], recent = [];

  // ------------------------------------------------------------------ errors
  function problem(text, code) {
    live.lastError = code ? `${code}: ${text}` : text;
    live.errors.push({ at: Date.now(), code: code || null, text });
    if (live.errors.length > 50) live.errors.shift();
    const box = $('errors');
    const p = document.createElement('p');
    p.textContent = text;
    const x = document.createElement('button');
    x.type = 'button'; x.textContent = '×'; x.title = 'Dismiss';
    x.onclick = () => p.remove();
    p.append(x);
    box.prepend(p);
    while (box.children.length > 3) box.lastChild.remove();
    setTimeout(() => p.remove(), 15000);
  }
  const hint = (t) => { $('hint').textContent = t || ''; };

  if (!window.isSecureContext || typeof VideoDecoder === 'undefined') {
    problem('This browser cannot decode the live picture here: WebCodecs needs a recent Chromium ' +
            'and a page opened as http://localhost or http://127.0.0.1 (or over https).');
  }

  // ------------------------------------------------------------------ sound and the clock
  let actx = null, analyser = null, outGain = null, levelBuf = null;
  let epoch = 0;                 // bumped when the clock changes; older times are void

  function ensureAudio() {
    if (!actx) {
      try {
        actx = new AudioContext({ sampleRate: RATE, latencyHint: 'interactive' });
      } catch (e) {
        actx = new AudioContext({ latencyHint: 'interactive' });
      }
      analyser = actx.createAnalyser();
      analyser.fftSize = 1024;
      levelBuf = new Float32Array(analyser.fftSize);
      outGain = actx.createGain();
      analyser.connect(outGain);
      outGain.connect(actx.destination);
      actx.onstatechange = () => { resetClock(); showSoundButton(); };
    }
    if (actx.state === 'suspended') actx.resume().catch(() => {});
    showSoundButton();
  }
  function showSoundButton() {
    live.audio = actx ? actx.state : 'off';
    $('sound').hidden = !!actx && actx.state === 'running';
  }
  const audioOn = () => !!actx && actx.state === 'running';

  // The time frames are scheduled on: the audio graph's clock, or the page's own while
  // the sound is not running (the picture still plays).
  function schedNow() { return audioOn() ? actx.currentTime : performance.now() / 1000; }
  // The time of the sound reaching the speakers now, on the same clock.
  function audibleNow() {
    if (!audioOn()) return performance.now() / 1000;
    const ts = actx.getOutputTimestamp ? actx.getOutputTimestamp() : null;
    if (ts && ts.contextTime > 0 && ts.performanceTime > 0) {
      return ts.contextTime + (performance.now() - ts.performanceTime) / 1000;
    }
    return actx.currentTime - (actx.outputLatency || 0) - (actx.baseLatency || 0);
  }

  function playSound(pcm, at) {
    if (!audioOn() || pcm.length === 0) return;
    const buf = actx.createBuffer(1, pcm.length, RATE);
    const ch = buf.getChannelData(0);
    for (let i = 0; i < pcm.length; i++) ch[i] = pcm[i] / 32768;
    const src = actx.createBufferSource();
    src.buffer = buf;
    src.connect(analyser);
    src.start(at);
  }

  // ------------------------------------------------------------------ picture
  let decoder = null, needKey = true, lastSeq = null;
  let nextTime = null, lead = LEAD_START, lastEase = 0, lastLate = -Infinity;
  let minAhead = Infinity, aheadCount = 0;   // the buffer's low point over the last second
  const pending = new Map();     // pts -> frame facts, until decoded
  const ready = [];              // decoded frames waiting for their time

  function resetClock() {
    epoch++;
    avSamples.length = 0;
    live.avOffsetMs = null;
    nextTime = null;
    for (const r of ready) r.frame.close();
    ready.length = 0;
  }

  function makeDecoder() {
    closeDecoder();
    decoder = new VideoDecoder({
      output: onDecoded,
      error: (e) => {
        live.decoderErrors++;
        problem(`The picture could not be decoded (${e.message}); reconnecting for a fresh key frame.`);
        decoder = null;
        needKey = true;
        if (ws) ws.close(4000, 'decoder error');
      },
    });
    // Annex B access units: no description, the parameter sets come with each key frame.
    decoder.configure({ codec: live.hello.codec, optimizeForLatency: true });
    needKey = true;
  }
  function closeDecoder() {
    if (decoder && decoder.state !== 'closed') { try { decoder.close(); } catch (e) { /* closed */ } }
    decoder = null;
    pending.clear();
    resetClock();
  }

  function onFrame(buf) {
    if (buf.byteLength < HEADER) return problem('The server sent a frame too short to read.');
    const dv = new DataView(buf);
    if (dv.getUint8(0) !== 1) return;
    const kind = dv.getUint8(1), key = (dv.getUint8(2) & 1) === 1, utt = dv.getUint32(4, true);
    const seq = Number(dv.getBigInt64(8, true)), pts = Number(dv.getBigInt64(16, true));
    const takenMs = dv.getFloat64(24, true);
    const vbytes = dv.getUint32(32, true), samples = dv.getUint32(36, true);
    if (HEADER + vbytes + 2 * samples > buf.byteLength) {
      return problem('The server sent a frame shorter than its header says.');
    }
    const recvMs = Date.now();
    // Frames the server took from the session but this page never got.
    if (lastSeq !== null && seq > lastSeq + 1) live.missing += seq - lastSeq - 1;
    lastSeq = seq;
    live.framesReceived++;
    recvTimes.push(performance.now());
    recent.push(performance.now());
    while (recent[0] < recent[recent.length - 1] - 5000) recent.shift();
    if (key) live.keyFrames++;
    if (!live.hello || typeof VideoDecoder === 'undefined') return;
    if (!decoder || decoder.state === 'closed') {
      if (!key) { live.skippedBeforeKey++; return; }
      makeDecoder();
    }
    if (needKey) {
      if (!key) { live.skippedBeforeKey++; return; }
      needKey = false;
    }

    // Place the frame on the clock.
    const now = schedNow();
    let t = nextTime, drop = false;
    if (t === null || t < now + MARGIN) {
      if (t !== null) {
        live.underruns++;
        // A deeper buffer absorbs jitter, but not a server that renders fewer than 25
        // frames a second: that gap comes back however deep the buffer is, and a deeper
        // buffer would only add latency.
        // A single late frame (a pause of the page's own) is not worth latency for good.
        if (!shortOfFrames() && now - lastLate < LATE_AGAIN) lead = Math.min(lead + LEAD_STEP, LEAD_MAX);
        lastLate = lastEase = now;
      }
      t = now + lead;
      minAhead = Infinity; aheadCount = 0;
    } else {
      // A burst after a stall leaves the buffer deeper than it needs to be. A silent
      // frame (idle, or a pause between words) can be left out unheard once the buffer
      // has stayed half a frame too deep for ten frames, so the delay comes back down
      // within a sentence and speech starts on a shallow buffer. Frames with sound are
      // left out only when far too deep.
      const ahead = t - now;
      minAhead = Math.min(minAhead, ahead);
      if (++aheadCount >= 10) {
        if (minAhead > lead + 0.5 * FRAME_S && quiet(dv, HEADER + vbytes, samples)) drop = true;
        if (!drop) { minAhead = Infinity; aheadCount = 0; }
      }
      if (ahead > lead + SLACK) drop = true;
      if (drop) { live.dropped++; minAhead = Infinity; aheadCount = 0; }
    }
    if (!drop) {
      nextTime = t + FRAME_S;
      if (now - lastEase > LEAD_CALM && lead > LEAD_MIN) { lead = Math.max(LEAD_MIN, lead - LEAD_EASE); lastEase = now; }
      live.leadMs = Math.round(lead * 1000);
      const pcm = new Int16Array(buf.slice(HEADER + vbytes, HEADER + vbytes + 2 * samples));
      playSound(pcm, t);
    }
    pending.set(pts, { t, epoch, seq, kind, utt, takenMs, recvMs, drop, aheadMs: (t - now) * 1000 });
    try {
      decoder.decode(new EncodedVideoChunk({
        type: key ? 'key' : 'delta', timestamp: pts, data: new Uint8Array(buf, HEADER, vbytes),
      }));
    } catch (e) {
      live.decoderErrors++;
      problem(`The picture could not be decoded (${e.message}).`);
      needKey = true;
    }
  }

  // The frame's sound is below -50 dBFS (about 100 in 16-bit samples, RMS).
  function quiet(dv, off, n) {
    let e = 0;
    for (let i = 0; i < n; i++) { const v = dv.getInt16(off + 2 * i, true); e += v * v; }
    return n === 0 || e / n < 100 * 100;
  }

  // Fewer than 24 frames a second arrived over the last five seconds.
  function shortOfFrames() {
    return recent.length > 0 && performance.now() - recent[0] > 4500 && recent.length < 120;
  }

  function onDecoded(frame) {
    const m = pending.get(frame.timestamp);
    pending.delete(frame.timestamp);
    if (!m || m.drop) { frame.close(); return; }
    if (m.epoch !== epoch) m.t = -Infinity;  // the clock changed: show it at once
    m.frame = frame;
    ready.push(m);
    while (ready.length > READY_MAX) { ready.shift().frame.close(); live.paintSkipped++; }
  }

  // ------------------------------------------------------------------ painting
  let prevMouth = null;

  function mouthRegion() {
    // The face sits in the middle of the picture; its mouth in the lower middle.
    const w = canvas.width, h = canvas.height;
    return [Math.round(w * 0.36), Math.round(h * 0.52), Math.round(w * 0.28), Math.round(h * 0.2)];
  }

  function paint(m, audible) {
    g.drawImage(m.frame, 0, 0, canvas.width, canvas.height);
    m.frame.close();
    // Read back what was painted, not what was decoded.
    const [mx, my, mw, mh] = mouthRegion();
    pg.drawImage(canvas, mx, my, mw, mh, 0, 0, probe.width, probe.height);
    const px = pg.getImageData(0, 0, probe.width, probe.height).data;
    let change = 0;
    if (prevMouth) {
      let s = 0;
      for (let i = 0; i < px.length; i += 4) {
        s += Math.abs(px[i] - prevMouth[i]) + Math.abs(px[i + 1] - prevMouth[i + 1]) + Math.abs(px[i + 2] - prevMouth[i + 2]);
      }
      change = s / (3 * px.length / 4);
    }
    prevMouth = px;
    live.mouthChange = change;
    live.framesPainted++;
    const nowP = performance.now();
    paintTimes.push(nowP);
    const av = Number.isFinite(m.t) && audioOn() ? (audible - m.t) * 1000 : null;
    if (av !== null) {
      avSamples.push(av);
      if (avSamples.length > 50) avSamples.shift();
      live.avOffsetMs = avSamples.reduce((a, b) => a + b, 0) / avSamples.length;
    }
    const at = Date.now();
    live.kind = m.kind;
    live.utterance = m.utt;
    if (m.kind === 1 && m.utt) {
      const u = utterance(m.utt);
      if (!u.firstPaintMs) {
        u.firstPaintMs = at;
        u.firstRecvMs = m.recvMs;
        u.firstTakenMs = m.takenMs;
        if (u.pushMs) { u.glassToGlassMs = at - u.pushMs; live.glassToGlassMs = u.glassToGlassMs; }
        u.leadMs = live.leadMs;
        u.aheadMs = m.aheadMs;
        u.outputMs = audioOn() ? ((actx.outputLatency || 0) + (actx.baseLatency || 0)) * 1000 : 0;
      }
      u.paintedSpeech = (u.paintedSpeech || 0) + 1;
    }
    live.level = soundLevel();
    live.log.push({ at, seq: m.seq, kind: m.kind, utt: m.utt, mouth: change, level: live.level,
                    av, wait: at - m.recvMs });
    if (live.log.length > LOG_MAX) live.log.splice(0, live.log.length - LOG_MAX);
    $('kind').textContent = ['idle', 'speaking', 'ramp'][m.kind] || '—';
    $('kind').className = 'kind k' + m.kind;
  }

  function soundLevel() {
    if (!audioOn()) return 0;
    analyser.getFloatTimeDomainData(levelBuf);
    let s = 0;
    for (let i = 0; i < levelBuf.length; i++) s += levelBuf[i] * levelBuf[i];
    return Math.sqrt(s / levelBuf.length);
  }

  // The canvas reaches the screen at the next display refresh: a frame is drawn at the
  // animation frame whose refresh lands nearest to its sound (within half a refresh).
  let refresh = 1 / 60, lastTick = 0;
  function drain() {
    const audible = audibleNow() + refresh;   // the sound heard when this drawing shows
    let show = null;
    while (ready.length && ready[0].t <= audible + refresh / 2) {
      if (show) { show.frame.close(); live.paintSkipped++; }
      show = ready.shift();
    }
    if (show) paint(show, audible);
  }
  function tick(ts) {
    requestAnimationFrame(tick);
    if (lastTick && ts - lastTick < 100) refresh += ((ts - lastTick) / 1000 - refresh) * 0.05;
    lastTick = ts;
    drain();
  }
  requestAnimationFrame(tick);
  // A hidden tab gets no animation frames; keep the queue moving so the decoder never starves.
  setInterval(() => { if (document.hidden) drain(); }, 100);

  const perSecond = (times) => {
    const cut = performance.now() - 1000;
    while (times.length && times[0] < cut) times.shift();
    return times.length;
  };

  // ------------------------------------------------------------------ utterances
  function utterance(id) {
    if (!live.utterances[id]) live.utterances[id] = { id };
    return live.utterances[id];
  }

  // ------------------------------------------------------------------ connection
  let ws = null, retry = 500;
  // The server's access token came in this page's own address (ka serve prints it);
  // the stream opens only with it.
  const token = new URLSearchParams(location.search).get('token') || '';

  function connect() {
    if (!token) {
      setConn('Not connected: this address has no token', 'bad');
      problem('Open the address ka serve printed when it started: it ends in ?token=…');
      return;
    }
    const url = (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/live?token=' +
      encodeURIComponent(token);
    ws = new WebSocket(url);
    ws.binaryType = 'arraybuffer';
    ws.onopen = () => { live.connected = true; retry = 500; setConn('Connected', 'ok'); };
    ws.onmessage = (ev) => {
      if (typeof ev.data === 'string') onText(ev.data); else onFrame(ev.data);
    };
    ws.onclose = (ev) => {
      const was = live.connected;
      live.connected = false;
      ws = null;
      endTalk(false);
      closeDecoder();
      const why = ev.reason ? ` (${ev.reason})` : '';
      if (was && ev.code !== 4000) problem(`The connection to the server closed${why}.`);
      setConn(`Not connected${why}; trying again…`, 'bad');
      setTimeout(connect, retry);
      retry = Math.min(retry * 2, 5000);
    };
  }
  function setConn(text, cls) { const c = $('conn'); c.textContent = text; c.className = 'conn ' + (cls || ''); }
  function send(obj) {
    if (!ws || ws.readyState !== WebSocket.OPEN) { problem('Not connected to the server.'); return false; }
    ws.send(JSON.stringify(obj));
    return true;
  }
  function sendPcm(int16) {
    if (ws && ws.readyState === WebSocket.OPEN) ws.send(int16);
  }

  function onText(data) {
    let m;
    try { m = JSON.parse(data); } catch (e) { return problem('The server sent a message that is not JSON.'); }
    switch (m.type) {
      case 'hello':
        live.hello = m;
        if (canvas.width !== m.width || canvas.height !== m.height) {
          canvas.width = m.width; canvas.height = m.height;
        }
        prevMouth = null;
        lastSeq = null;
        closeDecoder();
        if (m.limits && m.limits.text_chars) $('text').maxLength = m.limits.text_chars;
        setConn('Connected', 'ok');
        break;
      case 'stats':
        live.stats = m;
        live.state = m.state;
        live.serverFirstFrameMs = m.first_frame_ms;
        break;
      case 'utterance': {
        const u = utterance(m.id);
        if (m.push_ms) u.pushMs = m.push_ms;
        if (m.event === 'start') u.startMs = Date.now();
        else if (m.event === 'first_frame') u.firstFrameMs = Date.now();
        else if (m.event === 'end') {
          u.endMs = Date.now();
          if (live.stats) u.sessionFirstFrameMs = live.stats.first_frame_ms;
        }
        break;
      }
      case 'talk':
        onTalk(m);
        break;
      case 'error':
        problem(m.message || m.code, m.code);
        if ((m.code === 'busy' || m.code === 'not_talker') && talk) endTalk(false);
        break;
      default:
        break;
    }
  }

  // ------------------------------------------------------------------ talking: mic and files
  // One way of talking at a time: {mode: 'mic'|'file', granted, ...}.
  let talk = null;

  function onTalk(m) {
    if (!talk) return;
    if (!m.granted) {
      if (m.reason === 'released') return;   // the answer to giving the turn back
      const what = talk.mode === 'mic' ? 'the microphone was turned off' : 'the file was not spoken to the end';
      const why = {
        busy: 'Another page is talking to the avatar; try again when it is done.',
        stopped: `The avatar was stopped, so ${what}.`,
      }[m.reason] || `The server did not let this page talk${m.reason ? ` (${m.reason})` : ''}.`;
      problem(why, m.reason || 'talk');
      endTalk(false, true);
      return;
    }
    talk.granted = true;
    live.talking = talk.mode;
    if (talk.onGranted) talk.onGranted();
  }

  function pieceSamples() {
    const limit = live.hello && live.hello.limits && live.hello.limits.pcm_bytes || 3200;
    return Math.max(1, Math.floor(Math.min(limit, 3200) / 2));
  }
  function toInt16(f) {
    const out = new Int16Array(f.length);
    for (let i = 0; i < f.length; i++) {
      const v = Math.max(-1, Math.min(1, f[i]));
      out[i] = v < 0 ? v * 32768 : v * 32767;
    }
    return out;
  }

  // Streaming band-limited resampler (windowed sinc) for the microphone.
  class Resampler {
    constructor(inRate, outRate) {
      this.inRate = inRate;
      this.step = inRate / outRate;
      this.cut = Math.min(1, outRate / inRate) * 0.92;
      this.half = 12 * Math.max(1, Math.ceil(this.step));
      this.buf = new Float32Array(0);
      this.pos = 0;
    }
    push(x) {
      const b = new Float32Array(this.buf.length + x.length);
      b.set(this.buf); b.set(x, this.buf.length);
      const out = [];
      const half = this.half, cut = this.cut;
      while (this.pos + half < b.length) {
        const c = Math.floor(this.pos);
        let acc = 0, wsum = 0;
        for (let k = c - half + 1; k <= c + half; k++) {
          const d = this.pos - k;
          const a = Math.PI * d * cut;
          const sinc = a === 0 ? 1 : Math.sin(a) / a;
          const win = 0.5 + 0.5 * Math.cos(Math.PI * d / half);
          const w = sinc * win;
          acc += (k >= 0 ? b[k] : 0) * w;
          wsum += w;
        }
        out.push(acc / wsum);
        this.pos += this.step;
      }
      const keep = Math.max(0, Math.floor(this.pos) - half);
      this.buf = b.slice(keep);
      this.pos -= keep;
      return Float32Array.from(out);
    }
  }

  async function startMic() {
    ensureAudio();
    if (!navigator.mediaDevices || !navigator.mediaDevices.getUserMedia) {
      return problem('This page cannot use a microphone here: open it as http://localhost or http://127.0.0.1.');
    }
    if (talk) return;
    talk = { mode: 'mic', granted: false };
    setMicButton(true, 'Asking for the microphone…');
    let stream;
    try {
      stream = await navigator.mediaDevices.getUserMedia({
        audio: { channelCount: 1, echoCancellation: true, noiseSuppression: false, autoGainControl: true },
      });
    } catch (e) {
      talk = null; setMicButton(false);
      return problem(`The microphone could not be opened: ${e.message || e.name}.`);
    }
    if (!talk || talk.mode !== 'mic') { stream.getTracks().forEach((t) => t.stop()); return; }
    talk.stream = stream;
    let rs = null, acc = new Int16Array(0);
    const piece = pieceSamples();
    const t = talk;
    // Microphone samples at their own rate -> 16 kHz s16 pieces of about 20 ms.
    const take = (f32, rate) => {
      if (talk !== t || !t.granted) return;
      if (!rs || rs.inRate !== rate) rs = new Resampler(rate, RATE);
      const s = toInt16(rs.push(f32));
      const joined = new Int16Array(acc.length + s.length);
      joined.set(acc); joined.set(s, acc.length);
      let off = 0;
      while (joined.length - off >= Math.min(piece, 320)) {
        const n = Math.min(piece, joined.length - off);
        sendPcm(joined.slice(off, off + n));
        off += n;
      }
      acc = joined.slice(off);
    };
    try {
      if (typeof MediaStreamTrackProcessor === 'function') {
        // Read the track directly: no second audio graph beside the one that plays.
        readTrack(t, stream.getAudioTracks()[0], take).catch((e) => {
          if (talk === t) { endTalk(false); problem(`The microphone stopped: ${e.message}.`); }
        });
      } else {
        await captureWithWorklet(t, stream, take);
      }
    } catch (e) {
      endTalk(false);
      return problem(`The microphone could not be read: ${e.message}.`);
    }
    talk.onGranted = () => {
      setMicButton(true, 'Listening — press again when you are done');
      // Hearing one's own voice late makes speaking hard: the avatar's sound is muted
      // on this page while its microphone talks (the level meter still shows it).
      if (outGain) outGain.gain.value = 0;
      hint('Your own voice is not played back to you while the microphone is on.');
    };
    send({ type: 'talk', on: true });
  }

  async function readTrack(t, track, take) {
    const reader = new MediaStreamTrackProcessor({ track }).readable.getReader();
    t.reader = reader;
    let mix = new Float32Array(0), plane = new Float32Array(0);
    for (;;) {
      const { value, done } = await reader.read();
      if (done || talk !== t) { if (value) value.close(); break; }
      const n = value.numberOfFrames, ch = value.numberOfChannels;
      if (mix.length < n) { mix = new Float32Array(n); plane = new Float32Array(n); }
      const m = mix.subarray(0, n);
      m.fill(0);
      for (let c = 0; c < ch; c++) {
        value.copyTo(plane, { planeIndex: c, format: 'f32-planar', frameCount: n });
        for (let i = 0; i < n; i++) m[i] += plane[i] / ch;
      }
      const rate = value.sampleRate;
      value.close();
      take(m, rate);
    }
  }

  async function captureWithWorklet(t, stream, take) {
    const mctx = new AudioContext({ latencyHint: 'interactive' });
    t.mctx = mctx;
    await mctx.audioWorklet.addModule('capture-worklet.js');
    const src = mctx.createMediaStreamSource(stream);
    const node = new AudioWorkletNode(mctx, 'ka-capture', { numberOfInputs: 1, numberOfOutputs: 1, channelCount: 1 });
    const sink = mctx.createGain();
    sink.gain.value = 0;
    src.connect(node); node.connect(sink); sink.connect(mctx.destination);
    node.port.onmessage = (ev) => take(ev.data, mctx.sampleRate);
  }

  // Ends the current way of talking. spoke: the speech so far is complete (sends `end`).
  function endTalk(spoke, refused) {
    if (!talk) return;
    const t = talk;
    talk = null;
    live.talking = null;
    if (t.stream) t.stream.getTracks().forEach((x) => x.stop());
    if (t.reader) t.reader.cancel().catch(() => {});
    if (t.mctx) t.mctx.close().catch(() => {});
    if (t.timer) clearInterval(t.timer);
    if (outGain) outGain.gain.value = 1;
    hint('');
    if (t.granted && !refused && ws && ws.readyState === WebSocket.OPEN) {
      if (spoke) send({ type: 'end' });
      send({ type: 'talk', on: false });
    }
    setMicButton(false);
    setUploadBusy(false);
  }

  function setMicButton(on, text) {
    const b = $('mic');
    b.setAttribute('aria-pressed', on ? 'true' : 'false');
    b.classList.toggle('on', on);
    $('micLabel').textContent = on ? (text || 'Listening') : 'Talk with the microphone';
  }
  function setUploadBusy(on, text) {
    $('uploadLabel').classList.toggle('on', on);
    $('uploadLabel').firstChild.textContent = on ? (text || 'Speaking the file…') : '⤒ Speak a file…';
  }

  async function speakFile(file) {
    ensureAudio();
    if (talk) return problem('Finish talking with the microphone first.');
    let samples;
    try {
      const bytes = await file.arrayBuffer();
      const decoded = await actx.decodeAudioData(bytes);
      const off = new OfflineAudioContext(1, Math.max(1, Math.ceil(decoded.duration * RATE)), RATE);
      const src = off.createBufferSource();
      src.buffer = decoded;
      src.connect(off.destination);          // the mix to one channel happens here
      src.start();
      samples = toInt16((await off.startRendering()).getChannelData(0));
    } catch (e) {
      return problem(`"${file.name}" could not be read as sound: ${e.message || e.name}.`);
    }
    talk = { mode: 'file', granted: false };
    setUploadBusy(true, 'Waiting for the turn to talk…');
    const piece = pieceSamples();
    talk.onGranted = () => {
      setUploadBusy(true, `Speaking ${file.name}…`);
      const t = talk;
      const start = performance.now();
      let sent = 0;
      // Real-time pace with a fifth of a second ahead: the session takes speech as it
      // would come from a person, and "stop" can cut it at once.
      t.timer = setInterval(() => {
        if (talk !== t) return clearInterval(t.timer);
        const due = Math.min(samples.length, Math.round(((performance.now() - start) / 1000 + 0.2) * RATE));
        while (sent < due) {
          const n = Math.min(piece, due - sent);
          sendPcm(samples.slice(sent, sent + n));
          sent += n;
        }
        if (sent >= samples.length) endTalk(true);
      }, 20);
    };
    send({ type: 'talk', on: true });
  }

  // ------------------------------------------------------------------ controls
  $('sayForm').addEventListener('submit', (ev) => {
    ev.preventDefault();
    ensureAudio();
    const text = $('text').value.trim();
    if (!text) return;
    const limit = live.hello && live.hello.limits && live.hello.limits.text_chars;
    if (limit && text.length > limit) return problem(`That text is too long: at most ${limit} characters.`);
    send({ type: 'say', text });
  });
  $('mic').addEventListener('click', () => {
    if (talk && talk.mode === 'mic') endTalk(true); else startMic();
  });
  $('upload').addEventListener('change', (ev) => {
    const f = ev.target.files && ev.target.files[0];
    ev.target.value = '';
    if (f) speakFile(f);
  });
  $('stop').addEventListener('click', () => {
    ensureAudio();
    if (talk) endTalk(false);
    send({ type: 'stop' });
  });
  $('sound').addEventListener('click', () => ensureAudio());
  document.addEventListener('pointerdown', () => ensureAudio(), { once: true });

  // ------------------------------------------------------------------ the panel
  const fmt = (v, unit) => (v === null || v === undefined || Number.isNaN(v)) ? '—' : `${Math.round(v)}${unit || ''}`;
  setInterval(() => {
    live.paintedFps = perSecond(paintTimes);
    live.receivedFps = perSecond(recvTimes);
    live.queued = ready.length + (decoder ? decoder.decodeQueueSize : 0);
    const s = live.stats || {};
    const talker = s.talker ? (live.hello && s.talker === live.hello.client ? ' · this page talks' : ` · viewer ${s.talker} talks`) : '';
    $('pState').textContent = (s.state || '—') + talker;
    $('pFps').textContent = live.paintedFps;
    $('pSent').textContent = fmt(s.fps);
    $('pG2g').textContent = fmt(live.glassToGlassMs, ' ms');
    $('pFirst').textContent = s.first_frame_ms ? fmt(s.first_frame_ms, ' ms') : '—';
    $('pQueued').textContent = fmt(s.queued);
    $('pBuf').textContent = `${live.queued} frame${live.queued === 1 ? '' : 's'}, ${live.leadMs} ms buffer`;
    $('pRender').textContent = s.render_ms === undefined ? '—' : `${Number(s.render_ms).toFixed(1)} ms`;
    $('pTeeth').textContent = s.teeth_borrowed === undefined ? '—' : `${s.teeth_borrowed} borrowed · ${s.teeth_refused} refused`;
    const av = live.avOffsetMs === null ? null : Math.round(live.avOffsetMs);
    $('pAv').textContent = av === null ? '—' : av === 0 ? 'in step'
      : `${av > 0 ? 'picture' : 'sound'} ${Math.abs(av)} ms later`;
    $('pLevel').value = live.level;
    $('pClients').textContent = fmt(s.clients);
  }, 250);

  ensureAudio();
  connect();
})();
