// The simulated engine's ledger: what it published, and how much of that reached the database.
#ifndef VANTOR_ENGINE_SIM_LEDGER_H
#define VANTOR_ENGINE_SIM_LEDGER_H

#include "sim.h"

#include <cstdio>
#include <string>

namespace sim {

// Starts the ledger: every event the engine raises from now on is seen before the module
// sees it. Each new check output is stamped with a unique "vt_seq=<n>" (and the performance
// data of a processed service check starts with the metric "vt_seq=<n>"), and each event
// that must leave a row in the database is appended to the file at path as
// "<kind>\t<seq>\t<host id>\t<service id>". Also installs the audit triggers that count every
// executed status statement. False with error set when the file or the database refuses.
bool ledger_open(const std::string &path, const DbSettings &db, std::string &error);
// Stops observing and closes the file (safe to call when no ledger is open).
void ledger_close();

struct ReconcileOptions {
    int settle_seconds = 60;  // keep looking while something is missing, at most this long
    int quiet_seconds = 20;   // ...but give up early when nothing changed for this long
    bool keep_triggers = false;
};

// Compares the ledger at path with the database, the failed-SQL file and the dump files
// below the install root, and prints one line per kind of row (sent, landed, duplicated,
// kept, lost) and a total to out. Returns the number of lost items, or -1 when the ledger
// or the database cannot be read (error set). Removes the audit triggers at the end unless
// told to keep them.
long reconcile(const std::string &path, const DbSettings &db, const ReconcileOptions &opt, FILE *out,
               std::string &error);

}  // namespace sim

#endif
