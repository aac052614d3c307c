// tavro_m: the device link to a caller-ID terminal on up to four serial ports.
//
// A host creates one control, opens ports by name ("COM1".."COM4"), sends
// commands with SendCmd and receives everything the terminal says through
// the signals. Threading: everything, the method calls and every signal,
// runs on the thread of the host's Qt event loop; signals are delivered
// synchronously (a handler runs to its end before the control goes on).
// SendCmd lets the event loop run while it waits for the terminal, so
// signals may arrive, and the host may call the control again, during it.
//
// Each port frames what it receives in its own buffer, so every message is
// named after the port it arrived on. The synchronisation flag and the error
// text are shared by all ports (and all controls on the thread): an "ACK" on
// any open port answers a waiting SendCmd, and the latest failure's text is
// the one GetCurrentErrorMsg returns.
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
// lMonth/lDay/lHour/lMin come from the terminal's MMDDhhmm time, lGroup is
// the caller group, lTelType one of "BLACK" (rejected number), "NORMAL",
// "PUBLIC", "NO_DISP" (number withheld), "NO_GATHER" (not available), "VIP"
// or empty. Fields that a message does not fill stay 0 or empty.
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

// Reads one "COMn=PATH" entry (as given to a --map option) into map: the
// name one of COM1..COM4, the path not empty; everything after the first
// "=" is the path. A later entry for the same name replaces the earlier one.
// On a malformed entry returns false, leaves map unchanged and puts an
// English text that quotes the entry into *error.
TAVRO_M_EXPORT bool parsePortMapEntry(const QString &text, PortMap &map, QString *error = nullptr);

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

    // Opens a port at 9600 8N1 without flow control on the device of the
    // port map. Returns
    //   0  opened (errorStr is left as passed in);
    //   1  already open: errorStr = "<name>이 이미 열려 있슴";
    //   2  failed: errorStr = "COM 포트 명이 COM1, COM2, COM3, COM4 값 중에
    //      하나이어야 한다." for an unknown name, or "<name> open error, "
    //      followed by the device's reason, which is also kept for
    //      GetCurrentErrorMsg.
    // Fills the area-code table on every call. A port whose device vanishes
    // later (adapter unplugged) closes itself, says so in a DebugMsg, and
    // can be opened again with OpenTavro.
    qint16 OpenTavro(QString &portName, QString &errorStr);

    // Closes a port if open; always returns 0. Throws tavro::CallError for
    // an unknown port name.
    qint16 CloseTavro(QString &portName, QString &errorStr);

    // True when the port is open. Throws tavro::CallError for an unknown name.
    bool ComPortStateGet(QString &portName);

    // Sends one command (lower-case letters query a setting, upper-case
    // letters change it; the answer arrives later as ReceiveResponse or
    // ReceiveGatheredInfo). Checks and rewrites, written back into the
    // arguments before anything is sent:
    //   'D' para1 "MM-DD", para2 "HH:MM" -> "MMDD", "HHMM";
    //   'E' para1 "HH:MM" -> "HHMM";
    //   'F' para1 a melody number 1..6;
    //   'G' para1 an area number ("02", "031", ... "064") -> its code.
    // Then writes "[", waits for the terminal's "ACK" (at most 11 ticks of
    // 500 ms, about 5.5 s) while the event loop runs, and writes the frame
    // cmd CR, each non-empty parameter followed by CR, "]".
    // Nothing is sent (false with a text) for a command byte that is not
    // printable ASCII or is "[" / "]", a parameter holding CR, LF, "[" or
    // "]" (it would end the frame and start another), a character code page
    // 949 cannot encode, a call nested more than 8 waits deep (SendCmd from a
    // handler during another SendCmd's wait), or a port whose output queue
    // is full (16 KiB not yet on the line). A nested wait never outlasts the
    // wait around it: every call returns within 5.5 s of its own "[".
    // Returns true when the frame was written. On false, GetCurrentErrorMsg
    // gives the reason: "통신 포트가 OPEN 되지 않았습니다." (port not open),
    // a date/time/melody/area format message, one of the refusals above, or
    // "TAVRO 단말기와 통신이 안됨" (no answer). An unknown port name gives
    // false and no text.
    bool SendCmd(QString &portName, char &cmd, QString &para1, QString &para2, QString &para3);
    // Convenience for callers that do not need the rewritten parameters.
    bool SendCmd(const QString &portName, char cmd, const QString &para1 = QString(),
                 const QString &para2 = QString(), const QString &para3 = QString());

    // Writes data to the port unchanged; returns an empty variant. Throws
    // tavro::CallError for an unknown name, a port that is not open, a
    // character code page 949 cannot encode, or an output queue that would
    // grow past 16 KiB (the terminal is not taking data); the port stays open.
    QVariant TxData(QString &portName, QString &data);

    // Returns the last error text and clears it (read once).
    QString GetCurrentErrorMsg();

    // Does nothing; kept for hosts that probe the control.
    void EventTest(QString &str);

    // The steps of the receive path (decode a report or a response, read a
    // titled or a bare field, discard through the end line), applied to the
    // receive buffer of the port whose text came last. The receive path uses
    // its own reader over each message; a host has no reason to call them.
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
    // A port opened by OpenTavro (open true, reason "opened"), closed by
    // CloseTavro (false, "closed"), or closed by itself because its device
    // vanished (false, "vanished"). Lets a host follow the link without
    // reading diagnostic texts.
    void PortStateChanged(const QString &portName, bool open, const QString &reason);

protected:
    // Keep track of who listens to the diagnostic and raw-text signals, so
    // that the receive path builds their texts only for a listener. A
    // subclass that overrides these calls the base.
    void connectNotify(const QMetaMethod &signal) override;
    void disconnectNotify(const QMetaMethod &signal) override;

private:
    friend struct tavro::detail::ControlAccess;
    struct Private;
    std::unique_ptr<Private> d;

    // Internals of the receive path: kept out of the library's ABI.
    TAVRO_M_NO_EXPORT void onPortInput(int slot);
    TAVRO_M_NO_EXPORT void frameMessages(int slot);
    TAVRO_M_NO_EXPORT void onPortFailed(int slot, const QString &reason);
    TAVRO_M_NO_EXPORT void dropCutMessage(int slot);
    TAVRO_M_NO_EXPORT void noteListeners();
};

#endif // TAVRO_TAVRO_M_H
