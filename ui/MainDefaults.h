#pragma once
// The main window's own lists and the values its controls start with. What a
// register value means (the code tables, the module's defaults) is the device's
// and stays in RegisterMap.h.
#include "modbus/Frames.h"

#include <array>

// The mode list ComboBox6: item index i selects kModeItems[i], shown as kModeTexts[i].
inline constexpr int kModeItemPcUart = 0;
inline constexpr int kModeItemPlcCan = 1;
inline constexpr std::array<const char *, 2> kModeTexts = {"PC-UART", "PLC-CAN"};

// The link mode an item index of the mode list selects; no selection (-1) is PC-UART.
inline TLinkMode LinkModeOfItem(int itemIndex)
{
    return itemIndex == kModeItemPlcCan ? TLinkMode::PlcCan : TLinkMode::PcUart;
}

// The write dialog accepts registers within this bound.
inline constexpr int kDialogFirstRegister = 10;
inline constexpr int kDialogLastRegister = 18;

// Defaults of the configuration controls when the window is created.
namespace ToolDefault {
inline constexpr int Station = 1;
inline constexpr int BaudCAN = 6;  // "500K"
inline constexpr int Baud485 = 1;  // "19200"
inline constexpr int TxSuppress = 100;
inline constexpr int Filter = 0;  // "零级"
inline constexpr int Dat485 = 2;  // "8 E 1"
}  // namespace ToolDefault
