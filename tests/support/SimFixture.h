#pragma once
#include "serial/PortNames.h"
#include "sim/Simulator.h"

#include <QDir>
#include <QTemporaryDir>

#include <cstdlib>
#include <memory>
#include <stdexcept>

// A simulated module on its own pty, linked as COMn in a private port directory
// that TALVEX_PORT_DIR points at, with its stored settings in a private state directory.
struct SimFixture {
    QTemporaryDir dir;
    std::unique_ptr<talvex::sim::Simulator> sim;

    explicit SimFixture(talvex::sim::SimMode mode = talvex::sim::SimMode::FixedPort, int com = 2,
                        uint16_t version = 150)
    {
        talvex::sim::SimOptions options;
        options.com = com;
        options.mode = mode;
        options.firmwareVersion = version;
        launch(options);
    }
    // Any options; the fixture puts the port and state directories in its own place.
    explicit SimFixture(talvex::sim::SimOptions options) { launch(options); }
    ~SimFixture()
    {
        if (sim)
            sim->stop();
    }
    talvex::sim::Simulator *operator->() { return sim.get(); }

private:
    void launch(talvex::sim::SimOptions &options)
    {
        QDir(dir.path()).mkpath("ports");
        options.portDir = (dir.path() + "/ports").toStdString();
        options.stateDir = (dir.path() + "/state").toStdString();
        sim = std::make_unique<talvex::sim::Simulator>(options);
        std::string error;
        if (!sim->start(error))
            throw std::runtime_error("simulator: " + error);
        setenv(kPortDirEnv, options.portDir.c_str(), 1);
    }

public:
    // The adapter is pulled: the module, its pty and its link are gone for good,
    // and the tool's open descriptor is left on a line that hung up.
    void unplug() { sim.reset(); }
};
