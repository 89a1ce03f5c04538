// Windows entry point. Runs the script worker to its end (the splash window comes later).
#include <windows.h>

#include <string>
#include <thread>

#include "script/script_runner.h"

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*commandLine*/,
                    int /*show*/) {
    std::thread worker(ScriptThread, std::string("launcher_script.lua"));
    worker.join();
    return 0;
}
