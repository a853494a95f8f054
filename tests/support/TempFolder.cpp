#include "tests/support/TempFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

TTempFolder::TTempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sorlen-XXXXXX").string();
    if (mkdtemp(pattern.data())) Path = pattern;
    // Servers started as root drop to an unprivileged user and must still read and write here.
    chmod(Path.c_str(), 0777);
}

TTempFolder::~TTempFolder() {
    std::error_code ignored;
    if (!Path.empty()) std::filesystem::remove_all(Path, ignored);
}

void TTempFolder::Write(const std::string& Name, const std::string& Content) const {
    const std::filesystem::path file = File(Name);
    std::error_code ignored;
    std::filesystem::create_directories(file.parent_path(), ignored);
    WriteFile(file.string(), Content);
}

void WriteFile(const std::string& Path, const std::string& Bytes) {
    std::ofstream(Path, std::ios::binary) << Bytes;
}

std::string ReadFile(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
