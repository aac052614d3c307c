#include "dlgNumber.h"

#include "tavro_var.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

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

} // namespace

dlgNumber::dlgNumber(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint
                          | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("dlgNumber"));
    setWindowTitle(QStringLiteral("입력 창"));
    setFixedSize(5220 / 15, 2670 / 15);

    lblNumberTitle = new QLabel(QStringLiteral("번호"), this);
    lblNumberTitle->setObjectName(QStringLiteral("lblNumberTitle"));
    lblNumberTitle->setGeometry(twips(360, 480, 1455, 255));

    txtNumber = new QLineEdit(this);
    txtNumber->setObjectName(QStringLiteral("txtNumber"));
    txtNumber->setGeometry(twips(1920, 480, 2415, 375));

    OKButton = plainButton(QStringLiteral("확인"), "OKButton", this);
    OKButton->setGeometry(twips(120, 1560, 1215, 375));
    CancelButton = plainButton(QStringLiteral("취소"), "CancelButton", this);
    CancelButton->setGeometry(twips(2760, 1560, 1215, 375));

    setTabOrder(OKButton, CancelButton);
    setTabOrder(CancelButton, txtNumber);
    OKButton->setFocus();

    connect(OKButton, &QPushButton::clicked, this, &dlgNumber::OKButton_Click);
    connect(CancelButton, &QPushButton::clicked, this, &dlgNumber::reject);
}

void dlgNumber::OKButton_Click()
{
    gInputNumber = txtNumber->text();
    accept();
}

void dlgNumber::reject()
{
    gInputNumber.clear();
    QDialog::reject();
}

void dlgNumber::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
