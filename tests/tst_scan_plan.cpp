// The search for a lost module as data: the order of its probes, the wait each
// gets on its line, and which received bytes count as a module's answer.
#include "modbus/ScanPlan.h"
#include "tests/support/ModbusBytes.h"

#include <QtTest>

Q_DECLARE_METATYPE(TScanRequest)
Q_DECLARE_METATYPE(std::vector<TProbe>)

namespace {

constexpr TModbusLine k57600E{3, 2}, k57600N{3, 0}, k38400E{2, 2}, k19200O{1, 1}, k19200E{1, 2}, k9600N{0, 0},
    k9600E{0, 2};

TScanRequest Request(std::vector<int> stations, std::vector<int> bauds, std::vector<int> formats)
{
    TScanRequest r;
    r.Stations = std::move(stations);
    r.Bauds = std::move(bauds);
    r.Formats = std::move(formats);
    return r;
}

}  // namespace

class TestScanPlan : public QObject {
    Q_OBJECT

private slots:
    // The first probes of a request, in order, and how many there are in all.
    void order_data()
    {
        QTest::addColumn<TScanRequest>("request");
        QTest::addColumn<std::vector<TProbe>>("first");
        QTest::addColumn<int>("total");
        QTest::newRow("default: the fixed port's line, station 1, then its other stations, then 9600 8N1")
            << TScanRequest{} << std::vector<TProbe>{{1, k57600E}, {2, k57600E}} << 99 * 4 * 3;
        QTest::newRow("stations in the order given")
            << Request({37, 5}, {1}, {1}) << std::vector<TProbe>{{37, k19200O}, {5, k19200O}} << 2;
        QTest::newRow("station 1 on the fixed port's line goes first of all")
            << Request({5, 1}, {3}, {2}) << std::vector<TProbe>{{1, k57600E}, {5, k57600E}} << 2;
        QTest::newRow("the default line before the lines listed ahead of it")
            << Request({1, 2}, {0, 3}, {2}) << std::vector<TProbe>{{1, k57600E}, {2, k57600E}, {1, k9600E}} << 4;
        QTest::newRow("lines in the order of the lists, formats within a rate")
            << Request({4}, {0, 1}, {2, 0}) << std::vector<TProbe>{{4, k9600E}, {4, k9600N}, {4, k19200E}, {4, {1, 0}}}
            << 4;
        QTest::newRow("without the fixed port's line: nothing moves ahead")
            << Request({1}, {1, 0}, {1}) << std::vector<TProbe>{{1, k19200O}, {1, {0, 1}}} << 2;
        QTest::newRow("out of range and repeated entries left out")
            << Request({0, 7, 7, 100}, {9, 2}, {2, 5}) << std::vector<TProbe>{{7, k38400E}} << 1;
    }
    void order()
    {
        QFETCH(TScanRequest, request);
        QFETCH(std::vector<TProbe>, first);
        QFETCH(int, total);
        const std::vector<TProbe> order = ScanOrder(request);
        QCOMPARE(int(order.size()), total);
        for (size_t i = 0; i < first.size(); ++i) {
            QVERIFY2(order[i] == first[i], qPrintable(QString("probe %1: station %2 on %3")
                                                          .arg(i)
                                                          .arg(order[i].Station)
                                                          .arg(QString::fromStdString(LineText(order[i].Line)))));
        }
        // Every station on every line once.
        for (size_t i = 0; i < order.size(); ++i)
            for (size_t j = i + 1; j < order.size(); ++j)
                QVERIFY(!(order[i] == order[j]));
    }

    // A probe waits for its request (8 characters), the silence that ends it, the
    // reply (7 characters) and the allowance. A character is 11 bits with parity,
    // 10 without; the silence is 3.5 characters, or 1750 us above 19200 baud.
    void waitPerLine_data()
    {
        QTest::addColumn<TModbusLine>("line");
        QTest::addColumn<int>("turnaround");
        QTest::addColumn<int>("waitMs");
        // 88 bits = 1528 us, 1750 us, 77 bits = 1337 us: 4615 us, 5 ms.
        QTest::newRow("57600 8E1") << k57600E << 5 << 5 + 5;
        // 80 bits = 1389 us, 1750 us, 70 bits = 1216 us: 4355 us, 5 ms.
        QTest::newRow("57600 8N1") << k57600N << 5 << 5 + 5;
        // 2292 + 1750 + 2006 = 6048 us.
        QTest::newRow("38400 8E1") << k38400E << 5 << 7 + 5;
        // 4584 us, 3.5 x 573 = 2006 us, 4011 us: 10601 us.
        QTest::newRow("19200 8O1") << k19200O << 5 << 11 + 5;
        QTest::newRow("19200 8O1, no allowance") << k19200O << 0 << 11;
        // 8334 + 3646 + 7292 = 19272 us.
        QTest::newRow("9600 8N1") << k9600N << 5 << 20 + 5;
        // 9167 + 4011 + 8021 = 21199 us.
        QTest::newRow("9600 8E1") << k9600E << 5 << 22 + 5;
        QTest::newRow("9600 8E1, --probe-ms 50") << k9600E << 50 << 22 + 50;
    }
    void waitPerLine()
    {
        QFETCH(TModbusLine, line);
        QFETCH(int, turnaround);
        QFETCH(int, waitMs);
        QCOMPARE(int(ProbeWaitMs(line, uint32_t(turnaround))), waitMs);
    }

    void waitDefaultsToTheMeasuredAllowance()
    {
        TScanRequest r = Request({1}, {3}, {2});
        QCOMPARE(PlannedProbeMs(r), uint64_t(ProbeWaitMs(k57600E, kTurnaroundAllowanceMs)));
        // The whole read that confirms a probe waits for its 21-byte reply: 1528 + 1750 + 4011 us at 57600 8E1.
        QCOMPARE(int(ExchangeWaitMs(k57600E, kModuleReadCount, 0)), 8);
    }

    void requests()
    {
        const RequestFrame probe = ProbeRequest(37);
        QCOMPARE(Bytes(probe.begin(), probe.end()), Frame(37, 3, 28, 1));
        const RequestFrame read = ModuleReadRequest(37);
        QCOMPARE(Bytes(read.begin(), read.end()), Frame(37, 3, 21, 8));
    }

    // Which bytes count as answers to a probe (one register): only whole replies
    // with a valid CRC from a station 1 ... 99.
    void replies_data()
    {
        QTest::addColumn<Bytes>("received");
        QTest::addColumn<QList<int>>("stations");
        QTest::addColumn<QList<int>>("offsets");
        const Bytes reply = ReadReply(37, {150});
        Bytes badCrc = reply;
        badCrc.back() ^= 0x01;
        QTest::newRow("a reply") << reply << QList<int>{37} << QList<int>{0};
        QTest::newRow("stray bytes before it") << Cat({{0xFF, 0x00, 0x25}, reply}) << QList<int>{37} << QList<int>{3};
        QTest::newRow("a bad CRC") << badCrc << QList<int>{} << QList<int>{};
        QTest::newRow("cut short") << Bytes(reply.begin(), reply.end() - 1) << QList<int>{} << QList<int>{};
        QTest::newRow("the request's echo") << Frame(37, 3, 28, 1) << QList<int>{} << QList<int>{};
        QTest::newRow("an exception reply") << WithCrc({37, 0x83, 0x02}) << QList<int>{} << QList<int>{};
        QTest::newRow("station 0") << ReadReply(0, {150}) << QList<int>{} << QList<int>{};
        QTest::newRow("station 100") << ReadReply(100, {150}) << QList<int>{} << QList<int>{};
        QTest::newRow("a reply of another length") << ReadReply(37, {150, 1}) << QList<int>{} << QList<int>{};
        QTest::newRow("an echo, then the reply")
            << Cat({Frame(37, 3, 28, 1), reply}) << QList<int>{37} << QList<int>{8};
        QTest::newRow("two modules, one late")
            << Cat({ReadReply(5, {149}), reply}) << QList<int>{5, 37} << QList<int>{0, 7};
        Bytes noise(300);
        uint32_t x = 12345;
        for (uint8_t &b : noise) {
            x = x * 1103515245 + 12345;
            b = uint8_t(x >> 16);
        }
        QTest::newRow("300 bytes of noise") << noise << QList<int>{} << QList<int>{};
    }
    void replies()
    {
        QFETCH(Bytes, received);
        QFETCH(QList<int>, stations);
        QFETCH(QList<int>, offsets);
        const std::vector<TFoundReply> found = FindReplies(received.data(), received.size(), kProbeCount);
        QCOMPARE(int(found.size()), int(stations.size()));
        for (size_t i = 0; i < found.size(); ++i) {
            QCOMPARE(int(found[i].Station), stations[int(i)]);
            QCOMPARE(int(found[i].At), offsets[int(i)]);
        }
    }

    void moduleReadReply()
    {
        const std::vector<uint16_t> words{37, 6, 1, 100, 3, 1, 0, 150};
        const Bytes reply = ReadReply(37, words);
        const std::vector<TFoundReply> found = FindReplies(reply.data(), reply.size(), kModuleReadCount);
        QCOMPARE(int(found.size()), 1);
        for (size_t i = 0; i < words.size(); ++i)
            QCOMPARE(found[0].Words[i], words[i]);
        // A probe's reply is no whole read, and the other way round.
        QVERIFY(FindReplies(reply.data(), reply.size(), kProbeCount).empty());
    }
};

QTEST_GUILESS_MAIN(TestScanPlan)
#include "tst_scan_plan.moc"
