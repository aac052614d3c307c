#include "dialog_layout.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace tavro_console {

namespace {

QPushButton *plainButton(const QString &caption, const char *name, const QRect &geometry,
                         QWidget *parent)
{
    auto *button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setAutoDefault(false);
    button->setDefault(false);
    button->setGeometry(geometry);
    return button;
}

} // namespace

QLabel *label(const QString &caption, const char *name, const QRect &geometry, QWidget *parent)
{
    auto *l = new QLabel(caption, parent);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(geometry);
    return l;
}

QLineEdit *lineEdit(const char *name, const QRect &geometry, QWidget *parent)
{
    auto *edit = new QLineEdit(parent);
    edit->setObjectName(QLatin1String(name));
    edit->setGeometry(geometry);
    return edit;
}

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

InputDialog::InputDialog(QWidget *parent, const char *name, int widthTwips, int heightTwips)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint
                          | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QLatin1String(name));
    setFixedSize(twips::toPixels(widthTwips), twips::toPixels(heightTwips));
}

void InputDialog::addButtons(const QRect &okGeometry, const QRect &cancelGeometry)
{
    OKButton = plainButton(QStringLiteral("확인"), "OKButton", okGeometry, this);
    CancelButton = plainButton(QStringLiteral("취소"), "CancelButton", cancelGeometry, this);
    // reject() is virtual: each dialog's own reject() empties its results.
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

void InputDialog::setTabChain(std::initializer_list<QWidget *> rest)
{
    setTabOrder(OKButton, CancelButton);
    QWidget *previous = CancelButton;
    for (QWidget *next : rest) {
        setTabOrder(previous, next);
        previous = next;
    }
    OKButton->setFocus();
}

void InputDialog::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace tavro_console
