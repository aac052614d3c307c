// Asks for a date and a time (or a time only, with month and day greyed).
// Created for one use and shown modally; OK leaves "MM-DD" in gInputDate and
// "HH:MM" in gInputTime.
#ifndef DLGDATETIME_H
#define DLGDATETIME_H

#include <QDialog>

#include <array>

class QComboBox;
class QKeyEvent;
class QLabel;
class QPushButton;

class dlgDateTime : public QDialog
{
    Q_OBJECT

public:
    explicit dlgDateTime(QWidget *parent = nullptr);

    // "월", "일", "분", "시간" at indices 0..3.
    std::array<QLabel *, 4> Label1 {};
    QComboBox *cbMonth = nullptr;
    QComboBox *cbDay = nullptr;
    QComboBox *cbHour = nullptr;
    QComboBox *cbMin = nullptr;
    QPushButton *OKButton = nullptr;
    QPushButton *CancelButton = nullptr;

public Q_SLOTS:
    // Cancel, and also the title bar's close box: both results are emptied.
    void reject() override;

protected:
    // Escape must not close the dialog (no button answers Enter or Escape).
    void keyPressEvent(QKeyEvent *event) override;

private:
    void Form_Load();
    void OKButton_Click();
};

#endif // DLGDATETIME_H
