#pragma once
// An image file as talvex-cli takes it for `flash` and a station for its recipe: read by its content, not by
// its name. Intel HEX is placed by its addresses, a raw binary from the flash
// base or where the caller places it; an ELF file and anything else are refused
// with the reason.
#include "firmware/stm32/Stm32Protocol.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

struct ImageFile {
    // From `start` to the last byte given, holes filled with the erased value.
    QByteArray bytes;
    QString format;  // "intel-hex" or "binary"
    uint32_t start = stm32::kFlashBase;
    // The flash pages, numbered from the flash base, that hold bytes of the
    // image: the only ones its update erases, writes and reads back.
    std::vector<uint8_t> pages;
    QString fileSha256;  // of the file as given, as sha256sum prints it
};

// A raw binary's place: `start` (a page's first byte) instead of the flash
// base. False with the reason when the image would run past the flash an image may fill.
bool PlaceBinary(ImageFile &image, uint32_t start, QString &error);

// False with a one-line reason when the file is refused.
bool ReadImageFile(const QString &path, ImageFile &image, QString &error);

// The same for content already read; `name` is used in the reasons.
bool DecodeImage(const QByteArray &content, const QString &name, ImageFile &image, QString &error);
