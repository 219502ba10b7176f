// info, read, watch, write and configure: the main window's exchanges from a shell.
#include "Commands.h"
#include "ModbusSession.h"
#include "SettingTexts.h"

#include "Clock.h"
#include "MODBUS_RTU.h"
#include "ModuleConfig.h"

#include <QFileInfo>
#include <QJsonArray>

#include <memory>

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

// Opens the port and, in PLC-CAN mode, runs the window's handshake first.
// Returns 0 when the session is ready, else the exit status.
int Start(ModbusSession &session, const Options &o, const PortTarget &port, Output &out)
{
    if (!session.open()) {
        const bool exists = QFileInfo::exists(QString::fromStdString(port.device));
        const QString device = QString::fromStdString(port.device);
        out.error(QStringLiteral("cannot open %1%2: %3")
                      .arg(port.name, device == port.name ? QString() : QStringLiteral(" (%1)").arg(device),
                           exists ? QStringLiteral("busy, or not a serial device") : QStringLiteral("no such device")));
        return kExitPort;
    }
    if (o.mode != TLinkMode::PlcCan)
        return kExitDone;
    out.note(QStringLiteral("PLC-CAN: writing the unlock pair until the module confirms"));
    switch (session.unlock()) {
    case ModbusSession::Outcome::Exchange:
        return kExitDone;
    case ModbusSession::Outcome::NotConfirmed:
        out.error(QStringLiteral("the gateway answers, but the module did not confirm PLC-CAN access "
                                 "(register 29 never read %1 within %2 s)")
                      .arg(kCanUnlockedMarker)
                      .arg(ModbusSession::kUnlockTimeoutMs / 1000));
        return kExitFailed;
    case ModbusSession::Outcome::Interrupted:
        out.error(QStringLiteral("interrupted"));
        return kExitFailed;
    case ModbusSession::Outcome::NoAnswer:
        break;
    }
    out.error(NoReply(o, port));
    return kExitFailed;
}

int Failure(ModbusSession::Outcome outcome, const Options &o, const PortTarget &port, Output &out)
{
    if (outcome == ModbusSession::Outcome::Interrupted)
        out.error(QStringLiteral("interrupted"));
    else
        out.error(NoReply(o, port));
    return kExitFailed;
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

void AddSettings(const TModuleSettings &s, QString &text, QJsonObject &json)
{
    text += QStringLiteral("station: %1\n").arg(s.Station);
    text += QStringLiteral("can-baud: %1\n").arg(Shown(BaudCanText(s.BaudCAN), Reg::Cfg_BaudCAN));
    text += QStringLiteral("rs485-baud: %1\n").arg(Shown(Baud485Text(s.Baud485), Reg::Cfg_Baud485));
    text += QStringLiteral("rs485-format: %1\n").arg(Shown(Dat485Text(s.Dat485), Reg::Cfg_Dat485));
    text += QStringLiteral("filter: %1\n")
                .arg(FilterText(s.Filter).isEmpty()
                         ? Shown(QString(), Reg::Cfg_Filter)
                         : QStringLiteral("%1 (%2)").arg(s.Filter).arg(FilterText(s.Filter)));
    text += QStringLiteral("suppress: %1 ms\n").arg(s.TxSuppress);
    json["station"] = s.Station;
    json["can_baud"] = TextOrNull(BaudCanText(s.BaudCAN));
    json["rs485_baud"] = TextOrNull(Baud485Text(s.Baud485));
    json["rs485_format"] = TextOrNull(Dat485Text(s.Dat485));
    json["filter"] = FilterText(s.Filter).isEmpty() ? QJsonValue() : QJsonValue(s.Filter);
    json["suppress_ms"] = s.TxSuppress;
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
    ModbusSession session(o, port);
    if (const int status = StartWithBlock(session, o, port, out))
        return status;
    const uint16_t version = RegisterMirror[Reg::FW_Version];
    QString text = QStringLiteral("firmware: %1\n").arg(QString::fromStdString(FirmwareVersionText(version)));
    QJsonObject json{{"firmware", QString::fromStdString(FirmwareVersionText(version))},
                     {"firmware_word", version},
                     {"mode", ModeName(o.mode)}};
    AddSettings(DecodeModuleSettings(RegisterMirror), text, json);
    if (o.mode == TLinkMode::PlcCan) {
        text += QStringLiteral("plc-can: %1\n").arg(CanUnlockConfirmed() ? "unlocked" : "locked");
        json["unlocked"] = CanUnlockConfirmed();
    }
    out.result(text, json);
    return kExitDone;
}

int RunRead(const Options &o, const PortTarget &port, Output &out)
{
    ModbusSession session(o, port);
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
    ModbusSession session(o, port);
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
        return o.times == 0 || shown < o.times;
    });
    if (outcome == ModbusSession::Outcome::Exchange || outcome == ModbusSession::Outcome::Interrupted)
        return kExitDone;
    return Failure(outcome, o, port, out);
}

int RunWrite(const Options &o, const PortTarget &port, Output &out)
{
    ModbusSession session(o, port);
    if (const int status = Start(session, o, port, out))
        return status;
    if (!WriteRegister(o.reg, static_cast<uint16_t>(o.value))) {
        out.error(QStringLiteral("register %1: no matching echo from %2 after %3 attempts")
                      .arg(o.reg)
                      .arg(Answerer(o, port))
                      .arg(kWriteAttempts));
        return kExitFailed;
    }
    out.result(QStringLiteral("%1 %2").arg(o.reg).arg(o.value),
               QJsonObject{{"register", o.reg}, {"value", o.value}, {"echoed", true}});
    return kExitDone;
}

int RunConfigure(const Options &o, const PortTarget &port, Output &out)
{
    ModbusSession session(o, port);
    if (const int status = StartWithBlock(session, o, port, out))
        return status;
    TModuleSettings s = DecodeModuleSettings(RegisterMirror);
    const ConfigChanges &c = o.config;
    s.Station = c.station.value_or(s.Station);
    s.BaudCAN = c.baudCan.value_or(s.BaudCAN);
    s.Baud485 = c.baud485.value_or(s.Baud485);
    s.Dat485 = c.dat485.value_or(s.Dat485);
    s.Filter = c.filter.value_or(s.Filter);
    s.TxSuppress = c.suppressMs.value_or(s.TxSuppress);
    // A setting the module holds outside its list would go out as garbage: the
    // window asks for a choice there, and so do we, before anything is written.
    const std::pair<int, const char *> lists[] = {
        {s.BaudCAN, "--can-baud"}, {s.Baud485, "--rs485-baud"}, {s.Filter, "--filter"}, {s.Dat485, "--rs485-format"}};
    for (const auto &[index, option] : lists) {
        if (index == TModuleSettings::kNoSelection) {
            out.error(QStringLiteral("the module holds a value outside the list for %1; give %1").arg(option));
            return kExitUsage;
        }
    }

    SleepMs(kPauseBeforeWriteMs);
    const TConfigWriteResult result = WriteModuleConfiguration(s);
    if (!result.SettingsWritten) {
        out.error(QStringLiteral("register %1 not echoed (%2 of %3 writes confirmed); the sequence stopped, "
                                 "nothing was stored")
                      .arg(result.FailedRegister)
                      .arg(result.Echoed)
                      .arg(kConfigWrites));
        return kExitFailed;
    }
    if (!result.Committed) {
        out.error(QStringLiteral("the commit code (register %1) was not echoed; the settings may not be stored")
                      .arg(Reg::Cfg_Commit));
        return kExitFailed;
    }
    if (!result.Stored) {
        out.error(QStringLiteral("every write was echoed, but reading back shows the module did not store "
                                 "the settings (did it restart during the sequence?)"));
        return kExitFailed;
    }
    QString text;
    QJsonObject json{{"configured", true}};
    AddSettings(s, text, json);
    out.result(text, json);
    out.note(QStringLiteral("stored; station, CAN and RS-485 settings act from the module's next power-up"));
    return kExitDone;
}

} // namespace talvex::cli
