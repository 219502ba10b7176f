#include "sim/FrameLog.h"

namespace talvex::sim {

FrameLog::~FrameLog()
{
    if (ownsFile_ && out_)
        std::fclose(out_);
}

bool FrameLog::open(const std::string &path)
{
    if (ownsFile_ && out_)
        std::fclose(out_);
    out_ = nullptr;
    ownsFile_ = false;
    start_ = std::chrono::steady_clock::now();
    if (path.empty())
        return true;
    if (path == "-") {
        out_ = stderr;
        return true;
    }
    out_ = std::fopen(path.c_str(), "a");
    ownsFile_ = out_ != nullptr;
    return out_ != nullptr;
}

double FrameLog::elapsedMs() const
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
}

void FrameLog::frame(const char *direction, const uint8_t *bytes, size_t size, const std::string &remark)
{
    if (!out_)
        return;
    std::fprintf(out_, "%11.3f %s", elapsedMs(), direction);
    for (size_t i = 0; i < size; ++i)
        std::fprintf(out_, " %02X", bytes[i]);
    if (!remark.empty())
        std::fprintf(out_, "  (%s)", remark.c_str());
    std::fputc('\n', out_);
    std::fflush(out_);
}

void FrameLog::note(const std::string &text)
{
    if (!out_)
        return;
    std::fprintf(out_, "%11.3f -- %s\n", elapsedMs(), text.c_str());
    std::fflush(out_);
}

}  // namespace talvex::sim
