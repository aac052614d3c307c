// Telephone numbers as people write them and as the line sends them: matched
// as digits only, shown in the usual Korean groups. Every program and the
// page (service/web/phone.js) follow the same rules.
#ifndef TAVRO_BRIDGE_PHONE_NUMBER_H
#define TAVRO_BRIDGE_PHONE_NUMBER_H

#include <QString>

namespace tavro::bridge {

// The digits of a written number: "02-555-1234", "02 555 1234",
// "(02)5551234" and "+82 2-555-1234" all give "025551234" (the country code
// +82 becomes the leading 0). Empty when the text holds no digit.
QString numberDigits(QStringView written);

// True when the text looks like a number someone typed (digits with blanks,
// dashes, dots, parentheses and a leading +) rather than a name.
bool looksLikeNumber(QStringView text);

// Digits in the usual groups: 02-555-1234, 02-5555-1234, 031-123-4567,
// 010-1234-5678, 0505-123-4567, 1588-1234, 555-1234. A shape it does not
// know stays as the digits.
QString formatNumber(QStringView digits);

// The area's name for a whole number with an area code (02 -> 서울,
// 031 -> 경기), empty for mobile, internet, nationwide and short numbers.
QString regionOf(QStringView digits);

} // namespace tavro::bridge

#endif
