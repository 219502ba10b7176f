#pragma once
#include <QProcess>

// A child that ends when the process that started it does, however that ends.
// A bench or test that crashes must not leave a simulated module running on its
// pty, spending CPU beside the next measurement and holding the output pipe of
// whoever started the run.
void EndWithParent(QProcess &process);
