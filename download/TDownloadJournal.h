// The record of unfinished downloads, so that a download paused, failed or cut by a quit or a
// crash can go on at a later start: one small text file, rewritten whole into a new file that
// replaces the old, so that a crash leaves either version, never half of one. It holds what a
// new worker needs (the media address, its cookies, the target and the version of the kept
// bytes) and never a password. Any thread; the file is locked while it changes, so that two
// running copies of the program do not undo each other's changes.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "download/uResumeRules.h"
#include "download/uSegmentPlan.h"

struct TJournalEntry {
    std::string MediaUrl;
    std::string Cookies;
    std::string Target;  // the chosen full path; its ".part" holds the bytes
    TValidators Validators;
    // The pieces in the ".part" of a download fetched over several connections; none when the
    // file holds its first bytes up to its size.
    std::optional<TByteRanges> Pieces;

    bool operator==(const TJournalEntry&) const = default;
};

class TDownloadJournal {
public:
    explicit TDownloadJournal(std::string path);

    // $XDG_STATE_HOME/sorlen/downloads, by default ~/.local/state/sorlen/downloads.
    static std::string DefaultPath();
    const std::string& Path() const { return FPath; }

    // Adds entry, or replaces the one with the same target. An address holding a password is
    // not recorded: the file would keep it in plain text.
    void Record(const TJournalEntry& entry);
    void Forget(const std::string& target);
    // The recorded downloads whose ".part" file is still there; the others are dropped from the
    // file. A file that cannot be read as a journal holds none.
    std::vector<TJournalEntry> Unfinished();

private:
    template <typename TChange>
    void Change(TChange change);
    std::vector<TJournalEntry> Read() const;
    bool Write(const std::vector<TJournalEntry>& entries) const;

    const std::string FPath;
    std::mutex Lock;
};
