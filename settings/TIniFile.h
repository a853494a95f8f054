// Our reader/writer for Settings.ini with the private-profile rules the program relies on:
// section and key names match without regard to case, the first of duplicate sections or keys
// wins, values are trimmed and read up to 2047 characters, integers read in decimal or with a
// "0x" prefix in hexadecimal. Lines it does not touch are written back unchanged.
// One instance per load or save on the UI thread; the file is not kept open.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TIniFile {
public:
    static constexpr size_t kMaxValue = 2047;

    explicit TIniFile(std::string path);

    // Reads the file; a missing or unreadable file reads as empty. False when it was missing
    // or unreadable.
    bool Load();
    // Writes every line to a temporary file beside the target and renames it over the target,
    // so a failed write leaves the old file whole; a symbolic link is followed, and the file it
    // ends at is the one replaced. False when that fails.
    bool Save() const;

    bool SectionExists(const std::string& section) const;
    bool ValueExists(const std::string& section, const std::string& key) const;
    std::optional<std::string> ReadRaw(const std::string& section, const std::string& key) const;
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& def) const;
    int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;

    // Replaces the first occurrence of key or appends it at the end of the section (creating the
    // section at the end of the file). False for text that a line cannot hold (CR, LF, NUL).
    bool WriteString(const std::string& section, const std::string& key, const std::string& value);
    bool WriteInteger(const std::string& section, const std::string& key, int32_t value);
    bool WriteBool(const std::string& section, const std::string& key, bool value);
    // Removes every occurrence of key in the section.
    void DeleteKey(const std::string& section, const std::string& key);

    const std::string& Path() const { return FilePath; }

private:
    // Index range [first, end) of the lines of the first section named so; nullopt if none.
    struct TRange {
        size_t First;
        size_t End;
    };
    std::optional<TRange> FindSection(const std::string& section) const;
    std::optional<size_t> FindKey(const TRange& range, const std::string& key) const;

    std::string FilePath;
    std::vector<std::string> Lines;
};

// Integer text as the settings file reads it: optional sign and decimal digits within 32 bits,
// or "0x"/"0X" and up to eight hexadecimal digits (wrapping, as 0xFFFFFFFF is -1).
std::optional<int32_t> ParseIniInteger(const std::string& text);
