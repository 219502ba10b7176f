#pragma once
// The module as a Modbus server library plays it, not as our simulator does: a
// register table that each request changes the moment it is taken, the reply
// sent after that (or left out, when the test drops it), and the module's main
// loop running its commit check after every request. So a reply lost to a
// write leaves the write done, as on a real line.
#include "modbus/Crc16.h"
#include "modbus/Frames.h"
#include "modbus/RegisterMap.h"
#include "tests/support/ModbusBytes.h"
#include "tests/support/ScriptedPeer.h"

#include <array>
#include <mutex>
#include <vector>

class ModbusServerModel {
public:
    static constexpr int kRegisters = 500;  // the module takes every address modulo 500
    static constexpr uint8_t kStation = 1;

    // Answers on the master end of a pty, on a thread of its own.
    explicit ModbusServerModel(int masterFd) : peer_(masterFd, [this](const Bytes &r, int) { return answer(r); }) {}

    // The reply to the n-th write request (1-based, counted from now) is left out;
    // the write itself is carried out. 0: no reply is dropped.
    void dropReplyToWrite(int n)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        writes_ = 0;
        dropAt_ = n;
    }
    uint16_t reg(int r) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return regs_[size_t(r)];
    }
    void setReg(int r, uint16_t v)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        regs_[size_t(r)] = v;
    }
    // Registers 21 ... 26 as the last commit stored them.
    std::array<uint16_t, 6> stored() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return stored_;
    }
    int commits() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return commits_;
    }
    // Every request received, whole.
    std::vector<std::vector<uint8_t>> requests() const { return peer_.requests(); }

private:
    std::vector<ScriptedPeer::Chunk> answer(const Bytes &request)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const uint16_t crc = CalcCrc16(request.data(), request.size() - 2);
        const bool valid = request[6] == (crc & 0xFF) && request[7] == (crc >> 8) && request[0] == kStation;
        if (!valid)
            return {};  // anything else gets no answer at all
        const uint16_t a = uint16_t(request[2] << 8 | request[3]);
        const uint16_t b = uint16_t(request[4] << 8 | request[5]);
        Bytes reply;
        if (request[1] == kFnReadHoldingRegisters && b >= 1 && b <= 125) {
            std::vector<uint16_t> words;
            for (int i = 0; i < b; ++i)
                words.push_back(regs_[size_t((a + i) % kRegisters)]);
            reply = ReadReply(kStation, words);
        } else if (request[1] == kFnWriteSingleRegister) {
            regs_[size_t(a % kRegisters)] = b;
            if (++writes_ != dropAt_)
                reply = request;  // a write is answered with its echo
        }
        mainLoopPass();
        if (reply.empty())
            return {};
        return {{0, reply}};
    }

    // Both codes in their slots: the six settings are stored and both slots cleared.
    void mainLoopPass()
    {
        if (regs_[Reg::Cfg_Unlock] != kCfgUnlockCode || regs_[Reg::Cfg_Commit] != kCfgCommitCode)
            return;
        for (size_t i = 0; i < stored_.size(); ++i)
            stored_[i] = regs_[Reg::Cfg_Station + i];
        regs_[Reg::Cfg_Unlock] = 0;
        regs_[Reg::Cfg_Commit] = 0;
        ++commits_;
    }

    mutable std::mutex mutex_;
    std::array<uint16_t, kRegisters> regs_{};
    std::array<uint16_t, 6> stored_{};
    int writes_ = 0;
    int dropAt_ = 0;
    int commits_ = 0;
    ScriptedPeer peer_;  // last: its thread starts once the rest is there
};
