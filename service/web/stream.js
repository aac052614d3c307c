// The live stream: one WebSocket, reopened by itself with after= so that
// nothing stored meanwhile is lost. Events replayed after a break are
// marked "missed" (their id is at most the last id the service had stored
// when the page came back).
import { AuthError, getJson } from './api.js';

const RETRY_MS = [250, 500, 1000, 2000, 4000];

export class Stream {
  constructor({ onEvent, onOnline, onOffline, onAuthLost }) {
    this.onEvent = onEvent;
    this.onOnline = onOnline;
    this.onOffline = onOffline;
    this.onAuthLost = onAuthLost;
    this.lastId = 0;
    this.missedUpTo = 0;
    this.retry = 0;
    this.socket = null;
    this.stopped = false;
  }

  start(lastId) {
    this.lastId = lastId;
    this.open();
  }

  stop() {
    this.stopped = true;
    this.socket?.close();
  }

  open() {
    const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
    const socket = new WebSocket(`${scheme}://${location.host}/api/stream?after=${this.lastId}`);
    this.socket = socket;
    socket.addEventListener('open', () => {
      this.retry = 0;
      this.onOnline();
    });
    socket.addEventListener('message', (message) => this.receive(message.data));
    socket.addEventListener('close', () => {
      if (this.socket !== socket || this.stopped) return;
      this.socket = null;
      this.onOffline();
      const delay = RETRY_MS[Math.min(this.retry++, RETRY_MS.length - 1)];
      setTimeout(() => this.reconnect(), delay);
    });
  }

  receive(text) {
    let event;
    try {
      event = JSON.parse(text);
    } catch {
      return;
    }
    if (event.event === 'StreamNotice') {
      // The service's ids start below ours (a restored or replaced
      // database): go on from its newest id instead of dropping what comes.
      if (event.notice === 'cursor-clamped') this.lastId = Number(event.lastId) || 0;
      return;
    }
    if (typeof event.id === 'number') {
      if (event.id <= this.lastId) return;
      this.lastId = event.id;
    }
    this.onEvent(event, typeof event.id === 'number' && event.id <= this.missedUpTo);
  }

  // Asks the service first: a lost session shows the login form instead of
  // knocking on the stream forever, and lastId tells replayed from live.
  async reconnect() {
    if (this.stopped) return;
    try {
      await getJson('/api/ports');
      const health = await getJson('/healthz');
      this.missedUpTo = Number(health.lastId) || 0;
    } catch (error) {
      if (error instanceof AuthError) {
        this.onAuthLost();
        return;
      }
      const delay = RETRY_MS[Math.min(this.retry++, RETRY_MS.length - 1)];
      setTimeout(() => this.reconnect(), delay);
      return;
    }
    this.open();
  }
}
