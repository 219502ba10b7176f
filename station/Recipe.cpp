#include "station/Recipe.h"

#include "modbus/SettingTexts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>
#include <array>

namespace {

// A recipe is a few hundred bytes; anything this large is not one.
constexpr qint64 kMaxRecipeBytes = 64 * 1024;
constexpr int kSha256HexDigits = 64;

// The fields a recipe may have. Any other is refused: a misspelt field would
// otherwise pass silently and the station would run without it.
constexpr std::array kFields = {"image", "sha256", "settings", "label_required", "label_pattern", "lot", "protect"};

QString Quoted(const QString &text)
{
    return QStringLiteral("\"%1\"").arg(text);
}

// A JSON value as configure's option would be given it: numbers as their
// digits, texts as they are. Null when it is neither.
std::optional<QString> SettingWord(const QJsonValue &value)
{
    if (value.isString())
        return value.toString();
    if (value.isDouble()) {
        const double v = value.toDouble();
        // A whole number prints as one; "2.5" then fails as a number.
        return v == double(qint64(v)) ? QString::number(qint64(v)) : QString::number(v);
    }
    return std::nullopt;
}

class RecipeReader {
public:
    RecipeReader(TRecipe &recipe, QString &error) : recipe_(recipe), error_(error) {}

    bool read(const QJsonObject &o)
    {
        for (auto it = o.begin(); it != o.end(); ++it)
            if (std::find(kFields.begin(), kFields.end(), it.key().toStdString()) == kFields.end())
                return fail(it.key(), QStringLiteral("not a field of a recipe (%1)").arg(FieldList()));
        return lot(o.value("lot")) && image(o.value("image"), o.value("sha256")) && settings(o.value("settings")) &&
               labels(o.value("label_required"), o.value("label_pattern")) && protection(o.value("protect"));
    }

private:
    static QString FieldList()
    {
        QStringList names;
        for (const char *f : kFields)
            names << QString::fromLatin1(f);
        return names.join(QStringLiteral(", "));
    }

    bool fail(const QString &field, const QString &reason)
    {
        error_ = QStringLiteral("%1: %2").arg(field, reason);
        return false;
    }

    bool lot(const QJsonValue &v)
    {
        if (v.isUndefined())
            return fail("lot", "missing; every record names its lot");
        if (!v.isString() || v.toString().trimmed().isEmpty())
            return fail("lot", "must be a non-empty text");
        const QString lot = v.toString();
        if (lot != lot.trimmed() ||
            std::any_of(lot.begin(), lot.end(), [](QChar c) { return c.category() == QChar::Other_Control; }))
            return fail("lot", QStringLiteral("%1 has blanks at an end or control characters").arg(Quoted(lot)));
        recipe_.lot = lot;
        return true;
    }

    bool image(const QJsonValue &path, const QJsonValue &sha256)
    {
        if (path.isUndefined())
            return fail("image", "missing; the image file to flash, relative to the recipe");
        if (!path.isString() || path.toString().isEmpty())
            return fail("image", "must be a file name");
        if (sha256.isUndefined())
            return fail("sha256", "missing; the image file's SHA-256, as sha256sum prints it");
        static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]{%1}$").arg(kSha256HexDigits));
        if (!sha256.isString() || !hex.match(sha256.toString()).hasMatch())
            return fail("sha256", QStringLiteral("must be %1 hexadecimal digits").arg(kSha256HexDigits));
        const QString wanted = sha256.toString().toLower();
        recipe_.imagePath = QDir::cleanPath(QFileInfo(recipe_.file).absoluteDir().absoluteFilePath(path.toString()));
        QString why;
        if (!ReadImageFile(recipe_.imagePath, recipe_.image, why))
            return fail("image", why);
        if (recipe_.image.fileSha256 != wanted)
            return fail("sha256", QStringLiteral("the image's digest is %1, not %2 (a different file)")
                                      .arg(recipe_.image.fileSha256, wanted));
        recipe_.imageSha256 = wanted;
        return true;
    }

    bool settings(const QJsonValue &v)
    {
        if (v.isUndefined())
            return true;
        if (!v.isObject())
            return fail("settings", "must be an object of configure's settings (\"station\": 5, ...)");
        const QJsonObject given = v.toObject();
        for (auto it = given.begin(); it != given.end(); ++it) {
            const QString field = QStringLiteral("settings.") + it.key();
            const auto row = std::find_if(kModuleSettings.begin(), kModuleSettings.end(),
                                          [&](const TSettingRow &r) { return it.key() == QLatin1String(r.Name); });
            if (row == kModuleSettings.end()) {
                QStringList names;
                for (const TSettingRow &r : kModuleSettings)
                    names << QString::fromLatin1(r.Name);
                return fail(field, QStringLiteral("not a setting (%1)").arg(names.join(QStringLiteral(", "))));
            }
            const std::optional<QString> word = SettingWord(it.value());
            if (!word)
                return fail(field, "must be a number or a text");
            int value = 0;
            // The reason starts with the field's name, as configure's starts with its option.
            if (!ParseSettingValue(*row, field, *word, value, error_))
                return false;
            recipe_.settings.values[size_t(row - kModuleSettings.begin())] = value;
        }
        return true;
    }

    bool labels(const QJsonValue &required, const QJsonValue &pattern)
    {
        if (!required.isUndefined() && !required.isBool())
            return fail("label_required", "must be true or false");
        recipe_.labelRequired = required.toBool(false);
        if (pattern.isUndefined())
            return true;
        if (!pattern.isString())
            return fail("label_pattern", "must be a regular expression in a text");
        const QRegularExpression re(pattern.toString());
        if (!re.isValid())
            return fail("label_pattern", QStringLiteral("not a regular expression: %1 at offset %2")
                                             .arg(re.errorString())
                                             .arg(re.patternErrorOffset()));
        recipe_.labelPattern = pattern.toString();
        return true;
    }

    bool protection(const QJsonValue &v)
    {
        if (!v.isUndefined() && !v.isBool())
            return fail("protect", "must be true or false");
        recipe_.protect = v.toBool(false);
        return true;
    }

    TRecipe &recipe_;
    QString &error_;
};

}  // namespace

bool LoadRecipe(const QString &file, TRecipe &recipe, QString &error)
{
    recipe = {};
    recipe.file = QFileInfo(file).absoluteFilePath();
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("recipe: cannot read %1: %2").arg(file, f.errorString());
        return false;
    }
    if (f.size() > kMaxRecipeBytes) {
        error = QStringLiteral("recipe: %1 has %2 bytes, too many for a recipe").arg(file).arg(f.size());
        return false;
    }
    QJsonParseError parsed;
    const QJsonDocument doc = QJsonDocument::fromJson(f.readAll(), &parsed);
    if (parsed.error != QJsonParseError::NoError) {
        error = QStringLiteral("recipe: not JSON: %1 at offset %2").arg(parsed.errorString()).arg(parsed.offset);
        return false;
    }
    if (!doc.isObject()) {
        error = QStringLiteral("recipe: must be one JSON object");
        return false;
    }
    return RecipeReader(recipe, error).read(doc.object());
}

QStringList DescribeRecipe(const TRecipe &recipe)
{
    QStringList lines;
    lines << QStringLiteral("recipe: %1").arg(recipe.file);
    lines << QStringLiteral("lot: %1").arg(recipe.lot);
    const ImageFile &image = recipe.image;
    lines << QStringLiteral("image: %1 (%2, sha256 %3)").arg(recipe.imagePath, image.format, recipe.imageSha256);
    lines << QStringLiteral("flash: %1 bytes at 0x%2, pages %3 ... %4 erased, written and read back")
                 .arg(image.bytes.size())
                 .arg(image.start, 8, 16, QLatin1Char('0'))
                 .arg(image.pages.empty() ? 0 : int(image.pages.front()))
                 .arg(image.pages.empty() ? 0 : int(image.pages.back()));
    // In the order configure lists them.
    QStringList written;
    for (int at = 0; at < kModuleSettingCount; ++at)
        for (size_t i = 0; i < kModuleSettings.size(); ++i)
            if (kModuleSettings[i].ListedAt == at && recipe.settings.values[i])
                written << QStringLiteral("%1 %2").arg(
                    QString::fromLatin1(kModuleSettings[i].Name),
                    SettingValueText(kModuleSettings[i], *recipe.settings.values[i]));
    lines << (written.isEmpty()
                  ? QStringLiteral("settings: none written; each module keeps what it holds")
                  : QStringLiteral("settings written after the flash: %1; the others as the module holds them")
                        .arg(written.join(QStringLiteral(", "))));
    const QString pattern = recipe.labelPattern.isEmpty()
                                ? QStringLiteral("any text")
                                : QStringLiteral("matching %1 whole").arg(recipe.labelPattern);
    lines << (recipe.labelRequired ? QStringLiteral("label: required, %1").arg(pattern)
                                   : QStringLiteral("label: optional, %1 when given").arg(pattern));
    lines << (recipe.protect ? QStringLiteral("protection: read-out protection set after the verified flash")
                             : QStringLiteral("protection: none set; the flash stays readable"));
    return lines;
}

bool RecipeTakesLabel(const TRecipe &recipe, const QString &label, QString &why)
{
    if (label.isEmpty()) {
        if (recipe.labelRequired)
            why = QStringLiteral("the recipe requires a label; none was given");
        return !recipe.labelRequired;
    }
    if (recipe.labelPattern.isEmpty())
        return true;
    const QRegularExpression re(QRegularExpression::anchoredPattern(recipe.labelPattern));
    if (re.match(label).hasMatch())
        return true;
    why = QStringLiteral("label \"%1\" does not match the recipe's pattern %2").arg(label, recipe.labelPattern);
    return false;
}
