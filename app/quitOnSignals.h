#pragma once

class QCoreApplication;

// Turns SIGINT, SIGTERM and SIGHUP (Ctrl+C, a kill, a closed terminal) into
// an ordinary quit of the event loop, so the window's destructor still
// closes the database and deletes the snapshot. Does nothing where these
// signals do not exist.
void quitOnTerminationSignals(QCoreApplication *app);
