#include "tavro_test.h"

tavro_test::tavro_test(const tavro::PortMap &portMap, QWidget *parent)
    : QMainWindow(parent)
    , tavro(new tavro_m(portMap, this))
{
    buildCommandMenu();
}

tavro_test::~tavro_test() = default;

void tavro_test::addLog(const QString &)
{
}
