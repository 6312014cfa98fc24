// The fuzz driver: every reader of outside bytes gets seeded, mutated inputs in process, and
// each input is judged by the fault rule (fault_check.h). Prints one row per reader.
//
//   fuzz_readers [--inputs N] [--seed S] [--reader NAME[,NAME...]] [--index I]
//                [--faults FOLDER] [--probe crash|abort|hang|throw]
//
// --index reads only input I of the run of seed S (to reproduce a recorded fault).
// --probe runs only a reader that fails on purpose in the given way: the proof that the
// fault's input is recorded (its CTest entry checks the file).
// Exit code 0 when no input faulted, 1 when one did, 2 for a bad command line.
#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <sstream>

#include "fault_check.h"
#include "fault_probe.h"
#include "mutator.h"
#include "targets.h"

namespace vorn::fuzz {
namespace {

constexpr std::uint64_t default_inputs = 20000;
constexpr std::size_t shown_stages = 4;

struct Options {
    std::uint64_t inputs = default_inputs;
    std::uint64_t seed = 1;
    std::vector<std::string> readers;
    std::optional<std::uint64_t> index;
    std::filesystem::path faults = std::filesystem::current_path();
    std::string probe;
};

struct Tally {
    std::uint64_t inputs = 0;
    std::uint64_t accepted = 0;
    std::uint64_t faults = 0;
    std::map<std::string, std::uint64_t> refused;
    double seconds = 0;
};

std::optional<Options> parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--inputs") {
            options.inputs = std::stoull(value);
        } else if (key == "--seed") {
            options.seed = std::stoull(value);
        } else if (key == "--index") {
            options.index = std::stoull(value);
        } else if (key == "--faults") {
            options.faults = value;
        } else if (key == "--probe") {
            if (!fault_probe(value)) {
                return std::nullopt;
            }
            options.probe = value;
        } else if (key == "--reader") {
            std::stringstream names(value);
            for (std::string name; std::getline(names, name, ',');) {
                options.readers.push_back(name);
            }
        } else {
            return std::nullopt;
        }
    }
    if (argc % 2 == 0) {
        return std::nullopt;
    }
    return options;
}

std::string top_stages(const Tally& tally) {
    std::vector<std::pair<std::string, std::uint64_t>> stages(tally.refused.begin(),
                                                              tally.refused.end());
    std::sort(stages.begin(), stages.end(),
              [](const auto& a, const auto& b) { return a.second > b.second; });
    std::string text;
    for (std::size_t i = 0; i < stages.size() && i < shown_stages; ++i) {
        text += (i == 0 ? "" : ", ") + stages[i].first + " " + std::to_string(stages[i].second);
    }
    if (stages.size() > shown_stages) {
        text += ", +" + std::to_string(stages.size() - shown_stages) + " more";
    }
    return text;
}

Tally run_target(const Target& target, std::uint64_t reader_number, const Options& options) {
    const Mutator mutator(target.seeds, target.shape);
    Tally tally;
    const std::uint64_t first = options.index.value_or(0);
    const std::uint64_t end = options.index ? first + 1 : options.inputs;
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t index = first; index < end; ++index) {
        Prng rng = Prng::for_input(options.seed, reader_number, index);
        std::string input = mutator.make(rng);
        if (target.finish) {
            target.finish(input, rng);
        }
        set_current_input(target.name, options.seed, index, input);
        const Verdict verdict = run_checked([&] { return target.read(input, rng); }, target.policy);
        ++tally.inputs;
        switch (verdict.kind) {
            case Verdict::Kind::accepted:
                ++tally.accepted;
                break;
            case Verdict::Kind::refused:
                ++tally.refused[verdict.label];
                break;
            case Verdict::Kind::fault:
                ++tally.faults;
                save_current_input(verdict.label);
                break;
        }
        clear_current_input();
    }
    tally.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return tally;
}

int run(const Options& options) {
    std::filesystem::create_directories(options.faults);
    install_fault_recorders(options.faults);
    std::uint64_t faults = 0;
    {
        ScratchClient scratch;
        std::vector<Target> targets;
        if (options.probe.empty()) {
            add_document_targets(targets, scratch);
            add_state_targets(targets, scratch);
            add_wire_targets(targets, scratch);
            add_archive_targets(targets, scratch);
            add_delta_state_targets(targets, scratch);
            add_release_targets(targets);
        } else {
            targets.push_back(*fault_probe(options.probe));  // a known probe: options said so
        }
        std::printf("seed %llu, %llu inputs per reader\n",
                    static_cast<unsigned long long>(options.seed),
                    static_cast<unsigned long long>(options.index ? 1 : options.inputs));
        std::printf("%-22s %9s %9s %7s %9s  %s\n", "reader", "inputs", "accepted", "faults",
                    "inputs/s", "refused by stage (top)");
        for (std::size_t number = 0; number < targets.size(); ++number) {
            const Target& target = targets[number];
            if (!options.readers.empty() &&
                std::find(options.readers.begin(), options.readers.end(), target.name) ==
                    options.readers.end()) {
                continue;
            }
            const Tally tally = run_target(target, number, options);
            faults += tally.faults;
            std::printf("%-22s %9llu %9llu %7llu %9.0f  %s\n", target.name.c_str(),
                        static_cast<unsigned long long>(tally.inputs),
                        static_cast<unsigned long long>(tally.accepted),
                        static_cast<unsigned long long>(tally.faults),
                        tally.seconds > 0 ? static_cast<double>(tally.inputs) / tally.seconds : 0.0,
                        top_stages(tally).c_str());
            std::fflush(stdout);
        }
    }
    stop_fault_recorders();
    // The readers bound what they hold; a growth past them would show here.
    PROCESS_MEMORY_COUNTERS memory{};
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    std::printf("%llu faults, peak working set %.1f MiB\n", static_cast<unsigned long long>(faults),
                static_cast<double>(memory.PeakWorkingSetSize) / 1048576.0);
    return faults == 0 ? 0 : 1;
}

}  // namespace
}  // namespace vorn::fuzz

int main(int argc, char** argv) {
    const auto options = vorn::fuzz::parse_options(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: fuzz_readers [--inputs N] [--seed S] [--reader NAME[,NAME...]] "
                     "[--index I] [--faults FOLDER] [--probe crash|abort|hang|throw]\n");
        return 2;
    }
    return vorn::fuzz::run(*options);
}
