#include "firmware/FirmwareImage.h"

#include <QFile>

#include <algorithm>
#include <mutex>

TIspBuffer IspBuffer{};
std::optional<QByteArray> ImageStream;

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

bool LoadFirmwareImageFrom(const QString &path)
{
    ImageStream.emplace();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // One byte more than the limit is enough to tell an oversized image.
    const QByteArray bytes = file.read(kFirmwareImageMaxBytes + 1);
    if (bytes.size() != file.size())
        return false;
    return LoadFirmwareImageBytes(bytes);
}

bool LoadFirmwareImageBytes(const QByteArray &bytes)
{
    ImageStream.emplace();
    if (!FirmwareImageSizeAcceptable(bytes.size()))
        return false;
    static_assert(size_t(kFirmwareImageMaxBytes) <= kIspImageAreaBytes);
    *ImageStream = bytes;
    std::copy(bytes.cbegin(), bytes.cend(), IspBuffer.begin() + kIspImageFirst);
    return true;
}

bool LoadFirmwareImage()
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
