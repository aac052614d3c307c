// What the console's input dialogs share: a fixed-size dialog laid out in
// twips, OK and Cancel buttons that never act as the default button, and an
// Escape key that closes nothing.
#ifndef DIALOG_LAYOUT_H
#define DIALOG_LAYOUT_H

#include "twips.h"

#include <QDialog>
#include <QRect>

#include <initializer_list>

class QComboBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tavro_console {

QLabel *label(const QString &caption, const char *name, const QRect &geometry, QWidget *parent);
QLineEdit *lineEdit(const char *name, const QRect &geometry, QWidget *parent);
// An editable box with a drop-down list; typed text is neither completed
// nor added to the list.
QComboBox *editableBox(const char *name, const QRect &geometry, QWidget *parent);

// A fixed-size dialog with a title bar and a close box only. OK and Cancel
// answer neither Enter nor Escape; Cancel, like the close box, calls reject().
class InputDialog : public QDialog
{
    Q_OBJECT

protected:
    QPushButton *OKButton = nullptr;
    QPushButton *CancelButton = nullptr;

    InputDialog(QWidget *parent, const char *name, int widthTwips, int heightTwips);

    // Creates OK and Cancel at their places (after the widgets made so far).
    void addButtons(const QRect &okGeometry, const QRect &cancelGeometry);
    // Tab goes OK, Cancel, then `rest` in turn; the focus starts on OK.
    void setTabChain(std::initializer_list<QWidget *> rest);

    // Escape must not close the dialog.
    void keyPressEvent(QKeyEvent *event) override;
};

} // namespace tavro_console

#endif // DIALOG_LAYOUT_H
