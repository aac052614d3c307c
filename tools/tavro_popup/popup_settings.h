// What the user chose: the service, the token file (its path only, never
// the token), how long a card stays, and the sound.
#ifndef TAVRO_POPUP_POPUP_SETTINGS_H
#define TAVRO_POPUP_POPUP_SETTINGS_H

#include <QDialog>
#include <QString>

class QCheckBox;
class QLineEdit;
class QSettings;
class QSpinBox;

namespace popup {

struct PopupSettings
{
    QString url;            // http://HOST:PORT of tavrod
    QString tokenFile;
    int hideAfterSeconds = 0; // 0: a card stays until closed
    bool sound = true;

    static PopupSettings load(const QSettings &store);
    void save(QSettings &store) const;
    // Empty when usable, else what is wrong, in Korean.
    QString problem() const;
};

class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SettingsDialog(const PopupSettings &settings, QWidget *parent = nullptr);
    PopupSettings settings() const;

    void accept() override;

private:
    QLineEdit *m_url;
    QLineEdit *m_tokenFile;
    QSpinBox *m_hideAfter;
    QCheckBox *m_sound;
};

} // namespace popup

#endif
