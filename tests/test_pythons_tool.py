"""tools/pythons.sh keeps apt to a configuration of its own.

The quick test runs the script against a stand-in `apt-get` and checks what it
was told; the real run against the archive (a few seconds of downloads) is
made when TARVEX_TEST_APT=1, as CI does.
"""

import hashlib
import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).parent.parent
SCRIPT = ROOT / "tools" / "pythons.sh"

pytestmark = pytest.mark.skipif(
    shutil.which("bash") is None or not SCRIPT.exists(), reason="needs bash and the source tree"
)

STAND_IN = """#!/bin/sh
printf '%s\\n' "$*" >> "$APT_CALLS"
"""


def run_lists(cache, env_extra):
    env = {**os.environ, "TARVEX_PYTHONS": str(cache), **env_extra}
    return subprocess.run(["bash", str(SCRIPT), "lists"], env=env, capture_output=True, text=True)


def test_apt_is_given_only_private_folders(tmp_path):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "apt-get").write_text(STAND_IN)
    (bin_dir / "apt-get").chmod(0o755)
    calls = tmp_path / "calls"
    cache = tmp_path / "cache"
    result = run_lists(cache, {"PATH": f"{bin_dir}:{os.environ['PATH']}", "APT_CALLS": str(calls)})
    assert result.returncode == 0, result.stderr

    conf = cache / "apt" / "apt.conf"
    assert calls.read_text().splitlines() == [f"-q -c {conf} update"]
    settings = dict(
        line.rstrip(";").split(" ", 1) for line in conf.read_text().splitlines() if line.startswith("Dir")
    )
    for key in ("Dir::Etc::SourceParts", "Dir::Etc::PreferencesParts", "Dir::State::Lists", "Dir::Cache"):
        assert settings[key].strip('"').startswith(str(cache)), key
    assert settings["Dir::Etc::SourceList"] == settings["Dir::Etc::Preferences"] == '"/dev/null"'
    assert "#clear APT::Update::Post-Invoke-Success;" in conf.read_text()
    (sources,) = (cache / "apt" / "sources").iterdir()
    assert "Suites: sid" in sources.read_text()


def system_apt_state():
    """Every file of the system's apt configuration, lists and package cache,
    with its contents, and dpkg's record of installed packages."""
    state = {}
    for top in ("/etc/apt", "/var/lib/apt", "/var/cache/apt"):
        for path in sorted(pathlib.Path(top).rglob("*")):
            if path.is_file() and not path.is_symlink():
                digest = hashlib.sha256(path.read_bytes()).hexdigest() if os.access(path, os.R_OK) else None
                state[str(path)] = (path.stat().st_mtime_ns, digest)
    state["dpkg status"] = hashlib.sha256(pathlib.Path("/var/lib/dpkg/status").read_bytes()).hexdigest()
    return state


@pytest.mark.skipif(os.environ.get("TARVEX_TEST_APT") != "1", reason="set TARVEX_TEST_APT=1")
def test_real_run_leaves_the_system_apt_configuration_alone(tmp_path):
    before = system_apt_state()
    result = run_lists(tmp_path, {})
    assert result.returncode == 0, result.stderr
    assert system_apt_state() == before
    assert any("sid" in path.name for path in (tmp_path / "apt" / "lists").iterdir())
