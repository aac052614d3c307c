#include "dlgNumber.h"

#include "tavro_var.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using namespace tavro_console;

dlgNumber::dlgNumber(QWidget *parent)
    : InputDialog(parent, "dlgNumber", 5220, 2670)
{
    setWindowTitle(QStringLiteral("입력 창"));

    lblNumberTitle = label(QStringLiteral("번호"), "lblNumberTitle",
                           twips::toPixels(360, 480, 1455, 255), this);
    txtNumber = lineEdit("txtNumber", twips::toPixels(1920, 480, 2415, 375), this);

    addButtons(twips::toPixels(120, 1560, 1215, 375), twips::toPixels(2760, 1560, 1215, 375));
    setTabChain({txtNumber});

    connect(OKButton, &QPushButton::clicked, this, &dlgNumber::OKButton_Click);
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

void dlgNumber::setNumberTitle(const QString &title)
{
    lblNumberTitle->setText(title);
}
