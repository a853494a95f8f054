// A private temporary folder for one test (or one server), removed with everything in it when
// the object goes; and whole-file reading and writing. Any thread.
#pragma once

#include <string>

class TTempFolder {
public:
    TTempFolder();
    ~TTempFolder();
    TTempFolder(const TTempFolder&) = delete;
    TTempFolder& operator=(const TTempFolder&) = delete;

    // The absolute path of Name inside the folder.
    std::string File(const std::string& Name) const { return Path + "/" + Name; }
    // Writes Content to Name inside the folder, creating the folders on the way.
    void Write(const std::string& Name, const std::string& Content) const;

    std::string Path;
};

void WriteFile(const std::string& Path, const std::string& Bytes);
// The whole file; "" when it cannot be read.
std::string ReadFile(const std::string& Path);
