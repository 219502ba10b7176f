#pragma once
// A station's recipe for the tests: the stand-in image copied beside it, its
// digest filled in, the settings configure writes, a lot, and whatever fields
// the test puts over them (a null value removes one). Needs TALVEX_STANDIN_IMAGE.
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

inline QString WriteStationRecipe(const QString &dir, const QJsonObject &change = {})
{
    const QString image = QDir(dir).filePath("image.bin");
    QFile::remove(image);
    if (!QFile::copy(TALVEX_STANDIN_IMAGE, image))
        qFatal("cannot copy the stand-in image to %s", qPrintable(image));
    QFile in(image);
    if (!in.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(image));
    QJsonObject o{
        {"image", "image.bin"},
        {"sha256", QString::fromLatin1(QCryptographicHash::hash(in.readAll(), QCryptographicHash::Sha256).toHex())},
        {"settings", QJsonObject{{"station", 5}, {"can-baud", "500k"}}},
        {"label_required", false},
        {"lot", "LOT-W"}};
    for (auto it = change.begin(); it != change.end(); ++it) {
        if (it.value().isNull())
            o.remove(it.key());
        else
            o[it.key()] = it.value();
    }
    const QString path = QDir(dir).filePath("recipe.json");
    QFile out(path);
    const QByteArray text = QJsonDocument(o).toJson();
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(text) != text.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}
