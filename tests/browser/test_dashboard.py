#!/usr/bin/python3
"""The dashboard in a real browser: headless Chromium through Selenium and
chromedriver against tavrod, with tavro_sim playing the terminal on a pty.

Run by Debian's own Python 3 (/usr/bin/python3), which sees python3-selenium.
All traffic stays on 127.0.0.1. Prints the figures it measures (first paint,
End line to card) and saves screenshots at 1280x800 and 390x844.
"""

import argparse
import json
import os
import queue
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException, StaleElementReferenceException, TimeoutException
from selenium.webdriver.chrome.service import Service as ChromeService
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

HOSTILE = '<img src=x onerror=alert(1)>'


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Lines:
    """Collects the lines a child process writes, on a thread of its own."""

    def __init__(self, stream):
        self.queue = queue.Queue()
        self.seen = []
        threading.Thread(target=self._pump, args=(stream,), daemon=True).start()

    def _pump(self, stream):
        for line in iter(stream.readline, ''):
            self.queue.put(line.rstrip('\n'))

    def wait_for(self, pattern, timeout=10.0):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failure(f'no line matching {pattern!r} within {timeout} s; saw {self.seen[-5:]}')
            try:
                line = self.queue.get(timeout=left)
            except queue.Empty:
                continue
            self.seen.append(line)
            match = re.search(pattern, line)
            if match:
                return match

    def drain(self):
        while not self.queue.empty():
            self.seen.append(self.queue.get_nowait())
        return self.seen


class Simulator:
    def __init__(self, binary):
        self.proc = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True, bufsize=1, encoding='utf-8')
        self.out = Lines(self.proc.stdout)
        self.path = self.out.wait_for(r'^(/\S+)$').group(1)
        self.out.wait_for('ready')

    def type(self, line):
        """Writes an operator command; returns the wall-clock time in ms."""
        at = time.time() * 1000.0
        self.proc.stdin.write(line + '\n')
        self.proc.stdin.flush()
        return at

    def rejected(self):
        self.out.drain()
        self.type('state')
        return self.out.wait_for(r'^rejected numbers: (.*)$').group(1)

    def host_lines(self):
        return [line for line in self.out.drain() if line.startswith('host ')]

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


class Tavrod:
    def __init__(self, binary, folder, sim_path):
        self.token_file = os.path.join(folder, 'token')
        self.args = [binary, '--map', f'COM1={sim_path}', '--map', f'COM2={os.path.join(folder, "absent")}',
                     '--listen', '127.0.0.1:0', '--db', os.path.join(folder, 'events.sqlite'),
                     '--token-file', self.token_file, '--site', 'browser-test', '--ring-window', '2']
        self._start()

    def _start(self):
        self.proc = subprocess.Popen(self.args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                                     bufsize=1)
        self.err = Lines(self.proc.stderr)
        self.port = int(self.err.wait_for(r'listening on http://127\.0\.0\.1:(\d+)').group(1))
        self.base = f'http://127.0.0.1:{self.port}'
        with open(self.token_file, encoding='utf-8') as f:
            self.token = f.readline().strip()

    def get(self, path):
        request = urllib.request.Request(self.base + path, headers={'Authorization': f'Bearer {self.token}'})
        with urllib.request.urlopen(request, timeout=10) as response:
            return json.loads(response.read())

    def wait_port_open(self, name, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if any(p['portName'] == name and p['open'] for p in self.get('/api/ports')['ports']):
                return
            time.sleep(0.1)
        raise Failure(f'{name} did not open')

    def restart(self):
        """Stops and starts again on the same port and store."""
        check(self.stop() == 0, 'tavrod did not stop cleanly')
        self.args[self.args.index('--listen') + 1] = f'127.0.0.1:{self.port}'
        self._start()

    def stop(self):
        """SIGTERM; the exit status (0 for a clean end)."""
        if self.proc.poll() is None:
            self.proc.terminate()
        return self.proc.wait(timeout=20)


class CutProxy:
    """A TCP relay to tavrod that can cut every connection and hold new ones
    until it is restored: the stream breaks, the browser logs no failure."""

    def __init__(self, target_port):
        self.target = ('127.0.0.1', target_port)
        self.server = socket.create_server(('127.0.0.1', 0))
        self.port = self.server.getsockname()[1]
        self.open = threading.Event()
        self.open.set()
        self.lock = threading.Lock()
        self.sockets = set()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.server.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _serve(self, client):
        self.open.wait()
        upstream = socket.create_connection(self.target)
        with self.lock:
            self.sockets.update((client, upstream))
        for a, b in ((client, upstream), (upstream, client)):
            threading.Thread(target=self._pump, args=(a, b), daemon=True).start()

    def _pump(self, source, sink):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                sink.sendall(data)
        except OSError:
            pass
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def cut(self):
        self.open.clear()
        with self.lock:
            for s in self.sockets:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            self.sockets.clear()

    def restore(self):
        self.open.set()

    def close(self):
        self.server.close()


def start_browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = '/usr/bin/chromium'
    for flag in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                 '--disable-background-networking', '--disable-component-update', '--disable-sync',
                 f'--user-data-dir={profile}', '--window-size=1280,800', '--lang=ko-KR'):
        options.add_argument(flag)
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    driver = webdriver.Chrome(service=ChromeService('/usr/bin/chromedriver'), options=options)
    driver.set_page_load_timeout(20)
    return driver


class Suite:
    def __init__(self, args, folder):
        self.args = args
        self.folder = folder
        self.sim = Simulator(args.sim)
        self.service = Tavrod(args.tavrod, folder, self.sim.path)
        self.service.wait_port_open('COM1')
        self.driver = start_browser(os.path.join(folder, 'profile'))
        self.figures = {}

    def close(self):
        for step in (self.driver.quit, self.service.stop, self.sim.stop):
            try:
                step()
            except Exception as error:  # keep closing the rest
                print(f'cleanup: {error}', file=sys.stderr)

    # -- helpers -----------------------------------------------------------

    def wait(self, condition, timeout=5.0, message='condition'):
        try:
            # An element may be replaced between finding it and reading it (a reload): ask again.
            return WebDriverWait(self.driver, timeout, poll_frequency=0.02,
                                 ignored_exceptions=[StaleElementReferenceException]).until(lambda d: condition())
        except TimeoutException:
            raise Failure(f'timed out after {timeout} s waiting for {message}') from None

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def by_id(self, element_id):
        return self.driver.find_element(By.ID, element_id)

    def visible(self, element_id):
        return self.by_id(element_id).is_displayed()

    def card_for(self, number):
        return self.js("""
            const card = [...document.querySelectorAll('#cards .card')]
              .find((c) => c.querySelector('.number').textContent === arguments[0]);
            if (!card) return null;
            return {name: card.querySelector('.name').textContent, group: card.querySelector('.group').textContent,
                    type: card.querySelector('.type').textContent, port: card.querySelector('.port').textContent,
                    state: card.querySelector('.state').textContent, missed: card.classList.contains('missed'),
                    shownAt: Number(card.dataset.shownAt), time: card.querySelector('.time').textContent};
        """, number)

    def wait_card(self, number, timeout=1.0):
        return self.wait(lambda: self.card_for(number), timeout, f'the card of {number}')

    def log_out(self):
        # 로그아웃 reloads the page; an answer that failed meanwhile may show the old page's
        # login form first, so wait for the new document before typing into it.
        self.js('window.beforeLogout = true')
        self.by_id('logout').click()
        self.wait(lambda: self.js('return window.beforeLogout === undefined') and self.visible('login'), 5,
                  'the login form after 로그아웃')

    def show_view(self, name):
        self.driver.find_element(By.CSS_SELECTOR, f'[data-view="{name}"]').click()
        self.wait(lambda: self.visible(f'view-{name}'), 2, f'the {name} view')

    def severe_logs(self):
        return [entry['message'] for entry in self.driver.get_log('browser') if entry['level'] == 'SEVERE']

    def no_horizontal_scroll(self, label):
        widths = self.js('return [document.documentElement.scrollWidth, document.documentElement.clientWidth]')
        check(widths[0] <= widths[1], f'{label}: page is {widths[0]} px wide in a {widths[1]} px window')

    def history_rows(self):
        return self.js("""
            return [...document.querySelectorAll('#history-rows tr')].map((row) => ({
              id: Number(row.dataset.id), number: row.querySelector('.number').textContent,
              name: row.querySelector('.name').textContent}));
        """)

    def history_search(self, q='', since='', until=''):
        for element_id, value in (('history-q', q), ('history-since', since), ('history-until', until)):
            self.js('document.getElementById(arguments[0]).value = arguments[1]', element_id, value)
        # Every answer rewrites the status line: blank it to see this one arrive.
        self.js("document.getElementById('history-status').textContent = ''")
        self.driver.find_element(By.CSS_SELECTOR, '#history-form button[type="submit"]').click()
        self.wait(lambda: self.by_id('history-status').text not in ('', '불러오는 중…'), 3, f'the search {q!r}')

    def panel_result(self, panel):
        return self.driver.find_element(By.CSS_SELECTOR, f'[data-result="{panel}"]').text

    # -- the cases -------------------------------------------------------------

    def test_login(self):
        base = self.service.base
        self.driver.get(base + '/')
        self.wait(lambda: self.visible('login'), 5, 'the login form')
        check(not self.visible('app'), 'the dashboard shows before login')

        token_field = self.by_id('token')
        token_field.send_keys('not-the-token' + Keys.ENTER)
        self.wait(lambda: self.by_id('login-error').text == '토큰이 맞지 않습니다.', 3, 'the wrong-token text')
        check(not self.visible('app'), 'a wrong token opened the dashboard')
        # The browser reports the refused login itself; nothing else may be logged.
        unexpected = [m for m in self.severe_logs() if '/login' not in m or '401' not in m]
        check(not unexpected, f'console errors at login: {unexpected}')

        self.by_id('token').send_keys(self.service.token + Keys.ENTER)
        self.wait(lambda: self.visible('app'), 5, 'the dashboard after login')
        check(self.service.token not in self.driver.current_url, 'the token is in the URL')
        cookies = {c['name']: c for c in self.driver.get_cookies()}
        session = cookies.get('tavro_session')
        check(session is not None, 'no session cookie')
        check(session['httpOnly'] and session.get('sameSite') == 'Strict',
              f'session cookie flags: {session}')
        check('tavro_session' not in self.js('return document.cookie'), 'the session cookie is visible to scripts')
        check(self.js("return document.getElementById('token').value") == '', 'the token stays in the field')

        # First paint of / with the session: fresh loads, the browser's own timing.
        paints = []
        for _ in range(5):
            self.driver.get(base + '/')
            self.wait(lambda: self.visible('app'), 5, 'the dashboard after reload')
            paint = self.wait(lambda: self.js("""
                const p = performance.getEntriesByType('paint').find((e) => e.name === 'first-contentful-paint');
                return p ? p.startTime : null;"""), 3, 'the first-contentful-paint entry')
            paints.append(paint)
        self.figures['first paint of / (ms, 5 loads)'] = (
            f'median {statistics.median(paints):.1f}, max {max(paints):.1f}')
        check(max(paints) < 3000, f'first paint took {max(paints):.0f} ms')

    def test_live_calls(self):
        self.sim.type('call 0212345678 홍길동 3 S')
        card = self.wait_card('0212345678', timeout=1.0)
        check(card['name'] == '홍길동' and card['group'] == '3' and card['type'] == '일반 전화'
              and card['port'] == 'COM1' and card['state'] == '착신:' and not card['missed'],
              f'card of 홍길동: {card}')
        self.sim.type('busy 0311112222 - 0 C')
        card = self.wait_card('0311112222', timeout=1.0)
        check(card['name'] == '없슴' and card['state'] == '통화중착신' and card['type'] == '공중 전화',
              f'card of an unnamed call during a call: {card}')
        self.sim.type('lift')
        self.wait(lambda: 'COM1]수화기를 들었습니다.' in self.by_id('hook-states').text, 1, 'the lifted handset')
        self.sim.type('hangup')
        self.wait(lambda: 'COM1]수화기를 놓았습니다.' in self.by_id('hook-states').text, 1, 'the handset down')

        # End line on the pty -> card in the page, by the same wall clock.
        latencies = []
        for i in range(20):
            number = f'0511230{i:03d}'
            typed = self.sim.type(f'call {number} 측정{i} 1 V')
            latencies.append(self.wait_card(number, timeout=1.0)['shownAt'] - typed)
        latencies.sort()
        p95 = latencies[int(0.95 * (len(latencies) - 1))]
        self.figures['typed to tavro_sim -> card in the page (ms, 20 calls)'] = (
            f'p50 {statistics.median(latencies):.1f}, p95 {p95:.1f}, max {latencies[-1]:.1f}')
        check(self.js("return document.querySelectorAll('#cards .card').length") <= 30,
              'the live list keeps more than 30 cards')

    def test_hostile_name(self):
        self.sim.type(f'call 0215556666 "{HOSTILE}" 2 S')
        card = self.wait_card('0215556666', timeout=1.0)
        check(card['name'] == HOSTILE, f'the hostile name shows as {card["name"]!r}')
        check(self.js('return document.images.length') == 0, 'an <img> element was created')
        try:
            alert = self.driver.switch_to.alert
            text = alert.text
            alert.dismiss()
            raise Failure(f'an alert ran: {text}')
        except NoAlertPresentException:
            pass

    def missed_numbers(self):
        return self.js("""
            return [...document.querySelectorAll('#missed-rows tr')].map((row) => row.children[2].textContent);
        """)

    def missed_badge(self):
        return self.js("const b = document.getElementById('missed-badge'); return b.hidden ? 0 : Number(b.textContent);")

    def test_missed(self):
        """A call nobody lifts shows under 부재중 on two screens; done on one clears both; call back dials."""
        first = self.driver.current_window_handle
        self.sim.type('call 0244445555 부재자')
        self.show_view('missed')
        self.wait(lambda: '02-4444-5555' in self.missed_numbers(), 6, 'the missed call on the first screen')
        check(self.driver.title.startswith(f'({self.missed_badge()}) '), f'title {self.driver.title!r}')
        self.driver.switch_to.new_window('window')
        second = self.driver.current_window_handle
        self.driver.get(self.service.base + '/')
        self.wait(lambda: self.visible('app'), 5, 'the second screen')
        self.show_view('missed')
        self.wait(lambda: '02-4444-5555' in self.missed_numbers(), 5, 'the missed call on the second screen')
        before = self.missed_badge()
        self.driver.find_element(By.XPATH, "//tr[td[text()='02-4444-5555']]//button[text()='처리 완료']").click()
        self.wait(lambda: '02-4444-5555' not in self.missed_numbers(), 5, 'done on the second screen')
        self.driver.switch_to.window(first)
        self.wait(lambda: '02-4444-5555' not in self.missed_numbers(), 5, 'done reaching the first screen')
        check(self.missed_badge() == before - 1, f'badge {self.missed_badge()} after {before}')

        # Call back: the page asks for the handset; the dial goes out after the lift.
        self.sim.type('hangup')
        self.sim.type('call 0233332222 다시')
        self.wait(lambda: '02-3333-2222' in self.missed_numbers(), 6, 'the second missed call')
        self.sim.out.drain()
        self.driver.find_element(By.XPATH, "//tr[td[text()='02-3333-2222']]//button[text()='전화 걸기']").click()
        status = lambda: self.driver.find_element(By.XPATH, "//tr[td[text()='02-3333-2222']]//span").text
        self.wait(lambda: status() == '수화기를 드세요', 3, 'the ask for the handset')
        check(not any('dialling' in line for line in self.sim.host_lines()), 'dialled before the lift')
        self.sim.type('lift')
        self.wait(lambda: status() == '명령 송신 성공', 5, 'the dial going out')
        self.sim.out.wait_for(r'dialling 0233332222', 5)
        self.sim.type('hangup')
        # And from the caller's page, on the line of their last call.
        self.driver.get(f'{self.service.base}/#customer=0233332222')
        dial = lambda: self.driver.find_element(By.CSS_SELECTOR, '#customer-page-call-back button')
        self.wait(lambda: self.visible('customer-page') and dial().is_enabled(), 5, '전화 걸기 on the caller\'s page')
        self.sim.out.drain()
        dial().click()
        status = lambda: self.by_id('customer-page-call-back').text
        self.wait(lambda: '수화기를 드세요' in status(), 3, 'the ask for the handset on the caller\'s page')
        self.sim.type('lift')
        self.wait(lambda: '명령 송신 성공' in status(), 5, 'the dial from the caller\'s page')
        self.sim.out.wait_for(r'dialling 0233332222', 5)
        self.sim.type('hangup')
        self.driver.switch_to.window(second)
        self.driver.close()
        self.driver.switch_to.window(first)

        # 통계: both charts drawn by the vendored library, the top callers listed.
        self.show_view('stats')
        self.wait(lambda: self.js("return document.querySelectorAll('#stats-hours canvas, #stats-days canvas').length")
                  >= 2, 5, 'the two charts')
        self.wait(lambda: self.js("return document.querySelectorAll('#stats-top tr').length") > 0, 5, 'top callers')
        self.show_view('live')

    def test_history(self):
        self.show_view('history')
        self.wait(lambda: len(self.history_rows()) > 0, 3, 'the first history page')
        first = self.history_rows()
        check(len(first) == 20, f'the first page holds {len(first)} rows, not 20')
        check([r['id'] for r in first] == sorted((r['id'] for r in first), reverse=True), 'not newest first')
        self.driver.find_element(By.ID, 'history-older').click()
        self.wait(lambda: self.history_rows() and self.history_rows()[0]['id'] < first[-1]['id'], 3, 'page 2')
        second = self.history_rows()
        check(0 < len(second) <= 20 and max(r['id'] for r in second) < min(r['id'] for r in first),
              'page 2 overlaps page 1')
        self.driver.find_element(By.ID, 'history-newer').click()
        self.wait(lambda: self.history_rows() == first, 3, 'back on page 1')

        self.history_search(q='길동')
        rows = self.history_rows()
        check([r['name'] for r in rows] == ['홍길동'], f'search 길동 found {rows}')
        self.history_search(q='onerror')
        rows = self.history_rows()
        check(rows and rows[0]['name'] == HOSTILE, f'the hostile name in the history: {rows}')
        check(self.js('return document.images.length') == 0, 'the history created an <img>')

        today = self.js("const d = new Date(); d.setMinutes(d.getMinutes() - d.getTimezoneOffset());"
                        "return d.toISOString().slice(0, 10)")
        tomorrow = self.js("const d = new Date(); d.setDate(d.getDate() + 1);"
                           "d.setMinutes(d.getMinutes() - d.getTimezoneOffset()); return d.toISOString().slice(0, 10)")
        self.history_search(q='길동', since=today, until=today)
        check(len(self.history_rows()) == 1, 'the call of today is not in today\'s range')
        self.history_search(q='길동', since=tomorrow)
        check(self.history_rows() == [], 'a call of today is in tomorrow\'s range')

        # The newest page takes a new call in by itself.
        self.history_search(q='길동')
        self.sim.type('call 0212345678 홍길동 3 S')
        self.wait(lambda: [r['name'] for r in self.history_rows()] == ['홍길동', '홍길동'], 2,
                  'the new call on the newest page')

        # A click on a number opens that caller's page with their calls.
        self.history_search()
        self.driver.find_element(By.XPATH, '//tbody[@id="history-rows"]//button[text()="0212345678"]').click()
        self.wait(lambda: self.visible('customer-page')
                  and len(self.driver.find_elements(By.CSS_SELECTOR, '#customer-calls li')) == 2, 3,
                  'the calls of 0212345678')
        check('02-1234-5678' in self.by_id('customer-page-title').text, 'the page of another number')
        check(all('홍길동' in item.text for item in self.driver.find_elements(By.CSS_SELECTOR, '#customer-calls li')),
              'other callers listed')

    def test_terminal(self):
        self.show_view('terminal')
        # Opening the view reads everything back; the simulator's brightness is 5... whatever it
        # holds, the page must show the value the terminal answered.
        self.wait(lambda: self.by_id('lcd-value').text not in ('', '?'), 5, 'the brightness read back')
        self.sim.host_lines()

        number = '0299998888'
        self.by_id('reject-number').send_keys(number + Keys.ENTER)
        self.wait(lambda: number in self.by_id('reject-list').text, 8, 'the new number on the reject list')
        self.wait(lambda: '단말기에서 다시 읽었습니다' in self.panel_result('j'), 3, 'the read-back note')
        check('명령 송신 성공' in self.panel_result('j'), f'reject add: {self.panel_result("j")}')
        check(number in self.sim.rejected(), 'the simulator\'s reject list lacks the number')
        self.driver.find_element(By.CSS_SELECTOR, f'#reject-list button[aria-label="{number} 삭제"]').click()
        self.wait(lambda: number not in self.by_id('reject-list').text, 8, 'the number deleted')
        check(number not in self.sim.rejected(), 'the simulator still rejects the number')

        lcd = self.by_id('lcd-input')
        lcd.clear()
        lcd.send_keys('3' + Keys.ENTER)
        self.wait(lambda: self.by_id('lcd-value').text == '3', 8, 'brightness 3 read back')

        # Out of range: a Korean note, and nothing goes to the terminal.
        self.sim.host_lines()
        for element_id, value in (('alarm-hour', '24'), ('alarm-minute', '30')):
            field = self.by_id(element_id)
            field.clear()
            field.send_keys(value)
        self.by_id('alarm-minute').send_keys(Keys.ENTER)
        self.wait(lambda: self.panel_result('t') == '시는 0~23 사이입니다.', 2, 'the hour range note')
        self.by_id('clock-month').clear()
        self.by_id('clock-month').send_keys('13' + Keys.ENTER)
        self.wait(lambda: self.panel_result('d') == '월은 1~12 사이입니다.', 2, 'the month range note')
        time.sleep(0.3)
        sent = [line for line in self.sim.host_lines() if re.match(r'host [ED] ', line)]
        check(not sent, f'out-of-range values reached the terminal: {sent}')

        hour = self.by_id('alarm-hour')
        hour.clear()
        hour.send_keys('7' + Keys.ENTER)
        self.wait(lambda: self.by_id('alarm-time').text == '07:30', 8, 'alarm time 07:30 read back')
        self.driver.find_element(By.ID, 'clock-from-pc').click()
        self.driver.find_element(By.CSS_SELECTOR, '#clock-form button[type="submit"]').click()
        self.wait(lambda: '단말기에서 다시 읽었습니다' in self.panel_result('d'), 8, 'the clock read back')

        # A port that is not open: the control's own Korean error text.
        self.js("const s = document.getElementById('port-select'); s.value = 'COM2';"
                "s.dispatchEvent(new Event('change'))")
        self.driver.find_element(By.CSS_SELECTOR, '[data-query="s"]').click()
        self.wait(lambda: '명령 송신 실패' in self.panel_result('s'), 8, 'the failure on COM2')
        check('통신 포트가 OPEN 되지 않았습니다.' in self.panel_result('s'),
              f'error text: {self.panel_result("s")}')
        self.js("const s = document.getElementById('port-select'); s.value = 'COM1';"
                "s.dispatchEvent(new Event('change'))")

        # Close and open COM1 from the page; the service keeps it as chosen.
        port_state = lambda: self.js("return [...document.querySelectorAll('#ports .port-item')]"
                                     ".find((p) => p.querySelector('strong').textContent === 'COM1')"
                                     ".querySelector('.port-state').textContent")
        self.driver.find_element(By.CSS_SELECTOR, '#ports button[aria-label="COM1 닫기"]').click()
        self.wait(lambda: port_state() == '닫힘', 3, 'COM1 closed')
        time.sleep(1.5)  # the service checks its ports once a second
        check(port_state() == '닫힘' and not self.service.get('/api/ports')['ports'][0]['open'],
              'COM1 was reopened behind the page\'s back')
        self.driver.find_element(By.CSS_SELECTOR, '#ports button[aria-label="COM1 열기"]').click()
        self.wait(lambda: port_state() == '열림', 3, 'COM1 open again')

    def test_customers(self):
        # The page's number rules are the service's: the same table of cases.
        cases_path = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'bridge', 'phone_cases.json')
        with open(cases_path, encoding='utf-8') as f:
            cases = json.load(f)
        wrong = self.driver.execute_async_script("""
            const [cases, done] = arguments;
            import('/phone.js').then((phone) => {
              const wrong = [];
              for (const [written, digits] of cases.digits)
                if (phone.numberDigits(written) !== digits) wrong.push([written, phone.numberDigits(written)]);
              for (const [digits, shown, region] of cases.shown)
                if (phone.formatNumber(digits) !== shown || phone.regionOf(digits) !== region)
                  wrong.push([digits, phone.formatNumber(digits), phone.regionOf(digits)]);
              done(wrong);
            }, (error) => done([String(error)]));
        """, cases)
        check(wrong == [], f'phone.js differs from the cases: {wrong}')

        # An unknown caller's card: 고객 등록 opens the form with the number filled in.
        self.show_view('live')
        number = '0231234567'
        self.sim.type(f'call {number} - 1 S')
        self.wait_card(number, timeout=2.0)
        self.js("""
            const card = [...document.querySelectorAll('#cards .card')]
              .find((c) => c.querySelector('.number').textContent === arguments[0]);
            card.querySelector('.customer-add-button').click();
        """, number)
        self.wait(lambda: self.visible('customer-edit'), 3, 'the customer form')
        check(self.by_id('customer-number').get_attribute('value') == '02-3123-4567',
              f'the form\'s number: {self.by_id("customer-number").get_attribute("value")}')
        self.by_id('customer-name').send_keys(HOSTILE)
        self.by_id('customer-memo').send_keys('매주 금요일 주문')
        self.driver.find_element(By.CSS_SELECTOR, '#customer-edit button[type="submit"]').click()
        self.wait(lambda: not self.visible('customer-edit'), 3, 'the form saved')
        self.wait(lambda: HOSTILE in self.by_id('customers-rows').text, 3, 'the customer in the list')

        # The next call from that number shows the customer's name, as text.
        self.show_view('live')
        self.sim.type(f'call {number} 없슴 1 S')
        self.wait(lambda: self.js("""
            const card = document.querySelector('#cards .card');
            return card.querySelector('.number').textContent === arguments[0]
              && card.querySelector('.customer-name')?.textContent === arguments[1];
        """, number, HOSTILE), 2, 'the customer\'s name on the next card')
        check(self.js('return document.images.length') == 0, 'a customer name became an <img>')
        check(self.js("return document.querySelector('#cards .card .customer-edit-button') !== null"),
              'a known caller\'s card has no 고객 수정')

        # 수신 거부 on the card puts the number on the terminal's reject list.
        self.js("document.querySelector('#cards .card .reject').click()")
        self.wait(lambda: '보냈습니다' in self.js(
            "return document.querySelector('#cards .card .customer-actions .result').textContent"), 8,
            'the reject outcome on the card')
        check(number in self.sim.rejected(), 'the simulator does not reject the number')

        # A number typed with dashes in the terminal tab goes out as digits.
        self.show_view('terminal')
        self.by_id('reject-number').send_keys('02-9999-7777' + Keys.ENTER)
        self.wait(lambda: '0299997777' in self.by_id('reject-list').text, 8, 'the typed number as digits')
        self.wait(lambda: HOSTILE in self.by_id('reject-list').text, 5, 'the customer\'s name by the rejected number')

        # A CSV file as Korean Excel saves it: code page 949, CR LF, quotes where needed.
        self.show_view('customers')
        table = ('이름,전화번호,주소,메모\r\n'
                 '김똠순,010-1234-5678,"서울시 중구, 1층",단골\r\n'
                 '박철수,031-123-4567,경기도,"여러 줄\r\n메모"\r\n')
        excel = os.path.join(self.folder, 'excel.csv')
        with open(excel, 'wb') as f:
            f.write(table.encode('cp949'))
        self.by_id('customers-file').send_keys(excel)
        self.driver.find_element(By.CSS_SELECTOR, '#customers-import button[type="submit"]').click()
        self.wait(lambda: '추가 2' in self.by_id('customers-import-result').text, 5, 'the import counts')
        self.wait(lambda: '김똠순' in self.by_id('customers-rows').text, 3, 'the imported customer in the list')
        check(self.service.get('/api/customers/01012345678')['address'] == '서울시 중구, 1층',
              'the imported address')

        # The export, imported again, changes nothing.
        href = self.by_id('customers-export').get_attribute('href')
        request = urllib.request.Request(href, headers={'Authorization': f'Bearer {self.service.token}'})
        with urllib.request.urlopen(request, timeout=10) as response:
            exported = response.read()
        check(exported.startswith(b'\xef\xbb\xbf'), 'the export has no byte-order mark')
        check(exported.count(b'\r\n') >= 4, f'the export: {exported[:200]!r}')
        again = os.path.join(self.folder, 'exported.csv')
        with open(again, 'wb') as f:
            f.write(exported)
        self.by_id('customers-file').send_keys(again)
        self.driver.find_element(By.CSS_SELECTOR, '#customers-import button[type="submit"]').click()
        self.wait(lambda: '그대로 3' in self.by_id('customers-import-result').text, 5, 'the re-import counts')
        check('추가 0, 변경 0' in self.by_id('customers-import-result').text,
              f'the re-import changed the book: {self.by_id("customers-import-result").text}')

        # A change through the API (another window, another site) reaches the open tab.
        request = urllib.request.Request(f'{self.service.base}/api/customers/0507771234', method='PUT',
                                         data=json.dumps({'name': '다른창고객'}).encode(),
                                         headers={'Authorization': f'Bearer {self.service.token}',
                                                  'Content-Type': 'application/json'})
        urllib.request.urlopen(request, timeout=10).close()
        self.wait(lambda: '다른창고객' in self.by_id('customers-rows').text, 5, 'the API\'s change without reload')
        check(self.js(f"return !document.querySelector('#customers-rows tr[data-number=\"{number}\"] .blocked-mark')"
                      ".hidden"), 'the rejected customer\'s row lacks 수신 거부됨')

        # A number in the history opens that customer's page with their calls.
        self.show_view('history')
        self.history_search(q=number)
        self.wait(lambda: HOSTILE in self.by_id('history-rows').text, 3, 'the customer\'s name in the history')
        self.driver.find_element(By.CSS_SELECTOR, '#history-rows .number').click()
        self.wait(lambda: self.visible('customer-page'), 3, 'the customer page')
        self.wait(lambda: len(self.driver.find_elements(By.CSS_SELECTOR, '#customer-calls li')) >= 2, 3,
                  'the customer\'s calls')
        check('매주 금요일 주문' in self.by_id('customer-details').text, 'the customer page lacks the memo')
        check(self.visible('customer-page-blocked'), 'the rejected customer\'s page lacks 수신 거부됨')

        # The links the counter PCs' popup opens: a customer, a number's calls.
        self.driver.get(f'{self.service.base}/#customer={number}')
        self.wait(lambda: self.visible('customer-page') and '매주 금요일 주문' in self.by_id('customer-details').text,
                  5, 'the customer page from #customer=')
        self.driver.get(f'{self.service.base}/#history?q={number}')
        self.wait(lambda: self.visible('view-history') and HOSTILE in self.by_id('history-rows').text,
                  5, 'the number\'s calls from #history?q=')

    def test_keyboard(self):
        self.show_view('live')
        tab = self.driver.find_element(By.CSS_SELECTOR, '[data-view="history"]')
        self.js('arguments[0].focus()', tab)
        tab.send_keys(Keys.ENTER)
        self.wait(lambda: self.visible('view-history'), 2, 'the history view by keyboard')
        field = self.by_id('history-q')
        field.clear()
        field.send_keys('길동' + Keys.ENTER)
        self.wait(lambda: [r['name'] for r in self.history_rows()] == ['홍길동', '홍길동'], 3, 'search by keyboard')

    def test_stream_cut(self):
        proxy = CutProxy(self.service.port)
        try:
            self.driver.get(f'http://127.0.0.1:{proxy.port}/')
            self.wait(lambda: self.visible('app'), 5, 'the dashboard through the relay')
            self.sim.type('call 0427770000 연결전 1 S')
            self.wait_card('0427770000', timeout=2.0)

            proxy.cut()
            self.wait(lambda: self.visible('banner'), 3, 'the disconnected banner')
            numbers = [f'042777{i:04d}' for i in range(1, 4)]
            for number in numbers:
                self.sim.type(f'call {number} 끊김중 1 S')
            deadline = time.monotonic() + 5
            while len(self.service.get('/api/calls?' + urllib.parse.urlencode({'q': '끊김중'}))['calls']) < 3:
                check(time.monotonic() < deadline, 'the calls during the cut were not stored')
                time.sleep(0.05)
            check(all(self.card_for(n) is None for n in numbers), 'a card arrived through a cut stream')

            proxy.restore()
            self.wait(lambda: not self.visible('banner'), 8, 'the banner to go after the restore')
            for number in numbers:
                card = self.wait_card(number, timeout=3.0)
                check(card['missed'], f'{number} is not marked as missed')
            self.wait(lambda: self.by_id('missed-text').text == '연결이 끊긴 동안 전화 3건이 왔습니다.', 2,
                      'the missed-calls note')
            check(self.js("return document.querySelectorAll('#cards .card[data-id]').length"
                          " === new Set([...document.querySelectorAll('#cards .card')].map((c) => c.dataset.id)).size"),
                  'a call shows twice after the reconnect')
            self.sim.type('call 0427779999 다시연결 1 S')
            check(not self.wait_card('0427779999', timeout=1.0)['missed'], 'a live call marked as missed')
        finally:
            proxy.close()

    def test_view_login(self):
        """A view token's login: who shows it, the terminal's controls are off."""
        db = self.service.args[self.service.args.index('--db') + 1]
        viewer = subprocess.run([self.args.tavrod, 'token', 'add', 'viewer', '--db', db], capture_output=True,
                                text=True, timeout=20, check=True).stdout.strip()
        time.sleep(1.5)  # the service reads new tokens once a second
        self.driver.get(self.service.base + '/')
        self.wait(lambda: self.visible('app'), 5, 'the dashboard')
        self.log_out()
        self.by_id('token').send_keys(viewer + Keys.ENTER)
        self.wait(lambda: self.visible('app'), 5, 'the dashboard after a view login')
        # The header is filled in after the login answer; read it as it settles.
        self.wait(lambda: self.js("return document.getElementById('who').textContent") == 'viewer · 보기 전용',
                  5, 'who is logged in: viewer · 보기 전용')
        self.show_view('terminal')
        check(self.visible('terminal-read-only'), 'no read-only note on the terminal tab')
        enabled = self.js("return [...document.querySelectorAll('#view-terminal button, #view-terminal input,"
                          " #view-terminal select')].filter((c) => !c.disabled).length")
        check(enabled == 0, f'{enabled} terminal controls are enabled for a view login')
        self.show_view('live')

    def test_restart(self):
        """A remembered screen goes on by itself after tavrod restarts (the
        relay holds the browser's connections meanwhile, as a slow start would)."""
        proxy = CutProxy(self.service.port)
        try:
            self.driver.get(f'http://127.0.0.1:{proxy.port}/')
            self.wait(lambda: self.visible('app'), 5, 'the dashboard through the relay')
            self.log_out()
            self.by_id('remember').click()
            self.by_id('token').send_keys(self.service.token + Keys.ENTER)
            self.wait(lambda: self.visible('app'), 5, 'the dashboard after a remembered login')
            # The header is filled in after the login answer; read it as it settles.
            self.wait(lambda: self.js("return document.getElementById('who').textContent") == 'admin · 관리자',
                      5, 'who is logged in: admin · 관리자')

            proxy.cut()
            self.service.restart()
            self.service.wait_port_open('COM1')
            self.sim.type('call 0319870000 재시작후 1 S')
            proxy.restore()
            self.wait_card('0319870000', timeout=10.0)
            check(not self.visible('login'), 'the page asked for a login after the restart')
        finally:
            proxy.close()

    def test_screens(self):
        self.driver.get(self.service.base + '/')
        self.wait(lambda: self.visible('app'), 5, 'the dashboard')
        # Earlier tests' calls: which of them are still recent depends on their order.
        self.wait(lambda: self.js("return document.querySelectorAll('#cards .card').length") > 0, 3,
                  'the recent cards')
        self.sim.type('lift')
        self.sim.type('call 0321234567 김영희 2 V')
        self.wait_card('0321234567', timeout=1.0)
        os.makedirs(self.args.screenshots, exist_ok=True)
        for width, height in ((1280, 800), (390, 844)):
            self.driver.set_window_size(width, height)
            inner = self.js('return [window.innerWidth, window.innerHeight]')
            # Window chrome differs per platform: size the viewport itself.
            self.driver.set_window_size(2 * width - inner[0], 2 * height - inner[1])
            for view in ('terminal', 'history', 'missed', 'stats', 'customers', 'live'):
                self.show_view(view)
                if view == 'history':
                    self.wait(lambda: len(self.history_rows()) > 0, 3, 'history rows')
                self.no_horizontal_scroll(f'{view} at {width}x{height}')
                self.driver.save_screenshot(os.path.join(self.args.screenshots, f'dashboard-{width}-{view}.png'))
            self.driver.save_screenshot(os.path.join(self.args.screenshots, f'dashboard-{width}.png'))
        self.driver.set_window_size(1280, 800)

    def test_long_texts_and_small_faults(self):
        # Typing into a box that holds a value replaces it: set the terminal's
        # clock by clicking each box and typing, as a user does.
        self.show_view('terminal')
        # Opening the view reads everything, the clock last.
        self.wait(lambda: '날짜/시간 조회' in self.panel_result('d'), 10, 'the clock read at opening')
        for element_id, value in (('clock-month', '1'), ('clock-day', '2'), ('clock-hour', '3'),
                                  ('clock-minute', '4')):
            self.by_id(element_id).click()
            self.by_id(element_id).send_keys(value)
        self.driver.find_element(By.CSS_SELECTOR, '#clock-form button[type="submit"]').click()
        self.wait(lambda: '단말기에서 다시 읽었습니다' in self.panel_result('d'), 8,
                  f'the clock typed over the old values: {self.panel_result("d")}')
        check(self.by_id('clock-value').text == '1월 2일 3시 4분', f'clock read back: {self.by_id("clock-value").text}')
        log = self.by_id('action-log')
        self.by_id('read-all').click()
        self.wait(lambda: self.js('return arguments[0].children.length', log) >= 10, 8, 'ten entries in 명령 기록')
        widths = self.js('const s = getComputedStyle(arguments[0]); return [parseFloat(s.paddingLeft), '
                         'parseFloat(s.fontSize), arguments[0].children.length]', log)
        check(widths[2] >= 10 and widths[0] >= 2 * widths[1],
              f'the 명령 기록 numbers have {widths[0]} px for two digits at {widths[1]} px')
        self.js('arguments[0].scrollIntoView()', log)
        self.driver.save_screenshot(os.path.join(self.args.screenshots, 'dashboard-1280-terminal-log.png'))

        self.show_view('live')
        long_name = '가나다라마' * 600
        self.sim.type(f'call 0219990000 {long_name} 1 S')
        self.wait_card('0219990000', timeout=10.0)
        card = self.js("""
            const card = [...document.querySelectorAll('#cards .card')]
              .find((c) => c.querySelector('.number').textContent === '0219990000');
            return {height: card.getBoundingClientRect().height, title: card.querySelector('.name').title,
                    time: card.querySelector('.terminal-time').textContent};""")
        check(card['height'] < 400, f'a 3,000-character name makes a card {card["height"]} px tall')
        check(card['title'] == long_name, 'the whole name is not on hover')
        check(card['time'] == '01-02 03:04', f'the terminal time shows as {card["time"]!r}')
        self.driver.save_screenshot(os.path.join(self.args.screenshots, 'dashboard-1280-long-name.png'))

        self.show_view('history')
        today = self.js("const d = new Date(); d.setMinutes(d.getMinutes() - d.getTimezoneOffset());"
                        "return d.toISOString().slice(0, 10)")
        self.history_search(since=today, until=today)
        status = self.by_id('history-status').text
        check(status == f'{today} 기록', f'a search of today is headed {status!r}')
        row = self.js("return document.querySelector('#history-rows tr').getBoundingClientRect().height")
        check(row < 150, f'the long name makes a history row {row} px tall')
        self.driver.save_screenshot(os.path.join(self.args.screenshots, 'dashboard-1280-history-today.png'))
        self.history_search()


def page_size(web_folder):
    sizes = {'js': 0, 'css': 0}
    for name in os.listdir(web_folder):
        extension = name.rsplit('.', 1)[-1]
        if extension in sizes:
            sizes[extension] += os.path.getsize(os.path.join(web_folder, name))
    return sizes


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--tavrod', required=True)
    parser.add_argument('--sim', required=True)
    parser.add_argument('--web', help='the page\'s source folder, for its size')
    parser.add_argument('--screenshots', default='screenshots')
    args = parser.parse_args()

    folder = tempfile.mkdtemp(prefix='tavro-browser-')
    started = time.monotonic()
    suite = None
    failed = []
    try:
        suite = Suite(args, folder)
        for name in ('test_login', 'test_live_calls', 'test_hostile_name', 'test_history', 'test_terminal',
                     'test_customers', 'test_keyboard', 'test_missed', 'test_stream_cut', 'test_view_login',
                     'test_restart', 'test_screens', 'test_long_texts_and_small_faults'):
            began = time.monotonic()
            try:
                getattr(suite, name)()
                print(f'PASS {name} ({time.monotonic() - began:.1f} s)', flush=True)
            except Exception as error:
                failed.append(name)
                print(f'FAIL {name}: {error}', flush=True)
                break  # the later cases build on the earlier ones
        if not failed:
            severe = suite.severe_logs()
            if severe:
                failed.append('console')
                print(f'FAIL console errors: {severe}', flush=True)
            else:
                print('PASS no severe console errors', flush=True)
            status = suite.service.stop()
            if status != 0:
                failed.append('exit')
                print(f'FAIL tavrod ended with {status}: {suite.service.err.drain()[-20:]}', flush=True)
        for label, value in suite.figures.items():
            print(f'FIGURE {label}: {value}')
        if args.web:
            sizes = page_size(args.web)
            print(f'FIGURE page size: JavaScript {sizes["js"]} bytes, CSS {sizes["css"]} bytes')
    finally:
        if suite:
            suite.close()
        shutil.rmtree(folder, ignore_errors=True)
    print(f'{"FAILED" if failed else "PASSED"} in {time.monotonic() - started:.1f} s')
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
