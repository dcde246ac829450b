#pragma once

class QCoreApplication;

// Ends the event loop as closing the window would when the process is asked
// to stop, so that the window's destructor still closes the database and
// deletes the snapshot: on POSIX, SIGINT, SIGTERM and SIGHUP (Ctrl+C, a
// kill, a closed terminal); on Windows, Ctrl+C, Ctrl+Break and the closing
// of the console window, which waits for the shut-down (at most about 4 s,
// before the system ends the process itself).
void quitOnTerminationSignals(QCoreApplication *app);
