// The record of unfinished downloads; see TDownloadJournal.h.
#include "download/TDownloadJournal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "download/TDownloadJob.h"
#include "settings/uSystem.h"

namespace {

const std::string kFirstLine = "Sorlen unfinished downloads 1";
// A journal holds a few entries; a larger file is no journal of ours.
constexpr std::streamsize kLargest = 4 << 20;

std::string Escape(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

std::string Unescape(const std::string& value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const char next = value[++i];
        out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    }
    return out;
}

bool HoldsPassword(const std::string& url) {
    const std::size_t scheme = url.find("://");
    const std::size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    const std::size_t end = std::min(url.find_first_of("/?#", start), url.size());
    const std::size_t at = url.rfind('@', end);
    return at != std::string::npos && at >= start && url.find(':', start) < at;
}

// "0-1048576,2097152-3145728": begin and end of each piece, the end not included.
std::string PiecesText(const TByteRanges& pieces) {
    std::string text;
    for (const TByteRange& p : pieces) {
        if (!text.empty()) text += ',';
        text += std::to_string(p.Begin) + '-' + std::to_string(p.End);
    }
    return text;
}

// A list that cannot be read holds no piece: the parts are fetched again rather than trusted.
TByteRanges ReadPieces(const std::string& text) {
    TByteRanges pieces;
    const char* at = text.data();
    const char* const end = at + text.size();
    while (at < end) {
        TByteRange p;
        const auto [dash, e1] = std::from_chars(at, end, p.Begin);
        if (e1 != std::errc() || dash == end || *dash != '-') return {};
        const auto [next, e2] = std::from_chars(dash + 1, end, p.End);
        if (e2 != std::errc() || p.End <= p.Begin || (next != end && *next != ',')) return {};
        pieces.push_back(p);
        at = next == end ? end : next + 1;
    }
    return pieces;
}

bool Usable(const TJournalEntry& e) {
    return !e.MediaUrl.empty() && !e.Target.empty() && e.Target.front() == '/';
}

}  // namespace

TDownloadJournal::TDownloadJournal(std::string path) : FPath(std::move(path)) {}

std::string TDownloadJournal::DefaultPath() {
    return StateHome() + "/sorlen/downloads";
}

void TDownloadJournal::Record(const TJournalEntry& entry) {
    if (!Usable(entry) || HoldsPassword(entry.MediaUrl)) return;
    Change([&](std::vector<TJournalEntry>& entries) {
        std::erase_if(entries, [&](const TJournalEntry& e) { return e.Target == entry.Target; });
        entries.push_back(entry);
        return true;
    });
}

void TDownloadJournal::Forget(const std::string& target) {
    Change([&](std::vector<TJournalEntry>& entries) {
        return std::erase_if(entries, [&](const TJournalEntry& e) { return e.Target == target; }) >
               0;
    });
}

std::vector<TJournalEntry> TDownloadJournal::Unfinished() {
    std::vector<TJournalEntry> left;
    Change([&](std::vector<TJournalEntry>& entries) {
        const std::size_t before = entries.size();
        std::erase_if(entries, [](const TJournalEntry& e) {
            struct stat st {};
            const std::string part = TDownloadJob::PartNameFor(e.Target);
            return lstat(part.c_str(), &st) != 0 || !S_ISREG(st.st_mode);
        });
        left = entries;
        return entries.size() != before;
    });
    return left;
}

template <typename TChange>
void TDownloadJournal::Change(TChange change) {
    std::lock_guard<std::mutex> guard(Lock);
    MakeFolders(FPath);
    // The lock lives in a file of its own: the journal itself is replaced by every change.
    const int lockFd = open((FPath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd >= 0) flock(lockFd, LOCK_EX);
    std::vector<TJournalEntry> entries = Read();
    if (change(entries)) Write(entries);
    if (lockFd >= 0) close(lockFd);
}

std::vector<TJournalEntry> TDownloadJournal::Read() const {
    std::vector<TJournalEntry> entries;
    std::ifstream in(FPath, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line) || line != kFirstLine) return entries;
    TJournalEntry entry;
    std::streamsize read = 0;
    const auto finish = [&] {
        if (Usable(entry)) entries.push_back(entry);
        entry = TJournalEntry{};
    };
    while (std::getline(in, line) && (read += std::streamsize(line.size())) < kLargest) {
        if (line.empty()) {
            finish();
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const std::string value = Unescape(line.substr(eq + 1));
        if (key == "url") entry.MediaUrl = value;
        if (key == "cookies") entry.Cookies = value;
        if (key == "target") entry.Target = value;
        if (key == "etag") entry.Validators.ETag = value;
        if (key == "modified") entry.Validators.LastModified = value;
        if (key == "noranges") entry.Validators.RangesRefused = value == "1";
        if (key == "pieces") entry.Pieces = ReadPieces(value);
        if (key == "total") {
            int64_t total = -1;
            const auto [end, ec] =
                std::from_chars(value.data(), value.data() + value.size(), total);
            entry.Validators.Total =
                ec == std::errc() && end == value.data() + value.size() && total > 0 ? total : -1;
        }
    }
    finish();
    return entries;
}

bool TDownloadJournal::Write(const std::vector<TJournalEntry>& entries) const {
    std::ostringstream text;
    text << kFirstLine << '\n';
    for (const TJournalEntry& e : entries) {
        text << "url=" << Escape(e.MediaUrl) << "\ncookies=" << Escape(e.Cookies)
             << "\ntarget=" << Escape(e.Target) << "\ntotal=" << e.Validators.Total
             << "\netag=" << Escape(e.Validators.ETag)
             << "\nmodified=" << Escape(e.Validators.LastModified)
             << "\nnoranges=" << (e.Validators.RangesRefused ? 1 : 0) << '\n';
        if (e.Pieces) text << "pieces=" << PiecesText(*e.Pieces) << '\n';
        text << '\n';
    }
    const std::string temp = FPath + ".new";
    // Cookies are the user's sessions: the file is for the user alone.
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const std::string bytes = text.str();
    const bool written =
        write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()) && fsync(fd) == 0;
    close(fd);
    if (!written || std::rename(temp.c_str(), FPath.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}
