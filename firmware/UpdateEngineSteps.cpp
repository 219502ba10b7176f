// The update's steps beyond the window's, which the command line asks for: the
// ways into the bootloader, the flash size checked against the image, the unique
// ID, the read-back, and the stage a state belongs to.
#include "UpdateEngine.h"

#include "FirmwareImage.h"
#include "Isp.h"
#include "Stm32Protocol.h"
#include "UpdateEngineLayout.h"

#include <algorithm>

void TUpdateEngine::enterBootloader()
{
    switch (options_.bootEntry) {
    case TBootEntry::DtrRts:
        // Reset with BOOT0 held, then let the chip run into its bootloader.
        ComDriver.SetDtr(true);
        ComDriver.SetRts(true);
        clock_.sleep(Isp::kResetPulseMs);
        ComDriver.SetDtr(false);
        clock_.sleep(Isp::kBootSettleMs);
        break;
    case TBootEntry::Inverted:
        // An adapter whose transistor stages invert both lines needs the opposite levels.
        ComDriver.SetDtr(false);
        ComDriver.SetRts(false);
        clock_.sleep(Isp::kResetPulseMs);
        ComDriver.SetDtr(true);
        clock_.sleep(Isp::kBootSettleMs);
        break;
    case TBootEntry::Manual:
        // The operator holds BOOT0 and resets the module; the sync byte repeats until then.
        return;
    }
    if (ComDriver.ModemLinesRefused())
        emit modemLinesRefused();
}

TUpdateStage TUpdateEngine::StageOf(int32_t state) const
{
    switch (state) {
    case 2:
    case 3:
        return TUpdateStage::Identifying;
    case 4:
    case 5:
    case 6:
        return TUpdateStage::FlashSize;
    case kUniqueIdCommandState:
    case kUniqueIdAddressState:
    case kUniqueIdDataState:
        return TUpdateStage::UniqueId;
    case 7:
        return TUpdateStage::Erasing;
    case 8:
        // Waiting for the page list's ACK, or for the ACK of a block's data.
        return ImageOffset == 0 ? TUpdateStage::Erasing : TUpdateStage::Writing;
    case 9:
    case 10:
    case 11:
        return TUpdateStage::Writing;
    case kVerifyCommandState:
    case kVerifyAddressState:
    case kVerifyDataState:
        return TUpdateStage::Verifying;
    default:
        return TUpdateStage::Connecting;
    }
}

int TUpdateEngine::replyLength() const
{
    if (IspState <= kStates)
        return ReplyLength[IspState];
    switch (IspState) {
    case kUniqueIdDataState:
        return 1 + kUniqueIdBytes;  // ACK, then the bytes
    case kVerifyDataState:
        return 1 + verifyCount_;
    default:
        return 1;
    }
}

void TUpdateEngine::afterFlashSize()
{
    // The size word comes least significant byte first, after the ACK.
    flashSizeKiB_ = static_cast<uint16_t>(IspBuffer[kCmd + 1] | IspBuffer[kCmd + 2] << 8);
    if (options_.imageBytes >= 0) {
        const int64_t erasedBytes = (options_.imageBytes / kPageBytes + 1) * kPageBytes;
        if (erasedBytes > int64_t(flashSizeKiB_) * kPageBytes) {
            refuse(TUpdateCause::ImageTooLarge);
            return;
        }
    }
    if (options_.readUniqueId) {
        sendCommand(stm32::kCmdReadMemory);
        IspState = kUniqueIdCommandState;
        enterStage(TUpdateStage::UniqueId);
        return;
    }
    sendCommand(stm32::kCmdErase);
    IspState = 7;
    enterStage(TUpdateStage::Erasing);
}

void TUpdateEngine::sendReadCount(int count)
{
    IspBuffer[kCmd] = static_cast<uint8_t>(count - 1);
    IspBuffer[kCmd + 1] = static_cast<uint8_t>(~IspBuffer[kCmd]);
    send(&IspBuffer[kCmd], 2);
}

void TUpdateEngine::verifyNextBlock()
{
    const int32_t size = static_cast<int32_t>(ImageStream ? ImageStream->size() : 0);
    verifyCount_ = std::min<int32_t>(size - verifyOffset_, kMaxBlock);
    sendCommand(stm32::kCmdReadMemory);
    IspState = kVerifyCommandState;
}

bool TUpdateEngine::verifyBlock()
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

// A failure no further run mends: the run ends at once, the lines as they are.
void TUpdateEngine::refuse(TUpdateCause cause)
{
    failure_.stage = StageOf(IspState);
    failure_.cause = cause;
    emit runFailed(failure_);
    IspState = 1;
    setProgress(0);
    OvertimeT.stop();
    Timer5.stop();
    if (PortOpened)
        ComDriver.Close();
    emit finished(TUpdateOutcome::Refused);
}
