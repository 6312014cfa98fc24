// The folders and files every delta operation starts from, and the journal probe.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "model/file_digest.h"

namespace vorn {

inline constexpr const wchar_t* delta_journal_name = L".vorn-delta-journal-v1.json";
inline constexpr const wchar_t* delta_work_name = L".vorn-delta-work";
inline constexpr std::uint64_t largest_updater = 67108864;  // 64 MiB

inline constexpr const wchar_t* delta_package_message =
    L"Пакет обновления повреждён или не подходит этому клиенту.";
inline constexpr const wchar_t* delta_io_message =
    L"Не удалось прочитать или сохранить файлы обновления. Закройте игру и повторите попытку.";

// What the engine knows before any delta work: the client folder, its state folder and
// the updater build it accepts.
struct DeltaRootInputs {
    std::filesystem::path root;
    std::filesystem::path state_dir;
    std::optional<FileDigest> updater_pin;
};

struct DeltaRoots {
    std::filesystem::path root;  // absolute, an existing folder
    std::filesystem::path state_dir;
    std::filesystem::path journal_path;
    std::filesystem::path work_root;
    std::string root_utf8;
    std::optional<FileDigest> updater_pin;
};

// Throws LauncherError "delta_root" or "delta_updater_pin".
DeltaRoots resolve_delta_roots(const DeltaRootInputs& inputs);

// Whether a delta journal waits in the client root. Throws LauncherError "delta_journal"
// when it cannot tell or when the journal path is a folder or a link.
bool delta_journal_exists(const DeltaRootInputs& inputs);

}  // namespace vorn
