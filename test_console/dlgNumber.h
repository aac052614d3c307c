// Asks for one number (telephone, area or rejected number), taken as typed.
// Created for one use and shown modally; the result lands in gInputNumber.
#ifndef DLGNUMBER_H
#define DLGNUMBER_H

#include "dialog_layout.h"

class QLabel;
class QLineEdit;

class dlgNumber : public tavro_console::InputDialog
{
    Q_OBJECT

public:
    explicit dlgNumber(QWidget *parent = nullptr);

    // What kind of number is asked for ("번호" at design).
    void setNumberTitle(const QString &title);

public Q_SLOTS:
    // Cancel, and also the title bar's close box: the result is emptied, so
    // a caller never acts on a number from an earlier use.
    void reject() override;

private:
    void OKButton_Click();

    QLabel *lblNumberTitle = nullptr;
    QLineEdit *txtNumber = nullptr;
};

#endif // DLGNUMBER_H
