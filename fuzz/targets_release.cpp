// The self-update's readers: the release descriptor, the health file a new launcher writes,
// and the updater's command line; and the signature document of the feed's documents.
#include <nlohmann/json.hpp>

#include "core/hex.h"
#include "core/text.h"
#include "model/endpoints.h"
#include "net/feed_signature.h"
#include "net/http.h"
#include "selfupdate/health_file.h"
#include "selfupdate/release_descriptor.h"
#include "support/signed_seed.h"
#include "targets.h"
#include "updater/updater_options.h"

namespace vorn::fuzz {
namespace {

ReleaseRules release_rules(bool local_test) {
    return {.trust = local_test ? UrlTrust::loopback_only : UrlTrust::project_hosts,
            .local_test = local_test,
            .launcher_url = launcher_download_url(),
            .updater_url = updater_download_url()};
}

std::vector<std::string> descriptor_seeds() {
    const std::string sha(64, 'a');
    const std::string launcher = to_utf8(launcher_download_url());
    const std::string updater = to_utf8(updater_download_url());
    const nlohmann::json one = {{"schema", 1},
                                {"build", "2026.10.26.5"},
                                {"sha256", sha},
                                {"size", 4096},
                                {"url", launcher}};
    nlohmann::json two = one;
    two["schema"] = 2;
    two["updater"] = {{"build", "2026.10.26.5"}, {"sha256", sha}, {"size", 2048}, {"url", updater}};
    nlohmann::json loopback = two;
    loopback["url"] = "http://127.0.0.1:8080/downloads/VornellLauncher.exe";
    loopback["updater"]["url"] = "http://127.0.0.1:8080/downloads/VornellUpdater.exe";
    return {one.dump(), two.dump(2), loopback.dump(), R"({"schema":3})", "[]"};
}

void check_entry(const ReleaseEntry& entry, const ReleaseRules& rules, bool is_updater) {
    const std::uint64_t largest = is_updater ? largest_updater_file : largest_launcher_file;
    if (!is_build_text(entry.build) || !is_sha256_hex(entry.sha256) || entry.size < 1024 ||
        entry.size > largest) {
        broken("an entry out of its rules was accepted");
    }
    const std::wstring& fixed = is_updater ? rules.updater_url : rules.launcher_url;
    if (!rules.local_test && entry.url != fixed) {
        broken("an address other than the fixed one was accepted");
    }
}

std::string check_descriptor(const std::string& input, Prng& rng) {
    const ReleaseRules rules = release_rules(rng.one_in(2));
    HttpResponse response;
    response.status = 200;
    response.body.assign(input.begin(), input.end());
    const ReleaseDescriptor descriptor = fetch_release_descriptor(response, rules);
    check_entry(descriptor.launcher, rules, false);
    if (descriptor.updater) {
        check_entry(*descriptor.updater, rules, true);
    }
    return {};
}

std::string check_health(const std::string& input) {
    const auto record = parse_health_file(input);
    if (!record) {
        return "not a health file";
    }
    if (health_file_text(*record) != input) {
        broken("an accepted health file does not read back as itself");
    }
    return {};
}

std::vector<std::string> argument_seeds() {
    const std::string sha(64, 'e');
    const std::string id(32, '5');
    const std::string line =
        "--apply\n4242\nC:\\Games\\Vornell\\VornellLauncher.exe\n"
        "C:\\Games\\Vornell\\VornellLauncher.update." +
        sha + ".exe\n" + sha + "\n" + id + "\n2026.10.26.5";
    const std::string restore =
        "--restore\n4242\nC:\\Games\\Vornell\\VornellLauncher.exe\n" + sha + "\n" + id;
    return {line, line + "\n--local-test-config\nC:\\fixture\\qa.json", "--apply\n1", restore};
}

// One argument per line, as CommandLineToArgvW would hand them over.
std::string check_arguments(const std::string& input) {
    std::vector<std::wstring> args;
    std::size_t start = 0;
    while (start <= input.size()) {
        const std::size_t end = std::min(input.find('\n', start), input.size());
        const std::string part = input.substr(start, end - start);
        args.push_back(std::wstring(part.begin(), part.end()));  // bytes widened one by one
        start = end + 1;
    }
    const UpdaterOptions options = parse_updater_options(args);
    // A restore names neither a staged file nor a build; an apply names both.
    const bool apply_parts = options.restore
                                 ? options.staged.empty() && options.build.empty()
                                 : options.staged.is_absolute() && is_build_text(options.build);
    if (!is_sha256_hex(options.sha256) || options.ready_id.size() != 32 ||
        !is_lower_hex(options.ready_id) || !apply_parts || options.launcher_process_id == 0 ||
        !options.launcher.is_absolute()) {
        broken("malformed updater arguments were accepted");
    }
    return {};
}

std::vector<std::string> signature_seeds() {
    nlohmann::json release = nlohmann::json::parse(test::seed_signature);
    release["kind"] = "release";
    return {test::seed_signature, release.dump(2), R"({"schema":"vornell.feed-signature.v1"})"};
}

// What the reader accepts keeps every bound; the check then refuses all but the true
// signature of the one document.
std::string check_signature(const std::string& input, Prng& rng) {
    const FeedSignature signature = parse_feed_signature(
        ByteView(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()));
    if (signature.sequence == 0 || signature.sequence > 9007199254740991ull ||
        signature.size == 0 || signature.size > 16777216 || signature.key_id.size() != 16 ||
        (signature.kind != "manifest" && signature.kind != "release")) {
        broken("a signature outside its bounds was accepted");
    }
    const SignedKind kind = rng.one_in(2) ? SignedKind::manifest : SignedKind::release;
    const FeedKey key = test::seed_key();
    const ByteView document = test::bytes_of(test::seed_document);
    check_feed_signature(signature, std::span<const FeedKey>(&key, 1), kind, document, utc_now());
    if (signature.kind != signed_kind_name(kind) || signature.size != document.size()) {
        broken("a signature of another document passed the check");
    }
    return {};
}

}  // namespace

void add_release_targets(std::vector<Target>& targets) {
    // A missing key or a wrong type ends the self-update through its generic failure.
    targets.push_back(
        {.name = "release_descriptor",
         .seeds = descriptor_seeds(),
         .policy = {.std_exception_is_refusal = true},
         .read = [](const std::string& input, Prng& rng) { return check_descriptor(input, rng); }});
    const std::string token(32, 'a');
    targets.push_back(
        {.name = "health_file",
         .shape = InputShape::text,
         .seeds = {health_file_text({std::string(64, 'c'), token, "2026.10.26.5"}),
                   "sha256=\r\ntoken=\r\nbuild=\r\n"},
         .policy = {.never_throws = true},
         .read = [](const std::string& input, Prng&) { return check_health(input); }});
    targets.push_back(
        {.name = "feed_signature",
         .seeds = signature_seeds(),
         .read = [](const std::string& input, Prng& rng) { return check_signature(input, rng); }});
    targets.push_back(
        {.name = "updater_arguments",
         .shape = InputShape::text,
         .seeds = argument_seeds(),
         .read = [](const std::string& input, Prng&) { return check_arguments(input); }});
}

}  // namespace vorn::fuzz
