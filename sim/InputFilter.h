#pragma once
#include <array>
#include <cstdint>

namespace talvex::sim {

// The module's input filter for one channel. Level L = 0 passes the latest
// conversion; L = 1 ... 9 averages the middle 4L of the last 8L conversions
// sorted by value (drops the 2L smallest and 2L largest; integer division).
class InputFilter {
public:
    static constexpr int kMaxLevel = 9;
    static constexpr int kHistory = 8 * kMaxLevel;

    void add(uint16_t conversion);
    // Until 8L conversions exist, the same rule runs over those there are.
    uint16_t value(int level) const;
    void clear()
    {
        count_ = 0;
        next_ = 0;
    }

private:
    std::array<uint16_t, kHistory> ring_{};
    int count_ = 0;
    int next_ = 0;  // where the next conversion goes
};

}  // namespace talvex::sim
