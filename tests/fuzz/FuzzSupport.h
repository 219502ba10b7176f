#pragma once
// What every fuzz harness shares: a reader that turns the input bytes into
// operations and values, and the invariant check. A harness defines
// TalvexFuzzOne(); FuzzMain.cpp hands it libFuzzer's inputs, ReplayMain.cpp the
// committed ones, so the same checks run in the normal test suite.
#include <cstddef>
#include <cstdint>
#include <vector>

// A broken invariant aborts: libFuzzer keeps the input as a crash, the replay test fails.
#define FUZZ_CHECK(cond)                                                                                               \
    do {                                                                                                               \
        if (!(cond))                                                                                                   \
            ::fuzz::Violation(#cond, __FILE__, __LINE__);                                                              \
    } while (0)

int TalvexFuzzOne(const uint8_t *data, size_t size);

namespace fuzz {

[[noreturn]] void Violation(const char *what, const char *file, int line);

// Reads the input front to back. Past the end every value is 0 and bytes() is
// short, so a harness never needs to test for the end except to stop its loop.
class Input {
public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ >= size_; }
    size_t left() const { return size_ - at_; }

    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    bool flag() { return byte() & 1; }
    uint16_t u16() { return static_cast<uint16_t>(byte() << 8 | byte()); }
    uint32_t u32() { return static_cast<uint32_t>(u16()) << 16 | u16(); }
    // A value in [lo, hi].
    int range(int lo, int hi)
    {
        const uint32_t span = static_cast<uint32_t>(hi - lo) + 1;
        const uint32_t raw = span <= 0x100 ? byte() : span <= 0x10000 ? u16() : u32();
        return lo + static_cast<int>(raw % span);
    }
    std::vector<uint8_t> bytes(size_t n)
    {
        const size_t take = n < left() ? n : left();
        std::vector<uint8_t> out(data_ + at_, data_ + at_ + take);
        at_ += take;
        return out;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

}  // namespace fuzz
