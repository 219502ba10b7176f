#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace talvex::sim {

// Optional record of every frame received and sent, one line each with a
// millisecond time stamp (since the log was opened), as a line analyser would show them:
//   "   1234.567 rx 01 03 00 00 00 20 44 12"
// A log that is not open swallows everything.
class FrameLog {
public:
    FrameLog() = default;
    ~FrameLog();
    FrameLog(const FrameLog &) = delete;
    FrameLog &operator=(const FrameLog &) = delete;

    // "-" writes to standard error; an empty path turns the log off.
    bool open(const std::string &path);
    bool isOpen() const { return out_ != nullptr; }

    void frame(const char *direction, const uint8_t *bytes, size_t size, const std::string &remark = {});
    void note(const std::string &text);

private:
    std::FILE *out_ = nullptr;
    bool ownsFile_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();

    double elapsedMs() const;
};

}  // namespace talvex::sim
