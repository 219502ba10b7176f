#pragma once
#include "sim/Simulator.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

// Does `action` on the simulator from a thread of its own the moment register
// `reg` takes `value`: the tool is blocked inside a write sequence then and
// cannot be told from the GUI thread.
class WhenRegister {
public:
    WhenRegister(talvex::sim::Simulator &sim, uint32_t reg, uint16_t value,
                 std::function<void(talvex::sim::Simulator &)> action)
        : thread_([this, &sim, reg, value, action = std::move(action)] {
              while (!stop_) {
                  if (sim.reg(reg) == value) {
                      action(sim);
                      fired_ = true;
                      return;
                  }
                  std::this_thread::sleep_for(kPollInterval);
              }
          })
    {
    }
    ~WhenRegister()
    {
        stop_ = true;
        thread_.join();
    }
    bool fired() const { return fired_; }

private:
    static constexpr std::chrono::microseconds kPollInterval{200};

    std::atomic<bool> stop_{false};
    std::atomic<bool> fired_{false};
    std::thread thread_;
};

// The module stops answering altogether.
inline void Silence(talvex::sim::Simulator &sim)
{
    talvex::sim::FaultPlan plan;
    plan.silent = true;
    sim.setFaults(plan);
}
