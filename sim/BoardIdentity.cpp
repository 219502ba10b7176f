#include "sim/BoardIdentity.h"

namespace talvex::sim {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr int kBitsPerDigit = 4;

int DigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

bool ParseUniqueId(const std::string &text, stm32::UniqueId &id)
{
    if (text.size() != 2 * id.size())
        return false;
    stm32::UniqueId parsed{};
    for (size_t i = 0; i < parsed.size(); ++i) {
        const int high = DigitValue(text[2 * i]);
        const int low = DigitValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        parsed[i] = static_cast<uint8_t>(high << kBitsPerDigit | low);
    }
    id = parsed;
    return true;
}

std::string UniqueIdText(const stm32::UniqueId &id)
{
    std::string text;
    for (const uint8_t b : id) {
        text += kHexDigits[b >> kBitsPerDigit];
        text += kHexDigits[b & 0x0F];
    }
    return text;
}

stm32::UniqueId NextUniqueId(const stm32::UniqueId &id)
{
    stm32::UniqueId next = id;
    for (size_t i = next.size(); i-- > 0;)
        if (++next[i] != 0)
            break;
    return next;
}

uint16_t StockFirmwareVersion(uint16_t imageVersion)
{
    return imageVersion > 0 ? static_cast<uint16_t>(imageVersion - 1) : 0;
}

}  // namespace talvex::sim
