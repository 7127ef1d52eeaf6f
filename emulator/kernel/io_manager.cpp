// Driver and device objects, and the records behind every request.
#include "emulator/kernel/io_manager.h"

#include <algorithm>
#include <cstring>

#include "emulator/kernel/poison.h"

namespace emu {

namespace {

constexpr uint8_t kFreedRequestByte = 0xDE;

NTSTATUS NotSupported(DEVICE_OBJECT* /*device*/, IRP* irp) {
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_NOT_SUPPORTED;
}

size_t RequestBytes(CCHAR stack_size) {
    return sizeof(IRP) + static_cast<size_t>(stack_size) * sizeof(IO_STACK_LOCATION);
}

}  // namespace

IoManager::Record::Record(std::unique_ptr<uint8_t[]> memory_, size_t bytes_, RequestInfo info_)
    : memory(std::move(memory_)), bytes(bytes_), info(std::move(info_)) {}

IoManager::Record::~Record() {
    if (memory) Unpoison(memory.get(), bytes);
}

IoManager::IoManager() = default;
IoManager::~IoManager() = default;

DRIVER_OBJECT* IoManager::CreateDriver(const std::string& /*name*/) {
    auto driver = std::make_unique<DRIVER_OBJECT>();
    auto extension = std::make_unique<DRIVER_EXTENSION>();
    std::memset(driver.get(), 0, sizeof(DRIVER_OBJECT));
    extension->DriverObject = driver.get();
    extension->AddDevice = nullptr;
    driver->DriverExtension = extension.get();
    for (auto& slot : driver->MajorFunction) slot = NotSupported;
    drivers_.push_back(std::move(driver));
    extensions_.push_back(std::move(extension));
    return drivers_.back().get();
}

DEVICE_OBJECT* IoManager::CreateDevice(DRIVER_OBJECT* driver, size_t extension_size,
                                       CCHAR stack_size) {
    auto device = std::make_unique<DEVICE_OBJECT>();
    std::memset(device.get(), 0, sizeof(DEVICE_OBJECT));
    device->DriverObject = driver;
    device->StackSize = stack_size;
    if (extension_size != 0) {
        auto extension = std::make_unique<uint8_t[]>(extension_size);  // zeroed
        device->DeviceExtension = extension.get();
        device_extensions_.push_back(std::move(extension));
    }
    if (driver != nullptr && driver->DeviceObject == nullptr) driver->DeviceObject = device.get();
    devices_.push_back(std::move(device));
    return devices_.back().get();
}

DEVICE_OBJECT* IoManager::Attach(DEVICE_OBJECT* upper, DEVICE_OBJECT* lower) {
    DEVICE_OBJECT* top = lower;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    top->AttachedDevice = upper;
    upper->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    return top;
}

void IoManager::Detach(DEVICE_OBJECT* lower) { lower->AttachedDevice = nullptr; }

size_t IoManager::DevicesOf(const DRIVER_OBJECT* driver) const {
    return static_cast<size_t>(std::count_if(devices_.begin(), devices_.end(), [&](const auto& d) {
        return d && d->DriverObject == driver;
    }));
}

void IoManager::DeleteDevice(DEVICE_OBJECT* device) {
    for (auto& other : devices_)
        if (other && other->AttachedDevice == device) other->AttachedDevice = nullptr;
    for (auto& driver : drivers_)
        if (driver->DeviceObject == device) driver->DeviceObject = nullptr;
    for (auto it = devices_.begin(); it != devices_.end(); ++it) {
        if (it->get() != device) continue;
        if (device->DeviceExtension != nullptr) {
            for (auto ext = device_extensions_.begin(); ext != device_extensions_.end(); ++ext) {
                if (ext->get() == device->DeviceExtension) {
                    device_extensions_.erase(ext);
                    break;
                }
            }
        }
        devices_.erase(it);
        return;
    }
}

IRP* IoManager::NewRequest(CCHAR stack_size, Origin origin) {
    if (stack_size < 0) stack_size = 0;
    const size_t bytes = RequestBytes(stack_size);
    Record* record = Reuse(bytes, origin);
    if (record == nullptr) {
        auto memory = std::make_unique<uint8_t[]>(bytes);  // zeroed, as a fresh request is
        auto* irp = reinterpret_cast<IRP*>(memory.get());
        // An address the heap reused after its old record was dropped starts a new life.
        Forget(irp);
        record = &requests_
                      .emplace(irp, Record(std::move(memory), bytes,
                                           RequestInfo{origin, State::Owned, nullptr, 0, 0, {}}))
                      .first->second;
    }
    record->info.serial = next_serial_++;
    auto* irp = reinterpret_cast<IRP*>(record->memory.get());
    auto* locations = reinterpret_cast<IO_STACK_LOCATION*>(record->memory.get() + sizeof(IRP));
    irp->Size = static_cast<USHORT>(bytes);
    irp->StackCount = stack_size;
    irp->CurrentLocation = static_cast<CCHAR>(stack_size + 1);
    irp->CurrentStackLocation = locations + stack_size;
    return irp;
}

IoManager::Record* IoManager::Reuse(size_t bytes, Origin origin) {
    auto spare = std::find_if(spare_.begin(), spare_.end(),
                              [&](const Requests::node_type& node) { return node.mapped().bytes == bytes; });
    if (spare == spare_.end()) return nullptr;
    Requests::node_type node = std::move(*spare);
    spare_.erase(spare);
    Record& record = node.mapped();
    Unpoison(record.memory.get(), bytes);
    std::memset(record.memory.get(), 0, bytes);  // zeroed, as a fresh request is
    record.info.origin = origin;
    record.info.state = State::Owned;
    record.info.sent_to = nullptr;
    record.info.dispatching = 0;
    record.info.dispatches.clear();  // keeps its capacity
    return &requests_.insert(std::move(node)).position->second;
}

IoManager::Recent& IoManager::SlotOf(const IRP* irp) {
    return recent_[(reinterpret_cast<uintptr_t>(irp) >> 6) % kRecent];
}

IoManager::Record* IoManager::Find(const IRP* irp) {
    Recent& slot = SlotOf(irp);
    if (slot.irp == irp && irp != nullptr) return slot.record;
    auto found = requests_.find(irp);
    if (found == requests_.end()) return nullptr;
    slot = Recent{irp, &found->second};
    return slot.record;
}

void IoManager::Forget(const IRP* irp) {
    Recent& slot = SlotOf(irp);
    if (slot.irp == irp) slot = Recent{};
    requests_.erase(irp);
}

IoManager::RequestInfo* IoManager::Info(const IRP* irp) {
    Record* record = Find(irp);
    return record == nullptr ? nullptr : &record->info;
}

void IoManager::Evict(Requests::iterator found) {
    Recent& slot = SlotOf(found->first);
    if (slot.irp == found->first) slot = Recent{};
    // The newest are kept: they are the sizes the driver asks for now. Each stays poisoned
    // until it is reused.
    constexpr size_t kSpareKept = 16;
    if (spare_.size() >= kSpareKept) spare_.erase(spare_.begin());
    spare_.push_back(requests_.extract(found));
}

void IoManager::Release(IRP* irp) {
    Record* record = Find(irp);
    if (record == nullptr) return;
    if (record->info.state == State::Freed) return;  // already in quarantine
    record->info.state = State::Freed;
    std::memset(record->memory.get(), kFreedRequestByte, record->bytes);
    Poison(record->memory.get(), record->bytes);
    freed_order_.push_back(irp);
    freed_bytes_ += record->bytes;
    while (freed_bytes_ > kFreedBytesKept && !freed_order_.empty()) {
        auto oldest = requests_.find(freed_order_.front());
        freed_order_.pop_front();
        if (oldest == requests_.end() || oldest->second.info.state != State::Freed) continue;
        freed_bytes_ -= oldest->second.bytes;
        Evict(oldest);
    }
}

std::vector<IRP*> IoManager::Outstanding() const {
    std::vector<std::pair<uint64_t, IRP*>> found;
    for (const auto& [irp, record] : requests_)
        if (record.info.origin == Origin::Driver && record.info.state != State::Freed)
            found.emplace_back(record.info.serial, const_cast<IRP*>(irp));
    std::sort(found.begin(), found.end());
    std::vector<IRP*> outstanding;
    for (const auto& entry : found) outstanding.push_back(entry.second);
    return outstanding;
}

size_t IoManager::InFlightTo(const DEVICE_OBJECT* device) const {
    size_t count = 0;
    for (const auto& [irp, record] : requests_)
        if (record.info.state == State::InFlight && record.info.sent_to == device) ++count;
    return count;
}

bool IoManager::TakeAllocationFault() {
    if (fail_allocations_ == 0) return false;
    if (fail_allocations_ > 0) --fail_allocations_;
    return true;
}

}  // namespace emu
