#include "firmware/IspMemory.h"

#include <algorithm>

TIspMemory::TIspMemory() : buffer_(std::make_unique<TIspBuffer>()) {}

bool TIspMemory::Load(const std::optional<QByteArray> &image)
{
    imageStream_.emplace();
    if (!image || !FirmwareImageSizeAcceptable(image->size()))
        return false;
    static_assert(size_t(kFirmwareImageMaxBytes) <= kIspImageAreaBytes);
    *imageStream_ = *image;
    std::copy(image->cbegin(), image->cend(), buffer_->begin() + kIspImageFirst);
    return true;
}
