// The call history, newest first, one page at a time: the table never holds
// more than PAGE_SIZE rows, however long the history is.
import { AuthError, getJson } from './api.js';
import { clamped, el, byId, localTime } from './dom.js';
import { callBackControls } from './missed.js';
import { callStateWord, NO_NAME, telTypeText } from './words.js';

export const PAGE_SIZE = 20;

const OUTCOME_WORDS = new Map([['answered', '응답'], ['missed', '부재중'], ['pending', '대기']]);

// A local calendar day ("2026-12-07") as the UTC instant it starts at.
function dayStart(value, plusDays = 0) {
  const [year, month, day] = value.split('-').map(Number);
  return new Date(year, month - 1, day + plusDays).toISOString();
}

// The heading of a result: what was searched, and the days it covers.
export function filterTitle({ q, since, until }) {
  let days = '';
  if (since && until) days = since === until ? since : `${since} ~ ${until}`;
  else if (since) days = `${since}부터`;
  else if (until) days = `${until}까지`;
  if (q) return days ? `"${q}" 검색 결과 (${days})` : `"${q}" 검색 결과`;
  return days ? `${days} 기록` : '전체 기록';
}

export class History {
  constructor({ onAuthLost, onNumber = null }) {
    this.onAuthLost = onAuthLost;
    this.onNumber = onNumber; // a number's own page (the customer's), else its calls here
    this.filter = { q: '', since: '', until: '' };
    this.before = 0;       // 0: the newest page
    this.newerPages = [];  // the before= of each page in front of this one
    this.next = null;
    this.loading = 0;
    this.refresh = null;
    this.setUpForm();
  }

  setUpForm() {
    byId('history-form').addEventListener('submit', (event) => {
      event.preventDefault();
      this.search({
        q: byId('history-q').value.trim(),
        since: byId('history-since').value,
        until: byId('history-until').value,
      });
    });
    byId('history-reset').addEventListener('click', () => this.showNumber(''));
    // The current search as CSV: the service streams it, the browser saves it.
    byId('history-export').addEventListener('click', () => {
      const link = el('a', { attrs: { href: this.query(0, '/api/calls/export'), download: 'calls.csv' } });
      document.body.append(link);
      link.click();
      link.remove();
    });
    byId('history-first').addEventListener('click', () => this.load(0, []));
    byId('history-newer').addEventListener('click', () => {
      const pages = [...this.newerPages];
      const before = pages.pop() ?? 0;
      this.load(before, pages);
    });
    byId('history-older').addEventListener('click', () => {
      if (this.next) this.load(this.next, [...this.newerPages, this.before]);
    });
  }

  // A new call: the newest page, while it is on the screen, shows it too.
  // A burst of calls is one reload.
  newCall() {
    if (byId('view-history').hidden || this.before !== 0 || this.refresh) return;
    this.refresh = setTimeout(() => {
      this.refresh = null;
      if (this.before === 0) this.load(0, this.newerPages);
    }, 200);
  }

  search(filter) {
    if (filter.since && filter.until && filter.since > filter.until) {
      byId('history-status').textContent = '시작 날짜가 끝 날짜보다 늦습니다.';
      return;
    }
    this.filter = filter;
    this.load(0, []);
  }

  // A caller's calls: the number as the search text, no date limits.
  showNumber(number) {
    byId('history-q').value = number;
    byId('history-since').value = '';
    byId('history-until').value = '';
    this.search({ q: number, since: '', until: '' });
  }

  query(before, path = '/api/calls') {
    const params = new URLSearchParams(path === '/api/calls' ? { limit: String(PAGE_SIZE) } : {});
    if (this.filter.q) params.set('q', this.filter.q);
    if (this.filter.since) params.set('since', dayStart(this.filter.since));
    if (this.filter.until) params.set('until', dayStart(this.filter.until, 1));
    if (before) params.set('before', String(before));
    return `${path}?${params}`;
  }

  async load(before, newerPages) {
    const ticket = ++this.loading;
    byId('history-status').textContent = '불러오는 중…';
    let page;
    try {
      page = await getJson(this.query(before));
    } catch (error) {
      if (ticket !== this.loading) return;
      if (error instanceof AuthError) this.onAuthLost();
      byId('history-status').textContent = `기록을 읽지 못했습니다: ${error.message}`;
      return;
    }
    // A slower, older answer must not overwrite a newer one.
    if (ticket !== this.loading) return;
    this.before = before;
    this.newerPages = newerPages;
    this.next = page.next ?? null;
    this.render(page.calls ?? []);
  }

  render(calls) {
    byId('history-rows').replaceChildren(...calls.map((call) => this.row(call)));
    const filter = filterTitle(this.filter);
    byId('history-status').textContent = calls.length ? `${filter}` : `${filter}: 통화가 없습니다.`;
    byId('history-page').textContent = `${this.newerPages.length + 1}쪽`;
    byId('history-newer').disabled = this.before === 0;
    byId('history-first').disabled = this.before === 0;
    byId('history-older').disabled = !this.next;
  }

  row(call) {
    const info = call.cidInfo ?? {};
    const cell = (label, text, className = '') => el('td', { text, className, data: { label } });
    const numberCell = el('td', { data: { label: '번호' } },
      clamped('button', 'number link', info.lNumber ?? '', {
        attrs: { type: 'button', title: '이 번호의 통화 기록' },
        onClick: () => (this.onNumber ?? ((number) => this.showNumber(number)))(info.lNumber ?? ''),
      }));
    const lineName = info.lName ? info.lName : NO_NAME;
    return el('tr', { data: { id: call.id } },
      cell('시각', localTime(call.at)),
      cell('포트', call.portName ?? ''),
      cell('상태', callStateWord(call.callState)),
      numberCell,
      el('td', { data: { label: '이름' } },
         clamped('span', 'name', call.customer ? `${call.customer.name} (${lineName})` : lineName)),
      cell('그룹', info.lGroup ?? ''),
      cell('전화 종류', telTypeText(info.lTelType) || (info.lTelType ?? '')),
      cell('결과', OUTCOME_WORDS.get(call.outcome) ?? ''),
      this.callBackCell(call.portName, info.lNumber));
  }

  callBackCell(portName, number) {
    return el('td', { data: { label: '전화 걸기' } }, ...callBackControls(portName, number, this.onAuthLost));
  }
}
