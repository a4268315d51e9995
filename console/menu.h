// The status screen and the main menu.
#pragma once

// Prints what the program knows of the controller. Main thread.
void displayStatus();

// Prints the menu, reads one answer and sets the state that carries it out.
// End of input quits. Main thread.
void readCommand();

// Asks whether the loaded firmware image is to go to the loom, as 'f' does:
// true for "y" or "yes"; otherwise the image is dropped and the console and the
// log say so. `answered` is false when the input ended or an interrupt cut the
// read short. Main thread.
bool firmwareConfirmed(bool& answered);
