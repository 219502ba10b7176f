#pragma once
// A build without the module's own firmware carries the stand-in image, whose
// program is an idle loop: written to a real module it would replace working
// firmware with nothing. Before that happens the user is asked; over a
// pseudo-terminal (the simulated module, the demo, the tests) nobody is.
#include "serial/QRT_ComDrv.h"

class QWidget;

// True when the update may start. `chosenIndex` is the port list's selection; a
// port that is already open stays the one written to, so that one is judged.
// Asks in a question box owned by `owner` only when the image is the stand-in
// and the port is a real serial device.
bool ConfirmCarriedImage(QWidget *owner, const TQRTCommDriver &driver, int chosenIndex, bool imageIsStandIn);
