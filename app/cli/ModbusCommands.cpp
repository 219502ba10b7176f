// info, read, watch, write and configure: the main window's exchanges from a shell.
#include "app/cli/Commands.h"
#include "app/cli/Interrupt.h"
#include "app/cli/ModbusSession.h"
#include "app/cli/PortError.h"
#include "modbus/SettingTexts.h"

#include "modbus/ModuleConfig.h"
#include "serial/Clock.h"
#include "trend/CsvRecord.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>

#include <array>
#include <memory>
#include <span>
#include <vector>

namespace talvex::cli {

namespace {

QString Where(const Options &o, const PortTarget &port)
{
    if (o.line != kDefaultModbusLine)
        return QStringLiteral("station %1 on %2 at %3")
            .arg(o.station)
            .arg(port.name, QString::fromStdString(LineText(o.line)));
    return QStringLiteral("station %1 on %2").arg(o.station).arg(port.name);
}

// What the module's last reply refused with: "illegal data address (exception 2)".
QString Refusal(const TModbusMaster &master)
{
    const uint8_t code = master.LastExceptionCode();
    return QStringLiteral("%1 (exception %2)").arg(QString::fromLatin1(ExceptionName(code))).arg(code);
}

// Who did not confirm a write, and the exception it answered with, if any.
QString Answerer(const TModbusMaster &master, const Options &o, const PortTarget &port)
{
    if (master.LastExceptionCode() != 0)
        return QStringLiteral("%1, which answered %2,").arg(Where(o, port), Refusal(master));
    return Where(o, port);
}

// No usable reply: an exception names itself, anything else is no answer.
QString NoReply(const TModbusMaster &master, const Options &o, const PortTarget &port)
{
    if (master.LastExceptionCode() != 0)
        return QStringLiteral("%1 answered: %2").arg(Where(o, port), Refusal(master));
    return QStringLiteral("no answer from %1").arg(Where(o, port));
}

int Failure(ModbusSession &session, ModbusSession::Outcome outcome, const Options &o, const PortTarget &port,
            Output &out)
{
    if (outcome == ModbusSession::Outcome::Removed)
        return FailAdapterRemoved(out, port, QStringLiteral("link"));
    if (outcome == ModbusSession::Outcome::Interrupted)
        return out.fail(InterruptStatus(), QStringLiteral("link"), QStringLiteral("interrupted"));
    if (!out.json())
        out.note(QStringLiteral("a module whose station, baud rate or format is not known is found with: "
                                "talvex-cli -p %1 scan")
                     .arg(port.name));
    return out.fail(kExitFailed, QStringLiteral("link"), NoReply(session.master(), o, port));
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
        return Failure(session, outcome, o, port, out);
    }
    return Failure(session, ModbusSession::Outcome::NoAnswer, o, port, out);
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
    return outcome == ModbusSession::Outcome::Exchange ? kExitDone : Failure(session, outcome, o, port, out);
}

// The settings in the order the listing shows them.
std::array<const TSettingRow *, kModuleSettingCount> Listed()
{
    std::array<const TSettingRow *, kModuleSettingCount> rows{};
    for (const TSettingRow &row : kModuleSettings)
        rows[static_cast<size_t>(row.ListedAt)] = &row;
    return rows;
}

// A setting as the listing shows it, or what its register held (in `registers`,
// indexed by register number) when that is outside the setting's range or list.
QString Shown(const TSettingRow &row, int value, const uint16_t *registers)
{
    if (!row.Holds(value))
        return QStringLiteral("unknown (register %1 holds %2)").arg(row.Register).arg(registers[row.Register]);
    return SettingValueText(row, value);
}

// "can-baud" is "can_baud" in JSON, and a number's key names its unit: "suppress_ms".
QString JsonKey(const TSettingRow &row)
{
    QString key = QString::fromLatin1(row.Name).replace('-', '_');
    if (row.Unit)
        key += '_' + QString::fromLatin1(row.Unit);
    return key;
}

// A number, or a level, as its number; a list as its text; null outside its range or list.
QJsonValue JsonOf(const TSettingRow &row, int value)
{
    if (!row.Holds(value))
        return QJsonValue();
    return row.Kind == TSettingKind::List ? QJsonValue(SettingText(row, value)) : QJsonValue(value);
}

// `s` as read (StoredModuleSettings, so a number outside its range shows as
// unknown rather than as the nearest legal value) or as written. `read`: the
// registers as read (indexed by register number), whose words are added too, so
// an unknown setting still shows its word; null for settings as written.
void AddSettings(const TModuleSettings &s, QString &text, QJsonObject &json, const uint16_t *read)
{
    for (const TSettingRow *row : Listed()) {
        text += QStringLiteral("%1: %2\n").arg(QString::fromLatin1(row->Name), Shown(*row, s.*row->Member, read));
        json[JsonKey(*row)] = JsonOf(*row, s.*row->Member);
    }
    if (read) {
        QJsonObject words;
        for (const TSettingRow &row : kModuleSettings)
            words[QString::number(row.Register)] = read[row.Register];
        json["stored"] = words;
    }
}

QJsonArray Words(std::span<const uint16_t> mirror, int first, int count)
{
    QJsonArray a;
    for (int i = 0; i < count; ++i)
        a.append(mirror[size_t(first + i)]);
    return a;
}

}  // namespace

void AddModuleSettings(const uint16_t *registers, QString &text, QJsonObject &json)
{
    AddSettings(StoredModuleSettings(registers), text, json, registers);
}

int RunInfo(const Options &o, const PortTarget &port, Output &out)
{
    ModbusSession session(port, o.station, o.mode, o.echo, o.linesInverted, o.line);
    if (const int status = StartWithBlock(session, o, port, out))
        return status;
    const std::span<const uint16_t> mirror = session.master().Mirror();
    const uint16_t version = mirror[Reg::FW_Version];
    QString text = QStringLiteral("firmware: %1\n").arg(QString::fromStdString(FirmwareVersionText(version)));
    // The line is named when --baud or --format chose another than the fixed port's.
    if (o.line != kDefaultModbusLine)
        text += QStringLiteral("line: %1\n").arg(QString::fromStdString(LineText(o.line)));
    // "station" is the setting the module stores; "address" the station talked to,
    // "baud" and "format" the line it was talked to on.
    QJsonObject json{{"time", NowUtc()},
                     {"port", port.name},
                     {"address", o.station},
                     {"baud", int(LineBaud(o.line))},
                     {"format", QString::fromUtf8(kDat485Texts[size_t(o.line.Format)])},
                     {"firmware", QString::fromStdString(FirmwareVersionText(version))},
                     {"firmware_word", version},
                     {"mode", ModeName(o.mode)}};
    AddSettings(StoredModuleSettings(mirror.data()), text, json, mirror.data());
    if (o.mode == TLinkMode::PlcCan) {
        const bool unlocked = CanUnlockConfirmed(session.master());
        text += QStringLiteral("plc-can: %1\n").arg(unlocked ? "unlocked" : "locked");
        json["unlocked"] = unlocked;
    }
    out.result(text, json);
    return kExitDone;
}

int RunRead(const Options &o, const PortTarget &port, Output &out)
{
    ModbusSession session(port, o.station, o.mode, o.echo, o.linesInverted, o.line);
    if (const int status = Start(session, o, port, out))
        return status;
    // The registers land in the session's mirror at their numbers.
    const TPollRead read{o.first, o.count, o.first};
    const ModbusSession::Outcome outcome = session.poll(read);
    if (outcome != ModbusSession::Outcome::Exchange)
        return Failure(session, outcome, o, port, out);
    const std::span<const uint16_t> mirror = session.master().Mirror();
    for (int reg = o.first; reg < o.first + o.count; ++reg)
        out.result(QStringLiteral("%1 %2").arg(reg).arg(mirror[size_t(reg)]),
                   QJsonObject{{"register", reg}, {"value", mirror[size_t(reg)]}});
    return kExitDone;
}

int RunWatch(const Options &o, const PortTarget &port, Output &out)
{
    // --csv: the recording's rows, to standard output in place of the table, or to FILE.
    TCsvRecorder csv;
    const bool csvOnStdout = o.csv && o.csvPath.isEmpty();
    if (QString error; o.csv && !csv.Open(csvOnStdout ? QStringLiteral("-") : o.csvPath, LoadChannelUnits(), error))
        return out.fail(kExitUsage, QStringLiteral("usage"), QStringLiteral("--csv: ") + error);
    ModbusSession session(port, o.station, o.mode, o.echo, o.linesInverted, o.line);
    if (const int status = Start(session, o, port, out))
        return status;
    if (!o.json && !o.quiet && !csvOnStdout) {
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
    bool csvLost = false;
    const std::span<const uint16_t> mirror = session.master().Mirror();
    const ModbusSession::Outcome outcome = session.run(
        {}, o.intervalMs,
        [&] {
            ++shown;
            if (csv.IsOpen() && !csv.Row(QDateTime::currentDateTimeUtc(), ChannelValues(mirror.data()))) {
                csvLost = true;
                return false;
            }
            QString line = QStringLiteral(" ");
            const int regs[] = {Reg::AD_Val0, Reg::AD_Count, Reg::DA_Val0, Reg::DA_Count, Reg::DA_Gain0, Reg::DA_Count};
            for (int g = 0; g < 3; ++g)
                for (int i = 0; i < regs[2 * g + 1]; ++i)
                    line += QStringLiteral(" %1").arg(mirror[size_t(regs[2 * g] + i)], 5);
            if (!csvOnStdout)
                out.result(line, QJsonObject{{"time", NowUtc()},
                                             {"exchange", shown},
                                             {"ad", Words(mirror, Reg::AD_Val0, Reg::AD_Count)},
                                             {"da", Words(mirror, Reg::DA_Val0, Reg::DA_Count)},
                                             {"gain", Words(mirror, Reg::DA_Gain0, Reg::DA_Count)}});
            // The window keeps writing the pair while the module has not confirmed.
            if (o.mode == TLinkMode::PlcCan)
                CanHandshakeStep(session.master());
            // A watch whose lines cannot be written has no reader left: it ends.
            return !out.lost() && (o.times == 0 || shown < o.times);
        },
        [&] {
            // A gap in a recorded series says so, with its time, rather than passing
            // unseen; the text lines keep to the values.
            if (o.json)
                out.result(QString(), QJsonObject{{"time", NowUtc()}, {"error", QStringLiteral("no reply")}});
        });
    if (csvLost)
        return out.fail(kExitFailed, QStringLiteral("output"),
                        QStringLiteral("--csv: cannot write \"%1\"").arg(csvOnStdout ? "-" : o.csvPath));
    if (outcome == ModbusSession::Outcome::Exchange || outcome == ModbusSession::Outcome::Interrupted)
        return kExitDone;
    return Failure(session, outcome, o, port, out);
}

int RunWrite(const Options &o, const PortTarget &port, Output &out)
{
    ModbusSession session(port, o.station, o.mode, o.echo, o.linesInverted, o.line);
    // A write's answer is a copy of its request: on a fresh port an adapter's echo
    // would pass for it. A read first shows whether the line echoes (and that the
    // station answers), as configure's read does.
    const bool learnFirst = o.echo == TEchoMode::Auto;
    if (const int status = learnFirst ? StartWithBlock(session, o, port, out) : Start(session, o, port, out))
        return status;
    if (!session.master().WriteRegister(o.reg, static_cast<uint16_t>(o.value))) {
        if (const int status = Removed(session, port, out, QStringLiteral("write")))
            return status;
        return out.fail(kExitFailed, QStringLiteral("write"),
                        QStringLiteral("register %1: no matching echo from %2 after %3 attempts")
                            .arg(o.reg)
                            .arg(Answerer(session.master(), o, port))
                            .arg(kWriteAttempts));
    }
    out.result(QStringLiteral("%1 %2").arg(o.reg).arg(o.value),
               QJsonObject{{"register", o.reg}, {"value", o.value}, {"echoed", true}});
    return kExitDone;
}

int RunConfigure(const Options &o, const PortTarget &port, Output &out)
{
    ModbusSession session(port, o.station, o.mode, o.echo, o.linesInverted, o.line);
    if (const int status = StartWithBlock(session, o, port, out))
        return status;
    // What the module holds, with the settings given in their place.
    const std::span<const uint16_t> mirror = session.master().Mirror();
    TModuleSettings s = StoredModuleSettings(mirror.data());
    for (size_t i = 0; i < kModuleSettings.size(); ++i)
        if (o.config.values[i])
            s.*kModuleSettings[i].Member = *o.config.values[i];
    // A setting read outside its range or list would go back as garbage (or as
    // the nearest legal value, which the module never held): the window asks for
    // a choice there, and so do we, before anything is written. The numbers are
    // named first, then the lists.
    const std::vector<const TSettingRow *> incomplete = IncompleteSettings(s);
    QStringList missing;
    for (const bool lists : {false, true})
        for (const TSettingRow *row : incomplete)
            if (row->IsList() == lists)
                missing << QStringLiteral("--%1 (register %2 holds %3)")
                               .arg(QString::fromLatin1(row->Name))
                               .arg(row->Register)
                               .arg(mirror[size_t(row->Register)]);
    if (!missing.isEmpty())
        return out.fail(kExitUsage, QStringLiteral("configure"),
                        QStringLiteral("the module holds settings outside their range; nothing was written. "
                                       "Give them: %1")
                            .arg(missing.join(QStringLiteral(", "))));

    TConfigWriteResult result;
    {
        // Stopping between the unlock and the commit would leave the module unlocked
        // with half its settings: the sequence runs to its end first.
        const InterruptHold hold("talvex-cli: interrupt noted; the configuration sequence (unlock, settings, "
                                 "commit, read-back) ends first\n");
        SleepMs(kPauseBeforeWriteMs);
        // The slots as the block just read shows them.
        result = WriteModuleConfiguration(session.master(), s,
                                          {true, mirror[Reg::Cfg_Unlock], mirror[Reg::Cfg_Commit]});
    }
    if (!result.Stored && session.driver().DeviceLost())
        return FailAdapterRemoved(out, port, QStringLiteral("configure"));
    if (result.SlotsCleared > 0)
        out.note(
            QStringLiteral("cleared %1 code slot(s) an earlier, broken sequence had left set").arg(result.SlotsCleared));
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
    AddSettings(s, text, json, nullptr);
    out.result(text, json);
    out.note(QStringLiteral("stored; station, CAN and RS-485 settings act from the module's next power-up"));
    if (result.CommitLeftStanding)
        out.error(QStringLiteral("the commit code (register %1) is still set after a lost reply and could not be "
                                 "cleared; the next configure clears it first")
                      .arg(Reg::Cfg_Commit));
    return kExitDone;
}

}  // namespace talvex::cli
