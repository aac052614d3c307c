#include "terminal.h"

#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringEncoder>

#include <algorithm>
#include <utility>

namespace {

// Qt 6.4 resolves "CP949" to an IBM variant that garbles some syllables.
constexpr const char *kCodec = "windows-949";

// A frame longer than this is not from a sane host: drop it.
constexpr qsizetype kMaxFrame = 256;

const QByteArray kCrLf = QByteArrayLiteral("\r\n");

// Area numbers by slot; 'G' carries the slot as one hex digit "0".."f".
const char *const kAreaNumbers[16] = {"02",  "031", "032", "033", "041", "042", "043", "051",
                                      "052", "053", "054", "055", "061", "062", "063", "064"};

// The on/off settings, by their query letter.
const QMap<char, QString> &switchNames()
{
    static const QMap<char, QString> names = {
        {'h', QStringLiteral("caller display during a call")},
        {'i', QStringLiteral("call rejection")},
        {'n', QStringLiteral("automatic answer")},
        {'q', QStringLiteral("answer-numbers-only reception")},
        {'r', QStringLiteral("key sound")},
        {'t', QStringLiteral("alarm")},
        {'u', QStringLiteral("reject all calls")},
        {'x', QStringLiteral("answer melody")},
    };
    return names;
}

constexpr char toLower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }
constexpr bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool isDigits(const QString &text, int count)
{
    return text.size() == count
        && std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

// "1".."high" style values: a plain decimal within [low, high], else -1.
int boundedNumber(const QString &text, int low, int high)
{
    if (text.isEmpty() || text.size() > 6 || !isDigits(text, int(text.size())))
        return -1;
    const int value = text.toInt();
    return value >= low && value <= high ? value : -1;
}

QString onOff(bool on) { return on ? QStringLiteral("on") : QStringLiteral("off"); }

// Bytes as a readable quoted text for the logs.
QString escaped(const QByteArray &bytes)
{
    QString out = QStringLiteral("\"");
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r')
            out += QStringLiteral("\\r");
        else if (c == '\n')
            out += QStringLiteral("\\n");
        else if (c == '"' || c == '\\')
            out += QStringLiteral("\\") + QLatin1Char(c);
        else if (u >= 0x20 && u < 0x7f)
            out += QLatin1Char(c);
        else
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    return out + QLatin1Char('"');
}

// Splits an operator line into words; double quotes group blanks into one
// word ("" is an empty word). Returns false on an unterminated quote.
bool splitWords(const QString &line, QStringList *words)
{
    QString word;
    bool inWord = false, inQuote = false;
    for (const QChar c : line) {
        if (c == u'"') {
            inQuote = !inQuote;
            inWord = true;
        } else if (c.isSpace() && !inQuote) {
            if (inWord)
                words->append(std::exchange(word, QString()));
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words->append(word);
    return !inQuote;
}

// True when the text can be sent in code page 949. The encoder substitutes
// what it cannot encode without reporting an error, so check the round trip.
bool encodable(const QString &text)
{
    QStringEncoder encoder(kCodec);
    const QByteArray bytes = encoder.encode(text);
    return !encoder.hasError() && QStringDecoder(kCodec).decode(bytes) == text;
}

// Raw text to bytes: code page 949 text with the escapes \r \n \t \\ and
// \xHH (that one byte, not re-encoded).
bool rawBytes(const QString &text, QByteArray *out, QString *error)
{
    QString run;
    bool encoded = true;
    auto flush = [&] {
        encoded = encoded && encodable(run);
        *out += QStringEncoder(kCodec).encode(run);
        run.clear();
    };
    auto isHex = [](QChar c) {
        return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) != u'\\') {
            run += text.at(i);
            continue;
        }
        if (++i >= text.size()) {
            *error = QStringLiteral("a lone \\ at the end");
            return false;
        }
        switch (text.at(i).unicode()) {
        case 'r': run += u'\r'; break;
        case 'n': run += u'\n'; break;
        case 't': run += u'\t'; break;
        case '\\': run += u'\\'; break;
        case 'x':
            if (i + 2 >= text.size() || !isHex(text.at(i + 1)) || !isHex(text.at(i + 2))) {
                *error = QStringLiteral("\\x needs two hex digits");
                return false;
            }
            flush();
            *out += char(text.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
            break;
        default:
            *error = QStringLiteral("unknown escape \\%1").arg(text.at(i));
            return false;
        }
    }
    flush();
    if (!encoded) {
        *error = QStringLiteral("characters outside code page 949");
        return false;
    }
    return true;
}

QString frameText(char cmd, const QStringList &params)
{
    return (QStringList {QString(QLatin1Char(cmd))} + params).join(u' ');
}

// An operator's optional field: absent, "" and "-" all leave it empty.
QString field(const QStringList &args, int i)
{
    return i < args.size() && args[i] != u"-" ? args[i] : QString();
}

const QString kTypeLetters = QStringLiteral("BSCPOV");

} // namespace

Terminal::Terminal(QObject *parent)
    : QObject(parent)
{
    for (auto it = switchNames().cbegin(); it != switchNames().cend(); ++it)
        m_switches.insert(it.key(), false);
    m_switches['h'] = true;
    m_switches['r'] = true;
    m_groupMelody = QList<int>(kGroups, 1);
}

QString Terminal::helpText()
{
    return QStringLiteral(
        "Operator commands (one a line; \"double quotes\" group words, - is an empty field):\n"
        "  call NUMBER [NAME] [GROUP] [TYPE]  incoming call (Report D); TYPE one of B S C P O V,\n"
        "                                     default S; a rejected NUMBER is sent as B\n"
        "  busy NUMBER [NAME] [GROUP] [TYPE]  incoming call during a call (Report E)\n"
        "  lift                               handset lifted (Report B)\n"
        "  hangup                             handset put down (Report C)\n"
        "  raw TEXT                           send TEXT as is; escapes \\r \\n \\t \\\\ \\xHH\n"
        "  silence on|off                     stop / resume answering \"[\" (host time-outs)\n"
        "  piece N                            send in pieces of N bytes (0: whole messages)\n"
        "  answer add NUMBER [NAME] [GROUP]   add an answer number (query 'o')\n"
        "  answer del NUMBER                  delete an answer number\n"
        "  state                              show the settings and lists\n"
        "  help                               this text\n"
        "  quit                               end the simulator");
}

// ---------------------------------------------------------------------------
// Host side: "[" and command frames

void Terminal::receive(const QByteArray &bytes)
{
    for (const char c : bytes) {
        if (c == '[') {
            // A new request: whatever frame was open will never be finished.
            if (m_inFrame)
                emit complained(QStringLiteral("bad frame %1: not finished before the next \"[\"; dropped")
                                    .arg(escaped(m_frame)));
            m_frame.clear();
            m_inFrame = m_discarding = false;
            answerSync();
            continue;
        }
        if (m_discarding) {
            m_discarding = c != ']';
            continue;
        }
        m_frame += c;
        m_inFrame = true;
        if (c == ']') {
            m_inFrame = false;
            handleFrame(std::exchange(m_frame, QByteArray()));
        } else if (m_frame.size() > kMaxFrame) {
            emit complained(QStringLiteral("bad frame %1...: longer than %2 bytes; dropped up to the next \"]\"")
                                .arg(escaped(m_frame.left(32)))
                                .arg(kMaxFrame));
            m_frame.clear();
            m_inFrame = false;
            m_discarding = true;
        }
    }
}

void Terminal::answerSync()
{
    if (m_silent) {
        emit hostCommand(QStringLiteral("host [: not answered (silence on)"));
        return;
    }
    emit acknowledge(QByteArrayLiteral("ACK\r\n"));
}

void Terminal::handleFrame(const QByteArray &frame)
{
    const QByteArray body = frame.chopped(1); // without "]"
    auto bad = [&](const QString &why) {
        emit complained(QStringLiteral("bad frame %1: %2; ignored").arg(escaped(frame), why));
    };
    if (body.isEmpty())
        return bad(QStringLiteral("no command byte"));
    if (!isLetter(body.at(0)))
        return bad(QStringLiteral("the command byte is not a letter"));
    if (body.size() < 2 || body.at(1) != '\r')
        return bad(QStringLiteral("the command byte is not followed by CR"));
    const QByteArray rest = body.mid(2);
    if (!rest.isEmpty() && !rest.endsWith('\r'))
        return bad(QStringLiteral("the last parameter is not followed by CR"));
    QList<QByteArray> raw = rest.split('\r');
    raw.removeLast(); // after the final CR
    if (raw.size() > 3)
        return bad(QStringLiteral("more than three parameters"));
    QStringList params;
    for (const QByteArray &p : raw) {
        if (p.isEmpty())
            return bad(QStringLiteral("an empty parameter"));
        params << QStringDecoder(kCodec).decode(p);
    }
    runHostCommand(body.at(0), params);
}

void Terminal::runHostCommand(char cmd, const QStringList &params)
{
    if (cmd >= 'a' && cmd <= 'z')
        runQuery(cmd, params);
    else
        runSet(cmd, params);
}

void Terminal::hostSaid(char cmd, const QStringList &params, const QString &what)
{
    emit hostCommand(QStringLiteral("host %1: %2").arg(frameText(cmd, params), what));
}

void Terminal::hostError(char cmd, const QStringList &params, const QString &what)
{
    emit complained(QStringLiteral("host %1: %2; ignored").arg(frameText(cmd, params), what));
}

void Terminal::runQuery(char letter, const QStringList &params)
{
    QList<QByteArray> lines;
    QString what;
    if (switchNames().contains(letter)) {
        const bool on = m_switches.value(letter);
        lines << (on ? "1" : "0");
        what = QStringLiteral("%1 is %2").arg(switchNames().value(letter), onOff(on));
    } else {
        switch (letter) {
        case 'd': {
            const QDateTime now = clock();
            lines << now.toString(QStringLiteral("MMdd")).toLatin1()
                  << now.toString(QStringLiteral("HHmm")).toLatin1();
            what = QStringLiteral("date %1, time %2")
                       .arg(now.toString(QStringLiteral("MM-dd")), now.toString(QStringLiteral("HH:mm")));
            break;
        }
        case 'e':
            lines << m_alarmTime.toLatin1();
            what = QStringLiteral("alarm time %1:%2").arg(m_alarmTime.left(2), m_alarmTime.mid(2));
            break;
        case 'f':
            lines << QByteArray::number(m_alarmMelody);
            what = QStringLiteral("alarm melody %1").arg(m_alarmMelody);
            break;
        case 'g':
            lines << QByteArray::number(m_areaSlot);
            what = QStringLiteral("area number %1 (slot %2)").arg(QLatin1String(kAreaNumbers[m_areaSlot])).arg(m_areaSlot);
            break;
        case 's':
            lines << QByteArray::number(m_brightness);
            what = QStringLiteral("brightness %1").arg(m_brightness);
            break;
        case 'a': {
            QList<Record> newestFirst(m_calls.crbegin(), m_calls.crend());
            lines = recordLines(newestFirst);
            what = QStringLiteral("%1 stored calls").arg(m_calls.size());
            break;
        }
        case 'j':
            lines = recordLines(m_rejected);
            what = QStringLiteral("%1 rejected numbers").arg(m_rejected.size());
            break;
        case 'o':
            lines = recordLines(m_answerNumbers);
            what = QStringLiteral("%1 answer numbers").arg(m_answerNumbers.size());
            break;
        case 'p':
            for (int g = 0; g < kGroups; ++g)
                lines << QByteArray::number(g + 1) << QByteArray::number(m_groupMelody.at(g));
            what = QStringLiteral("answer melodies of %1 groups").arg(kGroups);
            break;
        default:
            return hostError(letter, params, QStringLiteral("unknown command"));
        }
    }
    sendMessage("Response", letter, lines);
    hostSaid(letter, params, QStringLiteral("answered: ") + what);
}

void Terminal::runSet(char letter, const QStringList &params)
{
    const char query = toLower(letter);
    if (switchNames().contains(query))
        return setSwitch(letter, params);
    switch (letter) {
    case 'B': return deleteCalls(params);
    case 'C': return dial(params);
    case 'D': return setDateTime(params);
    case 'E': return setAlarmTime(params);
    case 'F': return setNumber(letter, params, 1, 6);
    case 'G': return setArea(params);
    case 'J': return editRejected(params);
    case 'P': return setGroupMelody(params);
    case 'S': return setNumber(letter, params, 1, 8);
    case 'Y': return hookFlash();
    default: return hostError(letter, params, QStringLiteral("unknown command"));
    }
}

void Terminal::setSwitch(char letter, const QStringList &params)
{
    const char query = toLower(letter);
    if (params.size() != 1 || (params[0] != u"0" && params[0] != u"1"))
        return hostError(letter, params, QStringLiteral("expects one parameter, 1 (on) or 0 (off)"));
    m_switches[query] = params[0] == u"1";
    hostSaid(letter, params, QStringLiteral("%1 %2").arg(switchNames().value(query), onOff(m_switches[query])));
}

void Terminal::setDateTime(const QStringList &params)
{
    if (params.size() != 2 || !isDigits(params[0], 4) || !isDigits(params[1], 4))
        return hostError('D', params, QStringLiteral("expects the date MMDD and the time hhmm"));
    const int month = params[0].left(2).toInt(), day = params[0].mid(2).toInt();
    const QTime time(params[1].left(2).toInt(), params[1].mid(2).toInt());
    // 29 February is a date the terminal accepts in any year.
    if (!QDate::isValid(2000, month, day) || !time.isValid())
        return hostError('D', params, QStringLiteral("no such date or time"));
    int year = clock().date().year();
    if (!QDate::isValid(year, month, day))
        year = 2000;
    const QDateTime target(QDate(year, month, day), time);
    m_clockOffsetMs = QDateTime::currentDateTime().msecsTo(target);
    hostSaid('D', params, QStringLiteral("clock set to %1").arg(target.toString(QStringLiteral("MM-dd HH:mm"))));
}

void Terminal::setAlarmTime(const QStringList &params)
{
    if (params.size() != 1 || !isDigits(params[0], 4)
        || !QTime(params[0].left(2).toInt(), params[0].mid(2).toInt()).isValid())
        return hostError('E', params, QStringLiteral("expects the alarm time hhmm"));
    m_alarmTime = params[0];
    hostSaid('E', params, QStringLiteral("alarm time %1:%2").arg(m_alarmTime.left(2), m_alarmTime.mid(2)));
}

void Terminal::setNumber(char letter, const QStringList &params, int low, int high)
{
    const int value = params.size() == 1 ? boundedNumber(params[0], low, high) : -1;
    const QString name = letter == 'F' ? QStringLiteral("alarm melody") : QStringLiteral("brightness");
    if (value < 0)
        return hostError(letter, params, QStringLiteral("expects the %1, %2 to %3").arg(name).arg(low).arg(high));
    (letter == 'F' ? m_alarmMelody : m_brightness) = value;
    hostSaid(letter, params, QStringLiteral("%1 %2").arg(name).arg(value));
}

void Terminal::setArea(const QStringList &params)
{
    bool ok = false;
    const int slot = params.size() == 1 && params[0].size() == 1 && params[0] == params[0].toLower()
                         ? params[0].toInt(&ok, 16)
                         : -1;
    if (!ok)
        return hostError('G', params, QStringLiteral("expects an area code \"0\" to \"f\""));
    m_areaSlot = slot;
    hostSaid('G', params, QStringLiteral("area number %1").arg(QLatin1String(kAreaNumbers[slot])));
}

void Terminal::deleteCalls(const QStringList &params)
{
    if (params.size() != 1)
        return hostError('B', params, QStringLiteral("expects ALL or one number"));
    if (params[0] == u"ALL") {
        const qsizetype count = m_calls.size();
        m_calls.clear();
        return hostSaid('B', params, QStringLiteral("deleted all %1 stored calls").arg(count));
    }
    const qsizetype count = m_calls.removeIf([&](const Record &r) { return r.number == params[0]; });
    hostSaid('B', params, QStringLiteral("deleted %1 stored calls from %2; %3 left").arg(count).arg(params[0]).arg(m_calls.size()));
}

void Terminal::dial(const QStringList &params)
{
    if (params.size() != 1)
        return hostError('C', params, QStringLiteral("expects one number"));
    if (!m_handsetLifted)
        return hostSaid('C', params, QStringLiteral("not dialled: the handset is down (type lift first)"));
    hostSaid('C', params, QStringLiteral("dialling %1").arg(params[0]));
}

void Terminal::editRejected(const QStringList &params)
{
    if (params.size() != 2 || (params[1] != u"0" && params[1] != u"1"))
        return hostError('J', params, QStringLiteral("expects a number and 1 (add) or 0 (delete)"));
    const QString &number = params[0];
    const int at = indexOfNumber(m_rejected, number);
    if (params[1] == u"0") {
        if (at < 0)
            return hostSaid('J', params, QStringLiteral("%1 is not on the reject list").arg(number));
        m_rejected.removeAt(at);
        return hostSaid('J', params, QStringLiteral("%1 deleted from the reject list").arg(number));
    }
    if (at >= 0)
        return hostSaid('J', params, QStringLiteral("%1 is already on the reject list").arg(number));
    if (m_rejected.size() >= kMaxRecords)
        return hostError('J', params, QStringLiteral("the reject list is full (%1 numbers)").arg(kMaxRecords));
    m_rejected.append({clockStamp(), number, QString(), 0, u'B'});
    hostSaid('J', params, QStringLiteral("%1 added to the reject list").arg(number));
}

void Terminal::setGroupMelody(const QStringList &params)
{
    const int group = params.size() == 2 ? boundedNumber(params[0], 1, kGroups) : -1;
    const int melody = params.size() == 2 ? boundedNumber(params[1], 1, 6) : -1;
    if (group < 0 || melody < 0)
        return hostError('P', params, QStringLiteral("expects a group 1 to 6 and a melody 1 to 6"));
    m_groupMelody[group - 1] = melody;
    hostSaid('P', params, QStringLiteral("answer melody of group %1 is %2").arg(group).arg(melody));
}

void Terminal::hookFlash()
{
    hostSaid('Y', {}, m_handsetLifted ? QStringLiteral("hook flash")
                                      : QStringLiteral("no hook flash: the handset is down"));
}

// ---------------------------------------------------------------------------
// Operator side

void Terminal::runOperatorCommand(const QString &line)
{
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(u'#'))
        return;
    QStringList words;
    const QString verb = trimmed.section(QRegularExpression(QStringLiteral("\\s")), 0, 0).toLower();
    if (verb == u"raw") {
        // The text keeps its blanks: everything after "raw" and one blank.
        const qsizetype start = line.indexOf(QRegularExpression(QStringLiteral("raw\\s"),
                                                                QRegularExpression::CaseInsensitiveOption));
        return sendRaw(start < 0 ? QString() : line.mid(start + 4));
    }
    if (!splitWords(trimmed, &words))
        return emit complained(QStringLiteral("unterminated quote in: %1").arg(trimmed));
    words.removeFirst();
    if (verb == u"call" || verb == u"busy")
        announceCall(words, verb == u"busy");
    else if (verb == u"lift" && words.isEmpty())
        setHook(true);
    else if (verb == u"hangup" && words.isEmpty())
        setHook(false);
    else if (verb == u"silence")
        setSilence(words);
    else if (verb == u"piece")
        setPieceSize(words);
    else if (verb == u"answer")
        editAnswerNumbers(words);
    else if (verb == u"state" && words.isEmpty())
        showState();
    else if (verb == u"help" || verb == u"?")
        emit said(helpText());
    else if (verb == u"quit" || verb == u"exit") {
        emit said(QStringLiteral("quitting"));
        emit quitRequested();
    } else if (verb == u"lift" || verb == u"hangup" || verb == u"state")
        emit complained(QStringLiteral("%1 takes no arguments").arg(verb));
    else
        emit complained(QStringLiteral("unknown command \"%1\"; type help").arg(verb));
}

void Terminal::announceCall(const QStringList &args, bool busy)
{
    const QString usage = QStringLiteral("usage: %1 NUMBER [NAME] [GROUP] [TYPE]").arg(busy ? "busy" : "call");
    if (args.isEmpty() || args.size() > 4)
        return emit complained(usage);
    Record call {clockStamp(), field(args, 0), field(args, 1), 0, u'S'};
    if (!field(args, 2).isEmpty()) {
        call.group = boundedNumber(args[2], 0, 99);
        if (call.group < 0)
            return emit complained(QStringLiteral("GROUP must be a number 0 to 99; ") + usage);
    }
    if (!field(args, 3).isEmpty()) {
        if (args[3].size() != 1 || !kTypeLetters.contains(args[3]))
            return emit complained(QStringLiteral("TYPE must be one of B S C P O V; ") + usage);
        call.type = args[3].at(0);
    }
    const bool rejected = !call.number.isEmpty() && indexOfNumber(m_rejected, call.number) >= 0;
    if (rejected)
        call.type = u'B';
    if (!encodable(call.name) || !encodable(call.number))
        return emit complained(QStringLiteral("the number or name has characters outside code page 949"));

    const char letter = busy ? 'E' : 'D';
    sendMessage("Report", letter, recordLines({call}));
    m_calls.append(call);
    keepNewest(m_calls);
    emit said(QStringLiteral("%1 from %2 (name \"%3\", group %4, type %5%6): Report %7; stored calls: %8")
                  .arg(busy ? QStringLiteral("call during a call") : QStringLiteral("call"),
                       call.number.isEmpty() ? QStringLiteral("(no number)") : call.number, call.name)
                  .arg(call.group)
                  .arg(call.type)
                  .arg(rejected ? QStringLiteral(", on the reject list") : QString())
                  .arg(QLatin1Char(letter))
                  .arg(m_calls.size()));
}

void Terminal::setHook(bool lifted)
{
    m_handsetLifted = lifted;
    sendMessage("Report", lifted ? 'B' : 'C', {});
    emit said(lifted ? QStringLiteral("handset lifted: Report B") : QStringLiteral("handset put down: Report C"));
}

void Terminal::sendRaw(const QString &text)
{
    QByteArray bytes;
    QString error;
    if (text.isEmpty())
        return emit complained(QStringLiteral("usage: raw TEXT"));
    if (!rawBytes(text, &bytes, &error))
        return emit complained(QStringLiteral("raw: %1; nothing sent").arg(error));
    emit send(bytes);
    emit said(QStringLiteral("sent %1 raw bytes: %2").arg(bytes.size()).arg(escaped(bytes)));
}

void Terminal::setSilence(const QStringList &args)
{
    if (args.size() != 1 || (args[0] != u"on" && args[0] != u"off"))
        return emit complained(QStringLiteral("usage: silence on|off"));
    m_silent = args[0] == u"on";
    emit said(m_silent ? QStringLiteral("silence on: \"[\" is not answered")
                       : QStringLiteral("silence off: \"[\" is answered with ACK"));
}

void Terminal::setPieceSize(const QStringList &args)
{
    const int size = args.size() == 1 ? boundedNumber(args[0], 0, kMaxPieceSize) : -1;
    if (size < 0)
        return emit complained(QStringLiteral("usage: piece N (N from 0 to %1; 0 sends whole messages)").arg(kMaxPieceSize));
    m_pieceSize = size;
    emit pieceSizeChanged(size);
    emit said(size == 0 ? QStringLiteral("sending whole messages")
                        : QStringLiteral("sending in pieces of %1 bytes").arg(size));
}

void Terminal::editAnswerNumbers(const QStringList &args)
{
    const QString usage = QStringLiteral("usage: answer add NUMBER [NAME] [GROUP] | answer del NUMBER");
    const QString sub = args.value(0);
    if (args.size() < 2 || args[1].isEmpty() || args[1] == u"-")
        return emit complained(usage);
    const QString &number = args[1];
    const int at = indexOfNumber(m_answerNumbers, number);
    if (sub == u"del" && args.size() == 2) {
        if (at < 0)
            return emit said(QStringLiteral("%1 is not an answer number").arg(number));
        m_answerNumbers.removeAt(at);
        return emit said(QStringLiteral("answer number %1 deleted; %2 left").arg(number).arg(m_answerNumbers.size()));
    }
    if (sub != u"add" || args.size() > 4)
        return emit complained(usage);
    Record record {clockStamp(), number, field(args, 2), 0, u'S'};
    if (!field(args, 3).isEmpty() && (record.group = boundedNumber(args[3], 0, 99)) < 0)
        return emit complained(QStringLiteral("GROUP must be a number 0 to 99; ") + usage);
    if (!encodable(record.name) || !encodable(number))
        return emit complained(QStringLiteral("the number or name has characters outside code page 949"));
    if (at >= 0)
        m_answerNumbers[at] = record;
    else if (m_answerNumbers.size() >= kMaxRecords)
        return emit complained(QStringLiteral("the answer numbers are full (%1)").arg(kMaxRecords));
    else
        m_answerNumbers.append(record);
    emit said(QStringLiteral("answer number %1 (name \"%2\", group %3) %4; %5 in all")
                  .arg(number, record.name)
                  .arg(record.group)
                  .arg(at >= 0 ? QStringLiteral("replaced") : QStringLiteral("added"))
                  .arg(m_answerNumbers.size()));
}

void Terminal::showState()
{
    const QDateTime now = clock();
    emit said(QStringLiteral("clock %1, alarm %2:%3 melody %4, area %5, brightness %6, handset %7")
                  .arg(now.toString(QStringLiteral("MM-dd HH:mm")), m_alarmTime.left(2), m_alarmTime.mid(2))
                  .arg(m_alarmMelody)
                  .arg(QLatin1String(kAreaNumbers[m_areaSlot]))
                  .arg(m_brightness)
                  .arg(m_handsetLifted ? QStringLiteral("lifted") : QStringLiteral("down")));
    QStringList switches;
    for (auto it = m_switches.cbegin(); it != m_switches.cend(); ++it)
        switches << QStringLiteral("%1 %2").arg(switchNames().value(it.key()), onOff(it.value()));
    emit said(QStringLiteral("switches: ") + switches.join(QStringLiteral(", ")));
    QStringList melodies;
    for (int g = 0; g < kGroups; ++g)
        melodies << QStringLiteral("%1:%2").arg(g + 1).arg(m_groupMelody[g]);
    emit said(QStringLiteral("answer melodies (group:melody): ") + melodies.join(u' '));
    auto numbers = [](const QList<Record> &records) {
        QStringList out;
        for (const Record &r : records)
            out << (r.name.isEmpty() ? r.number : QStringLiteral("%1 %2").arg(r.number, r.name));
        return out.isEmpty() ? QStringLiteral("none") : out.join(QStringLiteral(", "));
    };
    emit said(QStringLiteral("stored calls (%1, oldest first): %2").arg(m_calls.size()).arg(numbers(m_calls)));
    emit said(QStringLiteral("rejected numbers: ") + numbers(m_rejected));
    emit said(QStringLiteral("answer numbers: ") + numbers(m_answerNumbers));
    emit said(QStringLiteral("silence %1, %2").arg(onOff(m_silent),
              m_pieceSize ? QStringLiteral("pieces of %1 bytes").arg(m_pieceSize) : QStringLiteral("whole messages")));
}

// ---------------------------------------------------------------------------
// Messages

QByteArray Terminal::message(const char *marker, char letter, const QList<QByteArray> &lines)
{
    QByteArray out = QByteArray(marker) + kCrLf + letter + kCrLf;
    for (const QByteArray &line : lines)
        out += line + kCrLf;
    return out + "End" + kCrLf;
}

QList<QByteArray> Terminal::recordLines(const QList<Record> &records)
{
    QList<QByteArray> lines;
    for (const Record &r : records) {
        QStringEncoder encoder(kCodec);
        lines << "Time:" + r.time.toLatin1() << "Number:" + encoder.encode(r.number)
              << "Name:" + encoder.encode(r.name) << "Group:" + QByteArray::number(r.group)
              << "Type:" + QString(r.type).toLatin1();
    }
    return lines;
}

void Terminal::sendMessage(const char *marker, char letter, const QList<QByteArray> &lines)
{
    emit send(message(marker, letter, lines));
}

QDateTime Terminal::clock() const
{
    return QDateTime::currentDateTime().addMSecs(m_clockOffsetMs);
}

QString Terminal::clockStamp() const
{
    return clock().toString(QStringLiteral("MMddHHmm"));
}

void Terminal::keepNewest(QList<Record> &records)
{
    if (records.size() > kMaxRecords)
        records.remove(0, records.size() - kMaxRecords);
}

int Terminal::indexOfNumber(const QList<Record> &records, const QString &number)
{
    for (int i = 0; i < records.size(); ++i) {
        if (records[i].number == number)
            return i;
    }
    return -1;
}
