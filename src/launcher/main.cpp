// Process entry: the engine reads no arguments; the run's result is the exit code.
#include <windows.h>

#include "launcher/run_sequence.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    return static_cast<int>(runPackage(instance));
}
