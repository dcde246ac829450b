#pragma once

#include <QString>

// The viewer's private copy of the database, taken once at start so that
// the production file is only ever read, and never locked for long.
//
// Taken: the copy holds the database as committed at one moment.
// Unsure: the source kept changing during every try, so the copy may mix
// two states of it; a warning in the debug log says so.
// Failed: no usable copy exists; the debug log says why.
enum class SnapshotResult { Taken, Unsure, Failed };

SnapshotResult takeSnapshot(const QString &source, const QString &target);

// Deletes the copy and the journal files SQLite may have made beside it.
void removeSnapshot(const std::string &target);
