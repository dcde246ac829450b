#include "Tabulon.h"
#include "console.h"
#include "quitOnSignals.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    console::installMessageHandler();
    QApplication a(argc, argv);
    quitOnTerminationSignals(&a);
    Tabulon w;
    w.show();
    return a.exec();
}
