#include "app/cli/KeptSettings.h"

#include "app/cli/Interrupt.h"
#include "app/cli/ModbusSession.h"
#include "modbus/ModuleConfig.h"
#include "serial/Clock.h"

#include <algorithm>

namespace talvex::cli {

namespace {

// The module restarts after the flash: polls (each up to three requests) until it answers.
constexpr int kRestartPolls = 3;

// One exchange after the open (the PLC-CAN handshake in that mode); the
// mirror then holds the block, registers 0 ... 31.
bool Exchange(ModbusSession &session, const Options &o, const PortTarget &port, int polls, QString &why)
{
    if (!session.open()) {
        why = QStringLiteral("the port could not be opened at the module's line");
        return false;
    }
    ModbusSession::Outcome outcome = ModbusSession::Outcome::NoAnswer;
    for (int i = 0; i < polls && outcome == ModbusSession::Outcome::NoAnswer; ++i)
        outcome = o.mode == TLinkMode::PlcCan ? session.unlock() : session.poll();
    if (outcome == ModbusSession::Outcome::Exchange)
        return true;
    why = outcome == ModbusSession::Outcome::Interrupted ? QStringLiteral("interrupted")
          : outcome == ModbusSession::Outcome::Removed
              ? QStringLiteral("the adapter was removed")
              : QStringLiteral("station %1 does not answer on %2").arg(o.station).arg(port.name);
    return false;
}

void TakeMirror(ModbusSession &session, KeptSettings &kept)
{
    std::copy_n(session.master().Mirror().begin(), kept.words.size(), kept.words.begin());
    kept.read = true;
}

}  // namespace

bool ReadKeptSettings(const Options &o, const PortTarget &port, KeptSettings &kept, QString &why)
{
    ModbusSession session(port, o.station, o.mode, o.echo, o.linesInverted);
    if (!Exchange(session, o, port, 1, why))
        return false;
    TakeMirror(session, kept);
    // A setting the module holds outside its range or list cannot go back as it was.
    const std::vector<const TSettingRow *> odd = IncompleteSettings(StoredModuleSettings(kept.words.data()));
    if (!odd.empty()) {
        why = QStringLiteral("register %1 holds %2, which the configuration sequence cannot write back")
                  .arg(odd.front()->Register)
                  .arg(kept.words[size_t(odd.front()->Register)]);
        return false;
    }
    return true;
}

bool RestoreKeptSettings(const Options &o, const PortTarget &port, const KeptSettings &kept, KeptSettings &after,
                         QString &why)
{
    ModbusSession session(port, o.station, o.mode, o.echo, o.linesInverted);
    if (!Exchange(session, o, port, kRestartPolls, why))
        return false;
    TConfigWriteResult result;
    {
        const InterruptHold hold("talvex-cli: interrupt noted; the module's settings are written back first\n");
        SleepMs(kPauseBeforeWriteMs);
        const auto mirror = session.master().Mirror();
        result = WriteModuleConfiguration(session.master(), StoredModuleSettings(kept.words.data()),
                                          {true, mirror[Reg::Cfg_Unlock], mirror[Reg::Cfg_Commit]});
    }
    // The read-back of the sequence has put what the module now holds into the mirror.
    if (session.poll() == ModbusSession::Outcome::Exchange)
        TakeMirror(session, after);
    if (!result.Stored) {
        why = QStringLiteral("the configuration sequence did not store them (%1 of %2 writes confirmed)")
                  .arg(result.Echoed)
                  .arg(kConfigWrites);
        return false;
    }
    return true;
}

QJsonObject SettingsWords(const KeptSettings &kept)
{
    QJsonObject words;
    for (const TSettingRow &row : kModuleSettings)
        words[QString::number(row.Register)] = kept.words[size_t(row.Register)];
    return words;
}

}  // namespace talvex::cli
