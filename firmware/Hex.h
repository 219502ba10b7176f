#pragma once
// How the tool writes an address, a product ID or a byte in its texts: "0x08004000",
// "0x0410", "0xFF". One case everywhere, so a line's logs can be searched for it.
#include <QString>

#include <cstdint>

// "0x" and `digits` hexadecimal digits, upper case.
inline QString Hex(uint32_t value, int digits = 8)
{
    return QStringLiteral("0x") + QStringLiteral("%1").arg(value, digits, 16, QLatin1Char('0')).toUpper();
}
