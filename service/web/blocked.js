// The terminal's reject list as the page last read it (the 'j' gathered
// list), kept in one place: the 고객 tab and a customer's page mark a blocked
// number from it, the 단말기 tab names the numbers the book knows.
import { getJson } from './api.js';
import { numberDigits } from './phone.js';

// The terminal holds a few dozen numbers; a list longer than this is not looked up past it.
const MAX_LOOKUPS = 100;

const numbers = new Set();
const listeners = [];

export const rejectList = {
  has(number) {
    return numbers.has(numberDigits(number));
  },

  set(list) {
    numbers.clear();
    for (const number of list) {
      const digits = numberDigits(number);
      if (digits) numbers.add(digits);
    }
    for (const listener of listeners) listener();
  },

  onChange(listener) {
    listeners.push(listener);
  },
};

// The book's names of the given numbers: Map digits -> name, the unknown left out.
export async function customerNames(list) {
  const wanted = [...new Set(list.map(numberDigits).filter(Boolean))].slice(0, MAX_LOOKUPS);
  const names = new Map();
  await Promise.all(wanted.map(async (digits) => {
    const found = await getJson(`/api/customers?q=${digits}&limit=50`);
    const customer = (found.customers ?? []).find((c) => c.number === digits);
    if (customer?.name) names.set(digits, customer.name);
  }));
  return names;
}
