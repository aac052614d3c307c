// Live cards, the handset state per port, and the opt-in notification and
// sound for an incoming call.
import { clamped, el, byId, localTime, terminalTime } from './dom.js';
import { callStateWord, hookText, NO_NAME, telTypeText } from './words.js';

const MAX_CARDS = 30;

export class Live {
  constructor({ onNumber, onCustomer = () => {}, onReject = null }) {
    this.onNumber = onNumber;
    this.onCustomer = onCustomer; // (number, the call's customer or null): the form
    this.onReject = onReject;     // (number) -> {ok, text}
    this.cards = byId('cards');
    this.hooks = new Map();
    this.notify = false;
    this.sound = false;
    this.audio = null;
    this.unseen = 0;
    this.setUpToggles();
  }

  // A stored call ({id, portName, at, callState, cidInfo}) as a card.
  addCall(call, { missed = false, older = false } = {}) {
    const info = call.cidInfo ?? {};
    const name = info.lName ? info.lName : NO_NAME;
    const type = telTypeText(info.lTelType);
    const number = clamped('button', 'number link', info.lNumber ?? '', {
      attrs: { type: 'button', title: '이 번호의 통화 기록' },
      onClick: () => this.onNumber(info.lNumber ?? ''),
    });
    const tags = el('p', { className: 'tags' },
      el('span', { className: `state state-${call.callState}`, text: callStateWord(call.callState) }),
      missed ? el('span', { className: 'tag missed', text: '연결이 끊긴 동안 수신' }) : null,
      older ? el('span', { className: 'tag', text: '이전 전화' }) : null);
    const customer = call.customer ?? null;
    const card = el('li', { className: `card${missed ? ' missed' : ''}${older ? ' older' : ''}`, data: { id: call.id } },
      tags,
      customer ? clamped('p', 'customer-name', customer.name) : null,
      clamped('p', 'name', name),
      number,
      customer?.memo ? el('p', { className: 'customer-memo', text: customer.memo }) : null,
      this.customerActions(info.lNumber ?? '', customer),
      el('dl', {},
        el('dt', { text: '그룹' }), el('dd', { className: 'group', text: info.lGroup ?? '' }),
        el('dt', { text: '종류' }), clamped('dd', 'type', type || (info.lTelType ?? '')),
        el('dt', { text: '포트' }), el('dd', { className: 'port', text: call.portName ?? '' }),
        el('dt', { text: '시각' }), el('dd', { className: 'time', text: localTime(call.at) }),
        el('dt', { text: '단말기 시각' }), el('dd', { className: 'terminal-time', text: terminalTime(info) })));
    if (older) this.cards.append(card);
    else this.cards.prepend(card);
    while (this.cards.children.length > MAX_CARDS) this.cards.lastElementChild.remove();
    byId('no-calls').hidden = true;
    // When the card was on the page: the browser's own clock, for latency figures.
    card.dataset.shownAt = (performance.timeOrigin + performance.now()).toFixed(1);
    if (!older && !missed) this.announce(customer?.name || name, info.lNumber ?? '', call.callState);
    return card;
  }

  // 고객 등록 / 고객 수정 and 수신 거부, with the outcome under them.
  customerActions(number, customer) {
    const result = el('p', { className: 'result', attrs: { role: 'status' } });
    const reject = this.onReject ? el('button', {
      className: 'reject', text: '수신 거부', attrs: { type: 'button' },
      onClick: async () => {
        const outcome = await this.onReject(number).catch((error) => ({ ok: false, text: error.message }));
        result.textContent = outcome.text;
        result.className = outcome.ok ? 'result ok' : 'result fail';
      },
    }) : null;
    return el('div', { className: 'customer-actions' },
      el('div', { className: 'actions' },
        el('button', {
          className: customer ? 'customer-edit-button' : 'customer-add-button',
          text: customer ? '고객 수정' : '고객 등록', attrs: { type: 'button' },
          onClick: () => this.onCustomer(number, customer),
        }),
        reject),
      result);
  }

  setHook(portName, lifted) {
    this.hooks.set(portName, lifted);
    const list = byId('hook-states');
    list.replaceChildren(...[...this.hooks].sort().map(([port, up]) =>
      el('li', { className: up ? 'hook up' : 'hook down', text: `${port}]${hookText(up)}` })));
  }

  announce(name, number, callState) {
    if (this.notify && window.Notification?.permission === 'granted') {
      try {
        // Notification bodies are plain text.
        new Notification(`${callStateWord(callState)} ${name}`, { body: number, tag: 'tavro-call' });
      } catch {
        // Some phones allow notifications only from a service worker; the card is there anyway.
      }
    }
    if (this.sound) this.beep();
  }

  beep() {
    if (!this.audio) return;
    const now = this.audio.currentTime;
    for (const [start, pitch] of [[0, 880], [0.25, 660]]) {
      const tone = this.audio.createOscillator();
      const gain = this.audio.createGain();
      tone.frequency.value = pitch;
      gain.gain.setValueAtTime(0.2, now + start);
      gain.gain.exponentialRampToValueAtTime(0.001, now + start + 0.2);
      tone.connect(gain).connect(this.audio.destination);
      tone.start(now + start);
      tone.stop(now + start + 0.2);
    }
  }

  setUpToggles() {
    const notifyButton = byId('notify-toggle');
    const soundButton = byId('sound-toggle');
    const show = () => {
      notifyButton.setAttribute('aria-pressed', String(this.notify));
      notifyButton.textContent = this.notify ? '알림 끄기' : '알림 켜기';
      soundButton.setAttribute('aria-pressed', String(this.sound));
      soundButton.textContent = this.sound ? '소리 끄기' : '소리 켜기';
    };
    if (!window.Notification) notifyButton.disabled = true;
    notifyButton.addEventListener('click', async () => {
      if (this.notify) {
        this.notify = false;
      } else {
        const permission = await Notification.requestPermission();
        this.notify = permission === 'granted';
        if (!this.notify) notifyButton.title = '브라우저에서 알림이 허용되지 않았습니다.';
      }
      show();
    });
    soundButton.addEventListener('click', () => {
      this.sound = !this.sound;
      // Browsers let a page make sound only after a click like this one.
      if (this.sound && !this.audio) this.audio = new AudioContext();
      if (this.sound) this.beep();
      show();
    });
    show();
  }
}
