#pragma once
// What the update engine tells its faces as values, so that each face words it
// in its own language: the stage it is in, how far it got, and why a run failed.
// Also what a caller may ask of it beyond the window's update.
#include "firmware/Isp.h"
#include "firmware/stm32/Stm32Protocol.h"

#include <cstdint>
#include <vector>

// How the chip is put into its bootloader.
enum class TBootEntry {
    DtrRts,    // DTR and RTS both set, DTR released: the window's sequence
    Inverted,  // the same on an adapter whose stages invert both lines (the port's lines inverted)
    Manual,    // no line is touched: the operator holds BOOT0 and resets the module
};

// Steps of the update beyond the window's, all off by default.
struct TUpdateOptions {
    TBootEntry bootEntry = TBootEntry::DtrRts;
    // Reads the chip's 96-bit unique ID before the erase.
    bool readUniqueId = false;
    // Reads the written range back after the last block and compares it.
    bool verify = false;
    // The image's size, when known before the run: the run then ends before the
    // erase if the chip's flash (its size word) cannot take the pages the erase
    // of the image asks for. Negative: not checked.
    int64_t imageBytes = -1;
    // The waits of the line sequences, milliseconds: reset held with the boot pin
    // high, the bootloader's start after reset is released, and reset held with
    // the boot pin low when the module is restarted. The window's by default.
    uint32_t resetPulseMs = Isp::kResetPulseMs;
    uint32_t bootSettleMs = Isp::kBootSettleMs;
    uint32_t finishHoldMs = Isp::kFinishHoldMs;
    // Those waits and the chip's restart after a protection command by timer
    // instead of blocking the thread: the driver is asked to call back once the
    // time has passed, and meanwhile its event loop runs on, so that several
    // updates in one process enter their bootloaders at the same time. Off:
    // the window's blocking waits, to the millisecond.
    bool waitByTimer = false;
    // A NACK ends the run at once instead of waiting out its time-out; a NACK to
    // Read Memory (a read-protected chip) ends the start, as no further run mends it.
    bool endOnNack = false;
    // Where image byte 0 goes.
    uint32_t startAddress = stm32::kFlashBase;
    // The flash pages to erase, by number from the flash base; only the image's
    // bytes in them are written and read back, nothing else is touched. Empty:
    // the window's count, from page 0 the image's size div 1024 + 1 pages.
    std::vector<uint8_t> erasePages;
    // The product ID the chip must answer to Get ID; 0 takes any chip.
    uint16_t productId = 0;
    // Reads the flash out from startAddress instead of updating it (no erase, no
    // write): `readBytes` bytes, or up to the end of the chip's flash when 0.
    bool readOnly = false;
    int64_t readBytes = 0;
    // A chip that refuses the first Read Memory (its flash read-protected) is
    // unprotected instead of refused (see endOnNack) or waited out: Readout Unprotect, which erases all of
    // its flash (the module's settings page too) and restarts it; the run syncs
    // again and goes on with the update. Write protection of the pages to erase
    // is removed the same way (Write Unprotect).
    bool unprotect = false;
    // Reads the option bytes before the erase: a page to erase that is
    // write-protected ends the start there (or is unprotected, see above).
    bool checkWriteProtection = false;
    // After the last block and a read-back that matched (never otherwise):
    // Readout Protect, the chip restarts, the run syncs again and confirms that
    // a Read Memory is now refused.
    bool protect = false;
};

// Where an update is.
enum class TUpdateStage {
    Connecting,   // sync byte sent, waiting for the chip
    Identifying,  // Get and Get ID
    FlashSize,    // reading the flash-size word
    UniqueId,     // reading the unique ID
    Erasing,
    Writing,
    Verifying,
    Reading,          // a read-out of the flash, instead of an update
    WriteProtection,  // reading the option bytes for the pages' write protection
    Unprotecting,     // Readout or Write Unprotect, the chip's restart and the sync after it
    Protecting,       // Readout Protect, the restart, and the read that must be refused
    Finishing,        // the line sequence that restarts the chip
};

// Why a run ended without success.
enum class TUpdateCause {
    None,
    NoAnswer,        // nothing, or too little, came back in time
    Refused,         // the chip answered NACK
    BadReply,        // an answer that fails its check
    ImageNotLoaded,  // the image could not be loaded for the erase
    ImageTooLarge,   // the chip's flash cannot take the image
    VerifyMismatch,  // the read-back differs from the image
    ReadProtected,   // the chip refuses Read Memory: its flash is read-protected
    WrongChip,       // Get ID answered another product ID than the one asked for
    WriteProtected,  // pages to erase are write-protected (see TUpdateFailure::address)
    NotProtected,    // after Readout Protect the chip still reads its flash
};

// How a start of the update ended.
enum class TUpdateOutcome {
    Done,           // the last block was acknowledged
    LinkFailed,     // the last of the three runs timed out
    PortNotOpened,  // a run could not open the port; no further run follows
    Refused,        // the run ended on something no further run mends (see LastFailure)
};

// What the status line of a face reports, in the order a run meets them. The
// value that goes with a notice: the bootloader version for BootVersion, the
// percent written for Written, 0 elsewhere.
enum class TUpdateNotice {
    Searching,    // a run has sent its sync byte
    Connected,    // the sync byte was acknowledged
    BootVersion,  // the Get reply was taken
    NoContact,    // the answer to the sync byte ended in something other than an ACK
    Erasing,      // the page list went out
    Written,      // a block went out
    Done,         // the last block was acknowledged
    LinkFailed,   // a run timed out
};

struct TUpdateFailure {
    TUpdateStage stage = TUpdateStage::Connecting;
    TUpdateCause cause = TUpdateCause::None;
    // Writing: the block's flash address; Verifying: the first differing address;
    // WrongChip: the product ID the chip answered; WriteProtected: the first
    // write-protected page to erase.
    uint32_t address = 0;
    // Verifying: the byte written and the byte read there.
    uint8_t expected = 0;
    uint8_t found = 0;
};
