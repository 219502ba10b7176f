#include "app/cli/UpdateWording.h"

#include "firmware/Isp.h"
#include "firmware/stm32/Stm32Protocol.h"

namespace talvex::cli {

namespace {

QString Address(uint32_t address)
{
    return QStringLiteral("0x") + QStringLiteral("%1").arg(address, 8, 16, QLatin1Char('0')).toUpper();
}

QString Byte(uint8_t value)
{
    return QStringLiteral("0x") + QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
}

// The command a stage sends, for "the chip refused ...".
QString CommandOf(TUpdateStage stage)
{
    switch (stage) {
    case TUpdateStage::Identifying:
        return QStringLiteral("Get/Get ID");
    case TUpdateStage::FlashSize:
    case TUpdateStage::UniqueId:
    case TUpdateStage::Verifying:
    case TUpdateStage::Reading:
    case TUpdateStage::WriteProtection:
        return QStringLiteral("Read Memory");
    case TUpdateStage::Unprotecting:
        return QStringLiteral("Readout/Write Unprotect");
    case TUpdateStage::Protecting:
        return QStringLiteral("Readout Protect");
    case TUpdateStage::Erasing:
        return QStringLiteral("Erase");
    case TUpdateStage::Writing:
        return QStringLiteral("Write Memory");
    default:
        return QString();
    }
}

}  // namespace

QString StageText(TUpdateStage stage)
{
    switch (stage) {
    case TUpdateStage::Connecting:
        return QStringLiteral("waiting for the bootloader's answer to the sync byte");
    case TUpdateStage::Identifying:
        return QStringLiteral("identifying the chip");
    case TUpdateStage::FlashSize:
        return QStringLiteral("reading the flash size");
    case TUpdateStage::UniqueId:
        return QStringLiteral("reading the unique ID");
    case TUpdateStage::Erasing:
        return QStringLiteral("erasing");
    case TUpdateStage::Writing:
        return QStringLiteral("writing");
    case TUpdateStage::Verifying:
        return QStringLiteral("verifying");
    case TUpdateStage::Reading:
        return QStringLiteral("reading the flash");
    case TUpdateStage::WriteProtection:
        return QStringLiteral("reading the write protection");
    case TUpdateStage::Unprotecting:
        return QStringLiteral("removing the protection (the chip erases all of its flash)");
    case TUpdateStage::Protecting:
        return QStringLiteral("setting read-out protection");
    case TUpdateStage::Finishing:
        return QStringLiteral("restarting the module");
    }
    return QString();
}

QString StageName(TUpdateStage stage)
{
    switch (stage) {
    case TUpdateStage::Connecting:
        return QStringLiteral("connect");
    case TUpdateStage::Identifying:
        return QStringLiteral("identify");
    case TUpdateStage::FlashSize:
        return QStringLiteral("flash-size");
    case TUpdateStage::UniqueId:
        return QStringLiteral("unique-id");
    case TUpdateStage::Erasing:
        return QStringLiteral("erase");
    case TUpdateStage::Writing:
        return QStringLiteral("write");
    case TUpdateStage::Verifying:
        return QStringLiteral("verify");
    case TUpdateStage::Reading:
        return QStringLiteral("read");
    case TUpdateStage::WriteProtection:
        return QStringLiteral("write-protection");
    case TUpdateStage::Unprotecting:
        return QStringLiteral("unprotect");
    case TUpdateStage::Protecting:
        return QStringLiteral("protect");
    case TUpdateStage::Finishing:
        return QStringLiteral("finish");
    }
    return QString();
}

QString FailureText(const TUpdateFailure &f, qint64 imageBytes, int flashKiB, int firstPage, int lastPage)
{
    const bool refused = f.cause == TUpdateCause::Refused;
    switch (f.cause) {
    case TUpdateCause::ImageTooLarge: {
        const QString erase = firstPage == 0
                                  ? QStringLiteral("erasing %1 pages of 1 KiB").arg(lastPage + 1)
                                  : QStringLiteral("erasing pages %1 ... %2 of 1 KiB").arg(firstPage).arg(lastPage);
        return QStringLiteral("the image (%1 bytes, %2) does not fit the chip's flash (%3 KiB, %4 bytes); nothing "
                              "was erased")
            .arg(imageBytes)
            .arg(erase)
            .arg(flashKiB)
            .arg(qint64(flashKiB) * stm32::kPageBytes);
    }
    case TUpdateCause::WrongChip:
        return QStringLiteral("the chip answers product ID %1, not %2 of the module's family; nothing was erased "
                              "(--any-chip takes another chip all the same)")
            .arg(QStringLiteral("0x%1").arg(f.address, 4, 16, QLatin1Char('0')).toUpper().replace("0X", "0x"),
                 QStringLiteral("0x%1")
                     .arg(Isp::kModuleProductId, 4, 16, QLatin1Char('0'))
                     .toUpper()
                     .replace("0X", "0x"));
    case TUpdateCause::VerifyMismatch:
        return QStringLiteral("verify mismatch: flash at %1 holds %2, the image %3")
            .arg(Address(f.address), Byte(f.found), Byte(f.expected));
    case TUpdateCause::ImageNotLoaded:
        return QStringLiteral("the image could not be loaded for the erase");
    case TUpdateCause::ReadProtected:
        return QStringLiteral("the chip refuses Read Memory: its flash is read-protected; nothing was erased. "
                              "flash --unprotect removes the protection, and that erases all of the chip's flash, "
                              "the module's stored settings included (flash keeps them over Modbus unless "
                              "--discard-settings), then flashes");
    case TUpdateCause::WriteProtected:
        return QStringLiteral("page %1 is write-protected; nothing was erased (--unprotect removes the write "
                              "protection)")
            .arg(f.address);
    case TUpdateCause::NotProtected:
        return QStringLiteral("after Readout Protect the chip still answers Read Memory: its flash is not "
                              "read-protected");
    default:
        break;
    }
    switch (f.stage) {
    case TUpdateStage::Connecting:
        if (f.cause == TUpdateCause::NoAnswer)
            return QStringLiteral("no answer to the sync byte (check the BOOT0/reset wiring or use --boot-entry)");
        return QStringLiteral("the answer to the sync byte was not an ACK (another device on the line?)");
    case TUpdateStage::Erasing:
        return refused ? QStringLiteral("erase refused by the chip (write-protected pages?)")
                       : QStringLiteral("no acknowledged erase (%1)")
                             .arg(f.cause == TUpdateCause::NoAnswer ? "no answer" : "a garbled answer");
    case TUpdateStage::Writing:
        return refused
                   ? QStringLiteral("write refused at %1").arg(Address(f.address))
                   : QStringLiteral("no acknowledged write at %1 (%2)")
                         .arg(Address(f.address), f.cause == TUpdateCause::NoAnswer ? "no answer" : "a garbled answer");
    default:
        break;
    }
    if (refused)
        return QStringLiteral("the chip refused the %1 command while %2 (read-protected chip?)")
            .arg(CommandOf(f.stage), StageText(f.stage));
    return QStringLiteral("%1 while %2")
        .arg(f.cause == TUpdateCause::NoAnswer ? "no answer" : "an answer that fails its check", StageText(f.stage));
}

}  // namespace talvex::cli
