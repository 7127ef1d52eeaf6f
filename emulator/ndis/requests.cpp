#include "emulator/ndis/requests.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "emulator/kernel/kernel.h"
#include "emulator/kernel/poison.h"
#include "emulator/kernel/processor.h"
#include "emulator/kernel/race_annotations.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/ndis.h"
#include "emulator/verifier/verifier.h"
#include "emulator/kernel/platform_lock.h"

namespace emu::ndis {

struct Requests::Request {
    Record record;
    std::unique_ptr<uint8_t[]> memory;  // guard, information buffer, guard
    ULONG done = kNotWritten;           // BytesWritten or BytesRead, as the miniport sets it
    ULONG needed = kNotWritten;
    int hang_checks = 0;                // hang checks seen while it was outstanding
    bool in_call = false;               // inside the miniport's handler
    uint64_t watchdog_item = 0;
    bool watchdog_reported = false;

    uint8_t* Buffer() { return memory.get() + kGuardSize; }
    size_t RawSize() const { return record.length + 2 * kGuardSize; }
};

namespace {

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
    return text;
}

std::string StatusName(NDIS_STATUS status) {
    switch (status) {
        case NDIS_STATUS_SUCCESS: return "NDIS_STATUS_SUCCESS";
        case NDIS_STATUS_PENDING: return "NDIS_STATUS_PENDING";
        case NDIS_STATUS_INVALID_LENGTH: return "NDIS_STATUS_INVALID_LENGTH";
        case NDIS_STATUS_BUFFER_TOO_SHORT: return "NDIS_STATUS_BUFFER_TOO_SHORT";
        default: return Hex(static_cast<uint32_t>(status));
    }
}

std::string Describe(const Requests::Record& record) {
    return std::string(record.kind == Requests::Kind::Query ? "query" : "set") + " #" +
           std::to_string(record.id) + " of OID " + Hex(record.oid);
}

const char* HandlerName(Requests::Kind kind) {
    return kind == Requests::Kind::Query ? "MiniportQueryInformation" : "MiniportSetInformation";
}

const char* CompletionName(Requests::Kind kind) {
    return kind == Requests::Kind::Query ? "NdisMQueryInformationComplete"
                                         : "NdisMSetInformationComplete";
}

size_t Changed(const uint8_t* begin, size_t size) {
    size_t changed = 0;
    for (size_t i = 0; i < size; ++i) changed += begin[i] != Requests::kGuardByte ? 1 : 0;
    return changed;
}

// What Query and Set give back for a request NDIS could not make.
Requests::Record Refused(Requests::Kind kind, NDIS_OID oid, ULONG length) {
    Requests::Record record;
    record.kind = kind;
    record.oid = oid;
    record.length = length;
    record.status = NDIS_STATUS_FAILURE;
    return record;
}

}  // namespace

Requests::Requests(Miniport& adapter) : adapter_(adapter) {}

Requests::~Requests() {
    // The scheduler outlives NDIS inside the machine.
    Scheduler& clock = adapter_.Owner().Host().Clock();
    if (issue_item_ != 0) clock.Cancel(issue_item_);
    for (const auto& request : requests_) {
        if (request->watchdog_item != 0) clock.Cancel(request->watchdog_item);
        Unpoison(request->memory.get(), request->RawSize());
    }
}

Requests::Record Requests::Query(NDIS_OID oid, ULONG length) {
    uint64_t id = StartQuery(oid, length);
    return id != 0 ? Wait(id) : Refused(Kind::Query, oid, length);
}

Requests::Record Requests::Set(NDIS_OID oid, const std::vector<uint8_t>& bytes) {
    uint64_t id = StartSet(oid, bytes);
    return id != 0 ? Wait(id) : Refused(Kind::Set, oid, static_cast<ULONG>(bytes.size()));
}

uint64_t Requests::StartQuery(NDIS_OID oid, ULONG length) {
    return Start(Kind::Query, oid, length, nullptr);
}

uint64_t Requests::StartSet(NDIS_OID oid, const std::vector<uint8_t>& bytes) {
    return Start(Kind::Set, oid, static_cast<ULONG>(bytes.size()), &bytes);
}

uint64_t Requests::Start(Kind kind, NDIS_OID oid, ULONG length,
                         const std::vector<uint8_t>* bytes) {
    Kernel& kernel = adapter_.Owner().Host();
    if (!adapter_.IsRunning()) {
        kernel.Check().Report(Rule::Platform, HandlerName(kind),
                               std::string("a request for an adapter that is ") +
                                   StateName(adapter_.CurrentState()));
        return 0;
    }
    auto request = std::make_unique<Request>();
    Request* r = request.get();
    r->record.id = forgotten_ + requests_.size() + 1;
    r->record.kind = kind;
    r->record.oid = oid;
    r->record.length = length;
    r->memory = std::make_unique<uint8_t[]>(r->RawSize());
    std::memset(r->memory.get(), kGuardByte, r->RawSize());
    if (bytes != nullptr) {
        if (length != 0) std::memcpy(r->Buffer(), bytes->data(), length);
    } else {
        std::memset(r->Buffer(), kQueryFill, length);
    }
    // The guards are the miniport's to leave alone: AddressSanitizer stops a write there.
    Poison(r->memory.get(), kGuardSize);
    Poison(r->Buffer() + length, kGuardSize);
    requests_.push_back(std::move(request));
    ForgetOld();

    // NDIS makes one request at a time; the others wait in its queue.
    if (current_ == nullptr && queue_.empty() && issue_item_ == 0) {
        Issue(r);
    } else {
        queue_.push_back(r);
    }
    return r->record.id;
}

void Requests::Issue(Request* r) {
    // NDIS hands the miniport one request at a time: the next one after the last one ended.
    race::Acquire(this);
    Kernel& kernel = adapter_.Owner().Host();
    const Kind kind = r->record.kind;
    current_ = r;
    r->record.issued = true;
    r->record.issued_us = kernel.Clock().Now();
    // Background: a request waiting on a miniport does not keep the machine busy by itself.
    r->watchdog_item = kernel.Clock().After(kWatchdogUs, "NDIS request watchdog", [this, r] {
        r->watchdog_item = 0;
        Watchdog(r);
    }, true);

    const NDIS50_MINIPORT_CHARACTERISTICS& handlers = adapter_.Handlers();
    auto handler = kind == Kind::Query ? handlers.QueryInformationHandler
                                       : handlers.SetInformationHandler;
    if (handler == nullptr) {
        Finish(r, NDIS_STATUS_NOT_SUPPORTED);
        Released(r);
        return;
    }
    NDIS_HANDLE context = adapter_.Context();
    r->in_call = true;
    const NDIS_STATUS returned =
        kernel.Cpu().CallDriver(DISPATCH_LEVEL, HandlerName(kind), [&] {
            return handler(context, r->record.oid, r->Buffer(), r->record.length, &r->done,
                           &r->needed);
        });
    r->in_call = false;
    // The handler itself is the place of what it returned.
    const auto place = reinterpret_cast<uintptr_t>(handler);
    if (returned == NDIS_STATUS_PENDING) {
        r->record.pended = true;
        // Completed already, inside the call: NDIS's turn goes on now.
        if (r->record.completed) Released(r);
        return;
    }
    if (r->record.completed) {
        kernel.Check().Report(Rule::RequestOne, HandlerName(kind),
                               "completed " + Describe(r->record) + " with " +
                                   CompletionName(kind) + " and then returned " +
                                   StatusName(returned) + " instead of NDIS_STATUS_PENDING",
                               place);
        Released(r);
        return;
    }
    CheckBounds(r, returned, HandlerName(kind), place);
    Finish(r, returned);
    Released(r);
}

void Requests::IssueNext() {
    if (current_ != nullptr || queue_.empty() || !adapter_.IsRunning()) return;
    Request* next = queue_.front();
    queue_.pop_front();
    Issue(next);
}

void Requests::Released(Request* r) {
    if (current_ == r) current_ = nullptr;
    if (queue_.empty() || issue_item_ != 0) return;
    // From the queue, not from inside the completion call that ended the last one.
    issue_item_ = adapter_.Owner().Host().Clock().After(0, "NDIS hands over the next request",
                                                        [this] {
                                                            issue_item_ = 0;
                                                            IssueNext();
                                                        });
}

void Requests::CheckBounds(Request* r, NDIS_STATUS status, const char* call, uintptr_t site) {
    Verifier& check = adapter_.Owner().Host().Check();
    const Record& record = r->record;
    const ULONG length = record.length;
    uint8_t* before = r->memory.get();
    uint8_t* after = r->Buffer() + length;
    Unpoison(before, kGuardSize);
    Unpoison(after, kGuardSize);
    const std::string buffer =
        "the " + std::to_string(length) + "-byte information buffer of " + Describe(record);
    if (size_t changed = Changed(after, kGuardSize); changed != 0) {
        check.Report(Rule::RequestBounds, call,
                     "wrote past the end of " + buffer + " (" + std::to_string(changed) +
                         " guard byte(s) behind it changed)",
                     site);
    }
    if (size_t changed = Changed(before, kGuardSize); changed != 0) {
        check.Report(Rule::RequestBounds, call,
                     "wrote before the start of " + buffer + " (" + std::to_string(changed) +
                         " guard byte(s) in front of it changed)",
                     site);
    }
    // Reported once: the guards are whole again for whatever comes next.
    std::memset(before, kGuardByte, kGuardSize);
    std::memset(after, kGuardByte, kGuardSize);
    Poison(before, kGuardSize);
    Poison(after, kGuardSize);

    const bool query = record.kind == Kind::Query;
    const char* count = query ? "BytesWritten" : "BytesRead";
    if (r->done != kNotWritten && r->done > length) {
        check.Report(Rule::RequestBounds, call,
                     std::string(count) + " is " + std::to_string(r->done) + " for " + buffer,
                     site);
    }
    // A success says how much it wrote or read: NDIS copies that many bytes back to the
    // protocol ("MiniportQueryInformation" / "MiniportSetInformation", NDIS 5.x,
    // learn.microsoft.com/previous-versions ff550010 and ff550093).
    if (status == NDIS_STATUS_SUCCESS && r->done == kNotWritten) {
        check.Report(Rule::RequestBounds, call,
                     "succeeded without writing " + std::string(count) + " for " + buffer, site);
    }
    // A request refused for its length says how much it needs. (NDIS 5 documents a query's
    // count as the bytes still missing, so any nonzero count will do.)
    const bool short_buffer =
        status == NDIS_STATUS_INVALID_LENGTH || status == NDIS_STATUS_BUFFER_TOO_SHORT;
    if (short_buffer && (r->needed == 0 || r->needed == kNotWritten)) {
        check.Report(Rule::RequestBounds, call,
                     StatusName(status) + " for " + buffer +
                         (r->needed == 0 ? std::string(" with BytesNeeded 0")
                                         : std::string(" without writing BytesNeeded")),
                     site);
    }
    r->record.bytes_done = r->done;
    r->record.bytes_needed = r->needed;
}

void Requests::Finish(Request* r, NDIS_STATUS status) {
    race::Release(this);  // the next request goes to the miniport after this one
    Scheduler& clock = adapter_.Owner().Host().Clock();
    Record& record = r->record;
    record.completed = true;
    record.status = status;
    record.completed_us = clock.Now();
    record.buffer.assign(r->Buffer(), r->Buffer() + record.length);
    if (r->watchdog_item != 0) clock.Cancel(r->watchdog_item);
    r->watchdog_item = 0;
    // The buffer is NDIS's again: the miniport writing it now is stopped there.
    Poison(r->memory.get(), r->RawSize());
}

void Requests::Complete(Kind kind, NDIS_STATUS status, const char* call, uintptr_t site) {
    Verifier& check = adapter_.Owner().Host().Check();
    Request* r = current_;
    if (r == nullptr || r->record.completed) {
        std::string detail = "no request is outstanding";
        const Request* last = r;
        for (auto it = requests_.rbegin(); last == nullptr && it != requests_.rend(); ++it) {
            if ((*it)->record.issued) last = it->get();
        }
        if (last != nullptr) {
            const Record& record = last->record;
            detail += "; the last, " + Describe(record) + ", ";
            if (record.abandoned) {
                detail += "was given up when the adapter was halted";
            } else if (record.pended || last->in_call) {
                detail += "was completed already";
            } else {
                detail += "returned " + StatusName(record.status) + " from " +
                          HandlerName(record.kind) + " and so was never pending";
            }
        }
        check.Report(Rule::RequestOne, call, detail, site);
        return;
    }
    if (r->record.kind != kind) {
        check.Report(Rule::RequestOne, call,
                     "the outstanding request is " + Describe(r->record) + ", which " +
                         CompletionName(r->record.kind) + " completes",
                     site);
        return;
    }
    CheckBounds(r, status, call, site);
    Finish(r, status);
    if (r->in_call) return;
    // NDIS starts the next queued request from inside this completion call, so the miniport
    // may be re-entered here before the call returns.
    if (current_ == r) current_ = nullptr;
    if (issue_item_ == 0) IssueNext();
}

bool Requests::TimedOutAtHangCheck() {
    Request* r = current_;
    if (r == nullptr || r->record.completed) return false;
    return ++r->hang_checks == 2;
}

void Requests::Watchdog(Request* r) {
    if (r->record.completed || r->watchdog_reported) return;
    r->watchdog_reported = true;
    const uint64_t age = adapter_.Owner().Host().Clock().Now() - r->record.issued_us;
    adapter_.Owner().Host().Check().Report(
        Rule::Watchdog, HandlerName(r->record.kind),
        Describe(r->record) + " was pended " + std::to_string(age / 1000) +
            " ms ago and is not completed");
}

void Requests::BeforeHalt() {
    Kernel& kernel = adapter_.Owner().Host();
    if (issue_item_ != 0) kernel.Clock().Cancel(issue_item_);
    issue_item_ = 0;
    // Requests NDIS still holds never reach the miniport.
    for (Request* r : queue_) Finish(r, NDIS_STATUS_FAILURE);
    queue_.clear();
}

void Requests::AfterHalt() {
    Kernel& kernel = adapter_.Owner().Host();
    Request* r = current_;
    if (r == nullptr) return;
    // A pended request may still be completed while MiniportHalt runs; one the halt left
    // pending never will be, and with request time-outs ignored NDIS would wait for ever.
    if (!r->watchdog_reported) {
        kernel.Check().Report(Rule::Watchdog, "MiniportHalt",
                               Describe(r->record) + ", pended at " +
                                   std::to_string(r->record.issued_us / 1000) +
                                   " ms, is still not completed when the halt has ended");
    }
    r->record.abandoned = true;
    Finish(r, NDIS_STATUS_FAILURE);
    current_ = nullptr;
}

void Requests::ForgetOld() {
    while (requests_.size() > kKept) {
        Request* oldest = requests_.front().get();
        if (!oldest->record.completed || oldest == current_ || oldest->watchdog_item != 0) return;
        Unpoison(oldest->memory.get(), oldest->RawSize());
        requests_.pop_front();
        ++forgotten_;
    }
}

Requests::Request* Requests::ById(uint64_t id) const {
    if (id <= forgotten_ || id - forgotten_ > requests_.size()) {
        std::fprintf(stderr, "qvnet emulator: request %llu is not one of the last %zu\n",
                     static_cast<unsigned long long>(id), kKept);
        std::abort();
    }
    return requests_[id - forgotten_ - 1].get();
}

const Requests::Record& Requests::Of(uint64_t id) const { return ById(id)->record; }

Requests::Record Requests::Wait(uint64_t id, uint64_t limit_us) {
    Request* r = ById(id);
    Scheduler& clock = adapter_.Owner().Host().Clock();
    clock.WaitFor([r] { return r->record.completed; }, clock.Now() + limit_us, "NDIS request");
    return r->record;
}

}  // namespace emu::ndis

// ---- Platform routines --------------------------------------------------------------------

namespace {

void CompleteRequest(emu::ndis::Requests::Kind kind, const char* call, NDIS_HANDLE handle,
                     NDIS_STATUS status, uintptr_t site) {
    emu::Kernel& kernel = emu::Kernel::Current();
    kernel.Cpu().CheckIrql(call, DISPATCH_LEVEL, PASSIVE_LEVEL, site);
    emu::ndis::Miniport* adapter = emu::ndis::Ndis::Current().Use(handle, call, site);
    if (adapter == nullptr) return;
    emu::Processor::PlatformScope platform(kernel.Cpu());
    adapter->Request().Complete(kind, status, call, site);
}

}  // namespace

void NdisMQueryInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status) {
    EMU_PLATFORM_ENTRY();
    CompleteRequest(emu::ndis::Requests::Kind::Query, "NdisMQueryInformationComplete",
                    MiniportAdapterHandle, Status, EMU_CALLER());
}

void NdisMSetInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status) {
    EMU_PLATFORM_ENTRY();
    CompleteRequest(emu::ndis::Requests::Kind::Set, "NdisMSetInformationComplete",
                    MiniportAdapterHandle, Status, EMU_CALLER());
}
