#include "scratch_client.h"

#include <windows.h>

#include <fstream>
#include <iterator>

#include "core/identifiers.h"
#include "core/unique_handle.h"
#include "fault_check.h"
#include "net/winhttp_transport.h"

namespace vorn::fuzz {
namespace {

namespace fs = std::filesystem;

constexpr const char* decoy_content = "a file beside the client that no reader may touch";

// The decoys sit where an escaping path would land: beside the client and under a sibling
// "element" folder.
const std::array<const wchar_t*, 3> decoys = {L"outside.txt", L"element\\a.txt", L"element\\c.txt"};

}  // namespace

ScratchClient::ScratchClient() {
    const std::string unique = random_hex(8);
    base_ = fs::temp_directory_path() / (L"vorn-fuzz-" + std::to_wstring(GetCurrentProcessId()) +
                                         L"-" + std::wstring(unique.begin(), unique.end()));
    root_ = base_ / L"client";
    fs::create_directories(root_ / L"element");
    for (const wchar_t* decoy : decoys) {
        put(base_ / decoy, decoy_content);
    }
    LauncherConfig config;
    config.root = root_.native();
    config.cache_dir = (base_ / L"cache" / L"service").native();
    config.local_test = true;
    // A closed loopback port: no reader here may reach a network.
    config.endpoints.manifest_url = L"http://127.0.0.1:9/manifest.json";
    config.endpoints.update_base_url = L"http://127.0.0.1:9/blobs/";
    engine_ = std::make_unique<UpdateEngine>(
        config, std::make_shared<WinHttpTransport>(), [](const UiSnapshot&) {}, ReportFunction{});
}

ScratchClient::~ScratchClient() {
    engine_.reset();
    std::error_code ignored;  // a leftover in the temporary folder is harmless
    fs::remove_all(base_, ignored);
}

void ScratchClient::put(const fs::path& path, const std::string& bytes) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file && GetLastError() == ERROR_PATH_NOT_FOUND) {
        fs::create_directories(path.parent_path());  // only the first write into a folder
        file.reset(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    DWORD written = 0;
    if (!file ||
        !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
        throw std::runtime_error("the scratch file could not be written");
    }
}

std::string ScratchClient::get(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void ScratchClient::require_decoys_untouched() const {
    for (const wchar_t* decoy : decoys) {
        if (get(base_ / decoy) != decoy_content) {
            broken("a file outside the client folder changed");
        }
    }
}

}  // namespace vorn::fuzz
