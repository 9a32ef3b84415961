#pragma once
// Console prompts of the diagnosis modes.

#include <string>

// Writes the text as one line to standard output.
void WriteConsoleLine(const char* text);

// Waits for one key press without echo. When standard input is not a console
// (a pipe or a file), one byte read from it stands for the key.
void WaitForKeyPress();
