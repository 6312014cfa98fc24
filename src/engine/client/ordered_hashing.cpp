#include "engine/client/ordered_hashing.h"

#include "engine/client/client_file_hash.h"

namespace vorn {
namespace {

std::vector<OrderedWork<std::string>::Job> hashing_jobs(
    const std::vector<std::optional<std::filesystem::path>>& paths) {
    std::vector<OrderedWork<std::string>::Job> jobs;
    for (const auto& path : paths) {
        if (path) {
            jobs.emplace_back([path = *path](const HashProgress& progress) {
                return hash_client_file(path, progress);
            });
        } else {
            jobs.emplace_back();
        }
    }
    return jobs;
}

}  // namespace

OrderedHashing::OrderedHashing(const std::vector<std::optional<std::filesystem::path>>& jobs,
                               std::size_t threads)
    : work_(hashing_jobs(jobs), threads) {}

}  // namespace vorn
