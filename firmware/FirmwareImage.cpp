#include "firmware/FirmwareImage.h"

#include <QFile>

#include <mutex>

// The resource object lives in this static library; nothing else references it,
// so the linker would drop it without this explicit registration.
static void RegisterFirmwareResource()
{
    static std::once_flag once;
    std::call_once(once, [] { Q_INIT_RESOURCE(FirmwareImage); });
}

bool FirmwareImageSizeAcceptable(qint64 size)
{
    return size >= kFirmwareImageMinBytes && size <= kFirmwareImageMaxBytes;
}

std::optional<QByteArray> LoadFirmwareImageFrom(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // One byte more than the limit is enough to tell an oversized image.
    const QByteArray bytes = file.read(kFirmwareImageMaxBytes + 1);
    if (bytes.size() != file.size())
        return std::nullopt;
    return LoadFirmwareImageBytes(bytes);
}

std::optional<QByteArray> LoadFirmwareImageBytes(const QByteArray &bytes)
{
    if (!FirmwareImageSizeAcceptable(bytes.size()))
        return std::nullopt;
    return bytes;
}

std::optional<QByteArray> LoadFirmwareImage()
{
    RegisterFirmwareResource();
    return LoadFirmwareImageFrom(QString::fromLatin1(kFirmwareResource));
}

bool CarriedFirmwareImageAcceptable(qint64 *size)
{
    RegisterFirmwareResource();
    QFile file(QString::fromLatin1(kFirmwareResource));
    const qint64 n = file.open(QIODevice::ReadOnly) ? file.size() : -1;
    if (size)
        *size = n;
    return FirmwareImageSizeAcceptable(n);
}

bool CarriedFirmwareIsStandIn()
{
    return TALVEX_CARRIES_STANDIN != 0;
}
