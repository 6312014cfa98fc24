#include "archive/archive_rebuild.h"

#include <algorithm>
#include <future>
#include <map>
#include <set>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/archive_writer.h"
#include "archive/pck_index.h"
#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/io_block.h"
#include "core/sha256.h"
#include "core/text.h"

namespace vorn {
namespace {

constexpr std::uint64_t largest_tail = 536870912;
constexpr std::uint64_t largest_tail_start = 0xffffff00;

// One member of the rebuilt archive: where its stored bytes come from, and the name it
// keeps.
struct Member {
    const ArchiveReader* reader;
    PckEntry entry;
    std::string raw_name;
    std::uint64_t new_offset = 0;
};

std::wstring normal_key(const std::filesystem::path& path) {
    try {
        return lower_wide(absolute_normal(path).native());
    } catch (const std::exception&) {
        fail_archive("pck_rebase_path");
    }
}

std::uint64_t file_size_or_zero(const std::filesystem::path& path) {
    const DWORD attributes = file_attributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (is_not_found(error)) {
            return 0;
        }
        fail_archive("pck_rebase_path", error);
    }
    return client_file_size(path);
}

void check_inputs(const ArchivePaths& source, const std::filesystem::path& tail,
                  std::uint64_t tail_start, const ArchivePaths& output) {
    std::vector<std::filesystem::path> paths = {source.pck, tail, output.pck};
    for (const auto* optional : {&source.pkx, &output.pkx}) {
        if (*optional) {
            paths.push_back(**optional);
        }
    }
    std::set<std::wstring> seen;
    for (const auto& path : paths) {
        if (!seen.insert(normal_key(path)).second) {
            fail_archive("pck_rebase_alias");
        }
    }
    // A .pck given alone must really be alone: a forgotten .pkx would be lost.
    if (!source.pkx && lower_ascii(source.pck.extension().native()) == L".pck") {
        std::filesystem::path sibling = source.pck;
        sibling.replace_extension(L".pkx");
        if (file_size_or_zero(sibling) != 0) {
            fail_archive("pck_rebase_layout");
        }
    }
    if (source.pkx && file_size_or_zero(*source.pkx) != 0 && !output.pkx) {
        fail_archive("pck_rebase_layout");
    }
    const std::uint64_t tail_size = file_size_or_zero(tail);
    if (tail_start < pck_header_size || tail_start >= largest_tail_start ||
        tail_size < pck_footer_size || tail_size > largest_tail ||
        tail_start + tail_size > largest_pck) {
        fail_archive("pck_rebase_limit");
    }
    if (is_same_file(tail, source.pck) || (source.pkx && is_same_file(tail, *source.pkx))) {
        fail_archive("pck_rebase_alias");
    }
}

// Source members in source order, each replaced by the tail's member of the same
// identity; then the tail's members the source did not have, in tail order.
std::vector<Member> merge_members(const ArchiveReader& source, const PckIndex& source_index,
                                  const ArchiveReader& tail, const PckIndex& tail_index,
                                  std::size_t& from_tail) {
    std::map<std::wstring, const PckEntry*> changed;
    for (const PckEntry& entry : tail_index.entries) {
        if (entry.data_offset >= tail.start()) {
            verify_entry_data(tail, entry);
            changed.emplace(entry.identity, &entry);
        }
    }
    std::vector<Member> members;
    std::set<std::wstring> consumed;
    for (const PckEntry& entry : source_index.entries) {
        const auto replaced = changed.find(entry.identity);
        if (replaced != changed.end() && consumed.insert(entry.identity).second) {
            members.push_back({&tail, *replaced->second, entry.raw_name});
        } else {
            members.push_back({&source, entry, entry.raw_name});
        }
    }
    for (const PckEntry& entry : tail_index.entries) {
        if (changed.contains(entry.identity) && !consumed.contains(entry.identity)) {
            members.push_back({&tail, entry, entry.raw_name});
        }
    }
    if (members.size() > most_pck_entries) {
        fail_archive("pck_rebase_limit");
    }
    from_tail = static_cast<std::size_t>(std::count_if(
        members.begin(), members.end(), [&](const Member& m) { return m.reader == &tail; }));
    return members;
}

void copy_bytes(const ArchiveReader& reader, std::uint64_t offset, std::uint64_t size,
                ArchiveWriter& writer) {
    Bytes block(static_cast<std::size_t>(std::min<std::uint64_t>(size, io_block_size)));
    for (std::uint64_t done = 0; done < size;) {
        const std::uint64_t chunk = std::min<std::uint64_t>(size - done, io_block_size);
        reader.read(offset + done, block.data(), chunk);
        writer.write(block.data(), chunk);
        done += chunk;
    }
}

void write_archive(const ArchiveReader& source, const PckIndex& source_index,
                   std::vector<Member>& members, ArchiveWriter& writer) {
    writer.write(source.read(0, pck_header_size));
    for (Member& member : members) {
        member.new_offset = writer.written();
        if (member.new_offset > 0xffffffff) {
            fail_archive("pck_rebase_limit");
        }
        copy_bytes(*member.reader, member.entry.data_offset, member.entry.stored_size, writer);
    }
    const std::uint64_t index_offset = writer.written();
    for (const Member& member : members) {
        writer.write(encode_index_record(member.raw_name, member.new_offset,
                                         member.entry.uncompressed_size, member.entry.stored_size,
                                         source_index.keys));
    }
    Bytes footer = source.read(source.size() - pck_footer_size, pck_footer_size);
    put_u32_le(footer, 8, index_offset ^ source_index.keys.key1);
    put_u32_le(footer, 272, members.size());
    writer.write(footer);
    writer.patch_u32(4, static_cast<std::uint32_t>(writer.written()));
    writer.finish();
}

bool same_bytes(const ArchiveReader& a, std::uint64_t a_offset, const ArchiveReader& b,
                std::uint64_t b_offset, std::uint64_t size) {
    for (std::uint64_t done = 0; done < size;) {
        const std::uint64_t chunk = std::min<std::uint64_t>(size - done, io_block_size);
        if (a.read(a_offset + done, chunk) != b.read(b_offset + done, chunk)) {
            return false;
        }
        done += chunk;
    }
    return true;
}

// The written archive parses, names every member as written and holds its bytes.
void verify_output(const ArchivePaths& output, const PckKeyPair& keys,
                   const std::vector<Member>& members) {
    const ArchiveReader written = open_archive_pair(output.pck, output.pkx);
    const PckIndex index = parse_archive(written, ArchivePart::whole);
    if (index.entries.size() != members.size() || index.keys != keys) {
        fail_archive("pck_rebase_verify");
    }
    for (std::size_t i = 0; i < members.size(); ++i) {
        const PckEntry& entry = index.entries[i];
        const Member& member = members[i];
        if (entry.raw_name != member.raw_name || entry.stored_size != member.entry.stored_size ||
            !same_bytes(written, entry.data_offset, *member.reader, member.entry.data_offset,
                        entry.stored_size)) {
            fail_archive("pck_rebase_verify");
        }
    }
}

FileDigest digest_of(const std::filesystem::path& path) {
    return FileDigest{sha256_file(path), client_file_size(path)};
}

}  // namespace

RebuildResult rebuild_archive(const ArchivePaths& source, const std::filesystem::path& tail,
                              std::uint64_t tail_start, const ArchivePaths& output,
                              const std::function<void()>& after_write) {
    check_inputs(source, tail, tail_start, output);
    const ArchiveReader source_reader = open_archive_pair(source.pck, source.pkx);
    const PckIndex source_index = parse_archive(source_reader, ArchivePart::whole);
    const ArchiveReader tail_reader = open_tail_view(tail, tail_start);
    const PckIndex tail_index = parse_archive(tail_reader, ArchivePart::tail);

    RebuildResult result;
    std::vector<Member> members = merge_members(source_reader, source_index, tail_reader,
                                                tail_index, result.members_from_tail);
    std::uint64_t total = smallest_pck;
    for (const Member& member : members) {
        if (member.reader == &source_reader) {
            verify_entry_data(source_reader, member.entry);
        }
        total += member.entry.stored_size;
    }
    if (total > largest_pck) {
        fail_archive("pck_rebase_limit");
    }
    if (!output.pkx && total > pck_split_size) {
        fail_archive("pck_rebase_layout");
    }

    ArchiveWriter writer(output.pck, output.pkx);
    write_archive(source_reader, source_index, members, writer);
    if (after_write) {
        after_write();
    }
    verify_output(output, source_index.keys, members);
    // Hashing is the slowest pass of a rebuild: the two parts are hashed at once.
    std::future<FileDigest> pkx;
    if (output.pkx) {
        pkx = std::async(std::launch::async, digest_of, *output.pkx);
    }
    result.pck = digest_of(output.pck);
    if (pkx.valid()) {
        result.pkx = pkx.get();  // of zero bytes when the archive fits the .pck
    }
    writer.keep();
    return result;
}

}  // namespace vorn
