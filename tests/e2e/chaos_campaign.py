"""Bad networks, proven: N headless updates, each with one fault injected into one of its
downloads, each followed by a clean run.

    VORN_BUILD_DIR=build python3 tests/e2e/chaos_campaign.py [FAULTS]

The launcher reaches nginx through two injectors on the loopback: the tests' own fault
relay (fault_relay.py: a reset or a clean close at a random byte, a stall past the receive
time-out, a 1 KiB/s trickle) and mitmdump with chaos_addon.py (500, 503 and 429, one
flipped byte, a wrong Content-Length, a redirect to another host). A round updates either
whole files or three game archives through a delta package, and a new icon set; the fault
strikes one of the downloads: the manifest in either form, a blob, the delta manifest, a
payload, an icon file or the release descriptor.

After the faulted run exactly one must hold: the client is updated and verified, or the
run failed with a stage and a Russian message while the client is unchanged or left for
the next run to recover. The clean run then completes. Prints the faults by outcome and
the body bytes the server sent again per interrupted download; exits 1 on any failure.
"""

import collections
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402
import pck_images  # noqa: E402
from fault_relay import FaultRelay  # noqa: E402
from test_feed_tool import noise  # noqa: E402

BUILD = Path(os.environ.get("VORN_BUILD_DIR", harness.REPO / "build"))
READY = "Клиент готов к игре"
CHECKED = "Файлы клиента проверены"
RELAY_FAULTS = ("reset", "close", "stall", "trickle")
PROXY_FAULTS = ("500", "503", "429", "flip", "length", "redirect")
STALL_SECONDS = 20  # past the launcher's 15 s receive time-out
TARGETS = {
    "manifest": r"/upd/manifest\.json$",
    "compressed manifest": r"/upd/manifest\.json\.gz$",
    "blob": r"/upd/[0-9a-f]{2}/[0-9a-f]{64}\.dat$",
    "delta manifest": r"/upd/delta/[^/]*\.json$",
    "payload": r"/payload/[0-9a-f]{64}\.zlib$",
    "icon file": r"/lk_server/klan/",
    "release descriptor": r"/downloads/launcher-release",
}
SCENARIO_TARGETS = {
    "whole files": ("manifest", "compressed manifest", "blob", "blob", "icon file",
                    "release descriptor"),
    "delta package": ("manifest", "compressed manifest", "delta manifest", "payload",
                      "payload", "blob", "icon file"),
}
LEFTOVER_SUFFIXES = (".tmp", ".part", ".vorn-recovery")
MEMBER = 1 << 20


class Mitm:
    """mitmdump as a reverse proxy in front of nginx, running chaos_addon.py."""

    def __init__(self, upstream_port, workdir):
        self.port = harness.free_port()
        self.arm_file = Path(workdir) / "chaos-arm.json"
        self.log_file = Path(workdir) / "chaos-applied.log"
        env = dict(os.environ, VORN_CHAOS_ARM=str(self.arm_file),
                   VORN_CHAOS_LOG=str(self.log_file), HOME=str(workdir))
        self.process = subprocess.Popen(
            ["mitmdump", "--mode", "reverse:http://127.0.0.1:%d" % upstream_port,
             "--listen-host", "127.0.0.1", "--listen-port", str(self.port), "-q",
             "--set", "stream_large_bodies=64m", "--set", "connection_strategy=lazy",
             "-s", str(Path(__file__).resolve().parent / "chaos_addon.py")],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        harness.wait_for_port(self.port, timeout=30)

    def arm(self, kind, path, at):
        self.arm_file.write_text(json.dumps(
            {"kind": kind, "path": path, "at": at, "other_port": self.port}))

    def struck(self):
        """Faults applied since the last call."""
        lines = self.log_file.read_text().splitlines() if self.log_file.exists() else []
        self.log_file.unlink(missing_ok=True)
        return lines

    def disarm(self):
        self.arm_file.unlink(missing_ok=True)

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


def versions_of(keys):
    """{scenario: (old files, new files)} besides the game and the surfaces archive: whole
    data files changed and added, or two game archives a delta package appends to."""
    data = dict(harness.game_data([300 << 10, 1 << 20, 2 << 20, 64 << 10], seed=3))
    whole_new = dict(data)
    for index, path in enumerate(sorted(data)[:3]):
        whole_new[path] = noise(len(data[path]) + 1000 * index, 40 + index)
    whole_new["element/data/fresh.pck"] = noise(700 << 10, 49)

    def pck(seed, members):
        return pck_images.write_pck(
            [(b"models\\m%d.ski" % i, noise(MEMBER, seed * 10 + i)) for i in range(members)], keys)
    archives = {"element/models.pck": pck(1, 4), "element/gfx.pck": pck(2, 3)}
    archives_new = {
        "element/models.pck": pck_images.append_pck(
            archives["element/models.pck"], [(b"models\\new.ski", noise(MEMBER, 51))], keys),
        "element/gfx.pck": pck_images.append_pck(
            archives["element/gfx.pck"], [(b"models\\m1.ski", noise(MEMBER // 2, 61))], keys),
    }
    return {"whole files": (data, whole_new),
                    "delta package": ({**data, **archives}, {**data, **archives_new})}


def publish_version(work, folder, name, old, new):
    """The feed under work/root/folder holding version 2: whole files, or for the delta
    package scenario with a package from `old`."""
    feed = harness.Feed(Path(work) / "root" / folder)
    if name != "delta package":
        feed.publish(new, "2")
        return feed
    base = Path(work) / "base"
    for path, content in old.items():
        (base / path).parent.mkdir(parents=True, exist_ok=True)
        (base / path).write_bytes(content)
    feed.publish(new, "2", "--base", base, "--delta-min-size", "1M")
    return feed


class Campaign:
    def __init__(self, rng):
        self.rng = rng
        self.launcher = harness.Launcher(BUILD)
        self.dir = Path(tempfile.mkdtemp(prefix="vorn-chaos-"))
        self.client = harness.Client(self.dir / "client", self.launcher.game)
        self.cache = self.dir / "cache"
        keys = self.launcher.pck_keys()
        versions = versions_of(keys)
        self.surfaces = pck_images.write_pck(harness.FOREIGN_SURFACES, keys)
        self.common = dict(self.client.game_files())
        self.common[harness.SURFACES] = self.surfaces
        self.versions = {name: ({**self.common, **old}, {**self.common, **new})
                         for name, (old, new) in versions.items()}
        self.feeds = {name: (publish_version(self.dir, folder, name, *self.versions[name]), folder)
                      for name, folder in (("whole files", "w"), ("delta package", "d"))}
        self.nginx = harness.Nginx(self.dir / "root", self.dir).start()
        self.mitm = Mitm(self.nginx.port, self.dir)
        self.relay = FaultRelay(self.mitm.port).start()
        self.receiver = harness.ReportReceiver().start()
        self.config = self.dir / "qa.json"
        self.result = self.dir / "result.json"
        self.outside = self.client.root / "element" / "userdata" / "settings.ini"

    def close(self):
        self.relay.stop()
        self.mitm.stop()
        self.nginx.stop()
        self.receiver.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def prepare(self, index, scenario):
        """The player at the scenario's old version, a new icon set, nothing cached."""
        feed, folder = self.feeds[scenario]
        shutil.rmtree(self.client.root / "element", ignore_errors=True)
        self.client.write(self.versions[scenario][0])  # the marker stays
        self.outside.parent.mkdir(parents=True, exist_ok=True)
        self.outside.write_text("[video]\nwidth=1920\n")
        for cached in self.cache.rglob("delta-payloads-v1"):
            shutil.rmtree(cached, ignore_errors=True)
        dds = harness.publish_guild(feed.root, self.dir, "set-%d" % index, seed=index)
        harness.Launcher.write_config(self.config, self.client.root, self.cache,
                                      self.relay.url(folder + "/"), self.receiver.url())
        return dds

    def arm(self, kind, target):
        path = TARGETS[target]
        at = self.rng.randrange(64, 200 << 10)
        if kind in RELAY_FAULTS:
            self.relay.arm(kind, path=path, fraction=self.rng.random(),
                           seconds=STALL_SECONDS if kind == "stall" else self.rng.uniform(3, 12))
        else:
            self.mitm.arm(kind, path, at if kind != "length" else self.rng.choice([-7, 9]))

    def struck(self):
        """(whether the armed fault struck, the relay's log of connections)."""
        relay = self.relay.take_strikes()
        return bool(relay) | bool(self.mitm.struck()), self.relay.take_log()

    def state_problems(self, scenario, version, dds):
        """What differs from the scenario's `version` (0 old, 1 new); icons only for new."""
        found = []
        for path, data in self.versions[scenario][version].items():
            live = self.client.root / path
            if path == harness.SURFACES:
                continue
            if not live.exists() or live.read_bytes() != data:
                found.append("%s not at the %s version" % (path, ("old", "new")[version]))
        extra = set(p.relative_to(self.client.root).as_posix()
                    for p in (self.client.root / "element" / "data").rglob("*") if p.is_file())
        extra -= set(self.versions[scenario][version])
        found += ["unexpected file: " + path for path in sorted(extra) if version == 1]
        if version == 1 and dds is not None:
            entries = dict(pck_images.read_pck((self.client.root / harness.SURFACES).read_bytes(),
                                               self.launcher.pck_keys()))
            if entries.get(b"surfaces\\iconset\\iconlist_guild.dds") != dds:
                found.append("the icon atlas is not the latest set")
        if self.outside.read_text() != "[video]\nwidth=1920\n":
            found.append("a file outside the manifest changed")
        return found



def leftovers(client_root, cache):
    """Temporaries, partials and journals an ended action must not leave."""
    found = []
    for folder in (client_root, cache):
        for item in folder.rglob("*"):
            if item.name.endswith(LEFTOVER_SUFFIXES):
                found.append("left behind: %s" % item.name)
    for journal in (client_root / ".vorn-delta-journal-v1.json", cache / "transaction-v2.json"):
        if journal.exists():
            found.append("left behind: " + journal.name)
    return found


def refetched(log, feed_root):
    """Body bytes sent beyond each file's size, for files interrupted then completed."""
    per_path = collections.defaultdict(int)
    for path, sent, _ in log:
        per_path[path] += sent
    again = []
    for path, sent in per_path.items():
        served = feed_root / path.lstrip("/").split("/", 1)[1] if "/" in path.lstrip("/") else None
        if served and served.is_file() and sent > served.stat().st_size:
            again.append(sent - served.stat().st_size)
    return again


def judge(campaign, scenario, result, dds):
    """(outcome, problems) of the faulted run."""
    if result and result.get("ok") and result.get("title") == READY:
        return "updated", campaign.state_problems(scenario, 1, dds)
    if result and result.get("ok") and result.get("title") == CHECKED:
        # The client is current; the icons are said to be unavailable, and stay as they were.
        problems = campaign.state_problems(scenario, 1, None)
        return "updated, icons unavailable", problems
    problems = []
    if not result or result.get("ok") or not result.get("stage"):
        problems.append("a failure without a stage: %s" % (
            result and {k: result.get(k) for k in ("ok", "stage", "title", "detail")}))
    if not re.search("[а-яА-Я]", (result or {}).get("message", "")):
        problems.append("a failure the user is not told of in Russian: %s" % (
            result and result.get("message")))
    unchanged = not campaign.state_problems(scenario, 0, dds)
    return ("failed, unchanged" if unchanged else "failed, left to recover"), problems


def main():
    faults = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    rng = random.Random(int(os.environ.get("VORN_CHAOS_SEED", "20261210")))
    campaign = Campaign(rng)
    table = collections.defaultdict(collections.Counter)
    again = []
    failures = []
    try:
        index, struck_faults = 0, 0
        # Faults that found nothing to strike (a Content-Length beyond a HEAD answer, a
        # blob the round did not need) do not count towards N.
        while struck_faults < faults and index < 3 * faults:
            index += 1
            scenario = rng.choice(sorted(SCENARIO_TARGETS))
            kind = rng.choice(RELAY_FAULTS + PROXY_FAULTS)
            target = rng.choice(SCENARIO_TARGETS[scenario])
            dds = campaign.prepare(index, scenario)
            campaign.arm(kind, target)
            _, result, _ = campaign.launcher.run(campaign.config, "update", campaign.result,
                                                 timeout=300)
            struck, log = campaign.struck()
            campaign.relay.disarm()
            campaign.mitm.disarm()
            outcome, problems = judge(campaign, scenario, result, dds)
            struck_faults += struck
            if not struck:
                outcome = "not struck"
            _, clean, _ = campaign.launcher.run(campaign.config, "update", campaign.result,
                                                timeout=300)
            if not clean or clean.get("title") != READY:
                problems.append("the clean run failed: %s" % (
                    clean and {k: clean.get(k) for k in ("stage", "title", "detail")}))
            problems += campaign.state_problems(scenario, 1, dds) + leftovers(
                campaign.client.root, campaign.cache)
            _, clean_log = campaign.struck()
            if kind in ("reset", "close", "stall") and target in ("blob", "payload"):
                again += refetched(log + clean_log, campaign.feeds[scenario][0].root)
            table["%s on %s" % (kind, target)][outcome] += 1
            if problems:
                failures.append((index, kind, target, problems))
                print("round %d (%s on %s, %s): %s" % (index, kind, target, scenario,
                                                        "; ".join(problems[:3])))
    finally:
        campaign.close()

    outcomes = sorted({o for counts in table.values() for o in counts})
    print("\nfaults by outcome (%d struck in %d rounds):" % (struck_faults, index))
    print("  %-34s %s" % ("fault", "  ".join(outcomes)))
    for fault, counts in sorted(table.items()):
        print("  %-34s %s" % (fault, "  ".join("%*d" % (len(o), counts[o]) for o in outcomes)))
    if again:
        print("bytes sent again per interrupted download: %d downloads, mean %.1f KiB, most "
              "%.1f KiB" % (len(again), sum(again) / len(again) / 1024, max(again) / 1024))
    print("failures: %d of %d" % (len(failures), faults))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
