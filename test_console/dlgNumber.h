// Asks for one number (telephone, area or rejected number), taken as typed.
// Created for one use and shown modally; the result lands in gInputNumber.
#ifndef DLGNUMBER_H
#define DLGNUMBER_H

#include <QDialog>

class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;

class dlgNumber : public QDialog
{
    Q_OBJECT

public:
    explicit dlgNumber(QWidget *parent = nullptr);

    QLabel *lblNumberTitle = nullptr;
    QLineEdit *txtNumber = nullptr;
    QPushButton *OKButton = nullptr;
    QPushButton *CancelButton = nullptr;

public Q_SLOTS:
    // Cancel, and also the title bar's close box: the result is emptied, so
    // a caller never acts on a number from an earlier use.
    void reject() override;

protected:
    // Escape must not close the dialog (no button answers Enter or Escape).
    void keyPressEvent(QKeyEvent *event) override;

private:
    void OKButton_Click();
};

#endif // DLGNUMBER_H
