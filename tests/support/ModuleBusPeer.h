#pragma once
// Simulated modules on one RS-485 line, answering in-process as the far end of
// the port's test double (FakeSerialState::peer). The double sees the settings the
// port was given whole, parity on or off included, which a pseudo-terminal never
// shows: here 8N1 and 8E1 are different lines, as on a real bus.
#include "modbus/ModbusLine.h"
#include "modbus/RegisterMap.h"
#include "sim/BusTarget.h"
#include "sim/ModbusRtuPersonality.h"
#include "tests/support/FakeSerialPort.h"

#include <QElapsedTimer>

#include <memory>
#include <vector>

class ModuleBusPeer {
public:
    // Every module answers from the start of the line's life; the time the
    // service sees runs from the peer's making.
    ModuleBusPeer() { clock_.start(); }

    // A module that has stored station `station` on `line` and started with it.
    talvex::sim::ModuleCore &add(int station, TModbusLine line, uint16_t firmware = 150)
    {
        using namespace talvex::sim;
        auto m = std::make_unique<Member>();
        ModuleCore &core = m->core;
        core.setFirmwareVersion(firmware);
        core.powerUp(0);
        core.setReg(Reg::Cfg_Unlock, kCfgUnlockCode);
        core.setReg(Reg::Cfg_Station, uint16_t(station));
        core.setReg(Reg::Cfg_Baud485, uint16_t(line.Baud));
        core.setReg(Reg::Cfg_Dat485, uint16_t(line.Format));
        core.setReg(Reg::Cfg_Commit, kCfgCommitCode);
        core.pass(0);  // the commit
        core.powerUp(0);
        bus_.add(core, m->port);
        members_.push_back(std::move(m));
        rtu_.setLineSpeeds(bus_.speeds());
        return core;
    }

    // Installs the bus as the double's far end.
    void attach(FakeSerialState &state)
    {
        state.peer = [this, &state](const uint8_t *data, int size) {
            ++heard_;
            return answer(state.applied.empty() ? LineSettings{} : state.applied.back(), data, size);
        };
    }

    // What the modules answer to `data` sent on `line`: nothing unless a module runs it.
    std::vector<uint8_t> answer(const LineSettings &line, const uint8_t *data, int size)
    {
        using namespace talvex::sim;
        bus_.setToolLine(ToolLineFromSettings(line));
        std::vector<uint8_t> out;
        if (!bus_.hearsLine())
            return out;
        std::vector<LineReply> replies;
        rtu_.receive(data, size_t(size), uint64_t(clock_.elapsed()), replies);
        for (LineReply &r : replies) {
            if (r.sent)
                r.sent();
            out.insert(out.end(), r.bytes.begin(), r.bytes.end());
        }
        return out;
    }

    int heard() const { return heard_; }

private:
    struct Member {
        talvex::sim::ModuleCore core;
        talvex::sim::ModulePortTarget port{core, talvex::sim::ModulePort::Rs485};
    };
    std::vector<std::unique_ptr<Member>> members_;
    talvex::sim::BusTarget bus_;
    talvex::sim::ModbusRtuPersonality rtu_{&bus_, 57600};
    QElapsedTimer clock_;
    int heard_ = 0;
};
