// tavro_m: the device link to a caller-ID terminal on up to four serial ports.
//
// One control object owns the slots "COM1".."COM4", sends commands after the
// "[" / "ACK" synchronisation exchange, frames what the terminal sends and
// reports it to its host through the signals below. Everything runs on the
// thread of the host's Qt event loop; signals are delivered synchronously.
#ifndef TAVRO_TAVRO_M_H
#define TAVRO_TAVRO_M_H

#include <QMap>
#include <QObject>
#include <QString>
#include <QVariant>

#include <array>
#include <memory>
#include <stdexcept>

#include "tavro/tavro_m_export.h"

// One caller-ID record: an incoming call, or one entry of a gathered list.
// Fields that a message does not fill stay 0 or empty.
struct TAVRO_M_EXPORT CID_INFO
{
    qint16 lMonth = 0;
    qint16 lDay = 0;
    qint16 lHour = 0;
    qint16 lMin = 0;
    QString lNumber;
    QString lName;
    qint16 lGroup = 0;
    QString lTelType;
};

// The array passed with ReceiveGatheredInfo: 61 entries, at most 60 filled.
using CID_INFO_ARRAY = std::array<CID_INFO, 61>;

namespace tavro {

// Device path for each port name, e.g. {"COM1", "/dev/ttyUSB0"}.
using PortMap = QMap<QString, QString>;

// The platform's default: the names themselves on Windows, /dev/ttyS0..3 elsewhere.
TAVRO_M_EXPORT PortMap defaultPortMap();

// Thrown by the calls that fail as calls: CloseTavro, ComPortStateGet and
// TxData with a port name other than "COM1".."COM4", and TxData on a port
// that is not open. what() is an English description.
class TAVRO_M_EXPORT CallError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class SerialSlot;
namespace detail {
struct ControlAccess;
}

} // namespace tavro

class TAVRO_M_EXPORT tavro_m : public QObject
{
    Q_OBJECT

public:
    explicit tavro_m(QObject *parent = nullptr);
    explicit tavro_m(const tavro::PortMap &portMap, QObject *parent = nullptr);
    ~tavro_m() override;

    // The device each port name opens. Entries missing from a map keep the
    // default; a change takes effect at the next OpenTavro of that port.
    void setPortMap(const tavro::PortMap &portMap);
    tavro::PortMap portMap() const;

    // Opens a port at 9600 8N1 without flow control. Returns 0 when opened,
    // 1 when already open (errorStr = "COM1이 이미 열려 있슴"), 2 on failure
    // (errorStr = the reason; a device failure is also stored for
    // GetCurrentErrorMsg). Fills the area table on every call.
    qint16 OpenTavro(QString &portName, QString &errorStr);

    // Closes a port if open; always returns 0. Throws tavro::CallError for
    // an unknown port name.
    qint16 CloseTavro(QString &portName, QString &errorStr);

    // True when the port is open. Throws tavro::CallError for an unknown name.
    bool ComPortStateGet(QString &portName);

    // Sends one command: validates and rewrites 'D', 'E', 'F' and 'G'
    // (written back into the arguments), writes "[", waits up to 5.5 s for
    // "ACK" while letting the event loop run, then writes the frame
    // cmd CR [para CR]... "]". Returns true when the frame was written; on
    // false the reason is left for GetCurrentErrorMsg.
    bool SendCmd(QString &portName, char &cmd, QString &para1, QString &para2, QString &para3);
    // Convenience for callers that do not need the rewritten parameters.
    bool SendCmd(const QString &portName, char cmd, const QString &para1 = QString(),
                 const QString &para2 = QString(), const QString &para3 = QString());

    // Writes data to the port unchanged; returns an empty variant. Throws
    // tavro::CallError for an unknown name or a port that is not open.
    QVariant TxData(QString &portName, QString &data);

    // Returns the last error text and clears it (read once).
    QString GetCurrentErrorMsg();

    // Does nothing; kept for hosts that probe the control.
    void EventTest(QString &str);

    // Steps of the receive path, called by it; a host has no reason to call them.
    void ProcessReport(QString pPortname);
    QString GetInformationWithIndicator(QString title);
    QString GetInformationWithoutIndicator();
    void EndMessageDiscard();
    void ProcessResponse(QString pPortname);

Q_SIGNALS:
    // Diagnostic text ("portname=COM1", "전체수신데이터:..." and so on).
    void DebugMsg(const QString &str);
    // Each piece of raw text as it arrives on a port.
    void ReceiveReal(const QString &portName, const QString &str);
    // An incoming call: callState 1, or 2 while the line is busy.
    void ReceiveCall(const QString &portName, qint16 callState, CID_INFO &cidInfo);
    // The handset: true lifted, false put down.
    void HookEvent(const QString &portName, bool eventType);
    // The answer to a query: msgType is the code of the letter ('t' = 116).
    void ReceiveResponse(const QString &portName, qint16 msgType, const QString &rst1,
                         const QString &rst2, const QString &rst3);
    // A whole list: entries 0..max-1 of cidInfo; kind is the code of the
    // letter ('a' 97, 'j' 106, 'o' 111, 'p' 112).
    void ReceiveGatheredInfo(const QString &portName, qint16 &max, qint16 &kind,
                             CID_INFO_ARRAY &cidInfo);

private:
    friend struct tavro::detail::ControlAccess;
    struct Private;
    std::unique_ptr<Private> d;

    void onPortInput(int slot);
    void frameMessages(const QString &portName);
    void onPortFailed(int slot, const QString &reason);
};

#endif // TAVRO_TAVRO_M_H
