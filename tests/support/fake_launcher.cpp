// A stand-in for the launcher in the updater's tests: a real program that can be
// replaced, started and proven healthy. "--linger MS" only stays alive that long (the
// launcher that waits for its end). Otherwise it appends "<its own digest> <token or ->"
// to fake-launcher-log.txt in the client folder of --qa-config, and with a token writes
// the health file the way the launcher does, with the build named in
// fake-launcher-build.txt there, unless fake-launcher-mode.txt says "silent", or "hang":
// then, with a token, it stays alive eight seconds without a health file (a new build
// stuck at its start).
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "core/sha256.h"
#include "core/system/module_path.h"
#include "core/text.h"
#include "model/local_test_config.h"
#include "selfupdate/health_file.h"

namespace {

std::string first_word(const std::filesystem::path& path) {
    std::string word;
    std::ifstream(path) >> word;
    return word;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wstring(argv[1]) == L"--linger") {
        Sleep(static_cast<DWORD>(std::stoul(argv[2])));
        return 0;
    }
    std::filesystem::path config_path;
    std::string token;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring option = argv[i];
        if (option == L"--qa-config") {
            config_path = argv[i + 1];
        } else if (option == L"--update-health-token") {
            token = vorn::to_utf8(argv[i + 1]);
        }
    }
    const vorn::LauncherConfig config = vorn::load_local_test_config(config_path);
    const std::filesystem::path root = config.root;
    std::ofstream(root / "fake-launcher-log.txt", std::ios::app | std::ios::binary)
        << vorn::sha256_file(vorn::running_program_path()) << ' ' << (token.empty() ? "-" : token)
        << '\n';
    const std::string mode = first_word(root / "fake-launcher-mode.txt");
    if (!token.empty() && mode == "hang") {
        Sleep(8000);
    } else if (!token.empty() && mode != "silent") {
        vorn::write_health_file(config.cache_dir, token,
                                first_word(root / "fake-launcher-build.txt"));
    }
    return 0;
}
