// Asks for a date and a time (or a time only, with month and day greyed).
// Created for one use and shown modally; OK leaves "MM-DD" in gInputDate and
// "HH:MM" in gInputTime.
#ifndef DLGDATETIME_H
#define DLGDATETIME_H

#include "dialog_layout.h"

#include <array>

class QComboBox;
class QLabel;

class dlgDateTime : public tavro_console::InputDialog
{
    Q_OBJECT

public:
    explicit dlgDateTime(QWidget *parent = nullptr);

    // Month and day usable (date and time) or greyed (time only).
    void setDateEnabled(bool enabled);

public Q_SLOTS:
    // Cancel, and also the title bar's close box: both results are emptied.
    void reject() override;

private:
    void Form_Load();
    void OKButton_Click();

    // "월", "일", "분", "시간" at indices 0..3.
    std::array<QLabel *, 4> Label1 {};
    QComboBox *cbMonth = nullptr;
    QComboBox *cbDay = nullptr;
    QComboBox *cbHour = nullptr;
    QComboBox *cbMin = nullptr;

};

#endif // DLGDATETIME_H
