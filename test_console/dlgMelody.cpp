#include "dlgMelody.h"

#include "numeric_value.h"
#include "tavro_var.h"

#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <cmath>

namespace {

// Layout figures are twips; 15 twips make one pixel at 96 dpi.
QRect twips(int left, int top, int width, int height)
{
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

QPushButton *plainButton(const QString &caption, const char *name, QWidget *parent)
{
    auto *button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

// An editable box with a drop-down list; typed text is neither completed
// nor added to the list.
QComboBox *editableBox(const char *name, const QRect &geometry, QWidget *parent)
{
    auto *box = new QComboBox(parent);
    box->setObjectName(QLatin1String(name));
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->setCompleter(nullptr);
    box->setGeometry(geometry);
    return box;
}

QLabel *label(const QString &caption, const char *name, const QRect &geometry, QWidget *parent)
{
    auto *l = new QLabel(caption, parent);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(geometry);
    return l;
}

} // namespace

dlgMelody::dlgMelody(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint
                          | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("dlgMelody"));
    setFixedSize(6600 / 15, 5040 / 15);

    frGroup = new QGroupBox(this);
    frGroup->setObjectName(QStringLiteral("frGroup"));
    frGroup->setGeometry(twips(240, 480, 2775, 735));
    Label1[1] = label(QStringLiteral("그룹"), "Label1", twips(480, 240, 495, 255), frGroup);
    cbGroup = editableBox("cbGroup", twips(1200, 240, 975, 300), frGroup);

    Label1[0] = label(QStringLiteral("멜로디번호"), "Label1", twips(360, 1800, 975, 255), this);
    Label1[0]->setProperty("index", 0);
    Label1[1]->setProperty("index", 1);
    cbNo = editableBox("cbNo", twips(1440, 1680, 975, 300), this);
    Label2 = label(QStringLiteral("멜 로 디"), "Label2", twips(600, 2280, 735, 255), this);
    txtTitle = new QLineEdit(this);
    txtTitle->setObjectName(QStringLiteral("txtTitle"));
    txtTitle->setGeometry(twips(1440, 2160, 1935, 495));

    OKButton = plainButton(QStringLiteral("확인"), "OKButton", this);
    OKButton->setGeometry(twips(3720, 1560, 1215, 375));
    CancelButton = plainButton(QStringLiteral("취소"), "CancelButton", this);
    CancelButton->setGeometry(twips(3720, 2280, 1215, 375));

    setTabOrder(OKButton, CancelButton);
    setTabOrder(CancelButton, cbNo);
    setTabOrder(cbNo, txtTitle);
    setTabOrder(txtTitle, cbGroup);
    OKButton->setFocus();

    connect(OKButton, &QPushButton::clicked, this, &dlgMelody::OKButton_Click);
    connect(CancelButton, &QPushButton::clicked, this, &dlgMelody::reject);
    // Only picking from the list shows a title; typing leaves it alone.
    connect(cbNo, &QComboBox::activated, this, &dlgMelody::cbNo_Click);

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

void dlgMelody::cbNo_Click()
{
    // nearbyint rounds halves to the even number.
    const double k = std::nearbyint(tavro_console::numericValue(cbNo->currentText()) - 1);
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

void dlgMelody::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
