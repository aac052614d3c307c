// The service's HTTP API. The session cookie rides along on every request;
// the token itself is only ever sent in the login form's body.

export class AuthError extends Error {
  constructor() { super('로그인이 필요합니다.'); }
}

async function request(url, options = {}) {
  const response = await fetch(url, { credentials: 'same-origin', cache: 'no-store', ...options });
  if (response.status === 401) throw new AuthError();
  const body = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(body.error ?? `HTTP ${response.status}`);
  return body;
}

export const getJson = (url) => request(url, { headers: { Accept: 'application/json' } });

export const postJson = (url, object) => request(url, {
  method: 'POST',
  headers: { 'Content-Type': 'application/json', Accept: 'application/json' },
  body: JSON.stringify(object),
});

export const callTavro = (object) => postJson('/api/call', object);

// SendCmd, then on failure the control's own Korean error text.
export async function sendCmd(portName, cmd, para1 = '', para2 = '', para3 = '') {
  const answer = await callTavro({ call: 'SendCmd', portName, cmd, para1, para2, para3 });
  if (answer.error) return { ok: false, text: answer.error };
  if (answer.value === true) return { ok: true };
  const error = await callTavro({ call: 'GetCurrentErrorMsg' });
  return { ok: false, text: String(error.value ?? error.error ?? '').trim() };
}

// remember: a session that outlives a restart of the service (30 days unused).
export async function login(token, remember = false) {
  const response = await fetch('/login', {
    method: 'POST',
    credentials: 'same-origin',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ token, remember }),
  });
  return response.ok;
}

export const logout = () => fetch('/logout', { method: 'POST', credentials: 'same-origin' });
