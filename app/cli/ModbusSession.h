#pragma once
// The Modbus side of talvex-cli: the window's link settings, its polling cycle
// and its PLC-CAN handshake, run on a Qt event loop without a window.
#include "app/cli/Port.h"
#include "app/cli/TraceFile.h"
#include "modbus/ModbusLine.h"
#include "modbus/ModbusMaster.h"
#include "modbus/PollCycle.h"
#include "serial/QRT_ComDrv.h"

#include <functional>

namespace talvex::cli {

class ModbusSession {
public:
    // Requests in a row that may go unanswered (each waits 20 ticks of 30 ms)
    // before the module counts as silent.
    static constexpr int kUnansweredRequests = 3;
    // How long the PLC-CAN handshake may take before it counts as refused.
    static constexpr int kUnlockTimeoutMs = 10000;

    enum class Outcome {
        Exchange,      // a reply came in (and, for unlock(), the module confirmed)
        NoAnswer,      // kUnansweredRequests requests in a row went unanswered
        NotConfirmed,  // PLC-CAN: answers, but register 29 never read 6666
        Interrupted,   // SIGINT or SIGTERM
        Removed,       // the adapter went away (the line hung up)
    };

    // `station` and `mode` address the module, `echo` says whether the adapter
    // hands each request back, `linesInverted` whether its stages invert DTR and RTS;
    // `line` is the baud rate and format to talk in.
    ModbusSession(const PortTarget &port, int station, TLinkMode mode, TEchoMode echo, bool linesInverted = false,
                  TModbusLine line = kDefaultModbusLine);
    ~ModbusSession();
    ModbusSession(const ModbusSession &) = delete;
    ModbusSession &operator=(const ModbusSession &) = delete;

    // Every register number a request can name: the session's mirror covers them
    // all, so a read of any registers lands at their numbers.
    static constexpr size_t kRegisterNumbers = 0x10000;

    // Opens the port as the main window does, with the session's line (57600 8E1 by default).
    bool open();

    // The window's polling cycle on `read`: a request on the next tick, up to 20
    // waiting ticks, then again. After every exchange `onExchange` says whether to
    // go on; the next request goes out no sooner than `intervalMs` after the last.
    // `onUnanswered`, if given, hears of every request that went unanswered.
    Outcome run(const TPollRead &read, int intervalMs, const std::function<bool()> &onExchange,
                const std::function<void()> &onUnanswered = {});
    // One exchange.
    Outcome poll(const TPollRead &read = {});
    // PLC-CAN: polls and writes the unlock pair after every exchange until the
    // module confirms, as the window does; the mirror then holds registers 0 ... 31.
    Outcome unlock();

    TQRTCommDriver &driver() { return driver_; }
    // The session's own master on its port, and the mirror its reads fill.
    TModbusMaster &master() { return master_; }

private:
    PortTarget port_;
    int station_;
    TLinkMode mode_;
    TEchoMode echo_;
    TModbusLine line_;
    TQRTCommDriver driver_;
    TraceTap trace_{driver_, TraceProtocol::Modbus};
    TModbusMaster master_{kRegisterNumbers};
};

}  // namespace talvex::cli
