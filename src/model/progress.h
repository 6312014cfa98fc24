// What the subsystems under the engine are given to report progress and to hash files:
// callables, never the engine itself.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "model/ui_snapshot.h"

namespace vorn {

// What an operation tells about its progress; the engine adds what it knows of the client
// (whether Play and Update are on) and publishes the result as a UiSnapshot.
struct ViewUpdate {
    Phase phase = Phase::checking;
    std::int32_t percent = 0;
    std::wstring title;
    std::wstring detail;
    std::wstring hint;
    Busy busy = Busy::yes;
};

using ProgressSink = std::function<void(const ViewUpdate&)>;

// Copies what an update says (phase, percent, texts, busy) into `view`; the rest of the
// view is the caller's.
inline void apply_view_update(UiSnapshot& view, const ViewUpdate& update) {
    view.phase = update.phase;
    view.percent = update.percent;
    view.title = update.title;
    view.detail = update.detail;
    view.hint = update.hint;
    view.busy = update.busy == Busy::yes;
}

// Hashes a plain client file (refusing links and folders) while the window shows
// "Файл: " + display under `title`; returns the lower-case SHA-256. Throws LauncherError.
using FileHasher = std::function<std::string(
    const std::filesystem::path& path, const std::wstring& display, const std::wstring& title)>;

// The title every check of a client, staged, backup or cached file is shown under.
inline constexpr const wchar_t* checksum_title = L"Проверяем контрольные суммы";

}  // namespace vorn
