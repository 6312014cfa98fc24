"""The layer check finds includes against the order and libraries fed from elsewhere."""

import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

CHECK = Path(__file__).resolve().parents[2] / "scripts" / "check_layers.py"


def run_check(files):
    with tempfile.TemporaryDirectory() as root:
        for name, text in files.items():
            path = Path(root) / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text, encoding="utf-8")
        return subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True)


class LayerCheck(unittest.TestCase):
    def test_each_direction(self):
        rows = [
            # (folder, included folder, allowed)
            ("core", "net", False),
            ("net", "core", True),
            ("net", "model", False),
            ("model", "net", False),
            ("delta", "engine", False),
            ("delta", "model", True),
            ("archive", "delta", True),
            ("delta", "archive", False),
            ("guild", "archive", True),
            ("diagnostics", "app", False),
            ("core", "core/system", False),
            ("core/system", "core", True),
            ("engine/client", "guild", True),
            ("engine/client", "engine/actions", False),
            ("engine/update", "engine/install", True),
            ("engine/install", "engine/manifest", False),
            ("engine/actions", "app", False),
            ("app", "engine/actions", True),
            ("ui", "engine/client", False),
            ("ui", "model", True),
            ("app", "ui", True),
        ]
        for folder, included, allowed in rows:
            with self.subTest(folder=folder, included=included):
                result = run_check({f"{folder}/a.cpp": f'#include "{included}/b.h"\n'})
                self.assertEqual(result.returncode == 0, allowed, result.stderr)
                if not allowed:
                    self.assertIn(f"{folder}/a.cpp:1: {folder} must not include {included}/",
                                  result.stderr)

    def test_generated_and_system_headers_pass(self):
        result = run_check({"ui/a.cpp": '#include <windows.h>\n#include "build_info.h"\n'})
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_unknown_folder_and_foreign_sources_fail(self):
        self.assertNotEqual(run_check({"extra/a.cpp": ""}).returncode, 0)
        self.assertNotEqual(run_check({"engine/a.cpp": ""}).returncode, 0)
        result = run_check({"delta/CMakeLists.txt": "target_sources(vorn_engine PRIVATE a.cpp)\n"})
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("target_sources", result.stderr)


if __name__ == "__main__":
    unittest.main()
