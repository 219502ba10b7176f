#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// Plays the far end of a pty on a thread of its own, so it can answer while the
// code under test blocks the GUI thread. Every 8 bytes received are taken as one
// request; `answer` gives the reply chunks and a pause before each.
class ScriptedPeer {
public:
    struct Chunk {
        int delayMs = 0;
        std::vector<uint8_t> bytes;
    };
    using Answer = std::function<std::vector<Chunk>(const std::vector<uint8_t> &request, int index)>;

    ScriptedPeer(int masterFd, Answer answer);
    ~ScriptedPeer();

    std::vector<std::vector<uint8_t>> requests() const;
    using Time = std::chrono::steady_clock::time_point;
    // When each request was read whole, and when the last byte of each answer was written.
    std::vector<Time> requestTimes() const;
    std::vector<Time> answerEndTimes() const;

private:
    void run();

    int fd_;
    Answer answer_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::vector<uint8_t>> requests_;
    std::vector<Time> requestTimes_;
    std::vector<Time> answerEndTimes_;
    std::thread thread_;
};
