// Linux entry point. Runs the script worker to its end (the splash window comes later).
#include <thread>

#include "script/script_runner.h"

int main() {
    std::thread worker(ScriptThread, std::string("launcher_script.lua"));
    worker.join();
    return 0;
}
