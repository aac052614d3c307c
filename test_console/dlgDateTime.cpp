#include "dlgDateTime.h"

#include "numeric_value.h"
#include "tavro_var.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
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

void fillRange(QComboBox *box, int first, int last)
{
    for (int n = first; n <= last; ++n)
        box->addItem(QString::number(n));
    box->setCurrentIndex(-1);
}

QString boxValue(const QComboBox *box)
{
    return tavro_console::zeroHashPattern(tavro_console::numericValue(box->currentText()));
}

} // namespace

dlgDateTime::dlgDateTime(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint
                          | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("dlgDateTime"));
    setWindowTitle(QStringLiteral("날짜.시간 입력창"));
    setFixedSize(4845 / 15, 1740 / 15);

    const struct { const char16_t *caption; QRect geometry; } labels[4] = {
        {u"월", twips(720, 360, 255, 255)},
        {u"일", twips(1560, 360, 255, 255)},
        {u"분", twips(3960, 360, 255, 255)},
        {u"시간", twips(3240, 360, 495, 255)},
    };
    for (int i = 0; i < 4; ++i) {
        Label1[i] = new QLabel(QString::fromUtf16(labels[i].caption), this);
        Label1[i]->setObjectName(QStringLiteral("Label1"));
        Label1[i]->setProperty("index", i);
        Label1[i]->setGeometry(labels[i].geometry);
    }

    cbMonth = editableBox("cbMonth", twips(600, 600, 615, 300), this);
    cbDay = editableBox("cbDay", twips(1440, 600, 615, 300), this);
    cbHour = editableBox("cbHour", twips(3120, 600, 615, 300), this);
    cbMin = editableBox("cbMin", twips(3840, 600, 615, 300), this);

    OKButton = plainButton(QStringLiteral("확인"), "OKButton", this);
    OKButton->setGeometry(twips(600, 1200, 1215, 375));
    CancelButton = plainButton(QStringLiteral("취소"), "CancelButton", this);
    CancelButton->setGeometry(twips(3120, 1200, 1215, 375));

    setTabOrder(OKButton, CancelButton);
    setTabOrder(CancelButton, cbMonth);
    setTabOrder(cbMonth, cbDay);
    setTabOrder(cbDay, cbHour);
    setTabOrder(cbHour, cbMin);
    OKButton->setFocus();

    connect(OKButton, &QPushButton::clicked, this, &dlgDateTime::OKButton_Click);
    connect(CancelButton, &QPushButton::clicked, this, &dlgDateTime::reject);

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

void dlgDateTime::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
