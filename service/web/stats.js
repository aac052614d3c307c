// 통계: calls per hour of the day and per day of a range, answered and missed
// stacked, and the most frequent callers; drawn with uPlot (vendored).
import uPlot from './vendor/uplot/uPlot.esm.js';
import { AuthError, getJson } from './api.js';
import { byId, el } from './dom.js';
import { formatNumber } from './phone.js';

const DAY_MS = 24 * 3600 * 1000;
const isoDay = (date) => {
  const two = (n) => String(n).padStart(2, '0');
  return `${date.getFullYear()}-${two(date.getMonth() + 1)}-${two(date.getDate())}`;
};
const dayStart = (value, plusDays = 0) => {
  const [year, month, day] = value.split('-').map(Number);
  return new Date(year, month - 1, day + plusDays).toISOString();
};

const chartWidth = (target) => Math.max(280, Math.min(900, target.clientWidth || 900));

// Bars drawn over each other from the largest: pending (the rest), missed,
// answered, so they read as one stacked bar.
function stackedBars(target, title, xLabel, keys, buckets, shortKey = String) {
  const byKey = new Map(buckets.map((b) => [String(b.key), b]));
  const pick = (field) => keys.map((key) => byKey.get(String(key))?.[field] ?? 0);
  const answered = pick('answered');
  const missed = pick('missed');
  const calls = pick('calls');
  const x = keys.map((_, i) => i);
  const bars = uPlot.paths.bars({ size: [0.8, 40] });
  const series = (label, stroke, fill) => ({ label, stroke, fill, paths: bars, points: { show: false } });
  const options = {
    title,
    width: chartWidth(target),
    height: 240,
    scales: { x: { time: false, range: [-0.5, keys.length - 0.5] } },
    // Whole buckets only, far enough apart that thirty days' labels do not overlap.
    axes: [{ space: 48, incrs: [1, 2, 3, 7, 14, 28],
      values: (u, ticks) => ticks.map((i) => (Number.isInteger(i) && keys[i] !== undefined ? shortKey(keys[i]) : '')) },
    {}],
    series: [{ label: xLabel, value: (u, i) => (i === null || keys[i] === undefined ? '--' : String(keys[i])) },
      series('대기', '#999', '#ccc'),
      series('부재중', '#c0392b', '#e74c3c'),
      series('응답', '#1e8449', '#2ecc71')],
  };
  const answeredOrMissed = answered.map((a, i) => a + missed[i]);
  target.replaceChildren();
  return new uPlot(options, [x, calls, answeredOrMissed, answered], target);
}

export class Stats {
  constructor({ onAuthLost }) {
    this.onAuthLost = onAuthLost;
    const today = new Date();
    byId('stats-until').value = isoDay(today);
    byId('stats-since').value = isoDay(new Date(today.getTime() - 29 * DAY_MS));
    this.plots = [];
    // A phone turned or a window narrowed: the charts follow the page's width.
    window.addEventListener('resize', () => this.fit());
    byId('stats-form').addEventListener('submit', (event) => {
      event.preventDefault();
      this.load();
    });
  }

  // Hidden, the view has no width: the tab fits the charts again when shown.
  fit() {
    if (byId('view-stats').hidden) return;
    for (const plot of this.plots) plot.setSize({ width: chartWidth(plot.root.parentElement), height: 240 });
  }

  async load() {
    const since = byId('stats-since').value;
    const until = byId('stats-until').value;
    if (!since || !until || since > until) {
      byId('stats-status').textContent = '기간을 확인하세요.';
      return;
    }
    const range = `since=${encodeURIComponent(dayStart(since))}&until=${encodeURIComponent(dayStart(until, 1))}`;
    byId('stats-status').textContent = '불러오는 중…';
    try {
      const [hours, days] = await Promise.all([getJson(`/api/stats?by=hour&${range}`),
        getJson(`/api/stats?by=day&${range}`)]);
      const hourKeys = [...Array(24).keys()];
      const dayKeys = [];
      for (let d = new Date(dayStart(since)); isoDay(d) <= until; d = new Date(d.getTime() + DAY_MS)) {
        dayKeys.push(isoDay(d));
      }
      for (const plot of this.plots) plot.destroy();
      this.plots = [stackedBars(byId('stats-hours'), '시간대별 전화', '시', hourKeys, hours.buckets ?? []),
        stackedBars(byId('stats-days'), '날짜별 전화', '날짜', dayKeys, days.buckets ?? [], (day) => day.slice(5))];
      byId('stats-top').replaceChildren(...(hours.topCallers ?? []).map((caller) => el('tr', {},
        el('td', { text: formatNumber(caller.number) }), el('td', { text: caller.name }), el('td', { text: caller.calls }))));
      byId('stats-status').textContent = '';
    } catch (error) {
      if (error instanceof AuthError) this.onAuthLost();
      else byId('stats-status').textContent = `통계를 읽지 못했습니다: ${error.message}`;
    }
  }
}
