#include "translations/Language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include <memory>
#include <mutex>

namespace {

// Where lrelease's output travels inside the program (Translations.qrc).
const QString kProgramCatalogue = QStringLiteral(":/translations/talvex_en.qm");
// Qt's own catalogues (Debian's qt6-translations-l10n), by language.
const QString kQtCatalogueZh = QStringLiteral("qtbase_zh_CN");
const QString kQtCatalogueEn = QStringLiteral("qtbase_en");

// "en_GB.UTF-8" -> "en", "zh_CN" -> "zh", "C.UTF-8" -> "c".
QString LanguageCode(const QString &locale)
{
    qsizetype end = 0;
    while (end < locale.size() && locale[end] != '_' && locale[end] != '.' && locale[end] != '@' && locale[end] != '-')
        ++end;
    return locale.left(end).toLower();
}

bool IsSourceLocale(const QString &locale)
{
    const QString code = LanguageCode(locale);
    return locale.isEmpty() || code == QLatin1String("c") || code == QLatin1String("posix");
}

std::optional<TUiLanguage> LanguageOfCode(const QString &code)
{
    if (code == QLatin1String("en"))
        return TUiLanguage::English;
    if (code == QLatin1String("zh"))
        return TUiLanguage::Chinese;
    return std::nullopt;
}

QTranslator *LoadedTranslator(const QString &name, const QString &dir = QString())
{
    auto translator = std::make_unique<QTranslator>(QCoreApplication::instance());
    if (!translator->load(name, dir))
        return nullptr;
    QCoreApplication::installTranslator(translator.get());
    return translator.release();
}

}  // namespace

TUiLanguage LanguageFromEnvironment(const TEnvironmentLookup &lookup)
{
    QString locale;
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        locale = lookup(name);
        if (!locale.isEmpty())
            break;
    }
    if (IsSourceLocale(locale))
        return TUiLanguage::Chinese;
    // A LANGUAGE entry in a language without a catalogue here is passed over, as
    // gettext passes over one it has no catalogue for.
    for (const QString &entry : lookup("LANGUAGE").split(QLatin1Char(':'), Qt::SkipEmptyParts))
        if (const std::optional<TUiLanguage> language = LanguageOfCode(LanguageCode(entry)))
            return *language;
    return LanguageOfCode(LanguageCode(locale)).value_or(TUiLanguage::Chinese);
}

TUiLanguage LanguageFromEnvironment()
{
    return LanguageFromEnvironment([](const char *name) { return qEnvironmentVariable(name); });
}

std::optional<TUiLanguage> LanguageFromName(const QString &name)
{
    return LanguageOfCode(name.toLower());
}

bool InstallLanguage(TUiLanguage language)
{
    // The catalogue travels in a static library: its resource is registered by hand.
    static std::once_flag once;
    std::call_once(once, [] { Q_INIT_RESOURCE(Translations); });

    const QString qtDir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (language == TUiLanguage::Chinese) {
        // The windows' own texts are Chinese already; Qt's buttons follow them.
        return LoadedTranslator(kQtCatalogueZh, qtDir) != nullptr;
    }
    LoadedTranslator(kQtCatalogueEn, qtDir);  // Qt's source texts are English already
    return LoadedTranslator(kProgramCatalogue) != nullptr;
}
