#include "tests/support/ScriptedPeer.h"

#include <chrono>
#include <poll.h>
#include <unistd.h>

ScriptedPeer::ScriptedPeer(int masterFd, Answer answer)
    : fd_(masterFd), answer_(std::move(answer)), thread_([this] { run(); })
{
}

ScriptedPeer::~ScriptedPeer()
{
    stop_ = true;
    thread_.join();
}

std::vector<std::vector<uint8_t>> ScriptedPeer::requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<ScriptedPeer::Time> ScriptedPeer::requestTimes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requestTimes_;
}

std::vector<ScriptedPeer::Time> ScriptedPeer::answerEndTimes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return answerEndTimes_;
}

void ScriptedPeer::run()
{
    std::vector<uint8_t> pending;
    int index = 0;
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0)
            continue;
        uint8_t buf[256];
        const ssize_t n = (p.revents & POLLIN) ? read(fd_, buf, sizeof buf) : 0;
        if (n <= 0) {
            // A hung-up line stays "ready" for ever: wait instead of spinning.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        pending.insert(pending.end(), buf, buf + n);
        while (pending.size() >= 8) {
            std::vector<uint8_t> request(pending.begin(), pending.begin() + 8);
            pending.erase(pending.begin(), pending.begin() + 8);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(request);
                requestTimes_.push_back(std::chrono::steady_clock::now());
            }
            for (const Chunk &c : answer_(request, index++)) {
                if (c.delayMs > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(c.delayMs));
                if (!c.bytes.empty() && write(fd_, c.bytes.data(), c.bytes.size()) < 0)
                    return;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            answerEndTimes_.push_back(std::chrono::steady_clock::now());
        }
    }
}
