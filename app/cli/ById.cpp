#include "app/cli/ById.h"

#include <QDir>
#include <QFileInfo>

namespace talvex::cli {

QString ByIdDir()
{
    const QByteArray dir = qgetenv(kByIdDirEnv);
    return dir.isEmpty() ? QString::fromLatin1(kByIdDir) : QString::fromLocal8Bit(dir);
}

QList<ByIdLink> ByIdLinks()
{
    QList<ByIdLink> links;
    const QDir dir(ByIdDir());
    for (const QFileInfo &entry : dir.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name)) {
        if (!entry.isSymLink())
            continue;
        links.append({entry.absoluteFilePath(), entry.fileName(), entry.canonicalFilePath()});
    }
    return links;
}

QString ByIdPathOf(const std::string &device)
{
    const QString target = QFileInfo(QString::fromStdString(device)).canonicalFilePath();
    if (target.isEmpty())
        return {};
    for (const ByIdLink &link : ByIdLinks())
        if (link.target == target)
            return link.path;
    return {};
}

}  // namespace talvex::cli
