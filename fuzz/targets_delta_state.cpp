// The delta package's state on disk: the journal that recovery reads (with recovery run on
// a scratch client), and the rebase state whose receipt verification trusts.
#include <functional>
#include <optional>
#include <set>

#include <nlohmann/json.hpp>

#include "archive/rebase_receipt.h"
#include "core/json_io.h"
#include "core/sha256.h"
#include "core/text.h"
#include "delta/delta_apply.h"
#include "delta/delta_journal.h"
#include "delta/delta_recovery.h"
#include "delta/delta_roots.h"
#include "support/delta_document.h"
#include "targets.h"

namespace vorn::fuzz {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

const std::vector<test::PackageFile>& package() {
    static const std::vector<test::PackageFile> files = {
        {"element/models.pck", std::string(5000, 'b'), std::string(5000, 'b') + "tail", true},
        {"element/data/config.ini", "old", "new config"},
        {"element/data/added.dat", std::nullopt, "added"}};
    return files;
}

// Refusals that come before recovery writes anything: the layout can be used again.
bool refused_while_reading(const std::string& stage) {
    static const std::set<std::string> reading = {
        "delta_schema",    "delta_journal", "delta_manifest_integrity", "delta_path",
        "delta_collision", "delta_owner",   "delta_updater_changed",    "delta_observe"};
    return !stage.starts_with("delta_") || reading.contains(stage);
}

// A client of its own beside the scratch client, with a run of the package stopped at a
// chosen event: the journal, its work folder and a half-published client.
class DeltaJournalTarget {
  public:
    explicit DeltaJournalTarget(ScratchClient& scratch)
        : scratch_(scratch), root_(scratch.base() / L"delta-client") {
        const test::DeltaDocument document = test::delta_document(package());
        for (const auto& [name, stored] : document.payloads) {
            ScratchClient::put(state() / fs::path(name).make_preferred(), stored);
        }
        const ByteView text(reinterpret_cast<const std::uint8_t*>(document.text.data()),
                            document.text.size());
        manifest_ = parse_delta_manifest(text, sha256_bytes(text), {});
    }

    // Journals of runs stopped in staging, in publishing and after the commit.
    std::vector<std::string> seeds() {
        std::vector<std::string> journals;
        for (const char* event : {"staged_file", "published", "committed"}) {
            lay_out(event);
            journals.push_back(ScratchClient::get(root_ / L".vorn-delta-journal-v1.json"));
        }
        return journals;
    }

    // As with the install journal: most inputs are read as bytes, an accepted one and one in
    // `through_a_file` of all are recovered from the file.
    std::string operator()(const std::string& input, Prng& rng) {
        if (!rng.one_in(through_a_file)) {
            if (!roots_) {
                roots_ = resolve_delta_roots(inputs());  // the same paths for every layout
            }
            parse_delta_journal(
                *roots_,
                ByteView(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()));
        }
        if (changed_) {
            lay_out("published");
            changed_ = false;
        }
        ScratchClient::put(root_ / L".vorn-delta-journal-v1.json", input);
        if (rng.one_in(2)) {
            own_work_folder(input);
        }
        changed_ = true;  // recovery may change the client from here on
        try {
            recover_delta(inputs(), {});
        } catch (const LauncherError& error) {
            scratch_.require_decoys_untouched();
            changed_ = !refused_while_reading(error.stage);
            throw;
        } catch (...) {
            scratch_.require_decoys_untouched();
            throw;
        }
        scratch_.require_decoys_untouched();
        if (fs::exists(root_ / L".vorn-delta-journal-v1.json")) {
            broken("recovery succeeded and left its journal");
        }
        return {};
    }

  private:
    fs::path state() const { return scratch_.base() / L"delta-state"; }

    // The laid-out run folder takes the journal's id and an owner file naming the journal:
    // re-sealed so, a mutated journal that still reads reaches the recovery behind the
    // owner check (the seeds name runs whose folders later layouts replaced).
    void own_work_folder(const std::string& input) {
        try {
            const StoredJournal stored = parse_delta_journal(
                resolve_delta_roots(inputs()),
                ByteView(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()));
            const fs::path work = root_ / delta_work_name;
            for (const auto& run : fs::directory_iterator(work)) {
                if (run.is_directory() && run.path() != stored.work_folder) {
                    fs::rename(run.path(), stored.work_folder);
                    break;
                }
            }
            if (fs::is_directory(stored.work_folder)) {
                ScratchClient::put(stored.work_folder / L"owner.json", stored.owner_text);
            }
        } catch (const std::exception&) {
            // Refused as it reads: recovery refuses it the same way.
        }
    }
    DeltaRootInputs inputs() const { return {root_, state(), std::nullopt}; }

    void lay_out(const char* stop_at) {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
        for (const test::PackageFile& file : package()) {
            if (file.before) {
                ScratchClient::put(root_ / fs::path(file.path).make_preferred(), *file.before);
            }
        }
        const auto stop = [stop_at](std::string_view event, const std::string&, std::uint64_t,
                                    std::uint64_t) {
            if (event == stop_at) {
                throw std::runtime_error("stopped");
            }
        };
        const PayloadProvider payloads = [this](const delta::Payload& payload) {
            return state() / L"payload" / to_utf16(payload.compressed.sha256 + ".zlib");
        };
        try {
            apply_delta(inputs(), manifest_, payloads, stop, {});
        } catch (const std::runtime_error&) {
            return;  // stopped where asked
        }
    }

    ScratchClient& scratch_;
    fs::path root_;
    DeltaManifest manifest_;
    std::optional<DeltaRoots> roots_;
    bool changed_ = true;
};

// Re-seals half of the mutated documents at their gates, so that the logic behind them is
// fuzzed too: `seal` repairs what a mutation almost never keeps whole.
void reseal_json(std::string& input, Prng& rng, const std::function<void(json&)>& seal) {
    if (rng.one_in(2)) {
        return;
    }
    json document = json::parse(input, nullptr, false);
    if (!document.is_object()) {
        return;
    }
    try {
        seal(document);
        input = document.dump(rng.one_in(2) ? 2 : -1);
    } catch (const std::exception&) {
        // Text that cannot be written again stays as the mutation made it.
    }
}

// The journal: its manifest digest follows its manifest text, and its root is the client's.
void reseal_journal(std::string& input, Prng& rng, const std::string& root) {
    reseal_json(input, rng, [&](json& journal) {
        const auto text = journal.find("manifest_text");
        if (text != journal.end() && text->is_string()) {
            journal["manifest_sha256"] = sha256_string(text->get<std::string>());
        }
        journal["root"] = root;
    });
}

// --- the rebase state ------------------------------------------------------------------------

constexpr const char* state_key =
    "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string delta_sha(64, 'd');

RebaseReceiptInputs receipt_inputs(UpdateEngine& engine) {
    return {engine.client.root, engine.client.cache_dir,
            [](const fs::path& path, const std::wstring&, const std::wstring&) {
                return sha256_file(path);
            }};
}

std::vector<std::string> rebase_seeds(ScratchClient& scratch) {
    UpdateEngine& engine = scratch.engine();
    const std::string archive = "a rebuilt archive";
    ScratchClient::put(engine.client.root / L"element" / L"models.pck", archive);
    write_rebase_state(
        receipt_inputs(engine), state_key, delta_sha,
        {{.main = "element/models.pck",
          .files = {{"element/models.pck", FileDigest{sha256_string(archive), archive.size()}}},
          .changed_members = 2}});
    return {ScratchClient::get(engine.client.cache_dir / rebase_state_file_name)};
}

// Vouches only for files that are what it says, inside the client.
std::string read_rebase_state(ScratchClient& scratch, const std::string& input) {
    UpdateEngine& engine = scratch.engine();
    ScratchClient::put(engine.client.cache_dir / rebase_state_file_name, input);
    const Overrides receipt = load_rebase_receipt(receipt_inputs(engine), state_key, delta_sha);
    for (const auto& [path, digest] : receipt) {
        const fs::path live = engine.client.root / fs::path(path).make_preferred();
        if (!lies_under(engine.client.root, live) || sha256_file(live) != digest.sha256) {
            broken("a receipt vouches for " + path + " which is not what it says");
        }
    }
    return receipt.empty() ? "ignored" : std::string();
}

// The state: its checksum, and mostly the root, manifest key and package it is read for.
void reseal_rebase_state(std::string& input, Prng& rng, const std::string& root) {
    const bool ours = !rng.one_in(4);
    reseal_json(input, rng, [&](json& state) {
        state.erase("checksum");
        if (ours) {
            state["root"] = root;
            state["manifest_key"] = state_key;
            state["delta_sha256"] = delta_sha;
        }
        state["checksum"] = sha256_string(compact_json(state));
    });
}

}  // namespace

void add_delta_state_targets(std::vector<Target>& targets, ScratchClient& scratch) {
    auto journal = std::make_shared<DeltaJournalTarget>(scratch);
    const std::string journal_root = to_utf8((scratch.base() / L"delta-client").native());
    targets.push_back(
        {.name = "delta_journal",
         .seeds = journal->seeds(),
         .finish = [journal_root](std::string& input,
                                  Prng& rng) { reseal_journal(input, rng, journal_root); },
         .read = [journal](const std::string& input,
                           Prng& rng) { return (*journal)(input, rng); }});
    const std::string state_root = to_utf8(scratch.engine().client.root.native());
    targets.push_back(
        {.name = "rebase_state",
         .seeds = rebase_seeds(scratch),
         .policy = {.never_throws = true},
         .finish = [state_root](std::string& input,
                                Prng& rng) { reseal_rebase_state(input, rng, state_root); },
         .read = [&scratch](const std::string& input,
                            Prng&) { return read_rebase_state(scratch, input); }});
}

}  // namespace vorn::fuzz
