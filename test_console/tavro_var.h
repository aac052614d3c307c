// Console-wide variables shared by the main window, the menu and the dialogs.
#ifndef TAVRO_VAR_H
#define TAVRO_VAR_H

#include <QString>

#include <array>

// Slots 1..4 hold "COM1".."COM4"; slot 0 is never used.
extern std::array<QString, 5> gPortNames;
// Melody number n at slot n-1; slots 0..5 are filled at start-up, slot 6 stays empty.
extern std::array<QString, 7> gMelodyTitles;
// Last handset report: 0 put down, -1 lifted.
extern qint16 gHookState;

// Results of the input dialogs; empty when the dialog was cancelled.
extern QString gInputNumber;
extern QString gInputDate; // "MM-DD"
extern QString gInputTime; // "HH:MM"
extern QString gMelodyGroup;
extern QString gMelodyNo;

// Title of a melody number: slot n-1 rounded half to even, empty for a
// number whose slot lies outside gMelodyTitles.
QString melodyTitleOf(double melodyNo);

#endif // TAVRO_VAR_H
