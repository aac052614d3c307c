// Asks for a melody number and, where the caller shows the group frame, a
// caller group. Created for one use and shown modally; OK leaves the texts of
// the boxes in gMelodyGroup and gMelodyNo.
#ifndef DLGMELODY_H
#define DLGMELODY_H

#include "dialog_layout.h"

#include <array>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;

class dlgMelody : public tavro_console::InputDialog
{
    Q_OBJECT

public:
    explicit dlgMelody(QWidget *parent = nullptr);

    // The group frame shown (melody with group) or hidden (melody only).
    void setGroupVisible(bool visible);

public Q_SLOTS:
    // Cancel, and also the title bar's close box: both results are emptied.
    void reject() override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void Form_Load();
    void cbNo_Click();
    void OKButton_Click();

    QGroupBox *frGroup = nullptr;
    // "멜로디번호" at index 0, "그룹" (inside frGroup) at index 1.
    std::array<QLabel *, 2> Label1 {};
    QComboBox *cbGroup = nullptr;
    QComboBox *cbNo = nullptr;
    QLabel *Label2 = nullptr;
    QLineEdit *txtTitle = nullptr;

    // True while cbNo handles a key or focus change of its own line edit:
    // an entry that becomes current then was typed, not picked.
    bool m_typing = false;
};

#endif // DLGMELODY_H
