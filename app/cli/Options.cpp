#include "app/cli/Options.h"

#include "app/cli/ScanArgs.h"
#include "firmware/FirmwareImage.h"
#include "firmware/Hex.h"
#include "firmware/stm32/Stm32Protocol.h"
#include "modbus/ModbusMaster.h"
#include "modbus/SettingTexts.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include <vector>

namespace talvex::cli {

namespace {

// Register numbers and values are 16-bit words; in PLC-CAN mode the wire
// address (register + 2200) must still fit one.
constexpr int kWordMax = 0xFFFF;
constexpr int kReadCountMax = kMirrorWords;  // a reply must fit the register mirror
constexpr int kWatchIntervalMaxMs = 3600 * 1000;
constexpr int kWatchTimesMax = 1000 * 1000 * 1000;
// read-flash reads at most what the update's image area holds, from the flash base on.
constexpr long long kReadFlashMaxBytes = 1024 * 1024;
constexpr long long kFlashBase = stm32::kFlashBase;

// The command words.
constexpr std::pair<const char *, Command> kCommands[] = {
    {"info", Command::Info},
    {"read", Command::Read},
    {"watch", Command::Watch},
    {"write", Command::Write},
    {"configure", Command::Configure},
    {"flash", Command::Flash},
    {"ports", Command::Ports},
    {"doctor", Command::Doctor},
    {"help", Command::Help},
    {"version", Command::Version},
    {"read-flash", Command::ReadFlash},
    {"scan", Command::Scan},
    {"recipe", Command::Recipe},
    {"records", Command::Records},
    {"station", Command::Station},
};

QString CommandWord(Command command)
{
    for (const auto &[name, cmd] : kCommands)
        if (cmd == command)
            return QString::fromLatin1(name);
    return {};
}

// A digit, or a minus and a digit: a number (perhaps out of range), not an option.
bool LooksNumeric(const QString &text)
{
    const int at = text.startsWith('-') ? 1 : 0;
    return text.size() > at && text[at].isDigit();
}

// A negative number is a value, never an option: it passes the parsers behind
// this mark and is given back after, so "write 12 -1" is judged as a number.
constexpr QChar kNumberMark(0x1);

QString HideNegative(const QString &arg)
{
    return arg.startsWith('-') && LooksNumeric(arg) ? kNumberMark + arg : arg;
}

QString Restore(const QString &text)
{
    return text.startsWith(kNumberMark) ? text.mid(1) : text;
}

// The options every command takes, before or after its word. -a is taken by the
// command's parser too, only to be refused there with the reason.
struct GlobalOptions {
    QCommandLineOption port{QStringList{"p", "port"}, {}, "PORT"};
    QCommandLineOption station{QStringList{"a", "station"}, {}, "N"};
    QCommandLineOption mode{QStringList{"m", "mode"}, {}, "MODE"};
    QCommandLineOption echo{QStringList{"echo"}, {}, "WHEN"};
    QCommandLineOption baud{QStringList{"baud"}, {}, "RATE"};
    QCommandLineOption format{QStringList{"format"}, {}, "FORMAT"};
    QCommandLineOption lines{QStringList{"lines"}, {}, "LINES"};
    QCommandLineOption json{QStringList{"json"}};
    QCommandLineOption quiet{QStringList{"q", "quiet"}};
    QCommandLineOption log{QStringList{"log"}, {}, "FILE"};
    QCommandLineOption trace{QStringList{"trace"}, {}, "FILE"};
    QCommandLineOption help{QStringList{"h", "help"}};
    QCommandLineOption version{QStringList{"version"}};
    // After `configure` --station is the new station: only -a is the one to talk to.
    QCommandLineOption stationShort{QStringList{"a"}, {}, "N"};

    void addTo(QCommandLineParser &parser, bool withLongStation)
    {
        parser.addOptions({port, mode, echo, baud, format, lines, json, quiet, log, trace, help, version});
        parser.addOption(withLongStation ? station : stationShort);
    }
};

struct WatchOptions {
    QCommandLineOption interval{QStringList{"i", "interval"}, {}, "MS"};
    QCommandLineOption count{QStringList{"n", "count"}, {}, "N"};
    // --csv [FILE]: the file, if any, is the watch's one word.
    QCommandLineOption csv{QStringList{"csv"}};
};

// One option per setting, named as the table names it; --station is the new station.
struct ConfigureOptions {
    std::vector<QCommandLineOption> settings;

    ConfigureOptions()
    {
        for (const TSettingRow &row : kModuleSettings)
            settings.emplace_back(QStringList{QString::fromLatin1(row.Name)}, QString(), QStringLiteral("VALUE"));
    }
};

struct FlashOptions {
    QCommandLineOption image{QStringList{"image"}, {}, "FILE"};
    QCommandLineOption yesStandIn{QStringList{"yes-standin"}};
    QCommandLineOption noVerify{QStringList{"no-verify"}};
    QCommandLineOption bootEntry{QStringList{"boot-entry"}, {}, "ENTRY"};
    QCommandLineOption entryMs{QStringList{"entry-ms"}, {}, "MS"};
    QCommandLineOption address{QStringList{"address"}, {}, "ADDR"};
    QCommandLineOption anyChip{QStringList{"any-chip"}};
    QCommandLineOption protect{QStringList{"protect"}};
    QCommandLineOption unprotect{QStringList{"unprotect"}};
    QCommandLineOption discardSettings{QStringList{"discard-settings"}};
    QCommandLineOption length{QStringList{"length"}, {}, "N"};  // read-flash
};

struct RecordsOptions {
    QCommandLineOption db{QStringList{"db"}, {}, "URL"};
    QCommandLineOption lot{QStringList{"lot"}, {}, "LOT"};
    QCommandLineOption since{QStringList{"since"}, {}, "TIME"};
    QCommandLineOption csv{QStringList{"csv"}};
};

struct StationOptions {
    QCommandLineOption recipe{QStringList{"recipe"}, {}, "FILE"};
    QCommandLineOption ports{QStringList{"ports"}, {}, "LIST"};
    QCommandLineOption db{QStringList{"db"}, {}, "URL"};
    QCommandLineOption once{QStringList{"once"}};
    QCommandLineOption count{QStringList{"count"}, {}, "N"};
    QCommandLineOption operatorName{QStringList{"operator"}, {}, "NAME"};
    QCommandLineOption rework{QStringList{"rework"}};
};

// A station has a slot per port, at most one per COM name it can open.
constexpr int kStationMaxPorts = 64;
constexpr int kStationMaxCount = 1000 * 1000;

// The parser's own complaint in the program's words: "unknown option --baud",
// "option -a needs a value", "option --json takes no value".
QString ParserError(const QCommandLineParser &parser)
{
    const QStringList unknown = parser.unknownOptionNames();
    if (!unknown.isEmpty()) {
        const QString name = Restore(unknown.first());
        return QStringLiteral("unknown option %1").arg((name.size() == 1 ? "-" : "--") + name);
    }
    static const QRegularExpression missing(QStringLiteral("^Missing value after '(.*)'\\.$"));
    static const QRegularExpression unexpected(QStringLiteral("^Unexpected value after '(.*)'\\.$"));
    const QString text = parser.errorText();
    if (const QRegularExpressionMatch m = missing.match(text); m.hasMatch())
        return QStringLiteral("option %1 needs a value").arg(m.captured(1));
    if (const QRegularExpressionMatch m = unexpected.match(text); m.hasMatch())
        return QStringLiteral("option %1 takes no value").arg(m.captured(1));
    return text;
}

// Two passes of QCommandLineParser: the first takes the options before the
// command word and stops at it, the second takes that command's own options
// with the common ones, so an option of another command is refused. What stays
// here is the judging of the values.
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
    bool parse(QCommandLineParser &parser, const QStringList &args);
    bool number(const QString &what, const QString &text, long long min, long long max, int &out);
    bool globals(const QCommandLineParser &parser, bool afterCommand);
    bool command(const QString &word);
    bool watchOptions(const QCommandLineParser &parser);
    bool configureOptions(const QCommandLineParser &parser);
    bool configureSetting(const QCommandLineParser &parser, size_t index);
    bool flashOptions(const QCommandLineParser &parser);
    bool readFlashOptions(const QCommandLineParser &parser);
    bool recordsOptions(const QCommandLineParser &parser);
    bool stationOptions(const QCommandLineParser &parser);
    // --entry-ms, for both commands that start the bootloader.
    bool entryOption(const QCommandLineParser &parser);
    bool addressOption(const QCommandLineParser &parser, long long lastByte);
    bool givenTwice(const QCommandLineParser &before, const QCommandLineParser &after);
    bool unusedGlobals(const QCommandLineParser &before, const QCommandLineParser &after);
    bool positionals();
    bool finalChecks();

    const QStringList &args_;
    Options &o_;
    QString &error_;
    GlobalOptions global_;
    WatchOptions watch_;
    ConfigureOptions configure_;
    ScanOptions scanOptions_;
    FlashOptions flash_;
    RecordsOptions records_;
    StationOptions station_;
    QStringList positional_;
};

bool Parser::parse(QCommandLineParser &parser, const QStringList &args)
{
    QStringList words{QStringLiteral("talvex-cli")};  // the parser skips the program's name
    for (const QString &arg : args)
        words << HideNegative(arg);
    if (!parser.parse(words))
        return fail(ParserError(parser));
    return true;
}

bool Parser::number(const QString &what, const QString &text, long long min, long long max, int &out)
{
    const std::optional<long long> v = ParseNumberText(text);
    if (!v)
        return fail(QStringLiteral("%1: \"%2\" is not a number").arg(what, text));
    if (*v < min || *v > max)
        return fail(QStringLiteral("%1: %2 is out of range (%3 ... %4)").arg(what, text).arg(min).arg(max));
    out = static_cast<int>(*v);
    return true;
}

bool Parser::globals(const QCommandLineParser &parser, bool afterCommand)
{
    const auto value = [&parser](const QCommandLineOption &option) { return Restore(parser.value(option)); };
    if (parser.isSet(global_.port)) {
        o_.port = value(global_.port);
        o_.portGiven = true;
    }
    // The station to talk to goes before the command word; after `configure`,
    // --station is the module's new station number.
    const QCommandLineOption &station = afterCommand && o_.command == Command::Configure ? global_.stationShort
                                                                                         : global_.station;
    if (parser.isSet(station)) {
        if (afterCommand && o_.command == Command::Configure)
            return fail(QStringLiteral("-a after configure: the station to talk to goes before the command "
                                       "(-a N configure ...); the new station is configure --station N"));
        if (afterCommand)
            return fail(QStringLiteral("%1 goes before the command word (the station to talk to)")
                            .arg(parser.optionNames().contains("a") ? "-a" : "--station"));
        if (!number(QStringLiteral("station"), value(station), kStationMin, kStationMax, o_.station))
            return false;
    }
    if (parser.isSet(global_.log)) {
        if (value(global_.log).isEmpty())
            return fail(QStringLiteral("--log needs a file name"));
        o_.logPath = value(global_.log);
    }
    if (parser.isSet(global_.trace)) {
        if (value(global_.trace).isEmpty())
            return fail(QStringLiteral("--trace needs a file name, or - for standard error"));
        o_.tracePath = value(global_.trace);
    }
    if (parser.isSet(global_.mode)) {
        const QString v = value(global_.mode);
        const QString m = v.toLower();
        if (m == "pc-uart")
            o_.mode = TLinkMode::PcUart;
        else if (m == "plc-can")
            o_.mode = TLinkMode::PlcCan;
        else
            return fail(QStringLiteral("mode: \"%1\" is neither pc-uart nor plc-can").arg(v));
    }
    if (parser.isSet(global_.echo)) {
        const QString v = value(global_.echo);
        const QString m = v.toLower();
        if (m == "auto")
            o_.echo = TEchoMode::Auto;
        else if (m == "on")
            o_.echo = TEchoMode::On;
        else if (m == "off")
            o_.echo = TEchoMode::Off;
        else
            return fail(QStringLiteral("echo: \"%1\" is not auto, on or off").arg(v));
    }
    // The line every Modbus command talks on: one baud rate, one format.
    std::vector<int> line;
    if (parser.isSet(global_.baud)) {
        if (!ParseBaudList(QStringLiteral("--baud"), value(global_.baud), line, error_))
            return false;
        if (line.size() != 1)
            return fail(QStringLiteral("--baud takes one baud rate (scan --bauds takes a list)"));
        o_.line.Baud = line.front();
    }
    if (parser.isSet(global_.format)) {
        if (!ParseFormatList(QStringLiteral("--format"), value(global_.format), line, error_))
            return false;
        if (line.size() != 1)
            return fail(QStringLiteral("--format takes one format (scan --formats takes a list)"));
        o_.line.Format = line.front();
    }
    if (parser.isSet(global_.lines)) {
        const QString v = value(global_.lines);
        const QString m = v.toLower();
        if (m == "normal")
            o_.linesInverted = false;
        else if (m == "inverted")
            o_.linesInverted = true;
        else
            return fail(QStringLiteral("lines: \"%1\" is neither normal nor inverted").arg(v));
    }
    if (parser.isSet(global_.json))
        o_.json = true;
    if (parser.isSet(global_.quiet))
        o_.quiet = true;
    // --help or --version anywhere stands for the command; nothing may follow it.
    if (parser.isSet(global_.help))
        o_.command = Command::Help;
    else if (parser.isSet(global_.version))
        o_.command = Command::Version;
    return true;
}

bool Parser::watchOptions(const QCommandLineParser &parser)
{
    o_.csv = parser.isSet(watch_.csv);
    if (parser.isSet(watch_.interval)) {
        if (!number(QStringLiteral("interval"), Restore(parser.value(watch_.interval)), 1, kWatchIntervalMaxMs,
                    o_.intervalMs))
            return false;
        if (o_.intervalMs < Options::kMinWatchIntervalMs)
            return fail(QStringLiteral("interval: %1 ms is below the poll's own rate, one exchange every %2 ms "
                                       "(two ticks of the polling cycle); give %2 or more")
                            .arg(o_.intervalMs)
                            .arg(Options::kMinWatchIntervalMs));
    }
    if (parser.isSet(watch_.count))
        return number(QStringLiteral("count"), Restore(parser.value(watch_.count)), 1, kWatchTimesMax, o_.times);
    return true;
}

bool Parser::configureOptions(const QCommandLineParser &parser)
{
    // Of several bad values the first numbers', then the levels', then the lists' is reported.
    for (const TSettingKind kind : {TSettingKind::Number, TSettingKind::Level, TSettingKind::List})
        for (size_t i = 0; i < kModuleSettings.size(); ++i)
            if (kModuleSettings[i].Kind == kind && !configureSetting(parser, i))
                return false;
    return true;
}

bool Parser::configureSetting(const QCommandLineParser &parser, size_t i)
{
    const QCommandLineOption &option = configure_.settings[i];
    if (parser.isSet(option)) {
        const TSettingRow &row = kModuleSettings[i];
        const QString name = QStringLiteral("--") + QString::fromLatin1(row.Name);
        int n = 0;
        QString why;
        if (!ParseSettingValue(row, name, Restore(parser.value(option)), n, why))
            return fail(why);
        o_.config.values[i] = n;
    }
    return true;
}

bool Parser::flashOptions(const QCommandLineParser &parser)
{
    if (parser.isSet(flash_.image))
        o_.image = Restore(parser.value(flash_.image));
    if (parser.isSet(flash_.yesStandIn))
        o_.yesStandIn = true;
    if (parser.isSet(flash_.noVerify))
        o_.verify = false;
    o_.protect = parser.isSet(flash_.protect);
    o_.unprotect = parser.isSet(flash_.unprotect);
    o_.discardSettings = parser.isSet(flash_.discardSettings);
    if (o_.protect && !o_.verify)
        return fail(QStringLiteral("--protect sets read-out protection only over a flash that was read back and "
                                   "matched; --no-verify leaves that out"));
    if (o_.discardSettings && !o_.unprotect)
        return fail(QStringLiteral("--discard-settings goes with --unprotect, the only flash that erases the "
                                   "module's settings"));
    if (!entryOption(parser))
        return false;
    if (parser.isSet(flash_.bootEntry)) {
        const QString v = Restore(parser.value(flash_.bootEntry));
        bool known = false;
        for (TBootEntry e : {TBootEntry::DtrRts, TBootEntry::Inverted, TBootEntry::Manual}) {
            if (v.toLower() == BootEntryName(e)) {
                o_.bootEntry = e;
                known = true;
            }
        }
        if (!known)
            return fail(QStringLiteral("--boot-entry: \"%1\" is not dtr-rts, inverted or manual").arg(v));
    }
    if (parser.isSet(flash_.address) && o_.image.isEmpty())
        return fail(QStringLiteral("--address places an image file (--image FILE); the carried image belongs at "
                                   "the flash base"));
    return addressOption(parser, kFlashBase + kFirmwareImageMaxBytes - 1);
}

bool Parser::recordsOptions(const QCommandLineParser &parser)
{
    if (!parser.isSet(records_.db) || parser.value(records_.db).isEmpty())
        return fail(QStringLiteral("records needs --db URL (sqlite:PATH, postgresql://USER@HOST/DB or "
                                   "postgresql:///DB?host=SOCKETDIR)"));
    o_.db = Restore(parser.value(records_.db));
    if (parser.isSet(records_.lot)) {
        o_.lot = Restore(parser.value(records_.lot));
        if (o_.lot.isEmpty())
            return fail(QStringLiteral("--lot needs the lot's name"));
    }
    if (parser.isSet(records_.since)) {
        const QString v = Restore(parser.value(records_.since));
        // Without a zone the time is local, as the operator's clock shows it.
        o_.since = QDateTime::fromString(v, Qt::ISODateWithMs);
        if (!o_.since.isValid())
            return fail(QStringLiteral("--since: \"%1\" is not a date or time (2026-05-04, 2026-05-04T06:00, "
                                       "2026-05-04T06:00:00Z)")
                            .arg(v));
    }
    o_.csv = parser.isSet(records_.csv);
    return true;
}

bool Parser::stationOptions(const QCommandLineParser &parser)
{
    const auto value = [&parser](const QCommandLineOption &option) { return Restore(parser.value(option)); };
    if (!parser.isSet(station_.recipe) || value(station_.recipe).isEmpty())
        return fail(QStringLiteral("station needs --recipe FILE"));
    o_.recipe = value(station_.recipe);
    if (!parser.isSet(station_.ports) || value(station_.ports).trimmed().isEmpty())
        return fail(QStringLiteral("station needs --ports PORT[,PORT...] (COM3,COM4 or device paths), one slot each"));
    for (const QString &port : value(station_.ports).split(QLatin1Char(','))) {
        if (port.trimmed().isEmpty())
            return fail(QStringLiteral("--ports: an empty port name in \"%1\"").arg(value(station_.ports)));
        o_.stationPorts << port.trimmed();
    }
    if (o_.stationPorts.size() > kStationMaxPorts)
        return fail(QStringLiteral("--ports: %1 ports, at most %2").arg(o_.stationPorts.size()).arg(kStationMaxPorts));
    if (parser.isSet(station_.db)) {
        o_.db = value(station_.db);
        if (o_.db.isEmpty())
            return fail(QStringLiteral("--db needs a URL (sqlite:PATH, postgresql://USER@HOST/DB or "
                                       "postgresql:///DB?host=SOCKETDIR)"));
    }
    o_.once = parser.isSet(station_.once);
    if (parser.isSet(station_.count) &&
        !number(QStringLiteral("--count"), value(station_.count), 1, kStationMaxCount, o_.stationCount))
        return false;
    if (parser.isSet(station_.operatorName))
        o_.operatorName = value(station_.operatorName);
    o_.rework = parser.isSet(station_.rework);
    return true;
}

bool Parser::entryOption(const QCommandLineParser &parser)
{
    return !parser.isSet(flash_.entryMs) || number(QStringLiteral("--entry-ms"), Restore(parser.value(flash_.entryMs)),
                                                   Options::kMinEntryMs, Options::kMaxEntryMs, o_.entryMs);
}

bool Parser::readFlashOptions(const QCommandLineParser &parser)
{
    o_.anyChip = parser.isSet(flash_.anyChip);
    if (!entryOption(parser))
        return false;
    if (!addressOption(parser, kFlashBase + kReadFlashMaxBytes - 1))
        return false;
    if (parser.isSet(flash_.length)) {
        int n = 0;
        if (!number(QStringLiteral("--length"), Restore(parser.value(flash_.length)), 1, kReadFlashMaxBytes, n))
            return false;
        o_.length = n;
        const long long from = o_.address.value_or(stm32::kFlashBase);
        if (from + n - 1 > kFlashBase + kReadFlashMaxBytes - 1)
            return fail(
                QStringLiteral("--address and --length run past %1").arg(Hex(kFlashBase + kReadFlashMaxBytes - 1)));
    }
    return true;
}

// Flash addresses from the base up to `lastByte`; an image starts on a page, so
// that erasing its first page touches nothing below it.
bool Parser::addressOption(const QCommandLineParser &parser, long long lastByte)
{
    if (parser.isSet(flash_.anyChip))
        o_.anyChip = true;
    if (!parser.isSet(flash_.address))
        return true;
    int a = 0;
    if (!number(QStringLiteral("--address"), Restore(parser.value(flash_.address)), kFlashBase, lastByte, a))
        return false;
    if (o_.command == Command::Flash && (a - kFlashBase) % stm32::kPageBytes != 0)
        return fail(QStringLiteral("--address: %1 is not the start of a 1 KiB flash page (erasing it would "
                                   "touch the bytes below the image)")
                        .arg(Hex(uint32_t(a))));
    o_.address = uint32_t(a);
    return true;
}

// An option given twice must say the same thing both times: which one a
// script meant cannot be guessed.
bool Parser::givenTwice(const QCommandLineParser &before, const QCommandLineParser &after)
{
    // What each parser knows: the common options on both (after configure,
    // --station is the new station and only -a is the common one), the command's after it.
    const std::vector<const QCommandLineOption *> common = {&global_.port,  &global_.mode, &global_.echo,
                                                            &global_.lines, &global_.log,  &global_.trace};
    std::vector<const QCommandLineOption *> own;
    switch (o_.command) {
    case Command::Watch:
        own = {&watch_.interval, &watch_.count};
        break;
    case Command::Configure:
        for (const QCommandLineOption &setting : configure_.settings)
            own.push_back(&setting);
        break;
    case Command::Flash:
        own = {&flash_.image, &flash_.bootEntry, &flash_.address, &flash_.entryMs};
        break;
    case Command::ReadFlash:
        own = {&flash_.address, &flash_.length, &flash_.entryMs};
        break;
    case Command::Records:
        own = {&records_.db, &records_.lot, &records_.since};
        break;
    case Command::Station:
        own = {&station_.recipe, &station_.ports, &station_.db, &station_.count, &station_.operatorName};
        break;
    default:
        break;
    }
    const auto check = [this](const QCommandLineOption &option, QStringList values) {
        values.removeDuplicates();
        if (values.size() <= 1)
            return true;
        for (QString &v : values)
            v = Restore(v);
        const QString name = option.names().constLast();
        return fail(QStringLiteral("%1%2 given twice with different values (%3)")
                        .arg(name.size() == 1 ? "-" : "--", name, values.join(QStringLiteral(", "))));
    };
    for (const QCommandLineOption *option : common)
        if (!check(*option, before.values(*option) + after.values(*option)))
            return false;
    const QCommandLineOption &stationAfter = o_.command == Command::Configure ? global_.stationShort : global_.station;
    if (!check(global_.station, before.values(global_.station) + after.values(stationAfter)))
        return false;
    for (const QCommandLineOption *option : own)
        if (!check(*option, after.values(*option)))
            return false;
    return true;
}

// The flash commands talk to the chip's bootloader, not to a station: the
// station, the mode and the echo are not theirs, and ports opens no port.
// doctor looks at the port and talks to nothing on it.
bool Parser::unusedGlobals(const QCommandLineParser &before, const QCommandLineParser &after)
{
    // flash --unprotect reads and restores the module's settings at its line.
    const bool bootloader = (o_.command == Command::Flash && !o_.unprotect) || o_.command == Command::ReadFlash;
    const bool ports = o_.command == Command::Ports;
    const bool doctor = o_.command == Command::Doctor;
    const bool noLine = o_.command == Command::Recipe || o_.command == Command::Records;
    const bool station = o_.command == Command::Station;
    if (!bootloader && !ports && !doctor && !noLine && !station)
        return true;
    const std::pair<const QCommandLineOption *, const char *> unused[] = {
        {&global_.station, "-a"},    {&global_.mode, "-m"},     {&global_.echo, "--echo"},    {&global_.port, "-p"},
        {&global_.lines, "--lines"}, {&global_.baud, "--baud"}, {&global_.format, "--format"}};
    for (const auto &[option, name] : unused) {
        // The port is the flash commands' and doctor's too; its lines only the flash commands'.
        if ((option == &global_.port && !ports && !noLine && !station) || (option == &global_.lines && bootloader))
            continue;
        const bool given = before.isSet(*option) || after.isSet(*option);
        if (given)
            return fail(QStringLiteral("%1 is not used by %2: %3")
                            .arg(QLatin1String(name), CommandWord(o_.command),
                                 ports     ? QStringLiteral("it lists every port")
                                 : doctor  ? QStringLiteral("it looks at the port and talks to nothing on it")
                                 : noLine  ? QStringLiteral("it opens no port")
                                 : station ? QStringLiteral("its slots are the --ports given, each on the module's "
                                                            "fixed line and the chip's bootloader")
                                           : QStringLiteral("it talks to the chip's bootloader, not to a station")));
    }
    return true;
}

bool Parser::command(const QString &word)
{
    for (const auto &[name, cmd] : kCommands) {
        if (word == QLatin1String(name)) {
            o_.command = cmd;
            return true;
        }
    }
    return fail(QStringLiteral("unknown command \"%1\"").arg(word));
}

bool Parser::run()
{
    // Before the command word: the common options, up to the first other word.
    QCommandLineParser before;
    global_.addTo(before, true);
    before.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    if (!parse(before, args_) || !globals(before, false))
        return false;
    QStringList rest = before.positionalArguments();
    for (QString &word : rest)
        word = Restore(word);
    const bool helpOrVersion = before.isSet(global_.help) || before.isSet(global_.version);
    if (helpOrVersion) {
        // Whatever follows --help or --version is not for a command.
        positional_ = rest;
        return positionals() && finalChecks();
    }
    if (rest.isEmpty())
        return fail(QStringLiteral("no command given"));
    if (!command(rest.takeFirst()))
        return false;

    // After it: that command's options and the common ones.
    QCommandLineParser after;
    global_.addTo(after, o_.command != Command::Configure);
    switch (o_.command) {
    case Command::Watch:
        after.addOptions({watch_.interval, watch_.count, watch_.csv});
        break;
    case Command::Configure:
        for (const QCommandLineOption &option : configure_.settings)
            after.addOption(option);
        break;
    case Command::Flash:
        after.addOptions({flash_.image, flash_.yesStandIn, flash_.noVerify, flash_.bootEntry, flash_.address,
                          flash_.anyChip, flash_.entryMs, flash_.protect, flash_.unprotect, flash_.discardSettings});
        break;
    case Command::ReadFlash:
        after.addOptions({flash_.address, flash_.length, flash_.anyChip, flash_.entryMs});
        break;
    case Command::Scan:
        scanOptions_.addTo(after);
        break;
    case Command::Records:
        after.addOptions({records_.db, records_.lot, records_.since, records_.csv});
        break;
    case Command::Station:
        after.addOptions({station_.recipe, station_.ports, station_.db, station_.once, station_.count,
                          station_.operatorName, station_.rework});
        break;
    default:
        break;
    }
    if (!parse(after, rest) || !givenTwice(before, after))
        return false;
    const Command given = o_.command;
    if ((given == Command::Watch && !watchOptions(after)) ||
        (given == Command::Configure && !configureOptions(after)) ||
        (given == Command::Flash && !flashOptions(after)) ||
        (given == Command::Scan && !scanOptions_.take(after, o_.scan, error_)) ||
        (given == Command::ReadFlash && !readFlashOptions(after)) ||
        (given == Command::Records && !recordsOptions(after)) ||
        (given == Command::Station && !stationOptions(after)) || !globals(after, true) || !unusedGlobals(before, after))
        return false;
    for (const QString &word : after.positionalArguments())
        positional_ << Restore(word);
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
        if (positional_.size() >= 2 && !number(QStringLiteral("COUNT"), positional_[1], 1, kReadCountMax, o_.count))
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
    case Command::Watch:
        if (!tooMany(o_.csv ? 1 : 0))
            return false;
        if (!positional_.isEmpty())
            o_.csvPath = positional_[0];
        // Both would want standard output.
        if (o_.csv && o_.csvPath.isEmpty() && o_.json)
            return fail(QStringLiteral("--csv without FILE writes standard output, and so does --json: "
                                       "give --csv a FILE"));
        return true;
    case Command::Recipe:
        if (positional_.isEmpty() || positional_[0] != QLatin1String("check"))
            return fail(QStringLiteral("recipe needs what to do with it: recipe check FILE"));
        if (positional_.size() < 2 || positional_[1].isEmpty())
            return fail(QStringLiteral("recipe check needs the recipe FILE"));
        o_.recipeFile = positional_[1];
        return tooMany(2);
    case Command::ReadFlash:
        if (positional_.isEmpty() || positional_[0].isEmpty())
            return fail(QStringLiteral("read-flash needs the FILE to write the flash's bytes to"));
        o_.outFile = positional_[0];
        return tooMany(1);
    default:
        return tooMany(0);
    }
}

bool Parser::finalChecks()
{
    if (o_.command == Command::Records && o_.csv && o_.json)
        return fail(QStringLiteral("records writes CSV or JSON, not both: give --csv or --json"));
    // The scan asks stations directly on lines of its own.
    if (o_.command == Command::Scan && o_.mode == TLinkMode::PlcCan)
        return fail(QStringLiteral("scan talks to modules directly (pc-uart), not through the PLC gateway"));
    if (o_.command == Command::Scan && o_.line != kDefaultModbusLine)
        return fail(QStringLiteral("scan tries lines of its own: give --bauds and --formats, not --baud and --format"));
    // Rewriting all six settings as read is no configuration: it only wears the
    // module's memory, and a script that lost its arguments must not pass.
    if (o_.command == Command::Configure && std::none_of(o_.config.values.begin(), o_.config.values.end(),
                                                         [](const std::optional<int> &v) { return v.has_value(); }))
        return fail(QStringLiteral("configure needs at least one setting (--station, --can-baud, --rs485-baud, "
                                   "--rs485-format, --filter, --suppress); nothing was written"));
    // The image file, there or not, is judged by flash, which records the refusal.
    return true;
}

}  // namespace

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
        "usage: talvex-cli [-p PORT] [-a STATION] [-m pc-uart|plc-can] [--echo auto|on|off]\n"
        "                  [--lines normal|inverted] [--json] [-q] [--log FILE] [--trace FILE]\n"
        "                  COMMAND [ARGS]\n"
        "  -p, --port PORT     COM1 ... COM8 (TALVEX_PORT_DIR honoured) or a device path; default COM1\n"
        "  -a, --station N     the station to talk to, 1 ... 99, before the command word; default 1\n"
        "  -m, --mode MODE     pc-uart (default) or plc-can (through the PLC gateway)\n"
        "      --echo WHEN     whether the adapter hands each request back (a 2-wire RS-485 adapter):\n"
        "                      auto (default: learnt from a read before the first write), on or off\n"
        "      --baud RATE     9600, 19200, 38400 or 57600 (default, the module's fixed port)\n"
        "      --format F      8N1, 8O1 or 8E1 (default); \"8 E 1\" too\n"
        "      --lines LINES   normal (default) or inverted: an adapter whose stages invert DTR and RTS\n"
        "      --json          one JSON object per result line; an error as one object on stderr\n"
        "  -q, --quiet         no progress output\n"
        "      --log FILE      append every result and failure to FILE as one JSON line\n"
        "      --trace FILE    every chunk sent and received, in hex and decoded, to FILE (- = stderr)\n"
        "  -h, --help          this text;  --version  the program's and the image's version\n"
        "registers are numbered from 0 (mbpoll counts from 1: mbpoll -r 11 is register 10)\n"
        "commands:\n"
        "  info                          firmware version and the six settings\n"
        "  read [FIRST [COUNT]]          registers FIRST ... FIRST+COUNT-1 (default 0 32, COUNT 1 ... 101)\n"
        "  watch [-i MS] [-n N] [--csv [FILE]]\n"
        "                                AD0 ... AD7, DA0 ... DA3 and gains, every MS (60 and up), N times;\n"
        "                                --csv: as CSV rows with time stamps, to standard output or FILE\n"
        "  write REG VALUE               one register, echo-checked, six attempts\n"
        "  configure [--station N] [--can-baud TEXT] [--rs485-baud TEXT] [--rs485-format TEXT]\n"
        "            [--filter N] [--suppress MS]\n"
        "                                unlock, the six settings (omitted ones as read), commit,\n"
        "                                then the settings read back; --station is the new station\n"
        "                                (at least one setting)\n"
        "  flash [--image FILE [--address ADDR]] [--no-verify] [--boot-entry dtr-rts|inverted|manual]\n"
        "        [--entry-ms MS] [--yes-standin] [--any-chip] [--protect] [--unprotect [--discard-settings]]\n"
        "                                the firmware update with the carried image or FILE (Intel HEX\n"
        "                                at its own addresses, or raw binary at ADDR, default 0x08000000),\n"
        "                                only the pages it covers erased, then read back; the module is\n"
        "                                restarted into its program at every end\n"
        "  read-flash FILE [--address ADDR] [--length N] [--any-chip] [--entry-ms MS]\n"
        "                                the chip's flash (default: all of it) into FILE\n"
        "  ports                         where COM1 ... COM8 lead, and the adapters in /dev/serial/by-id\n"
        "  doctor                        what keeps the port (-p) or every adapter from working here:\n"
        "                                group, login, brltty, ModemManager, latency timer, other programs\n"
        "  scan [--stations LIST] [--bauds LIST] [--formats LIST] [--all] [--probe-ms MS]\n"
        "                                find a module whose station, baud rate or format is not known:\n"
        "                                stations 1-99 on every baud rate and format by default (LIST:\n"
        "                                \"1-99\", \"1,5,37\", \"9600,19200\", \"8N1,8E1\"); the first module\n"
        "                                found ends it unless --all; --probe-ms: the module's turnaround\n"
        "                                allowance added to each probe's time on the wire (default 5)\n"
        "  recipe check FILE             a station's recipe judged whole (image and its sha256, settings,\n"
        "                                labels, lot) and what a station with it will do; no port opened\n"
        "  records --db URL [--lot LOT] [--since TIME] [--csv]\n"
        "                                a station's runs, oldest first (URL: sqlite:PATH,\n"
        "                                postgresql://USER@HOST/DB, postgresql:///DB?host=SOCKETDIR);\n"
        "                                --csv: RFC 4180 with a header row; --json: one object per line;\n"
        "                                TIME: 2026-05-04 or 2026-05-04T06:00[Z] (local without a zone)\n"
        "  station --recipe FILE --ports PORT,PORT,... [--db URL] [--once] [--count N]\n"
        "          [--operator NAME] [--rework]\n"
        "                                the production station: per port a slot that waits for a board,\n"
        "                                reads its unique ID, flashes and verifies the recipe's image,\n"
        "                                writes its settings, reads them back and records the run (URL as\n"
        "                                for records; default sqlite: in the user's data folder), then\n"
        "                                waits until the board is taken away; one line per event (--json:\n"
        "                                one object each); labels on standard input, \"SLOT LABEL\" per\n"
        "                                line (just the label with one slot); --once: one board per slot;\n"
        "                                --count: N records; --rework: boards passed in the lot again\n"
        "exit status: 0 done (scan: a module found), 1 the module or chip failed (or a result could not\n"
        "             be written, doctor found a problem, scan found no module, records could not\n"
        "             read the database, station: a board failed or the records could not be opened),\n"
        "             2 bad usage, image or recipe refused, 3 the port (absent, not allowed, busy, no serial\n"
        "             device, settings refused, removed, no DTR/RTS for flash); SIGINT, SIGTERM, SIGHUP\n"
        "             and SIGQUIT end the command cleanly, then end the program by that signal\n"
        "             (a shell shows 130, 143, 129, 131)\n");
}

}  // namespace talvex::cli
