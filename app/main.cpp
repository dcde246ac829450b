#include "Tabulon.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication a(argc, argv);
    Tabulon w;
    w.show();
    return a.exec();
}
