#include "engine/update/delta_progress_view.h"

#include <algorithm>

#include "engine/client/client_place.h"
#include "engine/client/engine_view.h"
#include "engine/client/file_hashing.h"
#include "engine/client/running_client.h"

namespace vorn {

void delta_progress_view(const ClientPlace& client, EngineView& view, std::string_view event,
                         const std::wstring& path, std::uint64_t done, std::uint64_t total) {
    const std::int32_t percent =
        total == 0 ? 0
                   : static_cast<std::int32_t>(std::min<std::uint64_t>(100, done * 100 / total));
    const std::wstring counted =
        L"Файлов: " + std::to_wstring(done) + L" / " + std::to_wstring(total);
    if (event == "hash_start" || event == "hash_bytes") {
        publish_view(view, {.phase = Phase::checking,
                            .percent = percent,
                            .title = L"Проверяем контрольные суммы дельты",
                            .detail = L"Файл: " + path,
                            .hint = total == 0 ? L"Открываем файл для проверки."
                                               : hash_progress_text(done, total)});
    } else if (event == "inspect_start" || event == "inspect_file") {
        publish_view(view, {.phase = Phase::checking,
                            .percent = percent,
                            .title = L"Проверяем состояние дельты",
                            .detail = counted,
                            .hint = path.empty() ? L"" : L"Файл: " + path});
    } else if (event == "backed_up" || event == "published" || event == "committed") {
        publish_view(view, {.phase = Phase::installing,
                            .percent = percent,
                            .title = L"Устанавливаем дельту",
                            .detail = counted});
    } else {
        if (event == "staged_all") {
            ensure_client_not_running(client);
        }
        publish_view(view, {.phase = Phase::checking,
                            .percent = percent,
                            .title = L"Проверяем и готовим дельту",
                            .detail = counted});
    }
}

}  // namespace vorn
