// The input dialogs, driven through their widgets, and the numeric-value rule.
#include "console_parts.h"
#include "dlgDateTime.h"
#include "dlgMelody.h"
#include "dlgNumber.h"
#include "numeric_value.h"
#include "tavro_var.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <cmath>
#include <functional>
#include <limits>

namespace {

// exec() blocks, so the driver is queued before the dialog opens and runs
// inside its modal loop. A driver that leaves the dialog open (a failed
// check returns early) has it rejected, so a fault never hangs the suite.
template <typename Dialog>
int runModal(Dialog &dialog, const std::function<void(Dialog *)> &drive)
{
    QTimer driver;
    driver.setSingleShot(true);
    QObject::connect(&driver, &QTimer::timeout, [&] {
        auto *shown = qobject_cast<Dialog *>(QApplication::activeModalWidget());
        QVERIFY2(shown == &dialog, "the dialog is not the active modal window");
        drive(shown);
        if (dialog.isVisible())
            dialog.QDialog::reject();
    });
    driver.start(0);
    return dialog.exec();
}

void pickFromList(QComboBox *box, int row)
{
    box->showPopup();
    QAbstractItemView *view = box->view();
    QTRY_VERIFY(view->isVisible());
    const QRect cell = view->visualRect(view->model()->index(row, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, cell.center());
    QTRY_VERIFY(!view->isVisible());
}

QStringList listOf(const QComboBox *box)
{
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items << box->itemText(i);
    return items;
}

// The widgets that Tab visits, starting at `from`, once round; a combo box
// stands for its own line edit.
QList<QWidget *> tabCycle(QWidget *from)
{
    QList<QWidget *> cycle;
    QWidget *w = from;
    do {
        QWidget *stop = w;
        if (auto *box = qobject_cast<QComboBox *>(w->parentWidget()))
            stop = box;
        if ((w->focusPolicy() & Qt::TabFocus) && (cycle.isEmpty() || cycle.last() != stop))
            cycle << stop;
        w = w->nextInFocusChain();
    } while (w != from);
    return cycle;
}

QStringList range(int first, int last)
{
    QStringList out;
    for (int n = first; n <= last; ++n)
        out << QString::number(n);
    return out;
}

const QStringList kTitles {QStringLiteral("과수원길"), QStringLiteral("바닷가에서"),
                           QStringLiteral("산바람 강바람"), QStringLiteral("옹달샘"),
                           QStringLiteral("우산"), QStringLiteral("초록바다")};

// Enter and Escape, with the focus on OK and in a box, press no button.
template <typename Dialog>
void checkKeysPressNothing(Dialog *dialog, QWidget *box)
{
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(part<QPushButton>(*dialog, "OKButton")));
    for (QWidget *target : {static_cast<QWidget *>(part<QPushButton>(*dialog, "OKButton")), box}) {
        target->setFocus();
        QTest::keyClick(target, Qt::Key_Return);
        QTest::keyClick(target, Qt::Key_Enter);
        QTest::keyClick(target, Qt::Key_Escape);
        QVERIFY(dialog->isVisible());
    }
    for (QPushButton *button : dialog->template findChildren<QPushButton *>()) {
        QVERIFY(!button->isDefault());
        QVERIFY(!button->autoDefault());
    }
}

} // namespace

class DialogsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        for (int i = 0; i < 6; ++i)
            gMelodyTitles[std::size_t(i)] = kTitles.at(i);
    }

    void numericValue_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("no number") << "abc" << 0.0;
        QTest::newRow("integer") << "3" << 3.0;
        QTest::newRow("fraction") << "2.5" << 2.5;
        QTest::newRow("trailing text") << "3x" << 3.0;
        QTest::newRow("text between digits") << "12abc34" << 12.0;
        QTest::newRow("blanks anywhere") << "  1 2\t3\n " << 123.0;
        QTest::newRow("blank after sign") << "- 4 2" << -42.0;
        QTest::newRow("plus") << "+7" << 7.0;
        QTest::newRow("double sign") << "--5" << 0.0;
        QTest::newRow("second point ends") << "1.5.3" << 1.5;
        QTest::newRow("leading point") << ".5" << 0.5;
        QTest::newRow("point alone") << "." << 0.0;
        QTest::newRow("exponent E") << "1E3" << 1000.0;
        QTest::newRow("exponent D") << "2D2" << 200.0;
        QTest::newRow("negative exponent") << "1.5e-1" << 0.15;
        QTest::newRow("exponent without digits") << "3E+" << 3.0;
        QTest::newRow("hex") << "&H1F" << 31.0;
        QTest::newRow("hex lower case, blanks") << "&h f f" << 255.0;
        QTest::newRow("octal") << "&O17" << 15.0;
        QTest::newRow("octal stops at 9") << "&O19" << 1.0;
        QTest::newRow("prefix alone") << "&H" << 0.0;
        QTest::newRow("unknown prefix") << "&X5" << 0.0;
        QTest::newRow("overflow") << "1e999" << 0.0;
        QTest::newRow("fullwidth digit") << QStringLiteral("３") << 0.0;
    }

    void numericValue()
    {
        QFETCH(QString, text);
        QFETCH(double, value);
        QCOMPARE(tavro_console::numericValue(text), value);
    }

    void zeroHashPattern_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << 0.0 << "00";
        QTest::newRow("one digit") << 5.0 << "05";
        QTest::newRow("two digits") << 12.0 << "12";
        QTest::newRow("rounded up") << 2.6 << "03";
        QTest::newRow("half away from zero") << 2.5 << "03";
        QTest::newRow("small") << 0.4 << "00";
        QTest::newRow("small negative") << -0.4 << "00";
        QTest::newRow("negative") << -5.0 << "-05";
        QTest::newRow("large") << 1e20 << "100000000000000000000";
        QTest::newRow("infinite") << std::numeric_limits<double>::infinity() << "00";
        QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << "00";
    }

    void zeroHashPattern()
    {
        QFETCH(double, value);
        QFETCH(QString, text);
        QCOMPARE(tavro_console::zeroHashPattern(value), text);
    }

    void numberDialog()
    {
        gInputNumber = QStringLiteral("earlier");
        {
            dlgNumber dialog;
            QCOMPARE(dialog.windowTitle(), QStringLiteral("입력 창"));
            QCOMPARE(dialog.size(), QSize(348, 178));
            QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
            QVERIFY(!(dialog.windowFlags() & Qt::WindowMinMaxButtonsHint));
            QCOMPARE(part<QLabel>(dialog, "lblNumberTitle")->text(), QStringLiteral("번호"));
            QCOMPARE(part<QPushButton>(dialog, "OKButton")->geometry(), QRect(8, 104, 81, 25));
            QCOMPARE(part<QPushButton>(dialog, "OKButton")->text(), QStringLiteral("확인"));
            QCOMPARE(part<QPushButton>(dialog, "CancelButton")->text(), QStringLiteral("취소"));
            QCOMPARE(tabCycle(part<QPushButton>(dialog, "OKButton")),
                     (QList<QWidget *> {part<QPushButton>(dialog, "OKButton"), part<QPushButton>(dialog, "CancelButton"), part<QLineEdit>(dialog, "txtNumber")}));

            const int result = runModal<dlgNumber>(dialog, [](dlgNumber *d) {
                checkKeysPressNothing(d, part<QLineEdit>(*d, "txtNumber"));
                QCOMPARE(gInputNumber, QStringLiteral("earlier"));
                QTest::keyClicks(part<QLineEdit>(*d, "txtNumber"), QStringLiteral(" 02 123 "));
                QTest::mouseClick(part<QPushButton>(*d, "OKButton"), Qt::LeftButton);
            });
            QCOMPARE(result, int(QDialog::Accepted));
            QCOMPARE(gInputNumber, QStringLiteral(" 02 123 ")); // blanks kept
        }
        {
            // A fresh dialog starts empty; Cancel empties the result.
            dlgNumber dialog;
            runModal<dlgNumber>(dialog, [](dlgNumber *d) {
                QVERIFY(part<QLineEdit>(*d, "txtNumber")->text().isEmpty());
                QTest::keyClicks(part<QLineEdit>(*d, "txtNumber"), QStringLiteral("5"));
                QTest::mouseClick(part<QPushButton>(*d, "CancelButton"), Qt::LeftButton);
            });
            QVERIFY(gInputNumber.isEmpty());
        }
        {
            gInputNumber = QStringLiteral("earlier");
            dlgNumber dialog;
            runModal<dlgNumber>(dialog, [](dlgNumber *d) {
                QTest::mouseClick(part<QPushButton>(*d, "OKButton"), Qt::LeftButton);
            });
            QVERIFY(gInputNumber.isEmpty()); // OK on an empty box
        }
        {
            // The close box must not leave the number of an earlier use behind.
            gInputNumber = QStringLiteral("earlier");
            dlgNumber dialog;
            runModal<dlgNumber>(dialog, [](dlgNumber *d) {
                QTest::keyClicks(part<QLineEdit>(*d, "txtNumber"), QStringLiteral("5"));
                d->close();
            });
            QVERIFY(gInputNumber.isEmpty());
        }
    }

    void dateTimeDialog()
    {
        gInputDate = gInputTime = QStringLiteral("earlier");
        {
            dlgDateTime dialog;
            QCOMPARE(dialog.windowTitle(), QStringLiteral("날짜.시간 입력창"));
            QCOMPARE(dialog.size(), QSize(323, 116));
            QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
            const QStringList captions {QStringLiteral("월"), QStringLiteral("일"),
                                        QStringLiteral("분"), QStringLiteral("시간")};
            for (int i = 0; i < 4; ++i)
                QCOMPARE(label1(dialog, std::size_t(i))->text(), captions.at(i));
            QCOMPARE(listOf(part<QComboBox>(dialog, "cbMonth")), range(1, 12));
            QCOMPARE(listOf(part<QComboBox>(dialog, "cbDay")), range(1, 31));
            QCOMPARE(listOf(part<QComboBox>(dialog, "cbHour")), range(0, 23));
            QCOMPARE(listOf(part<QComboBox>(dialog, "cbMin")), range(0, 59));
            for (QComboBox *box : {part<QComboBox>(dialog, "cbMonth"), part<QComboBox>(dialog, "cbDay"), part<QComboBox>(dialog, "cbHour"), part<QComboBox>(dialog, "cbMin")}) {
                QVERIFY(box->isEditable());
                QVERIFY(box->currentText().isEmpty());
            }
            QCOMPARE(tabCycle(part<QPushButton>(dialog, "OKButton")),
                     (QList<QWidget *> {part<QPushButton>(dialog, "OKButton"), part<QPushButton>(dialog, "CancelButton"), part<QComboBox>(dialog, "cbMonth"),
                                        part<QComboBox>(dialog, "cbDay"), part<QComboBox>(dialog, "cbHour"), part<QComboBox>(dialog, "cbMin")}));

            runModal<dlgDateTime>(dialog, [](dlgDateTime *d) {
                checkKeysPressNothing(d, part<QComboBox>(*d, "cbMonth"));
                QTest::keyClicks(part<QComboBox>(*d, "cbMonth")->lineEdit(), QStringLiteral("7"));
                pickFromList(part<QComboBox>(*d, "cbDay"), 3); // "4"
                QTest::keyClicks(part<QComboBox>(*d, "cbHour")->lineEdit(), QStringLiteral("9"));
                QTest::keyClicks(part<QComboBox>(*d, "cbMin")->lineEdit(), QStringLiteral("5"));
                QCOMPARE(part<QComboBox>(*d, "cbMonth")->count(), 12); // typed text stays out of the list
                QTest::mouseClick(part<QPushButton>(*d, "OKButton"), Qt::LeftButton);
            });
            QCOMPARE(gInputDate, QStringLiteral("07-04"));
            QCOMPARE(gInputTime, QStringLiteral("09:05"));
        }
        {
            // No range test; rounding; empty and non-numeric boxes give "00".
            dlgDateTime dialog;
            runModal<dlgDateTime>(dialog, [](dlgDateTime *d) {
                QVERIFY(part<QComboBox>(*d, "cbMonth")->currentText().isEmpty()); // nothing from the last use
                QTest::keyClicks(part<QComboBox>(*d, "cbMonth")->lineEdit(), QStringLiteral("13"));
                QTest::keyClicks(part<QComboBox>(*d, "cbDay")->lineEdit(), QStringLiteral(" 2.6"));
                QTest::keyClicks(part<QComboBox>(*d, "cbMin")->lineEdit(), QStringLiteral("abc"));
                QTest::mouseClick(part<QPushButton>(*d, "OKButton"), Qt::LeftButton);
            });
            QCOMPARE(gInputDate, QStringLiteral("13-03"));
            QCOMPARE(gInputTime, QStringLiteral("00:00"));
        }
        {
            // Greyed month and day are read all the same.
            dlgDateTime dialog;
            part<QComboBox>(dialog, "cbMonth")->setEnabled(false);
            part<QComboBox>(dialog, "cbDay")->setEnabled(false);
            runModal<dlgDateTime>(dialog, [](dlgDateTime *d) {
                QTest::keyClicks(part<QComboBox>(*d, "cbHour")->lineEdit(), QStringLiteral("23"));
                QTest::keyClicks(part<QComboBox>(*d, "cbMin")->lineEdit(), QStringLiteral("59"));
                QTest::mouseClick(part<QPushButton>(*d, "OKButton"), Qt::LeftButton);
            });
            QCOMPARE(gInputDate, QStringLiteral("00-00"));
            QCOMPARE(gInputTime, QStringLiteral("23:59"));
        }
        for (bool closeBox : {false, true}) {
            dlgDateTime dialog;
            runModal<dlgDateTime>(dialog, [closeBox](dlgDateTime *d) {
                QTest::keyClicks(part<QComboBox>(*d, "cbHour")->lineEdit(), QStringLiteral("1"));
                if (closeBox)
                    d->close();
                else
                    QTest::mouseClick(part<QPushButton>(*d, "CancelButton"), Qt::LeftButton);
            });
            QVERIFY(gInputDate.isEmpty());
            QVERIFY(gInputTime.isEmpty());
            gInputDate = gInputTime = QStringLiteral("earlier");
        }
    }

    void melodyDialog()
    {
        {
            dlgMelody dialog;
            QVERIFY(dialog.windowTitle().isEmpty());
            QCOMPARE(dialog.size(), QSize(440, 336));
            QVERIFY(part<QGroupBox>(dialog, "frGroup")->title().isEmpty());
            QCOMPARE(part<QComboBox>(dialog, "cbGroup")->parentWidget(), part<QGroupBox>(dialog, "frGroup"));
            QCOMPARE(label1(dialog, 1)->parentWidget(), part<QGroupBox>(dialog, "frGroup"));
            QCOMPARE(label1(dialog, 1)->text(), QStringLiteral("그룹"));
            QCOMPARE(label1(dialog, 0)->text(), QStringLiteral("멜로디번호"));
            QCOMPARE(part<QLabel>(dialog, "Label2")->text(), QStringLiteral("멜 로 디"));
            QCOMPARE(tabCycle(part<QPushButton>(dialog, "OKButton")),
                     (QList<QWidget *> {part<QPushButton>(dialog, "OKButton"), part<QPushButton>(dialog, "CancelButton"), part<QComboBox>(dialog, "cbNo"),
                                        part<QLineEdit>(dialog, "txtTitle"), part<QComboBox>(dialog, "cbGroup")}));
            QCOMPARE(listOf(part<QComboBox>(dialog, "cbNo")), range(1, 6));
            QCOMPARE(listOf(part<QComboBox>(dialog, "cbGroup")), range(1, 6));
            QVERIFY(part<QComboBox>(dialog, "cbNo")->currentText().isEmpty());
            QVERIFY(part<QComboBox>(dialog, "cbGroup")->currentText().isEmpty());
            QCOMPARE(part<QLineEdit>(dialog, "txtTitle")->text(), QStringLiteral("초록바다"));

            dialog.setWindowTitle(QStringLiteral("응답 멜로디 설정"));
            runModal<dlgMelody>(dialog, [](dlgMelody *d) {
                checkKeysPressNothing(d, part<QComboBox>(*d, "cbNo"));
                pickFromList(part<QComboBox>(*d, "cbNo"), 2);
                QCOMPARE(part<QLineEdit>(*d, "txtTitle")->text(), QStringLiteral("산바람 강바람"));
                // Typing shows no new title; only picking does.
                part<QComboBox>(*d, "cbNo")->lineEdit()->clear();
                QTest::keyClicks(part<QComboBox>(*d, "cbNo")->lineEdit(), QStringLiteral("1"));
                QCOMPARE(part<QLineEdit>(*d, "txtTitle")->text(), QStringLiteral("산바람 강바람"));
                pickFromList(part<QComboBox>(*d, "cbNo"), 5);
                QCOMPARE(part<QLineEdit>(*d, "txtTitle")->text(), QStringLiteral("초록바다"));
                pickFromList(part<QComboBox>(*d, "cbGroup"), 1);
                QTest::keyClicks(part<QLineEdit>(*d, "txtTitle"), QStringLiteral("x")); // not returned
                QTest::mouseClick(part<QPushButton>(*d, "OKButton"), Qt::LeftButton);
            });
            QCOMPARE(gMelodyGroup, QStringLiteral("2"));
            QCOMPARE(gMelodyNo, QStringLiteral("6"));
        }
        {
            // Group hidden: its empty box comes back; typed numbers as typed.
            dlgMelody dialog;
            part<QGroupBox>(dialog, "frGroup")->setVisible(false);
            runModal<dlgMelody>(dialog, [](dlgMelody *d) {
                QVERIFY(!part<QGroupBox>(*d, "frGroup")->isVisible());
                QTest::keyClicks(part<QComboBox>(*d, "cbNo")->lineEdit(), QStringLiteral(" 7x"));
                QTest::mouseClick(part<QPushButton>(*d, "OKButton"), Qt::LeftButton);
            });
            QVERIFY(gMelodyGroup.isEmpty());
            QCOMPARE(gMelodyNo, QStringLiteral(" 7x"));
        }
        for (bool closeBox : {false, true}) {
            dlgMelody dialog;
            runModal<dlgMelody>(dialog, [closeBox](dlgMelody *d) {
                QVERIFY(part<QComboBox>(*d, "cbNo")->currentText().isEmpty());
                pickFromList(part<QComboBox>(*d, "cbNo"), 0);
                pickFromList(part<QComboBox>(*d, "cbGroup"), 0);
                if (closeBox)
                    d->close();
                else
                    QTest::mouseClick(part<QPushButton>(*d, "CancelButton"), Qt::LeftButton);
            });
            QVERIFY(gMelodyGroup.isEmpty());
            QVERIFY(gMelodyNo.isEmpty());
        }
    }

    // A number typed and confirmed with Enter or Tab is typing, not picking:
    // the title stays. Arrow keys on the box pick from its list.
    void melodyTitleFollowsOnlyPicking()
    {
        dlgMelody dialog;
        dialog.setWindowTitle(QStringLiteral("응답 멜로디 설정"));
        runModal<dlgMelody>(dialog, [](dlgMelody *d) {
            QVERIFY(QTest::qWaitForWindowActive(d));
            for (const Qt::Key confirm : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Tab}) {
                part<QComboBox>(*d, "cbNo")->setFocus();
                part<QComboBox>(*d, "cbNo")->lineEdit()->clear();
                QTest::keyClicks(part<QComboBox>(*d, "cbNo")->lineEdit(), QStringLiteral("4"));
                QTest::keyClick(QApplication::focusWidget(), confirm);
                QCOMPARE(part<QLineEdit>(*d, "txtTitle")->text(), QStringLiteral("초록바다"));
                QCOMPARE(part<QComboBox>(*d, "cbNo")->currentText(), QStringLiteral("4"));
                QVERIFY(d->isVisible());
            }
            part<QComboBox>(*d, "cbNo")->setFocus();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
            QCOMPARE(part<QLineEdit>(*d, "txtTitle")->text(), kTitles.at(part<QComboBox>(*d, "cbNo")->currentText().toInt() - 1));
            const QString before = part<QComboBox>(*d, "cbNo")->currentText();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Up);
            QVERIFY(part<QComboBox>(*d, "cbNo")->currentText() != before);
            QCOMPARE(part<QLineEdit>(*d, "txtTitle")->text(), kTitles.at(part<QComboBox>(*d, "cbNo")->currentText().toInt() - 1));
            // Enter right after a pick does not undo it.
            pickFromList(part<QComboBox>(*d, "cbNo"), 3);
            QCOMPARE(part<QLineEdit>(*d, "txtTitle")->text(), QStringLiteral("옹달샘"));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
            QCOMPARE(part<QLineEdit>(*d, "txtTitle")->text(), QStringLiteral("옹달샘"));
            QTest::mouseClick(part<QPushButton>(*d, "OKButton"), Qt::LeftButton);
        });
        QCOMPARE(gMelodyNo, QStringLiteral("4"));
    }
};

QTEST_MAIN(DialogsTest)
#include "tst_dialogs.moc"
