#include <gtest/gtest.h>

#include "model/action.h"
#include "model/ui_snapshot.h"

namespace vorn {
namespace {

TEST(UiSnapshot, JsonFormHasExactlyTheFiveKeys) {
    UiSnapshot snapshot;
    snapshot.phase = Phase::error;
    snapshot.percent = 47;
    snapshot.title = L"Проверка не завершена";
    snapshot.detail = L"Деталь";
    snapshot.hint = L"Код отчёта: 1";
    snapshot.client_version = "1.2";
    snapshot.busy = true;
    const nlohmann::json json = snapshot_json(snapshot);
    EXPECT_EQ(json.dump(), R"({"detail":"Деталь","hint":"Код отчёта: 1","percent":47,"phase":9,)"
                           R"("title":"Проверка не завершена"})");
}

TEST(Action, NumbersAndWords) {
    EXPECT_EQ(static_cast<int>(Action::startup), 0);
    EXPECT_EQ(static_cast<int>(Action::check), 1);
    EXPECT_EQ(static_cast<int>(Action::update), 2);
    EXPECT_EQ(static_cast<int>(Action::icons), 3);
    for (const Action a : {Action::startup, Action::check, Action::update, Action::icons}) {
        const std::string_view name = action_name(a);
        EXPECT_EQ(action_from_name(std::wstring(name.begin(), name.end())), a);
    }
    EXPECT_FALSE(action_from_name(L"Startup"));
    EXPECT_FALSE(action_from_name(L""));
}

}  // namespace
}  // namespace vorn
