// The command menu as one table: every entry of the menu bar in display
// order, with what choosing it does. The main window builds the menu from
// it and runs an entry when it is chosen.
#ifndef COMMAND_MENU_H
#define COMMAND_MENU_H

#include <vector>

class QAction;
class QMenuBar;

namespace tavro_console {

enum class MenuKind {
    Menu,            // a top-level menu or a submenu holder: no action of its own
    Separator,
    Command,         // label line(s), then the command with constant parameters
    AskNumber,       // dlgNumber; the number is para1, the constant para2 follows
    AskDateTime,     // dlgDateTime with month and day: date and time
    AskTime,         // dlgDateTime with month and day greyed: the time only
    AskMelody,       // dlgMelody without the group frame: the melody number
    AskGroupMelody,  // dlgMelody with the group frame: group and melody number
    Dial,            // dlgNumber, then the wait for the handset
    NoAction,        // an item that does nothing when chosen
};

struct MenuEntry
{
    int depth;                     // 0 a top-level menu, 1 its entries, 2 a submenu's entries
    const char *name;              // object name; members of an item array share it
    const char16_t *caption;
    MenuKind kind;
    char cmd = 0;                  // command byte
    const char16_t *label = nullptr;  // the label line, or the text in front of the value
    const char16_t *label2 = nullptr; // a second label line
    const char16_t *para1 = nullptr;  // constant first parameter (Command)
    const char16_t *para2 = nullptr;  // constant second parameter (AskNumber)
    const char16_t *dialogCaption = nullptr; // nullptr: the dialog keeps its design texts
    const char16_t *dialogTitle = nullptr;   // lblNumberTitle of dlgNumber
    int index = 0;                 // index within an item array (1..), 0 for none
    bool startsGreyed = false;
};

struct MenuItem
{
    const MenuEntry *entry;
    QAction *action;
};

// Builds the menu tree on `bar` from the table and returns the entries that
// can be chosen (Command to NoAction), each with its action.
std::vector<MenuItem> buildMenu(QMenuBar *bar);

} // namespace tavro_console

#endif // COMMAND_MENU_H
