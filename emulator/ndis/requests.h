// The information requests NDIS makes of one adapter: queries and sets, one at a time, at
// DISPATCH_LEVEL, each with an information buffer guarded on both sides (REQUEST_ONE,
// REQUEST_BOUNDS, WATCHDOG).
//
// A request the handler pends stays outstanding until NdisMQueryInformationComplete or
// NdisMSetInformationComplete; its counts are read at that call. The counts start at
// kNotWritten, so a count the miniport never wrote differs from one it set to 0: a success
// needs BytesWritten (query) or BytesRead (set), a refusal for length needs BytesNeeded. A
// request made while another is outstanding waits in NDIS's queue and is handed to the
// miniport once the one before has completed: from inside that completion call when it came
// outside the handler (as NDIS does), otherwise from the scheduler. Unless the adapter set
// NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT, a request still pended at the second hang check
// after it was issued leads NDIS to call MiniportReset; either way the watchdog reports one
// outstanding for 12 s. The buffer is poisoned for AddressSanitizer once its request has
// completed, so a late write is stopped there.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "platform/ndis.h"

namespace emu::ndis {

class Miniport;

class Requests {
public:
    enum class Kind { Query, Set };

    // One request and, once it has ended, how.
    struct Record {
        uint64_t id = 0;
        Kind kind = Kind::Query;
        NDIS_OID oid = 0;
        ULONG length = 0;            // InformationBufferLength
        bool issued = false;         // handed to the miniport (false while queued)
        bool pended = false;         // the handler returned NDIS_STATUS_PENDING
        bool completed = false;      // ended: returned, completed, or given up at the halt
        bool abandoned = false;      // still outstanding when the adapter was halted
        NDIS_STATUS status = NDIS_STATUS_PENDING;  // the final status
        ULONG bytes_done = 0;        // BytesWritten (query) or BytesRead (set); kNotWritten
        ULONG bytes_needed = 0;      // when the miniport left it alone
        std::vector<uint8_t> buffer; // the information buffer as the miniport left it
        uint64_t issued_us = 0;
        uint64_t completed_us = 0;
    };

    static constexpr uint64_t kWatchdogUs = 12'000'000;
    // How long Query and Set run virtual time for the completion of a pended request: past
    // the watchdog, so that a request that never ends is reported before they give up.
    static constexpr uint64_t kWaitUs = 20'000'000;
    static constexpr uint8_t kQueryFill = 0xA5;  // a query's buffer before the handler writes
    static constexpr uint8_t kGuardByte = 0xFD;
    static constexpr size_t kGuardSize = 16;
    // What the counts hold until the miniport writes them.
    static constexpr ULONG kNotWritten = 0xFFFFFFFFu;

    explicit Requests(Miniport& adapter);
    ~Requests();
    Requests(const Requests&) = delete;
    Requests& operator=(const Requests&) = delete;

    // ---- Test face ------------------------------------------------------------------------
    // Issues a request and runs virtual time (at most kWaitUs) until it has completed.
    Record Query(NDIS_OID oid, ULONG length);
    Record Set(NDIS_OID oid, const std::vector<uint8_t>& bytes);
    // Issues a request, or queues it behind the one outstanding, and returns at once with
    // its id: 0 (and a Platform report) when the adapter is not running.
    uint64_t StartQuery(NDIS_OID oid, ULONG length);
    uint64_t StartSet(NDIS_OID oid, const std::vector<uint8_t>& bytes);
    // Runs virtual time until request `id` has completed, or for `limit_us`.
    Record Wait(uint64_t id, uint64_t limit_us = kWaitUs);
    // Of one of the last 4096 requests (an older id aborts the run with a message).
    const Record& Of(uint64_t id) const;
    // Issued and not yet completed (0 or 1), and waiting behind it.
    size_t Outstanding() const { return current_ != nullptr ? 1 : 0; }
    size_t Queued() const { return queue_.size(); }
    // Hang checks since the outstanding request was issued, while it has not completed: NDIS
    // resets an adapter that does not ignore request time-outs at the second.
    bool TimedOutAtHangCheck();

    // ---- NDIS side ------------------------------------------------------------------------
    // NdisMQueryInformationComplete / NdisMSetInformationComplete: REQUEST_ONE when no
    // request of that kind is pended; REQUEST_BOUNDS for what the miniport reported.
    void Complete(Kind kind, NDIS_STATUS status, const char* call, uintptr_t site);
    // Before MiniportHalt: queued requests fail without reaching the miniport. The one
    // outstanding may still be completed during the halt.
    void BeforeHalt();
    // After MiniportHalt: one still outstanding is a WATCHDOG report (NDIS would wait for it
    // forever) and is given up.
    void AfterHalt();

private:
    struct Request;

    uint64_t Start(Kind kind, NDIS_OID oid, ULONG length, const std::vector<uint8_t>* bytes);
    void Issue(Request* request);
    void IssueNext();
    // REQUEST_BOUNDS over what the miniport left; records the counts and the buffer.
    void CheckBounds(Request* request, NDIS_STATUS status, const char* call, uintptr_t site);
    void Finish(Request* request, NDIS_STATUS status);
    void Released(Request* request);  // the request is no longer NDIS's one outstanding
    void Watchdog(Request* request);

    Miniport& adapter_;
    // The requests by id, the oldest finished ones forgotten once more than kKept are kept:
    // a long run's memory stays flat.
    static constexpr size_t kKept = 4096;
    std::deque<std::unique_ptr<Request>> requests_;
    uint64_t forgotten_ = 0;  // ids up to this one are no longer kept
    Request* ById(uint64_t id) const;
    void ForgetOld();
    std::deque<Request*> queue_;
    Request* current_ = nullptr;  // handed to the miniport and not yet released
    uint64_t issue_item_ = 0;     // the scheduler item that hands over the next; 0 = none
};

}  // namespace emu::ndis
