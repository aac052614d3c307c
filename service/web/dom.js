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

// "2026-12-07T01:02:03.456Z" -> local "2026-12-07 10:02:03"
export function localTime(iso) {
  const date = new Date(iso);
  if (Number.isNaN(date.getTime())) return iso ?? '';
  const two = (n) => String(n).padStart(2, '0');
  return `${date.getFullYear()}-${two(date.getMonth() + 1)}-${two(date.getDate())} `
    + `${two(date.getHours())}:${two(date.getMinutes())}:${two(date.getSeconds())}`;
}
