#pragma once
// One application object for the whole fuzz process, created on first use and
// never destroyed: it stays reachable, so leak checks leave it alone.
#include <QCoreApplication>

#include <cstdlib>

namespace fuzz {

inline void EnsureCoreApplication()
{
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "talvex-fuzz";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
}

}  // namespace fuzz
