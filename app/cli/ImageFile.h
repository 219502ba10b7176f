#pragma once
// An image file as talvex-cli takes it for `flash`: read by its content, not by
// its name. Intel HEX is placed by its addresses, a raw binary is taken as it
// is; an ELF file and anything else are refused with the reason.
#include <QByteArray>
#include <QString>

namespace talvex::cli {

struct ImageFile {
    QByteArray bytes;  // the flash image from the flash base, holes filled with the erased value
    QString format;    // "intel-hex" or "binary"
};

// False with a one-line reason when the file is refused.
bool ReadImageFile(const QString &path, ImageFile &image, QString &error);

// The same for content already read; `name` is used in the reasons.
bool DecodeImage(const QByteArray &content, const QString &name, ImageFile &image, QString &error);

}  // namespace talvex::cli
