// The bootloader engine over bytes: what the chip answers to each request.
#include "firmware/FirmwareImage.h"
#include "firmware/stm32/Stm32Protocol.h"
#include "sim/bootloader/Stm32Bootloader.h"
#include "tests/support/Bytes.h"

#include <QtTest>

#include <random>

namespace {

constexpr uint8_t A = stm32::kAck;
constexpr uint8_t N = stm32::kNack;
// Flash page used for "already programmed" data in several cases.
constexpr uint32_t kPage0 = 0x08000000;
constexpr uint32_t kPage15 = 0x08003C00;
// First RAM address a host may write; the 512 bytes below belong to the bootloader.
constexpr uint32_t kFreeRam = 0x20000200;

Bytes Addr(uint32_t a)
{
    Bytes b{uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
    b.push_back(b[0] ^ b[1] ^ b[2] ^ b[3]);
    return b;
}

// Count byte, data and the XOR over both, as a Write Memory block goes out.
Bytes Block(const Bytes &data)
{
    Bytes b{uint8_t(data.size() - 1)};
    b.insert(b.end(), data.begin(), data.end());
    uint8_t x = 0;
    for (uint8_t v : b)
        x ^= v;
    b.push_back(x);
    return b;
}

Bytes Write(uint32_t address, const Bytes &data)
{
    return Cat({{stm32::kCmdWriteMemory, 0xCE}, Addr(address), Block(data)});
}

Bytes Read(uint32_t address, uint8_t count)
{
    return Cat({{stm32::kCmdReadMemory, 0xEE}, Addr(address), {uint8_t(count - 1), uint8_t(~(count - 1))}});
}

// The erase request for pages 0 ... pages - 1, as the update sends it.
Bytes PageList(int pages)
{
    Bytes b{uint8_t(pages - 1)};
    uint8_t x = b[0];
    for (int p = 0; p < pages; ++p) {
        b.push_back(uint8_t(p));
        x ^= uint8_t(p);
    }
    b.push_back(x);
    return b;
}

Bytes Flash(const Stm32Bootloader &e, uint32_t address, size_t count)
{
    const auto f = e.flash();
    const size_t at = address - stm32::kFlashBase;
    return Bytes(f.begin() + at, f.begin() + at + count);
}

Stm32Bootloader Synced()
{
    Stm32Bootloader e;
    if (e.feed({stm32::kSync}) != Bytes{A})
        qFatal("sync not acknowledged");
    return e;
}

}  // namespace

class TestStm32Boot : public QObject {
    Q_OBJECT

private slots:
    void syncIsAcknowledgedOnce()
    {
        Stm32Bootloader e;
        QVERIFY(!e.synced());
        QCOMPARE(e.feed({0x00, 0x55}), Bytes{});  // no baud rate to measure on these
        QCOMPARE(e.feed({0x7F}), Bytes{A});
        QVERIFY(e.synced());
        // A further 0x7F is taken as a command code; with the next byte it is refused.
        QCOMPARE(e.feed({0x7F}), Bytes{});
        QCOMPARE(e.feed({0x80}), Bytes{N});
        QCOMPARE(e.feed({0x7F, 0x7F}), Bytes{N});
    }

    void answers_data()
    {
        QTest::addColumn<Bytes>("request");
        QTest::addColumn<Bytes>("reply");
        QTest::newRow("Get") << Bytes{0x00, 0xFF} << Bytes{A,    0x0B, 0x22, 0x00, 0x01, 0x02, 0x11, 0x21,
                                                           0x31, 0x43, 0x63, 0x73, 0x82, 0x92, A};
        QTest::newRow("Get Version") << Bytes{0x01, 0xFE} << Bytes{A, 0x22, 0x00, 0x00, A};
        QTest::newRow("Get ID") << Bytes{0x02, 0xFD} << Bytes{A, 0x01, 0x04, 0x10, A};
        QTest::newRow("bad complement") << Bytes{0x00, 0x00} << Bytes{N};
        QTest::newRow("unknown command") << Bytes{0x44, 0xBB} << Bytes{N};
        QTest::newRow("flash size register")
            << Bytes{0x11, 0xEE, 0x1F, 0xFF, 0xF7, 0xE0, 0xF7, 0x03, 0xFC} << Bytes{A, A, A, 0x80, 0x00, 0xFF, 0xFF};
        QTest::newRow("option bytes") << Read(0x1FFFF800, 4) << Bytes{A, A, A, 0xA5, 0x5A, 0xFF, 0x00};
        QTest::newRow("read, bad address checksum") << Bytes{0x11, 0xEE, 0x1F, 0xFF, 0xF7, 0xE0, 0x00} << Bytes{A, N};
        QTest::newRow("read, bad count complement")
            << Bytes{0x11, 0xEE, 0x1F, 0xFF, 0xF7, 0xE0, 0xF7, 0x03, 0x00} << Bytes{A, A, N};
        // After a NACK the chip waits for a new command, so these end at the refused part.
        QTest::newRow("read, unmapped") << Cat({{0x11, 0xEE}, Addr(0x40000000)}) << Bytes{A, N};
        QTest::newRow("read past the end of flash") << Read(0x0801FFFC, 8) << Bytes{A, A, N};
        QTest::newRow("read erased flash") << Read(0x0801FFFC, 4) << Bytes{A, A, A, 0xFF, 0xFF, 0xFF, 0xFF};
        QTest::newRow("erase 15 pages") << Cat({{0x43, 0xBC}, PageList(15)}) << Bytes{A, A};
        QTest::newRow("erase, bad checksum")
            << Bytes{0x43, 0xBC, 0x0E, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0x00} << Bytes{A, N};
        QTest::newRow("erase, page 128") << Bytes{0x43, 0xBC, 0x00, 0x80, 0x80} << Bytes{A, N};
        QTest::newRow("global erase") << Bytes{0x43, 0xBC, 0xFF, 0x00} << Bytes{A, A};
        QTest::newRow("global erase, bad check") << Bytes{0x43, 0xBC, 0xFF, 0x01} << Bytes{A, N};
        QTest::newRow("write 4 bytes") << Write(kPage0, {1, 2, 3, 4}) << Bytes{A, A, A};
        QTest::newRow("write 256 bytes") << Write(kPage0, Bytes(256, 0x5A)) << Bytes{A, A, A};
        QTest::newRow("write 3 bytes") << Write(kPage0, {1, 2, 3}) << Bytes{A, A, N};
        QTest::newRow("write 6 bytes") << Write(kPage0, {1, 2, 3, 4, 5, 6}) << Bytes{A, A, N};
        QTest::newRow("write, bad address checksum") << Bytes{0x31, 0xCE, 0x08, 0x00, 0x00, 0x00, 0x09} << Bytes{A, N};
        QTest::newRow("write, bad data checksum")
            << Cat({{0x31, 0xCE}, Addr(kPage0), {0x03, 1, 2, 3, 4, 0x00}}) << Bytes{A, A, N};
        QTest::newRow("write past the end of flash") << Write(0x0801FFFC, Bytes(8, 0)) << Bytes{A, A, N};
        QTest::newRow("write bootloader RAM") << Cat({{0x31, 0xCE}, Addr(0x20000000)}) << Bytes{A, N};
        QTest::newRow("write free RAM") << Write(kFreeRam, {1, 2, 3, 4}) << Bytes{A, A, A};
        QTest::newRow("write system memory") << Cat({{0x31, 0xCE}, Addr(0x1FFFF000)}) << Bytes{A, N};
        QTest::newRow("go, bad address") << Cat({{0x21, 0xDE}, Addr(0x40000000)}) << Bytes{A, N};
        QTest::newRow("go, bad complement") << Bytes{0x21, 0x21} << Bytes{N};
    }

    void answers()
    {
        QFETCH(Bytes, request);
        QFETCH(Bytes, reply);
        Stm32Bootloader whole = Synced();
        QCOMPARE(whole.feed(request), reply);
        // Byte by byte the chip answers the same.
        Stm32Bootloader single = Synced();
        Bytes got;
        for (uint8_t b : request) {
            const Bytes part = single.feed({b});
            got.insert(got.end(), part.begin(), part.end());
        }
        QCOMPARE(got, reply);
        // And it is ready for the next command afterwards.
        QCOMPARE(whole.feed({0x02, 0xFD}), (Bytes{A, 0x01, 0x04, 0x10, A}));
    }

    void eraseRequestIsLoggedAndErasesOnlyItsPages()
    {
        Stm32Bootloader e = Synced();
        const Bytes old(16 * 1024, 0x00);
        e.preloadFlash(kPage0, old);
        e.clearLog();
        const Bytes list = PageList(15);
        QCOMPARE(list, (Bytes{0x0E, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0x01}));
        QCOMPARE(e.feed(Cat({{0x43, 0xBC}, list})), (Bytes{A, A}));
        QCOMPARE(e.log().size(), size_t(1));
        QCOMPARE(e.log()[0].command, stm32::kCmdErase);
        QCOMPARE(e.log()[0].payload, list);
        QVERIFY(e.log()[0].accepted);
        QCOMPARE(Flash(e, kPage0, 15 * 1024), Bytes(15 * 1024, 0xFF));
        QCOMPARE(Flash(e, kPage15, 1024), Bytes(1024, 0x00));
    }

    void globalEraseErasesAll()
    {
        Stm32Bootloader e = Synced();
        e.preloadFlash(kPage0, Bytes(stm32::kFlashBytes, 0x12));
        QCOMPARE(e.feed({0x43, 0xBC, 0xFF, 0x00}), (Bytes{A, A}));
        QCOMPARE(Flash(e, kPage0, stm32::kFlashBytes), Bytes(stm32::kFlashBytes, 0xFF));
    }

    void writeNeedsErasedFlash()
    {
        Stm32Bootloader e = Synced();
        e.preloadFlash(kPage0 + 8, Bytes{0x11, 0x22});
        const Bytes data{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
        QCOMPARE(e.feed(Write(kPage0, data)), (Bytes{A, A, N}));
        // Half-words before the programmed one were written; it and the rest not.
        QCOMPARE(Flash(e, kPage0, 12), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 0x11, 0x22, 0xFF, 0xFF}));
        QVERIFY(!e.log().back().accepted);
        QCOMPARE(e.feed(Cat({{0x43, 0xBC}, PageList(1)})), (Bytes{A, A}));
        QCOMPARE(e.feed(Write(kPage0, data)), (Bytes{A, A, A}));
        QCOMPARE(Flash(e, kPage0, 12), data);
        QCOMPARE(e.feed(Read(kPage0, 12)), (Cat({{A, A, A}, data})));
        // Clearing programmed bits to zero is the one write flash takes without erase.
        QCOMPARE(e.feed(Write(kPage0, Bytes(4, 0x00))), (Bytes{A, A, A}));
        QCOMPARE(Flash(e, kPage0, 4), Bytes(4, 0x00));
    }

    void writeToRamReadsBack()
    {
        Stm32Bootloader e = Synced();
        const Bytes data{0xDE, 0xAD, 0xBE, 0xEF};
        QCOMPARE(e.feed(Write(kFreeRam, data)), (Bytes{A, A, A}));
        QCOMPARE(e.feed(Read(kFreeRam, 4)), (Cat({{A, A, A}, data})));
        QCOMPARE(e.log().back().address, kFreeRam);
    }

    void goHandsOver()
    {
        Stm32Bootloader e = Synced();
        uint32_t went = 0;
        e.setOnGo([&](uint32_t a) { went = a; });
        QCOMPARE(e.feed(Cat({{0x21, 0xDE}, Addr(kPage0)})), (Bytes{A, A}));
        QCOMPARE(went, kPage0);
        QVERIFY(e.started());
        QCOMPARE(e.feed({0x7F, 0x00, 0xFF}), Bytes{});  // the program runs now, not the bootloader
        e.reset();
        QCOMPARE(e.feed({0x7F}), Bytes{A});
    }

    // The whole sequence the update window sends, with the carried image.
    void updateSequenceWritesTheImage()
    {
        const std::optional<QByteArray> carried = LoadFirmwareImage();
        QVERIFY(carried);
        const Bytes image(carried->begin(), carried->end());
        Stm32Bootloader e;
        e.preloadFlash(kPage0, Bytes(32 * 1024, 0x00));  // the old firmware and a settings page
        QCOMPARE(e.feed({0x7F}), Bytes{A});
        QCOMPARE(e.feed({0x00, 0xFF}).size(), size_t(15));
        QCOMPARE(e.feed({0x02, 0xFD}), (Bytes{A, 0x01, 0x04, 0x10, A}));
        QCOMPARE(e.feed({0x11, 0xEE}), Bytes{A});
        QCOMPARE(e.feed({0x1F, 0xFF, 0xF7, 0xE0, 0xF7}), Bytes{A});
        QCOMPARE(e.feed({0x03, 0xFC}), (Bytes{A, 0x80, 0x00, 0xFF, 0xFF}));
        QCOMPARE(e.feed({0x43, 0xBC}), Bytes{A});
        const int pages = int(image.size() / 1024 + 1);
        QCOMPARE(e.feed(PageList(pages)), Bytes{A});
        e.clearLog();
        for (size_t at = 0; at < image.size(); at += 256) {
            const size_t n = std::min<size_t>(256, image.size() - at);
            QCOMPARE(e.feed({0x31, 0xCE}), Bytes{A});
            QCOMPARE(e.feed(Addr(kPage0 + uint32_t(at))), Bytes{A});
            QCOMPARE(e.feed(Block(Bytes(image.begin() + at, image.begin() + at + n))), Bytes{A});
        }
        QCOMPARE(Flash(e, kPage0, image.size()), image);
        const size_t erasedEnd = size_t(pages) * 1024;
        QCOMPARE(Flash(e, kPage0 + uint32_t(image.size()), erasedEnd - image.size()),
                 Bytes(erasedEnd - image.size(), 0xFF));
        QCOMPARE(Flash(e, kPage0 + uint32_t(erasedEnd), 32 * 1024 - erasedEnd), Bytes(32 * 1024 - erasedEnd, 0x00));
        if (image.size() == 14628) {
            QCOMPARE(e.log().size(), size_t(58));
            QCOMPARE(e.log().back().address, 0x08003900u);
            QCOMPARE(Bytes(e.log().back().payload.begin(), e.log().back().payload.begin() + 6),
                     (Bytes{0x08, 0x00, 0x39, 0x00, 0x31, 0x23}));
        }
    }

    void unansweredSyncs()
    {
        Stm32Bootloader e;
        Stm32Faults twice;
        twice.unansweredSyncs = 2;
        e.setFaults(twice);
        QCOMPARE(e.feed({0x7F}), Bytes{});
        QCOMPARE(e.feed({0x7F}), Bytes{});
        QCOMPARE(e.feed({0x7F}), Bytes{A});

        Stm32Bootloader dead;
        Stm32Faults never;
        never.unansweredSyncs = Stm32Faults::kForever;
        dead.setFaults(never);
        for (int i = 0; i < 10; ++i)
            QCOMPARE(dead.feed({0x7F}), Bytes{});
    }

    void nackAtAChosenAcknowledgement_data()
    {
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("phase");
        QTest::addColumn<Bytes>("request");
        QTest::addColumn<Bytes>("reply");
        QTest::newRow("sync") << 0x7F << 0 << Bytes{0x7F} << Bytes{N};
        QTest::newRow("Get") << 0x00 << 0 << Bytes{0x7F, 0x00, 0xFF} << Bytes{A, N};
        QTest::newRow("read address") << 0x11 << 1 << Cat({{0x7F, 0x11, 0xEE}, Addr(0x1FFFF7E0)}) << Bytes{A, A, N};
        QTest::newRow("erase list") << 0x43 << 1 << Cat({{0x7F, 0x43, 0xBC}, PageList(2)}) << Bytes{A, A, N};
        QTest::newRow("write data") << 0x31 << 2 << Cat({{0x7F}, Write(kPage0, {1, 2, 3, 4})}) << Bytes{A, A, A, N};
    }

    void nackAtAChosenAcknowledgement()
    {
        QFETCH(int, command);
        QFETCH(int, phase);
        QFETCH(Bytes, request);
        QFETCH(Bytes, reply);
        Stm32Bootloader e;
        Stm32Faults once;
        once.nackAt = {uint8_t(command), phase};
        once.nackTimes = 1;
        e.setFaults(once);
        QCOMPARE(e.feed(request), reply);
        // Used up: the same request again is served (after a fresh sync where needed).
        if (!e.synced())
            QCOMPARE(e.feed({0x7F}), Bytes{A});
        const Bytes rest(request.begin() + 1, request.end());
        if (rest.empty())
            return;  // the sync itself was the request, answered above
        const Bytes again = e.feed(rest);
        QVERIFY(again.size() >= reply.size() - 1);
        QCOMPARE(again.back(), A);
        QCOMPARE(std::count(again.begin(), again.end(), N), 0);
    }

    void silenceAfterBlocks()
    {
        Stm32Bootloader e = Synced();
        Stm32Faults fault;
        fault.silentAfterBlocks = 2;
        e.setFaults(fault);
        QCOMPARE(e.feed(Write(kPage0, Bytes(4, 1))), (Bytes{A, A, A}));
        QCOMPARE(e.feed(Write(kPage0 + 4, Bytes(4, 2))), (Bytes{A, A, A}));
        QCOMPARE(e.feed(Write(kPage0 + 8, Bytes(4, 3))), Bytes{});
        QCOMPARE(e.feed({0x7F}), Bytes{});
        QCOMPARE(Flash(e, kPage0 + 8, 4), Bytes(4, 0xFF));
        e.reset();  // the next bootloader entry: the fault is used up
        QCOMPARE(e.feed({0x7F}), Bytes{A});
        QCOMPARE(e.feed(Write(kPage0 + 8, Bytes(4, 3))), (Bytes{A, A, A}));
        QCOMPARE(e.blocksWritten(), 3);
    }

    void chipTimes()
    {
        Stm32Bootloader e = Synced();
        const Bytes erase = Cat({{0x43, 0xBC}, PageList(15)});
        const auto erased = e.feedTimed(erase.data(), erase.size());
        QCOMPARE(erased.size(), size_t(2));
        QCOMPARE(erased[1].chipTime, std::chrono::microseconds(15 * 20000));
        const Bytes write = Write(kPage0, Bytes(256, 0x00));
        const auto written = e.feedTimed(write.data(), write.size());
        QCOMPARE(written.size(), size_t(3));
        QCOMPARE(written[2].chipTime, std::chrono::microseconds(128 * 52));
        QCOMPARE(stm32::WireTime(15, 115200), std::chrono::microseconds(15 * 11 * 1000000 / 115200));
    }

    // The protection commands. Each that the chip carries out is acknowledged
    // twice (taken, done) and restarts the chip, which then waits for a sync
    // byte; Write Protect stays refused. A read-protected chip keeps only Get, Get
    // Version, Get ID and Readout Unprotect; Readout Unprotect erases all flash.
    void protectionCommands_data()
    {
        QTest::addColumn<bool>("readProtected");
        QTest::addColumn<bool>("writeProtected");  // pages 0 ... 3
        QTest::addColumn<Bytes>("command");
        QTest::addColumn<Bytes>("answer");
        QTest::addColumn<bool>("restarted");
        QTest::addColumn<bool>("readProtectedAfter");
        QTest::addColumn<bool>("flashErased");
        QTest::newRow("write protect: refused")
            << false << false << Bytes{0x63, 0x9C} << Bytes{N} << false << false << false;
        QTest::newRow("write unprotect") << false << true << Bytes{0x73, 0x8C} << Bytes{A, A} << true << false << false;
        QTest::newRow("readout protect") << false << false << Bytes{0x82, 0x7D} << Bytes{A, A} << true << true << false;
        QTest::newRow("readout unprotect of a readable chip")
            << false << false << Bytes{0x92, 0x6D} << Bytes{A, A} << true << false << true;
        QTest::newRow("protected: readout unprotect")
            << true << true << Bytes{0x92, 0x6D} << Bytes{A, A} << true << false << true;
        QTest::newRow("protected: readout protect refused")
            << true << false << Bytes{0x82, 0x7D} << Bytes{N} << false << true << false;
        QTest::newRow("protected: write unprotect refused")
            << true << true << Bytes{0x73, 0x8C} << Bytes{N} << false << true << false;
    }
    void protectionCommands()
    {
        QFETCH(bool, readProtected);
        QFETCH(bool, writeProtected);
        QFETCH(Bytes, command);
        QFETCH(Bytes, answer);
        QFETCH(bool, restarted);
        QFETCH(bool, readProtectedAfter);
        QFETCH(bool, flashErased);
        Stm32Bootloader e = Synced();
        e.preloadFlash(kPage0, Bytes(4, 0x33));
        e.setReadProtected(readProtected);
        e.setWriteProtected(0, writeProtected);
        int erasedCalls = 0;
        e.setOnFlashErased([&] { ++erasedCalls; });
        QCOMPARE(e.feed(command), answer);
        QCOMPARE(e.synced(), !restarted);
        QCOMPARE(e.restarts(), restarted ? 1 : 0);
        QCOMPARE(e.readProtected(), readProtectedAfter);
        QCOMPARE(erasedCalls, flashErased ? 1 : 0);
        QCOMPARE(Flash(e, kPage0, 4), flashErased ? Bytes(4, 0xFF) : Bytes(4, 0x33));
        if (restarted)
            QCOMPARE(e.feed({stm32::kSync}), Bytes{A});
        if (readProtectedAfter)
            return;
        // Readable now; write protection gone wherever the chip took a command.
        QCOMPARE(e.feed(Read(kPage0, 4)), Cat({{A, A, A}, Flash(e, kPage0, 4)}));
        QCOMPARE(e.feed(Cat({{0x43, 0xBC}, PageList(1)})), (Bytes{A, writeProtected && !restarted ? N : A}));
    }

    // A read-protected chip names itself and its version, and refuses everything
    // that would read, change or run its flash, which stays as it was.
    void readProtectedChipKeepsItsFlash()
    {
        Stm32Bootloader e = Synced();
        e.preloadFlash(kPage0, Bytes(8, 0x33));
        e.setReadProtected(true);
        QCOMPARE(e.feed({0x00, 0xFF}).size(), size_t(15));
        QCOMPARE(e.feed({0x01, 0xFE}), (Bytes{A, 0x22, 0x00, 0x00, A}));
        QCOMPARE(e.feed({0x02, 0xFD}), (Bytes{A, 0x01, 0x04, 0x10, A}));
        QCOMPARE(e.feed({0x11, 0xEE}), (Bytes{N}));
        QCOMPARE(e.feed({0x31, 0xCE}), (Bytes{N}));
        QCOMPARE(e.feed({0x43, 0xBC}), (Bytes{N}));
        QCOMPARE(e.feed({0x21, 0xDE}), (Bytes{N}));
        QVERIFY(!e.started());
        QCOMPARE(Flash(e, kPage0, 8), Bytes(8, 0x33));
    }

    // Another family's chip, for a host that must refuse it.
    void productIdAsSet()
    {
        Stm32Bootloader e = Synced();
        e.setProductId(0x0414);
        QCOMPARE(e.feed({0x02, 0xFD}), (Bytes{A, 0x01, 0x04, 0x14, A}));
    }

    // Whatever arrives, the engine neither crashes nor stops answering a reset and sync.
    void survivesNoise()
    {
        std::mt19937 rng(20240615);
        const uint8_t codes[] = {0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43, 0x63, 0x73, 0x82, 0x92, 0x7F};
        size_t answered = 0;
        for (int round = 0; round < 200; ++round) {
            Stm32Bootloader e = Synced();
            for (int k = 0; k < 40; ++k) {
                Bytes chunk;
                if (rng() % 2) {
                    const uint8_t c = codes[rng() % std::size(codes)];
                    chunk = {c, uint8_t(rng() % 4 ? ~c : rng())};
                }
                const size_t n = rng() % 300;
                for (size_t i = 0; i < n; ++i)
                    chunk.push_back(uint8_t(rng()));
                answered += e.feed(chunk).size();
            }
            e.reset();
            e.setFaults({});
            QCOMPARE(e.feed({0x7F}), Bytes{A});
            QCOMPARE(e.feed({0x02, 0xFD}), (Bytes{A, 0x01, 0x04, 0x10, A}));
        }
        QVERIFY(answered > 0);
    }
};

QTEST_GUILESS_MAIN(TestStm32Boot)
#include "tst_stm32boot.moc"
