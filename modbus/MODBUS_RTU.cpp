#include "modbus/MODBUS_RTU.h"

// The mirror lives here, with the routines that fill it; the main window's master
// fills it in place.
uint16_t RegisterMirror[kMirrorWords];

namespace {

TModbusMaster MainMaster{std::span<uint16_t>(RegisterMirror)};

}  // namespace

uint16_t &ExpectedBytes = MainMaster.ExpectedBytes;
bool &ResponseOk = MainMaster.ResponseOk;

TModbusMaster &MainModbusMaster()
{
    return MainMaster;
}

void SetModbusLink(TModbusLink link)
{
    MainMaster.SetLink(std::move(link));
}

bool PortEchoes()
{
    return MainMaster.PortEchoes();
}

uint8_t LastExceptionCode()
{
    return MainMaster.LastExceptionCode();
}

void ResetRegisterMirror()
{
    MainMaster.ResetMirror();
}

void SendReadRequest(int32_t address, int32_t count, uint8_t function)
{
    MainMaster.SendReadRequest(address, count, function);
}

void CheckReadResponse()
{
    MainMaster.CheckReadResponse();
}

bool FetchRegisters(int32_t index)
{
    return MainMaster.FetchRegisters(index);
}

bool WriteRegisterOnce(int32_t address, int32_t value, uint8_t function)
{
    return MainMaster.WriteRegisterOnce(address, value, function);
}

bool WriteRegister(int32_t address, uint16_t value)
{
    return MainMaster.WriteRegister(address, value);
}

bool ReadRegistersOnce(int32_t address, int32_t count, uint16_t *words, int replyWaits)
{
    return MainMaster.ReadRegistersOnce(address, count, words, replyWaits);
}
