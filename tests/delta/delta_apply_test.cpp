#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "delta_package.h"
#include "core/sha256.h"
#include "support/compression.h"
#include "support/launcher_error_assert.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using test::DeltaScene;
using test::PackageFile;

std::string blob(char seed, std::size_t size) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = static_cast<char>(seed + i * 7 + i / 251);
    }
    return out;
}

// An archive that grows by an append (with its header bytes patched), a file replaced
// whole, a file that is new, and one that is already current.
std::vector<PackageFile> package() {
    const std::string archive = blob('a', 300000);
    std::string grown = archive + blob('t', 70000);
    grown.replace(4, 4, "HDR!");
    return {{"element/models.pck", archive, grown, true},
            {"element/data/config.ini", "old config", "new config, longer"},
            {"element/data/new.dat", std::nullopt, blob('n', 5000)},
            {"element/data/same.dat", "same", "same"}};
}

struct Events {
    std::vector<std::string> seen;
    std::string crash_at;  // throw when this event comes for the crash_count-th time
    int crash_count = 1;

    DeltaProgress sink() {
        return [this](std::string_view event, const std::string&, std::uint64_t, std::uint64_t) {
            seen.emplace_back(event);
            if (event == crash_at && --crash_count == 0) {
                throw std::runtime_error("killed");
            }
        };
    }
};

TEST(DeltaApply, AppliesEveryKindOfEntryAndLeavesNothingBehind) {
    DeltaScene scene(package());
    Events events;
    const DeltaPlanSummary plan = plan_delta(scene.inputs(), scene.manifest(), {}, {});
    EXPECT_FALSE(plan.up_to_date);
    EXPECT_EQ(plan.work_items, 3u);

    apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), events.sink(), {});
    EXPECT_TRUE(scene.all_at(false));
    EXPECT_TRUE(scene.nothing_left());
    EXPECT_TRUE(fs::exists(scene.root() / L".vorn-delta.lock"));  // never deleted
    for (const char* event : {"inspect_start", "staged_file", "staged_all", "backed_up",
                              "published", "committed", "before_cleanup"}) {
        EXPECT_NE(std::find(events.seen.begin(), events.seen.end(), event), events.seen.end())
            << event;
    }
    // Up to date now: a second apply and a dry run find nothing and write nothing.
    EXPECT_TRUE(plan_delta(scene.inputs(), scene.manifest(), {}, {}).up_to_date);
    apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), {}, {});
    EXPECT_TRUE(scene.all_at(false));
    EXPECT_TRUE(fs::is_empty(scene.root() / L".vorn-delta-work"));  // no second run began
}

TEST(DeltaApply, RefusalsBeforeTheJournalChangeNothing) {
    {
        DeltaScene scene(package());
        test::write_raw_file(scene.root() / L"element/models.pck", blob('z', 300000));
        const auto error = test::capture_error(
            [&] { apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), {}, {}); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->stage, "delta_wrong_base");
        EXPECT_EQ(error->archive_path, "element/models.pck");
        EXPECT_EQ(error->expected_bytes, 300000u);
        EXPECT_TRUE(scene.nothing_left());
        EXPECT_FALSE(fs::exists(scene.root() / L".vorn-delta-work"));
    }
    {
        DeltaScene scene(package());
        const PayloadProvider wrong = [&](const delta::Payload&) {
            return scene.root() / L"element/data/config.ini";  // outside the state folder
        };
        VORN_EXPECT_ERROR(apply_delta(scene.inputs(), scene.manifest(), wrong, {}, {}),
                          "delta_payload_path");
        VORN_EXPECT_ERROR(apply_delta(scene.inputs(), scene.manifest(), {}, {}, {}),
                          "delta_payload_resolver");
        Overrides overrides;
        overrides["element/other.pck"] = FileDigest{std::string(64, 'a'), 1};
        VORN_EXPECT_ERROR(
            apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), {}, overrides),
            "delta_override");
        EXPECT_TRUE(scene.all_at(true));
        EXPECT_TRUE(scene.nothing_left());
    }
}

TEST(DeltaApply, AnOverriddenFileIsKeptAsItIs) {
    DeltaScene scene(package());
    const std::string rebased = blob('r', 1000);
    test::write_raw_file(scene.root() / L"element/models.pck", rebased);
    Overrides overrides;
    overrides["element/models.pck"] = FileDigest{sha256_string(rebased), rebased.size()};
    apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), {}, overrides);
    EXPECT_EQ(scene.live("element/models.pck"), rebased);
    EXPECT_EQ(scene.live("element/data/config.ini"), "new config, longer");
    test::write_raw_file(scene.root() / L"element/models.pck", "changed since");
    VORN_EXPECT_ERROR(
        apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), {}, overrides),
        "delta_override_changed");
}

// A run stopped at every event it reports, then recovered: the client is wholly old before
// the commit point and wholly new after it, and nothing of the run is left.
TEST(DeltaApply, AStopAtAnyStepIsUndoneOrFinishedByRecovery) {
    std::vector<std::string> events;
    {
        DeltaScene scene(package());
        Events all;
        apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), all.sink(), {});
        events = all.seen;
    }
    std::set<std::string> phases;
    for (std::size_t stop = 0; stop < events.size(); ++stop) {
        Events crash;
        crash.crash_at = events[stop];
        crash.crash_count = static_cast<int>(
            std::count(events.begin(), events.begin() + static_cast<long>(stop) + 1, events[stop]));
        SCOPED_TRACE(events[stop] + " #" + std::to_string(crash.crash_count));
        DeltaScene scene(package());
        EXPECT_THROW(
            apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), crash.sink(), {}),
            std::runtime_error);
        const std::string phase = scene.journal_phase();
        phases.insert(phase);
        recover_delta(scene.inputs(), {});
        const bool committed = phase == "COMMITTED" || phase == "CLEANING_COMMITTED";
        EXPECT_TRUE(scene.all_at(!committed)) << phase;
        EXPECT_TRUE(scene.nothing_left()) << phase;
    }
    EXPECT_EQ(phases, (std::set<std::string>{"", "STAGING", "STAGED", "PUBLISHING", "COMMITTED",
                                             "CLEANING_COMMITTED"}));
}

// A read-only live archive is replaced, its backup is cleaned away, and a rollback puts the
// read-only file back.
TEST(DeltaApply, AReadOnlyArchiveIsBroughtToItsTargetAndNothingIsLeft) {
    for (const char* stop : {"", "published"}) {
        SCOPED_TRACE(stop);
        DeltaScene scene(package());
        const fs::path archive = scene.root() / L"element" / L"models.pck";
        ASSERT_TRUE(SetFileAttributesW(archive.c_str(), FILE_ATTRIBUTE_READONLY));
        Events events;
        events.crash_at = stop;
        try {
            apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), events.sink(), {});
        } catch (const std::runtime_error&) {
            recover_delta(scene.inputs(), {});
        }
        EXPECT_TRUE(scene.all_at(*stop != '\0'));
        EXPECT_TRUE(scene.nothing_left());
    }
}

// A launcher started under another spelling of the client folder (here another letter
// case) takes up the waiting journal, and the first spelling finishes what it began.
TEST(DeltaApply, AJournalWrittenUnderOneSpellingRecoversUnderAnother) {
    DeltaScene scene(package());
    Events crash;
    crash.crash_at = "published";
    EXPECT_THROW(apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), crash.sink(), {}),
                 std::runtime_error);
    DeltaRootInputs respelled = scene.inputs();
    std::wstring upper = respelled.root.native();
    std::transform(upper.begin(), upper.end(), upper.begin(), [](wchar_t c) {
        return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c;
    });
    ASSERT_NE(upper, respelled.root.native());
    respelled.root = upper;

    Events stop;
    stop.crash_at = "rollback_restored";
    EXPECT_THROW(recover_delta(respelled, stop.sink()), std::runtime_error);
    EXPECT_EQ(stop.crash_count, 0) << "the journal was refused before any rollback";
    recover_delta(scene.inputs(), {});
    EXPECT_TRUE(scene.all_at(true));
    EXPECT_TRUE(scene.nothing_left());
}

// Recovery itself stopped at each of its steps, then run again, until it ends.
TEST(DeltaApply, ARecoveryStoppedAnywhereIsRepeatedToTheEnd) {
    for (const char* apply_stop : {"published", "committed"}) {
        for (const char* recovery_stop : {"rollback_restored", "before_cleanup"}) {
            SCOPED_TRACE(std::string(apply_stop) + " then " + recovery_stop);
            DeltaScene scene(package());
            const bool committed = std::string(apply_stop) == "committed";
            Events apply;
            apply.crash_at = apply_stop;
            apply.crash_count = committed ? 1 : 2;  // between the two files that move
            EXPECT_THROW(
                apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), apply.sink(), {}),
                std::runtime_error);
            Events recovery;
            recovery.crash_at = recovery_stop;
            bool stopped = false;
            try {
                recover_delta(scene.inputs(), recovery.sink());
            } catch (const std::runtime_error&) {
                stopped = true;  // a committed run restores nothing: only the cleanup stops
            }
            if (stopped) {
                const std::string phase = scene.journal_phase();
                EXPECT_TRUE(phase == "ROLLING_BACK" || phase == "CLEANING_ROLLBACK" ||
                            phase == "CLEANING_COMMITTED")
                    << phase;
            }
            recover_delta(scene.inputs(), {});
            EXPECT_TRUE(scene.all_at(!committed));
            EXPECT_TRUE(scene.nothing_left());
        }
    }
}

TEST(DeltaApply, ChangesByAnotherProgramStopTheRunAndRecoveryRefusesToGuess) {
    {
        // The header bytes are not what the package expects.
        std::vector<PackageFile> files = package();
        DeltaScene scene(files);
        std::string live = *files[0].before;
        live.replace(4, 4, "XXXX");
        test::write_raw_file(scene.root() / L"element/models.pck", live);
        // The live file no longer matches the base: refused before anything is written.
        VORN_EXPECT_ERROR(apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), {}, {}),
                          "delta_wrong_base");
    }
    {
        // A file changes after it was staged: caught before the first move.
        DeltaScene scene(package());
        Events hook;
        const DeltaProgress changing = [&](std::string_view event, const std::string& path,
                                           std::uint64_t, std::uint64_t) {
            if (event == "staged_file" && path == "element/data/new.dat") {
                test::write_raw_file(scene.root() / L"element/data/config.ini", "user edit");
            }
        };
        VORN_EXPECT_ERROR(
            apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), changing, {}),
            "delta_source_changed");
        EXPECT_EQ(scene.journal_phase(), "STAGING");
        // Recovery will not put back a file the run never touched but someone else did.
        VORN_EXPECT_ERROR(recover_delta(scene.inputs(), {}), "delta_rollback_conflict");
        EXPECT_EQ(scene.journal_phase(), "STAGING");
        test::write_raw_file(scene.root() / L"element/data/config.ini", "old config");
        recover_delta(scene.inputs(), {});
        EXPECT_TRUE(scene.all_at(true));
        EXPECT_TRUE(scene.nothing_left());
    }
    {
        // A committed run whose file the user changed afterwards keeps its journal.
        DeltaScene scene(package());
        Events crash;
        crash.crash_at = "committed";
        EXPECT_THROW(
            apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), crash.sink(), {}),
            std::runtime_error);
        test::write_raw_file(scene.root() / L"element/data/new.dat", "edited");
        VORN_EXPECT_ERROR(recover_delta(scene.inputs(), {}), "delta_cleanup_conflict");
        EXPECT_EQ(scene.journal_phase(), "COMMITTED");
    }
}

TEST(DeltaApply, RecoveryRefusesWorkFoldersAndJournalsItCannotAccountFor) {
    const auto stopped_scene = [](DeltaScene& scene) {
        Events crash;
        crash.crash_at = "staged_all";
        EXPECT_THROW(
            apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), crash.sink(), {}),
            std::runtime_error);
        for (const auto& run : fs::directory_iterator(scene.root() / L".vorn-delta-work")) {
            return run.path();
        }
        return fs::path();
    };
    {
        DeltaScene scene(package());
        const fs::path run = stopped_scene(scene);
        test::write_raw_file(run / L"stray.txt", "not ours");
        VORN_EXPECT_ERROR(recover_delta(scene.inputs(), {}), "delta_cleanup_conflict");
        fs::remove(run / L"stray.txt");
        recover_delta(scene.inputs(), {});
        EXPECT_TRUE(scene.all_at(true));
    }
    {
        DeltaScene scene(package());
        const fs::path run = stopped_scene(scene);
        test::write_raw_file(run / L"owner.json", "{}");
        VORN_EXPECT_ERROR(recover_delta(scene.inputs(), {}), "delta_owner");
    }
    {
        DeltaScene scene(package());
        stopped_scene(scene);
        auto journal = nlohmann::json::parse(test::read_raw_file(scene.journal()));
        journal["root"] = "C:\\elsewhere";
        test::write_raw_file(scene.journal(), journal.dump());
        VORN_EXPECT_ERROR(recover_delta(scene.inputs(), {}), "delta_journal");
        journal = nlohmann::json::parse(test::read_raw_file(scene.journal()));
        VORN_EXPECT_ERROR(plan_delta(scene.inputs(), scene.manifest(), {}, {}),
                          "delta_recovery_required");
    }
}

TEST(DeltaApply, APackageWhoseHeaderBytesDoNotMatchStopsInStaging) {
    std::vector<PackageFile> files = package();
    files[0].before_hex = "00000000";
    DeltaScene scene(files);
    VORN_EXPECT_ERROR(apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), {}, {}),
                      "delta_header");
    EXPECT_EQ(scene.journal_phase(), "STAGING");
    recover_delta(scene.inputs(), {});
    EXPECT_TRUE(scene.all_at(true));
    EXPECT_TRUE(scene.nothing_left());
}

TEST(DeltaApply, AFileChangedWhilePublishingStopsThePublish) {
    DeltaScene scene(package());
    int backed_up = 0;
    const DeltaProgress changing = [&](std::string_view event, const std::string&, std::uint64_t,
                                       std::uint64_t) {
        if (event == "backed_up" && ++backed_up == 1) {
            test::write_raw_file(scene.root() / L"element/data/config.ini", "user edit");
        }
    };
    VORN_EXPECT_ERROR(apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), changing, {}),
                      "delta_publish_conflict");
    EXPECT_EQ(scene.journal_phase(), "PUBLISHING");
}

// The archive as the caller saw it serves the plans: it is read by the staging copy, then
// only where something else could have changed it. A base changed since stops the copy,
// whose partial file goes at once.
TEST(DeltaApply, AnArchiveTheCallerSawIsReadOnlyWhereItCouldHaveChanged) {
    const std::vector<PackageFile> files = package();
    const std::string& base = *files[0].before;
    const KnownStates known{
        {"element/models.pck", FileState{true, {sha256_string(base), base.size()}}}};
    const auto archive_reads = [](const std::vector<std::string>& seen) {
        return std::count(seen.begin(), seen.end(), "hash_start element/models.pck");
    };
    std::vector<std::string> seen;
    const DeltaProgress recording = [&](std::string_view event, const std::string& path,
                                        std::uint64_t, std::uint64_t) {
        seen.push_back(std::string(event) + " " + path);
    };
    {
        DeltaScene scene(files);
        EXPECT_FALSE(plan_delta(scene.inputs(), scene.manifest(), {}, recording, known).up_to_date);
        EXPECT_EQ(archive_reads(seen), 0);
        apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), recording, {}, known);
        EXPECT_TRUE(scene.all_at(false));
        // The copy, its payload, live and staged before the move. The commit knows the
        // moved file by the handle that still holds it, and the cleanup takes what the
        // commit saw.
        EXPECT_EQ(archive_reads(seen), 4);
    }
    {
        DeltaScene scene(files);
        std::string other = base;
        other[1000] ^= 1;
        test::write_raw_file(scene.root() / L"element/models.pck", other);
        VORN_EXPECT_ERROR(
            apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), {}, {}, known),
            "delta_source_changed");
        EXPECT_EQ(scene.journal_phase(), "STAGING");
        for (const auto& file :
             fs::recursive_directory_iterator(scene.root() / L".vorn-delta-work")) {
            EXPECT_NE(file.path().filename(), L"models.pck");
        }
        VORN_EXPECT_ERROR(recover_delta(scene.inputs(), {}), "delta_rollback_conflict");
        test::write_raw_file(scene.root() / L"element/models.pck", base);
        recover_delta(scene.inputs(), {});
        EXPECT_TRUE(scene.all_at(true));
        EXPECT_TRUE(scene.nothing_left());
    }
}

// The commit knows a moved file by the handle the publish holds on it: no one can write the
// file meanwhile, and a file put in its place instead is read and refused.
TEST(DeltaApply, AFileSwappedInAfterTheMoveIsRefusedByTheCommit) {
    DeltaScene scene(package());
    const fs::path live = scene.root() / L"element" / L"models.pck";
    DWORD write_error = ERROR_SUCCESS;
    const DeltaProgress swapping = [&](std::string_view event, const std::string& path,
                                       std::uint64_t, std::uint64_t) {
        if (event != "published" || path != "element/models.pck") {
            return;
        }
        const HANDLE writer = CreateFileW(live.c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        write_error = writer == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        if (writer != INVALID_HANDLE_VALUE) {
            CloseHandle(writer);
        }
        ASSERT_TRUE(MoveFileExW(live.c_str(), (scene.root() / L"aside.pck").c_str(), 0));
        test::write_raw_file(live, *scene.live("element/data/same.dat"));
    };
    VORN_EXPECT_ERROR(apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), swapping, {}),
                      "delta_commit_verify");
    EXPECT_EQ(write_error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(scene.journal_phase(), "PUBLISHING");
}

TEST(DeltaApply, EntriesSharingAPayloadResolveItOnce) {
    const std::string same = blob('s', 20000);
    DeltaScene scene({{"element/a.dat", std::nullopt, same}, {"element/b.dat", "old b", same}});
    ASSERT_EQ(scene.manifest().entries[0].payload.path, scene.manifest().entries[1].payload.path);
    int resolved = 0;
    const PayloadProvider counting = [&](const delta::Payload& payload) {
        ++resolved;
        return scene.payloads()(payload);
    };
    apply_delta(scene.inputs(), scene.manifest(), counting, {}, {});
    EXPECT_EQ(resolved, 1);
    EXPECT_TRUE(scene.all_at(false));
}

TEST(DeltaApply, RecoveryEdgesOfTheWorkFolder) {
    {
        // Cleaning was under way and the folder is gone already: only the journal is left.
        DeltaScene scene(package());
        Events crash;
        crash.crash_at = "before_cleanup";
        EXPECT_THROW(
            apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), crash.sink(), {}),
            std::runtime_error);
        ASSERT_EQ(scene.journal_phase(), "CLEANING_COMMITTED");
        for (const auto& run : fs::directory_iterator(scene.root() / L".vorn-delta-work")) {
            fs::remove_all(run.path());
        }
        recover_delta(scene.inputs(), {});
        EXPECT_TRUE(scene.all_at(false));
        EXPECT_TRUE(scene.nothing_left());
    }
    {
        // A staged file longer than its target is no file this run wrote.
        DeltaScene scene(package());
        Events crash;
        crash.crash_at = "staged_file";
        EXPECT_THROW(
            apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), crash.sink(), {}),
            std::runtime_error);
        fs::path staged;
        for (const auto& file :
             fs::recursive_directory_iterator(scene.root() / L".vorn-delta-work")) {
            if (file.path().filename() == L"models.pck") {
                staged = file.path();
            }
        }
        ASSERT_FALSE(staged.empty());
        test::write_raw_file(staged, test::read_raw_file(staged) + std::string(80000, 'x'));
        VORN_EXPECT_ERROR(recover_delta(scene.inputs(), {}), "delta_cleanup_conflict");
    }
    {
        // A journal whose entries are not its manifest's.
        DeltaScene scene(package());
        Events crash;
        crash.crash_at = "staged_all";
        EXPECT_THROW(
            apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), crash.sink(), {}),
            std::runtime_error);
        auto journal = nlohmann::json::parse(test::read_raw_file(scene.journal()));
        journal["entries"][1]["path"] = "element/data/other.ini";
        test::write_raw_file(scene.journal(), journal.dump());
        VORN_EXPECT_ERROR(recover_delta(scene.inputs(), {}), "delta_journal");
    }
}

// What a kill in the middle of a write leaves: a journal temporary beside the root, an
// owner temporary in the run folder, a run folder with only its owner file.
TEST(DeltaApply, WritesCutShortLeaveNothingBehindTheNextRun) {
    DeltaScene scene(package());
    const fs::path work = scene.root() / L".vorn-delta-work";
    const fs::path orphan = work / std::wstring(32, L'a');
    const fs::path foreign = work / L"not-a-run";
    test::write_raw_file(orphan / L"owner.json", "{}");
    test::write_raw_file(orphan / L"owner.json.0123456789abcdef.tmp", "{");
    test::write_raw_file(foreign / L"notes.txt", "someone else's");
    const fs::path journal_temporary =
        scene.root() / L".vorn-delta-journal-v1.json.0123456789abcdef.tmp";
    test::write_raw_file(journal_temporary, "{\"phase\":");
    Events crash;
    crash.crash_at = "staged_all";
    EXPECT_THROW(apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), crash.sink(), {}),
                 std::runtime_error);
    EXPECT_FALSE(fs::exists(journal_temporary));
    EXPECT_FALSE(fs::exists(orphan));
    EXPECT_TRUE(fs::exists(foreign / L"notes.txt"));  // not ours: left alone
    for (const auto& run : fs::directory_iterator(work)) {
        if (run.path() != foreign) {
            test::write_raw_file(run.path() / L"owner.json.fedcba9876543210.tmp", "{");
        }
    }
    recover_delta(scene.inputs(), {});
    EXPECT_TRUE(scene.all_at(true));
    EXPECT_FALSE(fs::exists(scene.journal()));
    EXPECT_EQ(std::distance(fs::directory_iterator(work), fs::directory_iterator()), 1);
}

TEST(DeltaApply, PayloadsThatDoNotInflateToTheirDigestAreRefused) {
    const std::string content = blob('n', 5000);
    const std::string stream = test::compressed(content, false);
    const std::string longer = test::compressed(content + "!", false);
    for (const auto& [name, stored, stage] :
         {std::tuple{"a byte after the stream", stream + "x", "delta_zlib_trailing"},
          std::tuple{"a stream cut short", stream.substr(0, stream.size() / 2),
                     "delta_raw_integrity"},
          std::tuple{"one byte more than announced", longer, "delta_zlib_bound"},
          std::tuple{"not a zlib stream", std::string(100, 'q'), "delta_zlib"}}) {
        SCOPED_TRACE(name);
        PackageFile file{"element/data/new.dat", std::nullopt, content};
        file.stored = stored;
        DeltaScene scene({file});
        VORN_EXPECT_ERROR(apply_delta(scene.inputs(), scene.manifest(), scene.payloads(), {}, {}),
                          stage);
        recover_delta(scene.inputs(), {});
        EXPECT_TRUE(scene.all_at(true));
        EXPECT_TRUE(scene.nothing_left());
    }
}

}  // namespace
}  // namespace vorn
