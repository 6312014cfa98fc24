#include "fault_probe.h"

#include <windows.h>

#include <cstdlib>
#include <stdexcept>

namespace vorn::fuzz {

std::optional<Target> fault_probe(const std::string& kind) {
    std::function<std::string(const std::string&, Prng&)> read;
    if (kind == "crash") {
        read = [](const std::string&, Prng&) -> std::string {
            RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
            return {};
        };
    } else if (kind == "abort") {
        read = [](const std::string&, Prng&) -> std::string { std::abort(); };
    } else if (kind == "hang") {
        read = [](const std::string&, Prng&) {
            Sleep(1500);
            return std::string();
        };
    } else if (kind == "throw") {
        read = [](const std::string&, Prng&) -> std::string {
            throw std::logic_error("a reader's own fault");
        };
    } else {
        return std::nullopt;
    }
    return Target{.name = "fault_probe_" + kind,
                  .shape = InputShape::text,
                  .seeds = {"an input the probe does not read"},
                  .read = read};
}

}  // namespace vorn::fuzz
