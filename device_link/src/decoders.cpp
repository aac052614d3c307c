// Placeholder decoders: consume each message through its end line so the
// buffer stays consistent until the real decoders exist.
#include "control_private.h"

void tavro_m::ProcessReport(QString)
{
    EndMessageDiscard();
}

void tavro_m::ProcessResponse(QString)
{
    EndMessageDiscard();
}
