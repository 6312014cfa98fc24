// Readers of whole JSON documents from servers and from local files.
#include <set>

#include "app/local_test.h"
#include "core/file_system.h"
#include "core/hex.h"
#include "core/json_io.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "core/stage_codes.h"
#include "core/text.h"
#include "delta/delta_manifest.h"
#include "diagnostics/diagnostic_report.h"
#include "engine/manifest/manifest_parse.h"
#include "model/manifest.h"
#include "targets.h"

namespace vorn::fuzz {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

ByteView view(const std::string& text) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::string hex_of(char digit) {
    return std::string(64, digit);
}

// The update manifest as the feed tool writes it: version, file list, sometimes the
// executable and a delta descriptor.
std::vector<std::string> manifest_seeds() {
    const json files = json::array(
        {{{"path", "element/elementclient.exe"}, {"sha256", hex_of('a')}, {"size", 4}},
         {{"path", "element/data/models.pck"}, {"sha256", hex_of('b')}, {"size", 1048576}},
         {{"path", "element/interfaces/ui.pck"},
          {"sha256", hex_of('c')},
          {"size", 10},
          {"compressedSize", 7}}});
    json plain = {{"version", "1"}, {"files", files}};
    json numbered = {
        {"version", 12}, {"executable", "element/elementclient.exe"}, {"files", files}};
    json delta = plain;
    delta["delta"] = {{"url", "delta/index.json"}, {"sha256", hex_of('d')}, {"size", 10}};
    json icons = plain;
    icons["files"].push_back(
        {{"path", "element/userdata/guildicons.txt"}, {"sha256", hex_of('e')}, {"size", 1}});
    json broken_path = plain;
    broken_path["files"][1]["path"] = "element/../../outside.txt";
    return {plain.dump(), numbered.dump(2),   delta.dump(),
            icons.dump(), broken_path.dump(), R"({"version":"1","files":[]})"};
}

std::string check_manifest(ScratchClient& scratch, const std::string& input) {
    HttpResponse response;
    response.status = 200;
    response.body.assign(input.begin(), input.end());
    response.headers["etag"] = "\"e1\"";
    const Manifest& manifest =
        parse_manifest(scratch.engine().client, scratch.engine().services, response);
    if (!is_sha256_hex(manifest.key) || manifest.version.empty() ||
        normalize_manifest_path(manifest.executable) != default_executable) {
        broken("a manifest was accepted without its key, version or executable");
    }
    std::set<std::wstring> seen;
    for (const ManifestFile& file : manifest.files) {
        const fs::path resolved = resolve_relative_path(scratch.root(), file.path, LinkCheck::skip);
        if (!lies_under(scratch.root() / L"element", resolved) ||
            !normalize_manifest_path(file.path).starts_with("element/")) {
            broken("a manifest path resolves outside element/: " + file.path);
        }
        if (!seen.insert(manifest_path_identity(file.path)).second) {
            broken("a manifest path is listed twice: " + file.path);
        }
        if (!is_sha256_hex(file.sha256)) {
            broken("a manifest file was accepted without a digest");
        }
    }
    return {};
}

json digest(char digit, std::uint64_t bytes) {
    return {{"sha256", hex_of(digit)}, {"bytes", bytes}};
}

json payload(char compressed, std::uint64_t compressed_bytes, char raw, std::uint64_t raw_bytes) {
    return {{"path", "payload/" + hex_of(compressed) + ".zlib"},
            {"compression", "zlib"},
            {"compressed", digest(compressed, compressed_bytes)},
            {"raw", digest(raw, raw_bytes)}};
}

// A delta package manifest as the package tool writes it: one append, one full entry.
std::vector<std::string> delta_seeds() {
    const json append = {
        {"path", "element/data.pck"},
        {"operation", "append"},
        {"base", digest('a', 100)},
        {"target", digest('b', 150)},
        {"patch_header", {{"offset", 4}, {"before_hex", "50434b00"}, {"after_hex", "0a0b0c0d"}}},
        {"payload", payload('c', 30, 'd', 50)}};
    const json full = {{"path", "element/config.ini"},
                       {"operation", "full"},
                       {"base", nullptr},
                       {"target", digest('e', 20)},
                       {"patch_header", nullptr},
                       {"payload", payload('f', 10, 'e', 20)}};
    json document = {
        {"schema", "vorn-client-delta-v1"},
        {"source_package", {{"path", "packages/client-1.2.tar"}, {"sha256", hex_of('9')}}},
        {"full_base_null_means", "the file is absent before the update"},
        {"files", json::array({append, full})},
        {"required_base_profile",
         json::array({{{"path", "element/data.pck"}, {"sha256", hex_of('a')}, {"bytes", 100}}})}};
    json only_full = document;
    only_full["files"] = json::array({full});
    only_full["required_base_profile"] = json::array();
    return {document.dump(), document.dump(2), only_full.dump()};
}

std::string check_delta(ScratchClient& scratch, const std::string& input, Prng& rng) {
    static const std::string seed_digest = sha256_string(delta_seeds().front());
    const std::string expected = rng.one_in(16) ? seed_digest : sha256_string(input);
    std::set<std::string> allowed;
    if (rng.one_in(4)) {
        allowed = {"element/data.pck", "element/config.ini"};
    }
    const DeltaManifest manifest = parse_delta_manifest(view(input), expected, allowed);
    if (manifest.manifest_sha256 != sha256_string(input)) {
        broken("a delta manifest was accepted with a wrong digest");
    }
    for (const DeltaEntry& entry : manifest.entries) {
        const fs::path resolved =
            resolve_relative_path(scratch.root(), entry.path, LinkCheck::skip);
        if (!lies_under(scratch.root() / L"element", resolved) ||
            (!allowed.empty() && !allowed.contains(entry.path))) {
            broken("a delta entry path lies outside what was allowed: " + entry.path);
        }
        if ((entry.operation != "append" && entry.operation != "full") ||
            (entry.operation == "append") != entry.base.has_value() ||
            entry.payload.path != "payload/" + entry.payload.compressed.sha256 + ".zlib") {
            broken("a delta entry was accepted against its own rules: " + entry.path);
        }
    }
    return {};
}

std::size_t depth_of(const json& value) {
    std::size_t deepest = 0;
    if (value.is_structured()) {
        for (const json& child : value) {
            deepest = std::max(deepest, depth_of(child));
        }
        return deepest + 1;
    }
    return 0;
}

std::string check_json(const std::string& input) {
    const json document = parse_json_bytes(view(input), "parse_json");
    if (input.find('\0') != std::string::npos) {
        broken("a document with a NUL byte was accepted");
    }
    if (depth_of(document) > static_cast<std::size_t>(json_max_depth)) {
        broken("a document nested deeper than the limit was accepted");
    }
    const std::string compact = compact_json(document);
    if (parse_json_bytes(view(compact), "parse_json") != document) {
        broken("an accepted document does not survive its compact form");
    }
    return {};
}

// A queued report as the diagnostics service stores it: the report and its checksum.
std::string queue_record(const json& report) {
    return json{{"report", report}, {"checksum", sha256_string(compact_json(report))}}.dump(2);
}

std::vector<std::string> diagnostics_seeds() {
    const std::string id = "0123456789abcdef0123456789abcdef";
    LauncherError status("http_status", L"Сервер не ответил.", 0, 503);
    status.bytes = 120;
    LauncherError parse("manifest_parse", L"Неверное описание.");
    parse.event = "manifest_failed";
    parse.parse_ok = false;
    parse.content_encoding = "gzip";
    LauncherError retried("download_blob", L"Ошибка загрузки.", 12002);
    retried.attempts = json::array(
        {attempt_record(status, 1), attempt_record(retried, 2), attempt_record(parse, 3)});
    json pending = build_report(parse, id, "dirty");
    pending["event"] = "pending_retry";
    return {queue_record(build_report(status, id, "clean")),
            queue_record(build_report(retried, id, "unverified")), queue_record(pending)};
}

// Seals half of the records again, so that mutated reports reach the report check.
void reseal_record(std::string& input, Prng& rng) {
    if (!rng.one_in(2)) {
        return;
    }
    json record = json::parse(input, nullptr, false);
    if (!record.is_object() || !record.contains("report")) {
        return;
    }
    try {
        record["checksum"] = sha256_string(compact_json(record["report"]));
        input = record.dump();
    } catch (const std::exception&) {
        // Text that cannot be written compactly stays as the mutation made it.
    }
}

// What DiagnosticsService reads from its queue: the strict parse, the stored-report check,
// then the checksum. Its caller skips a refused file; the label says why.
std::string check_queue_record(const std::string& input) {
    const json record = parse_json_bytes(view(input), "parse_json");
    if (!record.is_object() || !record.contains("report") || !record.contains("checksum") ||
        !record["checksum"].is_string()) {
        return "(not a queue record)";
    }
    const json& report = record["report"];
    validate_report(report, true);
    if (record["checksum"] != sha256_string(compact_json(report))) {
        return "(checksum differs)";
    }
    if (compact_json(report).size() > largest_report || report["schema"] != report_schema) {
        broken("a stored report past its bound or of another schema was accepted");
    }
    for (const json& attempt : report["attempts"]) {
        const auto stage = attempt.find("stage");
        if (stage != attempt.end() && !is_known_stage(stage->get<std::string>())) {
            broken("a stored report with an unknown stage was accepted");
        }
    }
    return {};
}

std::vector<std::string> local_test_seeds(const ScratchClient& scratch) {
    json config = {{"schema", "vornell.local-test.v1"},
                   {"root", to_utf8(scratch.root().native())},
                   {"cache", to_utf8((scratch.base() / L"cache/./x/..").native())}};
    for (const char* key : {"manifestUrl", "updateBaseUrl", "guildBaseUrl", "guildFallbackUrl",
                            "releaseUrl", "releaseFallbackUrl", "reportUrl", "reportFallbackUrl"}) {
        config[key] = std::string("http://127.0.0.1:9/") + key;
    }
    json no_marker = config;
    no_marker["root"] = to_utf8(scratch.base().native());
    json drive_root = config;
    drive_root["cache"] = "C:\\";
    return {config.dump(2), no_marker.dump(), drive_root.dump()};
}

std::string check_local_test(const ScratchClient& scratch, const std::string& input, Prng& rng) {
    const fs::path path = scratch.base() / L"qa.json";
    LauncherConfig config;
    if (rng.one_in(through_a_file)) {
        ScratchClient::put(path, input);
        config = load_local_test_config(path);
    } else {
        config = parse_local_test_config(
            ByteView(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()), path);
    }
    const fs::path root(config.root);
    const bool cut = config.root.find(L'\0') != std::wstring::npos ||
                     config.cache_dir.find(L'\0') != std::wstring::npos;
    if (!config.local_test || cut || root.relative_path().empty() ||
        !fs::exists(root / fixture_marker_name)) {
        broken("a local-test configuration without a fixture client was accepted");
    }
    return {};
}

}  // namespace

void add_document_targets(std::vector<Target>& targets, ScratchClient& scratch) {
    targets.push_back({.name = "update_manifest",
                       .seeds = manifest_seeds(),
                       .read = [&scratch](const std::string& input, Prng&) {
                           return check_manifest(scratch, input);
                       }});
    targets.push_back({.name = "delta_manifest",
                       .seeds = delta_seeds(),
                       .read = [&scratch](const std::string& input, Prng& rng) {
                           return check_delta(scratch, input, rng);
                       }});
    std::vector<std::string> json_seeds = manifest_seeds();
    for (const std::string& seed : delta_seeds()) {
        json_seeds.push_back(seed);
    }
    json_seeds.insert(json_seeds.end(), {R"({"a":[1,2.5,-3,true,false,null,"\u00e9\ud83d\ude00"]})",
                                         std::string(64, '[') + std::string(64, ']'), "0", "\"\""});
    targets.push_back({.name = "strict_json",
                       .seeds = json_seeds,
                       .read = [](const std::string& input, Prng&) { return check_json(input); }});
    targets.push_back(
        {.name = "diagnostics_record",
         .seeds = diagnostics_seeds(),
         .policy = {.internal_stages = {"diagnostic_report"}},
         .finish = reseal_record,
         .read = [](const std::string& input, Prng&) { return check_queue_record(input); }});
    ScratchClient::put(scratch.root() / fixture_marker_name, "local fixture");
    targets.push_back({.name = "local_test_config",
                       .seeds = local_test_seeds(scratch),
                       .policy = {.std_exception_is_refusal = true},
                       .read = [&scratch](const std::string& input, Prng& rng) {
                           return check_local_test(scratch, input, rng);
                       }});
}

}  // namespace vorn::fuzz
