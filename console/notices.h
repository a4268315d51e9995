// What the operator must hear before going on: the controller's refusals,
// whether an apply took, and the changes that have not been applied yet.
#pragma once

#include <string>
#include <vector>

#include "protocol/apply.h"

// Prints each "<error ...>" received since the last call as one line, "The
// loom refused: " and the controller's reason. Main thread.
void showLoomErrors();

// The reasons of the refusals showLoomErrors has shown (console-safe, "" for
// none given) since the last call, oldest first. Main thread.
std::vector<std::string> takeShownRefusals();

// A change an apply sent that the loom's report does not show.
struct NotTakenChange {
    SentField field;
    std::string sent;
    std::string reported; // as the loom reports it now
};

// The changes of `sent` that the loom now reports otherwise. Main thread.
std::vector<NotTakenChange> notTaken(const ApplyRecord& sent);

// "Applied.", or "Not applied: " with each change that did not take, which
// field and what the loom reports instead.
std::string applyOutcomeLine(const std::vector<NotTakenChange>& changes);

// After the read-back that follows an apply: the applyOutcomeLine, on the
// console and in the log. Prints nothing at other times. Main thread.
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
