#include "dlgMelody.h"

#include "numeric_value.h"
#include "tavro_var.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopedValueRollback>

#include <cmath>

using namespace tavro_console;

dlgMelody::dlgMelody(QWidget *parent)
    : InputDialog(parent, "dlgMelody", 6600, 5040)
{
    frGroup = new QGroupBox(this);
    frGroup->setObjectName(QStringLiteral("frGroup"));
    frGroup->setGeometry(twips::toPixels(240, 480, 2775, 735));
    Label1[1] = label(QStringLiteral("그룹"), "Label1", twips::toPixels(480, 240, 495, 255), frGroup);
    cbGroup = editableBox("cbGroup", twips::toPixels(1200, 240, 975, 300), frGroup);

    Label1[0] = label(QStringLiteral("멜로디번호"), "Label1", twips::toPixels(360, 1800, 975, 255),
                      this);
    Label1[0]->setProperty("index", 0);
    Label1[1]->setProperty("index", 1);
    cbNo = editableBox("cbNo", twips::toPixels(1440, 1680, 975, 300), this);
    Label2 = label(QStringLiteral("멜 로 디"), "Label2", twips::toPixels(600, 2280, 735, 255), this);
    txtTitle = lineEdit("txtTitle", twips::toPixels(1440, 2160, 1935, 495), this);

    addButtons(twips::toPixels(3720, 1560, 1215, 375), twips::toPixels(3720, 2280, 1215, 375));
    setTabChain({cbNo, txtTitle, cbGroup});

    connect(OKButton, &QPushButton::clicked, this, &dlgMelody::OKButton_Click);
    // Only picking from the list shows a title; typing leaves it alone.
    // QComboBox also reports a typed number confirmed with Enter, or left with
    // Tab, as activated; those pass the filter first and are told apart.
    connect(cbNo, &QComboBox::activated, this, &dlgMelody::cbNo_Click);
    cbNo->installEventFilter(this);
    cbNo->lineEdit()->installEventFilter(this);

    Form_Load();
}

// The title box ends up showing the sixth title while cbNo is still empty.
void dlgMelody::Form_Load()
{
    for (int n = 1; n <= 6; ++n) {
        cbNo->addItem(QString::number(n));
        txtTitle->setText(gMelodyTitles[std::size_t(n - 1)]);
    }
    for (int n = 1; n <= 6; ++n)
        cbGroup->addItem(QString::number(n));
    cbNo->setCurrentIndex(-1);
    cbGroup->setCurrentIndex(-1);
}

bool dlgMelody::eventFilter(QObject *watched, QEvent *event)
{
    if (m_typing || (watched != cbNo && watched != cbNo->lineEdit()))
        return InputDialog::eventFilter(watched, event);
    bool typing = event->type() == QEvent::FocusOut;
    if (event->type() == QEvent::KeyPress) {
        // The arrow keys step through the list: that is picking.
        const int key = static_cast<QKeyEvent *>(event)->key();
        typing = key != Qt::Key_Up && key != Qt::Key_Down && key != Qt::Key_PageUp
                 && key != Qt::Key_PageDown;
    }
    if (!typing)
        return InputDialog::eventFilter(watched, event);
    // Deliver it now, marked as typing; the original delivery then stops.
    const QScopedValueRollback<bool> mark(m_typing, true);
    QCoreApplication::sendEvent(watched, event);
    return true;
}

void dlgMelody::cbNo_Click()
{
    if (m_typing)
        return;
    // nearbyint rounds halves to the even number.
    const double k = std::nearbyint(numericValue(cbNo->currentText()) - 1);
    if (k >= 0 && k <= 5)
        txtTitle->setText(gMelodyTitles[std::size_t(k)]);
}

void dlgMelody::OKButton_Click()
{
    gMelodyGroup = cbGroup->currentText();
    gMelodyNo = cbNo->currentText();
    accept();
}

void dlgMelody::reject()
{
    gMelodyGroup.clear();
    gMelodyNo.clear();
    QDialog::reject();
}

void dlgMelody::setGroupVisible(bool visible)
{
    frGroup->setVisible(visible);
}
