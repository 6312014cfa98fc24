#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/rebase_groups.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

DeltaEntry append(const std::string& path, std::uint64_t base, std::uint64_t target) {
    DeltaEntry entry;
    entry.path = path;
    entry.operation = "append";
    entry.base = FileDigest{std::string(64, 'a'), base};
    entry.target = FileDigest{std::string(64, 'b'), target};
    entry.payload.raw = FileDigest{std::string(64, 'c'), target - base};
    return entry;
}

TEST(RebaseGroups, KeysAndTheArchivesARebaseMayRebuild) {
    const std::vector<std::pair<const char*, const char*>> keys = {
        {"element/models.pck", "element/models.pck"},
        {"Element\\Models.PKX", "element/models.pck"},
        {"element/GFX.pck", "element/gfx.pck"},
        {"element/surfaces.pck", "element/surfaces.pck"}};
    for (const auto& [path, key] : keys) {
        EXPECT_EQ(archive_key(path), key) << path;
    }
    for (const char* eligible :
         {"element/configs.pck", "element/gfx.pck", "element/interfaces.pck",
          "element/litmodels.pck", "element/models.pck", "element/sfx.pck"}) {
        EXPECT_TRUE(is_rebase_archive(eligible)) << eligible;
    }
    const auto error = test::capture_error([] { require_rebase_key("element/surfaces.pck"); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->stage, "delta_wrong_base");
    EXPECT_EQ(error->message,
              L"Архив не поддерживает совместимое обновление: element/surfaces.pck");
    EXPECT_EQ(error->archive_path, "element/surfaces.pck");
}

TEST(RebaseGroups, ASplitArchiveIsOneGroupOfTwoFiles) {
    DeltaManifest delta;
    delta.entries = {append("element/data.txt", 1, 2),
                     append("element/models.pck", 0x7FFFFF00, 0x7FFFFF00),
                     append("element/models.pkx", 5000, 9000)};
    const RebaseGroup group = plan_rebase_group(delta, "element/models.pck");
    ASSERT_EQ(group.entries().size(), 2u);
    EXPECT_EQ(group.pck, &delta.entries[1]);
    EXPECT_EQ(group.pkx, &delta.entries[2]);
    EXPECT_EQ(&group.tail_entry(), &delta.entries[2]);
    EXPECT_EQ(group.tail_start(), 0x7FFFFF00u + 5000u);

    delta.entries.pop_back();
    const RebaseGroup single = plan_rebase_group(delta, "element/models.pck");
    EXPECT_EQ(single.pkx, nullptr);
    EXPECT_EQ(single.tail_start(), 0x7FFFFF00u);
}

TEST(RebaseGroups, APackageWithoutAConsistentAppendIsRefused) {
    const std::wstring message = L"Пакет не содержит согласованного обновления архива.";
    DeltaManifest none;
    none.entries = {append("element/gfx.pck", 10, 20)};
    VORN_EXPECT_ERROR(plan_rebase_group(none, "element/models.pck"), "delta_rebase_plan", message);

    DeltaManifest full;
    full.entries = {append("element/models.pck", 10, 20)};
    full.entries[0].operation = "full";
    full.entries[0].base.reset();
    VORN_EXPECT_ERROR(plan_rebase_group(full, "element/models.pck"), "delta_rebase_plan", message);

    DeltaManifest pkx_without_base;
    pkx_without_base.entries = {append("element/models.pck", 10, 20),
                                append("element/models.pkx", 10, 20)};
    pkx_without_base.entries[1].operation = "full";
    VORN_EXPECT_ERROR(plan_rebase_group(pkx_without_base, "element/models.pck"),
                      "delta_rebase_plan", message);
}

}  // namespace
}  // namespace vorn
