// Hands the microphone's samples to the page in blocks of about 20 ms; the page
// resamples them to 16 kHz and sends them to the server.
class KaCapture extends AudioWorkletProcessor {
  constructor() {
    super();
    this.block = new Float32Array(Math.max(128, Math.round(sampleRate / 50)));
    this.fill = 0;
  }
  process(inputs) {
    const ch = inputs[0] && inputs[0][0];
    if (!ch) return true;
    let i = 0;
    while (i < ch.length) {
      const n = Math.min(ch.length - i, this.block.length - this.fill);
      this.block.set(ch.subarray(i, i + n), this.fill);
      this.fill += n;
      i += n;
      if (this.fill === this.block.length) {
        this.port.postMessage(this.block, [this.block.buffer]);
        this.block = new Float32Array(this.block.length);
        this.fill = 0;
      }
    }
    return true;
  }
}
registerProcessor('ka-capture', KaCapture);
