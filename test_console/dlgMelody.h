// Asks for a melody number and, where the caller shows the group frame, a
// caller group. Created for one use and shown modally; OK leaves the texts of
// the boxes in gMelodyGroup and gMelodyNo.
#ifndef DLGMELODY_H
#define DLGMELODY_H

#include <QDialog>

#include <array>

class QComboBox;
class QGroupBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;

class dlgMelody : public QDialog
{
    Q_OBJECT

public:
    explicit dlgMelody(QWidget *parent = nullptr);

    QGroupBox *frGroup = nullptr;
    // "멜로디번호" at index 0, "그룹" (inside frGroup) at index 1.
    std::array<QLabel *, 2> Label1 {};
    QComboBox *cbGroup = nullptr;
    QComboBox *cbNo = nullptr;
    QLabel *Label2 = nullptr;
    QLineEdit *txtTitle = nullptr;
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
    void cbNo_Click();
    void OKButton_Click();
};

#endif // DLGMELODY_H
