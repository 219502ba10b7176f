#pragma once
// What every bench program does alike: its event loop for a while, its
// "--name N" arguments, the median of its runs.
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace bench {

// Runs the event loop for `ms` milliseconds.
inline void RunFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The number after `name` on the command line, at least 1; `fallback` without one.
inline int Arg(int argc, char **argv, const char *name, int fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return std::max(1, std::atoi(argv[i + 1]));
    return fallback;
}

inline double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace bench
