#include "mutator.h"

#include <array>
#include <functional>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

namespace vorn::fuzz {
namespace {

using nlohmann::json;

// Stands in for a node whose replacement is not a JSON value (a number past 2^64, a
// duplicate key, invalid UTF-8): the document is dumped and the marker swapped for text.
constexpr std::string_view marker = "@@vorn-fuzz-node@@";
constexpr std::size_t most_stacked_mutations = 4;
constexpr std::size_t longest_input = 1 << 20;

constexpr std::array<std::string_view, 12> large_numbers = {"18446744073709551616",
                                                            "18446744073709551615",
                                                            "99999999999999999999999999",
                                                            "-9223372036854775809",
                                                            "-9223372036854775808",
                                                            "1e400",
                                                            "-0",
                                                            "1.0",
                                                            "1e2",
                                                            "0.5",
                                                            "-1",
                                                            "0000000000000000000001"};

constexpr std::array<std::string_view, 9> bad_text = {std::string_view("\0", 1),
                                                      "\\u0000",
                                                      "\xff",
                                                      "\xc0\xaf",
                                                      "\xed\xa0\x80",
                                                      "\\ud800",
                                                      "\xe2\x82",
                                                      "\\",
                                                      "\""};

// Words that readers of paths, addresses and numbers treat specially.
constexpr std::array<std::string_view, 40> tokens = {"../",
                                                     "..\\",
                                                     "element/../../outside.txt",
                                                     "element/..\\..\\outside.txt",
                                                     "C:\\Windows\\win.ini",
                                                     "Z:/tmp/x",
                                                     "\\\\server\\share\\x",
                                                     "\\\\?\\C:\\x",
                                                     "element/con.txt",
                                                     "element/NUL",
                                                     "element/com1.bin",
                                                     "element/a:b",
                                                     "/element/a.txt",
                                                     "element//a.txt",
                                                     "element/./a.txt",
                                                     "ELEMENT/A.TXT",
                                                     "element/a.txt ",
                                                     "element/a.",
                                                     "element/\xd0\xb6.pck",
                                                     "element/a*?.txt",
                                                     "element/.vornell-transactions/x",
                                                     "https://update.vornell.example/x",
                                                     "https://update.vornell.example:443/x",
                                                     "https://update.vornell.example.evil/x",
                                                     "https://user@update.vornell.example/x",
                                                     "http://127.0.0.1:9/x",
                                                     "http://[::1]:9/x",
                                                     "http://localhost/x#f",
                                                     "file:///C:/x",
                                                     "%2e%2e/",
                                                     "\r\n",
                                                     std::string_view("\0", 1),
                                                     "18446744073709551616",
                                                     "00000000000000000000",
                                                     "+1",
                                                     " 1",
                                                     "0x10",
                                                     "\xef\xbb\xbf",
                                                     "\xff\xfe",
                                                     "\xe2\x80\xae"};

constexpr std::array<std::uint8_t, 14> interesting_bytes = {0x00, 0xff, 0x7f, 0x80, '"',  '{', '}',
                                                            '[',  ']',  ',',  ':',  '\\', '/', '.'};

// Every node of the document, parents before children.
void collect(json& node, std::vector<json*>& nodes) {
    nodes.push_back(&node);
    if (node.is_structured()) {
        for (json& child : node) {
            collect(child, nodes);
        }
    }
}

std::string member_text(const std::string& key, const json& value) {
    return json(key).dump() + ":" + value.dump();
}

// The object's text with one member written twice.
std::string with_duplicate_key(const json& object, Prng& rng) {
    std::vector<std::string> members;
    for (const auto& [key, value] : object.items()) {
        members.push_back(member_text(key, value));
    }
    const std::size_t twice = rng.below(members.size());
    members.insert(members.begin() + static_cast<std::ptrdiff_t>(rng.below(members.size() + 1)),
                   members[twice]);
    std::string text = "{";
    for (std::size_t i = 0; i < members.size(); ++i) {
        text += (i == 0 ? "" : ",") + members[i];
    }
    return text + "}";
}

std::string nested(const json& value, std::size_t depth, bool arrays) {
    std::string text = value.dump();
    for (std::size_t i = 0; i < depth; ++i) {
        text = arrays ? "[" + text + "]" : "{\"a\":" + text + "}";
    }
    return text;
}

json other_type(const json& node, Prng& rng) {
    switch (rng.below(11)) {
        case 0:
            return nullptr;
        case 1:
            return true;
        case 2:
            return 0;
        case 3:
            return -1;
        case 4:
            return 1.5;
        case 5:
            return "";
        case 6:
            return json::array();
        case 7:
            return json::object();
        case 8:
            return std::numeric_limits<std::uint64_t>::max();
        case 9:
            return json::array({node});
        default:
            return node.is_string() ? json(0) : json(node.dump());
    }
}

}  // namespace

Mutator::Mutator(std::vector<std::string> seeds, InputShape shape)
    : seeds_(std::move(seeds)), shape_(shape) {}

std::string Mutator::make(Prng& rng) const {
    std::string data = seeds_[rng.below(seeds_.size())];
    // Half of the inputs carry one change, so that many still pass the first checks.
    const std::size_t count = rng.one_in(2) ? 1 : 1 + rng.below(most_stacked_mutations);
    for (std::size_t i = 0; i < count; ++i) {
        if (shape_ == InputShape::json && rng.one_in(2)) {
            try {
                mutate_json(data, rng);
            } catch (const nlohmann::json::exception&) {
                // A token that is not UTF-8 cannot be dumped as a value: damage bytes instead.
                mutate_bytes(data, rng);
            }
        } else {
            mutate_bytes(data, rng);
        }
        if (data.size() > longest_input) {
            data.resize(longest_input);
        }
    }
    return data;
}

void Mutator::mutate_bytes(std::string& data, Prng& rng) const {
    auto random_byte = [&] { return static_cast<char>(rng.below(256)); };
    auto interesting = [&] {
        return static_cast<char>(interesting_bytes[rng.below(interesting_bytes.size())]);
    };
    const std::size_t at = rng.below(data.size() + 1);
    const std::size_t choices = shape_ == InputShape::fixed && rng.below(10) < 8 ? 4 : 11;
    switch (rng.below(choices)) {
        case 0:  // flip one bit
            if (!data.empty()) {
                data[rng.below(data.size())] ^= static_cast<char>(1 << rng.below(8));
            }
            break;
        case 1:  // overwrite one byte
            if (!data.empty()) {
                data[rng.below(data.size())] = rng.one_in(2) ? random_byte() : interesting();
            }
            break;
        case 2:  // a 32-bit little-endian field set to a boundary value
            if (data.size() >= 4) {
                constexpr std::array<std::uint32_t, 6> values = {0,   1,          2,
                                                                 576, 0x7fffffff, 0xffffffff};
                const std::uint32_t value = values[rng.below(values.size())];
                const std::size_t field = rng.below(data.size() - 3);
                for (std::size_t b = 0; b < 4; ++b) {
                    data[field + b] = static_cast<char>(value >> (8 * b));
                }
            }
            break;
        case 3:  // copy a run of bytes over another place of the same input
            if (data.size() >= 2) {
                const std::size_t from = rng.below(data.size());
                const std::size_t to = rng.below(data.size());
                const std::size_t length =
                    std::min({1 + rng.below(64), data.size() - from, data.size() - to});
                data.replace(to, length, data.substr(from, length));
            }
            break;
        case 4:  // insert bytes
        {
            std::string inserted;
            for (std::size_t n = 1 + rng.below(8); n > 0; --n) {
                inserted.push_back(rng.one_in(2) ? random_byte() : interesting());
            }
            data.insert(at, inserted);
            break;
        }
        case 5:  // delete a run
            data.erase(at, 1 + rng.below(rng.one_in(4) ? 256 : 8));
            break;
        case 6:  // repeat a run
            if (!data.empty()) {
                const std::size_t from = rng.below(data.size());
                data.insert(at, data.substr(from, 1 + rng.below(64)));
            }
            break;
        case 7:  // splice: this input's head, another seed's tail
        {
            const std::string& other = seeds_[rng.below(seeds_.size())];
            data = data.substr(0, at) + other.substr(rng.below(other.size() + 1));
            break;
        }
        case 8:  // truncate
            data.resize(at);
            break;
        case 9:  // a special word
            data.insert(at, tokens[rng.below(tokens.size())]);
            break;
        default:  // a special word in place of a run
            data.replace(at, rng.below(16), tokens[rng.below(tokens.size())]);
            break;
    }
}

void Mutator::mutate_json(std::string& data, Prng& rng) const {
    json document = json::parse(data, nullptr, false);
    if (document.is_discarded()) {
        mutate_bytes(data, rng);
        return;
    }
    std::vector<json*> nodes;
    collect(document, nodes);
    json& node = *nodes[rng.below(nodes.size())];
    std::string replacement;  // text for the marker, when the change is not a JSON value
    switch (rng.below(9)) {
        case 0:
            node = other_type(node, rng);
            break;
        case 1:  // nest deeper, now and then past the reader's depth limit
            replacement =
                nested(node, rng.one_in(4) ? 60 + rng.below(12) : 1 + rng.below(3), rng.one_in(2));
            break;
        case 2:
            replacement = large_numbers[rng.below(large_numbers.size())];
            break;
        case 3:
            if (node.is_object() && !node.empty()) {
                replacement = with_duplicate_key(node, rng);
            } else {
                replacement = node.dump() + std::string(bad_text[rng.below(bad_text.size())]);
            }
            break;
        case 4:  // NUL or invalid UTF-8 inside a string
        {
            std::string text = json(node.is_string() ? node.get<std::string>() : "x").dump();
            text.insert(1 + rng.below(text.size() - 1), bad_text[rng.below(bad_text.size())]);
            replacement = text;
            break;
        }
        case 5:
            node = std::string(tokens[rng.below(tokens.size())]);
            break;
        case 6:  // drop a member or an element
            if (node.is_object() && !node.empty()) {
                auto it = node.begin();
                std::advance(it, static_cast<std::ptrdiff_t>(rng.below(node.size())));
                node.erase(it);
            } else if (node.is_array() && !node.empty()) {
                node.erase(node.begin() + static_cast<std::ptrdiff_t>(rng.below(node.size())));
            }
            break;
        case 7:  // repeat an element or add a member
            if (node.is_array() && !node.empty()) {
                node.push_back(node[rng.below(node.size())]);
            } else if (node.is_object()) {
                node["x" + std::to_string(rng.below(4))] = rng.one_in(2) ? json(1) : json("x");
            }
            break;
        default:  // a string grows long
            if (node.is_string()) {
                node = node.get<std::string>() + std::string(1 + rng.below(400), 'a');
            }
            break;
    }
    if (replacement.empty()) {
        data = document.dump();
        return;
    }
    node = std::string(marker);
    std::string text = document.dump();
    const std::string quoted = json(std::string(marker)).dump();
    const std::size_t found = text.find(quoted);
    if (found != std::string::npos) {
        text.replace(found, quoted.size(), replacement);
    }
    data = std::move(text);
}

}  // namespace vorn::fuzz
