// The contents of the benchmarks' packages: text that deflates as game data does, and noise that
// does not deflate at all.
#pragma once

#include <cstddef>
#include <random>
#include <string>

// Words of a game's text assets, separated by spaces, cut to `size` bytes.
std::string TextBytes(std::mt19937& random, size_t size);

// Incompressible bytes.
std::string RandomBytes(std::mt19937& random, size_t size);
