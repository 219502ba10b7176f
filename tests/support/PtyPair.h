#pragma once
#include "sim/pty/PtyLink.h"

#include <QTemporaryDir>

#include <cstdint>
#include <string>
#include <vector>

// A pseudo-terminal whose tty end is linked as DIR/COMn, with TALVEX_PORT_DIR
// pointing at DIR, so the component opens it by its COM name. The test keeps
// the master end and plays the other side of the line.
class PtyPair {
public:
    explicit PtyPair(int comNumber = 1);
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool ok() const { return pty_.isOpen(); }
    int master() const { return pty_.master(); }
    const std::string &slavePath() const { return pty_.ttyPath(); }
    std::string linkPath() const { return pty_.linkPath(); }
    QString portDir() const { return dir_.path(); }

    void writeMaster(const std::vector<uint8_t> &bytes);
    // Reads what is pending on the master side, waiting up to timeoutMs for the first byte
    // and then until the line has been quiet for quietMs.
    std::vector<uint8_t> readMaster(int timeoutMs = 200, int quietMs = 20);

private:
    QTemporaryDir dir_;
    talvex::sim::PtyLink pty_;
};
