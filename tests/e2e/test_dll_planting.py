"""Neither program loads a DLL planted in the client's folders, under Wine.

A marker DLL is copied under the name of every system DLL the programs import that is
not a KnownDLL (those they delay-load, and any that slipped into the import table) into
the client's root folder and its element folder, and Wine is told to prefer such native
copies (WINEDLLOVERRIDES NAME=n,b). Then the launcher, started from the root folder,
replaces itself through the updater in element, and the new build runs a full start-up.
Each copy writes a marker when loaded: none may appear, and Wine's trace must show every
load the programs ask for searching System32 alone. A probe that does not limit its
search must load its planted copy under the same settings, or the test is skipped.

    VORN_BUILD_DIR=build python3 tests/e2e/test_dll_planting.py
"""

import json
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import harness  # noqa: E402
import pe_imports  # noqa: E402
from self_update_scene import (BUILD, LAUNCHER, NEXT_BUILD, NEXT_LAUNCHER, UPDATER,  # noqa: E402
                               Display, SelfUpdateScene, wait_until)
from test_window import OnDisplay  # noqa: E402

MARKER_DLL = BUILD / "tests" / "dll_marker.dll"
PROBE = BUILD / "tests" / "dll_probe.exe"
SYSTEM32 = "c:\\windows\\system32\\"
LOADED = re.compile(r'^([0-9a-f]+):\w+:trace:loaddll:\w+ Loaded L"(.+?)" at \S+: (\w+)', re.M)
SEARCHED = re.compile(r'^[0-9a-f]+:\w+:trace:module:load_dll looking for L"(.+?)" in (.+)$', re.M)


def must_reach():
    """What each program's run must load of what it delay-loads: all of it for the
    launcher; the updater only hashes."""
    return {"vornelllauncher.exe": set(pe_imports.delay_imports(LAUNCHER.exe)),
            "vornellupdater.exe": {"bcrypt.dll"}}


# Wine 8's own winhttp and wintrust load crypt32 through the program's folder whatever the
# program restricted (Windows does not): a planted crypt32 would only show that. The runs
# here never reach the programs' own crypt32 calls (the code-signer pin), so it is left out.
LOADED_BY_WINE_ITSELF = {"crypt32.dll"}


def planted_names():
    """Every DLL either program imports, statically or delay-loaded, but the KnownDLLs."""
    names = set()
    for program in (LAUNCHER.exe, UPDATER):
        names |= set(pe_imports.delay_imports(program)) | pe_imports.static_imports(program)
    return sorted(names - pe_imports.KNOWN_DLLS - LOADED_BY_WINE_ITSELF)


def unescape(text):
    return text.replace("\\\\", "\\").lower()


def loads_by_program(trace):
    """{program file name: {DLL file name: (path, "native" or "builtin")}} from a
    WINEDEBUG=+pid,+loaddll trace; each process is named by its executable."""
    programs, loads = {}, {}
    for pid, path, kind in LOADED.findall(trace):
        path = unescape(path)
        name = path.rsplit("\\", 1)[-1]
        if name.endswith(".exe"):
            programs.setdefault(pid, name)
        else:
            loads.setdefault(pid, {})[name] = (path, kind)
    merged = {}
    for pid, dlls in loads.items():
        merged.setdefault(programs.get(pid, "?"), {}).update(dlls)
    return merged


def searches(trace, names):
    """{DLL name: search paths} of the loads of those names in a +module trace. "(null)"
    is a load with no path: Wine's builtin DLLs resolving their own delay imports."""
    found = {}
    for name, path in SEARCHED.findall(trace):
        if name.lower() in names:
            found.setdefault(name.lower(), set()).add(unescape(path.strip('L"')))
    return found


class PlantingDisplay(Display):
    """The self-update tests' display, with Wine preferring DLLs found beside programs."""

    names = []
    marker_dir = None

    def env(self):
        env = super().env()
        stems = ",".join(Path(name).stem for name in self.names)
        env.update(WINEDLLOVERRIDES=stems + "=n,b;mscoree,mshtml=",
                   VORN_DLL_MARKER_DIR=harness.windows_path(self.marker_dir),
                   WINEDEBUG="-all,+pid,+loaddll,+module")
        return env


class DllPlantingTest(OnDisplay):
    display_class = PlantingDisplay

    @classmethod
    def setUpClass(cls):
        cls.work = Path(tempfile.mkdtemp(prefix="vorn-dll-"))
        PlantingDisplay.names = planted_names()
        PlantingDisplay.marker_dir = cls.work / "markers"
        PlantingDisplay.marker_dir.mkdir()
        super().setUpClass()
        # A program that crashes on a planted copy must end, not wait for the crash dialog.
        subprocess.run(["wine", "reg", "add", "HKCU\\Software\\Wine\\WineDbg", "/v",
                        "ShowCrashDialog", "/t", "REG_DWORD", "/d", "0", "/f"],
                       env=cls.display.env(), capture_output=True, timeout=120, check=True)
        name = PlantingDisplay.names[0]
        loaded = cls.run_probe(name).returncode == 0
        if not (loaded and any(m.startswith(name + ".") for m in cls.markers())):
            cls.tearDownClass()
            raise unittest.SkipTest(
                "Wine did not load %s planted beside a program that does not limit its DLL "
                "search, under WINEDLLOVERRIDES=n,b: no marker could show a fault" % name)

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        for marker in PlantingDisplay.marker_dir.iterdir():
            marker.unlink()

    @classmethod
    def run_probe(cls, *args):
        folder = Path(tempfile.mkdtemp(dir=cls.work))
        cls.plant(folder)
        shutil.copyfile(PROBE, folder / PROBE.name)
        return subprocess.run(["wine", str(folder / PROBE.name), *args], cwd=folder,
                              env=cls.display.env(), capture_output=True, timeout=120)

    @staticmethod
    def plant(folder):
        for name in PlantingDisplay.names:
            shutil.copyfile(MARKER_DLL, Path(folder) / name)

    @staticmethod
    def markers():
        """{marker file name: [the planted DLL's path, the program that loaded it]}."""
        return {m.name: m.read_bytes().decode("utf-16-le").split()
                for m in PlantingDisplay.marker_dir.iterdir()}

    def assert_nothing_planted_loaded(self, trace):
        """The programs' own loads searched System32 alone, and no planted copy ran."""
        found = searches(trace, PlantingDisplay.names)
        markers = self.markers()
        # Wine 8 resolves a builtin's own delay imports (winhttp's crypt32, say) with the
        # path the process started with, ignoring SetDefaultDllDirectories; Windows does not.
        by_wine = {m for m in markers if "(null)" in found.get(m.split(".dll.")[0] + ".dll", ())}
        self.assertEqual(set(markers) - by_wine, set(), "planted copies loaded: %s" % markers)
        for name, paths in found.items():
            # A name only Wine's builtins asked for has no search of the programs' own.
            self.assertLessEqual(paths - {"(null)"}, {SYSTEM32}, "%s looked for there" % name)
        if by_wine:
            self.skipTest("Wine's own builtin DLLs loaded planted copies, which Windows would "
                          "not: %s" % sorted(by_wine))

    def assert_from_system32(self, trace, must_reach):
        """Each program loaded what it must reach, and every planted name from System32."""
        loads = loads_by_program(trace)
        for program, expected in must_reach.items():
            self.assertIn(program, loads, "no load trace of %s" % program)
            for name in PlantingDisplay.names:
                if name in loads[program]:
                    self.assertEqual(loads[program][name], (SYSTEM32 + name, "builtin"))
            self.assertLessEqual(expected, set(loads[program]), program)

    def test_the_search_limit_alone_keeps_the_planted_copy_out(self):
        name = PlantingDisplay.names[0]
        result = self.run_probe(name, "--restricted")
        self.assertEqual(result.returncode, 0, "%s did not load from System32" % name)
        trace = result.stderr.decode(errors="replace")
        self.assert_nothing_planted_loaded(trace)
        self.assert_from_system32(trace, {PROBE.name: {name}})

    def test_self_update_and_start_up_load_nothing_planted(self):
        scene = SelfUpdateScene(self.display, NEXT_LAUNCHER)
        self.addCleanup(scene.close)
        self.plant(scene.root)
        self.plant(scene.root / "element")
        trace_file = self.work / "trace.log"
        second = None
        with open(trace_file, "wb") as log:
            first = self.run_launcher(scene, log)
            if first == 0 and wait_until(scene.healthy, 120):
                scene.stop_wine()  # build N+1's window
                second = self.run_launcher(scene, log)
        trace = trace_file.read_text(errors="replace")
        self.assert_nothing_planted_loaded(trace)  # first: a planted copy fails the runs
        self.assertEqual(first, 0)
        self.assertTrue(scene.healthy(), "build N+1 wrote no health file")
        result = json.loads(scene.result.read_text())
        self.assertEqual((second, result["ok"], result["build"]), (0, True, NEXT_BUILD), result)
        self.assert_from_system32(trace, must_reach())

    @staticmethod
    def run_launcher(scene, log):
        """The exit code of a headless start-up from the client's root folder, or None."""
        process = scene.start(cwd=scene.root, stderr=log)
        try:
            return process.wait(180)
        except subprocess.TimeoutExpired:
            scene.stop_wine()
            return None

if __name__ == "__main__":
    unittest.main(verbosity=2)
