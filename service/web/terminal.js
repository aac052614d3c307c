// The terminal's ports and settings, read and changed through SendCmd as the
// console's menu does. SendCmd true only means the frame went out, so every
// value is checked for its range first and read back after a change.
import { AuthError, callTavro, getJson, sendCmd } from './api.js';
import { customerNames, rejectList } from './blocked.js';
import { el, byId, localTime } from './dom.js';
import { numberDigits } from './phone.js';
import { melodyTitle, MELODY_TITLES, NOT_PROVIDED, SENT_FAILED, SENT_OK, stateWord } from './words.js';

const GROUPS = 6;
const MAX_LOG = 40;

// Which panel shows the outcome of a query letter's commands.
const PANEL_OF = { j: 'j', o: 'o', p: 'p', t: 't', e: 't', s: 's', d: 'd' };
// Queries that carry a parameter of their own.
const QUERY_PARAM = { t: '0', u: '0' };
const QUERY_LABEL = {
  j: '거부 번호 조회', o: '응답 번호 조회 : ', p: '응답 멜로디 조회', t: '알람 기능 조회',
  e: '알람 날짜/시간 조회 명령', s: 'LCD 밝기 조회', d: '날짜/시간 조회',
};

const two = (n) => String(n).padStart(2, '0');

// A whole number typed into a box, within [low, high]; null otherwise.
export function wholeNumber(text, low, high) {
  const value = String(text).trim();
  if (!/^\d{1,4}$/.test(value)) return null;
  const number = Number(value);
  return number >= low && number <= high ? number : null;
}

// The boxes hold the values read from the terminal: what is typed replaces
// them instead of being added to them ("07" and "7" give "077"). The mouse
// button released after a click would undo the selection, so that one is ignored.
function selectOnFocus(inputs) {
  for (const input of inputs) {
    let justFocused = false;
    input.addEventListener('focus', () => { input.select(); justFocused = true; });
    input.addEventListener('mouseup', (event) => {
      if (justFocused) event.preventDefault();
      justFocused = false;
    });
  }
}

export class Terminal {
  constructor({ onAuthLost }) {
    this.onAuthLost = onAuthLost;
    this.ports = [];
    this.port = '';
    this.readBack = new Map(); // query letter -> label of the change waiting for it
    this.naming = 0;           // the newest lookup of the rejected numbers' names
    this.setUpControls();
  }

  // -- ports ---------------------------------------------------------------

  async refreshPorts() {
    try {
      const answer = await getJson('/api/ports');
      this.setPorts(answer.ports ?? []);
    } catch (error) {
      if (error instanceof AuthError) this.onAuthLost();
    }
  }

  setPorts(ports) {
    this.ports = ports;
    const select = byId('port-select');
    const names = ports.map((port) => port.portName);
    if (!names.includes(this.port)) this.port = (ports.find((port) => port.open) ?? ports[0])?.portName ?? '';
    select.replaceChildren(...names.map((name) => el('option', { text: name, attrs: { value: name } })));
    select.value = this.port;
    byId('ports').replaceChildren(...ports.map((port) => this.portItem(port)));
    this.applyReadOnly();
  }

  // A view login reads calls only: every control that sends to the terminal is off.
  setReadOnly(readOnly) {
    this.readOnly = readOnly;
    byId('terminal-read-only').hidden = !readOnly;
    this.applyReadOnly();
  }

  applyReadOnly() {
    if (!this.readOnly) return;
    for (const control of byId('view-terminal').querySelectorAll('button, input, select')) control.disabled = true;
  }

  portItem(port) {
    const action = port.open ? '닫기' : '열기';
    return el('li', { className: port.open ? 'port-item open' : 'port-item closed' },
      el('strong', { text: port.portName }),
      el('span', { className: 'path', text: port.path ?? '' }),
      el('span', { className: 'port-state', text: port.open ? '열림' : '닫힘' }),
      port.since ? el('span', { className: 'muted', text: localTime(port.since) }) : null,
      el('button', {
        text: action, attrs: { type: 'button', 'aria-label': `${port.portName} ${action}` },
        onClick: () => this.openClose(port.portName, !port.open),
      }));
  }

  portState(event) {
    const port = this.ports.find((p) => p.portName === event.portName);
    if (port) {
      port.open = Boolean(event.open);
      port.since = event.at;
      this.setPorts(this.ports);
    } else {
      this.refreshPorts();
    }
  }

  async openClose(portName, open) {
    const label = `${portName} ${open ? '열기' : '닫기'}`;
    try {
      const answer = await callTavro({ call: open ? 'OpenTavro' : 'CloseTavro', portName });
      if (answer.error) this.log(label, false, answer.error);
      else if (open && answer.value === 2) this.log(label, false, answer.errorStr ?? '');
      else this.log(label, true, open && answer.value === 1 ? '이미 열려 있습니다.' : answer.errorStr ?? '');
    } catch (error) {
      if (error instanceof AuthError) return this.onAuthLost();
      this.log(label, false, error.message);
    }
    this.refreshPorts();
  }

  // -- commands ------------------------------------------------------------

  // Sends one command to the chosen port and says how it went.
  // quiet: a read-back, whose success the answer itself reports in the panel.
  async command(panel, label, cmd, params, { quiet = false } = {}) {
    if (!this.port) {
      this.show(panel, false, `${label}: 포트가 없습니다.`);
      return false;
    }
    let outcome;
    try {
      outcome = await sendCmd(this.port, cmd, ...params);
    } catch (error) {
      if (error instanceof AuthError) this.onAuthLost();
      outcome = { ok: false, text: error.message };
    }
    this.log(label, outcome.ok, outcome.text ?? '', quiet && outcome.ok ? '' : panel);
    return outcome.ok;
  }

  query(letter, options) {
    return this.command(PANEL_OF[letter], QUERY_LABEL[letter], letter, [QUERY_PARAM[letter] ?? ''], options);
  }

  // A change, then the query that shows what the terminal now holds.
  async change(query, label, cmd, ...params) {
    const sent = await this.command(PANEL_OF[query], label, cmd, params);
    if (!sent) return;
    this.readBack.set(query, label);
    await this.query(query, { quiet: true });
  }

  async readAll() {
    if (this.readOnly) return;
    for (const letter of ['j', 'o', 'p', 't', 'e', 's', 'd']) await this.query(letter);
  }

  // -- answers from the stream ----------------------------------------------

  handleEvent(event) {
    if (event.portName !== this.port) return;
    if (event.event === 'ReceiveResponse') this.response(event);
    else if (event.event === 'ReceiveGatheredInfo') this.list(event);
  }

  response(event) {
    const letter = String.fromCharCode(event.msgType);
    const value = event.rst1 ?? '';
    const num = (text) => Number.parseInt(text, 10);
    switch (letter) {
      case 't': byId('alarm-state').textContent = stateWord(value) || value; break;
      case 'e':
        byId('alarm-time').textContent = value;
        [byId('alarm-hour').value, byId('alarm-minute').value] = [num(value.slice(0, 2)), num(value.slice(3, 5))];
        break;
      case 's':
        byId('lcd-value').textContent = value;
        byId('lcd-input').value = value;
        break;
      case 'd': {
        const time = event.rst2 ?? '';
        byId('clock-value').textContent = `${num(value.slice(0, 2))}월 ${num(value.slice(3, 5))}일 `
          + `${num(time.slice(0, 2))}시 ${num(time.slice(3, 5))}분`;
        break;
      }
      default: return;
    }
    this.confirmReadBack(letter);
  }

  list(event) {
    const letter = String.fromCharCode(event.kind);
    const records = Array.isArray(event.cidInfo) ? event.cidInfo : [];
    if (letter === 'j') {
      rejectList.set(records.map((record) => record.lNumber ?? ''));
      byId('reject-list').replaceChildren(...this.numberItems(records, (record) => [
        el('span', { className: 'reject-customer', data: { number: numberDigits(record.lNumber ?? '') } }),
        el('button', {
          text: '삭제', attrs: { type: 'button', 'aria-label': `${record.lNumber} 삭제` },
          onClick: () => this.change('j', `거부 번호 설정-삭제:${record.lNumber}`, 'J', record.lNumber, '0'),
        })]));
      this.nameRejected();
    } else if (letter === 'o') {
      byId('answer-list').replaceChildren(...this.numberItems(records));
    } else if (letter === 'p') {
      byId('melody-list').replaceChildren(...records.map((record) => el('li', {
        text: `그룹 ${record.lGroup}: 멜로디 번호 ${record.lName} (${melodyTitle(record.lName)})`,
      })));
    } else {
      return;
    }
    this.confirmReadBack(letter);
  }

  numberItems(records, action = () => null) {
    if (records.length === 0) return [el('li', { className: 'muted', text: '등록된 번호가 없습니다.' })];
    return records.map((record) => el('li', {},
      el('span', { className: 'number', text: record.lNumber ?? '' }),
      el('span', { text: ` ${record.lName ? record.lName : NOT_PROVIDED}` }),
      ...[action(record)].flat()));
  }

  // Beside each rejected number, the name the book has for it (as text).
  async nameRejected() {
    const ticket = ++this.naming;
    const spans = [...byId('reject-list').querySelectorAll('.reject-customer')];
    let names;
    try {
      names = await customerNames(spans.map((span) => span.dataset.number));
    } catch (error) {
      if (error instanceof AuthError) this.onAuthLost();
      return;
    }
    if (ticket !== this.naming) return;
    for (const span of spans) {
      const name = names.get(span.dataset.number);
      span.textContent = name ? ` · 고객 ${name}` : '';
    }
  }

  confirmReadBack(letter) {
    const label = this.readBack.get(letter);
    this.readBack.delete(letter);
    const panel = PANEL_OF[letter];
    if (label) this.show(panel, true, `${label}: ${SENT_OK} · 단말기에서 다시 읽었습니다.`);
  }

  // -- output ----------------------------------------------------------------

  show(panel, ok, text) {
    const target = document.querySelector(`[data-result="${panel}"]`);
    if (!target) return;
    target.textContent = text;
    target.className = ok ? 'result ok' : 'result fail';
  }

  log(label, ok, detail, panel = '') {
    // Some of the console's labels end in " : " already.
    const name = label.replace(/\s*:\s*$/, '');
    const text = ok ? `${name}: ${SENT_OK}` : `${name}: ${SENT_FAILED}${detail ? ` — ${detail}` : ''}`;
    if (panel) this.show(panel, ok, text);
    const stamp = localTime(new Date().toISOString()).slice(11);
    const entry = el('li', { className: ok ? 'ok' : 'fail', text: `${stamp} ${this.port} ${text}` });
    const log = byId('action-log');
    log.prepend(entry);
    while (log.children.length > MAX_LOG) log.lastElementChild.remove();
  }

  // -- forms -----------------------------------------------------------------

  setUpControls() {
    byId('port-select').addEventListener('change', (event) => { this.port = event.target.value; });
    byId('read-all').addEventListener('click', () => this.readAll());
    for (const button of document.querySelectorAll('[data-query]')) {
      button.addEventListener('click', () => this.query(button.dataset.query));
    }
    const groups = byId('melody-group');
    groups.replaceChildren(...Array.from({ length: GROUPS }, (_, i) =>
      el('option', { text: String(i + 1), attrs: { value: i + 1 } })));
    byId('melody-no').replaceChildren(...MELODY_TITLES.map((title, i) =>
      el('option', { text: `${i + 1} ${title}`, attrs: { value: i + 1 } })));

    this.onSubmit('reject-form', 'j', () => {
      // "02-555-1234" as typed: the terminal takes the digits only.
      const number = numberDigits(byId('reject-number').value);
      if (!/^\d{1,20}$/.test(number)) return '거부번호는 숫자 1~20자리로 입력하세요.';
      return () => this.change('j', `거부 번호 설정-추가:${number}`, 'J', number, '1')
        .then(() => { byId('reject-number').value = ''; });
    });
    this.onSubmit('melody-form', 'p', () => {
      const group = wholeNumber(byId('melody-group').value, 1, GROUPS);
      const melody = wholeNumber(byId('melody-no').value, 1, MELODY_TITLES.length);
      if (group === null || melody === null) return '그룹과 멜로디는 1~6 사이입니다.';
      return () => this.change('p', `응답 멜로디 설정 :그룹=${group}멜로디 번호=${melody}`, 'P',
        String(group), String(melody));
    });
    this.onSubmit('alarm-form', 't', () => {
      const hour = wholeNumber(byId('alarm-hour').value, 0, 23);
      const minute = wholeNumber(byId('alarm-minute').value, 0, 59);
      if (hour === null) return '시는 0~23 사이입니다.';
      if (minute === null) return '분은 0~59 사이입니다.';
      const time = `${two(hour)}:${two(minute)}`;
      return () => this.change('e', `알람 시간 설정: 시간=${time}`, 'E', time);
    });
    this.onSubmit('lcd-form', 's', () => {
      const level = wholeNumber(byId('lcd-input').value, 1, 8);
      if (level === null) return 'LCD 밝기는 1~8 사이입니다.';
      return () => this.change('s', 'LCD 밝기 조정', 'S', String(level));
    });
    this.onSubmit('clock-form', 'd', () => {
      const month = wholeNumber(byId('clock-month').value, 1, 12);
      const day = wholeNumber(byId('clock-day').value, 1, 31);
      const hour = wholeNumber(byId('clock-hour').value, 0, 23);
      const minute = wholeNumber(byId('clock-minute').value, 0, 59);
      if (month === null) return '월은 1~12 사이입니다.';
      if (day === null) return '일은 1~31 사이입니다.';
      if (hour === null) return '시는 0~23 사이입니다.';
      if (minute === null) return '분은 0~59 사이입니다.';
      const date = `${two(month)}-${two(day)}`;
      const time = `${two(hour)}:${two(minute)}`;
      return () => this.change('d', `날짜.시간 설정:날짜=${date} 시간=${time}`, 'D', date, time);
    });
    byId('alarm-on').addEventListener('click', () => this.change('t', '알람 기능 설정', 'T', '1'));
    byId('alarm-off').addEventListener('click', () => this.change('t', '알람 기능 해제', 'T', '0'));
    byId('clock-from-pc').addEventListener('click', () => this.fillClockFromPc());
    this.fillClockFromPc();
    selectOnFocus(document.querySelectorAll('#view-terminal input'));
  }

  fillClockFromPc() {
    const now = new Date();
    byId('clock-month').value = now.getMonth() + 1;
    byId('clock-day').value = now.getDate();
    byId('clock-hour').value = now.getHours();
    byId('clock-minute').value = now.getMinutes();
  }

  // check() returns an error text (nothing is sent) or the action to run.
  onSubmit(formId, panel, check) {
    const form = byId(formId);
    form.addEventListener('submit', async (event) => {
      event.preventDefault();
      const outcome = check();
      if (typeof outcome === 'string') {
        this.show(panel, false, outcome);
        return;
      }
      const buttons = form.querySelectorAll('button');
      for (const button of buttons) button.disabled = true;
      try {
        await outcome();
      } finally {
        for (const button of buttons) button.disabled = false;
      }
    });
  }
}
