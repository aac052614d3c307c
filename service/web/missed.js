// 부재중: missed calls nobody has dealt with yet, newest first, with a count
// on the tab and in the page title that every open screen keeps current from
// the stream (CallOutcome adds, MissedDone takes away).
import { AuthError, getJson, postJson } from './api.js';
import { byId, el, localTime } from './dom.js';
import { formatNumber } from './phone.js';
import { SENT_FAILED, SENT_OK } from './words.js';

const BASE_TITLE = document.title;

// Calls the number back through the terminal; says what the console says.
export async function dialBack(portName, number, status) {
  status.textContent = '수화기를 드세요';
  try {
    const answer = await postJson('/api/dial', { portName, number });
    status.textContent = answer.value === true ? SENT_OK : `${SENT_FAILED}: ${answer.error ?? ''}`.trim();
  } catch (error) {
    if (error instanceof AuthError) throw error;
    status.textContent = `${SENT_FAILED}: ${error.message}`;
  }
}

// 전화 걸기 for a number on a port, and the line that says how it went.
export function callBackControls(portName, number, onAuthLost, disabled = false) {
  const status = el('span', { className: 'dial-status', attrs: { role: 'status' } });
  const button = el('button', { text: '전화 걸기', attrs: { type: 'button' } });
  button.disabled = disabled || !number || !portName;
  button.addEventListener('click', () => {
    button.disabled = true;
    dialBack(portName, number, status).catch(onAuthLost).finally(() => { button.disabled = false; });
  });
  return [button, status];
}

export class Missed {
  constructor({ onAuthLost }) {
    this.onAuthLost = onAuthLost;
    this.count = 0;
    this.readOnly = false;
    this.rows = byId('missed-rows');
  }

  setReadOnly(readOnly) { this.readOnly = readOnly; }

  setCount(count) {
    this.count = Math.max(0, count);
    const badge = byId('missed-badge');
    badge.textContent = String(this.count);
    badge.hidden = this.count === 0;
    document.title = this.count > 0 ? `(${this.count}) ${BASE_TITLE}` : BASE_TITLE;
  }

  async load() {
    try {
      const answer = await getJson('/api/missed?limit=200');
      this.rows.replaceChildren(...(answer.calls ?? []).map((call) => this.row(call)));
      this.setCount(Number(answer.count) || 0);
      byId('missed-empty').hidden = this.rows.children.length > 0;
    } catch (error) {
      if (error instanceof AuthError) this.onAuthLost();
      else byId('missed-status').textContent = error.message;
    }
  }

  // A stored event from the stream.
  handleEvent(event) {
    if (event.event === 'CallOutcome' && event.outcome === 'missed') this.load();
    if (event.event === 'MissedDone') {
      this.rows.querySelector(`[data-call-id="${Number(event.callId)}"]`)?.remove();
      this.setCount(this.count - 1);
      byId('missed-empty').hidden = this.rows.children.length > 0;
    }
  }

  row(call) {
    const info = call.cidInfo ?? {};
    const [dial, status] = callBackControls(call.portName, info.lNumber, this.onAuthLost, this.readOnly);
    const done = el('button', { text: '처리 완료', attrs: { type: 'button' } });
    done.disabled = this.readOnly;
    done.addEventListener('click', async () => {
      done.disabled = true;
      try {
        await postJson(`/api/missed/${Number(call.id)}/done`, {});
      } catch (error) {
        if (error instanceof AuthError) return this.onAuthLost();
        status.textContent = error.message; // who dealt with it, and when
      }
    });
    // The customer book adds "customer" to a call; absent or null, nothing.
    const customer = call.customer?.name ?? '';
    return el('tr', { data: { callId: Number(call.id) } },
      el('td', { text: localTime(call.at), data: { label: '시각' } }),
      el('td', { text: call.portName ?? '', data: { label: '포트' } }),
      el('td', { text: formatNumber(info.lNumber ?? ''), data: { label: '번호' } }),
      el('td', { text: info.lName ?? '', data: { label: '이름' } }),
      el('td', { text: customer, data: { label: '고객' } }),
      // One grid item on a phone, where each cell is a label and its value.
      el('td', { data: { label: '처리' } }, el('div', { className: 'actions' }, done, dial, status)));
  }
}
