// The update's protection states: a read-protected chip refused before anything
// changes, or unprotected (all of its flash erased, the chip restarted and synced
// again) and then updated; read-out protection set only after a matching
// read-back and confirmed by a refused read; write-protected pages named, and
// unprotected on request. Each state on the platform double, and whole starts on
// the simulated chip.
#include "firmware/Isp.h"
#include "firmware/stm32/Stm32Protocol.h"
#include "serial/PortNames.h"
#include "sim/bootloader/Stm32MemoryMap.h"
#include "tests/support/Bytes.h"
#include "tests/support/EngineOnChip.h"
#include "tests/support/UpdateEngineHarness.h"

#include <QtTest>

Q_DECLARE_METATYPE(TUpdateOutcome)
Q_DECLARE_METATYPE(TUpdateCause)
Q_DECLARE_METATYPE(TUpdateOptions)

namespace {

constexpr int kImageBytes = 1500;  // pages 0 and 1
constexpr uint8_t kOldProgram = 0x5A;
constexpr uint8_t kSettingsByte = 0xA7;
constexpr uint32_t kSettingsPage = stm32::kPageCount - 1;  // where the module keeps its settings

TUpdateOptions Flash(bool unprotect, bool protect, bool verify = true)
{
    TUpdateOptions o;
    o.verify = verify;
    o.imageBytes = kImageBytes;
    o.endOnNack = true;
    o.checkWriteProtection = true;
    o.unprotect = unprotect;
    o.protect = protect;
    return o;
}

// Option bytes after their ACK: RDP, USER, two data bytes, WRP0 ... WRP3, each
// with its complement. `wrp0` protects pages 0 ... 3 when its bit 0 is clear.
Bytes OptionBytes(uint8_t wrp0)
{
    Bytes b{0x79, 0xA5, 0x5A, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, wrp0, uint8_t(~wrp0)};
    for (int i = 0; i < 3; ++i) {
        b.push_back(0xFF);
        b.push_back(0x00);
    }
    return b;
}

Bytes Commands(const Stm32Bootloader &chip, std::initializer_list<uint8_t> of)
{
    Bytes sent;
    for (const Stm32LogEntry &e : chip.log())
        if (std::find(of.begin(), of.end(), e.command) != of.end() && e.accepted)
            sent.push_back(e.command);
    return sent;
}

}  // namespace

class TestUpdateProtection : public QObject {
    Q_OBJECT

private slots:
    void init() { qunsetenv(kPortDirEnv); }

    // One state at a time on the platform double: the reply that comes in, what
    // goes out, where the run is then, and how a start that ended there ended.
    void states_data()
    {
        QTest::addColumn<TUpdateOptions>("options");
        QTest::addColumn<int>("state");
        QTest::addColumn<Bytes>("reply");
        QTest::addColumn<Bytes>("sent");
        QTest::addColumn<int>("next");
        QTest::addColumn<TUpdateCause>("refusal");  // None: the run goes on

        const TUpdateOptions window;
        const TUpdateOptions refuse = Flash(false, false);
        const TUpdateOptions unprotect = Flash(true, false);
        const TUpdateOptions protect = Flash(false, true);
        using C = TUpdateCause;
        using U = TUpdateCore;
        QTest::newRow("window: a refused read waits") << window << 4 << Bytes{0x1F} << Bytes{} << 4 << C::None;
        QTest::newRow("refused read: read-protected, ends")
            << refuse << 4 << Bytes{0x1F} << Bytes{} << 1 << C::ReadProtected;
        QTest::newRow("refused read: Readout Unprotect")
            << unprotect << 4 << Bytes{0x1F} << Bytes{0x92, 0x6D} << U::kUnprotectState << C::None;
        QTest::newRow("unprotect: first ACK waits for the second")
            << unprotect << U::kUnprotectState << Bytes{0x79} << Bytes{} << U::kUnprotectState << C::None;
        QTest::newRow("unprotect done: sync again")
            << unprotect << U::kUnprotectState << Bytes{0x79, 0x79} << Bytes{0x7F} << U::kResyncState << C::None;
        QTest::newRow("synced again: the flash size once more")
            << unprotect << U::kResyncState << Bytes{0x79} << Bytes{0x11, 0xEE} << 4 << C::None;
        QTest::newRow("Readout Protect done: sync again")
            << protect << U::kProtectState << Bytes{0x79, 0x79} << Bytes{0x7F} << U::kProtectSyncState << C::None;
        QTest::newRow("synced after protect: a read")
            << protect << U::kProtectSyncState << Bytes{0x79} << Bytes{0x11, 0xEE} << U::kProtectCheckState << C::None;
        QTest::newRow("the read refused: protected")
            << protect << U::kProtectCheckState << Bytes{0x1F} << Bytes{} << 1 << C::None;
        QTest::newRow("the read taken: not protected")
            << protect << U::kProtectCheckState << Bytes{0x79} << Bytes{} << 1 << C::NotProtected;
        QTest::newRow("option bytes: their address")
            << refuse << U::kOptionBytesCommandState << Bytes{0x79} << Bytes{0x1F, 0xFF, 0xF8, 0x00, 0x18}
            << U::kOptionBytesAddressState << C::None;
        QTest::newRow("option bytes: 16 of them") << refuse << U::kOptionBytesAddressState << Bytes{0x79}
                                                  << Bytes{0x0F, 0xF0} << U::kOptionBytesDataState << C::None;
        QTest::newRow("no page write-protected: erase")
            << refuse << U::kOptionBytesDataState << OptionBytes(0xFF) << Bytes{0x43, 0xBC} << 7 << C::None;
        QTest::newRow("pages 0 ... 3 write-protected: refused")
            << refuse << U::kOptionBytesDataState << OptionBytes(0xFE) << Bytes{} << 1 << C::WriteProtected;
        QTest::newRow("pages 0 ... 3 write-protected: Write Unprotect")
            << unprotect << U::kOptionBytesDataState << OptionBytes(0xFE) << Bytes{0x73, 0x8C}
            << U::kWriteUnprotectState << C::None;
        QTest::newRow("write unprotect done: sync again")
            << unprotect << U::kWriteUnprotectState << Bytes{0x79, 0x79} << Bytes{0x7F} << U::kResyncState << C::None;
    }
    void states()
    {
        QFETCH(TUpdateOptions, options);
        QFETCH(int, state);
        QFETCH(Bytes, reply);
        QFETCH(Bytes, sent);
        QFETCH(int, next);
        QFETCH(TUpdateCause, refusal);
        EngineOnFakePort e;
        e.engine.SetOptions(options);
        e.engine.Start();
        e.engine.Core().JumpToStateForTest(state);
        e.st.written.clear();
        e.r.sleeps.clear();
        e.arrive(reply);
        QCOMPARE(e.st.written, sent);
        QCOMPARE(e.engine.Core().IspState(), next);
        // A sync after a protection command waits for the chip's restart first.
        if (sent == Bytes{0x7F})
            QCOMPARE(e.r.sleeps, std::vector<uint32_t>{Isp::kOptionRestartMs});
        if (refusal != TUpdateCause::None) {
            QCOMPARE(e.r.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::Refused});
            QCOMPARE(e.engine.Core().LastFailure().cause, refusal);
        } else {
            QVERIFY(e.r.outcomes.isEmpty() || state == TUpdateCore::kProtectCheckState);
        }
        if (state == TUpdateCore::kProtectCheckState && refusal == TUpdateCause::None) {
            QCOMPARE(e.r.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::Done});
            QVERIFY(e.engine.Core().Protected());
        }
        if (refusal == TUpdateCause::WriteProtected)
            QCOMPARE(e.engine.Core().WriteProtectedPages(), (std::vector<uint8_t>{0, 1}));
    }

    // Whole starts on the simulated chip, which holds an old program in its first
    // pages and the module's settings in its last page.
    void starts_data()
    {
        QTest::addColumn<bool>("readProtected");
        QTest::addColumn<int>("writeProtectedPage");  // -1: none
        QTest::addColumn<TUpdateOptions>("options");
        QTest::addColumn<TUpdateOutcome>("outcome");
        QTest::addColumn<TUpdateCause>("cause");
        QTest::addColumn<Bytes>("protection");  // the protection commands the chip carried out, in order
        QTest::addColumn<bool>("protectedAfter");
        QTest::addColumn<bool>("settingsErased");
        QTest::addColumn<bool>("written");
        using O = TUpdateOutcome;
        using C = TUpdateCause;
        QTest::newRow("protected: refused, nothing changed")
            << true << -1 << Flash(false, false) << O::Refused << C::ReadProtected << Bytes{} << true << false << false;
        QTest::newRow("protected, the window's start: waited out over three runs")
            << true << -1 << TUpdateOptions{} << O::LinkFailed << C::Refused << Bytes{} << true << false << false;
        QTest::newRow("protected: unprotected, then flashed")
            << true << -1 << Flash(true, false) << O::Done << C::None << Bytes{0x92} << false << true << true;
        QTest::newRow("not protected: --unprotect has nothing to remove")
            << false << -1 << Flash(true, false) << O::Done << C::None << Bytes{} << false << false << true;
        QTest::newRow("protected after the verify")
            << false << -1 << Flash(false, true) << O::Done << C::None << Bytes{0x82} << true << false << true;
        QTest::newRow("unprotected, flashed, protected again")
            << true << -1 << Flash(true, true) << O::Done << C::None << Bytes{0x92, 0x82} << true << true << true;
        QTest::newRow("no verify: never protected")
            << false << -1 << Flash(false, true, false) << O::Done << C::None << Bytes{} << false << false << true;
        QTest::newRow("write-protected pages: refused") << false << 2 << Flash(false, false) << O::Refused
                                                        << C::WriteProtected << Bytes{} << false << false << false;
        QTest::newRow("write-protected pages: unprotected")
            << false << 2 << Flash(true, false) << O::Done << C::None << Bytes{0x73} << false << false << true;
        QTest::newRow("both protections: Readout Unprotect removes both")
            << true << 2 << Flash(true, false) << O::Done << C::None << Bytes{0x92} << false << true << true;
    }
    void starts()
    {
        QFETCH(bool, readProtected);
        QFETCH(int, writeProtectedPage);
        QFETCH(TUpdateOptions, options);
        QFETCH(TUpdateOutcome, outcome);
        QFETCH(TUpdateCause, cause);
        QFETCH(Bytes, protection);
        QFETCH(bool, protectedAfter);
        QFETCH(bool, settingsErased);
        QFETCH(bool, written);
        const QByteArray image = Image(kImageBytes);
        EngineOnChip e(image, options);
        e.chip.preloadFlash(stm32::kFlashBase, std::vector<uint8_t>(4 * stm32::kPageBytes, kOldProgram));
        e.chip.preloadFlash(stm32::kFlashBase + kSettingsPage * stm32::kPageBytes,
                            std::vector<uint8_t>(64, kSettingsByte));
        e.chip.setReadProtected(readProtected);
        if (writeProtectedPage >= 0)
            e.chip.setWriteProtected(uint32_t(writeProtectedPage), true);
        e.run();
        QCOMPARE(e.r.outcomes, QList<TUpdateOutcome>{outcome});
        QCOMPARE(e.engine.Core().LastFailure().cause, cause);
        QCOMPARE(Commands(e.chip, {stm32::kCmdReadoutUnprotect, stm32::kCmdWriteUnprotect, stm32::kCmdReadoutProtect}),
                 protection);
        QCOMPARE(e.chip.readProtected(), protectedAfter);
        QCOMPARE(e.engine.Core().Protected(), protection.size() > 0 && protection.back() == stm32::kCmdReadoutProtect);
        QCOMPARE(e.engine.Core().Unprotected(), settingsErased);
        const auto flash = e.chip.flash();
        QCOMPARE(flash[kSettingsPage * stm32::kPageBytes] == stm32::kErasedByte, settingsErased);
        QCOMPARE(
            std::equal(image.begin(), image.end(), flash.begin(), [](char a, uint8_t b) { return uint8_t(a) == b; }),
            written);
        if (!written) {
            // Refused: the old program is all there, no erase or write went out.
            QVERIFY(std::all_of(flash.begin(), flash.begin() + 4 * stm32::kPageBytes,
                                [](uint8_t b) { return b == kOldProgram; }));
            QVERIFY(!e.sentCommand(stm32::kCmdErase));
            QVERIFY(!e.sentCommand(stm32::kCmdWriteMemory));
        }
        if (outcome == TUpdateOutcome::Done)
            QCOMPARE(e.engine.Core().RetryCount(), uint8_t(0));
    }
};

QTEST_GUILESS_MAIN(TestUpdateProtection)
#include "tst_update_protection.moc"
