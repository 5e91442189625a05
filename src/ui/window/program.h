#pragma once

#include <functional>

namespace korvan {

class MainWindow;

// The window program: the signals that end it, the application, the main
// window, the event loop, and its exit status (128 + the signal that stopped
// it). `shown` runs once the window is on the screen; the program itself
// passes nothing, and a test program passes the hand that fills the boxes
// and presses "Start", so that it is tried as the program runs.
int RunWindowProgram(int argc, char* argv[], const std::function<void(MainWindow&)>& shown = {});

}  // namespace korvan
