#include "firmware/UpdateWording.h"

#include "firmware/Hex.h"
#include "firmware/Isp.h"
#include "firmware/stm32/Stm32Protocol.h"

#include <iterator>

namespace talvex::update {

namespace {

// What the command line says of each stage, in TUpdateStage's order.
struct StageWords {
    TUpdateStage stage;
    const char *name;     // in a JSON error
    const char *text;     // on a progress line, and in "... while <text>"
    const char *command;  // the command it sends, for "the chip refused the ... command"
    bool percent;         // its progress line carries the percent done
};

constexpr StageWords kStageWords[] = {
    {TUpdateStage::Connecting, "connect", "waiting for the bootloader's answer to the sync byte", "", false},
    {TUpdateStage::Identifying, "identify", "identifying the chip", "Get/Get ID", false},
    {TUpdateStage::FlashSize, "flash-size", "reading the flash size", "Read Memory", false},
    {TUpdateStage::UniqueId, "unique-id", "reading the unique ID", "Read Memory", false},
    {TUpdateStage::Erasing, "erase", "erasing", "Erase", false},
    {TUpdateStage::Writing, "write", "writing", "Write Memory", true},
    {TUpdateStage::Verifying, "verify", "verifying", "Read Memory", true},
    {TUpdateStage::Reading, "read", "reading the flash", "Read Memory", true},
    {TUpdateStage::WriteProtection, "write-protection", "reading the write protection", "Read Memory", false},
    {TUpdateStage::Unprotecting, "unprotect", "removing the protection (the chip erases all of its flash)",
     "Readout/Write Unprotect", false},
    {TUpdateStage::Protecting, "protect", "setting read-out protection", "Readout Protect", false},
    {TUpdateStage::Finishing, "finish", "restarting the module", "", false},
};

constexpr bool InStageOrder()
{
    for (size_t i = 0; i < std::size(kStageWords); ++i)
        if (int(kStageWords[i].stage) != int(i))
            return false;
    return true;
}
static_assert(InStageOrder() && std::size(kStageWords) == size_t(TUpdateStage::Finishing) + 1);

const StageWords &WordsOf(TUpdateStage stage)
{
    const auto i = size_t(stage);
    return kStageWords[i < std::size(kStageWords) ? i : 0];
}

}  // namespace

QString StageText(TUpdateStage stage)
{
    return QString::fromLatin1(WordsOf(stage).text);
}

QString StageName(TUpdateStage stage)
{
    return QString::fromLatin1(WordsOf(stage).name);
}

bool StageCountsPercent(TUpdateStage stage)
{
    return WordsOf(stage).percent;
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
            .arg(Hex(f.address, 4), Hex(Isp::kModuleProductId, 4));
    case TUpdateCause::VerifyMismatch:
        return QStringLiteral("verify mismatch: flash at %1 holds %2, the image %3")
            .arg(Hex(f.address), Hex(f.found, 2), Hex(f.expected, 2));
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
        return refused ? QStringLiteral("write refused at %1").arg(Hex(f.address))
                       : QStringLiteral("no acknowledged write at %1 (%2)")
                             .arg(Hex(f.address), f.cause == TUpdateCause::NoAnswer ? "no answer" : "a garbled answer");
    default:
        break;
    }
    if (refused)
        return QStringLiteral("the chip refused the %1 command while %2 (read-protected chip?)")
            .arg(QString::fromLatin1(WordsOf(f.stage).command), StageText(f.stage));
    return QStringLiteral("%1 while %2")
        .arg(f.cause == TUpdateCause::NoAnswer ? "no answer" : "an answer that fails its check", StageText(f.stage));
}

}  // namespace talvex::update
