// Command responses: single values, or a whole list for the list letters.
#ifndef TAVRO_RESPONSES_H
#define TAVRO_RESPONSES_H

#include "decoded.h"
#include "message_reader.h"

namespace tavro::detail {

// Decodes the response the message holds, from its type-letter line on;
// nothing when its end line has not arrived. Texts are noted when `noting`.
Decoded decodeResponse(MessageReader &message, bool noting);

} // namespace tavro::detail

#endif // TAVRO_RESPONSES_H
