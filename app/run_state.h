// Everything a run keeps process-wide, put back as a run starts. Each module
// that owns such state has its reset beside it; a new one is added here.
#pragma once

// Main thread, with no receiving thread running. The installed driver, the
// console streams and the tick source are the caller's choice and stay.
void resetRunState();
