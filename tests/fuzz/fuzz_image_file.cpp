// An image file as flash reads it: whatever a file holds, the decoder either
// refuses it with a reason or returns an image the update can write, without
// reading or writing out of bounds.
#include "firmware/ImageFile.h"
#include "tests/fuzz/FuzzSupport.h"

#include "firmware/FirmwareImage.h"

#include <QByteArray>
#include <QString>

int TalvexFuzzOne(const uint8_t *data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    ImageFile image;
    QString error;
    const bool taken = DecodeImage(content, QStringLiteral("fuzz.hex"), image, error);
    if (!taken) {
        FUZZ_CHECK(!error.isEmpty());
        FUZZ_CHECK(image.bytes.isEmpty());
        return 0;
    }
    FUZZ_CHECK(FirmwareImageSizeAcceptable(image.bytes.size()));
    if (image.format == QLatin1String("binary")) {
        FUZZ_CHECK(image.bytes == content);  // a raw image goes out as it is
    } else {
        FUZZ_CHECK(image.format == QLatin1String("intel-hex"));
        FUZZ_CHECK(content.trimmed().startsWith(':') || content.startsWith("\xEF\xBB\xBF"));
    }
    return 0;
}
