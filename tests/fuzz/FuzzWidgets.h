#pragma once
// The widget application for harnesses that drive a window, without a display.
#include <QApplication>

#include <cstdlib>

namespace fuzz {

inline void EnsureApplication()
{
    if (QCoreApplication::instance())
        return;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "talvex-fuzz";
    static char *argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

}  // namespace fuzz
