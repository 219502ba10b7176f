#pragma once
// The Modbus master as the master-side harnesses drive it: the serial component
// on a platform double, open, and registered as the link with the station and
// link mode drawn from the input; a harness draws them again between requests.
// Whether the adapter echoes (auto, on, off) is drawn once per run.
#include "modbus/Frames.h"
#include "modbus/MODBUS_RTU.h"
#include "serial/QRT_ComDrv.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/support/FakeSerialPort.h"

#include <cstdint>
#include <memory>

namespace fuzz {

class MasterLink {
public:
    // readSize: bytes one read of the port hands over; 0 keeps the component's default.
    explicit MasterLink(Input &in, int readSize = 0) : drv(nullptr, std::make_unique<FakeSerialPort>(st))
    {
        if (readSize > 0)
            drv.SetComPortInBufSize(static_cast<uint16_t>(readSize));
        FUZZ_CHECK(drv.Open());
        echo = static_cast<TEchoMode>(in.range(0, 2));
        drawAddressing(in);
        SetModbusLink({&drv, [this] { return station; }, [this] { return mode; }, echo});
    }
    MasterLink(const MasterLink &) = delete;
    MasterLink &operator=(const MasterLink &) = delete;

    void drawAddressing(Input &in)
    {
        station = in.range(1, 99);
        mode = in.range(0, 1) ? TLinkMode::PlcCan : TLinkMode::PcUart;
    }

    FakeSerialState st;
    TQRTCommDriver drv;
    int station = 1;
    TLinkMode mode = TLinkMode::PcUart;
    TEchoMode echo = TEchoMode::Auto;
};

}  // namespace fuzz
