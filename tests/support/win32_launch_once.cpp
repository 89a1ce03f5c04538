// A launcher of its own for the launch tests: starts the program named by its first argument in
// the folder named by its second, with the rest as options, exactly as RunExecutable does, and
// ends at once with 0 when the start succeeded, 1 when it failed.
#include <string>
#include <vector>

#include "actions/run_executable.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        return 2;
    }
    const std::vector<std::string> options(argv + 3, argv + argc);
    return LaunchProcess(argv[1], argv[2], options) ? 0 : 1;
}
