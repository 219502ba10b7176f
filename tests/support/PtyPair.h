#pragma once
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
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool ok() const { return master_ >= 0; }
    int master() const { return master_; }
    const std::string &slavePath() const { return slavePath_; }
    std::string linkPath() const { return linkPath_; }
    QString portDir() const { return dir_.path(); }

    void writeMaster(const std::vector<uint8_t> &bytes);
    // Reads what is pending on the master side, waiting up to timeoutMs for the first byte
    // and then until the line has been quiet for quietMs.
    std::vector<uint8_t> readMaster(int timeoutMs = 200, int quietMs = 20);

private:
    QTemporaryDir dir_;
    int master_ = -1;
    int slaveKeep_ = -1;  // keeps the slave side alive between the component's opens
    std::string slavePath_;
    std::string linkPath_;
};
