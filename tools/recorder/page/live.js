// LivePlayer: one camera's live picture in a <video>, from the recorder's
// WebSocket /api/live/CAMERA: the first message is a fragmented MP4
// initialisation segment, each later one a fragment (one picture). They go
// into a Media Source Extensions SourceBuffer; the player stays at the live
// edge and confirms what it received ("ack BYTES"), which is how the server
// knows it keeps up. A text message before each initialisation segment says
// which capture time media time 0 stands for and the stream's MIME type.
'use strict';

class LivePlayer {
  constructor(video, camera) {
    this.video = video;
    this.camera = camera;
    this.closed = false;
    this.received = 0;
    this.queue = [];
    this.connect();
  }

  connect() {
    if (this.closed) return;
    const scheme = location.protocol === 'https:' ? 'wss://' : 'ws://';
    this.ws = new WebSocket(scheme + location.host + '/api/live/' + encodeURIComponent(this.camera));
    this.ws.binaryType = 'arraybuffer';
    this.source = null;
    this.buffer = null;
    this.queue = [];
    this.ws.onmessage = (event) => this.onMessage(event.data);
    this.ws.onclose = () => {
      if (!this.closed) this.retry = setTimeout(() => this.connect(), 2000);
    };
  }

  onMessage(data) {
    if (typeof data === 'string') {
      // {"base_us": capture time of media time 0, "mime": the stream's
      // type with its codecs}: comes before each initialisation segment.
      const info = JSON.parse(data);
      if (info.base_us) this.video.dataset.baseUs = info.base_us;
      if (info.mime) this.mime = info.mime;
      return;
    }
    this.received += data.byteLength;
    this.ws.send('ack ' + this.received);
    if (!this.buffer && !this.source) {
      this.start(data);
      return;
    }
    // A new initialisation segment (a new picture size) goes in like a fragment.
    this.queue.push(data);
    this.pump();
  }

  start(init) {
    const type = this.mime || '';
    if (!window.MediaSource || !MediaSource.isTypeSupported(type)) {
      this.video.dispatchEvent(new CustomEvent('liveerror', {detail: 'this browser cannot play ' + type}));
      return;
    }
    this.source = new MediaSource();
    this.video.src = URL.createObjectURL(this.source);
    this.queue.push(init);
    this.source.addEventListener('sourceopen', () => {
      URL.revokeObjectURL(this.video.src);
      this.buffer = this.source.addSourceBuffer(type);
      this.buffer.mode = 'segments';
      this.buffer.addEventListener('updateend', () => this.pump());
      this.pump();
    }, {once: true});
  }

  pump() {
    if (!this.buffer || this.buffer.updating) return;
    const b = this.buffer;
    const ranges = b.buffered;
    if (ranges.length > 0) {
      const end = ranges.end(ranges.length - 1);
      const start = ranges.start(0);
      // Stay at the live edge: a viewer far behind jumps ahead, one a little
      // behind plays a little faster until it is back.
      const lag = end - this.video.currentTime;
      if (this.video.currentTime < start || lag > 1.0) {
        this.video.currentTime = Math.max(start, end - 0.1);
      } else {
        this.video.playbackRate = lag > 0.25 ? 1.1 : 1.0;
      }
      if (this.video.paused) this.video.play().catch(() => {});
      // Keep about 30 s behind the playing position.
      if (this.video.currentTime - start > 60) {
        b.remove(start, this.video.currentTime - 30);
        return;
      }
    }
    const next = this.queue.shift();
    if (next) {
      try {
        b.appendBuffer(next);
      } catch (e) {
        // A full buffer or a decode error: start anew.
        this.ws.close();
      }
    }
  }

  close() {
    this.closed = true;
    clearTimeout(this.retry);
    if (this.ws) this.ws.close();
    this.video.removeAttribute('src');
    this.video.load();
  }
}
