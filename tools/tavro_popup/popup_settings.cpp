#include "popup_settings.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QUrl>

namespace popup {

PopupSettings PopupSettings::load(const QSettings &store)
{
    PopupSettings out;
    out.url = store.value(QStringLiteral("service/url")).toString();
    out.tokenFile = store.value(QStringLiteral("service/tokenFile")).toString();
    out.hideAfterSeconds = std::clamp(store.value(QStringLiteral("card/hideAfterSeconds"), 0).toInt(), 0, 3600);
    out.sound = store.value(QStringLiteral("card/sound"), true).toBool();
    return out;
}

void PopupSettings::save(QSettings &store) const
{
    store.setValue(QStringLiteral("service/url"), url);
    store.setValue(QStringLiteral("service/tokenFile"), tokenFile);
    store.setValue(QStringLiteral("card/hideAfterSeconds"), hideAfterSeconds);
    store.setValue(QStringLiteral("card/sound"), sound);
    store.sync();
}

QString PopupSettings::problem() const
{
    const QUrl parsed(url, QUrl::StrictMode);
    if (url.isEmpty())
        return QStringLiteral("서비스 주소를 입력하세요 (예: http://192.168.0.10:8080).");
    if (!parsed.isValid() || (parsed.scheme() != u"http" && parsed.scheme() != u"https") || parsed.host().isEmpty())
        return QStringLiteral("서비스 주소는 http://주소:포트 형식이어야 합니다: %1").arg(url);
    if (tokenFile.isEmpty())
        return QStringLiteral("토큰 파일을 고르세요.");
    return {};
}

SettingsDialog::SettingsDialog(const PopupSettings &settings, QWidget *parent)
    : QDialog(parent)
    , m_url(new QLineEdit(settings.url, this))
    , m_tokenFile(new QLineEdit(settings.tokenFile, this))
    , m_hideAfter(new QSpinBox(this))
    , m_sound(new QCheckBox(QStringLiteral("전화가 오면 소리 내기"), this))
{
    setWindowTitle(QStringLiteral("tavro 팝업 설정"));
    m_url->setObjectName(QStringLiteral("url"));
    m_url->setPlaceholderText(QStringLiteral("http://192.168.0.10:8080"));
    m_tokenFile->setObjectName(QStringLiteral("tokenFile"));
    m_hideAfter->setObjectName(QStringLiteral("hideAfter"));
    m_hideAfter->setRange(0, 3600);
    m_hideAfter->setSuffix(QStringLiteral(" 초"));
    m_hideAfter->setSpecialValueText(QStringLiteral("닫을 때까지 표시"));
    m_hideAfter->setValue(settings.hideAfterSeconds);
    m_sound->setObjectName(QStringLiteral("sound"));
    m_sound->setChecked(settings.sound);

    auto *browse = new QPushButton(QStringLiteral("찾아보기…"), this);
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("토큰 파일"), m_tokenFile->text());
        if (!path.isEmpty())
            m_tokenFile->setText(path);
    });
    auto *tokenRow = new QHBoxLayout;
    tokenRow->addWidget(m_tokenFile);
    tokenRow->addWidget(browse);

    auto *form = new QFormLayout(this);
    form->addRow(QStringLiteral("서비스 주소"), m_url);
    form->addRow(QStringLiteral("토큰 파일"), tokenRow);
    form->addRow(QStringLiteral("카드 자동 닫기"), m_hideAfter);
    form->addRow(QString(), m_sound);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("저장"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("취소"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    form->addRow(buttons);
}

PopupSettings SettingsDialog::settings() const
{
    PopupSettings out;
    out.url = m_url->text().trimmed();
    out.tokenFile = m_tokenFile->text().trimmed();
    out.hideAfterSeconds = m_hideAfter->value();
    out.sound = m_sound->isChecked();
    return out;
}

void SettingsDialog::accept()
{
    const QString problem = settings().problem();
    if (!problem.isEmpty()) {
        QMessageBox::warning(this, windowTitle(), problem);
        return;
    }
    QDialog::accept();
}

} // namespace popup
