// Compares TRegExpr with std::regex (ECMAScript) and PCRE2's interpreter (no JIT) on the six
// extractor patterns: over a 1 MiB synthetic watch page, and the cookie pattern over a header
// block with every match collected. All three engines must agree on the match before timing.
// Hostile subjects (pages built to make a backtracking search slow) run TRegExpr against PCRE2;
// PCRE2 runs those in a child process that is stopped after kPcre2Seconds.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <benchmark/benchmark.h>
#include <pcre2.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "regex/TRegExpr.h"

namespace {

struct Pattern {
    const char* name;
    const char* expression;  // as the extractors write it
    bool overHeaders;        // header block, all matches; otherwise the page, first match
    const char* opening;     // what a hostile page repeats: the start of a match without its end
};

const Pattern kPatterns[] = {
    {"Cookie", "Set-Cookie: .*?\\;", true, "Set-Cookie: "},
    {"Title", "<title>([^<]+)", false, "<title>"},
    {"Blip", "player.setPrimaryMediaUrl([^<].*?);", false, "player.setPrimaryMediaUrl("},
    {"Daily", "so_player_[0-9,a-f]*.addVariable\\(\"video\",.*?\\)", false,
     "so_player_4c2ea1,f.addVariable(\"video\", "},
    {"Config", "'PLAYER_CONFIG': \\{.*?\\}", false, "'PLAYER_CONFIG': {"},
    {"FmtMap", "\"fmt_url_map\": \".*?\"", false, "\"fmt_url_map\": \""},
};

constexpr int kPcre2Seconds = 10;

struct Hostile {
    std::string name;
    std::string expression;
    std::string subject;
};

std::string Repeat(const std::string& unit, size_t size) {
    std::string text;
    text.reserve(size + unit.size());
    while (text.size() < size) text += unit;
    text.resize(size);
    return text;
}

std::vector<Hostile> MakeHostile() {
    std::vector<Hostile> cases = {
        {"LazyOverA_1M", "a.*?b", std::string(1 << 20, 'a')},
        {"GreedyOverA_1M", "a.*b", std::string(1 << 20, 'a')},
    };
    for (const Pattern& p : kPatterns)
        cases.push_back(
            {std::string(p.name) + "Opening_8M", p.expression, Repeat(p.opening, 8 << 20)});
    // The closing text before all openings, or after all of them.
    const Pattern& config = kPatterns[4];
    cases.push_back({"ConfigCloseFirst_8M", config.expression,
                     Repeat(config.opening, 8 << 20).insert(0, 1, '}')});
    const struct {
        const Pattern& pattern;
        const char* close;
    } closed[] = {{kPatterns[0], ";"}, {kPatterns[2], ");"}, {kPatterns[3], ")"}, {config, "}"}};
    for (const auto& c : closed)
        cases.push_back({std::string(c.pattern.name) + "CloseLast_8M", c.pattern.expression,
                         Repeat(c.pattern.opening, 8 << 20) + c.close});
    cases.push_back({"Alternation_24M", "(a|b)c", Repeat("ab", 24 << 20) + "c"});
    return cases;
}

// Deterministic filler shaped like the markup and script of a watch page: tags, attributes in
// both quote styles, English words, braces, semicolons.
std::string MakeWatchPage() {
    static const char* const words[] = {
        "video",  "player", "subscribe", "share",   "playlist", "comments", "sports",
        "music",  "set",    "primary",   "stream",  "popular",  "views",    "added",
        "search", "upload", "channel",   "related", "more",     "from",     "suggestions"};
    std::string page =
        "<!DOCTYPE html>\r\n<html lang=\"en\" dir=\"ltr\">\r\n<head>\r\n"
        "<meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\">\r\n"
        "<title>YouTube\r\n        - Big Buck Bunny</title>\r\n"
        "<link rel=\"stylesheet\" href=\"http://s.ytimg.com/yt/css/base_all-vfl1.css\">\r\n"
        "</head>\r\n<body class=\"date-20100901 en_US\">\r\n";
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7fff;
    };
    const size_t body = 1024 * 1024 - 2048;
    while (page.size() < body) {
        switch (next() % 4) {
            case 0: {
                page += "<div class=\"video-list-item\"><a href=\"/watch?v=";
                for (int i = 0; i < 11; ++i) page += static_cast<char>('a' + next() % 26);
                page += "\" class=\"related-video\"><span class=\"title\" title=\"";
                for (int i = 0; i < 6; ++i) page += std::string(words[next() % 21]) + " ";
                page += "\">";
                for (int i = 0; i < 8; ++i) page += std::string(words[next() % 21]) + " ";
                page += "</span></a></div>\r\n";
                break;
            }
            case 1:
                page += "<script>yt.setMsg({'MORE': \"";
                for (int i = 0; i < 5; ++i) page += std::string(words[next() % 21]) + " ";
                page += "\", 'n': " + std::to_string(next()) + "}); s.play('x');</script>\r\n";
                break;
            case 2:
                page += "<p>";
                for (int i = 0; i < 20; ++i) page += std::string(words[next() % 21]) + " ";
                page += "</p>\r\n";
                break;
            default:
                page += "<img src=\"http://i1.ytimg.com/vi/" + std::to_string(next()) +
                        "/default.jpg\" alt=\"\" width=\"120\" height=\"90\">\r\n";
                break;
        }
    }
    page +=
        "<script>\r\nyt.setConfig({\r\n  'PLAYER_CONFIG': {\"url\": "
        "\"http:\\/\\/s.ytimg.com\\/yt\\/swf\\/watch.swf\", \"args\": {\"fmt_list\": "
        "\"34\\/640x360,18\\/640x360,5\\/320x240\", \"fmt_url_map\": "
        "\"34|http:\\/\\/v1.lscache1.c.youtube.com\\/videoplayback?id=1\\u0026itag=34,"
        "18|http:\\/\\/v2.lscache1.c.youtube.com\\/videoplayback?id=1\\u0026itag=18,"
        "5|http:\\/\\/v3.lscache1.c.youtube.com\\/videoplayback?id=1\\u0026itag=5\", "
        "\"video_id\": \"abc\"}, \"sts\": 1}\r\n});\r\n"
        "so_player_4c2ea1,f.addVariable(\"video\", "
        "\"http://www.dailymotion.com/p/clip.flv?key=1\");\r\n"
        "player.setPrimaryMediaUrl(\"http://blip.tv/f/show-ep1.mp4\");\r\n</script>\r\n";
    while (page.size() < 1024 * 1024) page += "<!-- -->\r\n";
    page.resize(1024 * 1024);
    return page;
}

std::string MakeHeaderBlock() {
    return "HTTP/1.1 200 OK\r\n"
           "Date: Wed, 01 Sep 2010 10:00:00 GMT\r\n"
           "Server: Apache\r\n"
           "X-Content-Type-Options: nosniff\r\n"
           "Set-Cookie: VISITOR_INFO1_LIVE=kXq3zWl8Nfw; path=/; domain=.youtube.com; "
           "expires=Sat, 07-May-2011 10:00:00 GMT\r\n"
           "Set-Cookie: PREF=f1=50000000&hl=en; path=/; domain=.youtube.com; "
           "expires=Sat, 29-Aug-2020 10:00:00 GMT\r\n"
           "Set-Cookie: use_hitbox=d5c5516c3379125f43aa0d495d100d6ddAEAAAAw; path=/; "
           "domain=.youtube.com\r\n"
           "Expires: Tue, 27 Apr 1971 19:44:06 EST\r\n"
           "Cache-Control: no-cache\r\n"
           "Content-Type: text/html; charset=utf-8\r\n"
           "Connection: close\r\n\r\n";
}

// ECMAScript "." stops at line breaks; the extractors' engine lets it cross them (modifier s).
std::string ToEcmaScript(const std::string& pattern) {
    std::string out;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '\\' && i + 1 < pattern.size()) {
            out += pattern.substr(i, 2);
            ++i;
        } else if (pattern[i] == '.') {
            out += "[\\s\\S]";
        } else {
            out += pattern[i];
        }
    }
    return out;
}

using Matches = std::vector<std::pair<size_t, size_t>>;  // 0-based start, length

Matches RunOurs(TRegExpr& re, bool all) {
    Matches found;
    for (bool ok = re.ExecPos(1); ok; ok = all && re.ExecNext())
        found.emplace_back(re.MatchPos(0) - 1, re.MatchLen(0));
    return found;
}

Matches RunPcre2(pcre2_code* code, pcre2_match_data* data, const std::string& text, bool all) {
    Matches found;
    PCRE2_SIZE start = 0;
    while (start <= text.size()) {
        const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(),
                                   start, 0, data, nullptr);
        if (rc <= 0) break;
        const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(data);
        found.emplace_back(ov[0], ov[1] - ov[0]);
        if (!all) break;
        start = ov[1] == ov[0] ? ov[1] + 1 : ov[1];
    }
    return found;
}

Matches RunStd(const std::regex& re, const std::string& text, bool all) {
    Matches found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
         ++it) {
        found.emplace_back(it->position(0), it->length(0));
        if (!all) break;
    }
    return found;
}

struct Subjects {
    std::string page = MakeWatchPage();
    std::string headers = MakeHeaderBlock();
    const std::string& For(const Pattern& p) const { return p.overHeaders ? headers : page; }
};

void BenchOurs(benchmark::State& state, const Subjects* subjects, const Pattern* p) {
    TRegExpr re;
    re.SetExpression(p->expression);
    re.SetInputString(subjects->For(*p));
    for (auto _ : state) benchmark::DoNotOptimize(RunOurs(re, p->overHeaders));
}

// The same search through Exec, which first copies the subject into the engine.
void BenchOursExec(benchmark::State& state, const Subjects* subjects, const Pattern* p) {
    TRegExpr re;
    re.SetExpression(p->expression);
    const std::string& text = subjects->For(*p);
    for (auto _ : state) {
        re.SetInputString(text);
        benchmark::DoNotOptimize(RunOurs(re, p->overHeaders));
    }
}

void BenchPcre2(benchmark::State& state, const Subjects* subjects, const Pattern* p) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(p->expression),
                                     PCRE2_ZERO_TERMINATED, PCRE2_DOTALL, &error, &offset, nullptr);
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
    for (auto _ : state)
        benchmark::DoNotOptimize(RunPcre2(code, data, subjects->For(*p), p->overHeaders));
    pcre2_match_data_free(data);
    pcre2_code_free(code);
}

void BenchStd(benchmark::State& state, const Subjects* subjects, const Pattern* p) {
    const std::regex re(ToEcmaScript(p->expression), std::regex::ECMAScript);
    for (auto _ : state) benchmark::DoNotOptimize(RunStd(re, subjects->For(*p), p->overHeaders));
}

void BenchOursHostile(benchmark::State& state, const Hostile* h) {
    TRegExpr re;
    re.SetExpression(h->expression);
    bool found = false;
    for (auto _ : state) {
        // A fresh subject each time: nothing learnt about the last one may carry over.
        state.PauseTiming();
        re.SetInputString(h->subject);
        state.ResumeTiming();
        benchmark::DoNotOptimize(found = re.ExecPos(1));
    }
    state.SetLabel(found ? "match at " + std::to_string(re.MatchPos(0)) : "no match");
}

// One search in a child process with an alarm, so a search that runs for minutes is cut off.
void BenchPcre2Hostile(benchmark::State& state, const Hostile* h) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(h->expression.c_str()),
                                     PCRE2_ZERO_TERMINATED, PCRE2_DOTALL, &error, &offset, nullptr);
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
    std::string label;
    for (auto _ : state) {
        int fds[2];
        if (pipe(fds) != 0) std::abort();
        const pid_t child = fork();
        if (child == 0) {
            close(fds[0]);
            alarm(kPcre2Seconds);
            const auto t0 = std::chrono::steady_clock::now();
            const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(h->subject.data()),
                                       h->subject.size(), 0, 0, data, nullptr);
            const double result[2] = {
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(),
                rc > 0 ? static_cast<double>(pcre2_get_ovector_pointer(data)[0] + 1)
                       : static_cast<double>(rc)};
            if (write(fds[1], result, sizeof result) != sizeof result) _exit(1);
            _exit(0);
        }
        close(fds[1]);
        double result[2] = {kPcre2Seconds, 0};
        const bool finished = read(fds[0], result, sizeof result) == sizeof result;
        close(fds[0]);
        waitpid(child, nullptr, 0);
        state.SetIterationTime(result[0]);
        if (!finished)
            label = "stopped after " + std::to_string(kPcre2Seconds) + " s";
        else if (result[1] > 0)
            label = "match at " + std::to_string(static_cast<long>(result[1]));
        else if (result[1] == PCRE2_ERROR_NOMATCH)
            label = "no match";
        else
            label = "rc " + std::to_string(static_cast<int>(result[1]));
    }
    state.SetLabel(label);
    pcre2_match_data_free(data);
    pcre2_code_free(code);
}

// Every engine must find the same matches, or the timings compare different work.
bool EnginesAgree(const Subjects& subjects) {
    bool agree = true;
    for (const Pattern& p : kPatterns) {
        const std::string& text = subjects.For(p);
        TRegExpr ours;
        ours.SetExpression(p.expression);
        ours.SetInputString(text);
        int error = 0;
        PCRE2_SIZE offset = 0;
        pcre2_code* code =
            pcre2_compile(reinterpret_cast<PCRE2_SPTR>(p.expression), PCRE2_ZERO_TERMINATED,
                          PCRE2_DOTALL, &error, &offset, nullptr);
        pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
        const Matches a = RunOurs(ours, p.overHeaders);
        const Matches b = RunPcre2(code, data, text, p.overHeaders);
        const Matches c = RunStd(std::regex(ToEcmaScript(p.expression), std::regex::ECMAScript),
                                 text, p.overHeaders);
        pcre2_match_data_free(data);
        pcre2_code_free(code);
        if (a.empty() || a != b || a != c) {
            std::fprintf(stderr, "%s: engines disagree (%zu/%zu/%zu matches)\n", p.name, a.size(),
                         b.size(), c.size());
            agree = false;
        }
    }
    return agree;
}

}  // namespace

int main(int argc, char** argv) {
    static const Subjects subjects;
    if (!EnginesAgree(subjects)) return 1;
    for (const Pattern& p : kPatterns) {
        const std::string suffix = std::string("/") + p.name;
        benchmark::RegisterBenchmark(("TRegExpr" + suffix).c_str(), BenchOurs, &subjects, &p);
        benchmark::RegisterBenchmark(("TRegExpr_Exec" + suffix).c_str(), BenchOursExec, &subjects,
                                     &p);
        benchmark::RegisterBenchmark(("PCRE2_interp" + suffix).c_str(), BenchPcre2, &subjects, &p);
        benchmark::RegisterBenchmark(("std_regex" + suffix).c_str(), BenchStd, &subjects, &p)
            ->Unit(benchmark::kMicrosecond);
    }
    static const std::vector<Hostile> hostile = MakeHostile();
    for (const Hostile& h : hostile) {
        benchmark::RegisterBenchmark(("TRegExpr_hostile/" + h.name).c_str(), BenchOursHostile, &h)
            ->Iterations(5)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("PCRE2_interp_hostile/" + h.name).c_str(), BenchPcre2Hostile,
                                     &h)
            ->UseManualTime()
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
