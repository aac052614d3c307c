// The 고객 tab: the customer book searched and paged like the history, a
// form to add or change a customer, a customer's page with all their calls,
// CSV import and export, and 수신 거부 for any number. Everything from the
// book is inserted as text only.
import { AuthError, getJson, sendCmd } from './api.js';
import { rejectList } from './blocked.js';
import { el, byId, localTime } from './dom.js';
import { callBackControls } from './missed.js';
import { formatNumber, numberDigits, regionOf } from './phone.js';
import { callStateWord, NO_NAME, SENT_FAILED } from './words.js';

export const PAGE_SIZE = 20;

// A request whose refusal carries the Korean reason when there is one.
async function send(method, url, body, contentType = 'application/json') {
  const response = await fetch(url, {
    method,
    credentials: 'same-origin',
    cache: 'no-store',
    headers: { 'Content-Type': contentType, Accept: 'application/json' },
    body,
  });
  if (response.status === 401) throw new AuthError();
  const answer = await response.json().catch(() => ({}));
  if (!response.ok) {
    const error = new Error(answer.errorKo ?? answer.error ?? `HTTP ${response.status}`);
    error.answer = answer;
    throw error;
  }
  return answer;
}

// Adds the number to the terminal's reject list (SendCmd J, as the 단말기
// tab does); the outcome as a text for the user.
export async function rejectNumber(portName, number) {
  const digits = numberDigits(number);
  if (!digits) return { ok: false, text: '전화번호에 숫자가 없습니다.' };
  if (!portName) return { ok: false, text: '명령을 보낼 포트가 없습니다.' };
  const outcome = await sendCmd(portName, 'J', digits, '1');
  return outcome.ok
    ? { ok: true, text: `수신 거부: ${formatNumber(digits)}를 단말기 거부 번호에 보냈습니다.` }
    : { ok: false, text: `수신 거부: ${SENT_FAILED}${outcome.text ? ` — ${outcome.text}` : ''}` };
}

function showResult(target, ok, text) {
  target.textContent = text;
  target.className = ok ? 'result ok' : 'result fail';
}

export class Customers {
  constructor({ onAuthLost, portFor, onChanged = () => {}, onRejected = () => {}, onBookChanged = () => {} }) {
    this.onAuthLost = onAuthLost;
    this.portFor = portFor;
    this.onChanged = onChanged;
    this.onRejected = onRejected; // a number went to the terminal: read its list back
    this.onBookChanged = onBookChanged;
    this.q = '';
    this.before = 0;
    this.newerPages = [];
    this.next = null;
    this.loading = 0;
    this.editing = null; // the number being changed, null for a new customer
    this.shown = null;   // the customer on the customer page
    this.loaded = false; // the list was read once (the tab was opened)
    this.refreshing = null;
    this.showAgain = false;
    this.setUp();
    rejectList.onChange(() => this.markBlocked());
  }

  // The book changed (here, in another window or at another site): the list
  // and an open customer page are read again, once for a burst of changes.
  bookChanged(event) {
    if (event.event === 'CustomerChanged' && this.shown && !byId('customer-page').hidden
        && event.number === this.shown.number) this.showAgain = true;
    if (event.event === 'CustomersImported') this.showAgain = true;
    if (this.refreshing) return;
    this.refreshing = setTimeout(() => {
      this.refreshing = null;
      if (this.loaded) this.load(this.before, this.newerPages);
      if (this.showAgain && this.shown && !byId('customer-page').hidden) this.showCustomer(this.shown.number);
      this.showAgain = false;
      this.onBookChanged();
    }, 100);
  }

  // 수신 거부됨 where a number is on the terminal's reject list as last read.
  markBlocked() {
    for (const row of byId('customers-rows').querySelectorAll('tr[data-number]')) {
      const mark = row.querySelector('.blocked-mark');
      if (mark) mark.hidden = !rejectList.has(row.dataset.number);
    }
    byId('customer-page-blocked').hidden = !(this.shown && rejectList.has(this.shown.number));
  }

  failed(target, error) {
    if (error instanceof AuthError) this.onAuthLost();
    showResult(target, false, error.message);
  }

  setUp() {
    byId('customers-form').addEventListener('submit', (event) => {
      event.preventDefault();
      this.q = byId('customers-q').value.trim();
      this.load(0, []);
    });
    byId('customers-reset').addEventListener('click', () => {
      byId('customers-q').value = '';
      this.q = '';
      this.load(0, []);
    });
    byId('customer-new').addEventListener('click', () => this.openForm('', null));
    byId('customers-first').addEventListener('click', () => this.load(0, []));
    byId('customers-newer').addEventListener('click', () => {
      const pages = [...this.newerPages];
      this.load(pages.pop() ?? 0, pages);
    });
    byId('customers-older').addEventListener('click', () => {
      if (this.next) this.load(this.next, [...this.newerPages, this.before]);
    });
    byId('customer-edit').addEventListener('submit', (event) => {
      event.preventDefault();
      this.save();
    });
    byId('customer-cancel').addEventListener('click', () => { byId('customer-edit').hidden = true; });
    byId('customer-page-close').addEventListener('click', () => { byId('customer-page').hidden = true; });
    byId('customer-page-edit').addEventListener('click', () => {
      if (this.shown) this.openForm(this.shown.number, this.shown);
    });
    byId('customer-page-delete').addEventListener('click', () => {
      if (this.shown) this.remove(this.shown, byId('customer-page-result'));
    });
    byId('customer-page-reject').addEventListener('click', () => {
      if (this.shown) this.reject(this.shown.number, byId('customer-page-result'));
    });
    byId('customers-import').addEventListener('submit', (event) => {
      event.preventDefault();
      this.importFile();
    });
  }

  async load(before, newerPages) {
    const ticket = ++this.loading;
    byId('customers-status').textContent = '불러오는 중…';
    const params = new URLSearchParams({ limit: String(PAGE_SIZE) });
    if (this.q) params.set('q', this.q);
    if (before) params.set('before', String(before));
    let page;
    try {
      page = await getJson(`/api/customers?${params}`);
    } catch (error) {
      if (ticket !== this.loading) return;
      if (error instanceof AuthError) this.onAuthLost();
      byId('customers-status').textContent = `고객을 읽지 못했습니다: ${error.message}`;
      return;
    }
    if (ticket !== this.loading) return;
    this.loaded = true;
    this.before = before;
    this.newerPages = newerPages;
    this.next = page.next ?? null;
    const customers = page.customers ?? [];
    byId('customers-rows').replaceChildren(...customers.map((customer) => this.row(customer)));
    const filter = this.q ? `"${this.q}" 검색 결과` : '전체 고객';
    byId('customers-status').textContent = customers.length ? filter : `${filter}: 고객이 없습니다.`;
    byId('customers-page').textContent = `${this.newerPages.length + 1}쪽`;
    byId('customers-newer').disabled = this.before === 0;
    byId('customers-first').disabled = this.before === 0;
    byId('customers-older').disabled = !this.next;
  }

  row(customer) {
    const cell = (label, text, className = '') => el('td', { text, className, data: { label } });
    return el('tr', { data: { number: customer.number } },
      el('td', { className: 'name', data: { label: '이름' } }, el('span', { text: customer.name }),
        el('span', { className: 'blocked-mark', text: '수신 거부됨', attrs: rejectList.has(customer.number) ? {} : { hidden: '' } })),
      el('td', { data: { label: '번호' } }, el('button', {
        className: 'number link', text: customer.shown ?? customer.number,
        attrs: { type: 'button', title: '고객 정보와 통화' },
        onClick: () => this.showCustomer(customer.number),
      })),
      cell('지역', customer.region ?? ''),
      cell('주소', customer.address),
      cell('메모', customer.memo, 'memo'),
      cell('변경', localTime(customer.changed)),
      el('td', {},
        el('button', { text: '수정', attrs: { type: 'button' }, onClick: () => this.openForm(customer.number, customer) }),
        el('button', {
          text: '삭제', attrs: { type: 'button' },
          onClick: () => this.remove(customer, byId('customers-status')),
        })));
  }

  // The form, for a new customer (number filled in when known) or a change.
  openForm(number, customer) {
    this.editing = customer ? customer.number : null;
    byId('customer-edit-title').textContent = customer ? '고객 수정' : '고객 등록';
    byId('customer-number').value = number ? formatNumber(numberDigits(number)) : '';
    byId('customer-number').readOnly = Boolean(customer);
    byId('customer-name').value = customer?.name ?? '';
    byId('customer-address').value = customer?.address ?? '';
    byId('customer-memo').value = customer?.memo ?? '';
    byId('customer-edit-result').textContent = '';
    byId('customer-edit').hidden = false;
    (number ? byId('customer-name') : byId('customer-number')).focus();
  }

  async save() {
    const result = byId('customer-edit-result');
    const digits = numberDigits(byId('customer-number').value);
    if (!digits) return showResult(result, false, '전화번호에 숫자가 없습니다.');
    const body = JSON.stringify({
      name: byId('customer-name').value,
      address: byId('customer-address').value,
      memo: byId('customer-memo').value,
    });
    try {
      const customer = await send('PUT', `/api/customers/${digits}`, body);
      showResult(result, true, `저장했습니다: ${customer.name} ${customer.shown}`);
      byId('customer-edit').hidden = true;
      this.onChanged(customer);
      this.load(0, []);
      if (this.shown?.number === customer.number) this.showCustomer(customer.number);
    } catch (error) {
      this.failed(result, error);
    }
  }

  async remove(customer, result) {
    if (!window.confirm(`${customer.name || customer.shown} 고객을 삭제할까요?`)) return;
    try {
      await send('DELETE', `/api/customers/${customer.number}`);
      showResult(result, true, `삭제했습니다: ${customer.shown ?? customer.number}`);
      if (this.shown?.number === customer.number) byId('customer-page').hidden = true;
      this.onChanged(null);
      this.load(this.before, this.newerPages);
    } catch (error) {
      this.failed(result, error);
    }
  }

  async reject(number, result) {
    try {
      const outcome = await rejectNumber(this.portFor(), number);
      showResult(result, outcome.ok, outcome.text);
      if (outcome.ok) this.onRejected();
    } catch (error) {
      this.failed(result, error);
    }
  }

  // A customer's page: the details and every call from the number.
  async showCustomer(number) {
    const digits = numberDigits(number);
    const page = byId('customer-page');
    byId('customer-page-result').textContent = '';
    let customer = null;
    try {
      // A search rather than GET /api/customers/{number}: an unknown number is
      // no error here (and a 404 would be one in the browser's console).
      const found = await getJson(`/api/customers?q=${digits}&limit=1000`);
      customer = (found.customers ?? []).find((c) => c.number === digits) ?? null;
    } catch (error) {
      if (error instanceof AuthError) return this.onAuthLost();
    }
    const shown = formatNumber(digits);
    this.shown = customer ?? { number: digits, shown, name: '', address: '', memo: '' };
    byId('customer-page-title').textContent = customer ? `${customer.name} ${shown}` : `${shown} (등록되지 않은 번호)`;
    byId('customer-page-edit').textContent = customer ? '고객 수정' : '고객 등록';
    byId('customer-page-delete').hidden = !customer;
    byId('customer-page-blocked').hidden = !rejectList.has(digits);
    const pair = (term, text) => [el('dt', { text: term }), el('dd', { text })];
    byId('customer-details').replaceChildren(
      ...pair('번호', shown), ...pair('지역', regionOf(digits) || '-'),
      ...(customer ? [...pair('주소', customer.address), ...pair('메모', customer.memo),
        ...pair('등록', localTime(customer.created)), ...pair('변경', localTime(customer.changed))] : []));
    page.hidden = false;
    byId('customer-page-call-back').replaceChildren();
    let calls = [];
    try {
      // The search finds the number inside longer ones too: only its own calls.
      calls = ((await getJson(`/api/calls?q=${encodeURIComponent(digits)}&limit=1000`)).calls ?? [])
        .filter((call) => numberDigits(call.cidInfo?.lNumber) === digits);
      const list = calls.map((call) => el('li', {
        text: `${localTime(call.at)} ${call.portName ?? ''} ${callStateWord(call.callState)} `
          + `${call.cidInfo?.lName || NO_NAME}`,
      }));
      byId('customer-calls').replaceChildren(...(list.length ? list : [el('li', { className: 'muted', text: '통화가 없습니다.' })]));
    } catch (error) {
      if (error instanceof AuthError) return this.onAuthLost();
    }
    // Called back on the line the customer last called on, as from their call.
    byId('customer-page-call-back').replaceChildren(
      ...callBackControls(calls[0]?.portName ?? this.portFor(), digits, this.onAuthLost));
  }

  async importFile() {
    const result = byId('customers-import-result');
    const file = byId('customers-file').files[0];
    byId('customers-refused').replaceChildren();
    if (!file) return showResult(result, false, 'CSV 파일을 고르세요.');
    const partial = byId('customers-partial').checked ? '?partial=1' : '';
    try {
      // The bytes as they are: the service tells code page 949 from UTF-8.
      const answer = await send('POST', `/api/customers/import${partial}`, await file.arrayBuffer(), 'text/csv');
      showResult(result, true, `가져왔습니다: 추가 ${answer.added}, 변경 ${answer.updated}, `
        + `그대로 ${answer.unchanged}, 거절 ${answer.refused?.length ?? 0}`);
      this.listRefused(answer.refused ?? []);
      this.onChanged(null);
      this.load(0, []);
    } catch (error) {
      this.failed(result, error);
      this.listRefused(error.answer?.refused ?? []);
    }
  }

  listRefused(refused) {
    byId('customers-refused').replaceChildren(...refused.map((line) => el('li', {
      text: `${line.line}번째 줄: ${line.reasonKo ?? line.reason}`,
    })));
  }
}
