// The virtual loom as an in-process driver: one FT245R USB FIFO whose far end is
// a vloom::Model, for shedmate-demo and for tests that run the whole program.
#pragma once

#include <functional>

#include "link/driver.h"
#include "virtual_loom/model.h"

// The driver table. Every call starts a fresh loom (logged out, first settings,
// device closed) behind the same table, so each test run meets the same loom.
const Driver* virtualLoomDriver(vloom::Timing timing);

// Runs fn on the loom's model under the device lock, e.g. to look at its state
// from a test while the program runs.
void withVirtualLoom(const std::function<void(vloom::Model&)>& fn);
