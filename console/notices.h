// What the operator must hear before going on: the controller's refusals,
// whether an apply took, and the changes that have not been applied yet.
#pragma once

#include <string>

// Prints each "<error ...>" received since the last call as one line, "The
// loom refused: " and the controller's reason. Main thread.
void showLoomErrors();

// After the read-back that follows an apply: one line saying "Applied." or, for
// each change that did not take, which field and what the loom reports
// instead. Prints nothing at other times. Main thread.
void showApplyOutcome();

// The screen labels of the fields whose change waits to be applied, in the
// order of the status screen, joined by ", "; empty when there are none.
std::string pendingChanges();

// Under the status screen while a change waits: one line naming the fields.
// Main thread.
void showPendingChanges();

// 'q' was answered: true when the run is to quit. With changes not yet
// applied, an operator at a terminal is asked first, and only "y" or "yes"
// (or end of input) quits; piped input quits at once, as ever. Main thread.
bool quitConfirmed();
