#pragma once
#include <QByteArray>

#include <algorithm>
#include <cstdint>
#include <span>

// Whether the flash starts with the whole image.
inline bool FlashHolds(std::span<const uint8_t> flash, const QByteArray &image)
{
    const auto *bytes = reinterpret_cast<const uint8_t *>(image.constData());
    return flash.size() >= size_t(image.size()) && std::equal(bytes, bytes + image.size(), flash.begin());
}
