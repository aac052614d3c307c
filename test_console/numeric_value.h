// The console's reading of numbers typed into its boxes, and the "0#" pattern.
#ifndef NUMERIC_VALUE_H
#define NUMERIC_VALUE_H

#include <QString>

namespace tavro_console {

// The number a text begins with. Blanks, tabs and line breaks anywhere are
// ignored; then an optional sign, digits with at most one decimal point and
// an optional exponent (E or D, optional sign, digits), read up to the first
// character that cannot continue the number. "&H" and "&O" introduce a
// hexadecimal or octal number. A text that does not begin with a number
// gives 0, and so does a number too large for a double.
double numericValue(const QString &text);

// The value rounded to a whole number (halves away from zero) with at least
// two digits: 5 -> "05", 2.6 -> "03", 123 -> "123", 0 -> "00", -5 -> "-05".
QString zeroHashPattern(double value);

} // namespace tavro_console

#endif // NUMERIC_VALUE_H
