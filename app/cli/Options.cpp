#include "Options.h"

#include "FirmwareImage.h"
#include "MODBUS_RTU.h"
#include "SettingTexts.h"

#include <QFileInfo>

namespace talvex::cli {

namespace {

// Register numbers and values are 16-bit words; in PLC-CAN mode the wire
// address (register + 2200) must still fit one.
constexpr int kWordMax = 0xFFFF;
constexpr int kReadCountMax = kMirrorWords;  // a reply must fit the register mirror
constexpr int kWatchIntervalMaxMs = 3600 * 1000;
constexpr int kWatchTimesMax = 1000 * 1000 * 1000;

// A digit, or a minus and a digit: a number (perhaps out of range), not an option.
bool LooksNumeric(const QString &text)
{
    const int at = text.startsWith('-') ? 1 : 0;
    return text.size() > at && text[at].isDigit();
}

// Decimal, or hexadecimal after "0x"; no blanks.
std::optional<long long> ParseNumber(const QString &text)
{
    bool ok = false;
    long long v = 0;
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) && text.size() > 2 && text[2].isLetterOrNumber())
        v = text.mid(2).toLongLong(&ok, 16);
    else if (LooksNumeric(text))
        v = text.toLongLong(&ok, 10);
    if (!ok)
        return std::nullopt;
    return v;
}

// Walks the arguments; every check ends in a message for the user.
class Parser {
public:
    Parser(const QStringList &args, Options &o, QString &error) : args_(args), o_(o), error_(error) {}

    bool run();

private:
    bool fail(const QString &message)
    {
        if (error_.isEmpty())
            error_ = message;
        return false;
    }
    // The value of option `name`: after '=' or the next argument.
    bool takeValue(const QString &name, QString &value);
    bool number(const QString &what, const QString &text, long long min, long long max, int &out);
    bool globalOption(const QString &name, bool &handled);
    bool commandOption(const QString &name, bool &handled);
    bool command(const QString &word);
    bool positionals();
    bool finalChecks();

    const QStringList &args_;
    Options &o_;
    QString &error_;
    int i_ = 0;
    QString inlineValue_;
    bool hasInline_ = false;
    bool haveCommand_ = false;
    QStringList positional_;
};

bool Parser::takeValue(const QString &name, QString &value)
{
    if (hasInline_) {
        value = inlineValue_;
        hasInline_ = false;
        return true;
    }
    if (i_ + 1 >= args_.size())
        return fail(QStringLiteral("option %1 needs a value").arg(name));
    value = args_[++i_];
    return true;
}

bool Parser::number(const QString &what, const QString &text, long long min, long long max, int &out)
{
    const std::optional<long long> v = ParseNumber(text);
    if (!v)
        return fail(QStringLiteral("%1: \"%2\" is not a number").arg(what, text));
    if (*v < min || *v > max)
        return fail(QStringLiteral("%1: %2 is out of range (%3 ... %4)").arg(what, text).arg(min).arg(max));
    out = static_cast<int>(*v);
    return true;
}

bool Parser::globalOption(const QString &name, bool &handled)
{
    handled = true;
    QString v;
    if (name == "-p" || name == "--port") {
        if (!takeValue(name, v))
            return false;
        o_.port = v;
        return true;
    }
    // The station to talk to goes before the command word; after `configure`,
    // --station is the module's new station number.
    if (name == "-a" || name == "--station") {
        if (haveCommand_ && o_.command == Command::Configure)
            return fail(QStringLiteral("-a after configure: the station to talk to goes before the command "
                                       "(-a N configure ...); the new station is configure --station N"));
        if (haveCommand_)
            return fail(QStringLiteral("%1 goes before the command word (the station to talk to)").arg(name));
        return takeValue(name, v) && number(QStringLiteral("station"), v, kStationMin, kStationMax, o_.station);
    }
    if (name == "--log") {
        if (!takeValue(name, v))
            return false;
        if (v.isEmpty())
            return fail(QStringLiteral("--log needs a file name"));
        o_.logPath = v;
        return true;
    }
    if (name == "-m" || name == "--mode") {
        if (!takeValue(name, v))
            return false;
        const QString m = v.toLower();
        if (m == "pc-uart")
            o_.mode = TLinkMode::PcUart;
        else if (m == "plc-can")
            o_.mode = TLinkMode::PlcCan;
        else
            return fail(QStringLiteral("mode: \"%1\" is neither pc-uart nor plc-can").arg(v));
        return true;
    }
    if (name == "--echo") {
        if (!takeValue(name, v))
            return false;
        const QString m = v.toLower();
        if (m == "auto")
            o_.echo = TEchoMode::Auto;
        else if (m == "on")
            o_.echo = TEchoMode::On;
        else if (m == "off")
            o_.echo = TEchoMode::Off;
        else
            return fail(QStringLiteral("echo: \"%1\" is not auto, on or off").arg(v));
        return true;
    }
    if (name == "--json") {
        o_.json = true;
        return true;
    }
    if (name == "-q" || name == "--quiet") {
        o_.quiet = true;
        return true;
    }
    if (name == "-h" || name == "--help") {
        o_.command = Command::Help;
        haveCommand_ = true;
        return true;
    }
    if (name == "--version") {
        o_.command = Command::Version;
        haveCommand_ = true;
        return true;
    }
    handled = false;
    return true;
}

bool Parser::commandOption(const QString &name, bool &handled)
{
    handled = true;
    QString v;
    if (!haveCommand_) {
        handled = false;
        return true;
    }
    switch (o_.command) {
    case Command::Watch:
        if (name == "-i" || name == "--interval") {
            if (!takeValue(name, v) || !number(QStringLiteral("interval"), v, 1, kWatchIntervalMaxMs, o_.intervalMs))
                return false;
            if (o_.intervalMs < Options::kMinWatchIntervalMs)
                return fail(QStringLiteral("interval: %1 ms is below the poll's own rate, one exchange every %2 ms "
                                           "(two ticks of the polling cycle); give %2 or more")
                                .arg(o_.intervalMs)
                                .arg(Options::kMinWatchIntervalMs));
            return true;
        }
        if (name == "-n" || name == "--count")
            return takeValue(name, v) && number(QStringLiteral("count"), v, 1, kWatchTimesMax, o_.times);
        break;
    case Command::Configure: {
        ConfigChanges &c = o_.config;
        int n = 0;
        if (name == "--station") {
            if (!takeValue(name, v) || !number(QStringLiteral("--station"), v, kStationMin, kStationMax, n))
                return false;
            c.station = n;
            return true;
        }
        if (name == "--suppress") {
            if (!takeValue(name, v) ||
                !number(QStringLiteral("--suppress"), v, kTxSuppressMin, kTxSuppressMax, n))
                return false;
            c.suppressMs = n;
            return true;
        }
        if (name == "--filter") {
            if (!takeValue(name, v))
                return false;
            if ((n = FindFilter(v)) < 0)
                return fail(QStringLiteral("--filter: \"%1\" is not a filter level (0 ... 9)").arg(v));
            c.filter = n;
            return true;
        }
        if (name == "--can-baud") {
            if (!takeValue(name, v))
                return false;
            if ((n = FindBaudCan(v)) < 0)
                return fail(QStringLiteral("--can-baud: \"%1\" is not one of %2").arg(v, BaudCanChoices()));
            c.baudCan = n;
            return true;
        }
        if (name == "--rs485-baud") {
            if (!takeValue(name, v))
                return false;
            if ((n = FindBaud485(v)) < 0)
                return fail(QStringLiteral("--rs485-baud: \"%1\" is not one of %2").arg(v, Baud485Choices()));
            c.baud485 = n;
            return true;
        }
        if (name == "--rs485-format") {
            if (!takeValue(name, v))
                return false;
            if ((n = FindDat485(v)) < 0)
                return fail(QStringLiteral("--rs485-format: \"%1\" is not one of %2").arg(v, Dat485Choices()));
            c.dat485 = n;
            return true;
        }
        break;
    }
    case Command::Flash:
        if (name == "--image")
            return takeValue(name, o_.image);
        if (name == "--yes-standin") {
            o_.yesStandIn = true;
            return true;
        }
        if (name == "--no-verify") {
            o_.verify = false;
            return true;
        }
        if (name == "--boot-entry") {
            if (!takeValue(name, v))
                return false;
            for (TBootEntry e : {TBootEntry::DtrRts, TBootEntry::Inverted, TBootEntry::Manual}) {
                if (v.toLower() == BootEntryName(e)) {
                    o_.bootEntry = e;
                    return true;
                }
            }
            return fail(QStringLiteral("--boot-entry: \"%1\" is not dtr-rts, inverted or manual").arg(v));
        }
        break;
    default:
        break;
    }
    handled = false;
    return true;
}

bool Parser::command(const QString &word)
{
    static const std::pair<const char *, Command> kCommands[] = {
        {"info", Command::Info},   {"read", Command::Read},           {"watch", Command::Watch},
        {"write", Command::Write}, {"configure", Command::Configure}, {"flash", Command::Flash},
        {"ports", Command::Ports}, {"help", Command::Help},           {"version", Command::Version},
    };
    for (const auto &[name, cmd] : kCommands) {
        if (word == QLatin1String(name)) {
            o_.command = cmd;
            haveCommand_ = true;
            return true;
        }
    }
    return fail(QStringLiteral("unknown command \"%1\"").arg(word));
}

bool Parser::run()
{
    bool onlyPositional = false;
    for (i_ = 0; i_ < args_.size(); ++i_) {
        const QString arg = args_[i_];
        const bool isOption = !onlyPositional && arg.size() > 1 && arg[0] == '-' && !LooksNumeric(arg);
        if (!isOption) {
            if (!haveCommand_) {
                if (!command(arg))
                    return false;
            } else {
                positional_ << arg;
            }
            continue;
        }
        if (arg == "--") {
            onlyPositional = true;
            continue;
        }
        QString name = arg;
        hasInline_ = false;
        if (arg.startsWith("--") && arg.contains('=')) {
            name = arg.left(arg.indexOf('='));
            inlineValue_ = arg.mid(arg.indexOf('=') + 1);
            hasInline_ = true;
        } else if (!arg.startsWith("--") && arg.size() > 2) {
            // -pCOM2, -a5: a short option with its value attached.
            name = arg.left(2);
            inlineValue_ = arg.mid(2);
            hasInline_ = true;
        }
        bool handled = false;
        if (!commandOption(name, handled))
            return false;
        if (!handled && !globalOption(name, handled))
            return false;
        if (!handled)
            return fail(QStringLiteral("unknown option %1").arg(name));
        if (hasInline_)
            return fail(QStringLiteral("option %1 takes no value").arg(name));
    }
    return positionals() && finalChecks();
}

bool Parser::positionals()
{
    const auto tooMany = [this](int allowed) {
        return positional_.size() > allowed
                   ? fail(QStringLiteral("unexpected argument \"%1\"").arg(positional_[allowed]))
                   : true;
    };
    const int wireMax = kWordMax - (o_.mode == TLinkMode::PlcCan ? int(kPlcCanAddressOffset) : 0);
    switch (o_.command) {
    case Command::Read:
        if (!tooMany(2))
            return false;
        if (positional_.size() >= 1 && !number(QStringLiteral("FIRST"), positional_[0], 0, wireMax, o_.first))
            return false;
        if (positional_.size() >= 2 &&
            !number(QStringLiteral("COUNT"), positional_[1], 1, kReadCountMax, o_.count))
            return false;
        if (o_.first + o_.count - 1 > wireMax)
            return fail(QStringLiteral("registers %1 ... %2 run past %3")
                            .arg(o_.first)
                            .arg(o_.first + o_.count - 1)
                            .arg(wireMax));
        return true;
    case Command::Write:
        if (positional_.size() < 2)
            return fail(QStringLiteral("write needs REG and VALUE"));
        return tooMany(2) && number(QStringLiteral("REG"), positional_[0], 0, wireMax, o_.reg) &&
               number(QStringLiteral("VALUE"), positional_[1], 0, kWordMax, o_.value);
    default:
        return tooMany(0);
    }
}

bool Parser::finalChecks()
{
    if (!haveCommand_)
        return fail(QStringLiteral("no command given"));
    // The image's content is judged by flash, before the port is opened.
    if (o_.command == Command::Flash && !o_.image.isEmpty()) {
        const QFileInfo file(o_.image);
        if (!file.isFile() || !file.isReadable())
            return fail(QStringLiteral("--image: cannot read \"%1\"").arg(o_.image));
    }
    return true;
}

} // namespace

bool ParseArguments(const QStringList &args, Options &options, QString &error)
{
    options = Options{};
    error.clear();
    return Parser(args, options, error).run();
}

QString ModeName(TLinkMode mode)
{
    return mode == TLinkMode::PlcCan ? QStringLiteral("plc-can") : QStringLiteral("pc-uart");
}

QString BootEntryName(TBootEntry entry)
{
    switch (entry) {
    case TBootEntry::Inverted:
        return QStringLiteral("inverted");
    case TBootEntry::Manual:
        return QStringLiteral("manual");
    case TBootEntry::DtrRts:
        break;
    }
    return QStringLiteral("dtr-rts");
}

QString Usage()
{
    return QStringLiteral(
        "usage: talvex-cli [-p PORT] [-a STATION] [-m pc-uart|plc-can] [--echo auto|on|off] [--json] [-q]\n"
        "                  [--log FILE] COMMAND [ARGS]\n"
        "  -p, --port PORT     COM1 ... COM8 (TALVEX_PORT_DIR honoured) or a device path; default COM1\n"
        "  -a, --station N     the station to talk to, 1 ... 99, before the command word; default 1\n"
        "  -m, --mode MODE     pc-uart (default) or plc-can (through the PLC gateway)\n"
        "      --echo WHEN     whether the adapter hands each request back (a 2-wire RS-485 adapter):\n"
        "                      auto (default: learnt from the replies), on or off\n"
        "      --json          one JSON object per result line; an error as one object on stderr\n"
        "  -q, --quiet         no progress output\n"
        "      --log FILE      append every result and failure to FILE as one JSON line\n"
        "  -h, --help          this text;  --version  the program's and the image's version\n"
        "registers are numbered from 0 (mbpoll counts from 1: mbpoll -r 11 is register 10)\n"
        "commands:\n"
        "  info                          firmware version and the six settings\n"
        "  read [FIRST [COUNT]]          registers FIRST ... FIRST+COUNT-1 (default 0 32, COUNT 1 ... 101)\n"
        "  watch [-i MS] [-n N]          AD0 ... AD7, DA0 ... DA3 and gains, every MS (60 and up), N times\n"
        "  write REG VALUE               one register, echo-checked, six attempts\n"
        "  configure [--station N] [--can-baud TEXT] [--rs485-baud TEXT] [--rs485-format TEXT]\n"
        "            [--filter N] [--suppress MS]\n"
        "                                unlock, the six settings (omitted ones as read), commit,\n"
        "                                then the settings read back; --station is the new station\n"
        "  flash [--image FILE] [--no-verify] [--boot-entry dtr-rts|inverted|manual] [--yes-standin]\n"
        "                                the firmware update with the carried image or FILE (Intel HEX\n"
        "                                or raw binary), checked against the chip's flash, then read back\n"
        "  ports                         where COM1 ... COM8 lead, and the adapters in /dev/serial/by-id\n"
        "exit status: 0 done, 1 the module or chip failed (or a result could not be written),\n"
        "             2 bad usage or image refused, 130 interrupted, 3 the port (absent, not allowed,\n"
        "             busy, no serial device, settings refused, removed, no DTR/RTS for flash)\n");
}

} // namespace talvex::cli
