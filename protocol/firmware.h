// Sending a firmware image file to the controller.
#pragma once

// The image file's name, stored with one trailing character (the line end of
// the typed line) that sendFirmware removes.
extern char firmwarePath[120];

// No path typed yet.
void resetFirmware();

// Announces the image with "receivefirmware N\r" and writes its bytes, keeping
// queued messages off the wire meanwhile. Main thread.
void sendFirmware();
