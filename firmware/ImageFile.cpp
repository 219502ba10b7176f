#include "firmware/ImageFile.h"

#include "firmware/Hex.h"
#include "firmware/FirmwareImage.h"
#include "firmware/stm32/Stm32Protocol.h"

#include <QCryptographicHash>
#include <QFile>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <vector>

namespace {

// Record types of Intel HEX that a flash image may use.
enum RecordType : uint8_t {
    kData = 0x00,
    kEndOfFile = 0x01,
    kSegmentAddress = 0x02,  // base = value * 16
    kLinearAddress = 0x04,   // base = value << 16
    kStartLinear = 0x05,     // the program's entry point: not flash content
};
constexpr int kRecordHeaderBytes = 4;
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";  // length, address (2), type
constexpr size_t kPage = stm32::kPageBytes;
constexpr int kSegmentShift = 4;
constexpr int kLinearShift = 16;
// An image file is read whole; a HEX file takes a little over twice the image's
// bytes, so anything beyond this cannot become an acceptable image.
constexpr qint64 kMaxFileBytes = 4 * kFirmwareImageMaxBytes + 65536;

bool IsTextByte(uint8_t b)
{
    return b == '\n' || b == '\r' || b == '\t' || (b >= 0x20 && b < 0x7F);
}

bool LooksLikeText(const QByteArray &content)
{
    for (char c : content)
        if (!IsTextByte(static_cast<uint8_t>(c)))
            return false;
    return true;
}

class HexReader {
public:
    HexReader(const QString &name, QString &error) : name_(name), error_(error) {}

    bool read(const QByteArray &content, ImageFile &image)
    {
        const QList<QByteArray> lines = content.split('\n');
        bool ended = false;
        for (int n = 0; n < lines.size(); ++n) {
            line_ = n + 1;
            const QByteArray text = lines[n].trimmed();
            if (text.isEmpty())
                continue;
            if (ended)
                return fail(QStringLiteral("data after the end-of-file record"));
            if (!record(text, ended))
                return false;
        }
        if (!ended) {
            line_ = 0;
            return fail(QStringLiteral("no end-of-file record (type 01): the file is cut short"));
        }
        if (top_ == 0) {
            line_ = 0;
            return fail(QStringLiteral("no data records"));
        }
        // From the lowest address given: nothing below it is the image's.
        image.start = stm32::kFlashBase + uint32_t(low_);
        image.bytes = QByteArray(reinterpret_cast<const char *>(flash_.data() + low_), qsizetype(top_ - low_));
        image.pages.clear();
        for (size_t page = low_ / kPage; page * kPage < top_; ++page) {
            const auto from = given_.begin() + std::ptrdiff_t(page * kPage);
            const auto to = given_.begin() + std::ptrdiff_t(std::min(top_, (page + 1) * kPage));
            if (std::find(from, to, true) != to)
                image.pages.push_back(uint8_t(page));
        }
        return true;
    }

private:
    bool fail(const QString &why)
    {
        error_ = line_ > 0 ? QStringLiteral("%1, line %2: %3").arg(name_).arg(line_).arg(why)
                           : QStringLiteral("%1: %2").arg(name_, why);
        return false;
    }

    bool record(const QByteArray &text, bool &ended)
    {
        if (text[0] != ':')
            return fail(QStringLiteral("not an Intel HEX record (no ':' at the start)"));
        const QByteArray digits = text.mid(1);
        if (digits.size() % 2 != 0 || digits.size() < 2 * (kRecordHeaderBytes + 1))
            return fail(QStringLiteral("record too short or with an odd number of digits"));
        for (char c : digits)
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return fail(QStringLiteral("'%1' is not a hexadecimal digit").arg(QChar(c)));
        const QByteArray bytes = QByteArray::fromHex(digits);
        const auto at = [&](int i) { return static_cast<uint8_t>(bytes[i]); };
        const int length = at(0);
        if (bytes.size() != kRecordHeaderBytes + length + 1)
            return fail(QStringLiteral("length byte says %1 data bytes, the record holds %2")
                            .arg(length)
                            .arg(bytes.size() - kRecordHeaderBytes - 1));
        uint8_t sum = 0;
        for (char b : bytes)
            sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(b));
        if (sum != 0)
            return fail(QStringLiteral("checksum wrong (%1 given)").arg(Hex(at(bytes.size() - 1), 2)));
        const uint32_t offset = uint32_t(at(1)) << 8 | at(2);
        const uint8_t type = at(3);
        const uint8_t *data = reinterpret_cast<const uint8_t *>(bytes.constData()) + kRecordHeaderBytes;
        switch (type) {
        case kData:
            return place(base_ + offset, data, length);
        case kEndOfFile:
            ended = true;
            return true;
        case kSegmentAddress:
        case kLinearAddress:
            if (length != 2)
                return fail(QStringLiteral("address record with %1 data bytes, not 2").arg(length));
            base_ = (uint32_t(data[0]) << 8 | data[1]) << (type == kSegmentAddress ? kSegmentShift : kLinearShift);
            return true;
        case kStartLinear:
            return true;  // where the program starts: no flash content
        default:
            return fail(
                QStringLiteral("record type %1 is not one a flash image uses").arg(type, 2, 16, QLatin1Char('0')));
        }
    }

    bool place(uint32_t address, const uint8_t *data, int length)
    {
        constexpr uint32_t kBase = stm32::kFlashBase;
        constexpr uint32_t kEnd = kBase + uint32_t(kFirmwareImageMaxBytes);
        if (length == 0)
            return true;
        const uint32_t last = address + uint32_t(length) - 1;
        if (address < kBase || last >= kEnd || last < address)
            return fail(QStringLiteral("data at %1 ... %2 lie outside the flash an image may fill (%3 ... %4)")
                            .arg(Hex(address), Hex(last), Hex(kBase), Hex(kEnd - 1)));
        const uint32_t from = address - kBase;
        if (flash_.size() < from + uint32_t(length)) {
            flash_.resize(from + uint32_t(length), stm32::kErasedByte);
            given_.resize(flash_.size(), false);
        }
        for (int i = 0; i < length; ++i) {
            if (given_[from + i] && flash_[from + i] != data[i])
                return fail(QStringLiteral("%1 is given twice with different values").arg(Hex(address + i)));
            flash_[from + i] = data[i];
            given_[from + i] = true;
        }
        top_ = std::max<size_t>(top_, from + uint32_t(length));
        low_ = std::min<size_t>(low_, from);
        return true;
    }

    const QString &name_;
    QString &error_;
    int line_ = 0;
    uint32_t base_ = 0;
    size_t top_ = 0;
    size_t low_ = SIZE_MAX;
    std::vector<uint8_t> flash_;
    std::vector<bool> given_;
};

}  // namespace

bool DecodeImage(const QByteArray &content, const QString &name, ImageFile &image, QString &error)
{
    image = {};
    if (content.isEmpty()) {
        error = QStringLiteral("%1 is empty").arg(name);
        return false;
    }
    if (content.startsWith("\x7F"
                           "ELF")) {
        error = QStringLiteral("%1 is an ELF file, not a flash image; make one with "
                               "\"objcopy -O binary %1 image.bin\" (or -O ihex for Intel HEX)")
                    .arg(name);
        return false;
    }
    // An editor may have put a byte-order mark before the first record.
    const QByteArray text = content.startsWith(kUtf8Bom) ? content.mid(int(sizeof kUtf8Bom) - 1) : content;
    const bool hexStart = text.trimmed().startsWith(':');
    if (hexStart && !LooksLikeText(text)) {
        // No machine code starts with ':' (the stack pointer's low byte is word-aligned).
        error = QStringLiteral("%1 starts like Intel HEX but holds bytes no Intel HEX file has").arg(name);
        return false;
    }
    if (hexStart) {
        if (!HexReader(name, error).read(text, image))
            return false;
        image.format = QStringLiteral("intel-hex");
    } else if (LooksLikeText(content)) {
        // A raw image of machine code holds bytes no text file has: this is text
        // (S-records, a listing, a README), and writing it would write its letters.
        error =
            QStringLiteral("%1 is a text file, not Intel HEX (which starts with ':') nor a raw binary image").arg(name);
        return false;
    } else {
        image.bytes = content;
        image.format = QStringLiteral("binary");
        if (FirmwareImageSizeAcceptable(content.size()) && !PlaceBinary(image, stm32::kFlashBase, error))
            return false;
    }
    if (!FirmwareImageSizeAcceptable(image.bytes.size())) {
        error = QStringLiteral("%1: the image has %2 bytes; an image has %3 ... %4")
                    .arg(name)
                    .arg(image.bytes.size())
                    .arg(kFirmwareImageMinBytes)
                    .arg(kFirmwareImageMaxBytes);
        return false;
    }
    return true;
}

bool ReadImageFile(const QString &path, ImageFile &image, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    if (file.size() > kMaxFileBytes) {
        error = QStringLiteral("%1 has %2 bytes, too many for any image (at most %3 bytes of flash)")
                    .arg(path)
                    .arg(file.size())
                    .arg(kFirmwareImageMaxBytes);
        return false;
    }
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    if (!DecodeImage(content, path, image, error))
        return false;
    image.fileSha256 = QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
    return true;
}

bool PlaceBinary(ImageFile &image, uint32_t start, QString &error)
{
    const qint64 end = qint64(start) - qint64(stm32::kFlashBase) + image.bytes.size();
    if (start < stm32::kFlashBase || end > kFirmwareImageMaxBytes) {
        error = QStringLiteral("%1 bytes at %2 run past %3, the end of the flash an image may fill")
                    .arg(image.bytes.size())
                    .arg(Hex(start), Hex(stm32::kFlashBase + uint32_t(kFirmwareImageMaxBytes) - 1));
        return false;
    }
    image.start = start;
    image.pages.clear();
    for (qint64 page = (start - stm32::kFlashBase) / kPage; page * qint64(kPage) < end; ++page)
        image.pages.push_back(uint8_t(page));
    return true;
}
