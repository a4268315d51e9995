// The status screen and the main menu.
#pragma once

// Prints what the program knows of the controller. Main thread.
void displayStatus();

// Prints the menu, reads one answer and sets the state that carries it out.
// End of input quits. Main thread.
void readCommand();
