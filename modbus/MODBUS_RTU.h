#pragma once
// The main window's Modbus master under the routines' own names: each forwards to
// MainModbusMaster(), so the window, its dialog and its configuration write read
// as plain calls over one link. Every other owner of a port makes a TModbusMaster
// of its own.
#include "modbus/ModbusMaster.h"

#include <cstdint>

// The master behind the routines below; its mirror is RegisterMirror.
TModbusMaster &MainModbusMaster();

void SetModbusLink(TModbusLink link);

// Whether the port counts as echoing now (TModbusMaster::PortEchoes).
bool PortEchoes();
// The exception code of the reply to the last request, 0 when there was none.
uint8_t LastExceptionCode();

// Registers as last read, indexed by register number. Words no read has
// covered hold their own index, so they are recognisable.
extern uint16_t RegisterMirror[kMirrorWords];
void ResetRegisterMirror();

// The routines below are TModbusMaster's of the same names, on the main window's link.

// A read polled by the caller: the request, then a look on every tick.
void SendReadRequest(int32_t address, int32_t count, uint8_t function);
// Register data bytes the pending read expects (2 x count); 0 at start.
extern uint16_t &ExpectedBytes;
void CheckReadResponse();
// Outcome of the last CheckReadResponse.
extern bool &ResponseOk;
bool FetchRegisters(int32_t index);

// The transactions that wait for their answer.
bool WriteRegister(int32_t address, uint16_t value);
bool WriteRegisterOnce(int32_t address, int32_t value, uint8_t function);
bool ReadRegistersOnce(int32_t address, int32_t count, uint16_t *words, int replyWaits = kReadReplyWaits);
