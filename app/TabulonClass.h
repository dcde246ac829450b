#pragma once

class QMainWindow;
class QMenuBar;
class QStatusBar;
class QToolBar;
class QWidget;

// The main window's fixed frame: empty menu bar, tool bar and status bar
// around the central widget that holds the query panel and the grid.
class TabulonClass {
public:
    QMenuBar *menuBar;
    QToolBar *mainToolBar;
    QWidget *centralWidget;
    QStatusBar *statusBar;

    void setupUi(QMainWindow *TabulonClass);
    void retranslateUi(QMainWindow *TabulonClass);
};
