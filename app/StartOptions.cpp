#include "app/StartOptions.h"

#include "firmware/FirmwareImage.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>

#include <cstdio>
#include <cstdlib>

namespace {

const QString kProgram = QStringLiteral("talvex");
// Qt takes GLib's event loop unless this variable is non-empty.
constexpr char kNoGlibVariable[] = "QT_NO_GLIB";
const QString kDescription = QStringLiteral(
    "Tests, calibrates and re-flashes the TALVEX_M industrial I/O module over a serial line\n"
    "(Modbus RTU at 57600 8E1, the microcontroller's serial bootloader at 115200 8E1).\n"
    "Opens the main window. Ports COM1 ... COM8 are device paths, or links in the directory\n"
    "named by TALVEX_PORT_DIR; see talvex(1).");

const QCommandLineOption kLangOption(QStringLiteral("lang"),
                                     QStringLiteral("The windows' language: zh (Chinese) or en (English). Without "
                                                    "it, English for an English UI language (LANGUAGE, LC_ALL, "
                                                    "LC_MESSAGES, LANG), Chinese otherwise."),
                                     QStringLiteral("zh|en"));

void Describe(QCommandLineParser &parser)
{
    parser.setApplicationDescription(kDescription);
    parser.addOption(kLangOption);
    parser.addHelpOption();
    parser.addVersionOption();
}

void Print(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

}  // namespace

void PreferQtEventLoop()
{
    if (!qEnvironmentVariableIsSet(kNoGlibVariable))
        qputenv(kNoGlibVariable, "1");
}

void NameApplication()
{
    QCoreApplication::setApplicationName(kProgram);
    QCoreApplication::setApplicationVersion(QStringLiteral(TALVEX_VERSION));
}

QString CarriedFirmwareSummary()
{
    qint64 size = -1;
    CarriedFirmwareImageAcceptable(&size);
    QFile image(QString::fromLatin1(kFirmwareResource));
    if (size < 0 || !image.open(QIODevice::ReadOnly))
        return QStringLiteral("firmware image: missing");
    const QByteArray sha256 = QCryptographicHash::hash(image.readAll(), QCryptographicHash::Sha256).toHex();
    const QString kind = CarriedFirmwareIsStandIn() ? QStringLiteral("stand-in (not the module's firmware)")
                                                    : QStringLiteral("module firmware");
    QString text =
        QStringLiteral("firmware image: %1 bytes, %2, sha256 %3").arg(size).arg(kind, QString::fromLatin1(sha256));
    if (!FirmwareImageSizeAcceptable(size))
        text += QStringLiteral(" (refused: outside 1 ... %1 bytes)").arg(kFirmwareImageMaxBytes);
    return text;
}

std::optional<int> AnswerWithoutWindows(int argc, char *argv[])
{
    // A core application is enough to read the arguments and the carried image;
    // it goes away before the GUI application is made.
    QCoreApplication core(argc, argv);
    NameApplication();
    QCommandLineParser parser;
    Describe(parser);
    // Options of the GUI application (-platform ...) are not known here; they
    // and real mistakes are judged by CheckRemainingOptions.
    parser.parse(core.arguments());
    if (parser.isSet(QStringLiteral("help"))) {
        Print(parser.helpText());
        return 0;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        Print(kProgram + QLatin1Char(' ') + QCoreApplication::applicationVersion() + QLatin1Char('\n') +
              CarriedFirmwareSummary() + QLatin1Char('\n'));
        return 0;
    }
    return std::nullopt;
}

TUiLanguage ChosenLanguage(const QCoreApplication &app)
{
    QCommandLineParser parser;
    Describe(parser);
    parser.parse(app.arguments());
    if (!parser.isSet(kLangOption))
        return LanguageFromEnvironment();
    const QString value = parser.value(kLangOption);
    if (const std::optional<TUiLanguage> language = LanguageFromName(value))
        return *language;
    std::fprintf(stderr, "%s: --lang: \"%s\" is neither zh nor en\n", qPrintable(kProgram), qPrintable(value));
    std::exit(1);
}

void CheckRemainingOptions(const QCoreApplication &app)
{
    QCommandLineParser parser;
    Describe(parser);
    parser.process(app);
}
