#include "tests/support/harness/schedule.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "emulator/machine.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/ndis/ndis.h"
#include "emulator/ndis/protocol.h"
#include "emulator/ndis/timers.h"
#include "emulator/usbbus/bus.h"

namespace qvtest {

namespace {

[[noreturn]] void Malformed(const char* name, const char* value, const char* expected) {
    std::fprintf(stderr, "%s=%s: expected %s\n", name, value, expected);
    std::exit(2);
}

uint64_t Number(const std::string& text, const char* name, const char* value,
                const char* expected) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        Malformed(name, value, expected);
    return std::strtoull(text.c_str(), nullptr, 10);
}

}  // namespace

ScheduleOptions ScheduleFromEnvironment() {
    ScheduleOptions options;
    if (const char* value = std::getenv("QVNET_INTERLEAVE"); value != nullptr && *value) {
        options.interleave_seed = static_cast<uint32_t>(
            Number(value, "QVNET_INTERLEAVE", value, "a seed (a decimal number)"));
    }
    if (const char* value = std::getenv("QVNET_TIMER_TICK"); value != nullptr && *value) {
        constexpr const char* kExpected = "a tick in microseconds, optionally :SEED";
        std::string text = value;
        size_t colon = text.find(':');
        uint64_t tick = Number(text.substr(0, colon), "QVNET_TIMER_TICK", value, kExpected);
        if (tick == 0) Malformed("QVNET_TIMER_TICK", value, kExpected);
        options.timer_tick_us = tick;
        if (colon != std::string::npos)
            options.timer_seed = static_cast<uint32_t>(
                Number(text.substr(colon + 1), "QVNET_TIMER_TICK", value, kExpected));
    }
    if (const char* value = std::getenv("QVNET_PROTOCOL_CALLBACKS"); value != nullptr && *value) {
        if (std::string(value) == "off") {
            options.callback_seed = std::nullopt;
        } else {
            options.callback_seed = static_cast<uint32_t>(Number(
                value, "QVNET_PROTOCOL_CALLBACKS", value, "a seed (a decimal number) or off"));
        }
    }
    if (const char* value = std::getenv("QVNET_ABORT_SEED"); value != nullptr && *value) {
        options.abort_seed = static_cast<uint32_t>(
            Number(value, "QVNET_ABORT_SEED", value, "a seed (a decimal number)"));
    }
    if (const char* value = std::getenv("QVNET_HC"); value != nullptr && *value) {
        const std::string model = value;
        if (model != "uhci" && model != "ehci") Malformed("QVNET_HC", value, "uhci or ehci");
        options.ehci = model == "ehci";
    }
    return options;
}

void ApplySchedule(emu::Machine& machine, const ScheduleOptions& options) {
    if (options.interleave_seed) {
        emu::Scheduler::InterleaveOptions interleave;
        interleave.seed = *options.interleave_seed;
        machine.Clock().Interleave(interleave);
    } else {
        machine.Clock().StopInterleaving();
    }
    if (options.timer_tick_us) {
        machine.Ndis().TimerTable().RoundToTick(
            emu::ndis::Timers::ClockTick{*options.timer_tick_us, options.timer_seed});
    } else {
        machine.Ndis().TimerTable().RoundToTick(std::nullopt);
    }
    emu::ndis::Protocol::SetCallbacks({options.callback_seed});
    machine.Bus().SetAbortOrder(emu::usb::Bus::AbortOrder::Seeded, options.abort_seed);
    // Only ever switched on: the command may have chosen EHCI for its device already.
    if (options.ehci) machine.Bus().SetHostController(emu::usb::Bus::HostController::Ehci);
}

std::string DescribeSchedule(const ScheduleOptions& options) {
    std::string text = options.interleave_seed
                           ? "interleaving (seed " + std::to_string(*options.interleave_seed) + ")"
                           : "one processor";
    if (options.timer_tick_us) {
        text += ", timers on a " + std::to_string(*options.timer_tick_us) + " us tick (seed " +
                std::to_string(options.timer_seed) + ")";
    } else {
        text += ", exact timers";
    }
    if (options.callback_seed != ScheduleOptions::kDefaultCallbackSeed) {
        text += options.callback_seed
                    ? ", protocol callbacks (seed " + std::to_string(*options.callback_seed) + ")"
                    : ", no protocol callbacks";
    }
    if (options.abort_seed != 1) text += ", aborts ordered by seed " + std::to_string(options.abort_seed);
    if (options.ehci) text += ", EHCI host controller";
    return text;
}

std::string ReproduceWith(const ScheduleOptions& options) {
    std::string text;
    if (options.interleave_seed) text += "QVNET_INTERLEAVE=" + std::to_string(*options.interleave_seed);
    if (options.timer_tick_us) {
        if (!text.empty()) text += ' ';
        text += "QVNET_TIMER_TICK=" + std::to_string(*options.timer_tick_us) + ':' +
                std::to_string(options.timer_seed);
    }
    if (options.callback_seed != ScheduleOptions::kDefaultCallbackSeed) {
        if (!text.empty()) text += ' ';
        text += "QVNET_PROTOCOL_CALLBACKS=" +
                (options.callback_seed ? std::to_string(*options.callback_seed) : "off");
    }
    auto add = [&text](const std::string& setting) {
        if (!text.empty()) text += ' ';
        text += setting;
    };
    if (options.abort_seed != 1) add("QVNET_ABORT_SEED=" + std::to_string(options.abort_seed));
    if (options.ehci) add("QVNET_HC=ehci");
    return text;
}

}  // namespace qvtest
