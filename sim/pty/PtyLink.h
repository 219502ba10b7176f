#pragma once
#include <string>

namespace talvex::sim {

// A raw pseudo-terminal whose tty end is linked as DIR/COMn, the name the tool
// opens. The master end is the far side of the line: non-blocking, for a poll
// loop. A descriptor of the tty end stays open here, so the tool can close and
// reopen the port any number of times without the master end hanging up.
// Neither end is inherited by a program started later: a child holding the
// far end would keep the line from hanging up when the master is closed.
class PtyLink {
public:
    // The speed a fresh line is left at: the pty's own.
    static constexpr unsigned kKeepSpeed = 0;

    PtyLink() = default;
    ~PtyLink();
    PtyLink(const PtyLink &) = delete;
    PtyLink &operator=(const PtyLink &) = delete;

    // Creates the pty, raw at `speed` (a termios B-constant, or kKeepSpeed), and
    // links it as `linkPath`, creating its folder. A link left there by an earlier
    // run is replaced; anything else is not ours to remove, and open() fails.
    bool open(const std::string &linkPath, unsigned speed, std::string &error);
    // Closes both ends and removes the link if it still points at this pty.
    void close();

    bool isOpen() const { return master_ >= 0; }
    int master() const { return master_; }
    const std::string &ttyPath() const { return ttyPath_; }
    const std::string &linkPath() const { return linkPath_; }

private:
    int master_ = -1;
    int slaveKeep_ = -1;
    std::string ttyPath_;
    std::string linkPath_;
};

}  // namespace talvex::sim
