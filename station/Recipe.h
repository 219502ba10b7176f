#pragma once
// What a production station makes: the image it flashes, the settings it
// writes after, the labels it takes and the lot it records, from a JSON file
// judged whole before any port is opened.
#include "firmware/ImageFile.h"
#include "modbus/SettingsTable.h"

#include <QString>
#include <QStringList>

struct TRecipe {
    QString file;         // the recipe's own path, absolute
    QString imagePath;    // absolute, resolved relative to the recipe's folder
    QString imageSha256;  // 64 lower-case hex digits, checked against the file at load
    // The image as read, checked and decoded at load: what the station flashes,
    // so that a file changed after the load is never written.
    ImageFile image;
    TSettingChanges settings;  // configure's six, as its options name them; absent = not written
    bool labelRequired = false;
    QString labelPattern;  // a regular expression the whole label matches; empty = any label
    QString lot;
    // Read-out protection set after the verified flash: the chip's flash can no
    // longer be read out, and the module runs its program as before.
    bool protect = false;
};

// Reads and checks `file`. False with `error` naming the field and the reason
// ("sha256: the image's digest is ..., not ...").
bool LoadRecipe(const QString &file, TRecipe &recipe, QString &error);

// The lines `talvex-cli recipe check` prints: what a station with it will do.
QStringList DescribeRecipe(const TRecipe &recipe);

// Whether a station running `recipe` takes `label` for a board. False with the
// reason when it is missing but required, or does not match the pattern.
bool RecipeTakesLabel(const TRecipe &recipe, const QString &label, QString &why);
