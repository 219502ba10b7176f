// The update's steps beyond the window's, which the command line asks for: the
// ways into the bootloader, the flash size checked against the image, the unique
// ID, the read-back, and the chip's read and write protection.
#include "firmware/UpdateCore.h"

#include "firmware/FirmwareImage.h"
#include "firmware/Isp.h"
#include "firmware/UpdateCoreLayout.h"
#include "firmware/stm32/Stm32Protocol.h"

#include <algorithm>

void TUpdateCore::enterBootloader(std::function<void()> then)
{
    // The operator holds BOOT0 and resets the module; the sync byte repeats until then.
    if (options_.bootEntry == TBootEntry::Manual) {
        then();
        return;
    }
    // Reset with BOOT0 held, then let the chip run into its bootloader. The
    // port knows whether its adapter inverts the lines.
    ComDriver.SetDtr(true);
    ComDriver.SetRts(true);
    bootEntered_ = true;
    waitThen(options_.resetPulseMs, [this, then = std::move(then)] {
        ComDriver.SetDtr(false);
        waitThen(options_.bootSettleMs, [this, then] {
            if (ComDriver.ModemLinesRefused())
                events_.onModemLinesRefused();
            then();
        });
    });
}

TUpdateCore::State TUpdateCore::afterFlashSize(State next)
{
    // The size word comes least significant byte first, after the ACK.
    flashSizeKiB_ = static_cast<uint16_t>(IspBuffer[kCmd + 1] | IspBuffer[kCmd + 2] << 8);
    if (options_.readOnly) {
        // What the read covers must lie in the chip's flash and fit the image area.
        const int64_t from = int64_t(options_.startAddress) - stm32::kFlashBase;
        const int64_t flashBytes = int64_t(flashSizeKiB_) * kPageBytes;
        const int64_t bytes = options_.readBytes > 0 ? options_.readBytes : flashBytes - from;
        if (from < 0 || bytes <= 0 || from + bytes > flashBytes || bytes > int64_t(kIspImageAreaBytes)) {
            refuse(TUpdateCause::ImageTooLarge);
            return kStayPut;
        }
        readSize_ = int32_t(bytes);
        if (!options_.readUniqueId)
            return startReadOut();
    } else if (options_.imageBytes >= 0) {
        // The end of the highest page the erase asks for, from the flash base.
        const int64_t erasedBytes =
            options_.erasePages.empty()
                ? (options_.imageBytes / kPageBytes + 1) * kPageBytes
                : (int64_t(*std::max_element(options_.erasePages.begin(), options_.erasePages.end())) + 1) * kPageBytes;
        if (erasedBytes > int64_t(flashSizeKiB_) * kPageBytes) {
            refuse(TUpdateCause::ImageTooLarge);
            return kStayPut;
        }
    }
    if (options_.checkWriteProtection && !options_.readOnly) {
        sendCommand(stm32::kCmdReadMemory);
        return State::OptionBytesCommand;
    }
    return towardsErase(next);
}

TUpdateCore::State TUpdateCore::towardsErase(State eraseState)
{
    if (options_.readUniqueId) {
        sendCommand(stm32::kCmdReadMemory);
        return State::UniqueIdCommand;
    }
    sendCommand(stm32::kCmdErase);
    return eraseState;
}

TUpdateCore::State TUpdateCore::takeUniqueId(State next)
{
    static const char kHex[] = "0123456789ABCDEF";
    uniqueId_.clear();
    for (int i = 0; i < kUniqueIdBytes; ++i) {
        const uint8_t b = IspBuffer[kCmd + 1 + i];
        uniqueId_ += kHex[b >> 4];
        uniqueId_ += kHex[b & 0x0F];
    }
    if (options_.readOnly)
        return startReadOut();
    sendCommand(stm32::kCmdErase);
    return next;
}

int TUpdateCore::pageCountToErase() const
{
    return options_.erasePages.empty() ? imageSize() / kPageBytes + 1 : int(options_.erasePages.size());
}

bool TUpdateCore::erasedAt(int32_t offset) const
{
    // The window's count covers every byte of the image.
    if (options_.erasePages.empty())
        return true;
    const uint32_t page = (options_.startAddress - stm32::kFlashBase + uint32_t(offset)) / uint32_t(kPageBytes);
    return page < erasedPage_.size() && erasedPage_[page];
}

int32_t TUpdateCore::nextErased(int32_t offset) const
{
    const int32_t size = imageSize();
    while (offset < size && !erasedAt(offset)) {
        // On to the start of the next page.
        const uint32_t at = options_.startAddress - stm32::kFlashBase + uint32_t(offset);
        offset += int32_t(uint32_t(kPageBytes) - at % uint32_t(kPageBytes));
    }
    return std::min(offset, size);
}

int32_t TUpdateCore::erasedRunEnd(int32_t offset) const
{
    const int32_t size = imageSize();
    while (offset < size && erasedAt(offset)) {
        const uint32_t at = options_.startAddress - stm32::kFlashBase + uint32_t(offset);
        offset += int32_t(uint32_t(kPageBytes) - at % uint32_t(kPageBytes));
    }
    return std::min(offset, size);
}

void TUpdateCore::skipToErased()
{
    const int32_t skipped = nextErased(imageOffset_) - imageOffset_;
    imageOffset_ += skipped;
    bytesLeft_ -= skipped;
    writeAddress_ += static_cast<uint32_t>(skipped);
}

TUpdateCore::State TUpdateCore::verifyStep(State next)
{
    if (!verifyBlock())
        return kStayPut;
    verifyOffset_ = nextErased(verifyOffset_ + verifyCount_);
    const int32_t size = imageSize();
    enterStage(options_.readOnly ? TUpdateStage::Reading : TUpdateStage::Verifying,
               size > 0 ? verifyOffset_ * 100 / size : 100);
    if (verifyOffset_ >= size) {
        verified_ = true;
        // Protection goes on only over flash that is known to hold the image.
        return options_.protect && !options_.readOnly ? startProtect() : finish();
    }
    verifyNextBlock();
    return next;
}

void TUpdateCore::verifyNextBlock()
{
    verifyOffset_ = nextErased(verifyOffset_);
    verifyCount_ = std::min<int32_t>(
        {imageSize() - verifyOffset_, kMaxBlock, erasedRunEnd(verifyOffset_) - verifyOffset_});
    sendCommand(stm32::kCmdReadMemory);
}

TUpdateCore::State TUpdateCore::startReadOut()
{
    verifyOffset_ = 0;
    enterStage(TUpdateStage::Reading, 0);
    verifyNextBlock();
    return State::VerifyCommand;
}

const uint8_t *TUpdateCore::ReadOut() const
{
    return &IspBuffer[kIspImageFirst];
}

bool TUpdateCore::verifyBlock()
{
    // The data follow the ACK; the image area still holds what was written.
    const uint8_t *read = &IspBuffer[kCmd + 1];
    uint8_t *image = &IspBuffer[kIspImageFirst + static_cast<size_t>(verifyOffset_)];
    // A read-out keeps what it read, where an update keeps its image.
    if (options_.readOnly) {
        std::copy_n(read, verifyCount_, image);
        return true;
    }
    const auto [at, _] = std::mismatch(image, image + verifyCount_, read);
    if (at == image + verifyCount_)
        return true;
    const auto i = static_cast<int32_t>(at - image);
    failure_.address = options_.startAddress + static_cast<uint32_t>(verifyOffset_ + i);
    failure_.expected = image[i];
    failure_.found = read[i];
    refuse(TUpdateCause::VerifyMismatch);
    return false;
}

// A failure no further run mends: the run ends at once and the module restarts.
void TUpdateCore::refuse(TUpdateCause cause)
{
    failure_.stage = StageOf(state_);
    failure_.cause = cause;
    events_.onRunFailed(failure_);
    endRun(TUpdateOutcome::Refused, false);
}

void TUpdateCore::nacked()
{
    if (unprotectOnRefusedRead() || !options_.endOnNack)
        return;
    // A chip whose flash is read-protected refuses every Read Memory: no further
    // run reads more. Any other NACK ends this run now, as its time-out would.
    const bool readRefused = state_ == State::FlashSizeCommand || state_ == State::UniqueIdCommand ||
                             state_ == State::VerifyCommand;
    if (readRefused) {
        foundReadProtected_ = foundReadProtected_ || state_ == State::FlashSizeCommand;
        refuse(TUpdateCause::ReadProtected);
        return;
    }
    overtimeCount_ = Isp::kOvertimeLimit;
    timeOutTick();
}

// Only the first Read Memory (the flash size) tells a read-protected chip from
// one that answers: nothing has been erased by then.
bool TUpdateCore::unprotectOnRefusedRead()
{
    if (state_ != State::FlashSizeCommand || !options_.unprotect)
        return false;
    foundReadProtected_ = true;
    // A chip still protected after its Readout Unprotect will not be mended by another.
    if (unprotected_) {
        refuse(TUpdateCause::ReadProtected);
        return true;
    }
    overtimeCount_ = 0;
    sendCommand(stm32::kCmdReadoutUnprotect);
    moveTo(State::UnprotectAcks);
    return true;
}

TUpdateCore::State TUpdateCore::afterOptionBytes(State next)
{
    // WRP0 ... WRP3, each followed by its complement, after the ACK.
    const uint8_t *options = &IspBuffer[kCmd + 1];
    writeProtectedPages_.clear();
    std::vector<uint8_t> pages = options_.erasePages;
    if (pages.empty() && options_.imageBytes >= 0)
        for (int64_t p = 0; p <= options_.imageBytes / kPageBytes && p <= 0xFF; ++p)
            pages.push_back(uint8_t(p));
    for (const uint8_t page : pages) {
        const int bit = page / Isp::kPagesPerWrpBit;
        if (bit >= Isp::kWrpBytes * 8)
            continue;
        if ((options[Isp::kWrpFirstOffset + 2 * (bit / 8)] & (1 << (bit % 8))) == 0)
            writeProtectedPages_.push_back(page);
    }
    if (writeProtectedPages_.empty())
        return towardsErase(next);
    if (options_.unprotect && !writeUnprotected_) {
        sendCommand(stm32::kCmdWriteUnprotect);
        return State::WriteUnprotectAcks;
    }
    failure_.address = writeProtectedPages_.front();
    refuse(TUpdateCause::WriteProtected);
    return kStayPut;
}

TUpdateCore::State TUpdateCore::restartedSync(State next)
{
    if (state_ == State::UnprotectAcks)
        unprotected_ = true;
    else if (state_ == State::WriteUnprotectAcks)
        writeUnprotected_ = true;
    // The chip restarts with its new option bytes; the boot pin is still held,
    // so it comes back in its bootloader and waits for a sync byte.
    waitThen(Isp::kOptionRestartMs, [this] { sendSync(); });
    return next;
}

TUpdateCore::State TUpdateCore::afterResync(State next)
{
    // After an unprotect the update goes on from the flash-size read; after
    // Readout Protect a read must now be refused.
    sendCommand(stm32::kCmdReadMemory);
    return next;
}

TUpdateCore::State TUpdateCore::startProtect()
{
    sendCommand(stm32::kCmdReadoutProtect);
    return State::ProtectAcks;
}

TUpdateCore::State TUpdateCore::checkRefused(State)
{
    if (IspBuffer[kCmd] != stm32::kNack) {
        refuse(TUpdateCause::NotProtected);
        return kStayPut;
    }
    protected_ = true;
    return finish();
}
