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

IoManager::IoManager() { requests_.reserve(4096); }
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
    auto memory = std::make_unique<uint8_t[]>(bytes);  // zeroed, as a fresh request is
    auto* irp = reinterpret_cast<IRP*>(memory.get());
    auto* locations = reinterpret_cast<IO_STACK_LOCATION*>(memory.get() + sizeof(IRP));
    irp->Size = static_cast<USHORT>(bytes);
    irp->StackCount = stack_size;
    irp->CurrentLocation = static_cast<CCHAR>(stack_size + 1);
    irp->CurrentStackLocation = locations + stack_size;
    // An address the heap reused after its old record was dropped starts a new life.
    requests_.erase(irp);
    requests_.emplace(irp, Record(std::move(memory), bytes,
                                  RequestInfo{origin, State::Owned, nullptr, next_serial_++, 0, {}}));
    return irp;
}

IoManager::RequestInfo* IoManager::Info(const IRP* irp) {
    auto found = requests_.find(irp);
    return found == requests_.end() ? nullptr : &found->second.info;
}

void IoManager::Release(IRP* irp) {
    auto found = requests_.find(irp);
    if (found == requests_.end()) return;
    Record& record = found->second;
    if (record.info.state == State::Freed) return;  // already in quarantine
    record.info.state = State::Freed;
    std::memset(record.memory.get(), kFreedRequestByte, record.bytes);
    Poison(record.memory.get(), record.bytes);
    freed_order_.push_back(irp);
    freed_bytes_ += record.bytes;
    while (freed_bytes_ > kFreedBytesKept && !freed_order_.empty()) {
        auto oldest = requests_.find(freed_order_.front());
        freed_order_.pop_front();
        if (oldest == requests_.end() || oldest->second.info.state != State::Freed) continue;
        freed_bytes_ -= oldest->second.bytes;
        requests_.erase(oldest);
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
