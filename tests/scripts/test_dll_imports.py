"""Both programs import statically only KnownDLLs and delay-load every other system DLL,
so none of them is looked up in the client folders before wWinMain limits the search.

    VORN_OBJDUMP=x86_64-w64-mingw32-objdump VORN_LAUNCHER_EXE=build/src/app/VornellLauncher.exe \\
    VORN_UPDATER_EXE=build/src/updater/VornellUpdater.exe python3 tests/scripts/test_dll_imports.py
"""

import os
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import pe_imports  # noqa: E402

# What each program must delay-load at least: the launcher downloads (WinHTTP), hashes and
# verifies feed signatures (BCrypt), checks Authenticode (WinTrust) and draws and converts
# images (GDI+); the updater hashes.
EXPECTED_DELAYED = {
    "VORN_LAUNCHER_EXE": {"bcrypt.dll", "gdiplus.dll", "winhttp.dll", "wintrust.dll"},
    "VORN_UPDATER_EXE": {"bcrypt.dll"},
}


class DllImportsTest(unittest.TestCase):
    def test_static_imports_are_known_dlls_only(self):
        for variable in EXPECTED_DELAYED:
            with self.subTest(program=os.environ[variable]):
                static = pe_imports.static_imports(os.environ[variable])
                self.assertIn("kernel32.dll", static)  # the listing was read at all
                self.assertEqual(static - pe_imports.KNOWN_DLLS, set())

    def test_system_dlls_are_delay_loaded(self):
        for variable, expected in EXPECTED_DELAYED.items():
            with self.subTest(program=os.environ[variable]):
                delayed = pe_imports.delay_imports(os.environ[variable])
                self.assertLessEqual(expected, set(delayed))
                self.assertTrue(all(delayed.values()), delayed)


if __name__ == "__main__":
    unittest.main(verbosity=2)
