// The update's steps beyond the window's, which the command line asks for: the
// ways into the bootloader, the flash size checked against the image, the unique
// ID and the read-back.
#include "firmware/UpdateCore.h"

#include "firmware/FirmwareImage.h"
#include "firmware/Isp.h"
#include "firmware/UpdateCoreLayout.h"
#include "firmware/stm32/Stm32Protocol.h"

#include <algorithm>

void TUpdateCore::enterBootloader()
{
    // The operator holds BOOT0 and resets the module; the sync byte repeats until then.
    if (options_.bootEntry == TBootEntry::Manual)
        return;
    // Reset with BOOT0 held, then let the chip run into its bootloader. The
    // port knows whether its adapter inverts the lines.
    ComDriver.SetDtr(true);
    ComDriver.SetRts(true);
    bootEntered_ = true;
    sleep(options_.resetPulseMs);
    ComDriver.SetDtr(false);
    sleep(options_.bootSettleMs);
    if (ComDriver.ModemLinesRefused())
        events_.onModemLinesRefused();
}

int32_t TUpdateCore::afterFlashSize(int32_t next)
{
    // The size word comes least significant byte first, after the ACK.
    flashSizeKiB_ = static_cast<uint16_t>(IspBuffer[kCmd + 1] | IspBuffer[kCmd + 2] << 8);
    if (options_.imageBytes >= 0) {
        const int64_t erasedBytes = (options_.imageBytes / kPageBytes + 1) * kPageBytes;
        if (erasedBytes > int64_t(flashSizeKiB_) * kPageBytes) {
            refuse(TUpdateCause::ImageTooLarge);
            return kStayPut;
        }
    }
    if (options_.readUniqueId) {
        sendCommand(stm32::kCmdReadMemory);
        return kUniqueIdCommandState;
    }
    sendCommand(stm32::kCmdErase);
    return next;
}

int32_t TUpdateCore::takeUniqueId(int32_t next)
{
    static const char kHex[] = "0123456789ABCDEF";
    uniqueId_.clear();
    for (int i = 0; i < kUniqueIdBytes; ++i) {
        const uint8_t b = IspBuffer[kCmd + 1 + i];
        uniqueId_ += kHex[b >> 4];
        uniqueId_ += kHex[b & 0x0F];
    }
    sendCommand(stm32::kCmdErase);
    return next;
}

int32_t TUpdateCore::verifyStep(int32_t next)
{
    if (!verifyBlock())
        return kStayPut;
    verifyOffset_ += verifyCount_;
    const int32_t size = imageSize();
    enterStage(TUpdateStage::Verifying, size > 0 ? verifyOffset_ * 100 / size : 100);
    if (verifyOffset_ >= size) {
        verified_ = true;
        return finish();
    }
    verifyNextBlock();
    return next;
}

void TUpdateCore::verifyNextBlock()
{
    verifyCount_ = std::min<int32_t>(imageSize() - verifyOffset_, kMaxBlock);
    sendCommand(stm32::kCmdReadMemory);
}

bool TUpdateCore::verifyBlock()
{
    // The data follow the ACK; the image area still holds what was written.
    const uint8_t *read = &IspBuffer[kCmd + 1];
    const uint8_t *image = &IspBuffer[kIspImageFirst + static_cast<size_t>(verifyOffset_)];
    const auto [at, _] = std::mismatch(image, image + verifyCount_, read);
    if (at == image + verifyCount_)
        return true;
    const auto i = static_cast<int32_t>(at - image);
    failure_.address = stm32::kFlashBase + static_cast<uint32_t>(verifyOffset_ + i);
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
    endRun(false, TUpdateOutcome::Refused);
}

void TUpdateCore::nacked()
{
    if (!options_.endOnNack)
        return;
    // A chip whose flash is read-protected refuses every Read Memory: no further
    // run reads more. Any other NACK ends this run now, as its time-out would.
    const bool readRefused = state_ == 4 || state_ == kUniqueIdCommandState || state_ == kVerifyCommandState;
    if (readRefused) {
        refuse(TUpdateCause::ReadProtected);
        return;
    }
    overtimeCount_ = Isp::kOvertimeLimit;
    timeOutTick();
}
