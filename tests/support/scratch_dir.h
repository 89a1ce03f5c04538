// A fresh folder for one test, removed with everything in it when the test ends.
#pragma once

#include <string>

class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& Path() const {
        return path_;
    }
    // Path of a name inside the folder.
    std::string operator/(const std::string& name) const {
        return path_ + "/" + name;
    }

  private:
    std::string path_;
};

// Removes a folder and everything in it, ignoring failure. On Windows a program still running
// from the folder keeps its file, so removal is retried for a few seconds while it ends.
void RemoveTree(const std::string& path);

// Whole-file helpers for fixtures and assertions.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool PathExists(const std::string& path);
