#include "engine/install/install_transaction.h"

#include <windows.h>

#include <algorithm>
#include <deque>
#include <future>

#include <nlohmann/json.hpp>

#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/hex.h"
#include "core/identifiers.h"
#include "core/json_fields.h"
#include "core/json_io.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "core/text.h"
#include "core/unique_handle.h"
#include "engine/client/background_check.h"
#include "engine/client/client_file_hash.h"
#include "engine/client/client_place.h"
#include "engine/client/disk_room.h"
#include "engine/client/engine_services.h"
#include "engine/client/engine_view.h"
#include "engine/client/file_hashing.h"
#include "engine/client/ordered_hashing.h"
#include "engine/client/repair_state.h"
#include "engine/client/running_client.h"
#include "engine/install/install_journal.h"
#include "engine/install/update_blob.h"

namespace vorn {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr std::uint64_t largest_owner_file = 2048;
constexpr std::uint64_t largest_prefetched_blob = 32ull * 1024 * 1024;
constexpr const char* transactions_folder = "element/.vornell-transactions";

[[noreturn]] void fail_state(const wchar_t* message) {
    throw LauncherError("transaction_state", message);
}

bool is_transaction_id(const std::string& id) {
    return id.size() == 32 && is_lower_hex(id);
}

std::string staged_name(std::size_t index) {
    return std::to_string(index) + ".bin";
}

// The live digest, or "" when there is no file.
std::string live_digest(EngineView& view, const fs::path& live, const std::string& path) {
    return file_exists(live) ? checksum_of(view, live, path) : std::string();
}

// "<1 to 6 digits>.bin" in any letter case; in "staged" also the guild archive and the
// temporaries of an atomic write of a permitted name.
bool is_permitted_name(std::wstring name, bool staged) {
    name = lower_ascii(name);
    auto plain = [&](const std::wstring& text) {
        if (staged && text == L"surfaces.pck") {
            return true;
        }
        const std::size_t digits = text.size() >= 4 ? text.size() - 4 : 0;
        return text.ends_with(L".bin") && digits >= 1 && digits <= 6 &&
               std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(digits),
                           [](wchar_t c) { return c >= L'0' && c <= L'9'; });
    };
    if (plain(name)) {
        return true;
    }
    // <permitted>.<16 characters>.tmp
    if (staged && name.size() > 21 && name.ends_with(L".tmp") && name[name.size() - 21] == L'.') {
        return plain(name.substr(0, name.size() - 21));
    }
    return false;
}

void delete_folder(const fs::path& path) {
    if (!RemoveDirectoryW(long_path(path).c_str())) {
        const DWORD error = GetLastError();
        if (!is_not_found(error)) {
            throw LauncherError("local_state", L"Не удалось завершить сохранение состояния.",
                                error);
        }
    }
}

// Downloads the next two blobs while the last one is staged, when they are small: each
// download holds its blob on disk beside the staged copy, so only small ones wait ahead.
class BlobPrefetch {
  public:
    BlobPrefetch(const EngineServices& services, const std::vector<ManifestFile>& files,
                 const std::vector<fs::path>& targets)
        : services_(services), files_(files), targets_(targets) {}

    // Leaves file i verified at its target; keeps the downloads of the files after it
    // running. Files are taken in order; an error of a prefetched download is raised at its
    // own turn.
    void take(std::size_t index) {
        std::optional<std::future<void>> current;
        if (!ahead_.empty()) {
            current = std::move(ahead_.front());
            ahead_.pop_front();
        }
        next_ = std::max(next_, index + 1);  // file i is taken now or already running
        while (ahead_.size() < most_blobs_ahead && next_ < files_.size() &&
               is_small(files_[next_])) {
            ahead_.push_back(std::async(std::launch::async, [this, file = next_] {
                stage_update_blob(services_, files_[file], targets_[file]);
            }));
            ++next_;
        }
        if (current) {
            return current->get();
        }
        stage_update_blob(services_, files_[index], targets_[index]);
    }

  private:
    static constexpr std::size_t most_blobs_ahead = 2;

    static bool is_small(const ManifestFile& file) {
        return file.size <= largest_prefetched_blob &&
               file.compressed_size <= largest_prefetched_blob;
    }

    const EngineServices& services_;
    const std::vector<ManifestFile>& files_;
    const std::vector<fs::path>& targets_;
    std::size_t next_ = 0;  // the first file no download has been started for
    // Waited for on every path, also when an error leaves early.
    std::deque<std::future<void>> ahead_;
};

// What every live file holds as the download starts; the commit stops if one changes, so
// a file another program writes meanwhile is never lost without a word. Workers read the
// files on every core, a few ahead; the views stay in list order.
ExpectedStates expected_states(const ClientPlace& client, EngineView& view,
                               const std::vector<ManifestFile>& files) {
    std::vector<std::optional<fs::path>> jobs;
    for (const ManifestFile& file : files) {
        const fs::path live = resolve_client_path(client, file.path, LinkCheck::refuse_links);
        jobs.push_back(file_exists(live) ? std::optional(live) : std::nullopt);
    }
    ExpectedStates expected;
    OrderedHashing hashing(jobs, hashing_threads());
    for (std::size_t i = 0; i < files.size(); ++i) {
        // An absent file is expected to stay absent: the empty digest.
        expected[files[i].path] =
            jobs[i] ? checksum_taken(view, hashing, i, files[i].path) : std::string();
    }
    return expected;
}

}  // namespace

fs::path transaction_folder(const ClientPlace& client, const std::string& id,
                            TransactionLayout layout) {
    if (!is_transaction_id(id)) {
        fail_state(L"Повреждено описание восстановления.");
    }
    const std::string parent = layout == TransactionLayout::legacy
                                   ? std::string(".vornell-transactions")
                                   : std::string(transactions_folder);
    return resolve_client_path(client, parent + "/" + id, LinkCheck::refuse_links);
}

bool read_owner(const ClientPlace& client, const std::string& id, const fs::path& folder) {
    try {
        const fs::path owner = folder / owner_file_name;
        return is_plain_file(owner) &&
               parse_owner(client, id, read_file_limited(owner, largest_owner_file));
    } catch (const std::exception&) {
        return false;  // unreadable: never trusted, never deleted
    }
}

bool parse_owner(const ClientPlace& client, const std::string& id, ByteView bytes) noexcept {
    try {
        const json document = parse_json_bytes(bytes, "parse_json");
        const JsonFields fields("transaction_state", L"Неверный файл владельца папки обновления.");
        return fields.text(fields.member(document, "schema")) == owner_schema &&
               fields.text(fields.member(document, "root")) == client.key &&
               fields.text(fields.member(document, "id")) == id;
    } catch (const std::exception&) {
        return false;  // not ours, or damaged: never trusted, never deleted
    }
}

fs::path begin_transaction(const ClientPlace& client, const EngineServices& services,
                           const std::string& id) {
    const fs::path folder = transaction_folder(client, id, TransactionLayout::element);
    if (file_exists(folder)) {
        fail_state(L"Служебная папка обновления уже существует.");
    }
    ensure_service_directory(folder);
    // A kill before the owner file is in place leaves the folder empty or holding only the
    // owner's temporary: the stale sweep takes such a folder away.
    write_json_file(folder / owner_file_name,
                    json{{"schema", owner_schema}, {"root", client.key}, {"id", id}},
                    [&] { reach(services, "owner_temporary_written"); });
    ensure_service_directory(folder / L"staged");
    return folder;
}

void move_into_place(const fs::path& source, const fs::path& live) {
    // A read-only live file is replaced like any other: its attribute goes with it.
    const bool live_writable = clear_read_only(live) || is_not_found(GetLastError());
    if (!live_writable || !MoveFileExW(long_path(source).c_str(), long_path(live).c_str(),
                                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        throw LauncherError("install_replace",
                            L"Не удалось заменить файл. Закройте игру и повторите обновление.",
                            GetLastError());
    }
}

void copy_to_backup(const fs::path& source, const fs::path& target) {
    ensure_service_directory(target.parent_path());
    copy_client_file(source, target, {});
}

void require_recoverable_paths(const ClientPlace& client, const fs::path& folder,
                               const std::vector<std::string>& paths) {
    for (std::size_t i = 0; i < paths.size(); ++i) {
        require_local_path_length(
            resolve_relative_path(folder, backup_entry_name(i), LinkCheck::refuse_links));
        const fs::path live = resolve_client_path(client, paths[i], LinkCheck::refuse_links);
        if (file_exists(live)) {
            fs::path temporary = live;
            temporary += recovery_temporary_suffix;
            require_local_path_length(temporary);
        }
    }
}

namespace {

// What an install holds at its fullest: every staged file, a backup of every live file
// it replaces and the largest blob as it came, beside its decoded copy; and the reserve.
std::uint64_t room_for(const ClientPlace& client, const std::vector<ManifestFile>& files) {
    std::uint64_t needed = room_reserve;
    std::uint64_t largest_blob = 0;
    for (const ManifestFile& file : files) {
        const fs::path live = resolve_client_path(client, file.path, LinkCheck::refuse_links);
        needed += file.size + (file_exists(live) ? client_file_size(live) : 0);
        largest_blob =
            std::max(largest_blob, file.compressed_size != 0 ? file.compressed_size : file.size);
    }
    return needed + largest_blob;
}

}  // namespace

void install_files(const ClientPlace& client, const EngineServices& services, EngineView& view,
                   const std::vector<ManifestFile>& files) {
    for (const ManifestFile& file : files) {
        if (is_updater_path(file.path)) {
            throw LauncherError("self_update_staging",
                                L"Игровой пакет не может заменять компонент обновления лаунчера.");
        }
    }
    for (const ManifestFile& file : files) {
        if (file.size > largest_manifest_file) {
            throw LauncherError(
                "delta_required",
                L"Большой архив требует проверенную дельту. Полная загрузка запрещена.");
        }
    }
    if (files.empty()) {
        return;
    }
    const std::string id = random_hex(16);
    std::vector<std::string> paths;
    for (const ManifestFile& file : files) {
        paths.push_back(file.path);
    }
    // Refused before anything is downloaded, and again before the journal is written.
    require_recoverable_paths(client, transaction_folder(client, id, TransactionLayout::element),
                              paths);
    require_room(client, services, room_for(client, files));
    const fs::path folder = begin_transaction(client, services, id);

    const ExpectedStates expected = expected_states(client, view, files);

    std::vector<StagedFile> staged;
    std::vector<fs::path> targets;
    for (std::size_t i = 0; i < files.size(); ++i) {
        targets.push_back(folder / L"staged" / to_utf16(staged_name(i)));
    }
    const std::size_t count = files.size();
    BlobPrefetch prefetch(services, files, targets);
    for (std::size_t i = 0; i < count; ++i) {
        publish_view(
            view, {.phase = Phase::downloading,
                   .percent = static_cast<std::int32_t>(i * 100 / count),
                   .title = L"Загружаем обновление",
                   .detail = L"Файл: " + std::to_wstring(i + 1) + L" / " + std::to_wstring(count)});
        prefetch.take(i);
        reach(services, "downloaded");
        staged.push_back({files[i].path, targets[i], files[i].sha256});
        reach(services, "staged");
    }
    ensure_client_not_running(client);
    commit_transaction(client, services, view, id, staged, expected);
}

namespace {

// Backs up entry i's live file after checking that it did not change since the download
// started. The backup's own check runs on `backup_check` while the next file is read.
JournalEntry back_up_entry(const ClientPlace& client, EngineView& view, const fs::path& folder,
                           OrderedHashing& staged, std::size_t i, const StagedFile& file,
                           const ExpectedStates& expected,
                           const std::optional<LauncherError>& changed,
                           BackgroundCheck& backup_check) {
    const fs::path live = resolve_client_path(client, file.path, LinkCheck::refuse_links);
    // Against a staged file damaged on the disk since it was written.
    if (checksum_taken(view, staged, i, file.path) != file.new_sha256) {
        throw LauncherError("stage_verify", L"Подготовленный файл не прошёл проверку.");
    }
    const bool existed = file_exists(live);
    const std::string backup_name = backup_entry_name(i);
    const fs::path backup = resolve_relative_path(folder, backup_name, LinkCheck::refuse_links);
    std::string old;
    if (existed) {
        // One pass copies the live file and hashes it, the live file open without write
        // sharing meanwhile: the digest is the live file's state at its turn and the backup's
        // content. Nothing names the backup before the checks below.
        ensure_service_directory(backup.parent_path());
        old = copy_with_checksum(view, live, backup, file.path);
    }
    // Against another program changing the live file since the download started: read now,
    // at its turn, because nothing kept it from changing.
    if (const auto state = expected.find(file.path);
        state != expected.end() && state->second != old) {
        throw changed.value_or(LauncherError(
            "install_conflict", L"Файл изменился во время загрузки. Обновление остановлено."));
    }
    if (existed) {
        // Against a backup the disk does not give back as written: recovery trusts every
        // backup the journal names.
        backup_check.start(backup, old,
                           LauncherError("backup_verify", L"Резервная копия не прошла проверку."));
    }
    return {.path = file.path,
            .backup = backup_name,
            .existed = existed,
            .old_sha256 = old,
            .new_sha256 = file.new_sha256};
}

// Backs up and verifies every live file before the journal says so, and checks that none
// changed since the download started. Returns the journal's entries.
std::vector<JournalEntry> back_up_live_files(const ClientPlace& client,
                                             const EngineServices& services, EngineView& view,
                                             const fs::path& folder,
                                             const std::vector<StagedFile>& staged,
                                             const ExpectedStates& expected,
                                             const std::optional<LauncherError>& changed) {
    // The staged files are the launcher's own: workers read them ahead of their turn.
    std::vector<std::optional<fs::path>> jobs;
    for (const StagedFile& file : staged) {
        jobs.emplace_back(file.staged);
    }
    OrderedHashing staged_hashing(jobs, hashing_threads());
    BackgroundCheck backup_check;
    std::vector<JournalEntry> entries;
    for (std::size_t i = 0; i < staged.size(); ++i) {
        backup_check.guard([&] {
            entries.push_back(back_up_entry(client, view, folder, staged_hashing, i, staged[i],
                                            expected, changed, backup_check));
        });
        reach(services, "backed_up");
    }
    backup_check.settle();  // every backup proven before the journal names it
    return entries;
}

// The live file is still what the journal recorded before the staged one replaces it.
// Read again right before the move: between the backup and now another program may have
// written it, and the move would lose that write without the journal knowing.
void require_journaled_state(EngineView& view, const JournalEntry& entry, const fs::path& live) {
    if (!entry.existed) {
        if (file_exists(live)) {
            throw LauncherError("install_conflict",
                                L"Файл появился во время обновления. Повторите действие.");
        }
    } else if (live_digest(view, live, entry.path) != entry.old_sha256) {
        throw LauncherError("install_conflict",
                            L"Файл изменился во время обновления. Повторите действие.");
    }
}

void publish_installed_view(EngineView& view, std::size_t installed, std::size_t count) {
    publish_view(view, {.phase = Phase::installing,
                        .percent = static_cast<std::int32_t>(installed * 100 / count),
                        .title = L"Устанавливаем проверенные файлы",
                        .detail = L"Установлено: " + std::to_wstring(installed) + L" / " +
                                  std::to_wstring(count)});
}

// Moves each staged file over its live file, checked before and after. A moved file is
// proven while the next live file is checked, and before the next move.
void publish_staged_files(const ClientPlace& client, const EngineServices& services,
                          EngineView& view, const std::vector<StagedFile>& staged,
                          const std::vector<JournalEntry>& entries) {
    const std::size_t count = staged.size();
    BackgroundCheck installed_check;
    for (std::size_t i = 0; i < count; ++i) {
        const fs::path live = resolve_client_path(client, staged[i].path, LinkCheck::refuse_links);
        installed_check.guard([&] { require_journaled_state(view, entries[i], live); });
        installed_check.settle();
        if (i > 0) {
            publish_installed_view(view, i, count);
        }
        ensure_service_directory(live.parent_path());
        move_into_place(staged[i].staged, live);
        reach(services, "published");
        // Against a move that left other bytes in place than the ones staged and checked.
        installed_check.start(
            live, staged[i].new_sha256,
            LauncherError("install_verify", L"Установленный файл не прошёл проверку."));
    }
    installed_check.settle();
    publish_installed_view(view, count, count);
}

}  // namespace

void commit_transaction(const ClientPlace& client, const EngineServices& services, EngineView& view,
                        const std::string& id, const std::vector<StagedFile>& staged,
                        const ExpectedStates& expected,
                        const std::optional<LauncherError>& changed) {
    if (file_exists(client.transaction_path)) {
        throw LauncherError("recovery_required",
                            L"Сначала завершите восстановление предыдущего обновления.");
    }
    const fs::path folder = transaction_folder(client, id, TransactionLayout::element);
    if (!read_owner(client, id, folder)) {
        fail_state(L"Неверное состояние временной папки обновления.");
    }

    std::vector<std::string> paths;
    for (const StagedFile& file : staged) {
        paths.push_back(file.path);
    }
    require_recoverable_paths(client, folder, paths);

    // Backups first: every replaced file has a verified copy before the journal says so.
    const InstallJournal journal{
        .root = client.key,
        .id = id,
        .layout = TransactionLayout::element,
        .entries = back_up_live_files(client, services, view, folder, staged, expected, changed)};
    write_install_journal(client.transaction_path, journal);
    mark_repair_required(client, view);
    reach(services, "journal_written");  // from here on a crash is repaired by recovery

    publish_staged_files(client, services, view, staged, journal.entries);
    reach(services, "all_published");
    remove_file_if_present(client.transaction_path);
    try {
        remove_transaction_folder(client, id, TransactionLayout::element);
    } catch (const LauncherError&) {
        // Every file is installed and verified and the journal is gone: a folder held open
        // (an antivirus scanning a fresh backup) only costs space until a later sweep.
    }
}

void abandon_transaction(const ClientPlace& client, const std::string& id) noexcept {
    try {
        remove_transaction_folder(client, id, TransactionLayout::element);
    } catch (...) {
        // The first failure is the one the user must read.
    }
}

namespace {

// A folder whose owner file was never put in place holds nothing of value: at most the
// temporary of that write. Anything else in it is left alone.
bool remove_unowned_leftover(const fs::path& folder) {
    if (!file_exists(folder)) {
        return false;
    }
    const auto entries = list_folder(folder);
    if (!entries) {
        return false;
    }
    for (const FolderEntry& entry : *entries) {
        if ((entry.attributes & link_or_directory_mask) != 0 ||
            !is_atomic_temporary_of(entry.name, owner_file_name)) {
            return false;
        }
    }
    for (const FolderEntry& entry : *entries) {
        remove_file_if_present(folder / entry.name);
    }
    delete_folder(folder);
    return true;
}

}  // namespace

bool remove_transaction_folder(const ClientPlace& client, const std::string& id,
                               TransactionLayout layout) {
    if (file_exists(client.transaction_path)) {
        return false;
    }
    const fs::path folder = transaction_folder(client, id, layout);
    if (!read_owner(client, id, folder)) {
        return remove_unowned_leftover(folder);
    }
    // Everything is checked before anything is deleted: an unexpected entry leaves it all.
    std::vector<fs::path> files;
    std::vector<fs::path> folders;
    const auto entries = list_folder(folder);
    if (!entries) {
        return false;
    }
    for (const FolderEntry& entry : *entries) {
        const bool plain = (entry.attributes & link_or_directory_mask) == 0;
        const bool real_folder = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                                 (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        // The owner file, and the temporary a killed write of it left behind.
        if ((entry.name == owner_file_name ||
             is_atomic_temporary_of(entry.name, owner_file_name)) &&
            plain) {
            if (entry.name != owner_file_name) {
                files.push_back(folder / entry.name);
            }
            continue;
        }
        if ((entry.name == L"staged" || entry.name == L"backups") && real_folder) {
            const fs::path sub = folder / entry.name;
            const auto inner_entries = list_folder(sub);
            if (!inner_entries) {
                return false;
            }
            for (const FolderEntry& inner : *inner_entries) {
                if ((inner.attributes & link_or_directory_mask) != 0 ||
                    !is_permitted_name(inner.name, entry.name == L"staged")) {
                    return false;
                }
                files.push_back(sub / inner.name);
            }
            folders.push_back(sub);
            continue;
        }
        return false;
    }
    for (const fs::path& file : files) {
        clear_read_only(file);  // backups of older builds kept the attribute
        remove_file_if_present(file);
    }
    for (const fs::path& sub : folders) {
        delete_folder(sub);
    }
    remove_file_if_present(folder / owner_file_name);
    delete_folder(folder);
    return true;
}

void remove_stale_transactions(const ClientPlace& client) {
    try {
        if (file_exists(client.transaction_path)) {
            return;
        }
        const fs::path parent =
            resolve_client_path(client, transactions_folder, LinkCheck::refuse_links);
        if (!file_exists(parent)) {
            return;
        }
        const auto entries = list_folder(parent);
        if (!entries) {
            return;
        }
        for (const FolderEntry& entry : *entries) {
            const std::string name = to_utf8(entry.name);
            if (is_transaction_id(name)) {
                try {
                    remove_transaction_folder(client, name, TransactionLayout::element);
                } catch (const std::exception&) {
                    // A leftover only costs space; the next action tries again.
                }
            }
        }
    } catch (const std::exception&) {
        // Same: cleaning up never fails an action.
    }
}

}  // namespace vorn
