// info, read, watch, write and configure: the main window's exchanges from a shell.
#include "Commands.h"
#include "Interrupt.h"
#include "ModbusSession.h"
#include "PortError.h"
#include "SettingTexts.h"

#include "Clock.h"
#include "MODBUS_RTU.h"
#include "ModuleConfig.h"

#include <QFileInfo>
#include <QJsonArray>

#include <memory>
#include <tuple>

namespace talvex::cli {

namespace {

QString Where(const Options &o, const PortTarget &port)
{
    return QStringLiteral("station %1 on %2").arg(o.station).arg(port.name);
}

// What the module's last reply refused with: "illegal data address (exception 2)".
QString Refusal()
{
    const uint8_t code = LastExceptionCode();
    return QStringLiteral("%1 (exception %2)").arg(QString::fromLatin1(ExceptionName(code))).arg(code);
}

// Who did not confirm a write, and the exception it answered with, if any.
QString Answerer(const Options &o, const PortTarget &port)
{
    if (LastExceptionCode() != 0)
        return QStringLiteral("%1, which answered %2,").arg(Where(o, port), Refusal());
    return Where(o, port);
}

// No usable reply: an exception names itself, anything else is no answer.
QString NoReply(const Options &o, const PortTarget &port)
{
    if (LastExceptionCode() != 0)
        return QStringLiteral("%1 answered: %2").arg(Where(o, port), Refusal());
    return QStringLiteral("no answer from %1").arg(Where(o, port));
}

int Failure(ModbusSession::Outcome outcome, const Options &o, const PortTarget &port, Output &out)
{
    if (outcome == ModbusSession::Outcome::Removed)
        return FailAdapterRemoved(out, port, QStringLiteral("link"));
    if (outcome == ModbusSession::Outcome::Interrupted)
        return out.fail(kExitInterrupted, QStringLiteral("link"), QStringLiteral("interrupted"));
    return out.fail(kExitFailed, QStringLiteral("link"), NoReply(o, port));
}

// A write that failed because the adapter went away says so, not "no echo":
// the exit status, or 0 when the adapter is still there.
int Removed(ModbusSession &session, const PortTarget &port, Output &out, const QString &stage)
{
    return session.driver().DeviceLost() ? FailAdapterRemoved(out, port, stage) : 0;
}

// Opens the port and, in PLC-CAN mode, runs the window's handshake first.
// Returns 0 when the session is ready, else the exit status.
int Start(ModbusSession &session, const Options &o, const PortTarget &port, Output &out)
{
    if (!session.open())
        return FailPortOpen(out, port, session.driver().LastFault(), session.driver().LastErrorNumber());
    if (o.mode != TLinkMode::PlcCan)
        return kExitDone;
    out.note(QStringLiteral("PLC-CAN: writing the unlock pair until the module confirms"));
    switch (const ModbusSession::Outcome outcome = session.unlock()) {
    case ModbusSession::Outcome::Exchange:
        return kExitDone;
    case ModbusSession::Outcome::NotConfirmed:
        return out.fail(kExitFailed, QStringLiteral("unlock"),
                        QStringLiteral("the gateway answers, but the module did not confirm PLC-CAN access "
                                       "(register 29 never read %1 within %2 s)")
                            .arg(kCanUnlockedMarker)
                            .arg(ModbusSession::kUnlockTimeoutMs / 1000));
    case ModbusSession::Outcome::Interrupted:
    case ModbusSession::Outcome::NoAnswer:
    case ModbusSession::Outcome::Removed:
        return Failure(outcome, o, port, out);
    }
    return Failure(ModbusSession::Outcome::NoAnswer, o, port, out);
}

// Start, then the module's block in the mirror: in PLC-CAN mode the handshake's
// confirming exchange has just read it, otherwise one poll reads it.
int StartWithBlock(ModbusSession &session, const Options &o, const PortTarget &port, Output &out)
{
    if (const int status = Start(session, o, port, out))
        return status;
    if (o.mode == TLinkMode::PlcCan)
        return kExitDone;
    const ModbusSession::Outcome outcome = session.poll();
    return outcome == ModbusSession::Outcome::Exchange ? kExitDone : Failure(outcome, o, port, out);
}

QJsonValue TextOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

// A list setting as text, or what the register held when it is outside the list.
QString Shown(const QString &text, int reg)
{
    return text.isEmpty() ? QStringLiteral("unknown (register %1 holds %2)").arg(reg).arg(RegisterMirror[reg])
                          : text;
}

// A number setting as the module holds it: in its range, or unknown with the stored word.
struct Stored {
    int reg;
    int min;
    int max;
    bool valid() const { return RegisterMirror[reg] >= min && RegisterMirror[reg] <= max; }
};
constexpr Stored kStoredStation{Reg::Cfg_Station, kStationMin, kStationMax};
constexpr Stored kStoredSuppress{Reg::Cfg_TxSuppress, kTxSuppressMin, kTxSuppressMax};

// `fromModule`: the settings were just read, so a number outside its range shows
// as unknown rather than as the nearest legal value.
void AddSettings(const TModuleSettings &s, QString &text, QJsonObject &json, bool fromModule)
{
    const bool stationKnown = !fromModule || kStoredStation.valid();
    const bool suppressKnown = !fromModule || kStoredSuppress.valid();
    text += QStringLiteral("station: %1\n")
                .arg(stationKnown ? QString::number(s.Station) : Shown(QString(), Reg::Cfg_Station));
    text += QStringLiteral("can-baud: %1\n").arg(Shown(BaudCanText(s.BaudCAN), Reg::Cfg_BaudCAN));
    text += QStringLiteral("rs485-baud: %1\n").arg(Shown(Baud485Text(s.Baud485), Reg::Cfg_Baud485));
    text += QStringLiteral("rs485-format: %1\n").arg(Shown(Dat485Text(s.Dat485), Reg::Cfg_Dat485));
    text += QStringLiteral("filter: %1\n")
                .arg(FilterText(s.Filter).isEmpty()
                         ? Shown(QString(), Reg::Cfg_Filter)
                         : QStringLiteral("%1 (%2)").arg(s.Filter).arg(FilterText(s.Filter)));
    text += suppressKnown ? QStringLiteral("suppress: %1 ms\n").arg(s.TxSuppress)
                          : QStringLiteral("suppress: %1\n").arg(Shown(QString(), Reg::Cfg_TxSuppress));
    json["station"] = stationKnown ? QJsonValue(s.Station) : QJsonValue();
    json["can_baud"] = TextOrNull(BaudCanText(s.BaudCAN));
    json["rs485_baud"] = TextOrNull(Baud485Text(s.Baud485));
    json["rs485_format"] = TextOrNull(Dat485Text(s.Dat485));
    json["filter"] = FilterText(s.Filter).isEmpty() ? QJsonValue() : QJsonValue(s.Filter);
    json["suppress_ms"] = suppressKnown ? QJsonValue(s.TxSuppress) : QJsonValue();
    if (fromModule) {
        // What registers 21 ... 26 hold, so an unknown setting still shows its word.
        QJsonObject words;
        for (int reg = Reg::Cfg_Station; reg <= Reg::Cfg_Dat485; ++reg)
            words[QString::number(reg)] = RegisterMirror[reg];
        json["stored"] = words;
    }
}

QJsonArray Words(int first, int count)
{
    QJsonArray a;
    for (int i = 0; i < count; ++i)
        a.append(RegisterMirror[first + i]);
    return a;
}

} // namespace

int RunInfo(const Options &o, const PortTarget &port, Output &out)
{
    ModbusSession session(port, o.station, o.mode, o.echo);
    if (const int status = StartWithBlock(session, o, port, out))
        return status;
    const uint16_t version = RegisterMirror[Reg::FW_Version];
    QString text = QStringLiteral("firmware: %1\n").arg(QString::fromStdString(FirmwareVersionText(version)));
    // "station" is the setting the module stores; "address" the station talked to.
    QJsonObject json{{"time", NowUtc()},
                     {"port", port.name},
                     {"address", o.station},
                     {"firmware", QString::fromStdString(FirmwareVersionText(version))},
                     {"firmware_word", version},
                     {"mode", ModeName(o.mode)}};
    AddSettings(DecodeModuleSettings(RegisterMirror), text, json, true);
    if (o.mode == TLinkMode::PlcCan) {
        text += QStringLiteral("plc-can: %1\n").arg(CanUnlockConfirmed() ? "unlocked" : "locked");
        json["unlocked"] = CanUnlockConfirmed();
    }
    out.result(text, json);
    return kExitDone;
}

int RunRead(const Options &o, const PortTarget &port, Output &out)
{
    ModbusSession session(port, o.station, o.mode, o.echo);
    if (const int status = Start(session, o, port, out))
        return status;
    // The registers land in the mirror from word 0 on, whatever their numbers.
    const TPollRead read{o.first, o.count, 0};
    const ModbusSession::Outcome outcome = session.poll(read);
    if (outcome != ModbusSession::Outcome::Exchange)
        return Failure(outcome, o, port, out);
    for (int i = 0; i < o.count; ++i)
        out.result(QStringLiteral("%1 %2").arg(o.first + i).arg(RegisterMirror[i]),
                   QJsonObject{{"register", o.first + i}, {"value", RegisterMirror[i]}});
    return kExitDone;
}

int RunWatch(const Options &o, const PortTarget &port, Output &out)
{
    ModbusSession session(port, o.station, o.mode, o.echo);
    if (const int status = Start(session, o, port, out))
        return status;
    if (!o.json && !o.quiet) {
        QString header = QStringLiteral("#");
        for (int c = 0; c < Reg::AD_Count; ++c)
            header += QStringLiteral(" %1").arg(QStringLiteral("AD%1").arg(c), 5);
        for (int c = 0; c < Reg::DA_Count; ++c)
            header += QStringLiteral(" %1").arg(QStringLiteral("DA%1").arg(c), 5);
        for (int c = 0; c < Reg::DA_Count; ++c)
            header += QStringLiteral(" %1").arg(QStringLiteral("G%1").arg(c), 5);
        out.result(header, {});
    }
    int shown = 0;
    const ModbusSession::Outcome outcome = session.run({}, o.intervalMs, [&] {
        ++shown;
        QString line = QStringLiteral(" ");
        const int regs[] = {Reg::AD_Val0, Reg::AD_Count, Reg::DA_Val0, Reg::DA_Count, Reg::DA_Gain0, Reg::DA_Count};
        for (int g = 0; g < 3; ++g)
            for (int i = 0; i < regs[2 * g + 1]; ++i)
                line += QStringLiteral(" %1").arg(RegisterMirror[regs[2 * g] + i], 5);
        out.result(line, QJsonObject{{"exchange", shown},
                                     {"ad", Words(Reg::AD_Val0, Reg::AD_Count)},
                                     {"da", Words(Reg::DA_Val0, Reg::DA_Count)},
                                     {"gain", Words(Reg::DA_Gain0, Reg::DA_Count)}});
        // The window keeps writing the pair while the module has not confirmed.
        if (o.mode == TLinkMode::PlcCan)
            CanHandshakeStep();
        // A watch whose lines cannot be written has no reader left: it ends.
        return !out.lost() && (o.times == 0 || shown < o.times);
    });
    if (outcome == ModbusSession::Outcome::Exchange || outcome == ModbusSession::Outcome::Interrupted)
        return kExitDone;
    return Failure(outcome, o, port, out);
}

int RunWrite(const Options &o, const PortTarget &port, Output &out)
{
    ModbusSession session(port, o.station, o.mode, o.echo);
    if (const int status = Start(session, o, port, out))
        return status;
    if (!WriteRegister(o.reg, static_cast<uint16_t>(o.value))) {
        if (const int status = Removed(session, port, out, QStringLiteral("write")))
            return status;
        return out.fail(kExitFailed, QStringLiteral("write"),
                        QStringLiteral("register %1: no matching echo from %2 after %3 attempts")
                            .arg(o.reg)
                            .arg(Answerer(o, port))
                            .arg(kWriteAttempts));
    }
    out.result(QStringLiteral("%1 %2").arg(o.reg).arg(o.value),
               QJsonObject{{"register", o.reg}, {"value", o.value}, {"echoed", true}});
    return kExitDone;
}

int RunConfigure(const Options &o, const PortTarget &port, Output &out)
{
    ModbusSession session(port, o.station, o.mode, o.echo);
    if (const int status = StartWithBlock(session, o, port, out))
        return status;
    TModuleSettings s = DecodeModuleSettings(RegisterMirror);
    const ConfigChanges &c = o.config;
    // A setting read outside its range or list would go back as garbage (or as
    // the nearest legal value, which the module never held): the window asks for
    // a choice there, and so do we, before anything is written.
    QStringList missing;
    if (!c.station && !kStoredStation.valid())
        missing << QStringLiteral("--station (register %1 holds %2)").arg(Reg::Cfg_Station).arg(RegisterMirror[Reg::Cfg_Station]);
    if (!c.suppressMs && !kStoredSuppress.valid())
        missing << QStringLiteral("--suppress (register %1 holds %2)")
                       .arg(Reg::Cfg_TxSuppress)
                       .arg(RegisterMirror[Reg::Cfg_TxSuppress]);
    const std::tuple<bool, int, const char *, int> lists[] = {{c.baudCan.has_value(), s.BaudCAN, "--can-baud", Reg::Cfg_BaudCAN},
                                                              {c.baud485.has_value(), s.Baud485, "--rs485-baud", Reg::Cfg_Baud485},
                                                              {c.filter.has_value(), s.Filter, "--filter", Reg::Cfg_Filter},
                                                              {c.dat485.has_value(), s.Dat485, "--rs485-format", Reg::Cfg_Dat485}};
    for (const auto &[given, index, option, reg] : lists)
        if (!given && index == TModuleSettings::kNoSelection)
            missing << QStringLiteral("%1 (register %2 holds %3)").arg(option).arg(reg).arg(RegisterMirror[reg]);
    if (!missing.isEmpty())
        return out.fail(kExitUsage, QStringLiteral("configure"),
                        QStringLiteral("the module holds settings outside their range; nothing was written. "
                                       "Give them: %1")
                            .arg(missing.join(QStringLiteral(", "))));
    s.Station = c.station.value_or(s.Station);
    s.BaudCAN = c.baudCan.value_or(s.BaudCAN);
    s.Baud485 = c.baud485.value_or(s.Baud485);
    s.Dat485 = c.dat485.value_or(s.Dat485);
    s.Filter = c.filter.value_or(s.Filter);
    s.TxSuppress = c.suppressMs.value_or(s.TxSuppress);

    TConfigWriteResult result;
    {
        // Stopping between the unlock and the commit would leave the module unlocked
        // with half its settings: the sequence runs to its end first.
        const InterruptHold hold("talvex-cli: interrupt noted; the configuration sequence (unlock, settings, "
                                 "commit, read-back) ends first\n");
        SleepMs(kPauseBeforeWriteMs);
        result = WriteModuleConfiguration(s);
    }
    if (!result.Stored && session.driver().DeviceLost())
        return FailAdapterRemoved(out, port, QStringLiteral("configure"));
    if (!result.SettingsWritten)
        return out.fail(kExitFailed, QStringLiteral("configure"),
                        QStringLiteral("register %1 not echoed (%2 of %3 writes confirmed); the sequence stopped, "
                                       "nothing was stored")
                            .arg(result.FailedRegister)
                            .arg(result.Echoed)
                            .arg(kConfigWrites));
    if (!result.Committed)
        return out.fail(kExitFailed, QStringLiteral("commit"),
                        QStringLiteral("the commit code (register %1) was not echoed; the settings may not be stored")
                            .arg(Reg::Cfg_Commit));
    if (!result.Stored)
        return out.fail(kExitFailed, QStringLiteral("read-back"),
                        QStringLiteral("every write was echoed, but reading back shows the module did not store "
                                       "the settings (did it restart during the sequence?)"));
    QString text;
    QJsonObject json{{"time", NowUtc()}, {"port", port.name}, {"address", o.station}, {"configured", true}};
    AddSettings(s, text, json, false);
    out.result(text, json);
    out.note(QStringLiteral("stored; station, CAN and RS-485 settings act from the module's next power-up"));
    return kExitDone;
}

} // namespace talvex::cli
