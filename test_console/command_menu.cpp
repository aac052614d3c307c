// The command menu: every terminal command from the menu bar, and its sender.
#include "tavro_test.h"

void tavro_test::buildCommandMenu()
{
}

void tavro_test::SendCommand(char, QString, QString, QString)
{
}
