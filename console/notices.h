// What the controller said that the operator must hear: its refusals, and
// whether an apply took.
#pragma once

// Prints each "<error ...>" received since the last call as one line, "The
// loom refused: " and the controller's reason. Main thread.
void showLoomErrors();

// After the read-back that follows an apply: one line saying "Applied." or, for
// each change that did not take, which field and what the loom reports
// instead. Prints nothing at other times. Main thread.
void showApplyOutcome();
