#include "core/launcher_error.h"

#include "core/unicode_conversion.h"

namespace vorn {
namespace {

// what() must never fail: a message that is not valid UTF-16 (it never should be)
// falls back to a replacement text rather than throwing from a constructor.
std::string what_text(const std::wstring& message) {
    Converted<std::string> converted = convert_to_utf8(message);
    if (converted.fault != UnicodeFault::none) {
        return "(message is not valid Unicode)";
    }
    return std::move(converted.text);
}

}  // namespace

LauncherError::LauncherError(std::string stage_code, std::wstring user_message,
                             std::uint32_t win32_code, std::uint32_t status)
    : std::runtime_error(what_text(user_message)),
      stage(std::move(stage_code)),
      message(std::move(user_message)),
      win32(win32_code),
      http_status(status) {}

LauncherError::~LauncherError() = default;

void throw_win32_error(std::string stage, std::uint32_t code) {
    std::wstring message;
    switch (code) {
        case 112:  // ERROR_DISK_FULL
        case 39:   // ERROR_HANDLE_DISK_FULL
            message = disk_full_message;
            break;
        case 32:  // ERROR_SHARING_VIOLATION
            message = L"Файл занят другой программой. Закройте игру и повторите попытку.";
            break;
        case 5:  // ERROR_ACCESS_DENIED
            message = L"Нет доступа к файлу или папке клиента.";
            break;
        case 225:  // ERROR_VIRUS_INFECTED
        case 226:  // ERROR_VIRUS_DELETED
            message = L"Windows заблокировала файл как угрозу. Обновление остановлено.";
            break;
        default:
            message = L"Не удалось прочитать или сохранить файл.";
            break;
    }
    throw LauncherError(std::move(stage), std::move(message), code);
}

LauncherError make_transport_error(std::string stage, std::uint32_t code) {
    switch (code) {
        case 12007:  // ERROR_WINHTTP_NAME_NOT_RESOLVED
            return LauncherError(
                "dns", L"Не удалось определить адрес сервера. Проверьте подключение к Интернету.",
                code);
        case 12175:  // ERROR_WINHTTP_SECURE_FAILURE
            return LauncherError(
                "tls", L"Windows не смогла проверить защищённое соединение с сервером.", code);
        case 12002:  // ERROR_WINHTTP_TIMEOUT
            return LauncherError("timeout", L"Сервер не ответил вовремя. Повторите попытку.", code);
        case 12029:  // ERROR_WINHTTP_CANNOT_CONNECT
            return LauncherError("connect", L"Не удалось подключиться к серверу.", code);
        case 12030:  // ERROR_WINHTTP_CONNECTION_ERROR
            return LauncherError("read_body", L"Соединение с сервером было прервано.", code);
        default:
            return LauncherError(std::move(stage), L"Не удалось связаться с сервером обновлений.",
                                 code);
    }
}

nlohmann::json attempt_record(const LauncherError& error, int number) {
    return {
        {"stage", error.stage},
        {"win32", error.win32},
        {"http_status", error.http_status},
        {"attempt", number},
        {"bytes", error.bytes},
        {"expected_bytes", error.expected_bytes},
        {"elapsed_ms", error.elapsed_ms},
        {"content_encoding", error.content_encoding},
        {"file_count", error.file_count},
        {"parse_ok", error.parse_ok},
    };
}

}  // namespace vorn
