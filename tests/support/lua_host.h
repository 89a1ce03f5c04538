// The interpreter the host-function tests run chunks in: ScriptState, as the worker sets it up.
#pragma once

#include <string>

// Makes ScriptState a fresh interpreter with the standard libraries and the host functions.
void OpenHostInterpreter();

// Closes ScriptState, collecting whatever the chunks left behind, and empties it.
void CloseHostInterpreter();

// Runs code as a chunk named "=t", so Lua's position prefix is a short "t:<line>: ". Returns
// the error text ("(not a string)" for other error values), or "" on success.
std::string RunChunk(const std::string& code);

// What a chunk that stores a host function's result in the global `Result` did.
struct HostCall {
    std::string error; // Lua's error text, or "" when the chunk ran through
    std::string out;   // what it wrote to standard output
    std::string err;   // and to standard error
    bool resultIsBoolean = false;
    bool result = false;
};

// Runs the chunk with both output streams captured, then reads the global `Result`.
HostCall RunCapturedCall(const std::string& code);

// Sets a global string in ScriptState, every byte of it (zero bytes too).
void SetGlobalString(const char* name, const std::string& value);
