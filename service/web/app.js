// The dashboard: login, the three views, and the stream that feeds them.
import { AuthError, getJson, login, logout } from './api.js';
import { Customers, rejectNumber } from './customers.js';
import { byId } from './dom.js';
import { History } from './history.js';
import { Live } from './live.js';
import { Missed } from './missed.js';
import { Stats } from './stats.js';
import { Stream } from './stream.js';
import { Terminal } from './terminal.js';

let started = false;

function showLogin(message = '') {
  byId('app').hidden = true;
  byId('login').hidden = false;
  byId('login-error').textContent = message;
  byId('token').focus();
}

function setUpLogin() {
  byId('login-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const field = byId('token');
    const ok = await login(field.value, byId('remember').checked).catch(() => null);
    field.value = '';
    if (!ok) {
      showLogin(ok === null ? '서비스에 연결할 수 없습니다.' : '토큰이 맞지 않습니다.');
      return;
    }
    // A session that ended leaves listeners behind: start afresh.
    if (started) location.reload();
    else boot();
  });
}

function setUpViews(history, terminal, customers, stats) {
  const tabs = [...document.querySelectorAll('[data-view]')];
  const opened = new Set(['live']);
  for (const tab of tabs) {
    tab.addEventListener('click', () => {
      const view = tab.dataset.view;
      for (const other of tabs) {
        other.setAttribute('aria-pressed', String(other === tab));
        byId(`view-${other.dataset.view}`).hidden = other !== tab;
      }
      if (view === 'live') {
        byId('live-badge').hidden = true;
        byId('live-badge').textContent = '';
      }
      if (!opened.has(view)) {
        opened.add(view);
        if (view === 'history') history.load(0, []);
        if (view === 'terminal') terminal.readAll();
        if (view === 'customers') customers.load(0, []);
        if (view === 'stats') stats.load();
      }
      if (view === 'stats') stats.fit();
    });
  }
  // skipLoad: the caller fills the view itself (a search from a link).
  return (view, skipLoad = false) => {
    if (skipLoad) opened.add(view);
    tabs.find((tab) => tab.dataset.view === view)?.click();
  };
}

// Links into the page from outside (the counter PCs' popup):
// #customer=NUMBER, #history?q=NUMBER, #missed.
function followLink(showView, customers, history) {
  const link = decodeURIComponent(location.hash.slice(1));
  if (link.startsWith('customer=')) {
    showView('customers');
    customers.showCustomer(link.slice('customer='.length));
  } else if (link.startsWith('history?q=')) {
    showView('history', true);
    history.showNumber(link.slice('history?q='.length));
  } else if (link === 'missed') {
    showView('missed');
  }
}

// The last hook report of each port, from the recent stored events.
async function recentHooks(lastId) {
  const after = Math.max(0, lastId - 500);
  const answer = await getJson(`/api/events?after=${after}&limit=500`);
  const hooks = new Map();
  for (const event of answer.events ?? []) {
    if (event.event === 'HookEvent') hooks.set(event.portName, Boolean(event.eventType));
  }
  return hooks;
}

// Who is logged in, and what a view login may not do.
function showWho({ name, scope }) {
  byId('who').textContent = `${name} · ${scope === 'admin' ? '관리자' : '보기 전용'}`;
}

async function boot() {
  let ports;
  let who;
  try {
    who = await getJson('/session');
    if (!who.session) return showLogin();
    ports = await getJson('/api/ports');
  } catch (error) {
    showLogin(error instanceof AuthError ? '' : `서비스에 연결할 수 없습니다: ${error.message}`);
    return;
  }
  started = true;
  byId('login').hidden = true;
  byId('app').hidden = false;

  const health = await getJson('/healthz');
  byId('site').textContent = health.site ?? '';
  const lastId = Number(health.lastId) || 0;

  let stream = null;
  const authLost = () => {
    stream?.stop();
    showLogin('세션이 끝났습니다. 다시 로그인하세요.');
  };
  const missedCalls = new Missed({ onAuthLost: authLost });
  missedCalls.setReadOnly(who.scope !== 'admin');
  let showView = null;
  const terminal = new Terminal({ onAuthLost: authLost });
  // After a 수신 거부 anywhere, the terminal's list is read back: every view marks the number.
  const readRejects = () => terminal.query('j', { quiet: true });
  const customers = new Customers({ onAuthLost: authLost, portFor: () => terminal.port, onRejected: readRejects,
    onBookChanged: () => terminal.nameRejected() });
  // A number, wherever it is shown, opens that customer's page.
  const showCustomer = (number) => {
    showView('customers');
    customers.showCustomer(number);
  };
  const history = new History({ onAuthLost: authLost, onNumber: showCustomer });
  const live = new Live({
    onNumber: showCustomer,
    onCustomer: (number, customer) => {
      showView('customers');
      customers.openForm(number, customer ? { ...customer, number } : null);
    },
    onReject: async (number) => {
      const outcome = await rejectNumber(terminal.port, number);
      if (outcome.ok) readRejects();
      return outcome;
    },
  });
  const stats = new Stats({ onAuthLost: authLost });
  showView = setUpViews(history, terminal, customers, stats);
  followLink(showView, customers, history);
  window.addEventListener('hashchange', () => followLink(showView, customers, history));
  showWho(who);
  terminal.setReadOnly(who.scope !== 'admin');
  terminal.setPorts(ports.ports ?? []);

  let missed = 0;
  const onEvent = (event, wasMissed) => {
    switch (event.event) {
      case 'ReceiveCall':
        live.addCall(event, { missed: wasMissed });
        history.newCall();
        if (wasMissed) {
          missed += 1;
          byId('missed-text').textContent = `연결이 끊긴 동안 전화 ${missed}건이 왔습니다.`;
          byId('missed').hidden = false;
        }
        if (byId('view-live').hidden) {
          const badge = byId('live-badge');
          badge.textContent = String(Number(badge.textContent || 0) + 1);
          badge.hidden = false;
        }
        break;
      case 'HookEvent': live.setHook(event.portName, Boolean(event.eventType)); break;
      case 'PortState': terminal.portState(event); break;
      case 'CallOutcome':
      case 'MissedDone': missedCalls.handleEvent(event); break;
      case 'CustomerChanged':
      case 'CustomersImported':
        customers.bookChanged(event);
        break;
      default: terminal.handleEvent(event);
    }
  };
  stream = new Stream({
    onEvent,
    onOnline: () => { byId('banner').hidden = true; },
    onOffline: () => { byId('banner').hidden = false; },
    onAuthLost: authLost,
  });
  byId('missed-close').addEventListener('click', () => {
    missed = 0;
    byId('missed').hidden = true;
  });
  byId('logout').addEventListener('click', async () => {
    stream.stop();
    await logout().catch(() => {});
    location.reload();
  });

  try {
    const recent = await getJson('/api/calls?limit=10');
    for (const call of recent.calls ?? []) if (call.id <= lastId) live.addCall(call, { older: true });
    for (const [port, lifted] of await recentHooks(lastId)) live.setHook(port, lifted);
  } catch (error) {
    if (error instanceof AuthError) return authLost();
  }
  await missedCalls.load();
  stream.start(lastId);
}

setUpLogin();
boot();
