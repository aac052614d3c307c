// Process signals as ordinary events of the event loop: the handler itself
// only writes the signal's number into a socket pair, which a notifier reads.
#ifndef TAVRO_TOOLS_SIGNAL_RELAY_H
#define TAVRO_TOOLS_SIGNAL_RELAY_H

#include <QObject>

#include <initializer_list>

class QSocketNotifier;

namespace tavro::tools {

// One relay per process: create it after the application object and keep it
// for the program's life.
class SignalRelay : public QObject
{
    Q_OBJECT

public:
    explicit SignalRelay(std::initializer_list<int> signalNumbers, QObject *parent = nullptr);

    // False when the socket pair could not be made; errno tells why.
    bool isValid() const { return m_notifier != nullptr; }

    // Stops delivering (further signals still do no harm).
    void setEnabled(bool enabled);

Q_SIGNALS:
    void received(int signalNumber);

private:
    void readSignals();

    QSocketNotifier *m_notifier = nullptr;
};

} // namespace tavro::tools

#endif // TAVRO_TOOLS_SIGNAL_RELAY_H
