#include "dlgDateTime.h"

#include "numeric_value.h"
#include "tavro_var.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

using namespace tavro_console;

namespace {

void fillRange(QComboBox *box, int first, int last)
{
    for (int n = first; n <= last; ++n)
        box->addItem(QString::number(n));
    box->setCurrentIndex(-1);
}

QString boxValue(const QComboBox *box)
{
    return zeroHashPattern(numericValue(box->currentText()));
}

} // namespace

dlgDateTime::dlgDateTime(QWidget *parent)
    : InputDialog(parent, "dlgDateTime", 4845, 1740)
{
    setWindowTitle(QStringLiteral("날짜.시간 입력창"));

    const struct { const char16_t *caption; QRect geometry; } labels[4] = {
        {u"월", twips::toPixels(720, 360, 255, 255)},
        {u"일", twips::toPixels(1560, 360, 255, 255)},
        {u"분", twips::toPixels(3960, 360, 255, 255)},
        {u"시간", twips::toPixels(3240, 360, 495, 255)},
    };
    for (int i = 0; i < 4; ++i) {
        Label1[i] = label(QString::fromUtf16(labels[i].caption), "Label1", labels[i].geometry, this);
        Label1[i]->setProperty("index", i);
    }

    cbMonth = editableBox("cbMonth", twips::toPixels(600, 600, 615, 300), this);
    cbDay = editableBox("cbDay", twips::toPixels(1440, 600, 615, 300), this);
    cbHour = editableBox("cbHour", twips::toPixels(3120, 600, 615, 300), this);
    cbMin = editableBox("cbMin", twips::toPixels(3840, 600, 615, 300), this);

    addButtons(twips::toPixels(600, 1200, 1215, 375), twips::toPixels(3120, 1200, 1215, 375));
    setTabChain({cbMonth, cbDay, cbHour, cbMin});

    connect(OKButton, &QPushButton::clicked, this, &dlgDateTime::OKButton_Click);

    Form_Load();
}

void dlgDateTime::Form_Load()
{
    fillRange(cbMonth, 1, 12);
    fillRange(cbDay, 1, 31);
    fillRange(cbHour, 0, 23);
    fillRange(cbMin, 0, 59);
}

// No range test: a typed 13 for the month gives "13"; greyed boxes are read too.
void dlgDateTime::OKButton_Click()
{
    gInputDate = boxValue(cbMonth) + u'-' + boxValue(cbDay);
    gInputTime = boxValue(cbHour) + u':' + boxValue(cbMin);
    accept();
}

void dlgDateTime::reject()
{
    gInputDate.clear();
    gInputTime.clear();
    QDialog::reject();
}

void dlgDateTime::setDateEnabled(bool enabled)
{
    cbMonth->setEnabled(enabled);
    cbDay->setEnabled(enabled);
}
