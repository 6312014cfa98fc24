// Readers of single values from the wire and from documents: relative paths, addresses,
// Content-Length and compressed bodies.
#include <zlib.h>

#include <optional>

#include "core/file_system.h"
#include "core/launcher_error.h"
#include "core/text.h"
#include "deployment_config.h"
#include "model/endpoints.h"
#include "net/http.h"
#include "net/inflate.h"
#include "net/url_policy.h"
#include "targets.h"

namespace vorn::fuzz {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t largest_inflated = 65536;
constexpr std::size_t longest_length_text = 20;

ByteView view(const std::string& text) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::string component_text(const std::wstring& part) {
    return to_utf8(part);
}

// Addresses arrive as UTF-8; bytes that are not UTF-8 are widened one by one so that odd
// code units still reach the parser.
std::wstring wide_address(const std::string& bytes) {
    try {
        return to_utf16(bytes);
    } catch (const LauncherError&) {
        return std::wstring(bytes.begin(), bytes.end());
    }
}

std::vector<std::string> path_seeds() {
    return {"element/elementclient.exe",
            "element/data/models.pck",
            "element\\interfaces\\ui.pck",
            "element/\xd0\xb4\xd0\xb0\xd0\xbd\xd0\xbd\xd1\x8b\xd0\xb5/x.dat",
            "element/.vornell-transactions/0123456789abcdef0123456789abcdef/backups/0.bin",
            "launcher.ini",
            "element/a/b/c/d/e/f/g.txt",
            "../outside.txt",
            "element/../../outside.txt",
            "C:/Windows/win.ini",
            "element/con.txt"};
}

std::string resolve_path(ScratchClient& scratch, const std::string& input, Prng& rng) {
    const LinkCheck links = rng.one_in(8) ? LinkCheck::refuse_links : LinkCheck::skip;
    const fs::path resolved = resolve_relative_path(scratch.root(), input, links);
    if (!lies_under(scratch.root(), resolved)) {
        broken("resolved outside the root: " + to_utf8(resolved.native()));
    }
    return {};
}

std::vector<std::string> url_seeds() {
    const Endpoints endpoints = default_endpoints();
    std::vector<std::string> seeds;
    for (const std::wstring* url : {&endpoints.manifest_url, &endpoints.update_base_url,
                                    &endpoints.guild_base_url, &endpoints.report_url}) {
        seeds.push_back(to_utf8(*url));
    }
    seeds.insert(seeds.end(), {"http://127.0.0.1:8080/t/manifest.json", "http://localhost/x?a=1",
                               "http://[::1]:9/blobs/", "https://vornell.example/release.json",
                               "ftp://update.vornell.example/x", "https://a@b/x",
                               "https://update.vornell.example/x#frag"});
    return seeds;
}

bool is_trusted_host_name(const std::wstring& host) {
    for (const wchar_t* trusted :
         {deployment::web_host, deployment::www_host, deployment::update_host,
          deployment::update_host2, deployment::web_host2}) {
        if (host == lower_wide(trusted)) {
            return true;
        }
    }
    return false;
}

std::string check_url(const std::string& input, Prng& rng) {
    const std::wstring url = wide_address(input);
    const ParsedUrl parsed = parse_url(url);
    if (url.find_first_of(std::wstring(L"\r\n\0#", 4)) != std::wstring::npos) {
        broken("an address with CR, LF, NUL or a fragment was split");
    }
    const UrlTrust trust = rng.one_in(2) ? UrlTrust::project_hosts : UrlTrust::loopback_only;
    require_trusted_url(url, trust);
    if (trust == UrlTrust::project_hosts &&
        (!parsed.secure || parsed.port != 443 || !is_trusted_host_name(parsed.host))) {
        broken("trusted an address off the project's HTTPS hosts: " + component_text(url));
    }
    if (trust == UrlTrust::loopback_only && !is_loopback_url(url)) {
        broken("loopback-only trust passed " + component_text(url));
    }
    return {};
}

// The length rule written out independently: 1 to 20 ASCII digits within 64 bits.
std::optional<std::uint64_t> reference_length(const std::string& text) {
    if (text.empty() || text.size() > longest_length_text) {
        return std::nullopt;
    }
    constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (most - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

std::string check_length(const std::string& input) {
    const std::optional<std::uint64_t> expected = reference_length(input);
    if (parse_decimal_length(input) != expected) {
        broken("parse_decimal_length disagrees with the rule");
    }
    std::uint64_t value = 0;
    try {
        value = parse_response_length(input);
    } catch (const LauncherError&) {
        if (expected) {
            broken("a valid Content-Length was refused");
        }
        throw;
    }
    if (!expected || value != *expected) {
        broken("Content-Length accepted against the rule");
    }
    return {};
}

// zlib's own decode of exactly one stream, bounded like the reader: nothing when the
// stream is damaged, longer than the limit or followed by other bytes.
std::optional<std::string> reference_inflate(const std::string& input, bool gzip) {
    z_stream stream{};
    if (inflateInit2(&stream, gzip ? 31 : 15) != Z_OK) {
        return std::nullopt;
    }
    std::string output;
    std::string chunk(16384, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    stream.avail_in = static_cast<uInt>(input.size());
    int status = Z_OK;
    while (status == Z_OK && output.size() <= largest_inflated) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk.data());
        stream.avail_out = static_cast<uInt>(chunk.size());
        status = inflate(&stream, Z_NO_FLUSH);
        output.append(chunk.data(), chunk.size() - stream.avail_out);
        if (status == Z_BUF_ERROR && stream.avail_in == 0) {
            break;  // the input ended inside the stream
        }
    }
    const bool whole = status == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    if (!whole || output.size() > largest_inflated) {
        return std::nullopt;
    }
    return output;
}

std::string compress_text(const std::string& input, bool gzip, int level) {
    z_stream stream{};
    deflateInit2(&stream, level, Z_DEFLATED, gzip ? 31 : 15, 8, Z_DEFAULT_STRATEGY);
    std::string output(deflateBound(&stream, static_cast<uLong>(input.size())) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = reinterpret_cast<Bytef*>(output.data());
    stream.avail_out = static_cast<uInt>(output.size());
    deflate(&stream, Z_FINISH);
    output.resize(stream.total_out);
    deflateEnd(&stream);
    return output;
}

std::vector<std::string> inflate_seeds(bool gzip) {
    const std::string document = R"({"version":"7","files":[{"path":"element/a.txt",)"
                                 R"("sha256":"00","size":3}]})";
    std::string repeated;
    for (int i = 0; i < 400; ++i) {
        repeated += "element/data/file" + std::to_string(i) + ".pck\n";
    }
    return {compress_text(document, gzip, 6), compress_text(repeated, gzip, 9),
            compress_text("", gzip, 6), compress_text(std::string(60000, 'x'), gzip, 1),
            compress_text(std::string(70000, 'y'), gzip, 9)};
}

std::string check_inflate(const std::string& input, bool gzip) {
    const Bytes output = inflate_bytes(view(input), largest_inflated, gzip);
    if (output.size() > largest_inflated) {
        broken("inflated past the limit");
    }
    const std::optional<std::string> expected = reference_inflate(input, gzip);
    if (!expected || *expected != std::string(output.begin(), output.end())) {
        broken("accepted a stream zlib does not decode to the same bytes");
    }
    return {};
}

}  // namespace

bool lies_under(const fs::path& root, const fs::path& path) {
    const std::wstring base = lower_wide(absolute_normal(root).native());
    const std::wstring inner = lower_wide(absolute_normal(path).native());
    if (inner.size() <= base.size() + 1 || inner.compare(0, base.size(), base) != 0 ||
        inner[base.size()] != L'\\') {
        return false;
    }
    for (const fs::path& part : fs::path(inner.substr(base.size() + 1))) {
        if (part == L".." || part == L".") {
            return false;
        }
    }
    return true;
}

void add_wire_targets(std::vector<Target>& targets, ScratchClient& scratch) {
    targets.push_back({.name = "relative_path",
                       .shape = InputShape::text,
                       .seeds = path_seeds(),
                       .read = [&scratch](const std::string& input, Prng& rng) {
                           return resolve_path(scratch, input, rng);
                       }});
    targets.push_back(
        {.name = "url_policy", .shape = InputShape::text, .seeds = url_seeds(), .read = check_url});
    targets.push_back(
        {.name = "content_length",
         .shape = InputShape::text,
         .seeds = {"0", "1", "100", "8388608", "18446744073709551615", "18446744073709551616",
                   "00000000000000000001", "-1", "1 ", "1e3"},
         .read = [](const std::string& input, Prng&) { return check_length(input); }});
    for (const bool gzip : {true, false}) {
        targets.push_back({.name = gzip ? "inflate_gzip" : "inflate_zlib",
                           .shape = InputShape::binary,
                           .seeds = inflate_seeds(gzip),
                           // A quarter of the inputs are whole streams of mutated bytes: accepted
                           // ones are compared with zlib's own decode.
                           .finish =
                               [gzip](std::string& input, Prng& rng) {
                                   if (rng.one_in(4)) {
                                       input = compress_text(input, gzip,
                                                             static_cast<int>(rng.below(10)));
                                   }
                               },
                           .read = [gzip](const std::string& input,
                                          Prng&) { return check_inflate(input, gzip); }});
    }
}

}  // namespace vorn::fuzz
