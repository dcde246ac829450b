#include "Tabulon.h"
#include "quitOnSignals.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication a(argc, argv);
    quitOnTerminationSignals(&a);
    Tabulon w;
    w.show();
    return a.exec();
}
