#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "tests/model/FakeWindows.h"

namespace model {

// The launcher reported the failure the fault caused: an Error event names the platform call
// (the fault's operation up to any colon, which names the Win32 call inside it) and the error
// the platform answered for it. The model only answers; the event is the launcher's own.
inline ::testing::AssertionResult ReportsFailure(const FakeWindows& os, const Fault& fault) {
    const std::string call = fault.operation.substr(0, fault.operation.find(':'));
    const std::string error = std::to_string(fault.error);
    const bool found = std::any_of(os.events.begin(), os.events.end(), [&](const RecordedEvent& event) {
        return event.level == platform::TraceLevel::Error && event.Field("Call") == call && event.Field("Error") == error;
    });
    if (found) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no Error event names " << call << " with error " << error
                                         << "; the events:\n"
                                         << os.EventLog();
}

// The first event of that name, or nullopt.
inline std::optional<RecordedEvent> FirstEvent(const FakeWindows& os, const std::string& name) {
    const auto found = std::find_if(os.events.begin(), os.events.end(),
                                    [&name](const RecordedEvent& event) { return event.name == name; });
    if (found == os.events.end()) return std::nullopt;
    return *found;
}

// The events of that name, in order.
inline std::vector<RecordedEvent> EventsNamed(const FakeWindows& os, const std::string& name) {
    std::vector<RecordedEvent> found;
    std::copy_if(os.events.begin(), os.events.end(), std::back_inserter(found),
                 [&name](const RecordedEvent& event) { return event.name == name; });
    return found;
}

}  // namespace model
