// talvex-sim: the simulated module on a pseudo-terminal, for the demo and the tests.
#include "sim/Simulator.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

talvex::sim::Simulator *Running = nullptr;

extern "C" void OnStop(int)
{
    if (Running)
        Running->requestStop();
}

extern "C" void OnPowerCycle(int)
{
    if (Running)
        Running->requestPowerCycle();
}

void Install(int signal, void (*handler)(int))
{
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sigaction(signal, &sa, nullptr);
}

}  // namespace

int main(int argc, char **argv)
{
    using namespace talvex::sim;
    SimOptions options;
    bool help = false;
    std::string error;
    if (!ParseSimOptions(argc, argv, options, help, error)) {
        std::fprintf(stderr, "talvex-sim: %s\n%s", error.c_str(), SimUsage().c_str());
        return 2;
    }
    if (help) {
        std::fputs(SimUsage().c_str(), stdout);
        return 0;
    }
    Simulator sim(options);
    if (!sim.open(error)) {
        std::fprintf(stderr, "talvex-sim: %s\n", error.c_str());
        return 1;
    }
    Running = &sim;
    Install(SIGINT, OnStop);
    Install(SIGTERM, OnStop);
    Install(SIGUSR1, OnPowerCycle);
    // A reader of our answers that goes away must not kill the module.
    std::signal(SIGPIPE, SIG_IGN);
    sim.setCommandChannel(STDIN_FILENO, STDOUT_FILENO);
    std::printf("talvex-sim: %s -> %s, mode %s\n", sim.linkPath().c_str(), sim.ttyPath().c_str(),
                ModeName(options.mode));
    std::fflush(stdout);
    sim.run();
    Running = nullptr;
    return 0;
}
