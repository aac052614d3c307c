// Gathered lists: stored calls ("a"), rejected numbers ("j"), answer
// numbers ("o") and answer melodies ("p").
#ifndef TAVRO_LISTS_H
#define TAVRO_LISTS_H

#include "decoded.h"
#include "message_reader.h"

namespace tavro::detail {

bool isGatheredListLetter(QChar letter);
// Reads the records of a list whose type-letter line is already gone into
// `decoded`.
void readGatheredList(MessageReader &message, QChar letter, Decoded &decoded);

} // namespace tavro::detail

#endif // TAVRO_LISTS_H
