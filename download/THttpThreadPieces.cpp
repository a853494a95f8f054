// The worker's download in pieces: once the first answer shows a large file whose server takes
// ranges, further connections on the worker's own loop ask for parts of it, each written where
// it belongs in the one output file; see THttpThread.h and uSegmentPlan.h.
#include <unistd.h>

#include <algorithm>

#include "download/THttpThread.h"
#include "download/uFailureText.h"
#include "download/uHttpClient.h"
#include "http/THttpResponse.h"
#include "platform/AsciiText.h"

namespace {
// Each record of the pieces waits for the disk, so they are recorded at most this often.
constexpr auto kRecordEvery = std::chrono::seconds(5);
}  // namespace

bool THttpThread::MaySplit() const {
    if (Request.Connections <= 1 || RangesDoubted || Segments) return false;
    if (Validators.Total < std::max<int64_t>(1, Request.SplitFrom) || !Validators.CanResume())
        return false;
    // A resumed download's 206 shows the server takes ranges; a 200 has to say so.
    if (Plan == TBodyPlan::Append) return true;
    const std::optional<std::string> ranges = HeaderField(HeaderLines, "Accept-Ranges");
    return Client->StatusCode() == 200 && RangeAsked == 0 && ranges &&
           EqualsNoCase(*ranges, "bytes") && Client->ContentLength64() == Validators.Total;
}

void THttpThread::StartPieces() {
    const uint64_t total = static_cast<uint64_t>(Validators.Total);
    const uint64_t kept = Plan == TBodyPlan::Append ? RangeAsked : 0;
    Segments = std::make_unique<TSegmentPlan>(total, TByteRanges{{0, kept}});
    MainPiece = Segments->Open({kept, total});
    Segments->Send(MainPiece);
    Segments->Verify(MainPiece);
    Pieces = Segments->Pieces();
    // The further connections ask where the first one ended up.
    PiecesUrl = Relocated ? Client->Location() : Request.Url;
    LinkCap = Request.Connections;
    Refill = true;
    LastRecord = PiecesSince = std::chrono::steady_clock::now();
    PiecesFrom = kept;
    // From now on the file's size says nothing of what it holds: the record must say pieces
    // before any piece is written.
    AwaitRecord();
    if (OnPieces) OnPieces(Pieces);
}

THttpThread::TAttempt THttpThread::RunPieces() {
    LinkCap = std::max(1, Request.Connections);
    Refill = true;
    PiecesSince = std::chrono::steady_clock::now();
    PiecesFrom = Segments->WrittenBytes();
    LinkFailure = {TAttemptEnd::Retry, 404, TRetryCause::ConnectionLost};
    LinkFailureStatus = 0;
    FailureText.clear();
    const TEventLoop::TTimerId stallCheck = StartStallCheck();
    TEventLoop& loop = TEventLoop::Current();
    for (;;) {
        ServeLinks();
        if (Cancelled || AbortFlag || Segments->Done() || Links.empty()) break;
        loop.WaitOne(-1);
        if (FCancelWanted.exchange(false)) {
            Cancelled = true;
            AbortLinks();
        }
    }
    if (stallCheck != 0) loop.KillTimer(stallCheck);
    AbortLinks();
    Links.clear();
    Received = Segments->WrittenBytes();
    if (Cancelled || AbortFlag || !FileError.empty()) return {TAttemptEnd::Failed, 404};
    if (Segments->Done()) return {TAttemptEnd::Whole, 0};
    AnswerStatus = LinkFailureStatus;
    if (LinkFailure.Cause == TRetryCause::RangeRefused) {
        // No connection is left to finish it, and parts cannot be trusted: the whole file
        // again, on one connection, as a resumed download whose part was refused.
        Segments.reset();
        Pieces.reset();
        Validators = TValidators{};
        // Emptied before the record says it is written from its start: the pieces beyond are
        // no such start.
        AwaitRecord();
        OutputFile->SetSize(0);
        Received = 0;
        if (OnPieces) OnPieces(Pieces);
    }
    return LinkFailure;
}

void THttpThread::ServeLinks() {
    for (auto it = Links.begin(); it != Links.end();) {
        if ((*it)->Client->Running()) {
            ++it;
            continue;
        }
        EndLink(**it);
        it = Links.erase(it);
        Refill = true;
    }
    // Nothing is asked for before the file is in place: a piece must not land in a file that
    // is cut back to its kept bytes afterwards. Otherwise only a connection that went makes
    // room: this runs after every event of the receive path.
    if (!OutputFile || !Placed || Cancelled || AbortFlag || !Segments || !Refill) return;
    Refill = false;
    const int cap = RangesDoubted ? std::min(1, LinkCap) : LinkCap;
    while (Segments->OpenCount() < cap) {
        const std::optional<TByteRange> piece = Segments->NextPiece(LeastSplit());
        if (!piece) break;
        OpenLink(*piece);
    }
}

// A part is worth a new connection only when its connection needs longer for it than a new one
// takes to start (a few round trips, with TLS and a proxy): a second at each connection's rate.
uint64_t THttpThread::LeastSplit() const {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - PiecesSince).count();
    if (seconds < 0.1) return TSegmentPlan::kLeastSplit;
    const double rate = double(Segments->WrittenBytes() - PiecesFrom) / seconds /
                        std::max(1, Segments->OpenCount());
    return std::max<uint64_t>(TSegmentPlan::kLeastSplit, static_cast<uint64_t>(rate));
}

void THttpThread::OpenLink(TByteRange piece) {
    auto link = std::make_unique<TLink>();
    link->Client = std::make_unique<THttpClient>();
    link->Id = Segments->Open(piece);
    link->LastActivity = std::chrono::steady_clock::now();
    TLink* l = link.get();
    THttpClient& c = *link->Client;
    Configure(c, PiecesUrl);
    c.OnBeforeHeaderSend = [this, l](THttpCli*, const std::string&, std::vector<std::string>& h) {
        l->Asked = Segments->Send(l->Id);
        h.push_back("Range: bytes=" + std::to_string(l->Asked.Begin) + "-" +
                    std::to_string(l->Asked.End - 1));
        h.push_back("If-Range: " + Validators.IfRange());
    };
    c.OnHeaderEnd = [this, l](THttpCli*) { LinkHeaderEnded(*l); };
    c.OnDocData = [this, l](THttpCli*, const char* data, int length) {
        LinkData(*l, data, length);
    };
    // The first connection's address passed the same check: a refusal here cannot happen, and
    // would end at once like any failed connection.
    c.StartGet();
    Links.push_back(std::move(link));
}

void THttpThread::LinkHeaderEnded(TLink& link) {
    THttpClient& c = *link.Client;
    const int status = c.StatusCode();
    link.Status = status >= 300 && status <= 399 ? 0 : status;
    link.Header = c.ReceivedHeader();
    // A relocation or an authentication step: the final answer is still to come.
    if (status != 200 && status != 206) return;
    int64_t rangeFirst = -1;
    if (!THttpResponse::ParseDecimal(c.ContentRangeBegin, rangeFirst)) rangeFirst = -1;
    const TValidators answer = ValidatorsOf(link.Header, c.InstanceLength());
    if (!IsPartOf(status, link.Asked.Begin, Validators, rangeFirst, c.InstanceLength(), answer)) {
        link.Refused = true;
        RangesDoubted = true;
        c.Abort();
        return;
    }
    if (!Segments->Verify(link.Id)) {
        link.Superseded = true;
        c.Abort();
    }
}

void THttpThread::LinkData(TLink& link, const char* data, int length) {
    const uint64_t written = WritePiece(link.Id, *link.Client, data, length);
    if (written == 0) return;
    link.Brought += written;
    link.LastActivity = std::chrono::steady_clock::now();
}

uint64_t THttpThread::WritePiece(int id, THttpClient& client, const char* data, int length) {
    const uint64_t room = Segments->Room(id, static_cast<uint64_t>(length));
    if (room > 0) {
        const auto at = static_cast<int64_t>(Segments->Position(id));
        if (!OutputFile->WriteAt(data, static_cast<int64_t>(room), at)) {
            CancelRequest();
            return 0;
        }
        Segments->Written(id, room);
        Received = Segments->WrittenBytes();
        if (OnProgress) OnProgress(this, AbortFlag, Received);
        if (AbortFlag) {
            CancelRequest();
            return room;
        }
    }
    // Another connection holds the rest of what this one asked for.
    if (Segments->CutShort(id)) client.Abort();
    return room;
}

void THttpThread::EndLink(TLink& link) {
    int32_t code = 0;
    try {
        link.Client->EndGet();
    } catch (const std::exception&) {
        code = link.Client->StatusCode();
    }
    const bool done = Segments->Reached(link.Id) || link.Superseded;
    Segments->Close(link.Id);
    if (done) {
        RecordPieces();
        return;
    }
    if (Cancelled || AbortFlag) return;
    // A connection that got nowhere says the server takes no more than are working now; with
    // none working, the next attempt comes after the usual wait. A download told never to try
    // again does not replace a lost connection either.
    if (link.Brought == 0 || Request.RetryCount <= 0) LinkCap = Segments->OpenCount();
    LinkFailure = JudgeLink(link, code);
}

THttpThread::TAttempt THttpThread::JudgeLink(TLink& link, int32_t code) {
    LinkFailureStatus = link.Status;
    if (link.Refused) {
        FailureText = "The server answered with another part of the file";
        return {TAttemptEnd::Retry, code, TRetryCause::RangeRefused};
    }
    if (link.Stalled) {
        FailureText = StallText();
        return {TAttemptEnd::Retry, code, TRetryCause::Stalled};
    }
    FailureText = DescribeFailure(*link.Client);
    if (RetryWorthyStatus(link.Status)) return ServerBusy(code, link.Header);
    // Cut in the body, or no answer at all: the link dropped.
    if (link.Status == 0 || (link.Status >= 200 && link.Status <= 299))
        return {TAttemptEnd::Retry, code, TRetryCause::ConnectionLost};
    return {TAttemptEnd::Failed, code};
}

void THttpThread::AbortLinks() {
    for (const std::unique_ptr<TLink>& link : Links) link->Client->Abort();
}

void THttpThread::RecordPieces() {
    const auto now = std::chrono::steady_clock::now();
    if (!OnPieces || !OutputFile || !Segments || now - LastRecord < kRecordEvery) return;
    if (PendingRecord.valid() &&
        PendingRecord.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return;
    LastRecord = now;
    // A record ahead of its bytes would call zeros written after a power cut; the wait for the
    // disk goes beside the worker, which keeps receiving.
    PendingRecord = std::async(std::launch::async,
                               [fd = OutputFile->Handle(), pieces = Segments->Pieces(), this] {
                                   if (fdatasync(fd) == 0) OnPieces(pieces);
                               });
}

void THttpThread::AwaitRecord() {
    if (PendingRecord.valid()) PendingRecord.wait();
}
