#pragma once
// The memory one update works in: the command/reply area and the image area of
// IspBuffer, and ImageStream, the copy of the image last loaded. Each update
// core owns one, as a simulated chip owns its flash, so that two updates on two
// ports in one process share nothing.
#include "firmware/FirmwareImage.h"

#include <QByteArray>

#include <memory>
#include <optional>

class TIspMemory {
public:
    // All zero, and no ImageStream yet.
    TIspMemory();

    // Positions count from 1 (IspBuffer[p] is position p); see FirmwareImage.h.
    TIspBuffer &IspBuffer() { return *buffer_; }
    const TIspBuffer &IspBuffer() const { return *buffer_; }
    // Empty optional before the first load; an empty image after a failed one.
    const std::optional<QByteArray> &ImageStream() const { return imageStream_; }

    // Takes what a loader returned: a new ImageStream holding it, and the image
    // area from position kIspImageFirst on. Without an image (or one too large
    // for the area) false: ImageStream is then empty and the image area stays
    // as it was.
    bool Load(const std::optional<QByteArray> &image);

private:
    // A mebibyte: on the heap, wherever its owner lives.
    std::unique_ptr<TIspBuffer> buffer_;
    std::optional<QByteArray> imageStream_;
};
