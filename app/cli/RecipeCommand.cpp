// recipe check FILE: the recipe judged whole, and what a station with it will
// do, before any port is opened.
#include "app/cli/Commands.h"
#include "modbus/SettingTexts.h"
#include "station/Recipe.h"

#include <QJsonArray>

namespace talvex::cli {

int RunRecipe(const Options &o, Output &out)
{
    TRecipe recipe;
    QString error;
    if (!LoadRecipe(o.recipeFile, recipe, error))
        return out.fail(kExitUsage, QStringLiteral("recipe"), QStringLiteral("%1: %2").arg(o.recipeFile, error),
                        QJsonObject{{"recipe", o.recipeFile}});
    QJsonObject settings;
    for (size_t i = 0; i < kModuleSettings.size(); ++i)
        if (recipe.settings.values[i])
            settings[QString::fromLatin1(kModuleSettings[i].Name)] = SettingValueText(kModuleSettings[i],
                                                                                      *recipe.settings.values[i]);
    const QStringList lines = DescribeRecipe(recipe);
    out.result(lines.join('\n'), QJsonObject{{"recipe", recipe.file},
                                             {"valid", true},
                                             {"lot", recipe.lot},
                                             {"image", recipe.imagePath},
                                             {"image_format", recipe.image.format},
                                             {"image_bytes", recipe.image.bytes.size()},
                                             {"sha256", recipe.imageSha256},
                                             {"settings", settings},
                                             {"label_required", recipe.labelRequired},
                                             {"label_pattern", recipe.labelPattern},
                                             {"plan", QJsonArray::fromStringList(lines)}});
    return kExitDone;
}

}  // namespace talvex::cli
