// The scan engine on its timers, against the port's test double: simulated modules
// on one line answer in-process (the double sees parity on or off, which no pty
// shows), or a scripted far end brings noise, bad CRCs and late replies.
#include "modbus/ModuleConfig.h"
#include "modbus/ScanEngine.h"
#include "serial/QRT_ComDrv.h"
#include "tests/support/FakeSerialPort.h"
#include "tests/support/ModbusBytes.h"
#include "tests/support/ModuleBusPeer.h"

#include <QSignalSpy>
#include <QtTest>

#include <functional>
#include <memory>

Q_DECLARE_METATYPE(TScanRequest)
Q_DECLARE_METATYPE(TScanEnd)

namespace {

constexpr TModbusLine k57600E{3, 2}, k19200O{1, 1}, k19200N{1, 0}, k19200E{1, 2}, k9600N{0, 0};
constexpr int kScanTimeoutMs = 30000;

TScanRequest Request(std::vector<int> stations, std::vector<int> bauds = {}, std::vector<int> formats = {},
                     bool all = false)
{
    TScanRequest r;
    r.Stations = std::move(stations);
    r.Bauds = std::move(bauds);
    r.Formats = std::move(formats);
    r.All = all;
    return r;
}

// The engine on a driver whose platform layer is the double.
struct Rig {
    FakeSerialState state;
    TQRTCommDriver driver{nullptr, std::make_unique<FakeSerialPort>(state)};
    TScanEngine engine{driver};
    std::vector<TFoundModule> found;
    std::vector<TScanProgress> progress;
    std::optional<TScanEnd> end;

    Rig()
    {
        QObject::connect(&engine, &TScanEngine::ModuleFound, [this](const TFoundModule &m) { found.push_back(m); });
        QObject::connect(&engine, &TScanEngine::Progress, [this](const TScanProgress &p) { progress.push_back(p); });
        QObject::connect(&engine, &TScanEngine::Finished, [this](TScanEnd e) { end = e; });
    }
    // Runs a search to its end.
    bool run(const TScanRequest &request)
    {
        if (!engine.Start(request))
            return false;
        return QTest::qWaitFor([this] { return end.has_value(); }, kScanTimeoutMs);
    }
};

QString Describe(const std::vector<TFoundModule> &found)
{
    QStringList out;
    for (const TFoundModule &m : found)
        out << QString("%1 at %2").arg(m.Station).arg(QString::fromStdString(LineText(m.Line)));
    return out.join(", ");
}

// A module placed on the bus: its station, line and firmware.
struct Placed {
    int station;
    TModbusLine line;
    uint16_t firmware;
};

// A far end that answers each request from its station, line and number.
using Script = std::function<Bytes(const Bytes &request, int index)>;

}  // namespace

Q_DECLARE_METATYPE(std::vector<Placed>)

class TestScanEngine : public QObject {
    Q_OBJECT

private slots:
    // Searches over a bus of simulated modules: where they end, what they found, how many probes it took.
    void searches_data()
    {
        QTest::addColumn<std::vector<Placed>>("modules");
        QTest::addColumn<TScanRequest>("request");
        QTest::addColumn<QString>("found");
        QTest::addColumn<TScanEnd>("end");
        QTest::addColumn<int>("probes");
        QTest::newRow("the first module ends it: the fixed port's line, station 1, first of all")
            << std::vector<Placed>{{1, k57600E, 150}, {5, k57600E, 150}} << TScanRequest{} << "1 at 57600 8 E 1 (1.50)"
            << TScanEnd::FirstFound << 1;
        // The default line (3 probes), 9600 in three formats (9), 19200 8N1 (3), then 36 and 37.
        QTest::newRow("the first module ends it, on another line")
            << std::vector<Placed>{{37, k19200O, 150}} << Request({36, 37, 38}) << "37 at 19200 8 O 1 (1.50)"
            << TScanEnd::FirstFound << 3 + 9 + 3 + 2;
        QTest::newRow("--all: every module of a bus, in the order of the probes")
            << std::vector<Placed>{{90, k9600N, 149}, {37, k19200O, 150}, {3, k57600E, 150}}
            << Request({3, 37, 90}, {}, {}, true)
            << "3 at 57600 8 E 1 (1.50), 90 at 9600 8 N 1 (1.49), 37 at 19200 8 O 1 (1.50)" << TScanEnd::Completed
            << 3 * 4 * 3;
        QTest::newRow("--all, nobody there")
            << std::vector<Placed>{} << Request({1, 2}, {3}, {}, true) << "" << TScanEnd::Completed << 2 * 3;
    }
    void searches()
    {
        QFETCH(std::vector<Placed>, modules);
        QFETCH(TScanRequest, request);
        QFETCH(QString, found);
        QFETCH(TScanEnd, end);
        QFETCH(int, probes);
        Rig rig;
        ModuleBusPeer bus;
        for (const Placed &m : modules)
            bus.add(m.station, m.line, m.firmware);
        bus.attach(rig.state);
        QVERIFY(rig.run(request));
        QCOMPARE(*rig.end, end);
        QStringList described;
        for (const TFoundModule &m : rig.found) {
            described << QString("%1 at %2 (%3)")
                             .arg(m.Station)
                             .arg(QString::fromStdString(LineText(m.Line)),
                                  QString::fromStdString(FirmwareVersionText(m.Firmware())));
            // Read whole: its stored settings name its station and line.
            QCOMPARE(int(m.Register(Reg::Cfg_Station)), m.Station);
            QCOMPARE(int(m.Register(Reg::Cfg_Baud485)), m.Line.Baud);
            QCOMPARE(int(m.Register(Reg::Cfg_Dat485)), m.Line.Format);
        }
        QCOMPARE(described.join(", "), found);
        QCOMPARE(rig.engine.ProbesSent(), probes);
        QCOMPARE(rig.progress.size(), size_t(probes));
        QCOMPARE(rig.progress.back().Done, probes);
        if (end == TScanEnd::Completed)
            QCOMPARE(rig.progress.back().Percent, 100);
        // The engine opened the port and closed it again.
        QVERIFY(!rig.driver.IsOpen());
    }

    // Parity on or off: a module at 8N1 answers a tool at 8N1 only, never at 8E1.
    // The double shows what a pty hides (parity off and even look alike there).
    void evenAndNoParityAreDifferentLines_data()
    {
        QTest::addColumn<TModbusLine>("module");
        QTest::addColumn<TScanRequest>("request");
        QTest::addColumn<QString>("found");
        QTest::newRow("8N1 module, 8E1 and 8N1 tried")
            << k19200N << Request({12}, {1}, {2, 0}, true) << "12 at 19200 8 N 1";
        QTest::newRow("8N1 module, 8E1 tried") << k19200N << Request({12}, {1}, {2}, true) << "";
        QTest::newRow("8E1 module, 8N1 tried") << k19200E << Request({12}, {1}, {0}, true) << "";
        QTest::newRow("8E1 module, every format") << k19200E << Request({12}, {1}, {}, true) << "12 at 19200 8 E 1";
        QTest::newRow("8O1 module, other speeds") << k19200O << Request({12}, {0, 2, 3}, {}, true) << "";
    }
    void evenAndNoParityAreDifferentLines()
    {
        QFETCH(TModbusLine, module);
        QFETCH(TScanRequest, request);
        QFETCH(QString, found);
        Rig rig;
        ModuleBusPeer bus;
        bus.add(12, module);
        bus.attach(rig.state);
        QVERIFY(rig.run(request));
        QCOMPARE(*rig.end, TScanEnd::Completed);
        QCOMPARE(Describe(rig.found), found);
        QVERIFY(bus.heard() > 0);
    }

    // What the far end brings instead of a module: none of it is ever a module found.
    void noiseIsNeverAModule_data()
    {
        QTest::addColumn<Script>("script");
        QTest::newRow("noise") << Script([](const Bytes &, int i) {
            Bytes b(13);
            for (size_t k = 0; k < b.size(); ++k)
                b[k] = uint8_t(i * 37 + int(k) * 101);
            return b;
        });
        QTest::newRow("a reply with a bad CRC") << Script([](const Bytes &r, int) {
            Bytes reply = ReadReply(r[0], {150});
            reply.back() ^= 0x40;
            return reply;
        });
        QTest::newRow("the echo of the request") << Script([](const Bytes &r, int) { return r; });
        QTest::newRow("exception replies") << Script([](const Bytes &r, int) { return WithCrc({r[0], 0x83, 0x02}); });
        // A valid answer to the probe that the whole read does not confirm.
        QTest::newRow("answers the probe only")
            << Script([](const Bytes &r, int) { return r[5] == kProbeCount ? ReadReply(r[0], {150}) : Bytes{}; });
        QTest::newRow("a whole read that names another version") << Script([](const Bytes &r, int) {
            return r[5] == kProbeCount ? ReadReply(r[0], {150}) : ReadReply(r[0], {1, 6, 3, 100, 3, 2, 0, 151});
        });
    }
    void noiseIsNeverAModule()
    {
        QFETCH(Script, script);
        Rig rig;
        int index = 0;
        rig.state.peer = [&](const uint8_t *data, int size) { return script(Bytes(data, data + size), index++); };
        QVERIFY(rig.run(Request({1, 2, 3, 4, 5}, {3, 1}, {}, true)));
        QCOMPARE(*rig.end, TScanEnd::Completed);
        QVERIFY2(rig.found.empty(), qPrintable(Describe(rig.found)));
        QVERIFY(index >= 5 * 2 * 3);
    }

    // A reply that comes after its probe's wait, during the next probe, still counts.
    void aLateReplyCounts()
    {
        Rig rig;
        const uint32_t probeMs = ProbeWaitMs(k57600E, kTurnaroundAllowanceMs);
        int lateProbes = 0;
        rig.state.peer = [&](const uint8_t *data, int) -> Bytes {
            if (data[0] != 7)
                return {};
            if (data[5] != kProbeCount)
                return ReadReply(7, {7, 6, 3, 100, 3, 2, 0, 150});
            // Held back past the probe's wait, delivered while the next one is out.
            ++lateProbes;
            QTimer::singleShot(int(probeMs * 3 / 2), [&rig] { rig.state.reads.push_back(ReadReply(7, {150})); });
            return {};
        };
        QVERIFY(rig.run(Request({5, 6, 7, 8, 9, 10, 11, 12}, {3}, {2})));
        QCOMPARE(*rig.end, TScanEnd::FirstFound);
        QCOMPARE(Describe(rig.found), QString("7 at 57600 8 E 1"));
        QCOMPARE(lateProbes, 1);
        // Found while a later probe was out.
        QVERIFY(rig.engine.ProbesSent() > 3);
    }

    void stopEndsAtOnce()
    {
        Rig rig;
        QVERIFY(rig.engine.Start({}));
        QVERIFY(rig.driver.IsOpen());
        QTest::qWait(50);
        rig.engine.Stop();
        QCOMPARE(*rig.end, TScanEnd::Stopped);
        QVERIFY(!rig.engine.Running());
        QVERIFY(!rig.driver.IsOpen());
        const int sent = rig.engine.ProbesSent();
        QVERIFY(sent > 0 && sent < 99 * 12);
        QTest::qWait(50);
        QCOMPARE(rig.engine.ProbesSent(), sent);
    }

    void aPortThatWillNotOpen()
    {
        Rig rig;
        rig.state.openFails = true;
        QVERIFY(rig.engine.Start({}));
        QCOMPARE(*rig.end, TScanEnd::PortFailed);
        QCOMPARE(rig.engine.ProbesSent(), 0);
    }

    // The line changes on the open port: set, not opened again (an open pulses a
    // module's reset on its adapter).
    void linesAreSetOnTheOpenPort()
    {
        Rig rig;
        // The line each probe went out on.
        std::vector<std::pair<uint32_t, int>> lines;
        rig.state.peer = [&](const uint8_t *, int) {
            lines.emplace_back(rig.state.applied.back().baud, rig.state.applied.back().parity);
            return Bytes{};
        };
        QVERIFY(rig.run(Request({1}, {0, 1}, {0, 2})));
        QCOMPARE(std::count(rig.state.calls.begin(), rig.state.calls.end(), std::string("close")), 1);
        QCOMPARE(int(std::count_if(rig.state.calls.begin(), rig.state.calls.end(),
                                   [](const std::string &c) { return c.rfind("open:", 0) == 0; })),
                 1);
        const std::vector<std::pair<uint32_t, int>> expected{{9600, 0}, {9600, 2}, {19200, 0}, {19200, 2}};
        QCOMPARE(lines, expected);
    }
};

QTEST_MAIN(TestScanEngine)
#include "tst_scan_engine.moc"
