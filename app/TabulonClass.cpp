#include "TabulonClass.h"

#include <QCoreApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QMetaObject>
#include <QStatusBar>
#include <QToolBar>
#include <QWidget>

void TabulonClass::setupUi(QMainWindow *TabulonClass)
{
    if (TabulonClass->objectName().isEmpty())
        TabulonClass->setObjectName(QString::fromUtf8("TabulonClass"));
    TabulonClass->resize(600, 400);
    menuBar = new QMenuBar(TabulonClass);
    menuBar->setObjectName(QString::fromUtf8("menuBar"));
    TabulonClass->setMenuBar(menuBar);
    mainToolBar = new QToolBar(TabulonClass);
    mainToolBar->setObjectName(QString::fromUtf8("mainToolBar"));
    TabulonClass->addToolBar(mainToolBar);
    centralWidget = new QWidget(TabulonClass);
    centralWidget->setObjectName(QString::fromUtf8("centralWidget"));
    TabulonClass->setCentralWidget(centralWidget);
    statusBar = new QStatusBar(TabulonClass);
    statusBar->setObjectName(QString::fromUtf8("statusBar"));
    TabulonClass->setStatusBar(statusBar);

    retranslateUi(TabulonClass);

    QMetaObject::connectSlotsByName(TabulonClass);
}

void TabulonClass::retranslateUi(QMainWindow *TabulonClass)
{
    TabulonClass->setWindowTitle(QCoreApplication::translate("TabulonClass", "Tabulon", nullptr));
}
