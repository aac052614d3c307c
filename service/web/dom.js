// Builds elements from text only: line data never passes through an HTML
// parser, so a caller's name cannot become markup.
export function el(tag, options = {}, ...children) {
  const node = document.createElement(tag);
  if (options.className) node.className = options.className;
  if (options.text !== undefined) node.textContent = String(options.text);
  for (const [name, value] of Object.entries(options.attrs ?? {})) node.setAttribute(name, String(value));
  for (const [name, value] of Object.entries(options.data ?? {})) node.dataset[name] = String(value);
  if (options.onClick) node.addEventListener('click', options.onClick);
  for (const child of children) if (child) node.append(child);
  return node;
}

export const byId = (id) => document.getElementById(id);

const two = (n) => String(n).padStart(2, '0');

// "2026-12-07T01:02:03.456Z" -> local "2026-12-07 10:02:03"
export function localTime(iso) {
  const date = new Date(iso);
  if (Number.isNaN(date.getTime())) return iso ?? '';
  return `${date.getFullYear()}-${two(date.getMonth() + 1)}-${two(date.getDate())} `
    + `${two(date.getHours())}:${two(date.getMinutes())}:${two(date.getSeconds())}`;
}

// The terminal's own clock of a call, padded as localTime is: "12-07 17:03".
export function terminalTime(info) {
  return `${two(info.lMonth ?? 0)}-${two(info.lDay ?? 0)} ${two(info.lHour ?? 0)}:${two(info.lMin ?? 0)}`;
}

// A text from the line that may be any length: clipped to a few lines by the
// style sheet (.clamp), the whole of it on hover.
export function clamped(tag, className, text, options = {}) {
  const node = el(tag, { ...options, className: `${className} clamp`.trim(), text });
  node.title = options.attrs?.title ? `${text}\n${options.attrs.title}` : text;
  return node;
}
