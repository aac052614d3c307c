// Telephone numbers on the page, by the same rules as the service
// (bridge/phone_number.cpp): matched as digits, shown in Korean groups.

// The terminal's area table.
const AREAS = [
  ['02', '서울'], ['031', '경기'], ['032', '인천'], ['033', '강원'], ['041', '충남'], ['042', '대전'],
  ['043', '충북'], ['051', '부산'], ['052', '울산'], ['053', '대구'], ['054', '경북'], ['055', '경남'],
  ['061', '전남'], ['062', '광주'], ['063', '전북'], ['064', '제주'],
];

// "02-555-1234", "(02)5551234", "+82 2-555-1234" -> "025551234"; "" without digits.
export function numberDigits(written) {
  const text = String(written ?? '');
  let digits = text.replace(/[^0-9]/g, '');
  if (text.trim().startsWith('+') && digits.startsWith('82')) {
    digits = digits.slice(2);
    if (!digits.startsWith('0')) digits = '0' + digits;
  }
  return digits;
}

// Digits, blanks, dashes, dots, parentheses and a leading +, with a digit.
export function looksLikeNumber(text) {
  return /^\+?[0-9 ().-]*$/.test(text) && /[0-9]/.test(text);
}

function subscriber(digits) {
  if (digits.length !== 7 && digits.length !== 8) return '';
  const head = digits.length - 4;
  return `${digits.slice(0, head)}-${digits.slice(head)}`;
}

// 02-555-1234, 031-123-4567, 010-1234-5678, 0505-123-4567, 1588-1234; an
// unknown shape stays as it is.
export function formatNumber(digits) {
  const plain = String(digits ?? '');
  if (!/^[0-9]+$/.test(plain)) return plain;
  if (plain.startsWith('0')) {
    const head = plain.startsWith('02') ? 2 : plain.startsWith('050') ? 4 : 3;
    const rest = subscriber(plain.slice(head));
    return rest ? `${plain.slice(0, head)}-${rest}` : plain;
  }
  return subscriber(plain) || plain;
}

// 02... -> 서울 for a whole number with an area code; '' otherwise.
export function regionOf(digits) {
  const plain = String(digits ?? '');
  const area = AREAS.find(([prefix]) => plain.startsWith(prefix) && plain.length >= prefix.length + 7);
  return area ? area[1] : '';
}
