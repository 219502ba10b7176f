#include "Main.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    TMainForm mainForm;
    mainForm.show();
    // Closing the main window ends the message loop and the program.
    return app.exec();
}
