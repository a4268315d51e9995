// The virtual loom as an in-process driver, for shedmate-demo and for tests
// that run the whole program: one FT245R USB FIFO whose far end is the model.
#pragma once

#include <functional>

#include "link/driver.h"
#include "virtual_loom/model.h"

// The driver table. Every open meets a fresh loom (logged out, first
// settings) with these delays.
const Driver* virtualLoomDriver(vloom::Timing timing);

// Runs fn on the model of the device opened last, under its lock, e.g. to
// look at the loom from a test while the program runs. Nothing when none was.
void withVirtualLoom(const std::function<void(vloom::Model&)>& fn);
